// Our client against our threaded server over real loopback TCP, through a
// relay that records both byte streams; tshark must decode them cleanly.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/server/mms_server.hpp"
#include "loopback_relay.hpp"
#include "sample_model.hpp"
#include "tshark.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace test_support;

TEST(LoopbackSession, OurClientAgainstOurServer)
{
    if (!tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    auto model = makeSampleModel();
    server::MmsServer server(*model);
    ASSERT_EQ(server.listen("127.0.0.1", 0), platform::NetStatus::Ok);
    ASSERT_TRUE(server.start());
    LoopbackRelay relay(server.port());
    ASSERT_NE(relay.port(), 0);
    {
        client::MmsConnection c;
        client::ConnectOptions options;
        options.port = relay.port();
        options.maxPduSize = 1200;  // name lists need continuing
        ASSERT_TRUE(c.connect(options).ok());
        auto expectOk = [](const auto& r, const char* what) {
            EXPECT_TRUE(r.ok()) << what << ": " << (r.ok() ? "" : r.error().describe());
        };
        expectOk(c.identify(), "identify");
        expectOk(c.status(), "status");
        const auto domains = c.domainNames();
        ASSERT_TRUE(domains.ok());
        EXPECT_EQ(domains->size(), 3u);
        expectOk(c.variableNames(kCls1), "variable names");
        expectOk(c.variableListNames(kCls1), "list names");
        expectOk(c.journalNames(kStb), "journal names");
        expectOk(c.variableAccessAttributes(kCls1, "EmpSPrg_FSCH020001$CO"), "type");
        const auto f = c.read(kCls1, "MMXU001$MX$TotW$mag$f");
        ASSERT_TRUE(f.ok());
        EXPECT_FLOAT_EQ(f->toFloat(), 1234.5f);
        expectOk(c.readList(kCls1, "LLN0$dataset01"), "read list");
        expectOk(c.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", mms::Value::float32(12.5f)), "write");
        EXPECT_FALSE(c.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", mms::Value::boolean(true)).ok());
        expectOk(c.variableListAttributes(kCls1, "LLN0$dataset01"), "list attributes");
        const client::VariableRef members[] = {{kCls1, "MMXU001$MX$TotW"}};
        (void)c.defineVariableList(kCls1, "LLN0$mine", members);  // refused or done: either is a clean answer
        (void)c.deleteVariableList(kCls1, "LLN0$mine");

        std::size_t reports = 0;
        c.setReportHandler([&](const mms::InformationReport&) { ++reports; });
        {
            auto lock = server.lockModel();
            const mms::Value* values[] = {model->value(kCls1, "MMXU001$MX$TotW")};
            EXPECT_EQ(server.broadcastInformationReport(
                          mms::VariableAccessSpec::single(mms::ObjectName::inDomain(kCls1, "MMXU001$MX$TotW")), values),
                      1u);
        }
        expectOk(c.waitForReports(5000), "reports");
        EXPECT_EQ(reports, 1u);
        expectOk(c.release(), "release");
    }
    const Transcript& t = relay.finish();
    server.stop();

    const Decode d = decodeTranscript("loopback-session.pcap", t,
                                      {"mms.confirmedServiceRequest", "mms.confirmedServiceResponse",
                                       "mms.unconfirmedService", "acse.rlre_element", "tcp.analysis.flags"});
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
    EXPECT_GE(d.count("mms.confirmedServiceRequest", "1"), 4u) << d.summary();  // with continuations
    for (const char* service : {"0", "1", "2", "4", "5", "6", "12"})
        EXPECT_GE(d.count("mms.confirmedServiceResponse", service), 1u) << "service " << service;
    EXPECT_EQ(d.count("mms.unconfirmedService", "0"), 1u);
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
}
