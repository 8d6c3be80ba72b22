#include "jsonrpc_config.hpp"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <string_view>
#include <syslog.h>

namespace {

std::string_view trimBlanks(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string withoutWhiteSpace(std::string_view text)
{
    std::string result;
    std::copy_if(text.begin(), text.end(), std::back_inserter(result),
                 [](char c) { return !std::isspace(static_cast<unsigned char>(c)); });
    return result;
}

void applySetting(const std::string& key, const std::string& value, JsonrpcConfig& config)
{
    if (key == "jsonrpcEnabled") {
        config.enabled = value == "true";
        const char* text = config.enabled ? "jsonrpcEnabled: true" : "jsonrpcEnabled: false";
        std::cout << text << std::endl;
        syslog(LOG_INFO, "%s", text);
    } else if (key == "jsonrpcHost") {
        config.host = value;
        std::cout << "jsonrpcHost: " << value << std::endl;
        syslog(LOG_INFO, "jsonrpcHost: %s", value.c_str());
    } else if (key == "jsonrpcPort") {
        config.port = std::stoi(value);
        std::cout << "jsonrpcPort: " << config.port << std::endl;
        syslog(LOG_INFO, "jsonrpcPort: %d", config.port);
    } else {
        std::cerr << "Unknown key in JSONRPC_config.conf: " << key << std::endl;
        syslog(LOG_INFO, "Unknown key in JSONRPC_config.conf: %s", key.c_str());
    }
}

}  // namespace

void applyJsonrpcConfig(std::istream& in, JsonrpcConfig& config)
{
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string value(trimBlanks(std::string_view(line).substr(equals + 1)));
        if (value.empty())
            continue;
        applySetting(withoutWhiteSpace(std::string_view(line).substr(0, equals)), value, config);
    }
}
