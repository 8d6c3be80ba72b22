// Controls over real TCP: our client operates SPC, ENC and APC shaped control
// objects of a small model served by IedServer on 127.0.0.1.
#include "test_model.hpp"

#include "iec61850/ied/control.hpp"

#include <atomic>
#include <map>
#include <mutex>

namespace ied_test {
namespace {

using iec61850::ied::checkOperate;

// The Data of the Oper written in capture 06 (EnaReq: ctlVal TRUE, orCat 0,
// empty orIdent, ctlNum 1, T, Test FALSE, Check 00).
const Bytes kCaptureOper = fromHex("a21e830101a205850100890086010191086b1517abe624dd0083010084020600");

// An Oper in the shape of the model: ctlVal, [operTm], origin, ctlNum, T, Test, Check.
MmsValue oper(MmsValue ctlVal, bool withOperTm = false)
{
    std::vector<MmsValue> m{std::move(ctlVal)};
    if (withOperTm)
        m.push_back(MmsValue::utcTimeMs(1796544427000));
    m.push_back(MmsValue::structure({MmsValue::integer(3), MmsValue::octetString(Bytes{'o', 'p'})}));
    m.push_back(MmsValue::unsignedInteger(7));
    m.push_back(MmsValue::utcTimeMs(1796544427899));
    m.push_back(MmsValue::boolean(false));
    m.push_back(MmsValue::bitString(2));
    return MmsValue::structure(std::move(m));
}

const MmsValue kOn = oper(MmsValue::boolean(true));

MmsValue withMember(std::size_t i, MmsValue m)
{
    MmsValue v = kOn;
    v[i] = std::move(m);
    return v;
}

MmsValue withOrigin(std::size_t i, MmsValue m)
{
    MmsValue v = kOn;
    v[1][i] = std::move(m);
    return v;
}

MmsValue analogue(float f) { return MmsValue::structure({MmsValue::float32(f)}); }

DataAttribute* operOf(DataObject* o) { return static_cast<DataAttribute*>(ModelNode_getChild(o, "Oper")); }
DataAttribute* ctlModel(DataObject* o) { return static_cast<DataAttribute*>(ModelNode_getChild(o, "ctlModel")); }

// The test model's controls, direct with normal security but SpcSo, with a
// handler on every Oper but that of Unhandled.
class Controls : public ServedModel {
protected:
    using Operate = std::pair<DataAttribute*, MmsValue>;

    void SetUp() override
    {
        for (DataObject* o : {m.enaReq, m.enc, m.apc, m.unhandled})
            IedServer_updateInt32AttributeValue(server, ctlModel(o), 1);
        for (DataObject* o : {m.enaReq, m.spcSo, m.enc, m.apc})
            IedServer_handleWriteAccess(server, operOf(o), &Controls::record, this);
        connect();
    }

    static MmsDataAccessError record(DataAttribute* attribute, MmsValue* value, ClientConnection, void* parameter)
    {
        auto* self = static_cast<Controls*>(parameter);
        std::lock_guard lock(self->mutex);
        self->seen_.push_back({attribute, *value});
        return self->answer.load();
    }

    std::vector<Operate> seen()
    {
        std::lock_guard lock(mutex);
        return seen_;
    }

    // The domain and item of a control object's attribute under the constraint fc.
    std::pair<std::string, std::string> address(DataObject* o, const char* fc, const char* rest = "")
    {
        return {std::string("TESTIED") + o->parent->parent->name,
                std::string(o->parent->name) + "$" + fc + "$" + o->name + rest};
    }
    int operate(DataObject* o, const MmsValue& value, const char* item = "$Oper")
    {
        const auto [domain, name] = address(o, "CO", item);
        return write(domain, name, value);
    }
    MmsValue status(DataObject* o)
    {
        const auto [domain, name] = address(o, "ST", "$stVal");
        return read(domain, name);
    }

    std::mutex mutex;
    std::vector<Operate> seen_;
    std::atomic<MmsDataAccessError> answer = DATA_ACCESS_ERROR_SUCCESS;
};

TEST_F(Controls, EachAcceptedOperateReachesTheHandlerOnceAndItsAnswerDecides)
{
    MmsValue captured;
    ASSERT_EQ(MmsValue::decodeData(kCaptureOper, captured), iec61850::ber::Status::Ok);
    const std::pair<DataObject*, MmsValue> operates[] = {
        {m.enaReq, captured},
        {m.enc, oper(MmsValue::integer(-3))},
        {m.apc, oper(analogue(12.5f), true)},
        // The edges that are still fine.
        {m.enaReq, withOrigin(0, MmsValue::integer(8))},
        {m.enaReq, withOrigin(1, MmsValue::octetString(Bytes(64, 'x')))},
        {m.enaReq, withMember(2, MmsValue::unsignedInteger(255))},
    };
    for (const auto& [object, value] : operates)
        EXPECT_EQ(operate(object, value), kAccepted) << object->name;
    const auto calls = seen();
    ASSERT_EQ(calls.size(), std::size(operates));
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].first, operOf(operates[i].first)) << i;
        EXPECT_EQ(calls[i].second, operates[i].second) << i;
    }
    EXPECT_EQ(calls[0].second.encode(), kCaptureOper);
    // The status is the application's business.
    EXPECT_EQ(status(m.enaReq), MmsValue::boolean(false));

    answer = DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
    EXPECT_EQ(operate(m.enaReq, kOn), kUnavailable);
    EXPECT_EQ(seen().size(), std::size(operates) + 1);
}

