// The tshark harness must report what it is there to catch: a broken MMS PDU and
// a TPKT cut short, in an otherwise clean session (capture 01).
#include "tshark.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace test_support;

namespace {

class Harness : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!tsharkAvailable())
            GTEST_SKIP() << "tshark not installed";
    }
    const Transcript& session = capture("01-associate-identify").transcript();
};

}  // namespace

TEST_F(Harness, BrokenMmsPduIsCaught)
{
    // The identify request's confirmed-RequestPDU, then ways to break it.
    const Bytes good = {0xa0, 0x07, 0xa0, 0x05, 0x02, 0x01, 0x01, 0x82, 0x00};
    const std::vector<Bytes> broken = {
        {0xa0, 0x07, 0xa0, 0x05, 0x02, 0x01, 0x01, 0x82, 0x05},  // identify claims octets beyond the PDU
        {0xa0, 0x07, 0xa0, 0x04, 0x02, 0x01, 0x01, 0x82, 0x00},  // request shorter than its content
        {0xa0, 0x07, 0xa0, 0x05, 0x02, 0x00, 0x01, 0x82, 0x00},  // empty invoke ID
        {0xa0, 0x7f, 0xa0, 0x05, 0x02, 0x01, 0x01, 0x82, 0x00},  // outer length beyond the data
    };
    const Decode clean = decodeTranscript("harness-clean.pcap", session);
    ASSERT_TRUE(clean.ran) << clean.error;
    EXPECT_TRUE(clean.problems.empty()) << clean.summary();
    for (std::size_t i = 0; i < broken.size(); ++i) {
        Transcript t;
        for (Chunk c : session.chunks()) {
            auto at = std::search(c.data.begin(), c.data.end(), good.begin(), good.end());
            if (at != c.data.end())
                std::copy(broken[i].begin(), broken[i].end(), at);
            t.add(c.direction, c.data);
        }
        const Decode d = decodeTranscript("harness-broken.pcap", t);
        ASSERT_TRUE(d.ran) << d.error;
        EXPECT_EQ(d.problems.size(), 1u) << "case " << i << "\n" << d.summary();
    }
}

TEST_F(Harness, TruncatedTpktIsCaught)
{
    Transcript broken;
    for (const Chunk& c : session.chunks()) {
        Bytes data = c.data;
        if (data.size() > 100)
            data.resize(data.size() / 2);  // the association request, cut short
        broken.add(c.direction, data);
        if (data.size() != c.data.size())
            break;
    }
    const Decode d = decodeTranscript("harness-truncated.pcap", broken);
    ASSERT_TRUE(d.ran) << d.error;
    for (const Frame& f : d.frames)
        EXPECT_EQ(f.protocols.find(":mms"), std::string::npos) << d.summary();
}
