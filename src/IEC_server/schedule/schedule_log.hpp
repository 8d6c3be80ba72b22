// Diagnostics of schedule handling: lines on standard output (each ended and
// flushed) and records in syslog.
#pragma once

#include <string>
#include <syslog.h>

namespace schedulelog {

void print(const std::string& line);
void record(int priority, const std::string& text);

// The usual pair: the line on standard output, the record at notice priority.
inline void report(const std::string& line, const std::string& text)
{
    print(line);
    record(LOG_NOTICE, text);
}

// Where records go instead of syslog; nullptr restores syslog.
using RecordSink = void (*)(int priority, const std::string& text);
void setRecordSink(RecordSink sink);

}  // namespace schedulelog
