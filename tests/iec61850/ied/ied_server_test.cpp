// The IedServer over real TCP on 127.0.0.1, browsed, read and written with
// our client.
#include "test_model.hpp"

#include "iec61850/ied/mms_mapping.hpp"
#include "iec61850/server/memory_model.hpp"

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>

namespace ied_test {
namespace {

using namespace iec61850;
using client::ErrorKind;

constexpr const char* kLd0 = "TESTIEDLD0";
constexpr const char* kCls1 = "TESTIEDCLS1";

using Server = ServedModel;

int initializerCalls = 0;

TEST(ServerCreation, RunsTheInitializerOnceAndSetsStartValues)
{
    TestModel m;
    initializerCalls = 0;
    m.builder.setInitializer([] { ++initializerCalls; });
    LoopbackServer server(m.model());
    ASSERT_NE(static_cast<IedServer>(server), nullptr);
    EXPECT_EQ(initializerCalls, 1);
    EXPECT_EQ(IedServer_create(nullptr), nullptr);
    const std::pair<DataAttribute*, Value> startValues[] = {
        {m.attribute(m.valMv, "q"), Value::bitString(13)},
        {m.attribute(m.valMv, "mag$f"), Value::float32(0)},
        {m.attribute(m.valMv, "t"), Value::utcTimeMs(0)},
        {m.attribute(m.namPlt, "vendor"), Value::visibleString("")},
        {m.attribute(m.schdPrio, "setVal"), Value::integer(0)},
        {m.attribute(m.enaReq, "stVal"), Value::boolean(false)},
    };
    for (const auto& [attribute, value] : startValues) {
        ASSERT_NE(attribute->mmsValue, nullptr) << attribute->name;
        EXPECT_EQ(*attribute->mmsValue, value) << attribute->name;
    }
    // A component's value is the member of its parent's.
    EXPECT_EQ(m.attribute(m.valMv, "mag$f")->mmsValue, &(*m.attribute(m.valMv, "mag")->mmsValue)[0]);
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
    const auto id = valueOf(client.identify());
    EXPECT_EQ(std::tie(id.vendor, id.model, id.revision), std::make_tuple("Vendor", "Box", "9.9"));
    ASSERT_TRUE(client.release().ok());

    std::unique_lock lock(seen.mutex);
    ASSERT_TRUE(seen.changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen.events.size() >= 2; }));
    const std::string local = "127.0.0.1:" + std::to_string(IedServer_getPort(server));
    EXPECT_EQ(seen.events[0], std::make_pair(true, local));
    EXPECT_EQ(seen.events[1], std::make_pair(false, local));
    EXPECT_TRUE(seen.peer.starts_with("127.0.0.1:"));
}

// Every `$` path of the nodes, in getNameList order, as the plain in-memory
// model lists them for the types the server describes.
std::vector<std::string> expectedNames(MmsConnection& c, const char* domain, const std::vector<std::string>& lns)
{
    server::InMemoryModel oracle;
    oracle.addDomain(domain);
    for (const std::string& ln : lns)
        oracle.addVariable(domain, ln, valueOf(c.variableAccessAttributes(domain, ln)));
    std::vector<std::string> names;
    oracle.visitNames(domain, server::NameClass::NamedVariable, {}, [&](std::string_view n) {
        names.emplace_back(n);
        return true;
    });
    return names;
}

