// The IedServer over real TCP on 127.0.0.1, browsed, read and written with
// our client.
#include "test_model.hpp"

#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/mms_mapping.hpp"
#include "iec61850/server/memory_model.hpp"
#include "../mms/test_util.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <unistd.h>
#include <mutex>
#include <thread>

namespace ied_test {
namespace {

using namespace iec61850;
using client::ErrorKind;
using client::MmsConnection;
using mms::DataAccessError;
using mms::TypeDescription;
using mms::Value;
using mms_test::fromHex;

constexpr const char* kLd0 = "TESTIEDLD0";
constexpr const char* kCls1 = "TESTIEDCLS1";

int initializerCalls = 0;
void countInitializer()
{
    ++initializerCalls;
}

class Server : public ::testing::Test {
protected:
    void SetUp() override
    {
        m.builder.setInitializer(countInitializer);
        initializerCalls = 0;
        server = IedServer_create(m.model());
        ASSERT_NE(server, nullptr);
    }
    void TearDown() override { IedServer_destroy(server); }

    void start()
    {
        IedServer_setLocalIpAddress(server, "127.0.0.1");
        IedServer_start(server, 0);
        ASSERT_TRUE(IedServer_isRunning(server));
    }

    client::ConnectOptions options(std::int32_t maxPdu = 65000) const
    {
        client::ConnectOptions o;
        o.port = static_cast<std::uint16_t>(IedServer_getPort(server));
        o.maxPduSize = maxPdu;
        return o;
    }

    MmsConnection& connect()
    {
        start();
        auto r = connection.connect(options());
        EXPECT_TRUE(r.ok()) << r.error().describe();
        return connection;
    }

    Value read(const char* domain, const char* item)
    {
        auto r = connection.read(domain, item);
        EXPECT_TRUE(r.ok()) << item << ": " << r.error().describe();
        return r.ok() ? *r : Value::error(DataAccessError::ObjectUndefined);
    }

    // The data-access error of a refused write, or -1 when it was accepted.
    int writeError(const char* domain, const char* item, const Value& v)
    {
        auto r = connection.write(domain, item, v);
        if (r.ok())
            return -1;
        EXPECT_EQ(r.error().kind, ErrorKind::DataAccess) << r.error().describe();
        return r.error().code;
    }

    TestModel m;
    IedServer server = nullptr;
    MmsConnection connection;
};

constexpr int kDenied = static_cast<int>(DataAccessError::ObjectAccessDenied);
constexpr int kTypeInconsistent = static_cast<int>(DataAccessError::TypeInconsistent);
constexpr int kValueInvalid = static_cast<int>(DataAccessError::ObjectValueInvalid);
constexpr int kNonExistent = static_cast<int>(DataAccessError::ObjectNonExistent);

TEST_F(Server, CreatesStartValuesAndRunsTheInitializerOnce)
{
    EXPECT_EQ(initializerCalls, 1);
    EXPECT_EQ(IedServer_create(nullptr), nullptr);
    DataAttribute* q = m.attribute(m.valMv, "q");
    ASSERT_NE(q->mmsValue, nullptr);
    EXPECT_EQ(*q->mmsValue, Value::bitString(13));
    EXPECT_EQ(*m.attribute(m.valMv, "mag$f")->mmsValue, Value::float32(0));
    EXPECT_EQ(*m.attribute(m.valMv, "t")->mmsValue, Value::utcTimeMs(0));
    EXPECT_EQ(*m.attribute(m.namPlt, "vendor")->mmsValue, Value::visibleString(""));
    EXPECT_EQ(*m.attribute(m.schdPrio, "setVal")->mmsValue, Value::integer(0));
    EXPECT_EQ(*m.attribute(m.enaReq, "stVal")->mmsValue, Value::boolean(false));
    // A component's value is the member of its parent's.
    DataAttribute* mag = m.attribute(m.valMv, "mag");
    EXPECT_EQ(m.attribute(m.valMv, "mag$f")->mmsValue, &(*mag->mmsValue)[0]);
}

TEST_F(Server, AnswersIdentityAndIndicatesConnections)
{
    IedServer_setServerIdentity(server, "Vendor", "Box", "9.9");
    struct Seen {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::pair<bool, std::string>> events;
        std::string peer;
    } seen;
    IedServer_setConnectionIndicationHandler(
        server,
        [](IedServer, ClientConnection c, bool connected, void* p) {
            auto* s = static_cast<Seen*>(p);
            std::lock_guard lock(s->mutex);
            s->events.emplace_back(connected, ClientConnection_getLocalAddress(c));
            s->peer = ClientConnection_getPeerAddress(c);
            s->changed.notify_all();
        },
        &seen);
    connect();
    auto id = connection.identify();
    ASSERT_TRUE(id.ok()) << id.error().describe();
    EXPECT_EQ(id->vendor, "Vendor");
    EXPECT_EQ(id->model, "Box");
    EXPECT_EQ(id->revision, "9.9");
    ASSERT_TRUE(connection.release().ok());

    std::unique_lock lock(seen.mutex);
    ASSERT_TRUE(seen.changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen.events.size() >= 2; }));
    const std::string local = "127.0.0.1:" + std::to_string(IedServer_getPort(server));
    EXPECT_EQ(seen.events[0], std::make_pair(true, local));
    EXPECT_EQ(seen.events[1], std::make_pair(false, local));
    EXPECT_TRUE(seen.peer.starts_with("127.0.0.1:"));
}

