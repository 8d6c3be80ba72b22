#include "state_file.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <fcntl.h>
#include <fstream>
#include <ostream>
#include <sstream>
#include <unistd.h>

namespace schedmgr {

namespace {

using nlohmann::json;

constexpr int formatVersion = 1;

const char* triggerName(Trigger trigger)
{
    switch (trigger) {
    case Trigger::StartTimes:
        return "start-times";
    case Trigger::Event:
        return "event";
    case Trigger::None:
        return "none";
    }
    return "none";
}

Trigger triggerFromName(const std::string& name)
{
    for (auto trigger : {Trigger::StartTimes, Trigger::Event, Trigger::None})
        if (name == triggerName(trigger))
            return trigger;
    throw std::runtime_error("unknown trigger '" + name + "'");
}

json toJson(std::int32_t cls, const std::string& lnName, const Schedule& s)
{
    json record = {{"cls", cls},
                   {"ln", lnName},
                   {"priority", s.priority},
                   {"entries", s.entryCount},
                   {"interval", s.intervalSeconds},
                   {"values", s.values},
                   {"starts", s.startTimes},
                   {"reuse", s.reuse},
                   {"trigger", triggerName(s.trigger)},
                   {"system", s.systemSchedule},
                   {"uploaded", s.uploadTime}};
    if (s.eventSince)
        record["eventSince"] = *s.eventSince;
    return record;
}

template <typename Integer>
Integer integer(const json& value)
{
    const bool fits = std::is_signed_v<Integer>
                          ? value.is_number_integer() && value.get<std::int64_t>() >= INT32_MIN &&
                                value.get<std::int64_t>() <= INT32_MAX
                          : value.is_number_unsigned();
    if (!fits)
        throw std::runtime_error("bad number " + value.dump());
    return value.get<Integer>();
}

template <typename Integer>
std::vector<Integer> integers(const json& array)
{
    std::vector<Integer> result;
    for (const auto& item : array)
        result.push_back(integer<Integer>(item));
    return result;
}

Schedule scheduleFromJson(const json& record)
{
    Schedule s;
    s.priority = integer<std::int32_t>(record.at("priority"));
    s.entryCount = integer<std::int32_t>(record.at("entries"));
    s.intervalSeconds = integer<std::int32_t>(record.at("interval"));
    record.at("values").get_to(s.values);
    s.startTimes = integers<Millis>(record.at("starts"));
    record.at("reuse").get_to(s.reuse);
    s.trigger = triggerFromName(record.at("trigger").get<std::string>());
    record.at("system").get_to(s.systemSchedule);
    s.uploadTime = integer<Millis>(record.at("uploaded"));
    if (record.contains("eventSince"))
        s.eventSince = integer<Millis>(record.at("eventSince"));
    return s;
}

bool writeAll(int fd, const std::string& text)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

std::string toJson(const ScheduleStore& store)
{
    json records = json::array();
    for (const auto& [key, schedule] : store.schedules())
        records.push_back(toJson(key.first, key.second, schedule));
    return json{{"format", formatVersion}, {"schedules", records}}.dump(1) + "\n";
}

ScheduleStore fromJson(const std::string& text)
{
    try {
        const json document = json::parse(text);
        if (integer<std::int32_t>(document.at("format")) != formatVersion)
            throw std::runtime_error("unknown format");
        ScheduleStore store;
        for (const auto& record : document.at("schedules"))
            store.restore(integer<std::int32_t>(record.at("cls")), record.at("ln").get<std::string>(),
                          scheduleFromJson(record));
        return store;
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& e) {
        throw std::runtime_error(e.what());
    }
}

ScheduleStore StateFile::load(std::ostream& errors) const
{
    std::ifstream in(path_, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return fromJson(text.str());
    } catch (const std::exception& e) {
        const std::string aside = path_ + ".corrupt";
        errors << "schedule-manager: state file " << path_ << " is unusable (" << e.what() << ")";
        if (std::rename(path_.c_str(), aside.c_str()) == 0)
            errors << ", moved to " << aside;
        errors << "; starting with no schedules" << std::endl;
        return {};
    }
}

bool StateFile::save(const ScheduleStore& store, std::ostream& errors) const
{
    const std::string temporary = path_ + ".tmp";
    const std::string text = toJson(store);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), path_.c_str()) == 0;
    if (!ok) {
        errors << "schedule-manager: cannot write state file " << path_ << ": " << std::strerror(errno)
               << std::endl;
        ::unlink(temporary.c_str());
    }
    return ok;
}

}  // namespace schedmgr