TEST_F(Server, ListsDomainsDataSetsJournalsAndEveryPathAcrossContinuations)
{
    connect();
    EXPECT_EQ(valueOf(client.domainNames()), (std::vector<std::string>{kCls1, kLd0}));
    EXPECT_EQ(valueOf(client.variableListNames(kLd0)), std::vector<std::string>{"LLN0$Events"});
    EXPECT_TRUE(valueOf(client.variableListNames(kCls1)).empty());
    EXPECT_EQ(valueOf(client.journalNames(kLd0)), std::vector<std::string>{"LLN0$logLD0"});
    const auto members = valueOf(client.variableListAttributes(kLd0, "LLN0$Events"));
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].domain, kCls1);
    EXPECT_EQ(members[0].item, "EmpSPrg_FSCH020001$ST$EnaReq$stVal");
    IedServer_updateBooleanAttributeValue(server, m.attribute(m.enaReq, "stVal"), true);
    EXPECT_EQ(valueOf(client.readList(kLd0, "LLN0$Events")),
              (std::vector<Value>{Value::boolean(true), Value::integer(0)}));

    MmsConnection small;
    ASSERT_TRUE(server.connect(small, 400));
    for (const char* domain : {kLd0, kCls1}) {
        const auto all = valueOf(client.variableNames(domain));
        const std::vector<std::string> lns = domain == kLd0 ? std::vector<std::string>{"CSWI1", "GGIO1", "LLN0"}
                                                            : std::vector<std::string>{"EmpSPrg_FSCH020001"};
        EXPECT_EQ(all, expectedNames(client, domain, lns));
        EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), server::nameLess));
        EXPECT_EQ(valueOf(small.variableNames(domain)), all);
    }
    // A data object appears only under the constraints it has attributes of.
    const auto names = valueOf(client.variableNames(kCls1));
    EXPECT_NE(std::find(names.begin(), names.end(), "EmpSPrg_FSCH020001$CO$EnaReq$Oper$origin$orIdent"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "EmpSPrg_FSCH020001$MX$EnaReq"), names.end());
    EXPECT_EQ(client.variableNames("TESTIEDNONE").error().kind, ErrorKind::ServiceError);
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
        for (std::uint32_t n = next() % 8; n > 0; --n)
            item += next() % 4 == 0 ? std::string(1, static_cast<char>(next() >> 24))
                                    : pieces[(next() >> 8) % std::size(pieces)];
        const mms::TypeDescription* type = mapping.typeOf(kLd0, item);
        const Value v = mapping.read(client, kLd0, item);
        EXPECT_EQ(type == nullptr, v.isError()) << item;
        EXPECT_TRUE(!type || mms::conforms(v, *type)) << item;
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

std::vector<std::string> componentNames(const TypeDescription& t)
{
    std::vector<std::string> names;
    for (const TypeDescription& c : t.components())
        names.push_back(c.name());
    return names;
}

TEST_F(Server, DescribesTypesAsTheCapturedServerDoes)
{
    connect();
    const std::string fsch = "EmpSPrg_FSCH020001";
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
    EXPECT_EQ(valueOf(client.variableAccessAttributes(kCls1, fsch + "$MX")), mx);
    EXPECT_EQ(valueOf(client.variableAccessAttributes(kCls1, fsch + "$DC")), dc);
    EXPECT_EQ(valueOf(client.variableAccessAttributes(kCls1, fsch + "$CO$EnaReq")), coEnaReq);

    const auto whole = valueOf(client.variableAccessAttributes(kCls1, fsch));
    EXPECT_EQ(componentNames(whole), (std::vector<std::string>{"MX", "ST", "CO", "CF", "DC", "SP"}));
    EXPECT_EQ(*whole.component("MX"), mx.named("MX"));
    EXPECT_EQ(componentNames(*whole.find("ST$EnaReq")),
              (std::vector<std::string>{"origin", "ctlNum", "stVal", "q", "t"}));
    EXPECT_EQ(client.variableAccessAttributes(kCls1, fsch + "$ST$ValMV").error().kind, ErrorKind::ServiceError);
}

