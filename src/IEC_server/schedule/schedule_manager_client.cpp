#include "schedule_manager_client.hpp"

#include "schedule_log.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <type_traits>

std::unique_ptr<sdbus::IProxy> scheduleManagerProxy;

namespace schedulemanager {

namespace {

struct NoReply {};

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

template <class Result, class... Args>
std::optional<Result> call(sdbus::IProxy* proxy, const char* method, const Args&... args)
{
    try {
        if (!proxy)
            throw sdbus::Error("org.freedesktop.DBus.Error.Disconnected", "no connection to the system bus");
        auto message = proxy->createMethodCall(kScheduleManagerInterface, method);
        (message << ... << args);
        auto reply = proxy->callMethod(message);
        Result result{};
        if constexpr (!std::is_same_v<Result, NoReply>) {
            reply >> result;
            expectEnd(reply);
        }
        return result;
    } catch (const sdbus::Error& error) {
        reportFailure(method, error.what());
        return std::nullopt;
    }
}

}  // namespace

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

bool addScheduleJSON(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName, const TimedSchedule& s)
{
    return call<NoReply>(proxy, "addScheduleJSON", cls, lnName, s.priority, s.numberOfEntries, s.interval, s.values,
                         s.startTimesMs, s.reuse, s.uploadTimeMs)
        .has_value();
}

bool addScheduleJSONTrg(sdbus::IProxy* proxy, std::int32_t cls, const std::string& lnName, const TriggeredSchedule& s)
{
    return call<NoReply>(proxy, "addScheduleJSONTrg", cls, lnName, s.priority, s.numberOfEntries, s.interval,
                         s.values, s.reuse, s.eventTrigger, s.uploadTimeMs, s.systemSchedule)
        .has_value();
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
