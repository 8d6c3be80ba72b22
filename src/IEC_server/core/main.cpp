#include "interface_ems.hpp"
#include "iec_server.hpp"

int main()
{
    ServerContext context("");
    InterfaceEMS ems(&context);
    runIecServer(context);
}
