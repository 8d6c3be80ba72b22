// The store kept in a JSON file, so that a restart keeps every schedule.
#pragma once

#include "schedule_store.hpp"

#include <iosfwd>
#include <string>

namespace schedmgr {

std::string toJson(const ScheduleStore& store);
// Throws std::runtime_error when the text is not a store this service wrote.
ScheduleStore fromJson(const std::string& text);

class StateFile {
public:
    explicit StateFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // A missing file is an empty store. A corrupt one is reported on errors,
    // renamed to path + ".corrupt" and replaced by an empty store.
    ScheduleStore load(std::ostream& errors) const;
    // Writes a temporary file next to the target and renames it over it.
    bool save(const ScheduleStore& store, std::ostream& errors) const;

private:
    std::string path_;
};

}  // namespace schedmgr
