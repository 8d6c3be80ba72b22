#include "iec61850/platform/notice.hpp"

#include <mutex>
#include <syslog.h>

namespace iec61850::platform {

namespace {

std::mutex& sinkMutex()
{
    static std::mutex m;
    return m;
}

NoticeSink& currentSink()
{
    static NoticeSink sink;
    return sink;
}

}  // namespace

void notice(const std::string& line)
{
    std::lock_guard lock(sinkMutex());
    if (currentSink())
        currentSink()(line);
    else
        syslog(LOG_NOTICE, "%s", line.c_str());
}

NoticeSink setNoticeSink(NoticeSink sink)
{
    std::lock_guard lock(sinkMutex());
    std::swap(sink, currentSink());
    return sink;
}

}  // namespace iec61850::platform
