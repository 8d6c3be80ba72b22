// The IedServer over real TCP on 127.0.0.1, browsed, read, written and
// operated (SPC, ENC and APC shaped controls) with our client.
#include "test_model.hpp"

#include "iec61850/server/memory_model.hpp"

#include <algorithm>
#include <map>

namespace ied_test {
namespace {

using namespace iec61850;
using client::ErrorKind;

constexpr const char* kLd0 = "BOXLD0";
constexpr const char* kCls1 = "BOXCLS1";

using Server = ServedModel;

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
    EXPECT_EQ(valueOf(client.variableListNames(kCls1)), std::vector<std::string>{"LLN0$dataset01"});
    EXPECT_EQ(valueOf(client.journalNames(kCls1)), std::vector<std::string>{"LLN0$logCLS1"});
    const auto members = valueOf(client.variableListAttributes(kCls1, "LLN0$dataset01"));
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[2].domain, kCls1);
    EXPECT_EQ(members[2].item, "GGIO1$MX$AnIn");

    MmsConnection small;
    ASSERT_TRUE(server.connect(small, 400));
    for (const char* domain : {kLd0, kCls1}) {
        const auto all = valueOf(client.variableNames(domain));
        const std::vector<std::string> lns = domain == kLd0
                                                 ? std::vector<std::string>{"CSWI1", "GGIO1"}
                                                 : std::vector<std::string>{"EmpSPrg_FSCH020001", "GGIO1", "LLN0"};
        EXPECT_EQ(all, expectedNames(client, domain, lns));
        EXPECT_EQ(valueOf(small.variableNames(domain)), all);
    }
    EXPECT_EQ(client.variableNames("BOXNONE").error().kind, ErrorKind::ServiceError);
}

// tests/data/ied/captured_types.txt: the types the reference server answered
// for the same shapes; then every attribute type, each written and read back.
TEST_F(Server, DescribesTypesAsTheCapturedServerDoesAndEveryTypeRoundTrips)
{
    connect();
    for (const auto& row : dataRows(TEST_IED_DATA_DIR "/captured_types.txt")) {
        TypeDescription captured;
        ASSERT_EQ(TypeDescription::decode(fromHex(row.at(2)), captured), mms::Status::Ok) << row[1];
        EXPECT_EQ(valueOf(client.variableAccessAttributes(row[0], row[1])), captured) << row[1];
    }
    std::vector<std::string> fcs;
    const TypeDescription node = valueOf(client.variableAccessAttributes(kCls1, "EmpSPrg_FSCH020001"));
    for (const TypeDescription& c : node.components())
        fcs.push_back(c.name());
    EXPECT_EQ(fcs, (std::vector<std::string>{"MX", "ST", "CO", "CF", "DC", "SP"}));

    const auto all = valueOf(client.variableAccessAttributes(kLd0, "GGIO1$SP$AllTypes"));
    const std::vector<TypeCase> cases = everyType();
    ASSERT_EQ(all.components().size(), cases.size());
    std::vector<Value> whole;
    for (const TypeCase& c : cases) {
        const char* name = c.shape.path;
        ASSERT_NE(all.component(name), nullptr) << name;
        EXPECT_EQ(*all.component(name), c.type.named(name));
        const std::string item = std::string("GGIO1$SP$AllTypes$") + name;
        ASSERT_EQ(write(kLd0, item, c.sample), kAccepted) << name;
        EXPECT_EQ(read(kLd0, item), c.sample) << name;
        whole.push_back(c.sample);
    }
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes"), Value::structure(whole));
    // Components of a structured basic type are attributes of their own.
    EXPECT_EQ(write(kLd0, "GGIO1$SP$AllTypes$pca$VID", Value::unsignedInteger(7)), kAccepted);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$pca")[2], Value::unsignedInteger(7));
}

