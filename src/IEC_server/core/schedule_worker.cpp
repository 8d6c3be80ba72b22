#include "schedule_worker.hpp"

#include "iec_schedule_handling.hpp"
#include "iec61850/ied/hal.hpp"

#include <algorithm>

namespace {

using namespace std::chrono;

// Never sleeps longer than this, so that no wait is computed from a far-off time.
constexpr hours kLongestWait{1};

LogicalDeviceKind kindOf(int device) { return device == 0 ? LogicalDeviceKind::CLS1 : LogicalDeviceKind::CLS2; }

std::uint64_t wallClockMs() { return Hal_getTimeInMs(); }

}  // namespace

ScheduleWorker::ScheduleWorker(IecScheduleHandling& handling, Steps steps, Timing timing)
    : handling_(handling), steps_(std::move(steps)), timing_(timing)
{
    std::fill(std::begin(due_), std::end(due_), Clock::time_point::max());
}

ScheduleWorker::~ScheduleWorker()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wakeUp_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void ScheduleWorker::start()
{
    thread_ = std::thread([this] { run(); });
}

void ScheduleWorker::wake()
{
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wakeUp_.notify_one();
}

void ScheduleWorker::run()
{
    {
        schedulemanager::ServicePass pass;
        const bool answered = steps_.startUp();
        afterPass(answered && !schedulemanager::ServicePass::abandoned());
    }
    const Clock::time_point now = Clock::now();
    drainGrid_ = now;
    nextSafetyPass_ = now + timing_.safetyPeriod;
    for (int device = 0; device < kDevices; ++device)
        planDevice(device);
    for (;;) {
        waitForWork();
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        runDueWork();
    }
}

// Drains keep to a grid of their period, so that the writes of one period go
// together whatever moment the first of them came.
ScheduleWorker::Clock::time_point ScheduleWorker::gridPointFrom(Clock::time_point now) const
{
    if (now <= drainGrid_)
        return drainGrid_;
    const auto periods = (now - drainGrid_ + timing_.drainPeriod - Clock::duration(1)) / timing_.drainPeriod;
    return drainGrid_ + periods * timing_.drainPeriod;
}

ScheduleWorker::Clock::time_point ScheduleWorker::nextWake()
{
    const Clock::time_point now = Clock::now();
    if (drainAt_ == Clock::time_point::max() && steps_.drainPending())
        drainAt_ = gridPointFrom(now);
    Clock::time_point next = std::min({nextSafetyPass_, retryAt_, drainAt_, now + kLongestWait});
    for (Clock::time_point due : due_)
        next = std::min(next, due);
    return next;
}

void ScheduleWorker::waitForWork()
{
    const Clock::time_point until = nextWake();
    std::unique_lock lock(mutex_);
    if (!woken_ && !stopping_)
        wakeUp_.wait_until(lock, until, [this] { return woken_ || stopping_; });
    woken_ = false;
}

void ScheduleWorker::runDueWork()
{
    Clock::time_point now = Clock::now();
    if (retryAt_ <= now) {
        retryAt_ = Clock::time_point::max();
        steps_.retryUnanswered();
        nextSafetyPass_ = now;
    }
    if (drainAt_ <= now) {
        drainAt_ = Clock::time_point::max();
        schedulemanager::ServicePass pass;
        handling_.reconnectIfLost();
        const bool answered = steps_.drain();
        afterPass(answered && !schedulemanager::ServicePass::abandoned());
        for (int device = 0; device < kDevices; ++device)
            planDevice(device);
    }
    now = Clock::now();
    const bool safetyDue = nextSafetyPass_ <= now;
    for (int device = 0; device < kDevices; ++device)
        if (safetyDue || due_[device] <= now)
            devicePass(device);
    if (safetyDue)
        nextSafetyPass_ = Clock::now() + timing_.safetyPeriod;
}

void ScheduleWorker::devicePass(int device)
{
    {
        schedulemanager::ServicePass pass;
        handling_.reconnectIfLost();
        handling_.updateDevice(kindOf(device));
        afterPass(!schedulemanager::ServicePass::abandoned());
    }
    planDevice(device);
}

void ScheduleWorker::afterPass(bool answered)
{
    if (!answered)
        retryAt_ = std::min(retryAt_, Clock::now() + timing_.retryPeriod);
}

void ScheduleWorker::planDevice(int device)
{
    const std::uint64_t wallNow = wallClockMs();
    const auto next = handling_.nextChangeMs(kindOf(device), wallNow);
    due_[device] = next ? Clock::now() + milliseconds(*next - wallNow) : Clock::time_point::max();
}
