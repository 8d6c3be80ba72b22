// The reference captures in tests/data/wire, read without tshark: the TCP
// payloads per direction, split into TPKT packets and the MMS PDUs they carry.
#pragma once

#include "pcap_writer.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace test_support {

class Capture {
public:
    explicit Capture(ByteView pcapFile, std::uint16_t serverPort = 10102);

    const Transcript& transcript() const { return transcript_; }  // one chunk per TCP segment
    const std::vector<Bytes>& clientTpkts() const { return tpkts_[0]; }
    const std::vector<Bytes>& serverTpkts() const { return tpkts_[1]; }
    const std::vector<Bytes>& clientPdus() const { return pdus_[0]; }
    const std::vector<Bytes>& serverPdus() const { return pdus_[1]; }

private:
    Transcript transcript_;
    std::vector<Bytes> tpkts_[2];
    std::vector<Bytes> pdus_[2];
};

// Loaded once from tests/data/wire/NAME.pcap; throws if the file is missing or not a capture.
const Capture& capture(std::string_view name);
const std::vector<std::string>& captureNames();

// What one side wrote, cut into TSDUs: a TPKT, or a run of DT TPKTs up to the
// one that ends the TSDU; `mms` holds the MMS PDU it carries (CN, AC or give-tokens + DT).
struct Answer {
    Bytes raw;
    Bytes mms;
};
// False if the stream ends inside a TPKT or a TSDU (the rest is left in `stream`).
bool splitAnswers(Bytes& stream, std::vector<Answer>& out);

Bytes fromHex(std::string_view text);
std::string toHex(ByteView bytes);

}  // namespace test_support
