// The JSON-RPC export's settings: key=value lines of JSONRPC_config.conf.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

struct JsonrpcConfig {
    bool enabled = false;
    std::string host = "localhost";
    std::int32_t port = 5000;
};

inline constexpr const char* kJsonrpcConfigPath = "../config/JSONRPC_config.conf";

// Applies the lines of in to config, reporting each setting. A port that is
// no number or lies outside 32 bits throws std::invalid_argument or
// std::out_of_range; the lines before it stay applied.
void applyJsonrpcConfig(std::istream& in, JsonrpcConfig& config);
