#include "pcap_writer.hpp"

#include <algorithm>

namespace test_support {

void Transcript::add(Direction d, ByteView data)
{
    if (!data.empty())
        chunks_.push_back({d, Bytes(data.begin(), data.end())});
}

Bytes Transcript::stream(Direction d) const
{
    Bytes out;
    for (const Chunk& c : chunks_)
        if (c.direction == d)
            out.insert(out.end(), c.data.begin(), c.data.end());
    return out;
}

namespace {

constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;
constexpr std::uint32_t kLoopback = 0x7f000001;
constexpr std::uint8_t kWindowShift = 7;
constexpr std::uint16_t kScaledWindow = 1024;  // 128 KiB, more than one largest segment
constexpr std::size_t kMaxSegmentPayload = 65495;  // IPv4 total length cap minus IP and TCP headers
constexpr std::uint16_t kClientPort = 49731;

void put16(Bytes& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void put32(Bytes& b, std::uint32_t v)
{
    put16(b, static_cast<std::uint16_t>(v >> 16));
    put16(b, static_cast<std::uint16_t>(v));
}

void put32le(Bytes& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put16le(Bytes& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

struct Segment {
    Direction from;
    std::uint8_t flags;
    ByteView payload;
};

class PcapBuilder {
public:
    PcapBuilder()
    {
        put32le(out_, 0xa1b2c3d4);
        put16le(out_, 2);
        put16le(out_, 4);
        put32le(out_, 0);        // time zone
        put32le(out_, 0);        // accuracy
        put32le(out_, 262144);   // snap length
        put32le(out_, 1);        // Ethernet
    }

    void send(const Segment& s)
    {
        const bool toServer = s.from == Direction::ToServer;
        std::uint32_t& seq = toServer ? clientSeq_ : serverSeq_;
        const std::uint32_t ack = (s.flags & kAck) ? (toServer ? serverSeq_ : clientSeq_) : 0;
        Bytes tcp = tcpHeader(toServer, seq, ack, s.flags);
        tcp.insert(tcp.end(), s.payload.begin(), s.payload.end());
        record(ipPacket(tcp));
        seq += static_cast<std::uint32_t>(s.payload.size());
        if (s.flags & (kSyn | kFin))
            ++seq;
    }

    Bytes take() { return std::move(out_); }

private:
    Bytes tcpHeader(bool toServer, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags) const
    {
        const bool syn = flags & kSyn;
        Bytes h;
        put16(h, toServer ? kClientPort : kPcapServerPort);
        put16(h, toServer ? kPcapServerPort : kClientPort);
        put32(h, seq);
        put32(h, ack);
        h.push_back(static_cast<std::uint8_t>((syn ? 7 : 5) << 4));
        h.push_back(flags);
        put16(h, syn ? 65535 : kScaledWindow);
        put16(h, 0);  // checksum: tshark checks none by default
        put16(h, 0);  // urgent pointer
        if (syn) {
            const std::uint8_t options[] = {2, 4, 0xff, 0xd7, 1, 3, 3, kWindowShift};  // MSS 65495, NOP, window scale
            h.insert(h.end(), std::begin(options), std::end(options));
        }
        return h;
    }

    Bytes ipPacket(const Bytes& tcp)
    {
        Bytes ip;
        ip.push_back(0x45);
        ip.push_back(0);
        put16(ip, static_cast<std::uint16_t>(20 + tcp.size()));
        put16(ip, ipId_++);
        put16(ip, 0x4000);  // don't fragment
        ip.push_back(64);
        ip.push_back(6);
        put16(ip, 0);  // checksum
        put32(ip, kLoopback);
        put32(ip, kLoopback);
        ip.insert(ip.end(), tcp.begin(), tcp.end());
        return ip;
    }

    void record(const Bytes& ip)
    {
        const auto length = static_cast<std::uint32_t>(14 + ip.size());
        put32le(out_, static_cast<std::uint32_t>(kStartSeconds + micros_ / 1000000));
        put32le(out_, static_cast<std::uint32_t>(micros_ % 1000000));
        put32le(out_, length);
        put32le(out_, length);
        out_.insert(out_.end(), 12, 0);  // both MAC addresses zero, as on loopback
        put16(out_, 0x0800);
        out_.insert(out_.end(), ip.begin(), ip.end());
        micros_ += 100;
    }

    static constexpr std::uint64_t kStartSeconds = 1800000000;
    Bytes out_;
    std::uint32_t clientSeq_ = 0x10000000;
    std::uint32_t serverSeq_ = 0x20000000;
    std::uint16_t ipId_ = 1;
    std::uint64_t micros_ = 0;
};

std::vector<Segment> dataSegments(const Transcript& t)
{
    std::vector<Segment> segments;
    for (const Chunk& c : t.chunks()) {
        const ByteView all(c.data);
        for (std::size_t pos = 0; pos < all.size(); pos += kMaxSegmentPayload) {
            const std::size_t n = std::min(kMaxSegmentPayload, all.size() - pos);
            segments.push_back({c.direction, kPsh | kAck, all.subspan(pos, n)});
        }
    }
    return segments;
}

}  // namespace

Bytes pcapFile(const Transcript& transcript)
{
    PcapBuilder pcap;
    pcap.send({Direction::ToServer, kSyn, {}});
    pcap.send({Direction::ToClient, kSyn | kAck, {}});
    pcap.send({Direction::ToServer, kAck, {}});
    const std::vector<Segment> segments = dataSegments(transcript);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        pcap.send(segments[i]);
        const bool answeredNext = i + 1 < segments.size() && segments[i + 1].from != segments[i].from;
        if (!answeredNext)
            pcap.send({segments[i].from == Direction::ToServer ? Direction::ToClient : Direction::ToServer, kAck, {}});
    }
    pcap.send({Direction::ToServer, kFin | kAck, {}});
    pcap.send({Direction::ToClient, kFin | kAck, {}});
    pcap.send({Direction::ToServer, kAck, {}});
    return pcap.take();
}

}  // namespace test_support