TEST_F(Server, ServesThreadless)
{
    IedServer_setLocalIpAddress(server, "127.0.0.1");
    IedServer_startThreadless(server, 0);
    ASSERT_NE(IedServer_getPort(server), 0);
    std::atomic<bool> done = false;
    std::string vendor;
    std::thread client([&] {
        MmsConnection c;
        if (c.connect(options()).ok())
            if (auto id = c.identify(); id.ok())
                vendor = id->vendor;
        c.close();
        done = true;
    });
    for (int i = 0; i < 2000 && !done; ++i)
        ASSERT_TRUE(IedServer_processIncomingData(server, 10));
    client.join();
    EXPECT_EQ(vendor, "Brenvolta");
    IedServer_stop(server);
    EXPECT_FALSE(IedServer_isRunning(server));
    EXPECT_FALSE(IedServer_processIncomingData(server, 0));
}

TEST_F(Server, ListsDomainsListsAndJournals)
{
    connect();
    auto domains = connection.domainNames();
    ASSERT_TRUE(domains.ok());
    EXPECT_EQ(*domains, (std::vector<std::string>{kCls1, kLd0}));
    auto lists = connection.variableListNames(kLd0);
    ASSERT_TRUE(lists.ok());
    EXPECT_EQ(*lists, std::vector<std::string>{"LLN0$Events"});
    EXPECT_TRUE(connection.variableListNames(kCls1)->empty());
    auto journals = connection.journalNames(kLd0);
    ASSERT_TRUE(journals.ok());
    EXPECT_EQ(*journals, std::vector<std::string>{"LLN0$logLD0"});

    auto members = connection.variableListAttributes(kLd0, "LLN0$Events");
    ASSERT_TRUE(members.ok()) << members.error().describe();
    ASSERT_EQ(members->size(), 2u);
    EXPECT_EQ((*members)[0].domain, kCls1);
    EXPECT_EQ((*members)[0].item, "EmpSPrg_FSCH020001$ST$EnaReq$stVal");
    IedServer_updateBooleanAttributeValue(server, m.attribute(m.enaReq, "stVal"), true);
    auto values = connection.readList(kLd0, "LLN0$Events");
    ASSERT_TRUE(values.ok()) << values.error().describe();
    EXPECT_EQ(*values, (std::vector<Value>{Value::boolean(true), Value::integer(0)}));
}

// Every `$` path of the node types, in getNameList order, as the plain
// in-memory model lists them.
std::vector<std::string> expectedNames(MmsConnection& c, const char* domain, const std::vector<std::string>& lns)
{
    server::InMemoryModel oracle;
    oracle.addDomain(domain);
    for (const std::string& ln : lns) {
        auto type = c.variableAccessAttributes(domain, ln);
        EXPECT_TRUE(type.ok()) << ln;
        if (type.ok())
            oracle.addVariable(domain, ln, *type);
    }
    std::vector<std::string> names;
    oracle.visitNames(domain, server::NameClass::NamedVariable, {}, [&](std::string_view n) {
        names.emplace_back(n);
        return true;
    });
    return names;
}

TEST_F(Server, ListsEveryPathInOrderAcrossContinuations)
{
    connect();
    for (const char* domain : {kLd0, kCls1}) {
        auto all = connection.variableNames(domain);
        ASSERT_TRUE(all.ok()) << all.error().describe();
        const std::vector<std::string> lns = domain == kLd0 ? std::vector<std::string>{"GGIO1", "LLN0"}
                                                            : std::vector<std::string>{"EmpSPrg_FSCH020001"};
        EXPECT_EQ(*all, expectedNames(connection, domain, lns));
        EXPECT_TRUE(std::is_sorted(all->begin(), all->end(), server::nameLess));

        MmsConnection small;
        ASSERT_TRUE(small.connect(options(400)).ok());
        auto pieces = small.variableNames(domain);
        ASSERT_TRUE(pieces.ok()) << pieces.error().describe();
        EXPECT_EQ(*pieces, *all);
    }
    auto names = *connection.variableNames(kCls1);
    for (const char* expected : {"EmpSPrg_FSCH020001$CO$EnaReq$Oper$origin$orIdent", "EmpSPrg_FSCH020001$MX",
                                 "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", "EmpSPrg_FSCH020001$CF$EnaReq$ctlModel"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    // A data object appears only under the constraints it has attributes of.
    EXPECT_EQ(std::find(names.begin(), names.end(), "EmpSPrg_FSCH020001$MX$EnaReq"), names.end());
    EXPECT_EQ(connection.variableNames("TESTIEDNONE").error().kind, ErrorKind::ServiceError);
}

TEST(Mapping, ContinuesStrictlyAfterAnyName)
{
    TestModel m;
    ied::MmsMapping mapping(*m.model());
    std::vector<std::string> all;
    mapping.visitNames(kLd0, server::NameClass::NamedVariable, {}, [&](std::string_view n) {
        all.emplace_back(n);
        return true;
    });
    ASSERT_GT(all.size(), 50u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::vector<std::string> rest;
        mapping.visitNames(kLd0, server::NameClass::NamedVariable, all[i], [&](std::string_view n) {
            rest.emplace_back(n);
            return rest.size() < 3;
        });
        std::vector<std::string> expected(all.begin() + static_cast<std::ptrdiff_t>(i + 1),
                                          all.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, all.size())));
        ASSERT_EQ(rest, expected) << "after " << all[i];
    }
    // A name that is not in the list continues where it would sort.
    std::vector<std::string> rest;
    mapping.visitNames(kLd0, server::NameClass::NamedVariable, "GGIO1$SP$AllTypes$f", [&](std::string_view n) {
        rest.emplace_back(n);
        return false;
    });
    EXPECT_EQ(rest, std::vector<std::string>{"GGIO1$SP$AllTypes$f32"});
}

