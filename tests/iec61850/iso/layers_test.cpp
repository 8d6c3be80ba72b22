// COTP segmentation and reassembly at every TPDU size, and our client's association
// against capture 01's server; the server side of every layer is driven by the
// transcripts (iso-*.txt).
#include "iec61850/iso/association.hpp"
#include "iec61850/iso/tpkt_cotp.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace iec61850::iso;

namespace {

Bytes bytes(ByteView v)
{
    return {v.begin(), v.end()};
}

// Feeds `stream` in chunks of `step` and collects the TPDUs.
Result frameAll(ByteView stream, std::size_t step, std::vector<Bytes>& tpdus)
{
    tpkt::Framer f;
    for (std::size_t at = 0; at < stream.size(); at += step) {
        f.feed(stream.subspan(at, std::min(step, stream.size() - at)));
        ByteView t;
        Result r;
        while ((r = f.next(t)) == Result::Ok)
            tpdus.push_back(bytes(t));
        if (r != Result::NeedMore)
            return r;
    }
    EXPECT_EQ(f.buffered(), 0u);
    return Result::Ok;
}

}  // namespace

TEST(Cotp, SegmentsAndReassemblesAtEverySize)
{
    Bytes tsdu(20000);
    for (std::size_t i = 0; i < tsdu.size(); ++i)
        tsdu[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t size : {128u, 1024u, 8192u}) {
        for (std::size_t length : std::initializer_list<std::size_t>{0, 1, size - 3, size - 2, 20000}) {
            SCOPED_TRACE(testing::Message() << size << " " << length);
            const ByteView part = ByteView(tsdu).first(length);
            Bytes stream;
            cotp::appendData(stream, part, size);
            std::vector<Bytes> tpdus;
            ASSERT_EQ(frameAll(stream, stream.size(), tpdus), Result::Ok);
            EXPECT_EQ(tpdus.size(), length == 0 ? 1 : (length + size - 4) / (size - 3));
            cotp::Reassembler r(20000);
            for (std::size_t i = 0; i < tpdus.size(); ++i) {
                EXPECT_LE(tpdus[i].size(), size);
                cotp::Tpdu t;
                ASSERT_EQ(cotp::decode(tpdus[i], t), Result::Ok);
                bool complete = false;
                ASSERT_EQ(r.add(t.data, complete), Result::Ok);
                EXPECT_EQ(complete, i + 1 == tpdus.size());
            }
            EXPECT_EQ(bytes(r.tsdu()), bytes(part));
        }
    }
}

TEST(Cotp, ReassemblyStopsAtTheCap)
{
    cotp::Reassembler r(100);
    const Bytes chunk(60, 0xaa);
    bool complete = true;
    EXPECT_EQ(r.add({false, chunk}, complete), Result::Ok);
    EXPECT_FALSE(complete);
    EXPECT_EQ(r.add({true, ByteView(chunk).first(40)}, complete), Result::Ok);
    EXPECT_TRUE(complete);
    EXPECT_EQ(r.tsdu().size(), 100u);
    // A finished TSDU is dropped on the next segment; the cap applies afresh.
    EXPECT_EQ(r.add({false, chunk}, complete), Result::Ok);
    EXPECT_EQ(r.add({true, chunk}, complete), Result::TooLarge);
}

TEST(ClientAssociation, TalksToTheCapturedServerSplitAtEveryOffset)
{
    const auto& c01 = test_support::capture("01-associate-identify");
    Bytes stream;
    for (std::size_t i = 0; i < 3; ++i)
        stream.insert(stream.end(), c01.serverTpkts().at(i).begin(), c01.serverTpkts().at(i).end());
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        std::vector<Bytes> associated, pdus;
        ClientAssociation::Callbacks callbacks;
        callbacks.onAssociated = [&](ByteView r) { associated.push_back(bytes(r)); };
        callbacks.onData = [&](ByteView pdu) { pdus.push_back(bytes(pdu)); };
        ClientAssociation client(std::move(callbacks));
        client.connect(c01.clientPdus().at(0));
        EXPECT_EQ(client.output().take(), c01.clientTpkts().at(0));  // the CR as captured
        client.receive(ByteView(stream).first(cut));
        client.receive(ByteView(stream).subspan(cut));
        EXPECT_EQ(associated, std::vector<Bytes>{c01.serverPdus().at(0)});
        EXPECT_EQ(pdus, std::vector<Bytes>{c01.serverPdus().at(1)});
    }
}

TEST(ClientAssociation, DisconnectInsteadOfConnectConfirmIsARefusal)
{
    int refused = 0;
    ClientAssociation::Callbacks callbacks;
    callbacks.onRefused = [&](ByteView) { ++refused; };
    ClientAssociation client(std::move(callbacks));
    client.connect(test_support::capture("01-associate-identify").clientPdus().at(0));
    client.receive(test_support::fromHex("0300000b06800001000100"));
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(client.closeReason(), CloseReason::Refused);
}
