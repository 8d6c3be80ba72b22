#include "jsonrpc_mapper.hpp"

#include <httplib.h>

#include <iostream>

std::unique_ptr<JsonrpcMapper> jsonrpcMapper;

namespace {

constexpr int kRequestId = 1;
constexpr const char* kMethod = "updateEnergyData";

}  // namespace

CppHttpLibClientConnector::CppHttpLibClientConnector(const std::string& host, std::int32_t port)
    : httpClient_(std::make_unique<httplib::Client>(host, port))
{
    httpClient_->set_connection_timeout(kConnectTimeout);
    httpClient_->set_read_timeout(kReadTimeout);
    httpClient_->set_write_timeout(kWriteTimeout);
}

CppHttpLibClientConnector::~CppHttpLibClientConnector() = default;

std::string CppHttpLibClientConnector::send(const std::string& request)
{
    auto response = httpClient_->Post("/jsonrpc", request, "application/json");
    if (!response || response->status != 200)
        throw jsonrpc::Exception(jsonrpc::kConnectorError, "client connector error, received status != 200");
    return response->body;
}

JsonrpcMapper::JsonrpcMapper(bool enabled, const std::string& host, std::int32_t port)
    : enabled_(enabled), connector_(host, port), client_(connector_)
{
}

void JsonrpcMapper::updateValues(std::int64_t value1, std::int64_t value2)
{
    value1_ = value1;
    value2_ = value2;
    if (enabled_)
        updateEnergyData(value1, value2);
}

void JsonrpcMapper::updateEnergyData(std::int64_t value1, std::int64_t value2)
{
    try {
        if (client_.callMethod<bool>(kRequestId, kMethod, nlohmann::json::array({value1, value2})))
            std::cout << "JsonrpcMapper -> Successfully sent values to server." << std::endl;
        else
            std::cerr << "JsonrpcMapper -> Failed to send values to server." << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "JsonrpcMapper -> Error sending values: " << e.what() << std::endl;
    }
}
