// Controls over real TCP: our client operates SPC, ENC and APC shaped control
// objects of a small model served by IedServer on 127.0.0.1.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/control.hpp"
#include "iec61850/ied/iec61850_server.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using iec61850::Bytes;
using iec61850::client::ErrorKind;
using iec61850::client::MmsConnection;
using iec61850::ied::AttributeShape;
using iec61850::ied::ModelBuilder;
using Kind = MmsValue::Kind;

constexpr const char* kDomain = "FNN_STEUERBOXCLS1";
constexpr const char* kNode = "EmpSPrg_FSCH020001";

constexpr AttributeShape kOperCommon[] = {
    {"Oper$origin$orCat", IEC61850_FC_CO, IEC61850_ENUMERATED},
    {"Oper$origin$orIdent", IEC61850_FC_CO, IEC61850_OCTET_STRING_64},
    {"Oper$ctlNum", IEC61850_FC_CO, IEC61850_INT8U},
    {"Oper$T", IEC61850_FC_CO, IEC61850_TIMESTAMP},
    {"Oper$Test", IEC61850_FC_CO, IEC61850_BOOLEAN},
    {"Oper$Check", IEC61850_FC_CO, IEC61850_CHECK},
    {"ctlModel", IEC61850_FC_CF, IEC61850_ENUMERATED},
};

// The Data of the Oper written in capture 06 (EnaReq: ctlVal TRUE, orCat 0,
// empty orIdent, ctlNum 1, T, Test FALSE, Check 00).
const Bytes kCaptureOper = {0xa2, 0x1e, 0x83, 0x01, 0x01, 0xa2, 0x05, 0x85, 0x01, 0x00, 0x89,
                            0x00, 0x86, 0x01, 0x01, 0x91, 0x08, 0x6b, 0x15, 0x17, 0xab, 0xe6,
                            0x24, 0xdd, 0x00, 0x83, 0x01, 0x00, 0x84, 0x02, 0x06, 0x00};

MmsValue origin(std::int64_t orCat, const Bytes& orIdent)
{
    return MmsValue::structure({MmsValue::integer(orCat), MmsValue::octetString(orIdent)});
}

// An Oper in the shape of the model: ctlVal, [operTm], origin, ctlNum, T, Test, Check.
MmsValue oper(MmsValue ctlVal, bool withOperTm = false)
{
    std::vector<MmsValue> m;
    m.push_back(std::move(ctlVal));
    if (withOperTm)
        m.push_back(MmsValue::utcTimeMs(1796544427000));
    m.push_back(origin(3, Bytes{'o', 'p'}));
    m.push_back(MmsValue::unsignedInteger(7));
    m.push_back(MmsValue::utcTimeMs(1796544427899));
    m.push_back(MmsValue::boolean(false));
    m.push_back(MmsValue::bitString(2));
    return MmsValue::structure(std::move(m));
}

MmsValue withMember(MmsValue v, std::size_t i, MmsValue m)
{
    v[i] = std::move(m);
    return v;
}

MmsValue withOrigin(MmsValue v, std::size_t i, MmsValue m)
{
    v[1][i] = std::move(m);
    return v;
}

MmsValue analogue(float f) { return MmsValue::structure({MmsValue::float32(f)}); }

class Controls : public ::testing::Test {
protected:
    struct Operate {
        DataAttribute* attribute;
        MmsValue value;
    };

