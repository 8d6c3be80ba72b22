// The thread that talks to the schedule manager, so that the MMS server never
// waits for it: the start-up pass, the drains of recorded writes, the device
// passes that the schedules' own times call for, and a slow safety pass for
// what the service decides on its own. Nothing runs when nothing is due.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class IecScheduleHandling;

class ScheduleWorker {
public:
    struct Steps {
        // The start-up pass; runs first, once. False as for drain.
        std::function<bool()> startUp;
        // Takes the recorded changes; false when some of them got no answer
        // from the service (they are kept for a later drain).
        std::function<bool()> drain;
        // Whether a drain has work waiting.
        std::function<bool()> drainPending;
        // Puts the changes that got no answer back for the next drain.
        std::function<void()> retryUnanswered;
    };
    struct Timing {
        std::chrono::milliseconds drainPeriod{450};
        std::chrono::milliseconds safetyPeriod{60'000};
        // After a pass the service did not answer in time.
        std::chrono::milliseconds retryPeriod{5'000};
    };

    ScheduleWorker(IecScheduleHandling& handling, Steps steps, Timing timing);
    ~ScheduleWorker();
    ScheduleWorker(const ScheduleWorker&) = delete;
    ScheduleWorker& operator=(const ScheduleWorker&) = delete;

    void start();
    // Something for the next drain was recorded; safe from any thread.
    void wake();

private:
    using Clock = std::chrono::steady_clock;
    static constexpr int kDevices = 2;

    void run();
    void waitForWork();
    Clock::time_point gridPointFrom(Clock::time_point now) const;
    Clock::time_point nextWake();
    void runDueWork();
    void devicePass(int device);
    void afterPass(bool answered);
    void planDevice(int device);

    IecScheduleHandling& handling_;
    Steps steps_;
    Timing timing_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool woken_ = false;
    bool stopping_ = false;
    Clock::time_point drainGrid_;  // a point of the drains' grid
    Clock::time_point drainAt_ = Clock::time_point::max();
    Clock::time_point nextSafetyPass_;
    Clock::time_point retryAt_ = Clock::time_point::max();
    Clock::time_point due_[kDevices];
    std::thread thread_;
};
