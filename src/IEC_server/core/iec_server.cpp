#include "iec_server.hpp"

#include "iec_schedule_handling.hpp"
#include "iec61850/ied/hal.hpp"

IedServer iedServer = nullptr;
std::unique_ptr<IecScheduleHandling> scheduleHandling;

void initiateIecServer(ServerContext&) {}
void registerWriteHandlers(ServerContext&, int) {}
void processIECValuesInSM() {}

void runIecServer(ServerContext& context)
{
    initiateIecServer(context);
    for (;;) Thread_sleep(10);
}