    void SetUp() override
    {
        LogicalNode* ln = builder_.node(builder_.device("CLS1"), kNode);
        enaReq_ = controlObject(
            ln, "EnaReq",
            {{"Oper$ctlVal", IEC61850_FC_CO, IEC61850_BOOLEAN}, {"stVal", IEC61850_FC_ST, IEC61850_BOOLEAN}});
        statusOnly_ = controlObject(
            ln, "SpcSo",
            {{"Oper$ctlVal", IEC61850_FC_CO, IEC61850_BOOLEAN}, {"stVal", IEC61850_FC_ST, IEC61850_BOOLEAN}});
        enc_ = controlObject(
            ln, "EncCtl",
            {{"Oper$ctlVal", IEC61850_FC_CO, IEC61850_ENUMERATED}, {"stVal", IEC61850_FC_ST, IEC61850_ENUMERATED}});
        unhandled_ = controlObject(ln, "Unhandled", {{"Oper$ctlVal", IEC61850_FC_CO, IEC61850_BOOLEAN},
                                                     {"stVal", IEC61850_FC_ST, IEC61850_BOOLEAN}});
        apc_ = controlObject(ln, "ApcCtl",
                             {{"Oper$ctlVal$f", IEC61850_FC_CO, IEC61850_FLOAT32},
                              {"Oper$operTm", IEC61850_FC_CO, IEC61850_TIMESTAMP},
                              {"mxVal$f", IEC61850_FC_MX, IEC61850_FLOAT32}});

        server_ = IedServer_create(builder_.model());
        ASSERT_NE(server_, nullptr);
        for (DataObject* o : {enaReq_, enc_, apc_, unhandled_})
            IedServer_updateInt32AttributeValue(server_, ctlModel(o), 1);
        for (DataObject* o : {enaReq_, statusOnly_, enc_, apc_})
            IedServer_handleWriteAccess(server_, operOf(o), &Controls::record, this);
        IedServer_setLocalIpAddress(server_, "127.0.0.1");
        IedServer_start(server_, 0);
        ASSERT_TRUE(IedServer_isRunning(server_));

        iec61850::client::ConnectOptions options;
        options.port = static_cast<std::uint16_t>(IedServer_getPort(server_));
        options.connectTimeoutMs = 3000;
        options.requestTimeoutMs = 3000;
        ASSERT_TRUE(client_.connect(options).ok());
    }

    void TearDown() override
    {
        if (client_.connected())
            (void)client_.release();
        if (server_) {
            IedServer_stop(server_);
            IedServer_destroy(server_);
        }
    }

    // The rows of kOperCommon after the object's own rows (ctlVal first).
    DataObject* controlObject(LogicalNode* ln, const char* name, std::initializer_list<AttributeShape> own)
    {
        std::vector<AttributeShape> rows;
        for (const AttributeShape& r : own)
            if (std::string(r.path).starts_with("Oper$"))
                rows.push_back(r);
        rows.insert(rows.end(), std::begin(kOperCommon), std::end(kOperCommon));
        for (const AttributeShape& r : own)
            if (!std::string(r.path).starts_with("Oper$"))
                rows.push_back(r);
        return builder_.object(ln, name, rows);
    }

    static DataAttribute* child(DataObject* o, const char* name, FunctionalConstraint fc)
    {
        return static_cast<DataAttribute*>(ModelNode_getChildWithFc(o, name, fc));
    }
    static DataAttribute* operOf(DataObject* o) { return child(o, "Oper", IEC61850_FC_CO); }
    static DataAttribute* ctlModel(DataObject* o) { return child(o, "ctlModel", IEC61850_FC_CF); }

    static MmsDataAccessError record(DataAttribute* attribute, MmsValue* value, ClientConnection, void* parameter)
    {
        auto* self = static_cast<Controls*>(parameter);
        std::lock_guard lock(self->mutex_);
        self->seen_.push_back(
            {attribute, value ? *value : MmsValue::error(iec61850::mms::DataAccessError::ObjectUndefined)});
        return self->answer_;
    }

    std::vector<Operate> seen()
    {
        std::lock_guard lock(mutex_);
        return seen_;
    }

    iec61850::client::Outcome operate(DataObject* o, const MmsValue& value)
    {
        return client_.write(kDomain, std::string(kNode) + "$CO$" + o->name + "$Oper", value);
    }