TEST(Mapping, GarbageNamesAreUnknownNotFatal)
{
    TestModel m;
    ied::MmsMapping mapping(*m.model());
    server::ClientContext client;
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    const std::string pieces[] = {"$", "GGIO1", "SP", "AllTypes", "pca", "VID", "x", "$$", "CO", "Oper"};
    for (int i = 0; i < 3000; ++i) {
        std::string item;
        for (std::uint32_t n = next() % 8; n > 0; --n) {
            if (next() % 4 == 0)
                item += static_cast<char>(next() >> 24);
            else
                item += pieces[(next() >> 8) % std::size(pieces)];
        }
        const mms::TypeDescription* type = mapping.typeOf(kLd0, item);
        const Value v = mapping.read(client, kLd0, item);
        EXPECT_EQ(type == nullptr, v.isError()) << item;
        if (type) {
            EXPECT_TRUE(mms::conforms(v, *type)) << item;
        }
        (void)mapping.write(client, kLd0, item, Value::integer(1));
        std::size_t names = 0;
        mapping.visitNames(kLd0, server::NameClass::NamedVariable, item, [&](std::string_view) { return ++names < 5; });
    }
    const std::string huge(100000, 'A');
    EXPECT_EQ(mapping.typeOf(kLd0, huge), nullptr);
    EXPECT_EQ(mapping.typeOf(huge, "GGIO1"), nullptr);
    EXPECT_FALSE(mapping.visitNames(huge, server::NameClass::NamedVariable, {}, [](std::string_view) { return true; }));
    std::vector<mms::ObjectName> members;
    EXPECT_FALSE(mapping.variableListMembers(kLd0, huge, members));
    // The model is unchanged: only SP values could have been written, with integer 1.
    EXPECT_EQ(*m.attribute(m.allTypes, "b")->mmsValue, Value::boolean(false));
}

TypeDescription decodeType(std::string_view hex)
{
    TypeDescription t;
    EXPECT_EQ(TypeDescription::decode(fromHex(hex), t), mms::Status::Ok);
    return t;
}

TEST_F(Server, DescribesTypesAsTheCapturedServerDoes)
{
    connect();
    const char* fsch = "EmpSPrg_FSCH020001";
    // Type descriptions answered by the reference server for the same shapes (captures 03 and 06).
    const TypeDescription mx = decodeType(
        "a240a13e303c800556616c4d56a133a231a12f301a80036d6167a113a211a10f300d800166a108a706020120020108300880017"
        "1a1038401f33007800174a1029100");
    const TypeDescription dc = decodeType(
        "a23ca13a303880064e616d506c74a12ea22ca12a300e800676656e646f72a1048a02ff01300d80057377526576a1048a02ff0130"
        "09800164a1048a02ff01");
    const TypeDescription coEnaReq = decodeType(
        "a27ea17c307a80044f706572a172a270a16e300c800663746c56616ca1028300302c80066f726967696ea122a220a11e300c8005"
        "6f72436174a103850108300e80076f724964656e74a1038901c0300d800663746c4e756da1038601083007800154a1029100300a"
        "800454657374a1028300300c8005436865636ba1038401fe");
    EXPECT_EQ(*connection.variableAccessAttributes(kCls1, std::string(fsch) + "$MX"), mx);
    EXPECT_EQ(*connection.variableAccessAttributes(kCls1, std::string(fsch) + "$DC"), dc);
    EXPECT_EQ(*connection.variableAccessAttributes(kCls1, std::string(fsch) + "$CO$EnaReq"), coEnaReq);

    auto whole = connection.variableAccessAttributes(kCls1, fsch);
    ASSERT_TRUE(whole.ok());
    std::vector<std::string> fcs;
    for (const TypeDescription& c : whole->components())
        fcs.push_back(c.name());
    EXPECT_EQ(fcs, (std::vector<std::string>{"MX", "ST", "CO", "CF", "DC", "SP"}));
    EXPECT_EQ(*whole->component("MX"), mx.named("MX"));

    const TypeDescription st = *whole->find("ST$EnaReq");
    std::vector<std::string> stNames;
    for (const TypeDescription& c : st.components())
        stNames.push_back(c.name());
    EXPECT_EQ(stNames, (std::vector<std::string>{"origin", "ctlNum", "stVal", "q", "t"}));
    EXPECT_EQ(*st.component("q"), TypeDescription::bitString(-13).named("q"));
    EXPECT_EQ(*st.component("t"), TypeDescription::utcTime().named("t"));
    EXPECT_EQ(*whole->find("CF$EnaReq$ctlModel"), TypeDescription::integer(8).named("ctlModel"));
    EXPECT_EQ(*connection.variableAccessAttributes(kCls1, std::string(fsch) + "$SP$ValASG005$setMag$f"),
              TypeDescription::float32());

    auto missing = connection.variableAccessAttributes(kCls1, std::string(fsch) + "$ST$ValMV");
    EXPECT_EQ(missing.error().kind, ErrorKind::ServiceError);
}

