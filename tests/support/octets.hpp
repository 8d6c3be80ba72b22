// The octet notation of the transcripts in tests/data/transcripts:
//   a0 0502        octets in hex, spaced or not
//   ??             any one octet (in expected answers)
//   a0{ ... }      a BER element: tag a0, its length counted from what the braces hold
//   1a"text"       a BER element holding the text; "text" alone is the text's octets
//   tpkt{ ... }    a TPKT: 03 00, the two-octet length, then what the braces hold
#pragma once

#include "capture.hpp"

#include <string>
#include <string_view>

namespace test_support {

struct OctetPattern {
    Bytes octets;
    std::vector<bool> wild;  // per octet: any value matches

    bool matches(ByteView bytes) const;
};

// Throws std::invalid_argument on text that is not the notation.
OctetPattern parseOctets(std::string_view text);
Bytes octets(std::string_view text);  // the notation without wildcards
// BER elements written back in the notation (plain hex where they do not decode).
std::string formatOctets(ByteView bytes);

// One MMS PDU as a client sends it: TPKT, COTP DT, session give-tokens + DT,
// presentation fully-encoded data on context 3.
Bytes clientTpkt(ByteView mmsPdu);

}  // namespace test_support