TEST_F(Server, EveryAttributeTypeIsDescribedAndRoundTrips)
{
    connect();
    const auto all = valueOf(client.variableAccessAttributes(kLd0, "GGIO1$SP$AllTypes"));
    const std::vector<TypeCase> cases = everyType();
    ASSERT_EQ(all.components().size(), cases.size());
    std::vector<Value> whole;
    for (const TypeCase& c : cases) {
        const char* name = c.shape.path;
        SCOPED_TRACE(name);
        const TypeDescription* type = all.component(name);
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(*type, c.type.named(name));
        const std::string item = std::string("GGIO1$SP$AllTypes$") + name;
        ASSERT_EQ(write(kLd0, item, c.sample), kAccepted);
        EXPECT_EQ(read(kLd0, item), c.sample);
        EXPECT_EQ(*m.attribute(m.allTypes, name)->mmsValue, c.sample);
        whole.push_back(c.sample);
    }
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes"), Value::structure(whole));
    // Components of a structured basic type are attributes of their own.
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$pca$VID"), Value::unsignedInteger(4095));
    EXPECT_EQ(write(kLd0, "GGIO1$SP$AllTypes$pca$VID", Value::unsignedInteger(7)), kAccepted);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$pca")[2], Value::unsignedInteger(7));
    EXPECT_EQ(write(kLd0, "GGIO1$SP$AllTypes$pca$VID", Value::integer(7)), kTypeInconsistent);
}

TEST_F(Server, ReadsAtEveryDepthWithinThePduSizeAndNothingElse)
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
    EXPECT_TRUE(mms::conforms(node, valueOf(client.variableAccessAttributes(kCls1, "EmpSPrg_FSCH020001"))));
    EXPECT_TRUE(mms::conforms(read(kLd0, "GGIO1"), valueOf(client.variableAccessAttributes(kLd0, "GGIO1"))));
    EXPECT_EQ(read(kLd0, "GGIO1$MX$PhV$phsA$mag$f"), Value::float32(0));

    for (const char* missing : {"EmpSPrg_FSCH020001$XX", "EmpSPrg_FSCH020001$ST$ValMV", "Nope",
                                "EmpSPrg_FSCH020001$MX$ValMV$mag$f$x", "EmpSPrg_FSCH020001$MX$ValMV$",
                                "EmpSPrg_FSCH020001$MX$$ValMV", "$EmpSPrg_FSCH020001", ""})
        EXPECT_EQ(client.read(kCls1, missing).error().code, kNonExistent) << missing;
    EXPECT_EQ(client.read("TESTIED", "LLN0").error().code, kNonExistent);
}

// Single refused writes: tests/data/ied/refused_writes.txt (control_test).
TEST_F(Server, AStructureWriteFailingInItsLastMemberStoresNone)
{
    connect();
    const Value allTypes = read(kLd0, "GGIO1$SP$AllTypes");
    Value bad = allTypes;
    bad[0] = Value::boolean(true);
    bad[bad.size() - 1] = Value::array({Value::integer(1)});
    EXPECT_NE(write(kLd0, "GGIO1$SP$AllTypes", bad), kAccepted);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes"), allTypes);
}

