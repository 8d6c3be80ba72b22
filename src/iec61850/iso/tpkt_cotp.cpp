#include "iec61850/iso/tpkt_cotp.hpp"

#include <algorithm>

namespace iec61850::iso {

const char* toString(Result r)
{
    switch (r) {
    case Result::Ok: return "ok";
    case Result::NeedMore: return "need more";
    case Result::Malformed: return "malformed";
    case Result::TooLarge: return "too large";
    case Result::Unsupported: return "unsupported";
    }
    return "?";
}

namespace tpkt {

Framer::Framer(std::size_t maxPacket) : maxPacket_(std::clamp(maxPacket, kMinPacket, kMaxPacket)) {}

void Framer::feed(ByteView bytes)
{
    if (failure_ != Result::Ok)
        return;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

Result Framer::next(ByteView& tpdu)
{
    if (failure_ != Result::Ok)
        return failure_;
    const ByteView rest = ByteView(buffer_).subspan(start_);
    if (rest.size() < kHeaderSize)
        return Result::NeedMore;
    if (rest[0] != 3 || rest[1] != 0)
        return failure_ = Result::Malformed;
    const std::size_t length = (std::size_t{rest[2]} << 8) | rest[3];
    if (length < kMinPacket)
        return failure_ = Result::Malformed;
    if (length > maxPacket_)
        return failure_ = Result::TooLarge;
    if (rest.size() < length)
        return Result::NeedMore;
    tpdu = rest.subspan(kHeaderSize, length - kHeaderSize);
    start_ += length;
    return Result::Ok;
}

void appendHeader(Bytes& out, std::size_t tpduSize)
{
    const std::size_t length = tpduSize + kHeaderSize;
    out.insert(out.end(), {3, 0, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
}

}  // namespace tpkt

namespace cotp {
namespace {

std::uint16_t read16(ByteView b, std::size_t at)
{
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

void put16(Bytes& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// Walks the variable part: code, length, value, each within the header.
template <typename Visit>
Result forEachParameter(ByteView variable, Visit&& visit)
{
    std::size_t pos = 0;
    while (pos < variable.size()) {
        if (variable.size() - pos < 2)
            return Result::Malformed;
        const std::uint8_t code = variable[pos];
        const std::size_t len = variable[pos + 1];
        if (len > variable.size() - pos - 2)
            return Result::Malformed;
        if (const Result r = visit(code, variable.subspan(pos + 2, len)); r != Result::Ok)
            return r;
        pos += 2 + len;
    }
    return Result::Ok;
}

Result decodeConnect(ByteView header, ByteView userData, Connect& out)
{
    if (header.size() < 6 || !userData.empty())
        return Result::Malformed;
    Connect c;
    c.dstRef = read16(header, 1);
    c.srcRef = read16(header, 3);
    c.classOptions = header[5];
    const Result r = forEachParameter(header.subspan(6), [&c](std::uint8_t code, ByteView value) {
        switch (code) {
        case param::TpduSize:
            if (value.size() != 1 || sizeFromCode(value[0]) == 0)
                return Result::Malformed;
            c.tpduSizeCode = value[0];
            break;
        case param::CallingTsap:
        case param::CalledTsap: {
            if (value.size() > kMaxTsapSize)
                return Result::Malformed;
            const bool calling = code == param::CallingTsap;
            (calling ? c.hasCallingTsap : c.hasCalledTsap) = true;
            (calling ? c.callingTsap : c.calledTsap).assign(value.begin(), value.end());
            break;
        }
        default:
            break;  // other parameters (checksum, preferred size, ...) do not apply to class 0
        }
        return Result::Ok;
    });
    if (r != Result::Ok)
        return r;
    out = std::move(c);
    return Result::Ok;
}

}  // namespace

std::size_t sizeFromCode(std::uint8_t code)
{
    return code >= 7 && code <= 13 ? std::size_t{1} << code : 0;
}

std::uint8_t codeForSize(std::size_t size)
{
    std::uint8_t code = 7;
    while (code < 13 && (std::size_t{1} << (code + 1)) <= size)
        ++code;
    return code;
}

Result decode(ByteView tpdu, Tpdu& out)
{
    if (tpdu.size() < 2)
        return Result::Malformed;
    const std::size_t li = tpdu[0];
    if (li == 0 || li == 0xff || li + 1 > tpdu.size())  // the header holds at least the code
        return Result::Malformed;
    const ByteView header = tpdu.subspan(1, li);
    const ByteView userData = tpdu.subspan(1 + li);
    const auto code = static_cast<std::uint8_t>(header[0] & 0xf0);
    switch (code) {
    case static_cast<std::uint8_t>(Code::CR):
    case static_cast<std::uint8_t>(Code::CC): {
        Connect c;
        if (const Result r = decodeConnect(header, userData, c); r != Result::Ok)
            return r;
        out.code = static_cast<Code>(code);
        out.connect = std::move(c);
        return Result::Ok;
    }
    case static_cast<std::uint8_t>(Code::DT):
        if (li != 2 || (header[0] & 0x0f) != 0)
            return Result::Malformed;
        out.code = Code::DT;
        out.data = {(header[1] & 0x80) != 0, userData};
        return Result::Ok;
    case static_cast<std::uint8_t>(Code::DR):
        if (header[0] != 0x80 || li < 6)
            return Result::Malformed;
        out.code = Code::DR;
        out.disconnect = {read16(header, 1), read16(header, 3), header[5]};
        return Result::Ok;
    case static_cast<std::uint8_t>(Code::ER):
        if (header[0] != 0x70 || li < 4 || forEachParameter(header.subspan(4), [](auto, auto) { return Result::Ok; }) != Result::Ok)
            return Result::Malformed;
        out.code = Code::ER;
        out.error = {read16(header, 1), header[3]};
        return Result::Ok;
    default:
        return Result::Unsupported;
    }
}

void appendConnect(Bytes& out, Code crOrCc, const Connect& c)
{
    Bytes tpdu{0, static_cast<std::uint8_t>(crOrCc)};
    put16(tpdu, c.dstRef);
    put16(tpdu, c.srcRef);
    tpdu.push_back(c.classOptions);
    auto parameter = [&tpdu](std::uint8_t code, ByteView value) {
        tpdu.push_back(code);
        tpdu.push_back(static_cast<std::uint8_t>(value.size()));
        tpdu.insert(tpdu.end(), value.begin(), value.end());
    };
    if (c.tpduSizeCode != 0)
        parameter(param::TpduSize, ByteView(&c.tpduSizeCode, 1));
    if (c.hasCalledTsap)
        parameter(param::CalledTsap, ByteView(c.calledTsap).first(std::min(c.calledTsap.size(), kMaxTsapSize)));
    if (c.hasCallingTsap)
        parameter(param::CallingTsap, ByteView(c.callingTsap).first(std::min(c.callingTsap.size(), kMaxTsapSize)));
    tpdu[0] = static_cast<std::uint8_t>(tpdu.size() - 1);
    tpkt::appendHeader(out, tpdu.size());
    out.insert(out.end(), tpdu.begin(), tpdu.end());
}

void appendDisconnect(Bytes& out, const Disconnect& d)
{
    tpkt::appendHeader(out, 7);
    out.insert(out.end(), {6, static_cast<std::uint8_t>(Code::DR)});
    put16(out, d.dstRef);
    put16(out, d.srcRef);
    out.push_back(d.reason);
}

void appendError(Bytes& out, const Error& e, ByteView invalidHeader)
{
    invalidHeader = invalidHeader.first(std::min<std::size_t>(invalidHeader.size(), 64));
    const std::size_t parameterSize = invalidHeader.empty() ? 0 : 2 + invalidHeader.size();
    tpkt::appendHeader(out, 5 + parameterSize);
    out.insert(out.end(), {static_cast<std::uint8_t>(4 + parameterSize), static_cast<std::uint8_t>(Code::ER)});
    put16(out, e.dstRef);
    out.push_back(e.cause);
    if (!invalidHeader.empty()) {
        out.insert(out.end(), {param::InvalidTpdu, static_cast<std::uint8_t>(invalidHeader.size())});
        out.insert(out.end(), invalidHeader.begin(), invalidHeader.end());
    }
}

namespace {
// User data octets one DT TPDU of the given size carries.
std::size_t dataChunk(std::size_t tpduSize)
{
    return std::clamp(tpduSize, kMinTpduSize, tpkt::kMaxPacket - tpkt::kHeaderSize) - kDtHeaderSize;
}
}  // namespace

bool prependData(ber::Writer& tsdu, std::size_t tpduSize)
{
    const std::size_t length = tpkt::kHeaderSize + kDtHeaderSize + tsdu.size();
    if (tsdu.size() > dataChunk(tpduSize) || tsdu.headroom() < kDataFrameHeadroom)
        return false;
    const std::uint8_t header[] = {3, 0, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
                                   2, static_cast<std::uint8_t>(Code::DT), 0x80};
    return tsdu.prepend(header);
}

void appendData(Bytes& out, ByteView tsdu, std::size_t tpduSize)
{
    const std::size_t chunk = dataChunk(tpduSize);
    do {
        const std::size_t n = std::min(chunk, tsdu.size());
        const bool last = n == tsdu.size();
        tpkt::appendHeader(out, kDtHeaderSize + n);
        out.insert(out.end(), {2, static_cast<std::uint8_t>(Code::DT), static_cast<std::uint8_t>(last ? 0x80 : 0x00)});
        out.insert(out.end(), tsdu.begin(), tsdu.begin() + static_cast<std::ptrdiff_t>(n));
        tsdu = tsdu.subspan(n);
        if (last)
            break;
    } while (true);
}

Result Reassembler::add(const Data& dt, bool& complete)
{
    if (done_) {
        tsdu_.clear();
        done_ = false;
    }
    complete = false;
    if (dt.userData.size() > max_ - tsdu_.size())
        return Result::TooLarge;
    tsdu_.insert(tsdu_.end(), dt.userData.begin(), dt.userData.end());
    complete = done_ = dt.eot;
    return Result::Ok;
}

}  // namespace cotp
}  // namespace iec61850::iso
