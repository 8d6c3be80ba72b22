// The client against the real server over loopback TCP: association, errors
// per item, reports and limits as the client sees them. Name lists, type
// descriptions, every value kind and waiting for reports over TCP are in
// tests/iec61850/ied; reports queued ahead of an answer in scripted_peer_test.cpp.
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

    TestServer server;
    MmsConnection connection;
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
    EXPECT_EQ(*connection.deleteVariableList(kDevice, "LLN0$ds"), 0u);  // matched, but none deletable

    ASSERT_TRUE(connection.conclude().ok());
    EXPECT_EQ(connection.identify().error().kind, ErrorKind::NotConnected);
    ASSERT_TRUE(connection.release().ok());
    EXPECT_FALSE(connection.connected());
    EXPECT_EQ(connection.release().error().kind, ErrorKind::NotConnected);
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

// A report the write causes is handed over by the time the write returns.
TEST_F(Loopback, HandsOverTheReportAWriteCauses)
{
    std::vector<mms::InformationReport> seen;
    connection.setReportHandler([&seen](const mms::InformationReport& r) { seen.push_back(r); });
    const Value id = Value::visibleString("DEV/report01");
    const auto access = mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT"));
    server.model->setWriteObserver([&](const server::ClientContext&, std::string_view, std::string_view, const Value&) {
        const Value* values[] = {&id};
        server.server->broadcastInformationReport(access, values);
    });
    ASSERT_TRUE(connection.write(kDevice, "LLN0$RP$rcb01$RptEna", Value::boolean(true)).ok());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].access, access);
    EXPECT_EQ(seen[0].results, std::vector<Value>{id});
}

TEST_F(Loopback, RefusesRequestsLargerThanTheNegotiatedPdu)
{
    MmsConnection small;
    ASSERT_TRUE(small.connect(server.options(256)).ok());
    EXPECT_EQ(small.write(kDevice, "Types$s", Value::visibleString(std::string(300, 'x'))).error().kind,
              ErrorKind::TooLarge);
    EXPECT_TRUE(small.identify().ok());
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