TEST_F(Server, DescribesEveryAttributeType)
{
    connect();
    auto t = connection.variableAccessAttributes(kLd0, "GGIO1$SP$AllTypes");
    ASSERT_TRUE(t.ok()) << t.error().describe();
    const std::pair<const char*, TypeDescription> expected[] = {
        {"b", TypeDescription::boolean()},
        {"i8", TypeDescription::integer(8)},
        {"i16", TypeDescription::integer(16)},
        {"i32", TypeDescription::integer(32)},
        {"i64", TypeDescription::integer(64)},
        {"u8", TypeDescription::unsignedInteger(8)},
        {"u16", TypeDescription::unsignedInteger(16)},
        {"u24", TypeDescription::unsignedInteger(24)},
        {"u32", TypeDescription::unsignedInteger(32)},
        {"f32", TypeDescription::float32()},
        {"f64", TypeDescription::float64()},
        {"enm", TypeDescription::integer(8)},
        {"cde", TypeDescription::bitString(2)},
        {"o6", TypeDescription::octetString(-6)},
        {"o8", TypeDescription::octetString(-8)},
        {"o64", TypeDescription::octetString(-64)},
        {"v32", TypeDescription::visibleString(-32)},
        {"v64", TypeDescription::visibleString(-64)},
        {"v65", TypeDescription::visibleString(-65)},
        {"v129", TypeDescription::visibleString(-129)},
        {"v255", TypeDescription::visibleString(-255)},
        {"u255", TypeDescription::mmsString(-255)},
        {"ts", TypeDescription::utcTime()},
        {"q", TypeDescription::bitString(-13)},
        {"chk", TypeDescription::bitString(-2)},
        {"gbs", TypeDescription::bitString(-32)},
        {"et", TypeDescription::binaryTime(true)},
        {"pca", TypeDescription::structure({TypeDescription::octetString(6).named("Addr"),
                                     TypeDescription::unsignedInteger(8).named("PRIORITY"),
                                     TypeDescription::unsignedInteger(16).named("VID"),
                                     TypeDescription::unsignedInteger(16).named("APPID")})},
        {"cur", TypeDescription::visibleString(3)},
        {"opt", TypeDescription::bitString(10)},
        {"trg", TypeDescription::bitString(6)},
        {"arr", TypeDescription::array(3, TypeDescription::integer(32))},
    };
    ASSERT_EQ(t->components().size(), std::size(expected));
    for (const auto& [name, type] : expected)
        EXPECT_EQ(*t->component(name), type.named(name)) << name;
}

// A value of each type that differs from its start value.
std::vector<std::pair<const char*, Value>> sampleValues()
{
    const Bytes six{1, 2, 3, 4, 5, 6};
    Value q = Value::bitString(13);
    q.setBit(1, true);
    q.setBit(12, true);
    Value chk = Value::bitString(2);
    chk.setBit(0, true);
    Value gbs = Value::bitString(20);
    gbs.setBit(19, true);
    Value opt = Value::bitString(10);
    opt.setBit(9, true);
    return {
        {"b", Value::boolean(true)},
        {"i8", Value::integer(-128)},
        {"i16", Value::integer(-32768)},
        {"i32", Value::integer(-2147483647 - 1)},
        {"i64", Value::integer(INT64_MIN)},
        {"u8", Value::unsignedInteger(255)},
        {"u16", Value::unsignedInteger(65535)},
        {"u24", Value::unsignedInteger(0xFFFFFF)},
        {"u32", Value::unsignedInteger(0xFFFFFFFF)},
        {"f32", Value::float32(-1.5f)},
        {"f64", Value::float64(1e300)},
        {"enm", Value::integer(4)},
        {"cde", Value::bitString(Bytes{0x80}, 2)},
        {"o6", Value::octetString(six)},
        {"o8", Value::octetString(Bytes{1, 2, 3})},
        {"o64", Value::octetString(Bytes(64, 0xAB))},
        {"v32", Value::visibleString(std::string(32, 'x'))},
        {"v64", Value::visibleString("sixty-four")},
        {"v65", Value::visibleString(std::string(65, 'y'))},
        {"v129", Value::visibleString(std::string(129, 'z'))},
        {"v255", Value::visibleString(std::string(255, 'w'))},
        {"u255", Value::mmsString("Grüße")},
        {"ts", Value::utcTimeMs(1798761600000, 0x0A)},
        {"q", q},
        {"chk", chk},
        {"gbs", gbs},
        {"et", Value::binaryTimeMs(1798761600123)},
        {"pca", Value::structure({Value::octetString(six), Value::unsignedInteger(4), Value::unsignedInteger(4095),
                                  Value::unsignedInteger(0x3FFF)})},
        {"cur", Value::visibleString("EUR")},
        {"opt", opt},
        {"trg", Value::bitString(Bytes{0x7C}, 6)},
        {"arr", Value::array({Value::integer(1), Value::integer(-2), Value::integer(3)})},
    };
}

