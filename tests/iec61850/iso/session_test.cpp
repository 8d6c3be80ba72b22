#include "iec61850/iso/session.hpp"

#include "capture01.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace iec61850::iso;
using iso_test::hex;
namespace c01 = iso_test::c01;

namespace {

// The TSDU inside a single captured DT TPDU.
ByteView tsduOf(const Bytes& packet)
{
    return ByteView(packet).subspan(7);
}

Bytes bytes(ByteView v)
{
    return {v.begin(), v.end()};
}

}  // namespace

TEST(Session, DecodesCapturedConnectAndAccept)
{
    session::Spdu cn;
    ASSERT_EQ(session::decode(tsduOf(c01::cnAarq), cn), Result::Ok);
    EXPECT_EQ(cn.kind, session::Kind::Connect);
    EXPECT_EQ(cn.versions, session::kVersion2);
    EXPECT_EQ(cn.requirements, session::kDuplex);
    EXPECT_EQ(cn.callingSsel, hex("0001"));
    EXPECT_EQ(cn.calledSsel, hex("0001"));
    EXPECT_EQ(cn.userData.size(), 156u);
    EXPECT_EQ(cn.userData[0], 0x31);

    session::Spdu ac;
    ASSERT_EQ(session::decode(tsduOf(c01::acAare), ac), Result::Ok);
    EXPECT_EQ(ac.kind, session::Kind::Accept);
    EXPECT_FALSE(ac.hasCallingSsel);
    EXPECT_EQ(ac.calledSsel, hex("0001"));
    EXPECT_EQ(ac.userData.size(), 116u);
}

TEST(Session, EncodesTheCapturedSpdus)
{
    session::Spdu cn, ac, fn, dn;
    ASSERT_EQ(session::decode(tsduOf(c01::cnAarq), cn), Result::Ok);
    ASSERT_EQ(session::decode(tsduOf(c01::acAare), ac), Result::Ok);
    ASSERT_EQ(session::decode(tsduOf(c01::finishRlrq), fn), Result::Ok);
    ASSERT_EQ(session::decode(tsduOf(c01::disconnectRlre), dn), Result::Ok);
    EXPECT_EQ(fn.kind, session::Kind::Finish);
    EXPECT_EQ(dn.kind, session::Kind::Disconnect);

    Bytes out;
    ASSERT_TRUE(session::appendConnect(out, session::Kind::Connect, {true, true, hex("0001"), hex("0001")}, cn.userData));
    EXPECT_EQ(out, bytes(tsduOf(c01::cnAarq)));
    out.clear();
    ASSERT_TRUE(session::appendConnect(out, session::Kind::Accept, {false, true, {}, hex("0001")}, ac.userData));
    EXPECT_EQ(out, bytes(tsduOf(c01::acAare)));
    out.clear();
    ASSERT_TRUE(session::appendFinish(out, fn.userData));
    EXPECT_EQ(out, bytes(tsduOf(c01::finishRlrq)));
    out.clear();
    ASSERT_TRUE(session::appendDisconnect(out, dn.userData));
    EXPECT_EQ(out, bytes(tsduOf(c01::disconnectRlre)));
}

TEST(Session, DataIsGiveTokensThenDataTransfer)
{
    session::Spdu dt;
    ASSERT_EQ(session::decode(tsduOf(c01::identifyRequest), dt), Result::Ok);
    EXPECT_EQ(dt.kind, session::Kind::Data);
    EXPECT_EQ(bytes(dt.userData), bytes(tsduOf(c01::identifyRequest).subspan(4)));

    Bytes out;
    session::appendDataHeader(out);
    EXPECT_EQ(out, hex("01000100"));
    // A lone Give-Tokens, or one followed by something else, is not data.
    EXPECT_EQ(session::decode(hex("0100"), dt), Result::Malformed);
    EXPECT_EQ(session::decode(hex("01000900"), dt), Result::Malformed);
}

TEST(Session, LongLengthsRoundTrip)
{
    const Bytes userData(1000, 0x5a);
    Bytes out;
    ASSERT_TRUE(session::appendFinish(out, userData));
    EXPECT_EQ(out[1], 0xff);  // 0xff + two octets
    session::Spdu s;
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(bytes(s.userData), userData);
    EXPECT_FALSE(session::appendFinish(out, Bytes(70000, 1)));
}

TEST(Session, RefuseAndAbortCarryUserData)
{
    const Bytes userData = hex("3003020101");
    Bytes out;
    ASSERT_TRUE(session::appendRefuse(out, userData));
    session::Spdu s;
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(s.kind, session::Kind::Refuse);
    EXPECT_EQ(s.reason, session::kRefusedByUser);
    EXPECT_EQ(bytes(s.userData), userData);

    out.clear();
    ASSERT_TRUE(session::appendAbort(out, userData));
    ASSERT_EQ(session::decode(out, s), Result::Ok);
    EXPECT_EQ(s.kind, session::Kind::Abort);
    EXPECT_TRUE(s.hasTransportDisconnect);
    EXPECT_EQ(bytes(s.userData), userData);

    // Peers that put refusal user data in PGI 193 instead of the reason code.
    const Bytes refuse193 = hex("0c05c1033001ff");
    ASSERT_EQ(session::decode(refuse193, s), Result::Ok);
    EXPECT_EQ(bytes(s.userData), hex("3001ff"));

    // Extended user data (PGI 194) is taken like PGI 193.
    const Bytes extended = hex("0d05c2033001ff");
    ASSERT_EQ(session::decode(extended, s), Result::Ok);
    EXPECT_EQ(bytes(s.userData), hex("3001ff"));
}

TEST(Session, RejectsLyingOrUnknownSpdus)
{
    struct Case {
        const char* name;
        Bytes tsdu;
        Result expected;
    } cases[] = {
        {"empty", {}, Result::Malformed},
        {"SI only", hex("0d"), Result::Malformed},
        {"length beyond data", hex("0d0514020002"), Result::Malformed},
        {"long form cut", hex("0dff00"), Result::Malformed},
        {"long form beyond data", hex("0dff0100c1"), Result::Malformed},
        {"trailing bytes", hex("090000"), Result::Malformed},
        {"parameter length lies", hex("0d03140300"), Result::Malformed},
        {"parameter header cut", hex("0d0114"), Result::Malformed},
        {"nested item lies", hex("0d06050413050016"), Result::Malformed},
        {"requirements of 3 octets", hex("0d051403000200"), Result::Malformed},
        {"version of 2 octets", hex("0d06050416020201"), Result::Malformed},
        {"oversized selector", hex("0d1333110000000000000000000000000000000000"), Result::Malformed},
        {"empty reason code", hex("0c023200"), Result::Malformed},
        {"unknown SI", hex("0700"), Result::Unsupported},
        {"expedited SI", hex("0500"), Result::Unsupported},
    };
    for (const auto& c : cases) {
        session::Spdu s;
        EXPECT_EQ(session::decode(c.tsdu, s), c.expected) << c.name;
    }
}
