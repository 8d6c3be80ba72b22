// A recorded loopback session with reports: tshark must decode every PDU
// cleanly, the GI report must follow the write response, and its layout must
// match the captured reference report.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"

#include "capture.hpp"
#include "loopback_relay.hpp"
#include "pcap_writer.hpp"
#include "tshark.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace test_support;
using mms::Value;

namespace {

constexpr const char* kDomain = "BOXCLS1";

inline constexpr ied::AttributeShape kEns[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_INT32, TRG_OPT_DATA_CHANGED},
    {"q", IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED},
    {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
};

struct WireModel {
    WireModel()
    {
        auto* ld = b.device("CLS1");
        auto* lln0 = b.node(ld, "LLN0");
        auto* ggio = b.node(ld, "GGIO1");
        ind = b.object(ggio, "Ind", kEns);
        b.object(ggio, "Alm", kEns);
        DataSet* set = b.dataSet(lln0, "dataset01");
        b.dataSetEntry(set, "CLS1", "GGIO1$ST$Ind");
        b.dataSetEntry(set, "CLS1", "GGIO1$ST$Alm");
        b.reportControl(lln0, "reportControl0101", "CLS1/report01", false, "dataset01", 1, 23, 142, 0, 0);
    }
    ied::ModelBuilder b{"BOX"};
    DataObject* ind = nullptr;
};

// The server's PDUs by kind ("report", "write" or "other" answer), and its reports.
std::vector<std::string> kindsAndReports(const std::vector<Bytes>& pdus, std::vector<mms::InformationReport>& reports)
{
    std::vector<std::string> kinds;
    for (const Bytes& b : pdus) {
        mms::Pdu p;
        EXPECT_EQ(mms::decodePdu(b, p), ber::Status::Ok);
        if (const auto* u = std::get_if<mms::UnconfirmedPdu>(&p)) {
            reports.push_back(u->report);
            kinds.push_back("report");
        } else if (const auto* r = std::get_if<mms::ConfirmedResponse>(&p)) {
            kinds.push_back(std::holds_alternative<mms::WriteResponse>(r->service) ? "write" : "other");
        }
    }
    return kinds;
}

// The kinds of the fields before the values: RptID .. inclusion.
std::vector<Value::Kind> headerKinds(const mms::InformationReport& r, std::size_t count)
{
    std::vector<Value::Kind> kinds;
    for (std::size_t i = 0; i < count && i < r.results.size(); ++i)
        kinds.push_back(r.results[i].kind());
    return kinds;
}

}  // namespace

TEST(ReportWire, RecordedSessionDecodesCleanlyAndMatchesTheCapturedLayout)
{
    if (!tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    WireModel m;
    IedServer server = IedServer_create(m.b.model());
    ASSERT_NE(server, nullptr);
    IedServer_setLocalIpAddress(server, "127.0.0.1");
    IedServer_start(server, 0);
    LoopbackRelay relay(static_cast<std::uint16_t>(IedServer_getPort(server)));
    ASSERT_NE(relay.port(), 0);
    {
        client::MmsConnection c;
        std::size_t reports = 0;
        c.setReportHandler([&](const mms::InformationReport&) { ++reports; });
        client::ConnectOptions o;
        o.port = relay.port();
        ASSERT_TRUE(c.connect(o).ok());
        EXPECT_TRUE(c.read(kDomain, "LLN0$RP$reportControl0101").ok());
        EXPECT_TRUE(c.write(kDomain, "LLN0$RP$reportControl0101$RptEna", Value::boolean(true)).ok());
        EXPECT_TRUE(c.write(kDomain, "LLN0$RP$reportControl0101$GI", Value::boolean(true)).ok());
        for (int i = 0; i < 50 && reports < 1; ++i)
            (void)c.waitForReports(100);
        IedServer_updateInt32AttributeValue(server, static_cast<DataAttribute*>(ModelNode_getByPath(m.ind, "stVal")), 9);
        for (int i = 0; i < 50 && reports < 2; ++i)
            (void)c.waitForReports(100);
        EXPECT_EQ(reports, 2u);
        EXPECT_TRUE(c.write(kDomain, "LLN0$RP$reportControl0101$RptEna", Value::boolean(false)).ok());
        EXPECT_TRUE(c.release().ok());
    }
    const Transcript& t = relay.finish();
    IedServer_destroy(server);

    const Decode d = decodeTranscript(::testing::TempDir() + "report-session.pcap", t, {"mms.unconfirmedService", "mms.confirmedServiceResponse"});
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.occurrences("mms.unconfirmedService", "0"), 2u) << d.summary();

    // The order: read, write, write, GI report, change report, write.
    std::vector<mms::InformationReport> ours, captured;
    EXPECT_EQ(kindsAndReports(Capture(pcapFile(t), 4102).serverPdus(), ours),
              (std::vector<std::string>{"other", "write", "write", "report", "report", "write"}));
    kindsAndReports(capture("07-report-gi-cls1").serverPdus(), captured);

    // Our GI report against the captured one: same header layout, one value
    // and one GI reason per member.
    ASSERT_FALSE(ours.empty() || captured.empty());
    const mms::InformationReport* gi = &ours.front();
    const mms::InformationReport* reference = &captured.front();
    EXPECT_EQ(gi->access, reference->access);
    EXPECT_EQ(headerKinds(*gi, 6), headerKinds(*reference, 6));
    EXPECT_EQ(gi->results[0], reference->results[0]);  // RptID
    EXPECT_EQ(gi->results[1], reference->results[1]);  // OptFlds
    EXPECT_EQ(gi->results[4], reference->results[4]);  // ConfRev
    EXPECT_EQ(gi->results[5].bitStringSize(), 2u);
    ASSERT_EQ(gi->results.size(), 6u + 2 * 2);
    EXPECT_EQ(gi->results[8], reference->results.back());  // reason GI
    EXPECT_EQ(gi->results[9], reference->results.back());
}
