// Outcome of a client call: a value or a typed error. Nothing on the wire
// path throws.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace iec61850::client {

enum class ErrorKind : std::uint8_t {
    ConnectFailed,    // TCP refused, unreachable or not connected in time
    Refused,          // the peer refused the association
    Timeout,          // no answer in time
    ConnectionLost,   // the peer closed or aborted, or the socket failed
    NotConnected,     // no association to send on
    ServiceError,     // confirmed-ErrorPDU: errorClass / code
    Reject,           // rejectPDU: reject class / code
    DataAccess,       // the item failed: code is the DataAccessError
    Protocol,         // the peer sent something we cannot decode or did not expect
    TooLarge,         // the request does not fit the negotiated PDU size
    InvalidArgument,  // the caller's input is unusable
};

const char* toString(ErrorKind kind);

struct Error {
    ErrorKind kind = ErrorKind::Protocol;
    std::int32_t errorClass = 0;  // ServiceError class or reject class
    std::int32_t code = 0;        // service error code, reject code or DataAccessError
    std::string detail;

    std::string describe() const;
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

struct Done {};
using Outcome = Result<Done>;

}  // namespace iec61850::client
