// Runs tshark over a capture, as an independent decoder of what our stack put on the wire.
#pragma once

#include "capture.hpp"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace test_support {

struct Frame {
    unsigned number = 0;
    std::string protocols;  // e.g. "eth:ethertype:ip:tcp:tpkt:cotp:ses:pres:mms"
    std::string info;
    std::map<std::string, std::vector<std::string>> fields;  // each requested field's values
};

struct Decode {
    bool ran = false;                   // tshark started and exited 0
    std::string error;                  // why not, when !ran
    std::vector<std::string> problems;  // one line per malformed frame or expert error
    std::vector<Frame> frames;

    // How many frames carry `field` with `value` (or at all, value empty).
    std::size_t count(const std::string& field, const std::string& value = {}) const;
    // How often `value` occurs in `field` over all frames (a frame may carry several PDUs).
    std::size_t occurrences(const std::string& field, const std::string& value) const;
    std::string summary() const;  // frames and problems, for failure messages
};

bool tsharkAvailable();

// Writes the transcript to `pcap` (port 4102) and decodes it.
Decode decodeTranscript(const std::string& pcap, const Transcript& transcript,
                        const std::vector<std::string>& fields = {});

}  // namespace test_support