TEST_F(Server, EveryAttributeTypeRoundTrips)
{
    connect();
    std::vector<Value> whole;
    for (const auto& [name, value] : sampleValues()) {
        const std::string item = std::string("GGIO1$SP$AllTypes$") + name;
        ASSERT_EQ(writeError(kLd0, item.c_str(), value), -1) << name;
        EXPECT_EQ(read(kLd0, item.c_str()), value) << name;
        EXPECT_EQ(*m.attribute(m.allTypes, name)->mmsValue, value) << name;
        whole.push_back(value);
    }
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes"), Value::structure(whole));
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$pca$VID"), Value::unsignedInteger(4095));
    EXPECT_EQ(writeError(kLd0, "GGIO1$SP$AllTypes$pca$VID", Value::unsignedInteger(7)), -1);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$pca")[2], Value::unsignedInteger(7));
    EXPECT_EQ(writeError(kLd0, "GGIO1$SP$AllTypes$pca$VID", Value::integer(7)), kTypeInconsistent);
}

TEST_F(Server, ReadsAtEveryDepth)
{
    connect();
    IedServer_updateFloatAttributeValue(server, m.attribute(m.valMv, "mag$f"), 230.5f);
    IedServer_updateInt32AttributeValue(server, m.attribute(m.beh, "stVal"), 1);
    const Value mag = Value::structure({Value::float32(230.5f)});
    const Value valMv = Value::structure({mag, Value::bitString(13), Value::utcTimeMs(0)});
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$MX$ValMV$mag$f"), Value::float32(230.5f));
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$MX$ValMV$mag"), mag);
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$MX$ValMV"), valMv);
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$MX"), Value::structure({valMv}));

    const Value node = read(kCls1, "EmpSPrg_FSCH020001");
    ASSERT_EQ(node.size(), 6u);
    EXPECT_EQ(node[0], Value::structure({valMv}));
    EXPECT_EQ(node[1][0], Value::structure({Value::integer(1), Value::bitString(13), Value::utcTimeMs(0)}));

    // The whole value has the shape of the whole type.
    auto type = connection.variableAccessAttributes(kCls1, "EmpSPrg_FSCH020001");
    EXPECT_TRUE(mms::conforms(node, *type));
    EXPECT_TRUE(mms::conforms(read(kLd0, "GGIO1"), *connection.variableAccessAttributes(kLd0, "GGIO1")));
    EXPECT_EQ(read(kLd0, "GGIO1$MX$PhV$phsA$mag$f"), Value::float32(0));

    for (const char* missing : {"EmpSPrg_FSCH020001$XX", "EmpSPrg_FSCH020001$ST$ValMV", "Nope",
                                "EmpSPrg_FSCH020001$MX$ValMV$mag$f$x", "EmpSPrg_FSCH020001$MX$ValMV$",
                                "EmpSPrg_FSCH020001$MX$$ValMV", "$EmpSPrg_FSCH020001", ""}) {
        auto r = connection.read(kCls1, missing);
        ASSERT_FALSE(r.ok()) << missing;
        EXPECT_EQ(r.error().code, kNonExistent) << missing;
    }
    EXPECT_EQ(connection.read("TESTIED", "LLN0").error().code, kNonExistent);
}

TEST_F(Server, RefusesReadsLargerThanThePduSize)
{
    start();
    ASSERT_TRUE(connection.connect(options(300)).ok());
    IedServer_updateVisibleStringAttributeValue(server, m.attribute(m.allTypes, "v255"), std::string(255, 'x').c_str());
    auto big = connection.read(kLd0, "GGIO1");
    ASSERT_FALSE(big.ok());
    EXPECT_EQ(big.error().kind, ErrorKind::ServiceError);
    EXPECT_EQ(big.error().errorClass, static_cast<int>(mms::ErrorClass::Service));
    EXPECT_EQ(big.error().code, mms::error_code::service::PduSize);
    EXPECT_TRUE(connection.read(kLd0, "GGIO1$SP$AllTypes$b").ok());
}

TEST_F(Server, RefusesWrongTypesAndShapesLeavingTheModelUnchanged)
{
    connect();
    const char* setMag = "EmpSPrg_FSCH020001$SP$ValASG005$setMag";
    EXPECT_EQ(writeError(kCls1, setMag, Value::structure({Value::float32(1), Value::float32(2)})), kTypeInconsistent);
    EXPECT_EQ(writeError(kCls1, setMag, Value::structure({Value::integer(1)})), kTypeInconsistent);
    EXPECT_EQ(writeError(kCls1, setMag, Value::float32(1)), kTypeInconsistent);
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float64(1)), kTypeInconsistent);
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP$SchdPrio$setVal", Value::boolean(true)), kTypeInconsistent);
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP$SchdPrio$setVal", Value::unsignedInteger(1)),
              kTypeInconsistent);
    EXPECT_EQ(read(kCls1, setMag), Value::structure({Value::float32(0)}));
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$SP$SchdPrio$setVal"), Value::integer(0));

    const std::pair<const char*, Value> outOfRange[] = {
        {"v32", Value::visibleString(std::string(33, 'x'))},
        {"o6", Value::octetString(Bytes(7, 1))},
        {"i8", Value::integer(128)},
        {"u8", Value::unsignedInteger(256)},
        {"u24", Value::unsignedInteger(0x1000000)},
        {"cur", Value::visibleString("EURO")},
        {"q", Value::bitString(14)},
        {"arr", Value::array({Value::integer(1), Value::integer(2)})},
    };
    for (const auto& [name, value] : outOfRange) {
        const std::string item = std::string("GGIO1$SP$AllTypes$") + name;
        const Value before = read(kLd0, item.c_str());
        const int e = writeError(kLd0, item.c_str(), value);
        EXPECT_TRUE(e == kValueInvalid || e == kTypeInconsistent) << name << " " << e;
        EXPECT_EQ(read(kLd0, item.c_str()), before) << name;
    }
    EXPECT_EQ(writeError(kLd0, "GGIO1$SP$AllTypes$v32", Value::visibleString(std::string(33, 'x'))), kValueInvalid);
    EXPECT_EQ(writeError(kLd0, "GGIO1$SP$Nope", Value::integer(1)), kNonExistent);

    // A structure write that fails in its last member stores none of the others.
    Value all = read(kLd0, "GGIO1$SP$AllTypes");
    Value bad = all;
    bad[0] = Value::boolean(true);
    bad[bad.size() - 1] = Value::array({Value::integer(1)});
    EXPECT_NE(writeError(kLd0, "GGIO1$SP$AllTypes", bad), -1);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes"), all);
}

