#include "schedule_log.hpp"

#include <atomic>
#include <cstdio>

namespace schedulelog {

namespace {
std::atomic<RecordSink> recordSink{nullptr};
}

void print(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void record(int priority, const std::string& text)
{
    if (RecordSink sink = recordSink.load())
        sink(priority, text);
    else
        syslog(priority, "%s", text.c_str());
}

void setRecordSink(RecordSink sink) { recordSink.store(sink); }

}  // namespace schedulelog
