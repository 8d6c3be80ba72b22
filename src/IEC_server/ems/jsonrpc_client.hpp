// A small JSON-RPC 2.0 client: builds requests, hands their text to a
// connector and takes the result out of the response.
#pragma once

#include <nlohmann/json.hpp>

#include <exception>
#include <string>

namespace jsonrpc {

inline constexpr int kParseError = -32700;
inline constexpr int kInternalError = -32603;
inline constexpr int kConnectorError = -32003;

// A failure of the call or one reported by the server; what() is "code: message".
class Exception : public std::exception {
public:
    Exception(int code, std::string message);
    const char* what() const noexcept override { return text_.c_str(); }
    int code() const { return code_; }
    const std::string& message() const { return message_; }

private:
    int code_;
    std::string message_;
    std::string text_;
};

// Sends a request text and returns the response text, or throws.
class ClientConnector {
public:
    virtual ~ClientConnector() = default;
    virtual std::string send(const std::string& request) = 0;
};

class Client {
public:
    explicit Client(ClientConnector& connector) : connector_(connector) {}

    // The compact request text, keys in ascending order.
    static std::string requestText(int id, const std::string& method, const nlohmann::json& params);

    // The response's "result"; throws Exception for an "error" member or a
    // malformed response.
    nlohmann::json callMethod(int id, const std::string& method, const nlohmann::json& params);

    // The result as T; a result of another JSON type throws the JSON library's type error.
    template <class T>
    T callMethod(int id, const std::string& method, const nlohmann::json& params)
    {
        return callMethod(id, method, params).get<T>();
    }

private:
    ClientConnector& connector_;
};

}  // namespace jsonrpc