TEST_F(Server, WritesFollowTheFunctionalConstraintPolicy)
{
    connect();
    int next = 0;
    auto expectWritable = [&](std::initializer_list<FunctionalConstraint> writable) {
        ++next;
        for (const AttributeShape& s : kEveryFc) {
            const std::string item = std::string("GGIO1$") + FunctionalConstraint_toString(s.fc) + "$EveryFc$" + s.path;
            const bool allowed = std::find(writable.begin(), writable.end(), s.fc) != writable.end();
            const Value before = read(kLd0, item);
            EXPECT_EQ(write(kLd0, item, Value::integer(next)), allowed ? kAccepted : kDenied) << item;
            EXPECT_EQ(read(kLd0, item), allowed ? Value::integer(next) : before) << item;
        }
    };
    expectWritable({IEC61850_FC_SP, IEC61850_FC_SV, IEC61850_FC_SE});
    for (FunctionalConstraint fc : {IEC61850_FC_CF, IEC61850_FC_DC, IEC61850_FC_ST, IEC61850_FC_MX})
        IedServer_setWriteAccessPolicy(server, fc, ACCESS_POLICY_ALLOW);
    expectWritable({IEC61850_FC_SP, IEC61850_FC_SV, IEC61850_FC_SE, IEC61850_FC_CF, IEC61850_FC_DC});
    IedServer_setWriteAccessPolicy(server, IEC61850_FC_CF, ACCESS_POLICY_DENY);
    expectWritable({IEC61850_FC_SP, IEC61850_FC_SV, IEC61850_FC_SE, IEC61850_FC_DC});
    // A whole node covering a refused constraint is refused.
    EXPECT_EQ(write(kLd0, "GGIO1", read(kLd0, "GGIO1")), kDenied);
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
    HandlerLog log, accepts, refuses;
    refuses.answer = DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
    IedServer_handleWriteAccess(server, setMag, logWrite, &log);
    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "b"), logWrite, &accepts);
    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "arr"), logWrite, &refuses);
    connect();

    // A component write reaches the handler of the enclosing attribute, with the value as written.
    const char* f = "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f";
    EXPECT_EQ(write(kCls1, f, Value::float32(12.5f)), kAccepted);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_pair(setMag, Value::float32(12.5f)));
    ASSERT_NE(log.connection, nullptr);
    EXPECT_TRUE(std::string(ClientConnection_getPeerAddress(log.connection)).starts_with("127.0.0.1:"));
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, m.attribute(m.valAsg, "setMag$f")), 12.5f);
    // A whole data object write reaches it with its part of the value.
    const Value wholeDo = Value::structure({Value::structure({Value::float32(3.0f)})});
    EXPECT_EQ(write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005", wholeDo), kAccepted);
    EXPECT_EQ(log.calls.back().second, wholeDo[0]);

    log.answer = DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
    EXPECT_EQ(write(kCls1, f, Value::float32(99)), kValueInvalid);
    EXPECT_EQ(write(kCls1, "EmpSPrg_FSCH020001$SP", read(kCls1, "EmpSPrg_FSCH020001$SP")), kValueInvalid);
    EXPECT_EQ(log.calls.size(), 4u);
    EXPECT_EQ(read(kCls1, f), Value::float32(3.0f));

    // A write covering several handled attributes is stored only when all accept.
    const Value all = read(kLd0, "GGIO1$SP$AllTypes");
    Value changed = all;
    changed[0] = Value::boolean(true);
    EXPECT_EQ(write(kLd0, "GGIO1$SP$AllTypes", changed), kUnavailable);
    EXPECT_EQ(accepts.calls.size(), 1u);
    EXPECT_EQ(refuses.calls.size(), 1u);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes"), all);
    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "arr"), nullptr, nullptr);
    EXPECT_EQ(write(kLd0, "GGIO1$SP$AllTypes", changed), kAccepted);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$b"), Value::boolean(true));
}

