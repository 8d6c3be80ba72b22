// A ServerConnection fed client bytes: the reference captures, every service
// with its failures, and malformed input at the MMS layer.
#include "wire_helpers.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace test;
using iec61850::server::ClientContext;
using iec61850::server::InMemoryModel;
using iec61850::server::ServerConfig;
namespace iso = iec61850::iso;

namespace {

const std::string kData = TEST_DATA_DIR;
constexpr std::string_view kCls1 = "FNN_STEUERBOXCLS1";
constexpr std::string_view kStb = "FNN_STEUERBOXSTB";

mms::ObjectName cls1(std::string item)
{
    return mms::ObjectName::inDomain(std::string(kCls1), std::move(item));
}

mms::VariableAccessSpec variable(std::string item)
{
    return mms::VariableAccessSpec::single(cls1(std::move(item)));
}

mms::TypeDescription scheduleSettings()
{
    using T = mms::TypeDescription;
    std::vector<T> c;
    for (auto name : {"SchdPrio", "NumEntr", "SchdIntv"})
        c.push_back(T::structure({T::integer(32).named("setVal")}).named(name));
    char name[16];
    for (int i = 1; i <= 300; ++i) {
        std::snprintf(name, sizeof name, "ValASG%03d", i);
        c.push_back(T::structure({T::structure({T::float32().named("f")}).named("setMag")}).named(name));
    }
    for (int i = 1; i <= 16; ++i) {
        std::snprintf(name, sizeof name, "StrTm%02d", i);
        c.push_back(T::structure({T::utcTime().named("setTm")}).named(name));
    }
    c.push_back(T::structure({T::boolean().named("setVal")}).named("SchdReuse"));
    return T::structure(std::move(c));
}

InMemoryModel scheduleModel()
{
    using T = mms::TypeDescription;
    InMemoryModel model;
    model.addDomain(kCls1);
    model.addVariable(kCls1, "MMXU001",
                      T::structure({T::structure({T::structure({T::structure({T::float32().named("f")}).named("mag")})
                                                      .named("TotW")})
                                        .named("MX")}));
    for (auto node : {"EmpSPrg_FSCH020001", "EmpSPrg_FSCH020101"})
        model.addVariable(kCls1, node, T::structure({scheduleSettings().named("SP")}));
    return model;
}

InMemoryModel stbNames(const std::vector<std::string>& names)
{
    InMemoryModel model;
    ModelBuilder b;
    for (const auto& n : names)
        b.add(kStb, n);
    b.buildInto(model);
    return model;
}

}  // namespace

// ---- The reference captures' client bytes ------------------------------------

TEST(CaptureReplay, AssociateIdentifyRelease)
{
    InMemoryModel model;
    Peer p(model);
    auto answers = p.feedAll(captured("01-associate-identify"));
    ASSERT_EQ(answers.size(), 5u);
    for (const auto& a : answers)
        ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(answers[0][0].cotp, 0xD0);  // CC

    const auto init = std::get<mms::InitiateResponse>(decode(answers[1][0].mms)).params;
    EXPECT_EQ(init.localDetail, 65000);
    EXPECT_EQ(init.maxServOutstandingCalling, 5);
    EXPECT_EQ(init.maxServOutstandingCalled, 5);
    EXPECT_EQ(init.dataStructureNestingLevel, 10);
    EXPECT_EQ(init.parameterCbb, hex("e100"));  // str1 str2 vnam vlis; no alternate access
    namespace s_s = mms::services_supported;
    for (auto n : {s_s::Status, s_s::GetNameList, s_s::Identify, s_s::Read, s_s::Write,
                   s_s::GetVariableAccessAttributes, s_s::GetNamedVariableListAttributes, s_s::InformationReport,
                   s_s::Conclude, s_s::Cancel, s_s::ReadJournal})
        EXPECT_TRUE(bit(init.servicesSupported, n)) << n;
    for (auto n : {s_s::Rename, s_s::DefineNamedVariableList, s_s::FileRename, s_s::ObtainFile})
        EXPECT_FALSE(bit(init.servicesSupported, n)) << n;

    EXPECT_EQ(response<mms::IdentifyResponse>(decode(answers[2][0].mms)),
              (mms::IdentifyResponse{"Brenvolta", "generic libIEC", "1.5"}));
    EXPECT_TRUE(std::holds_alternative<mms::ConcludeResponse>(decode(answers[3][0].mms)));
    EXPECT_EQ(answers[4][0].spdu, 0x0A);  // DN: release accepted
    EXPECT_EQ(p.connection->closeReason(), iso::CloseReason::Released);
}

