#include "tshark.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace test_support;

namespace {

const std::vector<std::string> kLayerFields = {
    "cotp.type", "ses.type", "acse.aarq_element", "acse.aare_element", "acse.rlrq_element", "acse.rlre_element",
    "mms.confirmedServiceRequest", "mms.confirmedServiceResponse", "tcp.analysis.flags", "tcp.len"};

const char* const kStrictTcp = "-o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE";

class Harness : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!tsharkAvailable())
            GTEST_SKIP() << "tshark not installed";
    }
};

class ReferenceHarness : public Harness {
protected:
    static Transcript identifySession() { return capture("01-associate-identify").transcript(); }
};

std::size_t totalLength(const Decode& d)
{
    std::size_t n = 0;
    for (const Frame& f : d.frames)
        if (auto it = f.fields.find("tcp.len"); it != f.fields.end())
            n += std::stoul(it->second.front());
    return n;
}

}  // namespace

TEST_F(ReferenceHarness, ReferenceCapturesDecodeWithoutProblems)
{
    for (const std::string& name : captureNames()) {
        const std::string path = std::string(TEST_WIRE_DATA_DIR) + "/" + name + ".pcap";
        const Decode d = runTshark(path, 10102);
        ASSERT_TRUE(d.ran) << path << ": " << d.error;
        EXPECT_TRUE(d.problems.empty()) << path << "\n" << d.summary();
        EXPECT_GT(d.countProtocol("mms"), 0u) << path;
    }
}

TEST_F(ReferenceHarness, RewrittenSessionDecodesLikeTheOriginal)
{
    const Transcript session = identifySession();
    ASSERT_EQ(session.chunks().size(), 10u);

    const Decode d = decodeTranscript("harness-identify.pcap", session, kLayerFields);
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
    EXPECT_EQ(d.count("cotp.type", "0x0e"), 1u) << d.summary();  // CR
    EXPECT_EQ(d.count("cotp.type", "0x0d"), 1u);                  // CC
    EXPECT_EQ(d.count("ses.type", "13"), 1u);                     // CONNECT
    EXPECT_EQ(d.count("ses.type", "14"), 1u);                     // ACCEPT
    EXPECT_EQ(d.count("ses.type", "9"), 1u);                      // FINISH
    EXPECT_EQ(d.count("ses.type", "10"), 1u);                     // DISCONNECT
    EXPECT_EQ(d.count("acse.aarq_element"), 1u);
    EXPECT_EQ(d.count("acse.aare_element"), 1u);
    EXPECT_EQ(d.count("acse.rlrq_element"), 1u);
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
    EXPECT_EQ(d.count("mms.confirmedServiceRequest", "2"), 1u);   // identify
    EXPECT_EQ(d.count("mms.confirmedServiceResponse", "2"), 1u);
    EXPECT_EQ(totalLength(d), session.stream(Direction::ToServer).size() + session.stream(Direction::ToClient).size());
}

TEST_F(ReferenceHarness, ChecksumsAreValid)
{
    ASSERT_TRUE(writePcap("harness-checksums.pcap", identifySession()));
    const Decode d = runTshark("harness-checksums.pcap", 4102, {"tcp.checksum.status", "ip.checksum.status"}, kStrictTcp);
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.count("tcp.checksum.status", "1"), d.frames.size()) << d.summary();  // 1 = good
    EXPECT_EQ(d.count("ip.checksum.status", "1"), d.frames.size());
}

TEST_F(ReferenceHarness, BrokenMmsPduIsCaught)
{
    // The identify request's confirmed-RequestPDU, then ways to break it.
    const Bytes good = {0xa0, 0x07, 0xa0, 0x05, 0x02, 0x01, 0x01, 0x82, 0x00};
    const std::vector<Bytes> broken = {
        {0xa0, 0x07, 0xa0, 0x05, 0x02, 0x01, 0x01, 0x82, 0x05},  // identify claims octets beyond the PDU
        {0xa0, 0x07, 0xa0, 0x04, 0x02, 0x01, 0x01, 0x82, 0x00},  // request shorter than its content
        {0xa0, 0x07, 0xa0, 0x05, 0x02, 0x00, 0x01, 0x82, 0x00},  // empty invoke ID
        {0xa0, 0x7f, 0xa0, 0x05, 0x02, 0x01, 0x01, 0x82, 0x00},  // outer length beyond the data
    };
    const Transcript original = identifySession();
    for (std::size_t i = 0; i < broken.size(); ++i) {
        Transcript t;
        bool patched = false;
        for (Chunk c : original.chunks()) {
            auto at = std::search(c.data.begin(), c.data.end(), good.begin(), good.end());
            if (at != c.data.end()) {
                std::copy(broken[i].begin(), broken[i].end(), at);
                patched = true;
            }
            t.add(c.direction, c.data);
        }
        ASSERT_TRUE(patched);
        const Decode d = decodeTranscript("harness-broken.pcap", t);
        ASSERT_TRUE(d.ran) << d.error;
        EXPECT_EQ(d.problems.size(), 1u) << "case " << i << "\n" << d.summary();
    }
}

TEST_F(ReferenceHarness, TruncatedTpktIsCaught)
{
    Transcript broken;
    const Transcript original = identifySession();
    for (const Chunk& c : original.chunks()) {
        Bytes data = c.data;
        if (data.size() > 100)
            data.resize(data.size() / 2);  // the association request, cut short
        broken.add(c.direction, data);
        if (data.size() != c.data.size())
            break;
    }
    const Decode d = decodeTranscript("harness-truncated.pcap", broken);
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_EQ(d.countProtocol("mms"), 0u) << d.summary();
}

TEST_F(Harness, LargeChunksAreSplitIntoValidSegments)
{
    Transcript t;
    Bytes big(150000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7);
    t.toServer(big);
    t.toServer(Bytes(10, 0x55));
    t.toClient(Bytes(65495, 0xaa));
    t.toClient(Bytes(65496, 0xbb));
    ASSERT_TRUE(writePcap("harness-large.pcap", t));

    // Port 1: plain TCP, no ISO decoding of the filler bytes.
    const Decode d = runTshark("harness-large.pcap", 1, {"tcp.len", "tcp.analysis.flags", "tcp.checksum.status"}, kStrictTcp);
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
    std::size_t largest = 0;
    for (const Frame& f : d.frames)
        largest = std::max<std::size_t>(largest, std::stoul(f.fields.at("tcp.len").front()));
    EXPECT_EQ(largest, kMaxSegmentPayload);
    EXPECT_EQ(totalLength(d), 150000u + 10u + 65495u + 65496u);
        // Handshake; 150000 in three segments, each acknowledged; 10 answered by the server's data;
    // 65495 in one segment and 65496 in two, each acknowledged; FINs.
    EXPECT_EQ(d.frames.size(), 3u + 6 + 1 + 2 + 4 + 3) << d.summary();
}
