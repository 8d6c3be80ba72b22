// Capture 01-associate-identify: each TCP payload as sent, client and server.
#pragma once

#include "iec61850/ber/ber.hpp"

#include <string_view>

namespace iso_test {

inline iec61850::Bytes hex(std::string_view s)
{
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    iec61850::Bytes out;
    int high = -1;
    for (char c : s) {
        if (c == ' ')
            continue;
        if (high < 0) {
            high = nibble(c);
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | nibble(c)));
            high = -1;
        }
    }
    return out;
}

inline iec61850::Bytes concat(std::initializer_list<iec61850::Bytes> parts)
{
    iec61850::Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

namespace c01 {
// Client.
inline const auto cr = hex("0300001611e00000000100c0010dc2020001c1020001");
inline const auto cnAarq = hex(
    "030000bb02f0800db20506130100160102140200023302000134020001c19c318199a003800101a28191810400000001820400000001a423"
    "300f0201010604520100013004060251013010020103060528ca220201300406025101615e305c020101a0576055a107060528ca220203a2"
    "0706052901876701a30302010ca606060429018767a70302010cbe2f282d020103a028a826800300fde881010582010583010aa416800101"
    "810305f100820c03ee1c00000408000079ef18");
inline const auto identifyRequest = hex("0300001b02f08001000100610e300c020103a007a0050201018200");
inline const auto concludeRequest = hex("0300001602f0800100010061093007020103a0028b00");
inline const auto finishRlrq = hex("0300001902f0800910c10e610c300a020101a0056203800100");

// Server.
inline const auto cc = hex("0300001611d00001000100c0010dc2020001c1020001");
inline const auto acAare = hex(
    "0300008f02f0800e8605061301001601021402000234020001c1743172a003800101a26b830400000001a512300780010081025101300780"
    "010081025101614f304d020101a0486146a107060528ca220203a203020100a305a103020100be2f282d020103a028a926800300fde88101"
    "0582010583010aa416800101810305f100820c03ee1c00000002000040ed18");
inline const auto identifyResponse = hex(
    "0300004002f0800100010061333031020103a02ca12a020101a225800f6c696269656336313835302e636f6d810b4c494249454336313835"
    "308205312e352e33");
inline const auto disconnectRlre = hex("0300001602f0800a0dc10b61093007020101a0026300");

// MMS PDUs inside them.
inline const auto initiateRequest = hex(
    "a826800300fde881010582010583010aa416800101810305f100820c03ee1c00000408000079ef18");
inline const auto initiateResponse = hex(
    "a926800300fde881010582010583010aa416800101810305f100820c03ee1c00000002000040ed18");
inline const auto identifyRequestPdu = hex("a0050201018200");
inline const auto concludeRequestPdu = hex("8b00");
}  // namespace c01

}  // namespace iso_test
