// Test helpers: client TPKTs, a reader that
// pulls the MMS PDUs out of what the server sends, and a ServerConnection fed
// whole TPKTs with the typed answers it gives.
#pragma once

#include "capture.hpp"
#include "iec61850/ber/ber.hpp"
#include "iec61850/mms/file_service.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/server/memory_model.hpp"
#include "iec61850/server/server_connection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace test {

using iec61850::Bytes;
using iec61850::ByteView;
namespace ber = iec61850::ber;
namespace mms = iec61850::mms;

inline Bytes hex(std::string_view text)
{
    return test_support::fromHex(text);
}

// The client TPKTs of a reference capture.
inline const std::vector<Bytes>& captured(std::string_view name)
{
    return test_support::capture(name).clientTpkts();
}

// One MMS PDU as a client sends it: TPKT, COTP DT, session give-tokens + DT,
// presentation fully-encoded data on context 3.
inline Bytes clientTpkt(ByteView mmsPdu)
{
    ber::Writer w;
    auto userData = w.begin(ber::application(1, true));
    auto pdv = w.begin(ber::universal(ber::universal_tag::Sequence, true));
    w.integer(ber::universal(ber::universal_tag::Integer), 3);
    auto single = w.begin(ber::context(0, true));
    w.raw(mmsPdu);
    w.end(single);
    w.end(pdv);
    w.end(userData);
    static constexpr std::uint8_t header[] = {0x03, 0x00, 0x00, 0x00, 0x02, 0xF0, 0x80, 0x01, 0x00, 0x01, 0x00};
    Bytes out(sizeof header + w.size());
    std::copy(std::begin(header), std::end(header), out.begin());
    std::copy(w.bytes().begin(), w.bytes().end(), out.begin() + sizeof header);
    out[2] = static_cast<std::uint8_t>(out.size() >> 8);
    out[3] = static_cast<std::uint8_t>(out.size());
    return out;
}

// What one server TPDU (or a run of DT TPDUs up to EOT) carried.
struct ServerFrame {
    std::uint8_t cotp = 0;      // COTP code: 0xD0 CC, 0xF0 DT, 0x80 DR ...
    std::uint8_t spdu = 0;      // first SPDU type for DT: 0x0E AC, 0x01 give tokens, 0x0A DN ...
    Bytes mms;                  // the MMS PDU, when one was found
};

// The presentation user data of a session DT: 61 { 30 { 02 ctx, a0 { MMS } } }.
inline Bytes mmsFromPresentation(ByteView data)
{
    ber::Element e;
    ber::Reader r(data);
    if (r.next(e) != ber::Status::Ok || !e.tag.is(ber::TagClass::Application, 1))
        return {};
    ber::Reader seq({}), inner({});
    if (r.enter(e, seq) != ber::Status::Ok || seq.next(e) != ber::Status::Ok || seq.enter(e, inner) != ber::Status::Ok)
        return {};
    while (inner.next(e) == ber::Status::Ok)
        if (e.tag.is(ber::TagClass::Context, 0))
            return Bytes(e.content.begin(), e.content.end());
    return {};
}

// Splits a server byte stream into frames; false if the TPKT framing is broken.
inline bool splitServerOutput(ByteView stream, std::vector<ServerFrame>& frames)
{
    Bytes userData;
    while (!stream.empty()) {
        if (stream.size() < 4 || stream[0] != 3)
            return false;
        std::size_t length = std::size_t(stream[2]) << 8 | stream[3];
        if (length < 7 || length > stream.size())
            return false;
        ByteView tpdu = stream.subspan(4, length - 4);
        stream = stream.subspan(length);
        std::uint8_t code = tpdu[1] & 0xF0;
        if (code != 0xF0) {
            frames.push_back({code, 0, {}});
            continue;
        }
        userData.insert(userData.end(), tpdu.begin() + 3, tpdu.end());
        if ((tpdu[2] & 0x80) == 0)
            continue;
        ServerFrame f{0xF0, userData.empty() ? std::uint8_t(0) : userData[0], {}};
        if (f.spdu == 0x01 && userData.size() > 4)
            f.mms = mmsFromPresentation(ByteView(userData).subspan(4));
        frames.push_back(std::move(f));
        userData.clear();
    }
    return userData.empty();
}

inline mms::Pdu decode(const Bytes& bytes)
{
    mms::Pdu pdu;
    EXPECT_EQ(mms::decodePdu(bytes, pdu), ber::Status::Ok);
    return pdu;
}

// A ServerConnection (client id 7) fed whole TPKTs; collects what it answers.
struct Peer {
    std::unique_ptr<iec61850::server::ServerConnection> connection;

    explicit Peer(iec61850::server::MmsDataModel& model)
        : connection(std::make_unique<iec61850::server::ServerConnection>(
              model, iec61850::server::ServerConfig{}, iec61850::server::ClientContext{7, "a", "b", nullptr}))
    {
    }
    std::vector<ServerFrame> feed(ByteView bytes)
    {
        connection->receive(bytes);
        std::vector<ServerFrame> frames;
        EXPECT_TRUE(splitServerOutput(connection->output().pending(), frames));
        connection->output().clear();
        return frames;
    }
    void associate()  // capture 04's CR and CP
    {
        for (std::size_t i = 0; i < 2; ++i)
            feed(captured("04-read-float-and-node")[i]);
        ASSERT_TRUE(connection->associated());
    }
    // Sends a file or journal request and returns the one MMS PDU answered.
    mms::Pdu ask(std::uint32_t invokeId, const mms::ExtraRequest& r)
    {
        auto frames = feed(clientTpkt(mms::encodePdu(mms::ConfirmedRequest{invokeId, mms::encodeExtra(r)})));
        EXPECT_EQ(frames.size(), 1u);
        return frames.size() == 1 && !frames[0].mms.empty() ? decode(frames[0].mms) : mms::Pdu{mms::RejectPdu{}};
    }
};

// The service of a confirmed response.
template <typename T>
T response(const mms::Pdu& pdu)
{
    const auto* r = std::get_if<mms::ConfirmedResponse>(&pdu);
    EXPECT_TRUE(r) << "not a confirmed response, PDU kind " << pdu.index();
    const T* service = r ? std::get_if<T>(&r->service) : nullptr;
    EXPECT_TRUE(service);
    return service ? *service : T{};
}

// A file service or ReadJournal response.
template <typename T>
T extraResponse(const mms::Pdu& pdu)
{
    const auto raw = response<mms::UnrecognizedService>(pdu);
    mms::ExtraResponse extra;
    if (mms::decodeExtraResponse(raw, extra) != ber::Status::Ok || !std::holds_alternative<T>(extra)) {
        ADD_FAILURE() << "not the expected file or journal answer";
        return T{};
    }
    return std::get<T>(extra);
}

}  // namespace test
