// Capture 01-associate-identify: each TPKT as sent, client and server, and the MMS PDUs inside.
#pragma once

#include "capture.hpp"

#include "iec61850/iso/session.hpp"

#include <gtest/gtest.h>

namespace iso_test {

using test_support::concat;
inline iec61850::Bytes hex(std::string_view s) { return test_support::fromHex(s); }
inline iec61850::Bytes bytes(iec61850::ByteView v) { return {v.begin(), v.end()}; }

namespace c01 {
inline const auto& capture = test_support::capture("01-associate-identify");
inline const auto& cr = capture.clientTpkts().at(0);
inline const auto& cnAarq = capture.clientTpkts().at(1);
inline const auto& identifyRequest = capture.clientTpkts().at(2);
inline const auto& concludeRequest = capture.clientTpkts().at(3);
inline const auto& finishRlrq = capture.clientTpkts().at(4);

inline const auto& cc = capture.serverTpkts().at(0);
inline const auto& acAare = capture.serverTpkts().at(1);
inline const auto& identifyResponse = capture.serverTpkts().at(2);
inline const auto& disconnectRlre = capture.serverTpkts().at(4);

inline const auto& initiateRequest = capture.clientPdus().at(0);
inline const auto& initiateResponse = capture.serverPdus().at(0);
inline const auto& identifyRequestPdu = capture.clientPdus().at(1);
inline const auto& concludeRequestPdu = capture.clientPdus().at(2);
}  // namespace c01

// The TSDU of a captured single-TPDU packet.
inline iec61850::ByteView tsduOf(const iec61850::Bytes& packet)
{
    return iec61850::ByteView(packet).subspan(7);
}

// The session user data of a captured single-TPDU SPDU.
inline iec61850::ByteView sessionUserData(const iec61850::Bytes& packet)
{
    iec61850::iso::session::Spdu s;
    EXPECT_EQ(iec61850::iso::session::decode(tsduOf(packet), s), iec61850::iso::Result::Ok);
    return s.userData;
}

}  // namespace iso_test