TEST(CaptureReplay, GetNameListDomainsAndVariablesWithContinuation)
{
    const auto names = readLines(std::string(TEST_DATA_DIR) + "/../../../data/transcripts/model-stb-variable-names.txt");
    ASSERT_EQ(names.size(), 665u);
    InMemoryModel model = stbNames(names);
    model.addDomain("FNN_STEUERBOXCLS2");
    model.addDomain(kCls1);
    Peer p(model);
    auto answers = p.feedAll(captured("02-getnamelist-domains-and-variables"));
    ASSERT_EQ(answers.size(), 7u);
    EXPECT_EQ(std::get<mms::InitiateResponse>(decode(answers[1].at(0).mms)).params.localDetail,
              8192);  // the client's smaller proposal

    const auto domains = response<mms::GetNameListResponse>(decode(answers[2].at(0).mms));
    EXPECT_EQ(domains.identifiers,
              (std::vector<std::string>{"FNN_STEUERBOXCLS1", "FNN_STEUERBOXCLS2", "FNN_STEUERBOXSTB"}));
    EXPECT_FALSE(domains.moreFollows);

    const Bytes& firstPdu = answers[3].at(0).mms;
    const auto first = response<mms::GetNameListResponse>(decode(firstPdu));
    EXPECT_TRUE(first.moreFollows);
    ASSERT_GT(first.identifiers.size(), 300u);
    EXPECT_TRUE(std::equal(first.identifiers.begin(), first.identifiers.end(), names.begin()));
    // Filled up to the PDU size: one more name would not have fitted.
    EXPECT_LE(firstPdu.size(), 8192u);
    EXPECT_GT(firstPdu.size() + names[first.identifiers.size()].size() + 2, 8192u - 8);

    // The capture continues after "LLN0$RP$reportControl0101$RptEna" (name 327).
    const auto rest = response<mms::GetNameListResponse>(decode(answers[4].at(0).mms));
    EXPECT_FALSE(rest.moreFollows);
    EXPECT_EQ(rest.identifiers, std::vector<std::string>(names.begin() + 327, names.end()));
}

