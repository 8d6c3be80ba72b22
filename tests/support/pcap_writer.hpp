// Turns the two byte streams of one TCP connection into a pcap file that
// Wireshark decodes as if the bytes had crossed the loopback interface.
#pragma once

#include "iec61850/ber/ber.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

using iec61850::ByteView;
using iec61850::Bytes;

enum class Direction : std::uint8_t { ToServer, ToClient };

struct Chunk {
    Direction direction;
    Bytes data;
};

// The chunks both ends wrote, in the order they were written.
class Transcript {
public:
    void toServer(ByteView data) { add(Direction::ToServer, data); }
    void toClient(ByteView data) { add(Direction::ToClient, data); }
    void add(Direction d, ByteView data);

    const std::vector<Chunk>& chunks() const { return chunks_; }
    Bytes stream(Direction d) const;  // everything one side wrote, concatenated
    bool empty() const { return chunks_.empty(); }
    void clear() { chunks_.clear(); }

private:
    std::vector<Chunk> chunks_;
};

struct Endpoints {
    std::uint16_t clientPort = 49731;
    std::uint16_t serverPort = 4102;
};

constexpr std::size_t kMaxSegmentPayload = 65495;  // IPv4 total length cap minus IP and TCP headers

// Ethernet/IPv4/TCP between 127.0.0.1 ports: handshake, one or more segments
// per chunk (each acknowledged), FIN from both sides at the end.
Bytes pcapFile(const Transcript& transcript, Endpoints endpoints = {});
bool writePcap(const std::string& path, const Transcript& transcript, Endpoints endpoints = {});

}  // namespace test_support
