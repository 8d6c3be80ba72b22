// Syslog records of schedule handling, kept for the test instead of syslog.
#pragma once

#include "schedule_log.hpp"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

class RecordCapture {
public:
    RecordCapture() { schedulelog::setRecordSink(&RecordCapture::keep); clear(); }
    ~RecordCapture() { schedulelog::setRecordSink(nullptr); }
    RecordCapture(const RecordCapture&) = delete;
    RecordCapture& operator=(const RecordCapture&) = delete;

    static std::vector<std::pair<int, std::string>> records()
    {
        std::lock_guard lock(mutex());
        return store();
    }
    static void clear()
    {
        std::lock_guard lock(mutex());
        store().clear();
    }

private:
    static void keep(int priority, const std::string& text)
    {
        std::lock_guard lock(mutex());
        store().emplace_back(priority, text);
    }
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::pair<int, std::string>>& store()
    {
        static std::vector<std::pair<int, std::string>> s;
        return s;
    }
};