TEST(CaptureReplay, ReadFloatAndWholeNodeThenWriteScheduleSettings)
{
    InMemoryModel model = scheduleModel();
    model.value(kCls1, "MMXU001$MX$TotW$mag$f")->setFloat(230.5f);
    std::vector<std::string> written;
    model.setWriteObserver([&](const ClientContext& c, std::string_view, std::string_view item, const mms::Value&) {
        EXPECT_EQ(c.id, 7u);
        written.emplace_back(item);
    });
    auto reads = Peer(model).feedAll(captured("04-read-float-and-node"));
    ASSERT_EQ(reads.size(), 6u);
    const auto f = response<mms::ReadResponse>(decode(reads[2].at(0).mms));
    EXPECT_FALSE(f.access.has_value());
    EXPECT_EQ(f.results, std::vector<mms::Value>{mms::Value::float32(230.5f)});
    const auto node = response<mms::ReadResponse>(decode(reads[3].at(0).mms));
    ASSERT_EQ(node.results.size(), 1u);
    EXPECT_EQ(node.results[0].size(), 320u);
    EXPECT_TRUE(mms::conforms(node.results[0], scheduleSettings()));

    auto writes = Peer(model).feedAll(captured("05-write-schedule-settings"));
    ASSERT_EQ(writes.size(), 6u);
    for (int i : {2, 3})
        EXPECT_EQ(response<mms::WriteResponse>(decode(writes[i].at(0).mms)).results,
                  std::vector<mms::WriteResult>(1));
    EXPECT_EQ(model.value(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f")->toFloat(), 12.5f);
    EXPECT_EQ(model.value(kCls1, "EmpSPrg_FSCH020001$SP$StrTm02$setTm")->utcSeconds(), 1798761600u);
    EXPECT_EQ(written, (std::vector<std::string>{"EmpSPrg_FSCH020001$SP$ValASG005$setMag$f",
                                                 "EmpSPrg_FSCH020001$SP$StrTm02$setTm"}));
}

TEST(CaptureReplay, DatasetAttributesAndListRead)
{
    const auto members = readLines(kData + "/cls1_dataset01_members.txt");
    ASSERT_EQ(members.size(), 63u);
    ModelBuilder b;
    b.add(kCls1, "LLN0$ST$Mod$stVal", mms::TypeDescription::integer(8));
    for (const auto& m : members)
        b.add(kCls1, m + "$stVal", mms::TypeDescription::integer(32));
    InMemoryModel model;
    b.buildInto(model);
    std::vector<mms::ObjectName> list;
    for (const auto& m : members)
        list.push_back(cls1(m));
    ASSERT_TRUE(model.addVariableList(kCls1, "LLN0$dataset01", list));

    auto answers = Peer(model).feedAll(captured("08-dataset-attributes-and-read"));
    ASSERT_EQ(answers.size(), 6u);
    const auto attributes = response<mms::GetNamedVariableListAttributesResponse>(decode(answers[2].at(0).mms));
    EXPECT_FALSE(attributes.mmsDeletable);
    ASSERT_EQ(attributes.variables.size(), 63u);
    for (std::size_t i = 0; i < 63; ++i)
        EXPECT_EQ(attributes.variables[i], (mms::VariableSpec{list[i], {}}));
    const auto read = response<mms::ReadResponse>(decode(answers[3].at(0).mms));
    ASSERT_TRUE(read.access.has_value());
    EXPECT_EQ(read.access->listName, cls1("LLN0$dataset01"));
    ASSERT_EQ(read.results.size(), 63u);
    for (const auto& r : read.results)
        EXPECT_FALSE(r.isError());
}

// ---- Association parameters ----------------------------------------------------

TEST(Initiate, NegotiatesTheSmallerValuesAndRefusesTinyPdus)
{
    InMemoryModel model;
    Peer small(model);
    small.associate(1000);
    EXPECT_EQ(small.connection->maxPduSize(), 1000);

    ServerConfig config;
    config.maxPduSize = 4000;
    config.maxServOutstanding = 2;
    config.maxNestingLevel = 4;
    Peer larger(model, config);
    larger.associate(65000);
    EXPECT_EQ(larger.connection->maxPduSize(), 4000);
    EXPECT_EQ(larger.connection->maxServOutstandingCalling(), 2);
    EXPECT_EQ(larger.connection->maxServOutstandingCalled(), 2);
    EXPECT_EQ(larger.connection->nestingLevel(), 4);

    Peer tiny(model);
    auto answers = tiny.feedAll(associationWithPduSize(20));
    ASSERT_EQ(answers[1].size(), 1u);
    EXPECT_FALSE(tiny.connection->associated());
    if (!answers[1][0].mms.empty()) {  // refusals carry the initiate-error when the layer allows
        EXPECT_TRUE(std::holds_alternative<mms::InitiateError>(decode(answers[1][0].mms)));
    }

    // The AARQ with its initiate-request tag changed to conclude-request.
    auto noInitiate = associationWithPduSize(65000);
    const Bytes initiate = hex("a826800300fde8");
    auto at = std::search(noInitiate[1].begin(), noInitiate[1].end(), initiate.begin(), initiate.end());
    ASSERT_NE(at, noInitiate[1].end());
    *at = 0xAB;
    Peer refused(model);
    refused.feedAll(noInitiate);
    EXPECT_FALSE(refused.connection->associated());
}

// A client that pipelines without reading: beyond the five requests it may have
// unanswered it gets rejects; beyond the output bound its input waits
// undecoded, and is answered in order as the output drains.
TEST(Initiate, PipelinedRequestsBeyondTheLimitsAreRejectedOrWaitForTheOutputToDrain)
{
    InMemoryModel model;
    ServerConfig config;
    config.maxPduSize = 1000;
    config.maxQueuedOutput = 0;  // the least bound: two PDUs and 4096 octets
    Peer p(model, config);
    p.associate(1000);
    constexpr std::uint32_t kRequests = 2000;
    Bytes burst;
    for (std::uint32_t id = 1; id <= kRequests; ++id) {
        const Bytes tpkt = clientTpkt(mms::encodePdu(mms::ConfirmedRequest{id, mms::IdentifyRequest{}}));
        burst.insert(burst.end(), tpkt.begin(), tpkt.end());
    }
    p.connection->receive(burst);
    EXPECT_GT(p.connection->bufferedInput(), 0u);
    std::vector<ServerFrame> frames;
    std::size_t most = 0, rounds = 0;
    for (; !p.connection->output().empty() && rounds < kRequests; ++rounds) {
        most = std::max(most, p.connection->output().size());
        EXPECT_TRUE(splitServerOutput(p.connection->output().pending(), frames));
        p.connection->output().clear();  // the socket took it all
        p.connection->receive({});
    }
    EXPECT_GT(rounds, 2u);
    EXPECT_LE(most, iec61850::server::outputBound(config) + 100);  // the bound and one answer
    ASSERT_EQ(frames.size(), kRequests);
    std::size_t answered = 0;
    for (std::uint32_t id = 1; id <= kRequests; ++id) {
        const mms::Pdu pdu = decode(frames[id - 1].mms);
        if (const auto* r = std::get_if<mms::ConfirmedResponse>(&pdu)) {
            EXPECT_EQ(r->invokeId, id);
            ++answered;
        } else {
            EXPECT_EQ(reject(pdu), (mms::RejectPdu{id, mms::RejectClass::ConfirmedRequest,
                                                   mms::reject_code::confirmed_request::MaxServOutstandingExceeded}));
        }
    }
    EXPECT_EQ(answered, 5 * rounds);  // five each time the output drained
}

// ---- Services ---------------------------------------------------------------------

TEST(Services, StatusIdentifyAndCancel)
{
    InMemoryModel model;
    ServerConfig config;
    config.identity = {"V", "M", "R"};
    Peer p(model, config);
    p.associate();
    EXPECT_EQ(response<mms::StatusResponse>(p.ask(1, mms::StatusRequest{})), (mms::StatusResponse{0, 0}));
    EXPECT_EQ(response<mms::IdentifyResponse>(p.ask(2, mms::IdentifyRequest{})), (mms::IdentifyResponse{"V", "M", "R"}));
    const auto cancel = p.exchange(mms::encodePdu(mms::CancelRequest{2}));
    EXPECT_EQ(std::get<mms::CancelError>(cancel),
              (mms::CancelError{2, {mms::ErrorClass::Cancel, mms::error_code::cancel::InvokeIdUnknown, {}, {}}}));
}

TEST(Services, GetNameListOfListsJournalsAndUnknownDomain)
{
    InMemoryModel model;
    model.addDomain(kCls1);
    model.addVariable(kCls1, "LLN0", mms::TypeDescription::structure({mms::TypeDescription::boolean().named("x")}));
    model.addVariableList(kCls1, "LLN0$dataset02", {});
    model.addVariableList(kCls1, "LLN0$Dataset01", {});
    model.addJournal(kCls1, "LLN0$log");
    Peer p(model);
    p.associate();
    using Scope = mms::GetNameListRequest::Scope;
    using mms::ObjectClass;
    auto names = [&](ObjectClass cls, Scope scope, std::string domain, std::optional<std::string> after = {}) {
        return response<mms::GetNameListResponse>(
                   p.ask(1, mms::GetNameListRequest{cls, scope, std::move(domain), std::move(after)}))
            .identifiers;
    };
    const std::string cls1Domain(kCls1);
    EXPECT_EQ(names(ObjectClass::NamedVariableList, Scope::Domain, cls1Domain),
              (std::vector<std::string>{"LLN0$Dataset01", "LLN0$dataset02"}));
    EXPECT_EQ(names(ObjectClass::NamedVariableList, Scope::Domain, cls1Domain, "LLN0$Dataset01"),
              std::vector<std::string>{"LLN0$dataset02"});
    EXPECT_EQ(names(ObjectClass::Journal, Scope::Domain, cls1Domain), std::vector<std::string>{"LLN0$log"});
    EXPECT_TRUE(names(ObjectClass::NamedVariableList, Scope::Association, "").empty());
    EXPECT_TRUE(names(ObjectClass::Semaphore, Scope::Domain, cls1Domain).empty());
    EXPECT_TRUE(names(ObjectClass::Domain, Scope::Vmd, "", cls1Domain).empty());

    auto err = serviceError(
        p.ask(9, mms::GetNameListRequest{ObjectClass::NamedVariable, Scope::Domain, "NOPE", std::nullopt}));
    EXPECT_EQ(err.errorClass, mms::ErrorClass::Definition);
    EXPECT_EQ(err.code, mms::error_code::definition::ObjectUndefined);
}

TEST(Services, GetVariableAccessAttributesOfNodeAndComponent)
{
    InMemoryModel model = scheduleModel();
    Peer p(model);
    p.associate();
    auto attr = [&](std::string item) { return p.ask(3, mms::GetVariableAccessAttributesRequest{cls1(item)}); };
    const auto sp = response<mms::GetVariableAccessAttributesResponse>(attr("EmpSPrg_FSCH020001$SP"));
    EXPECT_FALSE(sp.mmsDeletable);
    EXPECT_EQ(sp.type, scheduleSettings());
    EXPECT_EQ(response<mms::GetVariableAccessAttributesResponse>(attr("MMXU001$MX$TotW$mag$f")).type,
              mms::TypeDescription::float32());
    for (auto missing : {"MMXU002", "MMXU001$MX$TotW$ang", "MMXU001$", "MMXU001$MX$TotW$mag$f$x"}) {
        auto e = serviceError(attr(missing));
        EXPECT_EQ(e.errorClass, mms::ErrorClass::Access) << missing;
        EXPECT_EQ(e.code, mms::error_code::access::ObjectNonExistent) << missing;
    }
}

TEST(Services, ReadReportsPerVariableFailures)
{
    InMemoryModel model = scheduleModel();
    Peer p(model);
    p.associate();
    mms::ReadRequest r;
    r.access.variables = {
        {cls1("MMXU001$MX$TotW$mag$f"), {}},
        {cls1("MMXU001$MX$Nope"), {}},
        {mms::ObjectName::inDomain("OTHER", "MMXU001"), {}},
        {mms::ObjectName::association("x"), {}},
        {cls1("MMXU001"), hex("a003800101")},  // alternate access
    };
    using E = mms::DataAccessError;
    EXPECT_EQ(response<mms::ReadResponse>(p.ask(4, r)).results,
              (std::vector<mms::Value>{mms::Value::float32(0), mms::Value::error(E::ObjectNonExistent),
                                       mms::Value::error(E::ObjectNonExistent), mms::Value::error(E::ObjectNonExistent),
                                       mms::Value::error(E::ObjectAccessUnsupported)}));
    auto e = serviceError(p.ask(5, mms::ReadRequest{true, mms::VariableAccessSpec::list(cls1("nolist"))}));
    EXPECT_EQ(e.errorClass, mms::ErrorClass::Access);
    EXPECT_EQ(e.code, mms::error_code::access::ObjectNonExistent);
}

TEST(Services, ResponsesLargerThanThePduSizeBecomeErrors)
{
    InMemoryModel model = scheduleModel();
    Peer p(model);
    p.associate(1000);
    for (auto service : {mms::ConfirmedRequestService{mms::ReadRequest{false, variable("EmpSPrg_FSCH020101")}},
                         mms::ConfirmedRequestService{mms::GetVariableAccessAttributesRequest{
                             cls1("EmpSPrg_FSCH020101")}}}) {
        auto e = serviceError(p.ask(6, service));
        EXPECT_EQ(e.errorClass, mms::ErrorClass::Service);
        EXPECT_EQ(e.code, mms::error_code::service::PduSize);
        EXPECT_LE(p.lastSize, 1000u);
    }
    // Small answers still flow afterwards.
    EXPECT_EQ(response<mms::ReadResponse>(p.ask(7, mms::ReadRequest{false, variable("MMXU001")})).results.size(), 1u);
}

TEST(Services, WriteChecksTypeExistenceAndPolicy)
{
    InMemoryModel model = scheduleModel();
    model.setWriteCheck([](const ClientContext&, std::string_view, std::string_view item,
                           const mms::Value&) -> std::optional<mms::DataAccessError> {
        if (item.find("SchdPrio") != std::string_view::npos)
            return mms::DataAccessError::ObjectAccessDenied;
        return std::nullopt;
    });
    Peer p(model);
    p.associate();
    const std::string node = "EmpSPrg_FSCH020001$SP$";
    mms::WriteRequest w;
    auto add = [&](std::string item, mms::Value v) {
        w.access.variables.push_back({cls1(node + item), {}});
        w.data.push_back(std::move(v));
    };
    add("ValASG001$setMag$f", mms::Value::float32(1.5f));
    add("ValASG002$setMag$f", mms::Value::integer(3));
    add("ValASG999$setMag$f", mms::Value::float32(1.5f));
    add("SchdPrio$setVal", mms::Value::integer(3));
    add("NumEntr", mms::Value::structure({}));  // a structure of the wrong shape
    add("NumEntr", mms::Value::structure({mms::Value::integer(7)}));
    using E = mms::DataAccessError;
    EXPECT_EQ(response<mms::WriteResponse>(p.ask(8, w)).results,
              (std::vector<mms::WriteResult>{
                  {}, {E::TypeInconsistent}, {E::ObjectNonExistent}, {E::ObjectAccessDenied}, {E::TypeInconsistent}, {}}));
    EXPECT_EQ(model.value(kCls1, node + "ValASG001$setMag$f")->toFloat(), 1.5f);
    EXPECT_EQ(model.value(kCls1, node + "ValASG002$setMag$f")->toFloat(), 0.0f);
    EXPECT_EQ(model.value(kCls1, node + "NumEntr$setVal")->toInt64(), 7);

    w.data.pop_back();  // one value short
    EXPECT_EQ(reject(p.ask(9, w)), (mms::RejectPdu{9, mms::RejectClass::ConfirmedRequest,
                                                    mms::reject_code::confirmed_request::InvalidArgument}));
}

TEST(Services, NamedVariableListsCannotBeDefinedOrDeletedAndFilesNotRenamed)
{
    InMemoryModel model = scheduleModel();
    model.addVariableList(kCls1, "LLN0$ds", {cls1("MMXU001")});
    Peer p(model);
    p.associate();
    EXPECT_EQ(serviceError(p.ask(1, mms::DefineNamedVariableListRequest{cls1("LLN0$new"), {{cls1("MMXU001"), {}}}}))
                  .errorClass,
              mms::ErrorClass::Resource);
    mms::DeleteNamedVariableListRequest del;
    del.names = {cls1("LLN0$ds"), cls1("LLN0$nope")};
    EXPECT_EQ(response<mms::DeleteNamedVariableListResponse>(p.ask(2, del)),
              (mms::DeleteNamedVariableListResponse{1, 0}));
    std::vector<mms::ObjectName> members;
    EXPECT_TRUE(model.variableListMembers(kCls1, "LLN0$ds", members));

    // FileRename of capture 09 without a file store: an error, not a reject.
    auto e = serviceError(
        p.exchange(hex("a025020107bf4b1fa00e190c7363686564756c652e747874a10d190b72656e616d65642e747874")));
    EXPECT_EQ(e.errorClass, mms::ErrorClass::File);
    EXPECT_EQ(e.code, mms::error_code::file::FileAccessDenied);
}

TEST(Services, InformationReportIsSentOnlyWhenAssociatedAndWithinThePduSize)
{
    InMemoryModel model;
    const mms::Value value = mms::Value::visibleString("CLS1/report01");
    const mms::Value* values[] = {&value};
    auto access = mms::VariableAccessSpec::single(mms::ObjectName::vmd("RPT"));
    Peer p(model);
    EXPECT_FALSE(p.connection->sendInformationReport(access, values));

    p.associate(200);
    ASSERT_TRUE(p.connection->sendInformationReport(access, values));
    auto frames = p.feed({});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::get<mms::UnconfirmedPdu>(decode(frames[0].mms)).report,
              (mms::InformationReport{access, {value}}));

    const mms::Value big = mms::Value::visibleString(std::string(300, 'x'));
    const mms::Value* bigValues[] = {&big};
    EXPECT_FALSE(p.connection->sendInformationReport(access, bigValues));
    EXPECT_TRUE(p.connection->output().empty());
}

// ---- Malformed and unexpected PDUs --------------------------------------------

TEST(Malformed, RejectsWithTheRightReasonAndStaysAssociated)
{
    InMemoryModel model;
    Peer p(model);
    p.associate();
    using RC = mms::RejectClass;
    namespace cr = mms::reject_code::confirmed_request;
    namespace pe = mms::reject_code::pdu_error;
    const std::pair<Bytes, mms::RejectPdu> cases[] = {
        {hex("a00d02010bbf4807a0051903612e62"), {11, RC::ConfirmedRequest, cr::UnrecognizedService}},  // fileOpen
        {hex("a006020105bf3c00"), {5, RC::ConfirmedRequest, cr::UnrecognizedService}},
        {hex("a00802010ca403a10130"), {12, RC::ConfirmedRequest, cr::InvalidArgument}},  // read, broken content
        {hex("300302010c"), {std::nullopt, RC::PduError, pe::UnknownPduType}},           // not an MMS PDU
        {hex("bf2000"), {std::nullopt, RC::PduError, pe::UnknownPduType}},
        {hex("a203800105"), {std::nullopt, RC::PduError, pe::InvalidPdu}},  // error without its service error
        {mms::encodePdu(mms::InitiateRequest{}), {std::nullopt, RC::PduError, pe::IllegalAcseMapping}},
        {mms::encodePdu(mms::ConfirmedResponse{4, mms::StatusResponse{}}), {4, RC::ConfirmedResponse, 2}},
    };
    for (const auto& [pdu, expected] : cases)
        EXPECT_EQ(reject(p.exchange(pdu)), expected) << test_support::toHex(pdu);
    EXPECT_FALSE(response<mms::IdentifyResponse>(p.ask(20, mms::IdentifyRequest{})).vendor.empty());

    EXPECT_TRUE(std::holds_alternative<mms::ConcludeResponse>(p.exchange(mms::encodePdu(mms::ConcludeRequest{}))));
    EXPECT_EQ(reject(p.ask(5, mms::IdentifyRequest{})).invokeId, 5u);  // nothing is served after conclude
}

TEST(Malformed, TruncatedRandomAndDeeplyNestedPdusNeverCrash)
{
    InMemoryModel model = scheduleModel();
    Peer p(model);
    p.associate();
    const Bytes good = mms::encodePdu(mms::ConfirmedRequest{
        3, mms::WriteRequest{variable("MMXU001$MX$TotW$mag$f"), {mms::Value::float32(2.0f)}}});
    ASSERT_LT(good.size(), 128u);
    // The PDU's own TLV stays whole; what it holds is cut short.
    for (std::size_t n = 0; n + 2 < good.size(); ++n) {
        Bytes cut{good[0], static_cast<std::uint8_t>(n)};
        cut.insert(cut.end(), good.begin() + 2, good.begin() + 2 + static_cast<std::ptrdiff_t>(n));
        EXPECT_TRUE(std::holds_alternative<mms::RejectPdu>(p.exchange(cut))) << n;
    }
    EXPECT_EQ(model.value(kCls1, "MMXU001$MX$TotW$mag$f")->toFloat(), 0.0f);

    // Random contents under every MMS PDU tag (well-formed TLV, so the ISO
    // layers pass them up): at most one answer each, and it decodes.
    std::mt19937 rng(61850);
    const std::uint8_t tags[] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA9, 0xAA, 0xAC, 0xAD};
    for (int i = 0; i < 300; ++i) {
        Bytes junk{tags[rng() % std::size(tags)], static_cast<std::uint8_t>(rng() % 100)};
        for (std::size_t k = 0; k < junk[1]; ++k)
            junk.push_back(static_cast<std::uint8_t>(rng()));
        auto frames = p.feed(clientTpkt(junk));
        ASSERT_LE(frames.size(), 1u);
        if (!frames.empty()) {
            ASSERT_FALSE(frames[0].mms.empty());
            decode(frames[0].mms);
        }
        ASSERT_TRUE(p.connection->associated()) << i;
    }

    // A written value nested deeper than any decoder allows.
    ber::Writer deep;
    std::vector<ber::Writer::Marker> open = {deep.begin(ber::context(0, true))};
    deep.unsignedInteger(ber::universal(ber::universal_tag::Integer), 4);
    for (auto tag : {ber::context(5, true), ber::context(0, true), ber::universal(ber::universal_tag::Sequence, true),
                     ber::context(0, true), ber::context(1, true)})
        open.push_back(deep.begin(tag));
    deep.string(ber::universal(ber::universal_tag::VisibleString), kCls1);
    deep.string(ber::universal(ber::universal_tag::VisibleString), "MMXU001");
    for (int i = 0; i < 4; ++i, open.pop_back())
        deep.end(open.back());  // name, variable, list: the data follow
    for (int i = 0; i < 201; ++i)
        open.push_back(deep.begin(ber::context(i == 0 ? 0 : 2, true)));
    for (; !open.empty(); open.pop_back())
        deep.end(open.back());
    EXPECT_EQ(reject(p.exchange(deep.bytes())),
              (mms::RejectPdu{4, mms::RejectClass::ConfirmedRequest, mms::reject_code::confirmed_request::InvalidArgument}));
}

TEST(Malformed, RawBytesBeforeAssociationDoNotCrash)
{
    InMemoryModel model;
    std::mt19937 rng(4102);
    for (int round = 0; round < 100; ++round) {
        Bytes junk(2 + rng() % 200);
        for (auto& b : junk)
            b = static_cast<std::uint8_t>(rng());
        if (round % 2)
            junk[0] = 3, junk[1] = 0;  // looks like TPKT
        Peer p(model);
        p.feed(junk);
        EXPECT_FALSE(p.connection->associated());
    }
}
