// A stand-in for the schedule-manager service, served from the test process
// on the private system bus: it records every call and answers as told,
// with wrong reply types, with errors, or late. And the syslog records of
// schedule handling, kept for the test instead of syslog.
#pragma once

#include "schedule_log.hpp"
#include "schedule_manager_client.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IObject;
class MethodCall;
class MethodReply;
}  // namespace sdbus

class RecordCapture {
public:
    using Records = std::vector<std::pair<int, std::string>>;
    RecordCapture()
    {
        clear();
        schedulelog::setRecordSink(&keep);
    }
    ~RecordCapture() { schedulelog::setRecordSink(nullptr); }
    RecordCapture(const RecordCapture&) = delete;
    RecordCapture& operator=(const RecordCapture&) = delete;

    static Records records()
    {
        std::lock_guard lock(mutex_);
        return store_;
    }
    static void clear()
    {
        std::lock_guard lock(mutex_);
        store_.clear();
    }

private:
    static void keep(int priority, const std::string& text)
    {
        std::lock_guard lock(mutex_);
        store_.emplace_back(priority, text);
    }
    static inline std::mutex mutex_;
    static inline Records store_;
};

// One addScheduleJSON or addScheduleJSONTrg as received.
struct ReceivedUpload {
    std::string method;
    std::int32_t cls = 0;
    std::string lnName;
    std::int32_t priority = 0;
    std::int32_t numberOfEntries = 0;
    std::int32_t interval = 0;
    std::vector<double> values;
    std::vector<std::uint64_t> startTimesMs;
    bool reuse = false;
    bool eventTrigger = false;
    std::uint64_t uploadTimeMs = 0;
    bool systemSchedule = false;
    bool operator==(const ReceivedUpload&) const = default;
};

class FakeScheduleManager {
public:
    enum class Replies {
        Correct,
        WrongTypes,   // a string where a number is due, a number where a string is
        NoValue,      // an empty reply
        ExtraValue,   // the right value followed by one more
    };

    explicit FakeScheduleManager(Replies replies = Replies::Correct,
                                 std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    ~FakeScheduleManager();
    FakeScheduleManager(const FakeScheduleManager&) = delete;
    FakeScheduleManager& operator=(const FakeScheduleManager&) = delete;

    void setState(std::int32_t cls, const std::string& prefix, std::int32_t code);  // default 1
    void setActive(std::int32_t cls, const std::string& lnName);  // default "no_schedule_active"
    void setEntry(std::int32_t index, double value, std::uint64_t actStrTm, std::uint64_t nxtStrTm);
    // Sent in the order given.
    void setSchedule3Days(std::vector<std::pair<std::uint64_t, std::int64_t>> days);
    // The method answers with a D-Bus error from now on.
    void fail(const std::string& method);

    // "getVal 1 EmpSPrg_FSCH020001 3", in arrival order; uploads as "addScheduleJSON 1 <lnName>".
    std::vector<std::string> calls() const;
    std::vector<ReceivedUpload> uploads() const;
    void clear();

private:
    template <class... In, class Answer>
    void add(const char* method, const char* in, const char* out, Answer answer);
    void record(std::string line);
    bool failing(const std::string& method) const;

    Replies replies_;
    std::chrono::milliseconds delay_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::int32_t, std::string>, std::int32_t> states_;
    std::map<std::int32_t, std::string> active_;
    std::int32_t index_ = 0;
    double value_ = 0.0;
    std::uint64_t actStrTm_ = 0;
    std::uint64_t nxtStrTm_ = 0;
    std::vector<std::pair<std::uint64_t, std::int64_t>> days_;
    std::set<std::string> failing_;
    std::vector<std::string> calls_;
    std::vector<ReceivedUpload> uploads_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};