TEST_F(Controls, WithoutAHandlerTheOperateIsAcknowledged)
{
    EXPECT_EQ(operate(m.unhandled, kOn), kAccepted);
    EXPECT_EQ(operate(m.unhandled, oper(MmsValue::integer(1))), kTypeInconsistent);
    EXPECT_EQ(status(m.unhandled), MmsValue::boolean(false));
    EXPECT_TRUE(seen().empty());
}

TEST_F(Controls, OnlyDirectWithNormalSecurityOperates)
{
    EXPECT_EQ(operate(m.spcSo, kOn), kDenied);
    for (int model : {2, 3, 4, 5, -1}) {
        IedServer_updateInt32AttributeValue(server, ctlModel(m.enaReq), model);
        EXPECT_EQ(operate(m.enaReq, kOn), kDenied) << model;
    }
    EXPECT_TRUE(seen().empty());

    // The control model is read at each operate.
    IedServer_updateInt32AttributeValue(server, ctlModel(m.spcSo), 1);
    EXPECT_EQ(operate(m.spcSo, kOn), kAccepted);
    EXPECT_EQ(seen().size(), 1u);
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
        return std::vector{read("TESTIEDLD0", "GGIO1"), read("TESTIEDLD0", "CSWI1"), read("TESTIEDCLS1", "EmpSPrg_FSCH020001")};
    };
    const auto before = wholeModel();
    const auto rows = dataRows(TEST_IED_DATA_DIR "/refused_writes.txt");
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 4u);
        MmsValue v;
        ASSERT_EQ(MmsValue::decodeData(fromHex(row[2]), v), iec61850::ber::Status::Ok) << row[1];
        EXPECT_EQ(write(row[0], row[1], v), errors.at(row[3])) << row[1] << " " << row[2];
    }
    EXPECT_GT(rows.size(), 35u);
    EXPECT_EQ(wholeModel(), before);
    EXPECT_TRUE(seen().empty());
    EXPECT_TRUE(client.connected());
}

// Single-octet corruptions of the captured Oper that still decode are judged
// without a crash; none passes for an object of another shape or control model.
TEST_F(Controls, CorruptedCaptureOpersAreJudgedSafely)
{
    IedServer_lockDataModel(server);
    int decoded = 0;
    for (std::size_t at = 0; at < kCaptureOper.size(); ++at) {
        for (int flip : {0x01, 0x02, 0x10, 0x80, 0xff}) {
            Bytes corrupt = kCaptureOper;
            corrupt[at] = static_cast<std::uint8_t>(corrupt[at] ^ flip);
            MmsValue v;
            if (MmsValue::decodeData(corrupt, v) != iec61850::ber::Status::Ok)
                continue;
            ++decoded;
            for (DataObject* o : {m.spcSo, m.enc, m.apc})
                EXPECT_NE(checkOperate(*o, v), DATA_ACCESS_ERROR_SUCCESS) << "octet " << at << " ^ " << flip;
            (void)checkOperate(*m.enaReq, v);
        }
    }
    IedServer_unlockDataModel(server);
    EXPECT_GT(decoded, 0);
}

// An object without ctlModel, or with one but no Oper, never operates.
TEST(ControlChecks, ObjectsWithoutControlModelOrOperAreStatusOnly)
{
    ModelBuilder builder("IED");
    LogicalNode* ln = builder.node(builder.device("LD"), "GGIO1");
    DataObject* noModel = builder.object(ln, "NoModel");
    builder.attribute(noModel, kSpc[0]);
    DataObject* noOper = builder.object(ln, "NoOper");
    DataAttribute* model = builder.attribute(noOper, AttributeShape{"ctlModel", IEC61850_FC_CF, IEC61850_ENUMERATED});
    MmsValue direct = MmsValue::integer(1);
    model->mmsValue = &direct;

    using iec61850::ied::ControlModel;
    EXPECT_EQ(iec61850::ied::controlModelOf(*noModel), ControlModel::StatusOnly);
    EXPECT_EQ(iec61850::ied::controlModelOf(*noOper), ControlModel::DirectNormal);
    const MmsValue value = MmsValue::structure({MmsValue::boolean(true)});
    EXPECT_EQ(checkOperate(*noModel, value), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    EXPECT_EQ(checkOperate(*noOper, value), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    EXPECT_TRUE(iec61850::ied::isOperate(*static_cast<DataAttribute*>(ModelNode_getChild(noModel, "Oper"))));
    EXPECT_FALSE(iec61850::ied::isOperate(*model));
    model->mmsValue = nullptr;
}

}  // namespace
}  // namespace ied_test
