#include "jsonrpc_client.hpp"

#include <utility>

namespace jsonrpc {

namespace {

constexpr std::size_t kQuotedLength = 200;

Exception serverError(const nlohmann::json& error)
{
    const auto code = error.is_object() ? error.value("code", nlohmann::json()) : nlohmann::json();
    const auto message = error.is_object() ? error.value("message", nlohmann::json()) : nlohmann::json();
    return Exception(code.is_number_integer() ? code.get<int>() : kInternalError,
                     message.is_string() ? message.get<std::string>() : error.dump());
}

}  // namespace

Exception::Exception(int code, std::string message)
    : code_(code), message_(std::move(message)), text_(std::to_string(code_) + ": " + message_)
{
}

std::string Client::requestText(int id, const std::string& method, const nlohmann::json& params)
{
    const nlohmann::json request = {{"id", id}, {"jsonrpc", "2.0"}, {"method", method}, {"params", params}};
    return request.dump();
}

nlohmann::json Client::callMethod(int id, const std::string& method, const nlohmann::json& params)
{
    const std::string responseText = connector_.send(requestText(id, method, params));
    nlohmann::json response = nlohmann::json::parse(responseText, nullptr, false);
    if (response.is_discarded())
        throw Exception(kParseError, "invalid JSON response from server: " + responseText.substr(0, kQuotedLength));
    if (!response.is_object())
        throw Exception(kInternalError, "invalid server response: not a JSON object");
    if (response.contains("error"))
        throw serverError(response["error"]);
    if (!response.contains("result"))
        throw Exception(kInternalError, "invalid server response: neither \"result\" nor \"error\" fields found");
    return std::move(response["result"]);
}

}  // namespace jsonrpc
