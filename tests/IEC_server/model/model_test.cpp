// The box's model: its whole tree with start values, data sets and control blocks,
// compared with tests/data/box/model_tree.txt; served over TCP on 127.0.0.1 to our
// client, through a relay that records the session for tshark.
#include "../box_test_support.hpp"
#include "capture.hpp"
#include "child_process.hpp"
#include "loopback_relay.hpp"
#include "tshark.hpp"

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace iec61850;
using namespace boxtest;
using mms::Value;

// A client that proposes 1,000-octet PDUs gets the CLS GI report (about
// 1.7 kB) in segments: each within the PDU size, numbered by SubSeqNum,
// together every member once and in order, under one sequence number.
TEST(OverMms, AGeneralInterrogationLargerThanThePduComesInParts)
{
    ModelServer server;
    ASSERT_NE(server.get(), nullptr) << "the model's data sets or control blocks do not resolve";
    client::MmsConnection connection;
    const std::uint16_t port = startOnLoopback(server.get());
    ASSERT_TRUE(connectTo(connection, port));
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

// Every attribute below a node as " name FC type triggers[=start value]".
void describe(IedServer server, ModelNode* node, const std::string& prefix, std::string& out)
{
    for (ModelNode* c = node->firstChild; c; c = c->sibling) {
        auto* a = static_cast<DataAttribute*>(c);
        const char* fc = FunctionalConstraint_toString(a->fc);
        out += " " + prefix + a->name + " " + (fc ? fc : "-") + " " + std::to_string(a->type) + " " +
               std::to_string(a->triggerOptions) + (a->elementCount ? "[" + std::to_string(a->elementCount) + "]" : "");
        if (!a->firstChild)
            if (const MmsValue* v = IedServer_getAttributeValue(server, a))
                out += "=" + v->toString();
        describe(server, a, prefix + a->name + "$", out);
    }
}

// Nodes list their data objects by shape; each shape is written once, numbered.
std::string modelText(IedModel* model, IedServer server)
{
    std::map<std::string, std::size_t> shapes;
    std::string tree = std::string("IED ") + model->name + "\n", shapeLines;
    for (ModelNode* ld = model->firstChild; ld; ld = ld->sibling)
        for (ModelNode* ln = ld->firstChild; ln; ln = ln->sibling) {
            tree += std::string(ld->name) + "/" + ln->name + ":";
            for (ModelNode* object = ln->firstChild; object; object = object->sibling) {
                std::string shape = object->modelType == DataObjectModelType ? "" : " not a data object";
                describe(server, object, "", shape);
                const auto [it, added] = shapes.emplace(shape, shapes.size() + 1);
                if (added)
                    shapeLines += "S" + std::to_string(it->second) + shape + "\n";
                tree += std::string(" ") + object->name + "=S" + std::to_string(it->second);
            }
            tree += "\n";
        }
    for (DataSet* set = model->dataSets; set; set = set->sibling) {
        tree += std::string("DataSet ") + set->logicalDeviceName + "/" + set->name + " " +
                std::to_string(set->elementCount) + ":";
        for (DataSetEntry* e = set->fcdas; e; e = e->sibling)
            tree += std::string(" ") + e->logicalDeviceName + "/" + e->variableName +
                    (e->index >= 0 ? "(" + std::to_string(e->index) + ")" : "") +
                    (e->componentName ? std::string(".") + e->componentName : "");
        tree += "\n";
    }
    for (ReportControlBlock* r = model->rcbs; r; r = r->sibling)
        tree += std::string("Report ") + r->parent->parent->name + "/" + r->parent->name + "." + r->name + " " +
                r->rptId + " " + r->dataSetName + " buffered " + std::to_string(r->buffered) + " confRef " +
                std::to_string(r->confRef) + " trgOps " + std::to_string(r->trgOps) + " options " +
                std::to_string(r->options) + " bufferTime " + std::to_string(r->bufferTime) + " intPeriod " +
                std::to_string(r->intPeriod) + "\n";
    for (LogControlBlock* l = model->lcbs; l; l = l->sibling)
        tree += std::string("LogControl ") + l->parent->parent->name + "/" + l->parent->name + "." + l->name + " " +
                l->dataSetName + " " + l->logRef + " trgOps " + std::to_string(l->trgOps) + " intPeriod " +
                std::to_string(l->intPeriod) + " logEna " + std::to_string(l->logEna) + " reasonCode " +
                std::to_string(l->reasonCode) + "\n";
    for (Log* l = model->logs; l; l = l->sibling)
        tree += std::string("Log ") + l->parent->parent->name + "/" + l->parent->name + "$" + l->name + "\n";
    tree += std::string("GSE ") + (model->gseCBs ? "yes" : "none") + ", SV " + (model->svCBs ? "yes" : "none") +
            ", SGCB " + (model->sgcbs ? "yes" : "none") + "\n";
    return tree + shapeLines;
}

TEST(ModelTree, TreeStartValuesDataSetsAndControlBlocksAreTheRecordedOnes)
{
    boxtest::ModelServer server;
    ASSERT_NE(server.get(), nullptr);
    const std::string expected = testsupport::readFile(BOX_TEST_DATA_DIR "/model_tree.txt");
    const std::string actual = modelText(box::staticModel(), server.get());
    const std::string written = ::testing::TempDir() + "model_tree.txt";
    if (actual != expected)
        std::ofstream(written, std::ios::binary) << actual;
    EXPECT_TRUE(actual == expected) << "the model differs from the recorded one; this one is in " << written;
}

}  // namespace