    // The data access error code a refused write came back with, -1 on success.
    int refusal(DataObject* o, const MmsValue& value)
    {
        const auto r = operate(o, value);
        if (r.ok())
            return -1;
        EXPECT_EQ(r.error().kind, ErrorKind::DataAccess) << r.error().describe();
        return r.error().code;
    }

    struct Case {
        const char* what;
        DataObject* object;
        MmsValue value;
        int expected;
    };

    // Opers that break the model, each with the refusal it deserves.
    std::vector<Case> malformedOpers()
    {
        const MmsValue good = oper(MmsValue::boolean(true));
        std::vector<MmsValue> fiveMembers(good.members().begin(), good.members().end() - 1);
        std::vector<MmsValue> eightMembers(good.members().begin(), good.members().end());
        eightMembers.push_back(MmsValue::boolean(false));

        return {
            {"integer ctlVal for SPC", enaReq_, withMember(good, 0, MmsValue::integer(1)),
             DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"boolean ctlVal for ENC", enc_, good, DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"scalar ctlVal for APC", apc_, oper(MmsValue::float32(1), true), DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"64-bit float for APC", apc_, oper(MmsValue::structure({MmsValue::float64(1)}), true),
             DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID},
            {"APC without operTm", apc_, oper(analogue(1)), DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"missing member", enaReq_, MmsValue::structure(fiveMembers), DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"extra member", enaReq_, MmsValue::structure(eightMembers), DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"no structure", enaReq_, MmsValue::boolean(true), DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"array instead of structure", enaReq_, MmsValue::array(eightMembers), DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"origin not a structure", enaReq_, withMember(good, 1, MmsValue::integer(3)),
             DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"origin with one member", enaReq_, withMember(good, 1, MmsValue::structure({MmsValue::integer(3)})),
             DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"orCat 9", enaReq_, withOrigin(good, 0, MmsValue::integer(9)), DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID},
            {"orCat -1", enaReq_, withOrigin(good, 0, MmsValue::integer(-1)), DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID},
            {"orCat unsigned", enaReq_, withOrigin(good, 0, MmsValue::unsignedInteger(2)),
             DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"orIdent of 65 octets", enaReq_, withOrigin(good, 1, MmsValue::octetString(Bytes(65, 'x'))),
             DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID},
            {"orIdent as visible string", enaReq_, withOrigin(good, 1, MmsValue::visibleString("op")),
             DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"ctlNum 256", enaReq_, withMember(good, 2, MmsValue::unsignedInteger(256)),
             DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID},
            {"ctlNum signed", enaReq_, withMember(good, 2, MmsValue::integer(1)), DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"T as binary time", enaReq_, withMember(good, 3, MmsValue::binaryTimeMs(0)),
             DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"Test as integer", enaReq_, withMember(good, 4, MmsValue::integer(0)),
             DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
            {"Check of 3 bits", enaReq_, withMember(good, 5, MmsValue::bitString(3)),
             DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID},
            {"ENC ctlVal beyond 8 bits", enc_, oper(MmsValue::integer(200)), DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID},
        };
    }

    ModelBuilder builder_ {"FNN_STEUERBOX"};
    IedServer server_ = nullptr;
    MmsConnection client_;
    DataObject* enaReq_ = nullptr;
    DataObject* statusOnly_ = nullptr;
    DataObject* enc_ = nullptr;
    DataObject* apc_ = nullptr;
    DataObject* unhandled_ = nullptr;
    std::mutex mutex_;
    std::vector<Operate> seen_;
    MmsDataAccessError answer_ = DATA_ACCESS_ERROR_SUCCESS;
};

TEST_F(Controls, DirectOperateOfEachShapeReachesTheHandlerOnce)
{
    const MmsValue spc = oper(MmsValue::boolean(true));
    const MmsValue enc = oper(MmsValue::integer(-3));
    const MmsValue apc = oper(analogue(12.5f), true);
    ASSERT_TRUE(operate(enaReq_, spc).ok());
    ASSERT_TRUE(operate(enc_, enc).ok());
    ASSERT_TRUE(operate(apc_, apc).ok());

    const auto calls = seen();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].attribute, operOf(enaReq_));
    EXPECT_EQ(calls[0].value, spc);
    EXPECT_EQ(calls[1].attribute, operOf(enc_));
    EXPECT_EQ(calls[1].value, enc);
    EXPECT_EQ(calls[2].attribute, operOf(apc_));
    EXPECT_EQ(calls[2].value, apc);

    // The status is the application's business.
    const auto stVal = client_.read(kDomain, std::string(kNode) + "$ST$EnaReq$stVal");
    ASSERT_TRUE(stVal.ok());
    EXPECT_EQ(*stVal, MmsValue::boolean(false));
}