TEST_F(Server, WritesFollowTheFunctionalConstraintPolicy)
{
    connect();
    auto item = [](const char* fc, const char* da) { return std::string("GGIO1$") + fc + "$EveryFc$" + da; };
    for (const char* fc : {"SP", "SV", "SE"}) {
        std::string lower = fc;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        EXPECT_EQ(writeError(kLd0, item(fc, lower.c_str()).c_str(), Value::integer(7)), -1) << fc;
        EXPECT_EQ(read(kLd0, item(fc, lower.c_str()).c_str()), Value::integer(7)) << fc;
    }
    for (const char* fc : {"ST", "MX", "CF", "DC", "SG", "SR", "OR", "BL", "EX"}) {
        std::string lower = fc;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        EXPECT_EQ(writeError(kLd0, item(fc, lower.c_str()).c_str(), Value::integer(7)), kDenied) << fc;
        EXPECT_EQ(read(kLd0, item(fc, lower.c_str()).c_str()), Value::integer(0)) << fc;
    }

    IedServer_setWriteAccessPolicy(server, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);
    IedServer_setWriteAccessPolicy(server, IEC61850_FC_ST, ACCESS_POLICY_ALLOW);
    IedServer_setWriteAccessPolicy(server, IEC61850_FC_MX, ACCESS_POLICY_ALLOW);
    EXPECT_EQ(writeError(kLd0, item("CF", "cf").c_str(), Value::integer(7)), -1);
    EXPECT_EQ(read(kLd0, item("CF", "cf").c_str()), Value::integer(7));
    EXPECT_EQ(writeError(kLd0, item("DC", "dc").c_str(), Value::integer(7)), kDenied);
    EXPECT_EQ(writeError(kLd0, item("ST", "st").c_str(), Value::integer(7)), kDenied);
    EXPECT_EQ(writeError(kLd0, item("MX", "mx").c_str(), Value::integer(7)), kDenied);

    IedServer_setWriteAccessPolicy(server, IEC61850_FC_DC, ACCESS_POLICY_ALLOW);
    EXPECT_EQ(writeError(kLd0, "LLN0$DC$NamPlt$vendor", Value::visibleString("us")), -1);
    EXPECT_EQ(read(kLd0, "LLN0$DC$NamPlt$vendor"), Value::visibleString("us"));
    IedServer_setWriteAccessPolicy(server, IEC61850_FC_CF, ACCESS_POLICY_DENY);
    EXPECT_EQ(writeError(kLd0, item("CF", "cf").c_str(), Value::integer(8)), kDenied);
    EXPECT_EQ(read(kLd0, item("CF", "cf").c_str()), Value::integer(7));

    // A whole node covering a refused constraint is refused.
    EXPECT_EQ(writeError(kLd0, "GGIO1", read(kLd0, "GGIO1")), kDenied);
}

struct HandlerLog {
    std::vector<std::pair<DataAttribute*, Value>> calls;
    MmsDataAccessError answer = DATA_ACCESS_ERROR_SUCCESS;
    ClientConnection connection = nullptr;
};

MmsDataAccessError logWrite(DataAttribute* a, MmsValue* v, ClientConnection c, void* p)
{
    auto* log = static_cast<HandlerLog*>(p);
    log->calls.emplace_back(a, *v);
    log->connection = c;
    return log->answer;
}

TEST_F(Server, WriteHandlersDecideBeforeTheValueIsStored)
{
    DataAttribute* setMag = m.attribute(m.valAsg, "setMag");
    HandlerLog log;
    IedServer_handleWriteAccess(server, setMag, logWrite, &log);
    connect();

    // A component write reaches the handler of the enclosing attribute.
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(12.5f)), -1);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].first, setMag);
    EXPECT_EQ(log.calls[0].second, Value::float32(12.5f));
    ASSERT_NE(log.connection, nullptr);
    EXPECT_TRUE(std::string(ClientConnection_getPeerAddress(log.connection)).starts_with("127.0.0.1:"));
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, m.attribute(m.valAsg, "setMag$f")), 12.5f);

    // A whole data object write reaches it with its part of the value.
    const Value wholeDo = Value::structure({Value::structure({Value::float32(3.0f)})});
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005", wholeDo), -1);
    ASSERT_EQ(log.calls.size(), 2u);
    EXPECT_EQ(log.calls[1].second, wholeDo[0]);

    log.answer = DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(99)), kValueInvalid);
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f"), Value::float32(3.0f));
    log.answer = DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP", read(kCls1, "EmpSPrg_FSCH020001$SP")), kDenied);
    EXPECT_EQ(log.calls.size(), 4u);
}

