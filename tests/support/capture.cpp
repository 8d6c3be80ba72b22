#include "capture.hpp"

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>

namespace test_support {
namespace {

namespace ber = iec61850::ber;

std::uint32_t be16(ByteView b, std::size_t at) { return std::uint32_t(b[at]) << 8 | b[at + 1]; }
std::uint32_t le32(ByteView b, std::size_t at)
{
    return std::uint32_t(b[at + 3]) << 24 | std::uint32_t(b[at + 2]) << 16 | std::uint32_t(b[at + 1]) << 8 | b[at];
}

struct Segment {
    std::uint16_t srcPort = 0, dstPort = 0;
    ByteView payload;
};

// The TCP segment of one Ethernet frame carrying IPv4 (as all the captures are).
bool tcpSegment(ByteView frame, Segment& out)
{
    if (frame.size() < 34 || be16(frame, 12) != 0x0800 || frame[23] != 6)
        return false;
    const ByteView ip = frame.subspan(14);
    const std::size_t headerLength = std::size_t(ip[0] & 0x0F) * 4, total = be16(ip, 2);
    if (total > ip.size() || headerLength + 20 > total)
        return false;
    const ByteView tcp = ip.subspan(headerLength, total - headerLength);
    if (std::size_t(tcp[12] >> 4) * 4 > tcp.size())
        return false;
    out = {static_cast<std::uint16_t>(be16(tcp, 0)), static_cast<std::uint16_t>(be16(tcp, 2)),
           tcp.subspan(std::size_t(tcp[12] >> 4) * 4)};
    return true;
}

// The first TCP connection with `serverPort`, as the server saw it (the captures hold no retransmissions).
// The captures, like the pcaps we write, are little-endian with microsecond times.
Transcript readFirstConnection(ByteView file, std::uint16_t serverPort)
{
    if (file.size() < 24 || le32(file, 0) != 0xA1B2C3D4 || le32(file, 20) != 1)
        throw std::runtime_error("not a little-endian Ethernet pcap file");
    Transcript t;
    std::uint16_t clientPort = 0;
    for (std::size_t at = 24; at + 16 <= file.size();) {
        const std::size_t length = le32(file, at + 8);
        if (length > file.size() - at - 16)
            throw std::runtime_error("truncated pcap record");
        Segment s;
        const bool ok = tcpSegment(file.subspan(at + 16, length), s);
        at += 16 + length;
        if (!ok || (s.srcPort != serverPort && s.dstPort != serverPort))
            continue;
        const std::uint16_t peer = s.srcPort == serverPort ? s.dstPort : s.srcPort;
        if (clientPort == 0)
            clientPort = peer;
        if (peer != clientPort || s.payload.empty())
            continue;
        t.add(s.srcPort == serverPort ? Direction::ToClient : Direction::ToServer, s.payload);
    }
    return t;
}

std::vector<Bytes> splitTpkts(ByteView stream)
{
    std::vector<Bytes> out;
    while (stream.size() >= 4 && stream[0] == 3) {
        const std::size_t length = be16(stream, 2);
        if (length < 4 || length > stream.size())
            break;
        out.emplace_back(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
        stream = stream.subspan(length);
    }
    if (!stream.empty())
        throw std::runtime_error("broken TPKT framing in capture");
    return out;
}

// The innermost BER element starting with `tag` that ends exactly where `data` ends.
Bytes trailingElement(ByteView data, std::uint8_t tag)
{
    for (std::size_t i = 0; i < data.size(); ++i) {
        ber::Element e;
        if (data[i] == tag && ber::decodeElement(data.subspan(i), e) == ber::Status::Ok &&
            e.whole.size() == data.size() - i)
            return Bytes(e.whole.begin(), e.whole.end());
    }
    return {};
}

// Presentation user data 61 { 30 { 02 context, a0 { MMS } } }.
Bytes mmsOfPresentation(ByteView data)
{
    ber::Element e;
    ber::Reader r(data);
    ber::Reader pdv({}), inner({});
    if (r.next(e) != ber::Status::Ok || !e.tag.is(ber::TagClass::Application, 1) || r.enter(e, pdv) != ber::Status::Ok ||
        pdv.next(e) != ber::Status::Ok || pdv.enter(e, inner) != ber::Status::Ok)
        return {};
    while (inner.next(e) == ber::Status::Ok)
        if (e.tag.is(ber::TagClass::Context, 0))
            return Bytes(e.content.begin(), e.content.end());
    return {};
}

// The MMS PDU of one session SPDU run: CN/AC carry initiate, give-tokens + DT carry the rest.
Bytes mmsOfSessionData(ByteView spdus)
{
    if (spdus.empty())
        return {};
    switch (spdus[0]) {
    case 0x0D: return trailingElement(spdus, 0xA8);
    case 0x0E: return trailingElement(spdus, 0xA9);
    case 0x01: return spdus.size() > 4 ? mmsOfPresentation(spdus.subspan(4)) : Bytes{};
    default: return {};
    }
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

Capture::Capture(ByteView pcapFile, std::uint16_t serverPort) : transcript_(readFirstConnection(pcapFile, serverPort))
{
    for (int side = 0; side < 2; ++side) {
        Bytes stream = transcript_.stream(side == 0 ? Direction::ToServer : Direction::ToClient);
        tpkts_[side] = splitTpkts(stream);
        std::vector<Answer> tsdus;
        splitAnswers(stream, tsdus);
        for (Answer& a : tsdus)
            if (!a.mms.empty())
                pdus_[side].push_back(std::move(a.mms));
    }
}

bool splitAnswers(Bytes& stream, std::vector<Answer>& out)
{
    std::size_t at = 0, start = 0;
    Bytes tsdu;
    while (at + 4 <= stream.size()) {
        const std::size_t length = std::size_t(stream[at + 2]) << 8 | stream[at + 3];
        if (stream[at] != 3 || length < 7 || at + length > stream.size())
            break;
        const ByteView tpdu = ByteView(stream).subspan(at + 4, length - 4);
        at += length;
        const bool dt = tpdu[1] == 0xf0 && tpdu[0] >= 2;
        if (dt)
            tsdu.insert(tsdu.end(), tpdu.begin() + 1 + tpdu[0], tpdu.end());
        if (dt && (tpdu[2] & 0x80) == 0)
            continue;
        Answer a{Bytes(stream.begin() + static_cast<std::ptrdiff_t>(start), stream.begin() + static_cast<std::ptrdiff_t>(at)), {}};
        if (dt)
            a.mms = mmsOfSessionData(tsdu);
        out.push_back(std::move(a));
        tsdu.clear();
        start = at;
    }
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(start));
    return stream.empty();
}

const Capture& capture(std::string_view name)
{
    static std::map<std::string, std::unique_ptr<Capture>, std::less<>> loaded;
    auto it = loaded.find(name);
    if (it == loaded.end()) {
        const Bytes file = readFile(std::string(TEST_WIRE_DATA_DIR) + "/" + std::string(name) + ".pcap");
        it = loaded.emplace(std::string(name), std::make_unique<Capture>(file)).first;
    }
    return *it->second;
}

const std::vector<std::string>& captureNames()
{
    static const std::vector<std::string> names = {
        "01-associate-identify",          "02-getnamelist-domains-and-variables", "03-get-variable-access-attributes",
        "04-read-float-and-node",         "05-write-schedule-settings",           "06-operate-enareq",
        "07-report-gi-cls1",              "08-dataset-attributes-and-read",       "09-file-services",
        "10-journal-read",                "11-abrupt-close"};
    return names;
}

Bytes fromHex(std::string_view text)
{
    auto nibble = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10); };
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    return out;
}

std::string toHex(ByteView bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

}  // namespace test_support
