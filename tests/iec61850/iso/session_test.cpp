#include "capture01.hpp"

using namespace iec61850;
using namespace iec61850::iso;
using iso_test::bytes;
using iso_test::hex;

TEST(Session, LongLengthsRefuseAndAbortRoundTrip)
{
    const Bytes big(1000, 0x5a);
    const Bytes small = hex("3003020101");
    Bytes out;
    ASSERT_TRUE(session::appendFinish(out, big));
    EXPECT_EQ(out[1], 0xff);  // 0xff + two octets
    EXPECT_FALSE(session::appendFinish(out, Bytes(70000, 1)));
    session::Spdu s;
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(bytes(s.userData), big);

    out.clear();
    ASSERT_TRUE(session::appendRefuse(out, small));
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(s.kind, session::Kind::Refuse);
    EXPECT_EQ(s.reason, session::kRefusedByUser);
    EXPECT_EQ(bytes(s.userData), small);

    out.clear();
    ASSERT_TRUE(session::appendAbort(out, small));
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(s.kind, session::Kind::Abort);
    EXPECT_TRUE(s.hasTransportDisconnect);
    EXPECT_EQ(bytes(s.userData), small);

    // Peers that put user data in PGI 193 instead of the reason code, or in extended user data (PGI 194).
    for (const char* spdu : {"0c05c1033001ff", "0d05c2033001ff"}) {
        const Bytes wire = hex(spdu);
        ASSERT_EQ(session::decode(wire, s), Result::Ok) << spdu;
        EXPECT_EQ(bytes(s.userData), hex("3001ff")) << spdu;
    }
}

TEST(Session, RejectsLyingOrUnknownSpdus)
{
    const struct {
        const char* name;
        const char* tsdu;
        Result expected;
    } cases[] = {
        {"empty", "", Result::Malformed},
        {"SI only", "0d", Result::Malformed},
        {"length beyond data", "0d0514020002", Result::Malformed},
        {"long form cut", "0dff00", Result::Malformed},
        {"long form beyond data", "0dff0100c1", Result::Malformed},
        {"trailing bytes", "090000", Result::Malformed},
        {"parameter length lies", "0d03140300", Result::Malformed},
        {"parameter header cut", "0d0114", Result::Malformed},
        {"nested item lies", "0d06050413050016", Result::Malformed},
        {"requirements of 3 octets", "0d051403000200", Result::Malformed},
        {"version of 2 octets", "0d06050416020201", Result::Malformed},
        {"oversized selector", "0d1333110000000000000000000000000000000000", Result::Malformed},
        {"empty reason code", "0c023200", Result::Malformed},
        {"lone Give-Tokens", "0100", Result::Malformed},
        {"Give-Tokens before other than data", "01000900", Result::Malformed},
        {"unknown SI", "0700", Result::Unsupported},
        {"expedited SI", "0500", Result::Unsupported},
    };
    for (const auto& c : cases) {
        session::Spdu s;
        EXPECT_EQ(session::decode(hex(c.tsdu), s), c.expected) << c.name;
    }
}
