// The client against the real server over loopback TCP: every service and
// every value kind as the client sees them.
#include "test_server.hpp"

#include <gtest/gtest.h>

namespace client_test {
namespace {

using namespace iec61850;
using client::ErrorKind;
using client::MmsConnection;
using client::VariableRef;
using mms::DataAccessError;
using mms::Value;

class Loopback : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(connection.connect(server.options()).ok()); }

    void broadcastReport(const Value& id, const Value& data)
    {
        const Value* values[] = {&id, &data};
        ASSERT_EQ(server.server->broadcastInformationReport(reportAccess, values), 1u);
    }

    TestServer server;
    MmsConnection connection;
    const mms::VariableAccessSpec reportAccess = mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT"));
};

TEST_F(Loopback, AssociatesIdentifiesAndReleases)
{
    EXPECT_EQ(connection.negotiated().maxPduSize, 65000);
    EXPECT_EQ(connection.negotiated().nestingLevel, 10);
    auto id = connection.identify();
    ASSERT_TRUE(id.ok()) << id.error().describe();
    EXPECT_EQ(id->vendor, "Brenvolta");
    EXPECT_EQ(id->revision, "1.5");
    EXPECT_EQ(connection.status()->logicalStatus, 0);

    ASSERT_TRUE(connection.conclude().ok());
    EXPECT_EQ(connection.identify().error().kind, ErrorKind::NotConnected);
    ASSERT_TRUE(connection.release().ok());
    EXPECT_FALSE(connection.connected());
    EXPECT_EQ(connection.release().error().kind, ErrorKind::NotConnected);

    MmsConnection small;
    ASSERT_TRUE(small.connect(server.options(512)).ok());
    EXPECT_EQ(small.negotiated().maxPduSize, 512);
}

TEST_F(Loopback, ListsNamesAcrossContinuations)
{
    EXPECT_EQ(*connection.domainNames(), (std::vector<std::string>{kBig, kDevice}));
    EXPECT_EQ(*connection.variableListNames(kDevice), std::vector<std::string>{"LLN0$ds"});
    EXPECT_EQ(*connection.journalNames(kDevice), std::vector<std::string>{"LLN0$log"});
    auto vars = connection.variableNames(kDevice);
    ASSERT_TRUE(vars.ok());
    for (const char* name : {"LLN0", "LLN0$RP$rcb01$RptEna", "Types", "Types$st$a", "Types$ar"})
        EXPECT_NE(std::find(vars->begin(), vars->end(), name), vars->end()) << name;
    EXPECT_EQ(connection.variableNames("NoSuchDomain").error().kind, ErrorKind::ServiceError);

    // 600 names of 7 octets do not fit one 512-octet PDU: the client continues
    // after the last name until the server says no more follow.
    for (std::int32_t pduSize : {512, 65000}) {
        MmsConnection c;
        ASSERT_TRUE(c.connect(server.options(pduSize)).ok());
        auto names = c.variableNames(kBig);
        ASSERT_TRUE(names.ok()) << names.error().describe();
        ASSERT_EQ(names->size(), static_cast<std::size_t>(kBigNames)) << pduSize;
        for (int i = 0; i < kBigNames; ++i)
            ASSERT_EQ((*names)[static_cast<std::size_t>(i)], bigName(i));
    }
}

TEST_F(Loopback, ReadsTypeDescriptions)
{
    auto whole = connection.variableAccessAttributes(kDevice, "Types");
    ASSERT_TRUE(whole.ok()) << whole.error().describe();
    ASSERT_EQ(whole->components().size(), 12u);
    EXPECT_EQ(whole->find("bs")->size(), 13);
    EXPECT_EQ(whole->find("ar")->elementCount(), 3u);
    EXPECT_EQ(*connection.variableAccessAttributes(kDevice, "Types$d"), mms::TypeDescription::float64());
    EXPECT_EQ(connection.variableAccessAttributes(kDevice, "Nope").error().kind, ErrorKind::ServiceError);
}

