// The box's model served over TCP on 127.0.0.1 to our client, through a relay
// that records the session for tshark.
#include "../box_test_support.hpp"

#include "capture.hpp"
#include "loopback_relay.hpp"
#include "tshark.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace iec61850;
using namespace boxtest;
using mms::Value;

// A client that proposes 1,000-octet PDUs gets the CLS GI report (about
// 1.7 kB) in segments: each within the PDU size, numbered by SubSeqNum,
// together every member once and in order, under one sequence number.
TEST(OverMms, NameListsAndAGeneralInterrogationLargerThanThePduComeInParts)
{
    ModelServer server;
    ASSERT_NE(server.get(), nullptr) << "the model's data sets or control blocks do not resolve";
    client::MmsConnection connection;
    const std::uint16_t port = startOnLoopback(server.get());
    ASSERT_TRUE(connectTo(connection, port));
    // The name lists are longer than one answer: the top-level names are the nodes in name order.
    for (const char* ld : {"STB", "CLS1"}) {
        std::vector<std::string> model;
        for (ModelNode* ln = IedModel_getDeviceByInst(box::staticModel(), ld)->firstChild; ln; ln = ln->sibling)
            model.emplace_back(ln->name);
        std::sort(model.begin(), model.end());
        auto names = connection.variableNames(std::string("FNN_STEUERBOX") + ld);
        ASSERT_TRUE(names.ok()) << names.error().describe();
        std::erase_if(*names, [](const std::string& n) { return n.find('$') != std::string::npos; });
        EXPECT_EQ(*names, model) << ld;
    }
    test_support::LoopbackRelay relay(port);
    std::vector<mms::InformationReport> segments;
    std::vector<Value> values;
    {
        client::MmsConnection small;
        small.setReportHandler([&](const mms::InformationReport& r) { segments.push_back(r); });
        client::ConnectOptions options;
        options.port = relay.port();
        options.maxPduSize = 1000;
        ASSERT_TRUE(small.connect(options).ok());
        const std::string block = "LLN0$RP$reportControl0102$";
        auto sqNum = [&] {
            auto r = small.read(kCls1, block + "SqNum");
            return r.ok() ? r->toUint64() : 999;
        };
        const std::uint64_t before = sqNum();
        for (const char* item : {"RptEna", "GI"})
            ASSERT_TRUE(small.write(kCls1, block + item, Value::boolean(true)).ok()) << item;
        auto last = [&] { return !segments.empty() && segments.back().results.at(6) == Value::boolean(false); };
        for (int i = 0; i < 50 && !last(); ++i)
            ASSERT_TRUE(small.waitForReports(100).ok());
        ASSERT_TRUE(last());
        EXPECT_EQ(sqNum(), before + 1);
        auto list = connection.readList(kCls1, "LLN0$dataset01");  // larger than 1,000 octets too
        ASSERT_TRUE(list.ok());
        values = *list;
        ASSERT_TRUE(small.write(kCls1, block + "RptEna", Value::boolean(false)).ok());
        ASSERT_TRUE(small.release().ok());
    }
    const test_support::Transcript& t = relay.finish();

    // RptID, OptFlds, TimeOfEntry, DatSet, ConfRev, SubSeqNum, MoreSegmentsFollow, inclusion, values, reasons.
    ASSERT_GE(segments.size(), 2u);
    std::vector<Value> reported;
    std::size_t nextMember = 0;
    for (std::size_t n = 0; n < segments.size(); ++n) {
        const std::vector<Value>& f = segments[n].results;
        ASSERT_GE(f.size(), 8u);
        EXPECT_TRUE(f[1].getBit(9)) << "segmentation";
        EXPECT_EQ(f[5], Value::unsignedInteger(n));
        EXPECT_EQ(f[6], Value::boolean(n + 1 < segments.size()));
        const Value& inclusion = f[7];
        const std::size_t count = inclusion.countSetBits();
        ASSERT_EQ(f.size(), 8 + 2 * count);
        for (std::size_t i = 0; i < count; ++i, ++nextMember)
            EXPECT_TRUE(inclusion.getBit(nextMember)) << nextMember;
        reported.insert(reported.end(), f.begin() + 8, f.begin() + 8 + static_cast<std::ptrdiff_t>(count));
    }
    EXPECT_EQ(reported, values);
    const test_support::Capture wire(test_support::pcapFile(t), kServerPort);
    for (const Bytes& pdu : wire.serverPdus())
        EXPECT_LE(pdu.size(), 1000u);

    if (!test_support::tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    const auto d =
        test_support::decodeTranscript(::testing::TempDir() + "segmented-gi.pcap", t, {"mms.unconfirmedService"});
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.occurrences("mms.unconfirmedService", "0"), segments.size()) << d.summary();
}

}  // namespace
