// The server process: its one server, its schedule handling, and the steps
// the main loop runs.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"
#include "server_context.hpp"

#include <memory>

class IecScheduleHandling;

extern IedServer iedServer;
extern std::unique_ptr<IecScheduleHandling> scheduleHandling;

[[noreturn]] void runIecServer(ServerContext& context);
void initiateIecServer(ServerContext& context);
void registerWriteHandlers(ServerContext& context, int n);
void processIECValuesInSM();