TEST_F(Loopback, WritesAndReadsBackEveryKind)
{
    const std::uint8_t octets[] = {0x00, 0xff, 0x10, 0x80};
    const std::uint8_t bits[] = {0xa5, 0x28};
    const struct {
        const char* item;
        Value value;
    } samples[] = {
        {"Types$b", Value::boolean(true)},
        {"Types$bs", Value::bitString(bits, 13)},
        {"Types$i", Value::integer(-2000000000)},
        {"Types$u", Value::unsignedInteger(4000000000u)},
        {"Types$f", Value::float32(-0.15625f)},
        {"Types$d", Value::float64(1.0e300)},
        {"Types$o", Value::octetString(octets)},
        {"Types$s", Value::visibleString("Brenvolta CLS1")},
        {"Types$t", Value::utcTimeMs(1798761600250u)},
        {"Types$bt", Value::binaryTimeMs(1798761600250u)},
        {"Types$st", Value::structure({Value::integer(-7), Value::boolean(true)})},
        {"Types$ar", Value::array({Value::integer(1), Value::integer(-2), Value::integer(32767)})},
    };
    for (const auto& s : samples) {
        SCOPED_TRACE(s.item);
        auto w = connection.write(kDevice, s.item, s.value);
        ASSERT_TRUE(w.ok()) << w.error().describe();
        auto r = connection.read(kDevice, s.item);
        ASSERT_TRUE(r.ok()) << r.error().describe();
        EXPECT_EQ(*r, s.value) << r->toString();
        const auto lock = server.server->lockModel();
        EXPECT_EQ(*server.model->value(kDevice, s.item), s.value);
    }
    auto whole = connection.read(kDevice, "Types");
    ASSERT_TRUE(whole.ok());
    ASSERT_EQ(whole->size(), std::size(samples));
    for (std::size_t i = 0; i < std::size(samples); ++i)
        EXPECT_EQ((*whole)[i], samples[i].value) << samples[i].item;
}

TEST_F(Loopback, ReportsDataAccessErrorsPerItem)
{
    auto missing = connection.read(kDevice, "Missing");
    EXPECT_EQ(missing.error().kind, ErrorKind::DataAccess);
    EXPECT_EQ(missing.error().code, static_cast<int>(DataAccessError::ObjectNonExistent));
    auto wrongType = connection.write(kDevice, "Types$i", Value::float32(1));
    EXPECT_EQ(wrongType.error().kind, ErrorKind::DataAccess);
    EXPECT_EQ(wrongType.error().code, static_cast<int>(DataAccessError::TypeInconsistent));

    const std::vector<VariableRef> refs{{kDevice, "Types$i"}, {kDevice, "Missing"}, {kDevice, "Types$f"}};
    EXPECT_EQ(*connection.read(refs), (std::vector<Value>{Value::integer(-42), Value::error(DataAccessError::ObjectNonExistent),
                                                          Value::float32(12.5f)}));
    const std::vector<Value> values{Value::integer(5), Value::integer(6), Value::boolean(true)};
    auto writes = connection.write(refs, values);
    ASSERT_TRUE(writes.ok()) << writes.error().describe();
    ASSERT_EQ(writes->size(), 3u);
    EXPECT_TRUE((*writes)[0].ok());
    EXPECT_EQ((*writes)[1].failure, DataAccessError::ObjectNonExistent);
    EXPECT_EQ((*writes)[2].failure, DataAccessError::TypeInconsistent);
    EXPECT_EQ(*connection.read(kDevice, "Types$i"), Value::integer(5));
    EXPECT_EQ(connection.write(refs, std::span(values).first(2)).error().kind, ErrorKind::InvalidArgument);
    EXPECT_TRUE(connection.connected());
}

