#include "fake_schedule_manager.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <iomanip>
#include <sstream>

namespace {

struct Method {
    const char* name;
    const char* in;
    const char* out;
};

constexpr Method kMethods[] = {
    {"checkExistence", "is", "b"},         {"updateStatusOfSchedule", "isi", "i"},
    {"getActStrTm", "is", "t"},            {"getNxtStrTm", "is", "t"},
    {"calculateValIndex", "ist", "i"},     {"getVal", "isi", "d"},
    {"addScheduleJSON", "isiiiadatbt", ""}, {"addScheduleJSONTrg", "isiiiadbbtb", ""},
    {"getActivateSchedule", "i", "s"},     {"getSchedule3Days", "i", "a{tx}"},
};

template <class T>
void appendArgument(sdbus::MethodCall& call, std::ostream& line)
{
    T value;
    call >> value;
    if constexpr (std::is_same_v<T, bool>) {
        line << (value ? " true" : " false");
    } else if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::string>) {
        line << ' ' << value;
    } else {
        line << " [";
        for (std::size_t i = 0; i < value.size(); ++i)
            line << (i ? " " : "") << value[i];
        line << ']';
    }
}

std::string callLine(sdbus::MethodCall& call, const Method& method)
{
    std::ostringstream line;
    line << std::setprecision(17) << method.name;
    for (const char* type = method.in; *type; ++type) {
        switch (*type) {
        case 'i': appendArgument<std::int32_t>(call, line); break;
        case 's': appendArgument<std::string>(call, line); break;
        case 't': appendArgument<std::uint64_t>(call, line); break;
        case 'b': appendArgument<bool>(call, line); break;
        default:  // an array
            if (*++type == 'd')
                appendArgument<std::vector<double>>(call, line);
            else
                appendArgument<std::vector<std::uint64_t>>(call, line);
        }
    }
    return line.str();
}

void writeValue(sdbus::MethodReply& reply, std::string_view type, const std::string& text)
{
    if (type == "b")
        reply << (text == "true");
    else if (type == "i")
        reply << static_cast<std::int32_t>(std::stol(text));
    else if (type == "t")
        reply << static_cast<std::uint64_t>(std::stoull(text));
    else if (type == "d")
        reply << std::stod(text);
    else if (type == "s")
        reply << text;
    else {  // a{tx} from "key:value key:value"
        reply.openContainer("{tx}");
        std::istringstream pairs(text);
        std::uint64_t key = 0;
        std::int64_t value = 0;
        for (char colon = 0; pairs >> key >> colon >> value;) {
            reply.openDictEntry("tx");
            reply << key << value;
            reply.closeDictEntry();
        }
        reply.closeContainer();
    }
}

}  // namespace

std::vector<std::string> callFields(const std::string& call)
{
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < call.size();) {
        const std::size_t end = call[at] == '[' ? call.find(']', at) + 1 : call.find(' ', at);
        fields.push_back(call.substr(at, end - at));
        at = end == std::string::npos ? call.size() : end + 1;
    }
    return fields;
}

FakeScheduleManager::FakeScheduleManager(Replies replies) : replies_(replies)
{
    answers_ = {{"checkExistence", "true"},       {"updateStatusOfSchedule", "1"},
                {"getActivateSchedule", "no_schedule_active"}, {"getSchedule3Days", ""}};
    for (const char* method : {"getActStrTm", "getNxtStrTm", "calculateValIndex", "getVal"})
        answers_[method] = "0";
    connection_ = sdbus::createSystemBusConnection(kScheduleManagerService);
    object_ = sdbus::createObject(*connection_, kScheduleManagerPath);
    for (const Method& method : kMethods) {
        object_->registerMethod(kScheduleManagerInterface, method.name, method.in, method.out,
                                [this, &method](sdbus::MethodCall call) {
                                    const std::string line = callLine(call, method);
                                    std::string reply;
                                    {
                                        std::lock_guard lock(mutex_);
                                        calls_.push_back(line);
                                        if (failing_.count(method.name)) {
                                            call.createErrorReply(sdbus::Error("de.brenvolta.test.Failed",
                                                                               "injected failure"))
                                                .send();
                                            return;
                                        }
                                        reply = replyTo(line);
                                    }
                                    auto message = call.createReply();
                                    const std::string_view type = method.out;
                                    if (!type.empty() && replies_ == Replies::WrongTypes)
                                        writeValue(message, type == "s" ? "i" : "s", type == "s" ? "7" : "wrong");
                                    else if (!type.empty() && replies_ != Replies::NoValue)
                                        writeValue(message, type, reply);
                                    if (!type.empty() && replies_ == Replies::ExtraValue)
                                        message << std::int32_t{1};
                                    message.send();
                                });
    }
    object_->finishRegistration();
    connection_->enterEventLoopAsync();
}

FakeScheduleManager::~FakeScheduleManager()
{
    connection_->leaveEventLoop();
    object_.reset();
}

std::string FakeScheduleManager::replyTo(const std::string& call) const
{
    std::string reply, longest;
    for (const auto& [start, answer] : answers_)
        if (call.starts_with(start) && (call.size() == start.size() || call[start.size()] == ' ') &&
            start.size() >= longest.size()) {
            longest = start;
            reply = answer;
        }
    return reply;
}

void FakeScheduleManager::answer(const std::string& call, const std::string& reply)
{
    std::lock_guard lock(mutex_);
    answers_[call] = reply;
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

void FakeScheduleManager::clear()
{
    std::lock_guard lock(mutex_);
    calls_.clear();
}