TEST_F(Server, ReadsAtEveryDepthAndNothingElse)
{
    connect();
    IedServer_updateFloatAttributeValue(server, m.attribute(m.valMv, "mag$f"), 230.5f);
    const Value mag = Value::structure({Value::float32(230.5f)});
    const Value valMv = Value::structure({mag, Value::bitString(13), Value::utcTimeMs(0)});
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001$MX$ValMV$mag$f"), Value::float32(230.5f));
    EXPECT_EQ(read(kCls1, "EmpSPrg_FSCH020001")[0], Value::structure({valMv}));
    EXPECT_TRUE(mms::conforms(read(kLd0, "GGIO1"), valueOf(client.variableAccessAttributes(kLd0, "GGIO1"))));
    for (const char* missing : {"EmpSPrg_FSCH020001$XX", "EmpSPrg_FSCH020001$ST$ValMV", "Nope",
                                "EmpSPrg_FSCH020001$MX$ValMV$mag$f$x", "EmpSPrg_FSCH020001$MX$ValMV$",
                                "EmpSPrg_FSCH020001$MX$$ValMV", "$EmpSPrg_FSCH020001", ""})
        EXPECT_EQ(client.read(kCls1, missing).error().code, kNonExistent) << missing;
    EXPECT_EQ(client.read("BOX", "LLN0").error().code, kNonExistent);
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

// The calls a write handler saw; it answers `answer`.
struct HandlerLog {
    std::vector<std::pair<DataAttribute*, Value>> calls;
    MmsDataAccessError answer = DATA_ACCESS_ERROR_SUCCESS;

    static MmsDataAccessError record(DataAttribute* a, MmsValue* v, ClientConnection c, void* p)
    {
        auto* log = static_cast<HandlerLog*>(p);
        EXPECT_TRUE(std::string(ClientConnection_getPeerAddress(c)).starts_with("127.0.0.1:"));
        log->calls.emplace_back(a, *v);
        return log->answer;
    }
};

TEST_F(Server, WriteHandlersDecideBeforeTheValueIsStoredAndAllOfAStructureOrNone)
{
    DataAttribute* setMag = m.attribute(m.valAsg, "setMag");
    HandlerLog log, accepts, refuses;
    refuses.answer = DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
    IedServer_handleWriteAccess(server, setMag, HandlerLog::record, &log);
    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "b"), HandlerLog::record, &accepts);
    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "arr"), HandlerLog::record, &refuses);
    connect();
    // A component write reaches the handler of the enclosing attribute, with the value as written.
    const char* f = "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f";
    EXPECT_EQ(write(kCls1, f, Value::float32(12.5f)), kAccepted);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_pair(setMag, Value::float32(12.5f)));
    EXPECT_EQ(IedServer_getFloatAttributeValue(server, m.attribute(m.valAsg, "setMag$f")), 12.5f);
    // A whole data object write reaches it with its part of the value.
    const Value wholeDo = Value::structure({Value::structure({Value::float32(3.0f)})});
    EXPECT_EQ(write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005", wholeDo), kAccepted);
    EXPECT_EQ(log.calls.back().second, wholeDo[0]);
    log.answer = DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
    EXPECT_EQ(write(kCls1, f, Value::float32(99)), kValueInvalid);
    EXPECT_EQ(read(kCls1, f), Value::float32(3.0f));

    // A write covering several handled attributes is stored only when all accept,
    // and one failing in its last member stores none.
    const Value all = read(kLd0, "GGIO1$SP$AllTypes");
    Value changed = all;
    changed[0] = Value::boolean(true);
    EXPECT_EQ(write(kLd0, "GGIO1$SP$AllTypes", changed), kUnavailable);
    EXPECT_EQ(accepts.calls.size() + refuses.calls.size(), 2u);
    IedServer_handleWriteAccess(server, m.attribute(m.allTypes, "arr"), nullptr, nullptr);
    Value bad = changed;
    bad[bad.size() - 1] = Value::array({Value::integer(1)});
    EXPECT_NE(write(kLd0, "GGIO1$SP$AllTypes", bad), kAccepted);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes"), all);
    EXPECT_EQ(write(kLd0, "GGIO1$SP$AllTypes", changed), kAccepted);
    EXPECT_EQ(read(kLd0, "GGIO1$SP$AllTypes$b"), Value::boolean(true));
}

TEST_F(Server, UpdatesAcceptOnlyValuesOfTheAttributesType)
{
    auto at = [&](const char* name) { return m.attribute(m.allTypes, name); };
    IedServer_updateInt32AttributeValue(server, at("i32"), -5);
    IedServer_updateFloatAttributeValue(server, at("i32"), 2.5f);  // not a float: ignored
    IedServer_updateVisibleStringAttributeValue(server, at("i32"), "not a string");
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, at("i32")), -5);
    IedServer_updateVisibleStringAttributeValue(server, at("v32"), "short");
    IedServer_updateVisibleStringAttributeValue(server, at("v32"), std::string(40, 'x').c_str());  // too long
    EXPECT_EQ(*at("v32")->mmsValue, Value::visibleString("short"));
    IedServer_updateVisibleStringAttributeValue(server, at("u255"), "Grüße");
    EXPECT_EQ(*at("u255")->mmsValue, Value::mmsString("Grüße"));
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
}

MmsValue decoded(const std::string& hex)
{
    MmsValue v;
    EXPECT_EQ(MmsValue::decodeData(fromHex(hex), v), iec61850::ber::Status::Ok) << hex;
    return v;
}

