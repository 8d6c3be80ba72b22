// A stand-in for the schedule-manager service, served from the test process on
// the private system bus: every call is recorded as a line of text and answered
// from a table of canned replies, with an error, or with replies of the wrong
// shape. And the syslog records of schedule handling, kept for the test.
#pragma once

#include "schedule_log.hpp"
#include "schedule_manager_client.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sdbus {
class IConnection;
class IObject;
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

class FakeScheduleManager {
public:
    enum class Replies {
        Correct,
        WrongTypes,  // a string where a number is due, a number where a string is
        NoValue,     // an empty reply
        ExtraValue,  // the right value followed by one more
    };

    explicit FakeScheduleManager(Replies replies = Replies::Correct);
    ~FakeScheduleManager();

    // From now on, calls whose line starts with `call` ("getVal", "updateStatusOfSchedule 2
    // DsoECmd_FSCH25000") get this reply, written in the reply's type: "3", "10.5",
    // "EmpSPrg_FSCH020001", "1000:-10 2000:20". The longest matching start wins.
    void answer(const std::string& call, const std::string& reply);
    // The method answers with a D-Bus error from now on.
    void fail(const std::string& method);

    // "getVal 1 EmpSPrg_FSCH020001 3" in arrival order; arrays as "[a b c]",
    // doubles with all their digits.
    std::vector<std::string> calls() const;
    void clear();

private:
    std::string replyTo(const std::string& call) const;

    Replies replies_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> answers_;
    std::set<std::string> failing_;
    std::vector<std::string> calls_;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};

// The fields of a recorded call, apart by spaces; an array is one field.
std::vector<std::string> callFields(const std::string& call);