TEST_F(Controls, WithoutAHandlerTheOperateIsAcknowledged)
{
    EXPECT_EQ(refusal(unhandled_, oper(MmsValue::boolean(true))), -1);
    EXPECT_EQ(refusal(unhandled_, oper(MmsValue::integer(1))), DATA_ACCESS_ERROR_TYPE_INCONSISTENT);
    const auto stVal = client_.read(kDomain, std::string(kNode) + "$ST$Unhandled$stVal");
    ASSERT_TRUE(stVal.ok());
    EXPECT_EQ(*stVal, MmsValue::boolean(false));
    EXPECT_TRUE(seen().empty());
}

TEST_F(Controls, TheOperateOfTheCaptureIsAccepted)
{
    MmsValue captured;
    ASSERT_EQ(MmsValue::decodeData(kCaptureOper, captured), iec61850::ber::Status::Ok);
    const auto r = operate(enaReq_, captured);
    ASSERT_TRUE(r.ok()) << r.error().describe();
    const auto calls = seen();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].value, captured);
    EXPECT_EQ(calls[0].value.encode(), kCaptureOper);
}

TEST_F(Controls, OnlyDirectWithNormalSecurityOperates)
{
    const MmsValue on = oper(MmsValue::boolean(true));
    EXPECT_EQ(refusal(statusOnly_, on), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    for (int model : {2, 3, 4, 5, -1}) {
        IedServer_updateInt32AttributeValue(server_, ctlModel(enaReq_), model);
        EXPECT_EQ(refusal(enaReq_, on), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED) << model;
    }
    EXPECT_TRUE(seen().empty());

    // The control model is read at each operate.
    IedServer_updateInt32AttributeValue(server_, ctlModel(statusOnly_), 1);
    EXPECT_EQ(refusal(statusOnly_, on), -1);
    EXPECT_EQ(seen().size(), 1u);
}

TEST_F(Controls, MalformedOperIsRefusedBeforeTheHandler)
{
    for (const Case& c : malformedOpers())
        EXPECT_EQ(refusal(c.object, c.value), c.expected) << c.what;
    EXPECT_TRUE(seen().empty());

    // The edges that are still fine.
    const MmsValue good = oper(MmsValue::boolean(true));
    EXPECT_EQ(refusal(enaReq_, withOrigin(good, 0, MmsValue::integer(8))), -1);
    EXPECT_EQ(refusal(enaReq_, withOrigin(good, 1, MmsValue::octetString(Bytes(64, 'x')))), -1);
    EXPECT_EQ(refusal(enaReq_, withMember(good, 2, MmsValue::unsignedInteger(255))), -1);
    EXPECT_EQ(seen().size(), 3u);
    EXPECT_TRUE(client_.connected());
}

// The same cases straight through the check, as the write path runs it.
TEST_F(Controls, CheckOperateGivesTheSameAnswers)
{
    IedServer_lockDataModel(server_);
    for (const Case& c : malformedOpers())
        EXPECT_EQ(iec61850::ied::checkOperate(*c.object, c.value), c.expected) << c.what;
    EXPECT_EQ(iec61850::ied::checkOperate(*enaReq_, oper(MmsValue::boolean(true))), DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_EQ(iec61850::ied::checkOperate(*statusOnly_, oper(MmsValue::boolean(true))),
              DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    IedServer_unlockDataModel(server_);
}

// Single-octet corruptions of the captured Oper that still decode are judged
// without a crash; none passes for an object of another shape or control model.
TEST_F(Controls, CorruptedCaptureOpersAreJudgedSafely)
{
    IedServer_lockDataModel(server_);
    int decoded = 0;
    for (std::size_t at = 0; at < kCaptureOper.size(); ++at) {
        for (int flip : {0x01, 0x02, 0x10, 0x80, 0xff}) {
            Bytes corrupt = kCaptureOper;
            corrupt[at] = static_cast<std::uint8_t>(corrupt[at] ^ flip);
            MmsValue v;
            if (MmsValue::decodeData(corrupt, v) != iec61850::ber::Status::Ok)
                continue;
            ++decoded;
            for (DataObject* o : {enaReq_, statusOnly_, enc_, apc_}) {
                const MmsDataAccessError e = iec61850::ied::checkOperate(*o, v);
                if (e == DATA_ACCESS_ERROR_SUCCESS) {
                    EXPECT_EQ(o, enaReq_) << "octet " << at << " ^ " << flip;
                }
            }
        }
    }
    IedServer_unlockDataModel(server_);
    EXPECT_GT(decoded, 0);
}

TEST_F(Controls, TheHandlersAnswerIsTheClientsAnswer)
{
    answer_ = DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE;
    EXPECT_EQ(refusal(enaReq_, oper(MmsValue::boolean(true))), DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE);
    answer_ = DATA_ACCESS_ERROR_SUCCESS;
    EXPECT_EQ(refusal(enaReq_, oper(MmsValue::boolean(false))), -1);
    EXPECT_EQ(seen().size(), 2u);
}

TEST_F(Controls, PartsOfOperAreNotWritable)
{
    const auto r = client_.write(kDomain, std::string(kNode) + "$CO$EnaReq$Oper$ctlVal", MmsValue::boolean(true));
    EXPECT_FALSE(r.ok());
    const auto whole =
        client_.write(kDomain, std::string(kNode) + "$CO$EnaReq", MmsValue::structure({oper(MmsValue::boolean(true))}));
    EXPECT_FALSE(whole.ok());
    EXPECT_TRUE(seen().empty());
}

// The checks alone, without a server: an operate without a value for the control model.
TEST(ControlChecks, ObjectsWithoutControlModelOrOperAreStatusOnly)
{
    ModelBuilder builder("IED");
    LogicalNode* ln = builder.node(builder.device("LD"), "GGIO1");
    DataObject* noModel = builder.object(ln, "NoModel");
    builder.attribute(noModel, AttributeShape {"Oper$ctlVal", IEC61850_FC_CO, IEC61850_BOOLEAN});
    DataObject* noOper = builder.object(ln, "NoOper");
    DataAttribute* model = builder.attribute(noOper, AttributeShape {"ctlModel", IEC61850_FC_CF, IEC61850_ENUMERATED});
    MmsValue direct = MmsValue::integer(1);
    model->mmsValue = &direct;

    EXPECT_EQ(iec61850::ied::controlModelOf(*noModel), iec61850::ied::ControlModel::StatusOnly);
    EXPECT_EQ(iec61850::ied::controlModelOf(*noOper), iec61850::ied::ControlModel::DirectNormal);
    const MmsValue value = MmsValue::structure({MmsValue::boolean(true)});
    EXPECT_EQ(iec61850::ied::checkOperate(*noModel, value), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    EXPECT_EQ(iec61850::ied::checkOperate(*noOper, value), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    EXPECT_TRUE(iec61850::ied::isOperate(
        *static_cast<DataAttribute*>(ModelNode_getChildWithFc(noModel, "Oper", IEC61850_FC_CO))));
    EXPECT_FALSE(iec61850::ied::isOperate(*model));
    model->mmsValue = nullptr;
}

}  // namespace
