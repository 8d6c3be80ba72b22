#include "interface_ems.hpp"

InterfaceEMS::InterfaceEMS(ServerContext* context) : context_(context) {}
