// Outcome of decoding one PDU at any ISO layer.
#pragma once

#include <cstdint>

namespace iec61850::iso {

enum class Result : std::uint8_t {
    Ok,
    NeedMore,      // a framer holds an incomplete packet
    Malformed,     // lengths, tags or values that do not add up
    TooLarge,      // beyond a configured cap
    Unsupported,   // well-formed but not something we handle
};

const char* toString(Result r);

}  // namespace iec61850::iso