TEST_F(Loopback, NamedVariableLists)
{
    auto members = connection.variableListAttributes(kDevice, "LLN0$ds");
    ASSERT_TRUE(members.ok()) << members.error().describe();
    ASSERT_EQ(members->size(), 3u);
    EXPECT_EQ((*members)[0].domain, kDevice);
    EXPECT_EQ((*members)[2].item, "Missing");
    auto values = connection.readList(kDevice, "LLN0$ds");
    ASSERT_TRUE(values.ok()) << values.error().describe();
    ASSERT_EQ(values->size(), 3u);
    EXPECT_EQ((*values)[1], Value::float32(12.5f));
    EXPECT_TRUE((*values)[2].isError());
    EXPECT_NE(connection.readList(kDevice, "LLN0$none").error().kind, ErrorKind::ConnectionLost);

    // This server defines no lists and deletes none.
    auto define = connection.defineVariableList(kDevice, "LLN0$mine", std::vector<VariableRef>{{kDevice, "Types$i"}});
    EXPECT_EQ(define.error().kind, ErrorKind::ServiceError);
    EXPECT_EQ(define.error().errorClass, static_cast<int>(mms::ErrorClass::Resource));
    EXPECT_EQ(*connection.deleteVariableList(kDevice, "LLN0$ds"), 0u);
    EXPECT_TRUE(connection.identify().ok());
}

TEST_F(Loopback, DeliversReportsWhileIdleAndWhileARequestWaits)
{
    std::vector<mms::InformationReport> seen;
    connection.setReportHandler([&seen](const mms::InformationReport& r) { seen.push_back(r); });
    const Value id = Value::visibleString("DEV/report01");
    const Value data = Value::structure({Value::float32(1.5f), Value::boolean(true)});

    EXPECT_EQ(*connection.poll(), 0u);
    broadcastReport(id, data);
    auto got = connection.waitForReports(10000);
    ASSERT_TRUE(got.ok()) << got.error().describe();
    EXPECT_EQ(*got, 1u);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].access, reportAccess);
    EXPECT_EQ(seen[0].results, (std::vector<Value>{id, data}));

    // Queued ahead of the read's answer: the read hands them over.
    broadcastReport(id, data);
    broadcastReport(id, data);
    ASSERT_TRUE(connection.read(kDevice, "Types$i").ok());
    EXPECT_EQ(seen.size(), 3u);

    // A report caused by a write arrives before the write's answer.
    server.model->setWriteObserver([&](const server::ClientContext&, std::string_view, std::string_view item, const Value&) {
        if (item.ends_with("RptEna"))
            broadcastReport(id, data);
    });
    ASSERT_TRUE(connection.write(kDevice, "LLN0$RP$rcb01$RptEna", Value::boolean(true)).ok());
    EXPECT_EQ(seen.size(), 4u);
}

TEST_F(Loopback, RefusesRequestsLargerThanTheNegotiatedPdu)
{
    MmsConnection small;
    ASSERT_TRUE(small.connect(server.options(256)).ok());
    EXPECT_EQ(small.write(kDevice, "Types$s", Value::visibleString(std::string(300, 'x'))).error().kind,
              ErrorKind::TooLarge);
    EXPECT_TRUE(small.identify().ok());
}

TEST_F(Loopback, ServesFiveClientsAndRefusesTheSixth)
{
    std::vector<std::unique_ptr<MmsConnection>> clients;
    for (int i = 0; i < 4; ++i) {  // the fixture holds the first
        clients.push_back(std::make_unique<MmsConnection>());
        ASSERT_TRUE(clients.back()->connect(server.options()).ok()) << i;
    }
    MmsConnection sixth;
    auto refused = sixth.connect(server.options());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, ErrorKind::Refused) << refused.error().describe();

    EXPECT_TRUE(connection.read(kDevice, "Types$i").ok());
    for (auto& c : clients) {
        EXPECT_EQ(*c->read(kDevice, "Types$f"), Value::float32(12.5f));
        EXPECT_TRUE(c->release().ok());
    }
}

TEST_F(Loopback, AbortEndsTheAssociationAndTheServerCarriesOn)
{
    connection.abort();
    EXPECT_FALSE(connection.connected());
    EXPECT_EQ(connection.read(kDevice, "Types$i").error().kind, ErrorKind::NotConnected);
    ASSERT_TRUE(connection.connect(server.options()).ok());
    EXPECT_TRUE(connection.identify().ok());
}

}  // namespace
}  // namespace client_test
