// The JSON-RPC export of the set-point: "updateEnergyData" posted to the
// EMS's JSON-RPC server over plain HTTP.
#pragma once

#include "jsonrpc_client.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace httplib {
class Client;
}

// POSTs each request to "/jsonrpc"; no answer or a status other than 200
// throws jsonrpc::Exception -32003.
class CppHttpLibClientConnector : public jsonrpc::ClientConnector {
public:
    // Short enough that an unreachable server holds the main loop only briefly.
    static constexpr std::chrono::seconds kConnectTimeout{3};
    static constexpr std::chrono::seconds kReadTimeout{3};
    static constexpr std::chrono::seconds kWriteTimeout{3};

    CppHttpLibClientConnector(const std::string& host, std::int32_t port);
    ~CppHttpLibClientConnector() override;
    CppHttpLibClientConnector(const CppHttpLibClientConnector&) = delete;
    CppHttpLibClientConnector& operator=(const CppHttpLibClientConnector&) = delete;

    std::string send(const std::string& request) override;

private:
    std::unique_ptr<httplib::Client> httpClient_;
};

class JsonrpcMapper {
public:
    JsonrpcMapper(bool enabled, const std::string& host, std::int32_t port);

    // Keeps both values and sends them when the export is enabled; never throws.
    void updateValues(std::int64_t value1, std::int64_t value2);
    // One call of "updateEnergyData"; the outcome goes to the console.
    void updateEnergyData(std::int64_t value1, std::int64_t value2);

    bool enabled() const { return enabled_; }
    std::int64_t value1() const { return value1_; }
    std::int64_t value2() const { return value2_; }

private:
    bool enabled_;
    CppHttpLibClientConnector connector_;
    jsonrpc::Client client_;
    std::int64_t value1_ = 0;
    std::int64_t value2_ = 0;
};

// The process's one exporter, created by InterfaceEMS at start-up.
extern std::unique_ptr<JsonrpcMapper> jsonrpcMapper;
