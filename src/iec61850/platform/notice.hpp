// Troubles the stack meets at run time that no caller waits to hear of: a
// report that could not be sent, log entries lost. Each is one line, written
// to syslog at notice priority under the identity the program opened it
// with, unless a sink is set.
#pragma once

#include <functional>
#include <string>

namespace iec61850::platform {

using NoticeSink = std::function<void(const std::string& line)>;

void notice(const std::string& line);
// nullptr: syslog again. Returns the sink it replaces. The sink may be called
// from any thread, one line at a time; it must not call notice().
NoticeSink setNoticeSink(NoticeSink sink);

}  // namespace iec61850::platform
