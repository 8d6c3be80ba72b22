#include "server_context.hpp"

#include <utility>

ServerContext::ServerContext(std::string label) : label_(std::move(label)) {}

void ServerContext::registerCallback(const std::string& key, SetpointListener listener)
{
    callbackTable[key] = std::move(listener);
}
