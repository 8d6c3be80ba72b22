// The box's D-Bus service for the local energy management system.
#pragma once

#include "server_context.hpp"

class InterfaceEMS {
public:
    explicit InterfaceEMS(ServerContext* context);

private:
    ServerContext* context_;
};
