#include "console.hpp"
#include "iec_server.hpp"
#include "interface_ems.hpp"

#include <cstring>

namespace {

bool debugRequested(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "debug") == 0)
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    ServerContext context("");
    if (debugRequested(argc, argv)) {
        context.debugMode = true;
        printLine("Debug mode enabled");
    }
    InterfaceEMS ems(&context);
    runIecServer(context);
}
