// RFC 1006 TPKT framing and ISO 8073 class 0 transport PDUs.
#pragma once

#include "iec61850/ber/ber.hpp"
#include "iec61850/iso/result.hpp"

#include <cstddef>
#include <cstdint>

namespace iec61850::iso {

namespace tpkt {

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kMinPacket = 7;  // header plus the smallest TPDU (DT)
constexpr std::size_t kMaxPacket = 0xffff;

// Cuts a TCP byte stream into TPKT packets. Each packet returned by next()
// is the TPDU without the TPKT header, valid until the next feed().
class Framer {
public:
    explicit Framer(std::size_t maxPacket = kMaxPacket);

    void feed(ByteView bytes);
    // Ok with the next TPDU, NeedMore, or Malformed/TooLarge (sticky: the stream is lost).
    Result next(ByteView& tpdu);
    std::size_t buffered() const { return buffer_.size() - start_; }

private:
    Bytes buffer_;
    std::size_t start_ = 0;
    std::size_t maxPacket_;
    Result failure_ = Result::Ok;
};

// Appends the 4-byte header for a TPDU of the given size.
void appendHeader(Bytes& out, std::size_t tpduSize);

}  // namespace tpkt

namespace cotp {

enum class Code : std::uint8_t { CR = 0xe0, CC = 0xd0, DR = 0x80, DT = 0xf0, ER = 0x70 };

namespace param {
constexpr std::uint8_t TpduSize = 0xc0, CallingTsap = 0xc1, CalledTsap = 0xc2, InvalidTpdu = 0xc1;
}

constexpr std::size_t kMaxTsapSize = 32;
constexpr std::size_t kDefaultTpduSize = 128;
constexpr std::size_t kMinTpduSize = 128;
constexpr std::size_t kMaxTpduSize = 8192;
constexpr std::size_t kDtHeaderSize = 3;

// TPDU size parameter: size = 2^code, code 7..13 for class 0.
std::size_t sizeFromCode(std::uint8_t code);
// Largest class 0 size code not above `size`.
std::uint8_t codeForSize(std::size_t size);

struct Connect {
    std::uint16_t dstRef = 0;
    std::uint16_t srcRef = 0;
    std::uint8_t classOptions = 0;
    std::uint8_t tpduSizeCode = 0;  // 0: parameter absent
    bool hasCallingTsap = false;
    bool hasCalledTsap = false;
    Bytes callingTsap;
    Bytes calledTsap;
};

struct Data {
    bool eot = false;
    ByteView userData;  // points into the decoded TPDU
};

struct Disconnect {
    std::uint16_t dstRef = 0;
    std::uint16_t srcRef = 0;
    std::uint8_t reason = 0;
};

struct Error {
    std::uint16_t dstRef = 0;
    std::uint8_t cause = 0;
};

struct Tpdu {
    Code code = Code::DT;
    Connect connect;        // CR, CC
    Data data;              // DT
    Disconnect disconnect;  // DR
    Error error;            // ER
};

Result decode(ByteView tpdu, Tpdu& out);

// Encoders append whole TPKT packets.
void appendConnect(Bytes& out, Code crOrCc, const Connect& c);
void appendDisconnect(Bytes& out, const Disconnect& d);
void appendError(Bytes& out, const Error& e, ByteView invalidHeader = {});
// Splits a TSDU into DT TPDUs of at most tpduSize octets each; the last has EOT.
void appendData(Bytes& out, ByteView tsdu, std::size_t tpduSize);
// Frames a TSDU that fits one DT TPDU in place, TPKT and DT header in the
// writer's headroom; false (nothing written) when it does not fit or there is no room.
constexpr std::size_t kDataFrameHeadroom = tpkt::kHeaderSize + kDtHeaderSize;
bool prependData(ber::Writer& tsdu, std::size_t tpduSize);

// Joins DT user data up to the EOT TPDU.
class Reassembler {
public:
    explicit Reassembler(std::size_t maxTsdu) : max_(maxTsdu) {}
    // Ok and complete=true once the EOT segment arrived; TooLarge past the cap.
    Result add(const Data& dt, bool& complete);
    // The finished TSDU; the reassembler starts over on the next add().
    ByteView tsdu() const { return tsdu_; }

private:
    Bytes tsdu_;
    std::size_t max_;
    bool done_ = false;
};

}  // namespace cotp
}  // namespace iec61850::iso
