// The client against the real server over loopback TCP: every service and
// every value kind as the client sees them.
#include "test_server.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

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

    TestServer server;
    MmsConnection connection;
};

TEST_F(Loopback, AssociatesIdentifiesAndReleases)
{
    EXPECT_TRUE(connection.connected());
    EXPECT_EQ(connection.negotiated().maxPduSize, 65000);
    EXPECT_EQ(connection.negotiated().nestingLevel, 10);
    EXPECT_TRUE(connection.negotiated().supports(mms::services_supported::Read));

    auto id = connection.identify();
    ASSERT_TRUE(id.ok()) << id.error().describe();
    EXPECT_EQ(id->vendor, "Brenvolta");
    EXPECT_EQ(id->model, "generic libIEC");
    EXPECT_EQ(id->revision, "1.5");

    auto status = connection.status();
    ASSERT_TRUE(status.ok()) << status.error().describe();
    EXPECT_EQ(status->logicalStatus, 0);

    ASSERT_TRUE(connection.conclude().ok());
    EXPECT_EQ(connection.identify().error().kind, ErrorKind::NotConnected);
    ASSERT_TRUE(connection.release().ok());
    EXPECT_FALSE(connection.connected());
    EXPECT_EQ(connection.identify().error().kind, ErrorKind::NotConnected);
    EXPECT_EQ(connection.release().error().kind, ErrorKind::NotConnected);
}

TEST_F(Loopback, NegotiatesTheSmallerPduSize)
{
    MmsConnection small;
    ASSERT_TRUE(small.connect(server.options(512)).ok());
    EXPECT_EQ(small.negotiated().maxPduSize, 512);
}

TEST_F(Loopback, ListsNames)
{
    auto domains = connection.domainNames();
    ASSERT_TRUE(domains.ok()) << domains.error().describe();
    EXPECT_EQ(*domains, (std::vector<std::string>{kBig, kDevice}));

    auto lists = connection.variableListNames(kDevice);
    ASSERT_TRUE(lists.ok());
    EXPECT_EQ(*lists, std::vector<std::string>{"LLN0$ds"});

    auto journals = connection.journalNames(kDevice);
    ASSERT_TRUE(journals.ok());
    EXPECT_EQ(*journals, std::vector<std::string>{"LLN0$log"});

    auto vars = connection.variableNames(kDevice);
    ASSERT_TRUE(vars.ok());
    for (const char* name : {"LLN0", "LLN0$RP$rcb01$RptEna", "Types", "Types$st$a", "Types$ar"})
        EXPECT_NE(std::find(vars->begin(), vars->end(), name), vars->end()) << name;

    auto unknown = connection.variableNames("NoSuchDomain");
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().kind, ErrorKind::ServiceError);
}

// 600 names of 7 octets do not fit one 512-octet PDU: the client must
// continue after the last name until the server says no more follow.
TEST_F(Loopback, CollectsLongNameListsAcrossContinuations)
{
    for (std::int32_t pduSize : {512, 1000, 65000}) {
        MmsConnection small;
        ASSERT_TRUE(small.connect(server.options(pduSize)).ok());
        auto names = small.variableNames(kBig);
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
    ASSERT_EQ(whole->kind(), mms::TypeDescription::Kind::Structure);
    ASSERT_EQ(whole->components().size(), 12u);
    EXPECT_EQ(whole->components()[1].name(), "bs");
    EXPECT_EQ(whole->components()[1].size(), 13);
    ASSERT_NE(whole->find("ar"), nullptr);
    EXPECT_EQ(whole->find("ar")->elementCount(), 3u);

    auto leaf = connection.variableAccessAttributes(kDevice, "Types$d");
    ASSERT_TRUE(leaf.ok());
    EXPECT_EQ(*leaf, mms::TypeDescription::float64());

    auto missing = connection.variableAccessAttributes(kDevice, "Nope");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, ErrorKind::ServiceError);
}

struct Sample {
    const char* item;
    Value value;
};