TEST_F(Server, AllHandlersOfACoveredNodeMustAccept)
{
    HandlerLog accepts, refuses;
    refuses.answer = DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "b"), logWrite, &accepts);
    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "arr"), logWrite, &refuses);
    connect();
    Value all = read(kLd0, "GGIO1$SP$AllTypes");
    Value changed = all;
    changed[0] = Value::boolean(true);
    EXPECT_EQ(writeError(kLd0, "GGIO1$SP$AllTypes", changed),
              static_cast<int>(DataAccessError::TemporarilyUnavailable));
    EXPECT_EQ(accepts.calls.size(), 1u);
    EXPECT_EQ(refuses.calls.size(), 1u);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes"), all);

    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "arr"), nullptr, nullptr);
    EXPECT_EQ(writeError(kLd0, "GGIO1$SP$AllTypes", changed), -1);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$b"), Value::boolean(true));
}

TEST_F(Server, OperatesOnlyThroughOperAndCallsItsHandler)
{
    DataAttribute* oper = m.attribute(m.enaReq, "Oper");
    HandlerLog log;
    IedServer_handleWriteAccess(server, oper, logWrite, &log);
    IedServer_updateInt32AttributeValue(server, m.attribute(m.enaReq, "ctlModel"), 1);
    connect();
    // The Oper value a client library wrote in capture 06.
    Value written;
    ASSERT_EQ(Value::decodeData(fromHex("a21e830101a205850100890086010191086b1517abe624dd00830100840206 00"), written),
              mms::Status::Ok);
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$CO$EnaReq$Oper", written), -1);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].first, oper);
    EXPECT_EQ(log.calls[0].second, written);

    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$CO$EnaReq$Oper$ctlVal", Value::boolean(true)), kDenied);
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$CO$EnaReq", Value::structure({written})), kDenied);
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$CO$EnaReq$Oper", Value::boolean(true)), kTypeInconsistent);
    log.answer = DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$CO$EnaReq$Oper", written), kDenied);
    EXPECT_EQ(log.calls.size(), 2u);

    IedServer_updateInt32AttributeValue(server, m.attribute(m.enaReq, "ctlModel"), 0);
    EXPECT_NE(writeError(kCls1, "EmpSPrg_FSCH020001$CO$EnaReq$Oper", written), -1);
    EXPECT_EQ(log.calls.size(), 2u);
}

struct Recorder : ied::UpdateListener {
    struct Call {
        DataAttribute* attribute;
        ied::Change what;
        bool changed;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
    void attributeUpdated(DataAttribute* a, ied::Change what, bool changed) override
    {
        calls.push_back({a, what, changed});
    }
};

TEST_F(Server, EveryUpdateReachesTheListener)
{
    using ied::Change;
    Recorder r;
    ied::setUpdateListener(server, &r);
    DataAttribute* f = m.attribute(m.valMv, "mag$f");
    DataAttribute* q = m.attribute(m.valMv, "q");
    IedServer_updateFloatAttributeValue(server, f, 1.5f);
    IedServer_updateFloatAttributeValue(server, f, 1.5f);
    IedServer_updateQuality(server, q, 0x0002);
    IedServer_updateQuality(server, q, 0x0002);
    EXPECT_EQ(r.calls, (std::vector<Recorder::Call>{{f, Change::Value, true},
                                                    {f, Change::Update, false},
                                                    {q, Change::Quality, true},
                                                    {q, Change::Update, false}}));
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, f), 1.5f);
    EXPECT_TRUE(q->mmsValue->getBit(1));
    EXPECT_FALSE(q->mmsValue->getBit(0));

    r.calls.clear();
    connect();
    DataAttribute* setVal = m.attribute(m.schdPrio, "setVal");
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP$SchdPrio$setVal", Value::integer(3)), -1);
    EXPECT_EQ(writeError(kCls1, "EmpSPrg_FSCH020001$SP$SchdPrio$setVal", Value::integer(3)), -1);
    EXPECT_EQ(r.calls, (std::vector<Recorder::Call>{{setVal, Change::Value, true}, {setVal, Change::Update, false}}));
    ied::setUpdateListener(server, nullptr);
}

