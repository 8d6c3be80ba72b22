#include "schedule_manager_client.hpp"

#include "schedule_log.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <string_view>
#include <type_traits>

std::unique_ptr<sdbus::IProxy> scheduleManagerProxy;

namespace schedulemanager {

namespace {

struct NoReply {};

thread_local int passDepth = 0;
thread_local bool passAbandoned = false;
std::atomic<bool> lostConnection{false};

// How a call that did not return a value went wrong.
enum class Failure { Refused, TimedOut, Lost, Unreachable };

Failure classify(const sdbus::Error& error)
{
    const std::string& name = error.getName();
    for (std::string_view timedOut : {"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.Timeout",
                                      "org.freedesktop.DBus.Error.TimedOut", "System.Error.ETIMEDOUT"})
        if (name == timedOut)
            return Failure::TimedOut;
    for (std::string_view lost : {"org.freedesktop.DBus.Error.Disconnected", "org.freedesktop.DBus.Error.NoServer",
                                  "System.Error.ENOTCONN", "System.Error.ECONNRESET", "System.Error.EPIPE"})
        if (name == lost)
            return Failure::Lost;
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return Failure::Unreachable;
    return Failure::Refused;
}

void reportFailure(const char* method, const char* text)
{
    const std::string prefix = std::string("Error ") + method + ": ";
    schedulelog::report(prefix + text, prefix + text);
}

// A reply holding anything after the value read is not the expected one.
void expectEnd(sdbus::MethodReply& reply)
{
    std::string type;
    std::string contents;
    reply.peekType(type, contents);
    if (!type.empty() && type.front() != '\0')
        throw sdbus::Error("org.freedesktop.DBus.Error.InvalidSignature", "unexpected value after the result");
}

// What the service said when it turned a call down.
struct Refusal {
    bool refused = false;
    std::string text;
};

template <class Result, class... Args>
std::optional<Result> call(sdbus::IProxy* proxy, const char* method, Refusal* refusal, const Args&... args)
{
    if (passAbandoned)
        return std::nullopt;
    try {
        if (!proxy)
            throw sdbus::Error("org.freedesktop.DBus.Error.Disconnected", "no connection to the system bus");
        auto message = proxy->createMethodCall(kScheduleManagerInterface, method);
        (message << ... << args);
        auto reply = proxy->callMethod(message, kServiceCallTimeout);
        Result result{};
        if constexpr (!std::is_same_v<Result, NoReply>) {
            reply >> result;
            expectEnd(reply);
        }
        return result;
    } catch (const sdbus::Error& error) {
        reportFailure(method, error.what());
        const Failure failure = classify(error);
        if (failure == Failure::TimedOut && passDepth > 0)
            passAbandoned = true;
        if (failure == Failure::Lost)
            lostConnection = true;
        if (failure == Failure::Refused && refusal)
            *refusal = {true, error.getMessage()};
        return std::nullopt;
    }
}

template <class Result, class... Args>
std::optional<Result> call(sdbus::IProxy* proxy, const char* method, const Args&... args)
{
    return call<Result>(proxy, method, static_cast<Refusal*>(nullptr), args...);
}

template <class... Args>
UploadResult upload(sdbus::IProxy* proxy, const char* method, const Args&... args)
{
    Refusal refusal;
    if (call<NoReply>(proxy, method, &refusal, args...))
        return {UploadResult::Outcome::Accepted, {}};
    if (refusal.refused)
        return {UploadResult::Outcome::Refused, refusal.text};
    return {};
}

}  // namespace

ServicePass::ServicePass()
{
    if (passDepth++ == 0)
        passAbandoned = false;
}

ServicePass::~ServicePass()
{
    if (--passDepth == 0)
        passAbandoned = false;
}

bool ServicePass::abandoned() { return passAbandoned; }

bool connectionLost() { return lostConnection; }
void clearConnectionLost() { lostConnection = false; }

std::optional<bool> checkExistence(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName)
{
    return call<bool>(proxy, "checkExistence", cls, lnName);
}

std::optional<std::int32_t> updateStatusOfSchedule(sdbus::IProxy* proxy, std::int32_t cls, const std::string& prefix,
                                                   std::int32_t instance)
{
    return call<std::int32_t>(proxy, "updateStatusOfSchedule", cls, prefix, instance);
}

std::optional<std::uint64_t> getActStrTm(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName)
{
    return call<std::uint64_t>(proxy, "getActStrTm", cls, lnName);
}

std::optional<std::uint64_t> getNxtStrTm(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName)
{
    return call<std::uint64_t>(proxy, "getNxtStrTm", cls, lnName);
}

std::optional<std::int32_t> calculateValIndex(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName,
                                              std::uint64_t nowMs)
{
    return call<std::int32_t>(proxy, "calculateValIndex", cls, lnName, nowMs);
}

std::optional<double> getVal(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName, std::int32_t index)
{
    return call<double>(proxy, "getVal", cls, lnName, index);
}

UploadResult addScheduleJSON(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName, const TimedSchedule& s)
{
    return upload(proxy, "addScheduleJSON", cls, lnName, s.priority, s.numberOfEntries, s.interval, s.values,
                  s.startTimesMs, s.reuse, s.uploadTimeMs);
}

UploadResult addScheduleJSONTrg(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName,
                                const TriggeredSchedule& s)
{
    return upload(proxy, "addScheduleJSONTrg", cls, lnName, s.priority, s.numberOfEntries, s.interval, s.values,
                  s.reuse, s.eventTrigger, s.uploadTimeMs, s.systemSchedule);
}

std::optional<std::string> getActivateSchedule(sdbus::IProxy* proxy, std::int32_t cls)
{
    return call<std::string>(proxy, "getActivateSchedule", cls);
}

std::optional<Schedule3Days> getSchedule3Days(sdbus::IProxy* proxy, std::int32_t cls)
{
    return call<Schedule3Days>(proxy, "getSchedule3Days", cls);
}

}  // namespace schedulemanager