std::vector<Sample> samples()
{
    const std::uint8_t octets[] = {0x00, 0xff, 0x10, 0x80};
    const std::uint8_t bits[] = {0xa5, 0x28};
    return {
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
}

TEST_F(Loopback, WritesAndReadsBackEveryKind)
{
    for (const Sample& s : samples()) {
        auto w = connection.write(kDevice, s.item, s.value);
        ASSERT_TRUE(w.ok()) << s.item << ": " << w.error().describe();
        auto r = connection.read(kDevice, s.item);
        ASSERT_TRUE(r.ok()) << s.item << ": " << r.error().describe();
        EXPECT_EQ(*r, s.value) << s.item << ": " << r->toString();
        const auto lock = server.server->lockModel();
        EXPECT_EQ(*server.model->value(kDevice, s.item), s.value) << s.item;
    }
    auto whole = connection.read(kDevice, "Types");
    ASSERT_TRUE(whole.ok());
    ASSERT_EQ(whole->size(), 12u);
    const auto all = samples();
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ((*whole)[i], all[i].value) << all[i].item;
}

TEST_F(Loopback, ReportsDataAccessErrorsPerItem)
{
    auto missing = connection.read(kDevice, "Missing");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, ErrorKind::DataAccess);
    EXPECT_EQ(missing.error().code, static_cast<int>(DataAccessError::ObjectNonExistent));

    auto wrongType = connection.write(kDevice, "Types$i", Value::float32(1));
    ASSERT_FALSE(wrongType.ok());
    EXPECT_EQ(wrongType.error().kind, ErrorKind::DataAccess);
    EXPECT_EQ(wrongType.error().code, static_cast<int>(DataAccessError::TypeInconsistent));

    const std::vector<VariableRef> refs{{kDevice, "Types$i"}, {kDevice, "Missing"}, {kDevice, "Types$f"}};
    auto several = connection.read(refs);
    ASSERT_TRUE(several.ok()) << several.error().describe();
    ASSERT_EQ(several->size(), 3u);
    EXPECT_EQ((*several)[0], Value::integer(-42));
    EXPECT_EQ((*several)[1], Value::error(DataAccessError::ObjectNonExistent));
    EXPECT_EQ((*several)[2], Value::float32(12.5f));

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

TEST_F(Loopback, ReadsNamedVariableLists)
{
    auto members = connection.variableListAttributes(kDevice, "LLN0$ds");
    ASSERT_TRUE(members.ok()) << members.error().describe();
    ASSERT_EQ(members->size(), 3u);
    EXPECT_EQ((*members)[0].domain, kDevice);
    EXPECT_EQ((*members)[0].item, "Types$i");
    EXPECT_EQ((*members)[2].item, "Missing");

    auto values = connection.readList(kDevice, "LLN0$ds");
    ASSERT_TRUE(values.ok()) << values.error().describe();
    ASSERT_EQ(values->size(), 3u);
    EXPECT_EQ((*values)[0], Value::integer(-42));
    EXPECT_EQ((*values)[1], Value::float32(12.5f));
    EXPECT_TRUE((*values)[2].isError());

    auto unknown = connection.readList(kDevice, "LLN0$none");
    ASSERT_FALSE(unknown.ok());
    EXPECT_NE(unknown.error().kind, ErrorKind::ConnectionLost);
    EXPECT_TRUE(connection.connected());
}

TEST_F(Loopback, DefineAndDeleteAreAnsweredByThisServer)
{
    const std::vector<VariableRef> refs{{kDevice, "Types$i"}};
    auto define = connection.defineVariableList(kDevice, "LLN0$mine", refs);
    ASSERT_FALSE(define.ok());
    EXPECT_EQ(define.error().kind, ErrorKind::ServiceError);
    EXPECT_EQ(define.error().errorClass, static_cast<int>(mms::ErrorClass::Resource));

    auto removed = connection.deleteVariableList(kDevice, "LLN0$ds");
    ASSERT_TRUE(removed.ok()) << removed.error().describe();
    EXPECT_EQ(*removed, 0u);
    EXPECT_TRUE(connection.identify().ok());
}

TEST_F(Loopback, DeliversReportsWhileIdleAndWhileARequestWaits)
{
    std::vector<mms::InformationReport> seen;
    connection.setReportHandler([&seen](const mms::InformationReport& r) { seen.push_back(r); });

    const auto access = mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT"));
    const Value id = Value::visibleString("DEV/report01");
    const Value data = Value::structure({Value::float32(1.5f), Value::boolean(true)});
    const Value* values[] = {&id, &data};

    EXPECT_EQ(*connection.poll(), 0u);
    ASSERT_EQ(server.server->broadcastInformationReport(access, values), 1u);
    auto got = connection.waitForReports(10000);
    ASSERT_TRUE(got.ok()) << got.error().describe();
    EXPECT_EQ(*got, 1u);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].access, access);
    ASSERT_EQ(seen[0].results.size(), 2u);
    EXPECT_EQ(seen[0].results[0], id);
    EXPECT_EQ(seen[0].results[1], data);

    // Queued ahead of the read's answer: the read hands them over.
    ASSERT_EQ(server.server->broadcastInformationReport(access, values), 1u);
    ASSERT_EQ(server.server->broadcastInformationReport(access, values), 1u);
    ASSERT_TRUE(connection.read(kDevice, "Types$i").ok());
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(Loopback, ReportsFromAWriteObserverArriveBeforeTheWriteAnswer)
{
    int reports = 0;
    connection.setReportHandler([&reports](const mms::InformationReport&) { ++reports; });
    server.model->setWriteObserver([this](const server::ClientContext&, std::string_view, std::string_view item,
                                          const Value& v) {
        if (item.ends_with("RptEna") && v.toBool()) {
            const Value id = Value::visibleString("DEV/report01");
            const Value* values[] = {&id};
            server.server->broadcastInformationReport(mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT")),
                                                      values);
        }
    });
    ASSERT_TRUE(connection.write(kDevice, "LLN0$RP$rcb01$RptEna", Value::boolean(true)).ok());
    EXPECT_EQ(reports, 1);
}

TEST_F(Loopback, RefusesRequestsLargerThanTheNegotiatedPdu)
{
    MmsConnection small;
    ASSERT_TRUE(small.connect(server.options(256)).ok());
    auto r = small.write(kDevice, "Types$s", Value::visibleString(std::string(300, 'x')));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::TooLarge);
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
    EXPECT_FALSE(sixth.connected());

    EXPECT_TRUE(connection.read(kDevice, "Types$i").ok());
    for (auto& c : clients) {
        auto r = c->read(kDevice, "Types$f");
        ASSERT_TRUE(r.ok()) << r.error().describe();
        EXPECT_EQ(*r, Value::float32(12.5f));
    }
    for (auto& c : clients)
        EXPECT_TRUE(c->release().ok());
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