TEST_F(Server, UpdateAndGetFunctions)
{
    connect();
    DataAttribute* ts = m.attribute(m.valMv, "t");
    IedServer_updateUTCTimeAttributeValue(server, ts, 1798761600500);
    EXPECT_EQ(IedServer_getUTCTimeAttributeValue(server, ts), 1798761600500u);
    Timestamp stamp;
    stamp.val[3] = 1;
    stamp.val[7] = 0x8A;
    IedServer_updateTimestampAttributeValue(server, ts, &stamp);
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$MX$ValMV$t"), Value::utcTime(ByteView(stamp.val, 8)));

    DataAttribute* stVal = m.attribute(m.enaReq, "stVal");
    IedServer_updateBooleanAttributeValue(server, stVal, true);
    EXPECT_TRUE(IedServer_getBooleanAttributeValue(server, stVal));
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$ST$EnaReq$stVal"), Value::boolean(true));

    DataAttribute* setVal = m.attribute(m.schdPrio, "setVal");
    IedServer_updateInt32AttributeValue(server, setVal, -5);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, setVal), -5);
    IedServer_updateFloatAttributeValue(server, setVal, 2.5f);  // not a float: ignored
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, setVal), -5);
    DataAttribute* u32 = m.attribute(m.allTypes, "u32");
    IedServer_updateUnsignedAttributeValue(server, u32, 0xFFFFFFFFu);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$u32"), Value::unsignedInteger(0xFFFFFFFFu));

    DataAttribute* v32 = m.attribute(m.allTypes, "v32");
    IedServer_updateVisibleStringAttributeValue(server, v32, "short");
    IedServer_updateVisibleStringAttributeValue(server, v32, std::string(40, 'x').c_str());
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$v32"), Value::visibleString("short"));
    IedServer_updateVisibleStringAttributeValue(server, m.attribute(m.allTypes, "u255"), "Grüße");
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$u255"), Value::mmsString("Grüße"));
    IedServer_updateVisibleStringAttributeValue(server, m.attribute(m.allTypes, "i32"), "not a string");
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$i32"), Value::integer(0));

    DataAttribute* chk = m.attribute(m.allTypes, "chk");
    IedServer_updateBitStringAttributeValue(server, chk, 0x1);
    EXPECT_TRUE(chk->mmsValue->getBit(0));
    EXPECT_FALSE(chk->mmsValue->getBit(1));

    DataAttribute* i16 = m.attribute(m.allTypes, "i16");
    const Value v = Value::integer(-300);
    IedServer_updateAttributeValue(server, i16, &v);
    EXPECT_EQ(*IedServer_getAttributeValue(server, i16), v);
    const Value wrong = Value::boolean(true);
    IedServer_updateAttributeValue(server, i16, &wrong);
    EXPECT_EQ(*IedServer_getAttributeValue(server, i16), v);
    const Value tooBig = Value::integer(40000);
    IedServer_updateAttributeValue(server, i16, &tooBig);
    EXPECT_EQ(*IedServer_getAttributeValue(server, i16), v);

    // A constructed attribute updated as a whole keeps its components in place.
    DataAttribute* mag = m.attribute(m.valMv, "mag");
    DataAttribute* f = m.attribute(m.valMv, "mag$f");
    const Value newMag = Value::structure({Value::float32(7.5f)});
    IedServer_updateAttributeValue(server, mag, &newMag);
    EXPECT_EQ(f->mmsValue, &(*mag->mmsValue)[0]);
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, f), 7.5f);

    IedServer_lockDataModel(server);
    IedServer_updateInt32AttributeValue(server, setVal, 9);  // recursive lock
    IedServer_unlockDataModel(server);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, setVal), 9);

    // Null handles do nothing.
    IedServer_updateInt32AttributeValue(nullptr, setVal, 1);
    IedServer_updateInt32AttributeValue(server, nullptr, 1);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, nullptr), 0);
    EXPECT_EQ(IedServer_getAttributeValue(nullptr, setVal), nullptr);
}


struct FileLog {
    std::vector<std::tuple<MmsFileServiceType, std::string, std::string>> calls;
};

MmsError refuseDeletes(void* p, MmsServerConnection c, MmsFileServiceType service, const char* local,
                       const char* other)
{
    EXPECT_NE(c, nullptr);
    static_cast<FileLog*>(p)->calls.emplace_back(service, local ? local : "", other ? other : "");
    return service == MMS_FILE_ACCESS_TYPE_DELETE ? MMS_ERROR_FILE_FILE_ACCESS_DENIED : MMS_ERROR_NONE;
}

TEST_F(Server, ServesTheFileStoreThroughTheAccessHandler)
{
    const std::filesystem::path store = std::filesystem::temp_directory_path() /
                                        ("ied_store_" + std::to_string(::getpid()));
    std::filesystem::create_directories(store);
    std::ofstream(store / "schedule.txt") << "0;12.5\n";
    IedServer_setServerIdentity(server, "V", "M", "R");
    IedServer_setFilestoreBasepath(server, store.c_str());
    FileLog log;
    MmsServer_installFileAccessHandler(IedServer_getMmsServer(server), refuseDeletes, &log);
    connect();

    auto dir = connection.fileDirectory();
    ASSERT_TRUE(dir.ok()) << dir.error().describe();
    ASSERT_EQ(dir->size(), 1u);
    EXPECT_EQ((*dir)[0].fileName, "schedule.txt");
    auto content = connection.fileRead("schedule.txt");
    ASSERT_TRUE(content.ok()) << content.error().describe();
    EXPECT_EQ(std::string(content->begin(), content->end()), "0;12.5\n");

    auto del = connection.fileDelete("schedule.txt");
    ASSERT_FALSE(del.ok());
    EXPECT_EQ(del.error().kind, ErrorKind::ServiceError);
    EXPECT_EQ(del.error().errorClass, static_cast<int>(mms::ErrorClass::File));
    EXPECT_EQ(del.error().code, mms::error_code::file::FileAccessDenied);
    EXPECT_TRUE(std::filesystem::exists(store / "schedule.txt"));
    ASSERT_GE(log.calls.size(), 3u);
    EXPECT_EQ(std::get<0>(log.calls.front()), MMS_FILE_ACCESS_TYPE_READ_DIRECTORY);
    EXPECT_EQ(log.calls.back(), std::make_tuple(MMS_FILE_ACCESS_TYPE_DELETE, std::string("schedule.txt"),
                                                std::string()));
    std::filesystem::remove_all(store);
}

}  // namespace
}  // namespace ied_test
