// Test helpers: the client TPKTs of the captures, a ServerConnection fed
// whole TPKTs, and the typed answers it gives.
#pragma once

#include "octets.hpp"
#include "iec61850/mms/file_service.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/server/memory_model.hpp"
#include "iec61850/server/server_connection.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace test {

using iec61850::Bytes;
using iec61850::ByteView;
namespace ber = iec61850::ber;
namespace mms = iec61850::mms;

using test_support::Answer;
using test_support::clientTpkt;
using test_support::fromHex;

// The client TPKTs of a reference capture.
inline const std::vector<Bytes>& captured(std::string_view name)
{
    return test_support::capture(name).clientTpkts();
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
    std::vector<Answer> feed(ByteView bytes)
    {
        connection->receive(bytes);
        Bytes out(connection->output().pending().begin(), connection->output().pending().end());
        connection->output().clear();
        std::vector<Answer> answers;
        EXPECT_TRUE(test_support::splitAnswers(out, answers));
        return answers;
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
