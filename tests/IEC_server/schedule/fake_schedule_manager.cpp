#include "fake_schedule_manager.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <sstream>
#include <thread>
#include <tuple>
#include <type_traits>

namespace {

template <class T>
void appendText(std::ostringstream& line, const T& value)
{
    if constexpr (std::is_same_v<T, bool>)
        line << ' ' << (value ? "true" : "false");
    else if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::string>)
        line << ' ' << value;
    else
        line << " [" << value.size() << ']';
}

template <class Tuple>
std::string callText(const char* method, const Tuple& args)
{
    std::ostringstream line;
    line << method;
    std::apply([&](const auto&... a) { (appendText(line, a), ...); }, args);
    return line.str();
}

}  // namespace

FakeScheduleManager::FakeScheduleManager(Replies replies, std::chrono::milliseconds delay)
    : replies_(replies), delay_(delay)
{
    connection_ = sdbus::createSystemBusConnection(kScheduleManagerService);
    object_ = sdbus::createObject(*connection_, kScheduleManagerPath);

    auto reply = [this](sdbus::MethodReply& message, const auto& value) {
        using T = std::decay_t<decltype(value)>;
        switch (replies_) {
        case Replies::Correct: message << value; break;
        case Replies::WrongTypes:
            if constexpr (std::is_same_v<T, std::string>)
                message << std::int32_t{7};
            else
                message << std::string("wrong");
            break;
        case Replies::NoValue: break;
        case Replies::ExtraValue: message << value << std::int32_t{1}; break;
        }
    };

    add<std::int32_t, std::string>("checkExistence", "is", "b", [reply](auto& m, const auto&, auto&) {
        reply(m, true);
    });
    add<std::int32_t, std::string, std::int32_t>(
        "updateStatusOfSchedule", "isi", "i", [this, reply](auto& m, const auto& args, auto&) {
            auto found = states_.find({std::get<0>(args), std::get<1>(args)});
            reply(m, found == states_.end() ? std::int32_t{1} : found->second);
        });
    add<std::int32_t, std::string>("getActStrTm", "is", "t", [this, reply](auto& m, const auto&, auto&) {
        reply(m, actStrTm_);
    });
    add<std::int32_t, std::string>("getNxtStrTm", "is", "t", [this, reply](auto& m, const auto&, auto&) {
        reply(m, nxtStrTm_);
    });
    add<std::int32_t, std::string, std::uint64_t>("calculateValIndex", "ist", "i",
                                                   [this, reply](auto& m, const auto&, auto&) { reply(m, index_); });
    add<std::int32_t, std::string, std::int32_t>("getVal", "isi", "d",
                                                  [this, reply](auto& m, const auto&, auto&) { reply(m, value_); });
    add<std::int32_t, std::string, std::int32_t, std::int32_t, std::int32_t, std::vector<double>,
        std::vector<std::uint64_t>, bool, std::uint64_t>(
        "addScheduleJSON", "isiiiadatbt", "", [this](auto&, const auto& a, auto&) {
            uploads_.push_back({"addScheduleJSON", std::get<0>(a), std::get<1>(a), std::get<2>(a), std::get<3>(a),
                                std::get<4>(a), std::get<5>(a), std::get<6>(a), std::get<7>(a), false,
                                std::get<8>(a), false});
        });
    add<std::int32_t, std::string, std::int32_t, std::int32_t, std::int32_t, std::vector<double>, bool, bool,
        std::uint64_t, bool>("addScheduleJSONTrg", "isiiiadbbtb", "", [this](auto&, const auto& a, auto&) {
        uploads_.push_back({"addScheduleJSONTrg", std::get<0>(a), std::get<1>(a), std::get<2>(a), std::get<3>(a),
                            std::get<4>(a), std::get<5>(a), {}, std::get<6>(a), std::get<7>(a), std::get<8>(a),
                            std::get<9>(a)});
    });
    add<std::int32_t>("getActivateSchedule", "i", "s", [this, reply](auto& m, const auto& args, auto&) {
        auto found = active_.find(std::get<0>(args));
        reply(m, found == active_.end() ? std::string("no_schedule_active") : found->second);
    });
    add<std::int32_t>("getSchedule3Days", "i", "a{tx}", [this, reply](auto& m, const auto&, auto&) {
        if (replies_ != Replies::Correct) return reply(m, Schedule3Days(days_.begin(), days_.end()));
        m.openContainer("{tx}");
        for (const auto& [key, value] : days_) {
            m.openDictEntry("tx");
            m << key << value;
            m.closeDictEntry();
        }
        m.closeContainer();
    });

    object_->finishRegistration();
    connection_->enterEventLoopAsync();
}

FakeScheduleManager::~FakeScheduleManager()
{
    connection_->leaveEventLoop();
    object_.reset();
}

template <class... In, class Answer>
void FakeScheduleManager::add(const char* method, const char* in, const char* out, Answer answer)
{
    object_->registerMethod(kScheduleManagerInterface, method, in, out, [this, method, answer](sdbus::MethodCall call) {
        std::tuple<In...> args;
        std::apply([&](auto&... a) { (call >> ... >> a); }, args);
        record(callText(method, args));
        if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
        if (failing(method)) {
            call.createErrorReply(sdbus::Error("de.brenvolta.test.Failed", "injected failure")).send();
            return;
        }
        auto reply = call.createReply();
        {
            std::lock_guard lock(mutex_);
            answer(reply, args, *this);
        }
        reply.send();
    });
}

void FakeScheduleManager::record(std::string line)
{
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(line));
}

bool FakeScheduleManager::failing(const std::string& method) const
{
    std::lock_guard lock(mutex_);
    return failing_.count(method) > 0;
}

void FakeScheduleManager::setState(std::int32_t cls, const std::string& prefix, std::int32_t code)
{
    std::lock_guard lock(mutex_);
    states_[{cls, prefix}] = code;
}

void FakeScheduleManager::setActive(std::int32_t cls, const std::string& lnName)
{
    std::lock_guard lock(mutex_);
    active_[cls] = lnName;
}

void FakeScheduleManager::setEntry(std::int32_t index, double value, std::uint64_t actStrTm, std::uint64_t nxtStrTm)
{
    std::lock_guard lock(mutex_);
    index_ = index;
    value_ = value;
    actStrTm_ = actStrTm;
    nxtStrTm_ = nxtStrTm;
}

void FakeScheduleManager::setSchedule3Days(std::vector<std::pair<std::uint64_t, std::int64_t>> days)
{
    std::lock_guard lock(mutex_);
    days_ = std::move(days);
}

void FakeScheduleManager::fail(const std::string& method)
{
    std::lock_guard lock(mutex_);
    failing_.insert(method);
}

std::vector<std::string> FakeScheduleManager::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<ReceivedUpload> FakeScheduleManager::uploads() const
{
    std::lock_guard lock(mutex_);
    return uploads_;
}

void FakeScheduleManager::clear()
{
    std::lock_guard lock(mutex_);
    calls_.clear();
    uploads_.clear();
}
