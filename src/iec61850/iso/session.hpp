// ISO 8327 session SPDUs, kernel and duplex functional units only.
#pragma once

#include "iec61850/ber/ber.hpp"
#include "iec61850/iso/result.hpp"

#include <cstddef>
#include <cstdint>

namespace iec61850::iso::session {

enum class Kind : std::uint8_t {
    Data = 1,          // Give-Tokens + Data Transfer (both SI 1)
    Finish = 9,
    Disconnect = 10,
    Refuse = 12,
    Connect = 13,
    Accept = 14,
    Abort = 25,
    AbortAccept = 26,
};

namespace pi {
constexpr std::uint8_t ConnectAcceptItem = 5, TransportDisconnect = 17, ProtocolOptions = 19,
                       SessionRequirements = 20, VersionNumber = 22, ReasonCode = 50, CallingSsel = 51,
                       CalledSsel = 52, UserData = 193, ExtendedUserData = 194;
}

constexpr std::uint8_t kVersion2 = 0x02;
constexpr std::uint16_t kDuplex = 0x0002;
constexpr std::size_t kMaxSselSize = 16;
constexpr std::uint8_t kRefusedByUser = 2;  // reason code: rejected by the called user, user data follows

struct Spdu {
    Kind kind = Kind::Data;
    std::uint8_t protocolOptions = 0;
    std::uint8_t versions = 0;          // 0: version number absent
    bool hasRequirements = false;
    std::uint16_t requirements = 0;
    bool hasTransportDisconnect = false;
    std::uint8_t transportDisconnect = 0;
    bool hasReason = false;
    std::uint8_t reason = 0;
    bool hasCallingSsel = false;
    bool hasCalledSsel = false;
    Bytes callingSsel;
    Bytes calledSsel;
    ByteView userData;  // points into the decoded TSDU
};

// Decodes one TSDU: a single SPDU, or Give-Tokens followed by Data Transfer.
Result decode(ByteView tsdu, Spdu& out);

struct ConnectParameters {
    bool hasCallingSsel = false;
    bool hasCalledSsel = false;
    Bytes callingSsel;
    Bytes calledSsel;
};

// Encoders append the SPDU; user data goes into PGI 193. They return false
// when the SPDU would exceed the 16-bit length field.
bool appendConnect(Bytes& out, Kind connectOrAccept, const ConnectParameters& p, ByteView userData);
bool appendRefuse(Bytes& out, ByteView userData);
bool appendFinish(Bytes& out, ByteView userData);
bool appendDisconnect(Bytes& out, ByteView userData);
bool appendAbort(Bytes& out, ByteView userData);
// Give-Tokens and Data Transfer in front of the user data, in the writer's headroom.
constexpr std::size_t kDataHeaderSize = 4;
bool prependDataHeader(ber::Writer& userData);

}  // namespace iec61850::iso::session