TEST_F(Server, UpdatesAcceptOnlyValuesOfTheAttributesType)
{
    auto at = [&](const char* name) { return m.attribute(m.allTypes, name); };
    IedServer_updateUTCTimeAttributeValue(server, at("ts"), 1798761600500);
    EXPECT_EQ(IedServer_getUTCTimeAttributeValue(server, at("ts")), 1798761600500u);
    Timestamp stamp{};
    stamp.val[3] = 1;
    stamp.val[7] = 0x8A;
    IedServer_updateTimestampAttributeValue(server, at("ts"), &stamp);
    EXPECT_EQ(*at("ts")->mmsValue, Value::utcTime(ByteView(stamp.val, 8)));
    IedServer_updateBooleanAttributeValue(server, at("b"), true);
    EXPECT_TRUE(IedServer_getBooleanAttributeValue(server, at("b")));
    IedServer_updateInt32AttributeValue(server, at("i32"), -5);
    IedServer_updateFloatAttributeValue(server, at("i32"), 2.5f);  // not a float: ignored
    IedServer_updateVisibleStringAttributeValue(server, at("i32"), "not a string");
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, at("i32")), -5);
    IedServer_updateUnsignedAttributeValue(server, at("u32"), 0xFFFFFFFFu);
    EXPECT_EQ(*at("u32")->mmsValue, Value::unsignedInteger(0xFFFFFFFFu));
    IedServer_updateVisibleStringAttributeValue(server, at("v32"), "short");
    IedServer_updateVisibleStringAttributeValue(server, at("v32"), std::string(40, 'x').c_str());  // too long
    EXPECT_EQ(*at("v32")->mmsValue, Value::visibleString("short"));
    IedServer_updateVisibleStringAttributeValue(server, at("u255"), "Grüße");
    EXPECT_EQ(*at("u255")->mmsValue, Value::mmsString("Grüße"));
    IedServer_updateBitStringAttributeValue(server, at("chk"), 0x1);
    EXPECT_EQ(*at("chk")->mmsValue, Value::bitString(Bytes{0x80}, 2));
    const Value v = Value::integer(-300), wrong = Value::boolean(true), tooBig = Value::integer(40000);
    for (const Value* update : {&v, &wrong, &tooBig})
        IedServer_updateAttributeValue(server, at("i16"), update);
    EXPECT_EQ(*IedServer_getAttributeValue(server, at("i16")), v);

    // A constructed attribute updated as a whole keeps its components in place.
    DataAttribute* mag = m.attribute(m.valMv, "mag");
    const Value newMag = Value::structure({Value::float32(7.5f)});
    IedServer_updateAttributeValue(server, mag, &newMag);
    EXPECT_EQ(m.attribute(m.valMv, "mag$f")->mmsValue, &(*mag->mmsValue)[0]);
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, m.attribute(m.valMv, "mag$f")), 7.5f);

    IedServer_lockDataModel(server);
    IedServer_updateInt32AttributeValue(server, at("i32"), 9);  // recursive lock
    IedServer_unlockDataModel(server);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, at("i32")), 9);
    IedServer_updateInt32AttributeValue(nullptr, at("i32"), 1);
    IedServer_updateInt32AttributeValue(server, nullptr, 1);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, nullptr), 0);
    EXPECT_EQ(IedServer_getAttributeValue(nullptr, at("i32")), nullptr);
}

using FileCall = std::tuple<MmsFileServiceType, std::string, std::string>;

MmsError refuseDeletes(void* p, MmsServerConnection c, MmsFileServiceType service, const char* local,
                       const char* other)
{
    EXPECT_NE(c, nullptr);
    static_cast<std::vector<FileCall>*>(p)->emplace_back(service, local ? local : "", other ? other : "");
    return service == MMS_FILE_ACCESS_TYPE_DELETE ? MMS_ERROR_FILE_FILE_ACCESS_DENIED : MMS_ERROR_NONE;
}

TEST_F(Server, ServesTheFileStoreThroughTheAccessHandler)
{
    TempDir store;
    std::ofstream(store.file("schedule.txt")) << "0;12.5\n";
    IedServer_setFilestoreBasepath(server, store.path.c_str());
    std::vector<FileCall> calls;
    MmsServer_installFileAccessHandler(IedServer_getMmsServer(server), refuseDeletes, &calls);
    connect();

    const auto dir = valueOf(client.fileDirectory());
    ASSERT_EQ(dir.size(), 1u);
    EXPECT_EQ(dir[0].fileName, "schedule.txt");
    const auto content = valueOf(client.fileRead("schedule.txt"));
    EXPECT_EQ(std::string(content.begin(), content.end()), "0;12.5\n");

    const auto del = client.fileDelete("schedule.txt");
    ASSERT_FALSE(del.ok());
    EXPECT_EQ(del.error().errorClass, static_cast<int>(mms::ErrorClass::File));
    EXPECT_EQ(del.error().code, mms::error_code::file::FileAccessDenied);
    EXPECT_TRUE(std::filesystem::exists(store.file("schedule.txt")));
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::get<0>(calls.front()), MMS_FILE_ACCESS_TYPE_READ_DIRECTORY);
    EXPECT_EQ(calls.back(), FileCall(MMS_FILE_ACCESS_TYPE_DELETE, "schedule.txt", ""));
}

}  // namespace
}  // namespace ied_test
