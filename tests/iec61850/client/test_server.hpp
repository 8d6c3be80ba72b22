// A threaded MmsServer on a free loopback port, serving a small model with
// a variable of every MMS type.
#pragma once

#include "iec61850/client/mms_connection.hpp"
#include "iec61850/server/memory_model.hpp"
#include "iec61850/server/mms_server.hpp"

#include <memory>

namespace client_test {

constexpr const char* kDevice = "DEV";
constexpr const char* kBig = "BIG";
constexpr int kBigNames = 600;

// BIG's variable names, in the order the server lists them.
std::string bigName(int i);

std::unique_ptr<iec61850::server::InMemoryModel> makeModel();

struct TestServer {
    explicit TestServer(iec61850::server::ServerConfig config = {});
    ~TestServer();

    iec61850::client::ConnectOptions options(std::int32_t maxPduSize = 65000) const;

    std::unique_ptr<iec61850::server::InMemoryModel> model;
    std::unique_ptr<iec61850::server::MmsServer> server;
    std::uint16_t port = 0;
};

}  // namespace client_test
