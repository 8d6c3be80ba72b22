#include "dbus_service.hpp"

#include "iec61850/platform/clock.hpp"

#include <iostream>
#include <sstream>

namespace schedmgr {

namespace {

const std::string errorPrefix = std::string(serviceName) + ".Error.";

std::string errorName(RequestError::Kind kind)
{
    switch (kind) {
    case RequestError::Kind::InvalidArgs:
        return errorPrefix + "InvalidArgs";
    case RequestError::Kind::UnknownSchedule:
        return errorPrefix + "UnknownSchedule";
    case RequestError::Kind::StoreFull:
        return errorPrefix + "StoreFull";
    }
    return errorPrefix + "Failed";
}

// A name as it may safely appear in one trace line.
std::string printable(const std::string& text)
{
    std::string result = text.substr(0, maxLnNameLength);
    for (char& c : result)
        if (c <= ' ' || c == 0x7f)
            c = '?';
    return result.empty() ? "\"\"" : result;
}

class TraceLine {
public:
    explicit TraceLine(const char* method) { out_ << method; }
    TraceLine& operator()(const char* key, const std::string& value)
    {
        out_ << ' ' << key << '=' << printable(value);
        return *this;
    }
    template <typename Value>
    TraceLine& operator()(const char* key, const Value& value)
    {
        out_ << ' ' << key << '=' << value;
        return *this;
    }
    std::string str() const { return out_.str(); }

private:
    std::ostringstream out_;
};

template <typename Body>
auto answer(Body&& body)
{
    try {
        return body();
    } catch (const RequestError& e) {
        throw sdbus::Error(errorName(e.kind()), e.what());
    } catch (const sdbus::Error&) {
        throw;
    } catch (const std::exception& e) {
        throw sdbus::Error(errorPrefix + "Failed", e.what());
    }
}

Upload makeUpload(std::int32_t priority, std::int32_t entryCount, std::int32_t interval, std::vector<double> values,
                  bool reuse, Millis uploadTime)
{
    Upload upload;
    upload.priority = priority;
    upload.entryCount = entryCount;
    upload.intervalSeconds = interval;
    upload.values = std::move(values);
    upload.reuse = reuse;
    upload.uploadTime = uploadTime;
    return upload;
}

}  // namespace

Millis systemClockMillis() { return iec61850::platform::wallTimeMs(); }

ScheduleManagerService::ScheduleManagerService(sdbus::IConnection& connection, ScheduleStore store,
                                               Settings settings)
    : store_(std::move(store)), settings_(std::move(settings)), object_(sdbus::createObject(connection, objectPath))
{
    registerMethods();
    object_->finishRegistration();
}

void ScheduleManagerService::trace(const std::string& line) const
{
    if (settings_.trace)
        std::cout << line << std::endl;
}

void ScheduleManagerService::changed()
{
    settings_.stateFile.save(store_, std::cerr);
}

void ScheduleManagerService::registerMethods()
{
    using std::int32_t;
    using std::string;
    auto now = [this] { return settings_.clock(); };

    object_->registerMethod("checkExistence").onInterface(interfaceName).implementedAs([this](int32_t cls, string ln) {
        trace(TraceLine("checkExistence")("cls", cls)("ln", ln).str());
        return answer([&] { return store_.contains(cls, ln); });
    });

    object_->registerMethod("updateStatusOfSchedule")
        .onInterface(interfaceName)
        .implementedAs([this, now](int32_t cls, string prefix, int32_t instance) {
            trace(TraceLine("updateStatusOfSchedule")("cls", cls)("prefix", prefix)("instance", instance).str());
            return answer([&] {
                if (instance < 0)
                    throw RequestError(RequestError::Kind::InvalidArgs, "negative instance number");
                return static_cast<int32_t>(store_.state(cls, prefix + std::to_string(instance), now()));
            });
        });

    object_->registerMethod("getActStrTm").onInterface(interfaceName).implementedAs([this, now](int32_t cls, string ln) {
        trace(TraceLine("getActStrTm")("cls", cls)("ln", ln).str());
        return answer([&] { return store_.activeStartTime(cls, ln, now()); });
    });

    object_->registerMethod("getNxtStrTm").onInterface(interfaceName).implementedAs([this, now](int32_t cls, string ln) {
        trace(TraceLine("getNxtStrTm")("cls", cls)("ln", ln).str());
        return answer([&] { return store_.nextStartTime(cls, ln, now()); });
    });

    object_->registerMethod("calculateValIndex")
        .onInterface(interfaceName)
        .implementedAs([this](int32_t cls, string ln, Millis at) {
            trace(TraceLine("calculateValIndex")("cls", cls)("ln", ln)("now", at).str());
            return answer([&] { return store_.entryIndex(cls, ln, at); });
        });

    object_->registerMethod("getVal").onInterface(interfaceName).implementedAs([this](int32_t cls, string ln, int32_t index) {
        trace(TraceLine("getVal")("cls", cls)("ln", ln)("index", index).str());
        return answer([&] { return store_.value(cls, ln, index); });
    });

    object_->registerMethod("addScheduleJSON")
        .onInterface(interfaceName)
        .implementedAs([this](int32_t cls, string ln, int32_t priority, int32_t entries, int32_t interval,
                              std::vector<double> values, std::vector<Millis> starts, bool reuse, Millis uploaded) {
            trace(TraceLine("addScheduleJSON")("cls", cls)("ln", ln)("prio", priority)("n", entries)("intv", interval)(
                      "values", values.size())("starts", starts.size())("start1", starts.empty() ? Millis{0} : starts[0])(
                      "reuse", reuse)
                      .str());
            answer([&] {
                auto upload = makeUpload(priority, entries, interval, std::move(values), reuse, uploaded);
                upload.startTimes = std::move(starts);
                upload.trigger = Trigger::StartTimes;
                store(cls, ln, upload);
            });
        });

    object_->registerMethod("addScheduleJSONTrg")
        .onInterface(interfaceName)
        .implementedAs([this](int32_t cls, string ln, int32_t priority, int32_t entries, int32_t interval,
                              std::vector<double> values, bool reuse, bool eventTrigger, Millis uploaded,
                              bool systemSchedule) {
            trace(TraceLine("addScheduleJSONTrg")("cls", cls)("ln", ln)("prio", priority)("n", entries)(
                      "intv", interval)("values", values.size())("reuse", reuse)("evtrg", eventTrigger)(
                      "system", systemSchedule)
                      .str());
            answer([&] {
                auto upload = makeUpload(priority, entries, interval, std::move(values), reuse, uploaded);
                upload.trigger = eventTrigger ? Trigger::Event : Trigger::None;
                upload.systemSchedule = systemSchedule;
                store(cls, ln, upload);
            });
        });

    object_->registerMethod("getActivateSchedule").onInterface(interfaceName).implementedAs([this, now](int32_t cls) {
        trace(TraceLine("getActivateSchedule")("cls", cls).str());
        return answer([&] { return store_.activeSchedule(cls, now()); });
    });

    object_->registerMethod("getSchedule3Days").onInterface(interfaceName).implementedAs([this, now](int32_t cls) {
        trace(TraceLine("getSchedule3Days")("cls", cls).str());
        return answer([&] { return store_.profile(cls, now()); });
    });

    object_->registerMethod("setEvent")
        .onInterface(interfaceName)
        .implementedAs([this, now](int32_t cls, string ln, bool present) {
            trace(TraceLine("setEvent")("cls", cls)("ln", ln)("present", present).str());
            answer([&] {
                store_.setEvent(cls, ln, present, now());
                changed();
            });
        });
}

void ScheduleManagerService::store(std::int32_t cls, const std::string& lnName, const Upload& upload)
{
    const bool had = store_.schedules().contains({cls, lnName});
    try {
        store_.upload(cls, lnName, upload);
    } catch (const RequestError&) {
        if (had)
            changed();
        throw;
    }
    changed();
}

}  // namespace schedmgr
