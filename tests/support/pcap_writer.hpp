// Turns the two byte streams of one TCP connection into a pcap file that
// Wireshark decodes as if the bytes had crossed the loopback interface.
#pragma once

#include "iec61850/ber/ber.hpp"

#include <cstdint>
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

private:
    std::vector<Chunk> chunks_;
};

constexpr std::uint16_t kPcapServerPort = 4102;

// Ethernet/IPv4/TCP from 127.0.0.1:49731 to port 4102: handshake, one or more
// segments per chunk (each acknowledged), FIN from both sides at the end.
Bytes pcapFile(const Transcript& transcript);

}  // namespace test_support