// The Oper written in capture 06 (EnaReq: ctlVal TRUE, orCat 0, empty orIdent, ctlNum 1, T, Test FALSE, Check 00).
const MmsValue kOn = decoded("a21e830101a205850100890086010191086b1517abe624dd0083010084020600");

DataAttribute* operOf(DataObject* o) { return static_cast<DataAttribute*>(ModelNode_getChild(o, "Oper")); }
DataAttribute* ctlModel(DataObject* o) { return static_cast<DataAttribute*>(ModelNode_getChild(o, "ctlModel")); }

// The test model's controls, direct with normal security but SpcSo, with a
// handler on every Oper but that of Unhandled.
class Controls : public ServedModel {
protected:
    void SetUp() override
    {
        for (DataObject* o : {m.enaReq, m.enc, m.apc, m.unhandled})
            IedServer_updateInt32AttributeValue(server, ctlModel(o), 1);
        for (DataObject* o : {m.enaReq, m.spcSo, m.enc, m.apc})
            IedServer_handleWriteAccess(server, operOf(o), HandlerLog::record, &log);
        connect();
    }
    int operate(DataObject* o, const MmsValue& value)
    {
        return write(std::string("BOX") + o->parent->parent->name,
                     std::string(o->parent->name) + "$CO$" + o->name + "$Oper", value);
    }

    HandlerLog log;
};

// The operates of tests/data/ied/operates.txt (SPC, ENC and APC shaped).
TEST_F(Controls, EachAcceptedOperateReachesTheHandlerOnceAndItsAnswerDecides)
{
    const auto rows = dataRows(TEST_IED_DATA_DIR "/operates.txt");
    for (const auto& row : rows) {
        const MmsValue v = decoded(row.at(2));
        EXPECT_EQ(write(row[0], row[1], v), kAccepted) << row[1];
        ASSERT_FALSE(log.calls.empty());
        EXPECT_EQ(std::string(log.calls.back().first->parent->name) + "$Oper", row[1].substr(row[1].find("$CO$") + 4));
        EXPECT_EQ(log.calls.back().second.encode(), fromHex(row[2]));
    }
    EXPECT_EQ(log.calls.size(), rows.size());
    // The status is the application's business.
    EXPECT_EQ(read("BOXCLS1", "EmpSPrg_FSCH020001$ST$EnaReq$stVal"), MmsValue::boolean(false));
    log.answer = DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
    EXPECT_EQ(operate(m.enaReq, kOn), kUnavailable);
    // Without a handler the operate is acknowledged.
    EXPECT_EQ(operate(m.unhandled, kOn), kAccepted);
    EXPECT_EQ(log.calls.size(), rows.size() + 1);
}

TEST_F(Controls, OnlyDirectWithNormalSecurityOperatesAsTheControlModelReadsAtEachOperate)
{
    EXPECT_EQ(operate(m.spcSo, kOn), kDenied);
    for (int model : {2, 3, 4, 5, -1}) {
        IedServer_updateInt32AttributeValue(server, ctlModel(m.enaReq), model);
        EXPECT_EQ(operate(m.enaReq, kOn), kDenied) << model;
    }
    EXPECT_TRUE(log.calls.empty());
    IedServer_updateInt32AttributeValue(server, ctlModel(m.spcSo), 1);
    EXPECT_EQ(operate(m.spcSo, kOn), kAccepted);
    EXPECT_EQ(log.calls.size(), 1u);
}

// The writes of tests/data/ied/refused_writes.txt, malformed Opers among
// them: each refused with its error before any handler, the model unchanged.
TEST_F(Controls, RefusedWritesReachNoHandlerAndChangeNothing)
{
    const std::map<std::string, int> errors = {{"type-inconsistent", kTypeInconsistent},
                                               {"value-invalid", kValueInvalid},
                                               {"denied", kDenied},
                                               {"non-existent", kNonExistent}};
    auto wholeModel = [&] {
        return std::vector{read("BOXLD0", "GGIO1"), read("BOXLD0", "CSWI1"), read("BOXCLS1", "EmpSPrg_FSCH020001")};
    };
    const auto before = wholeModel();
    const auto rows = dataRows(TEST_IED_DATA_DIR "/refused_writes.txt");
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 4u);
        EXPECT_EQ(write(row[0], row[1], decoded(row[2])), errors.at(row[3])) << row[1] << " " << row[2];
    }
    EXPECT_GT(rows.size(), 35u);
    EXPECT_EQ(wholeModel(), before);
    EXPECT_TRUE(log.calls.empty());
    EXPECT_TRUE(client.connected());
}

}  // namespace
}  // namespace ied_test
