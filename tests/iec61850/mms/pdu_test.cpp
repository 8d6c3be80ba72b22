#include "iec61850/mms/pdu.hpp"

#include "test_util.hpp"
#include "capture.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace iec61850;
using namespace iec61850::mms;
using mms_test::fromHex;
using mms_test::toHex;

namespace {

const std::vector<Bytes>& capture(std::string_view name, char from)
{
    const auto& c = test_support::capture(name);
    return from == 'c' ? c.clientPdus() : c.serverPdus();
}

// Every MMS PDU of every reference capture, both directions.
std::vector<Bytes> everyCapturedPdu()
{
    std::vector<Bytes> all;
    for (const auto& name : test_support::captureNames())
        for (char from : {'c', 's'})
            all.insert(all.end(), capture(name, from).begin(), capture(name, from).end());
    return all;
}

Pdu decodeOk(const Bytes& b)
{
    Pdu p;
    EXPECT_EQ(decodePdu(b, p), Status::Ok) << toHex(b).substr(0, 80);
    return p;
}

// By value: callers often pass a temporary.
template <typename Service>
Service requestService(const Pdu& p)
{
    return std::get<Service>(std::get<ConfirmedRequest>(p).service);
}

template <typename Service>
Service responseService(const Pdu& p)
{
    return std::get<Service>(std::get<ConfirmedResponse>(p).service);
}

}  // namespace

TEST(Pdu, EveryCapturedPduDecodesAndReencodesIdentically)
{
    const std::vector<Bytes> all = everyCapturedPdu();
    EXPECT_EQ(all.size(), 111u);
    for (const Bytes& bytes : all) {
        Pdu pdu;
        ASSERT_EQ(decodePdu(bytes, pdu), Status::Ok) << toHex(bytes);
        EXPECT_EQ(toHex(encodePdu(pdu)), toHex(bytes));
    }
}

TEST(Pdu, InitiateFromCapture)
{
    const Pdu req = decodeOk(capture("01-associate-identify", 'c')[0]);
    const InitiateParameters& p = std::get<InitiateRequest>(req).params;
    EXPECT_EQ(p.localDetail, 65000);
    EXPECT_EQ(p.maxServOutstandingCalling, 5);
    EXPECT_EQ(p.maxServOutstandingCalled, 5);
    EXPECT_EQ(p.dataStructureNestingLevel, 10);
    EXPECT_EQ(p.version, 1);
    EXPECT_EQ(p.parameterCbbBits, 11u);
    EXPECT_EQ(toHex(p.parameterCbb), "f100");
    EXPECT_EQ(p.servicesSupportedBits, 85u);

    const Pdu rsp = decodeOk(capture("01-associate-identify", 's')[0]);
    const Value services = Value::bitString(std::get<InitiateResponse>(rsp).params.servicesSupported, 85);
    namespace ss = services_supported;
    for (std::uint32_t bit : {ss::Status, ss::GetNameList, ss::Identify, ss::Read, ss::Write,
                              ss::GetVariableAccessAttributes, ss::DefineNamedVariableList,
                              ss::GetNamedVariableListAttributes, ss::DeleteNamedVariableList, ss::ObtainFile,
                              ss::ReadJournal, ss::FileOpen, ss::FileRead, ss::FileClose, ss::FileDelete,
                              ss::FileDirectory, ss::InformationReport, ss::Conclude, ss::Cancel})
        EXPECT_TRUE(services.getBit(bit)) << bit;
    EXPECT_FALSE(services.getBit(ss::Rename));
    EXPECT_FALSE(services.getBit(ss::FileRename));
}

TEST(Pdu, IdentifyAndConclude)
{
    const auto c = capture("01-associate-identify", 'c');
    const auto s = capture("01-associate-identify", 's');
    EXPECT_EQ(std::get<ConfirmedRequest>(decodeOk(c[1])).invokeId, 1u);
    requestService<IdentifyRequest>(decodeOk(c[1]));
    const auto& id = responseService<IdentifyResponse>(decodeOk(s[1]));
    EXPECT_EQ(id.vendor.size(), 15u);
    EXPECT_EQ(id.model.size(), 11u);
    EXPECT_EQ(id.revision, "1.5.3");
    EXPECT_TRUE(std::holds_alternative<ConcludeRequest>(decodeOk(c[2])));
    EXPECT_TRUE(std::holds_alternative<ConcludeResponse>(decodeOk(s[2])));

    const Bytes ours = encodePdu(ConfirmedResponse{1, IdentifyResponse{"Brenvolta", "generic libIEC", "1.5"}});
    EXPECT_EQ(responseService<IdentifyResponse>(decodeOk(ours)).model, "generic libIEC");
}

TEST(Pdu, GetNameListWithContinuation)
{
    const auto c = capture("02-getnamelist-domains-and-variables", 'c');
    const auto s = capture("02-getnamelist-domains-and-variables", 's');
    const auto& domains = requestService<GetNameListRequest>(decodeOk(c[1]));
    EXPECT_EQ(domains.objectClass, ObjectClass::Domain);
    EXPECT_EQ(domains.scope, GetNameListRequest::Scope::Vmd);
    const auto& domainList = responseService<GetNameListResponse>(decodeOk(s[1]));
    EXPECT_EQ(domainList.identifiers,
              (std::vector<std::string>{"FNN_STEUERBOXCLS1", "FNN_STEUERBOXCLS2", "FNN_STEUERBOXSTB"}));
    EXPECT_FALSE(domainList.moreFollows);

    const auto& first = requestService<GetNameListRequest>(decodeOk(c[2]));
    EXPECT_EQ(first.objectClass, ObjectClass::NamedVariable);
    EXPECT_EQ(first.domain, "FNN_STEUERBOXSTB");
    EXPECT_FALSE(first.continueAfter);
    const auto& part1 = responseService<GetNameListResponse>(decodeOk(s[2]));
    EXPECT_TRUE(part1.moreFollows);  // absent: DEFAULT TRUE
    const auto& second = requestService<GetNameListRequest>(decodeOk(c[3]));
    EXPECT_EQ(second.continueAfter, part1.identifiers.back());
    const auto& part2 = responseService<GetNameListResponse>(decodeOk(s[3]));
    EXPECT_FALSE(part2.moreFollows);
    EXPECT_EQ(part1.identifiers.size() + part2.identifiers.size(), 665u);
}

TEST(Pdu, GetVariableAccessAttributesOfAWholeNodeAndEachFc)
{
    const auto c = capture("03-get-variable-access-attributes", 'c');
    const auto s = capture("03-get-variable-access-attributes", 's');
    const auto& req = requestService<GetVariableAccessAttributesRequest>(decodeOk(c[1]));
    EXPECT_EQ(req.name, ObjectName::inDomain("FNN_STEUERBOXCLS1", "EmpSPrg_FSCH020001"));
    const auto& whole = responseService<GetVariableAccessAttributesResponse>(decodeOk(s[1]));
    EXPECT_FALSE(whole.mmsDeletable);
    ASSERT_EQ(whole.type.kind(), TypeDescription::Kind::Structure);
    std::vector<std::string> fcs;
    for (const TypeDescription& c : whole.type.components())
        fcs.push_back(c.name());
    EXPECT_EQ(fcs, (std::vector<std::string>{"MX", "ST", "CO", "CF", "DC", "SP"}));

    // Each FC asked separately must equal that component of the whole node.
    for (std::size_t i = 0; i < fcs.size(); ++i) {
        const auto& fcReq = requestService<GetVariableAccessAttributesRequest>(decodeOk(c[2 + i]));
        const std::string fcName = fcReq.name.item.substr(fcReq.name.item.rfind('$') + 1);
        const auto& fc = responseService<GetVariableAccessAttributesResponse>(decodeOk(s[2 + i]));
        ASSERT_NE(whole.type.component(fcName), nullptr) << fcName;
        EXPECT_TRUE(fc.type == whole.type.component(fcName)->named("")) << fcName;
    }
    const TypeDescription* mag = whole.type.find("MX$ValMV$mag$f");
    ASSERT_NE(mag, nullptr);
    EXPECT_EQ(*mag, TypeDescription::float32().named("f"));
    const TypeDescription* q = whole.type.find("MX$ValMV$q");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->size(), -13);
}

TEST(Pdu, ReadOfAFloatAndOfAWholeNode)
{
    const auto c = capture("04-read-float-and-node", 'c');
    const auto s = capture("04-read-float-and-node", 's');
    const auto& req = requestService<ReadRequest>(decodeOk(c[1]));
    EXPECT_FALSE(req.specificationWithResult);
    ASSERT_EQ(req.access.variables.size(), 1u);
    EXPECT_EQ(req.access.variables[0].name, ObjectName::inDomain("FNN_STEUERBOXCLS1", "MMXU001$MX$TotW$mag$f"));
    EXPECT_TRUE(req.access.variables[0].alternateAccess.empty());

    const auto& one = responseService<ReadResponse>(decodeOk(s[1]));
    EXPECT_FALSE(one.access);
    EXPECT_EQ(one.results, std::vector<Value>{Value::float32(0)});

    // The allocation-light encoder writes the same bytes.
    const Value zero = Value::float32(0);
    const Value* results[] = {&zero};
    ber::Writer w;
    encodeReadResponse(w, 1, nullptr, results);
    EXPECT_EQ(toHex(w.bytes()), toHex(s[1]));

    const auto& node = responseService<ReadResponse>(decodeOk(s[2]));
    ASSERT_EQ(node.results.size(), 1u);
    EXPECT_EQ(node.results[0].kind(), Value::Kind::Structure);
    EXPECT_EQ(node.results[0].size(), 320u);
}

TEST(Pdu, WritesOfSettingsAndAControl)
{
    const auto c5 = capture("05-write-schedule-settings", 'c');
    const auto& f = requestService<WriteRequest>(decodeOk(c5[1]));
    EXPECT_EQ(f.access.variables.at(0).name.item, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f");
    EXPECT_EQ(f.data, std::vector<Value>{Value::float32(12.5f)});
    const auto& t = requestService<WriteRequest>(decodeOk(c5[2]));
    EXPECT_EQ(t.data.at(0).utcMs(), 1798761600000ull);
    const auto& ok = responseService<WriteResponse>(decodeOk(capture("05-write-schedule-settings", 's')[1]));
    EXPECT_EQ(ok.results, std::vector<WriteResult>{WriteResult{}});

    const auto& oper = requestService<WriteRequest>(decodeOk(capture("06-operate-enareq", 'c')[3]));
    const Value& v = oper.data.at(0);
    ASSERT_EQ(v.size(), 6u);
    EXPECT_TRUE(v[0].toBool());                         // ctlVal
    EXPECT_EQ(v[1][0].toInt32(), 0);                    // origin.orCat
    EXPECT_TRUE(v[1][1].octets().empty());              // origin.orIdent
    EXPECT_EQ(v[2].toUint32(), 1u);                     // ctlNum
    EXPECT_EQ(v[5].bitStringSize(), 2u);                // Check

    const Bytes failed = encodePdu(ConfirmedResponse{
        9, WriteResponse{{WriteResult{DataAccessError::ObjectAccessDenied}, WriteResult{}}}});
    EXPECT_EQ(toHex(failed), "a10a020109a50580010381" "00");
}

TEST(Pdu, InformationReportOfAGi)
{
    const auto s = capture("07-report-gi-cls1", 's');
    const Pdu p = decodeOk(s[4]);
    const InformationReport& r = std::get<UnconfirmedPdu>(p).report;
    EXPECT_EQ(r.access.listName, ObjectName::vmd("RPT"));
    ASSERT_GE(r.results.size(), 6u);
    EXPECT_EQ(r.results[0].string(), "CLS1/report01");

    std::vector<const Value*> refs;
    for (const Value& v : r.results)
        refs.push_back(&v);
    ber::Writer w;
    encodeInformationReport(w, r.access, refs);
    EXPECT_EQ(toHex(w.bytes()), toHex(s[4]));
}

TEST(Pdu, DataSetAttributesAndListRead)
{
    const auto c = capture("08-dataset-attributes-and-read", 'c');
    const auto s = capture("08-dataset-attributes-and-read", 's');
    const auto& attrReq = requestService<GetNamedVariableListAttributesRequest>(decodeOk(c[1]));
    EXPECT_EQ(attrReq.name, ObjectName::inDomain("FNN_STEUERBOXCLS1", "LLN0$dataset01"));
    const auto& attrs = responseService<GetNamedVariableListAttributesResponse>(decodeOk(s[1]));
    EXPECT_FALSE(attrs.mmsDeletable);
    EXPECT_EQ(attrs.variables.size(), 63u);

    const auto& read = requestService<ReadRequest>(decodeOk(c[2]));
    EXPECT_TRUE(read.specificationWithResult);
    EXPECT_EQ(read.access, VariableAccessSpec::list(attrReq.name));
    const auto& rsp = responseService<ReadResponse>(decodeOk(s[2]));
    EXPECT_EQ(rsp.access, read.access);
    EXPECT_EQ(rsp.results.size(), 63u);
}

TEST(Pdu, FileServicesAreUnrecognizedButKeptAndRejectable)
{
    const auto c = capture("09-file-services", 'c');
    const std::uint32_t expected[] = {service_tag::FileDirectory, service_tag::FileOpen, service_tag::FileRead,
                                      service_tag::FileClose, service_tag::FileDelete, service_tag::FileDelete,
                                      service_tag::FileRename};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const Pdu p = decodeOk(c[1 + i]);
        const auto& req = std::get<ConfirmedRequest>(p);
        EXPECT_EQ(req.invokeId, i + 1);
        EXPECT_EQ(serviceTag(req.service), expected[i]);
        EXPECT_TRUE(std::holds_alternative<UnrecognizedService>(req.service));
    }
    const RejectPdu rej = std::get<RejectPdu>(decodeOk(capture("09-file-services", 's')[7]));
    EXPECT_EQ(rej, (RejectPdu{7, RejectClass::ConfirmedRequest, reject_code::confirmed_request::UnrecognizedService}));
}

TEST(Pdu, JournalReadIsUnrecognizedOnBothSides)
{
    const auto c = capture("10-journal-read", 'c');
    const auto s = capture("10-journal-read", 's');
    for (std::size_t i : {1u, 2u}) {
        const Pdu req = decodeOk(c[i]);
        EXPECT_EQ(serviceTag(std::get<ConfirmedRequest>(req).service), service_tag::ReadJournal);
        const Pdu rsp = decodeOk(s[i]);
        EXPECT_EQ(std::get<ConfirmedResponse>(rsp).invokeId, i);
        EXPECT_EQ(serviceTag(std::get<ConfirmedResponse>(rsp).service), service_tag::ReadJournal);
    }
}

TEST(Pdu, RoundTripsOfPdusNotInTheCaptures)
{
    ServiceError fileDenied{ErrorClass::File, error_code::file::FileAccessDenied, {}, {}};
    const std::vector<Pdu> pdus = {
        ConfirmedError{7, fileDenied},
        ConfirmedError{0x80000000u, ServiceError{ErrorClass::Access, error_code::access::ObjectNonExistent, 42, "no"}},
        RejectPdu{std::nullopt, RejectClass::PduError, reject_code::pdu_error::InvalidPdu},
        CancelRequest{3},
        CancelResponse{3},
        CancelError{3, ServiceError{ErrorClass::Cancel, error_code::cancel::CancelNotPossible, {}, {}}},
        InitiateError{ServiceError{ErrorClass::Initiate, error_code::initiate::VersionIncompatible, {}, {}}},
        ConcludeError{ServiceError{ErrorClass::Conclude, error_code::conclude::FurtherCommunicationRequired, {}, {}}},
        ConfirmedRequest{1, StatusRequest{true}},
        ConfirmedResponse{1, StatusResponse{0, 1}},
        ConfirmedRequest{2, GetNameListRequest{ObjectClass::NamedVariableList, GetNameListRequest::Scope::Association,
                                               {}, "x"}},
        ConfirmedRequest{3, DefineNamedVariableListRequest{ObjectName::association("@ds"),
                                                           {VariableSpec{ObjectName::inDomain("D", "A$B"), {}},
                                                            VariableSpec{ObjectName::vmd("V"), fromHex("800101")}}}},
        ConfirmedResponse{3, DefineNamedVariableListResponse{}},
        ConfirmedRequest{4, DeleteNamedVariableListRequest{DeleteNamedVariableListRequest::Scope::Domain, {}, "D"}},
        ConfirmedRequest{4, DeleteNamedVariableListRequest{DeleteNamedVariableListRequest::Scope::Specific,
                                                           {ObjectName::inDomain("D", "L")}, {}}},
        ConfirmedResponse{4, DeleteNamedVariableListResponse{1, 0}},
        ConfirmedRequest{5, WriteRequest{VariableAccessSpec::list(ObjectName::vmd("L")),
                                         {Value::integer(1), Value::visibleString("v")}}},
        ConfirmedResponse{6, ReadResponse{std::nullopt, {Value::error(DataAccessError::ObjectNonExistent),
                                                         Value::structure({Value::boolean(true)})}}},
        ConfirmedRequest{7, GetVariableAccessAttributesRequest{ObjectName::vmd("x")}},
        ConfirmedResponse{7, GetVariableAccessAttributesResponse{
                                 true, TypeDescription::array(4, TypeDescription::structure({TypeDescription::utcTime().named("t")}))}},
    };
    for (const Pdu& p : pdus) {
        const Bytes bytes = encodePdu(p);
        Pdu back;
        ASSERT_EQ(decodePdu(bytes, back), Status::Ok) << toHex(bytes);
        EXPECT_EQ(back, p) << toHex(bytes);
    }
    EXPECT_EQ(toHex(encodePdu(ConfirmedError{7, fileDenied})), "a20a800107a205a0038b0106");
}

TEST(Pdu, UnknownServiceStillYieldsTheInvokeId)
{
    // confirmed-RequestPDU, invoke ID 0x1234, service [60] with some content.
    const Bytes b = fromHex("a00a02021234bf3c03800101");
    const Pdu p = decodeOk(b);
    const auto& req = std::get<ConfirmedRequest>(p);
    EXPECT_EQ(req.invokeId, 0x1234u);
    EXPECT_EQ(serviceTag(req.service), 60u);
    EXPECT_EQ(toHex(encodePdu(p)), toHex(b));

    // A known service with a malformed body fails, but the invoke ID can still be found.
    const Bytes bad = fromHex("a00702020102a401ff");
    Pdu out;
    EXPECT_NE(decodePdu(bad, out), Status::Ok);
    EXPECT_EQ(peekInvokeId(bad), 0x0102u);
    EXPECT_EQ(peekInvokeId(fromHex("a1050201018200")), std::nullopt);
    EXPECT_EQ(peekInvokeId(fromHex("a003")), std::nullopt);
}

TEST(Pdu, RejectsMalformedPdus)
{
    const Bytes read = capture("04-read-float-and-node", 'c')[1];
    auto expectFailure = [](const Bytes& b) {
        Pdu out = ConcludeRequest{};
        EXPECT_NE(decodePdu(b, out), Status::Ok) << toHex(b);
        EXPECT_TRUE(std::holds_alternative<ConcludeRequest>(out));  // left untouched
    };
    // Every truncation of a request.
    for (std::size_t n = 0; n < read.size(); ++n)
        expectFailure(Bytes(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(n)));
    // Trailing octets after the PDU.
    Bytes longer = read;
    longer.push_back(0);
    expectFailure(longer);
    // Unknown PDU tag, universal tag, primitive confirmed request.
    expectFailure(fromHex("ae00"));
    expectFailure(fromHex("3000"));
    expectFailure(fromHex("8000"));
    // Inner lengths that lie: each length octet of the read grown by one.
    for (std::size_t i : {1u, 6u, 8u, 10u, 12u, 14u, 16u, 18u, 37u}) {
        Bytes b = read;
        b[i] = static_cast<std::uint8_t>(b[i] + 1);
        expectFailure(b);
    }
    // Invoke ID wider than 32 bits, modifiers, identify with content.
    expectFailure(fromHex("a00802050100000000" "8200"));
    expectFailure(fromHex("a007020101300082" "00"));
    expectFailure(fromHex("a00602010182010" "0"));
    // Reject reason out of range, conclude with content.
    expectFailure(fromHex("a403810101" "00"));
    expectFailure(fromHex("a4038c0101"));
    expectFailure(fromHex("8b0100"));
}

TEST(Pdu, LimitsOnDepthAndListLength)
{
    Value deep = Value::integer(0);
    for (int i = 0; i < 40; ++i)
        deep = Value::structure({std::move(deep)});
    const Bytes write = encodePdu(ConfirmedRequest{1, WriteRequest{VariableAccessSpec::single(ObjectName::vmd("x")), {deep}}});
    Pdu out;
    EXPECT_EQ(decodePdu(write, out), Status::TooDeep);
    EXPECT_EQ(decodePdu(write, out, DecodeLimits{64, 100}), Status::Ok);

    GetNameListResponse many;
    many.identifiers.assign(50, "name");
    const Bytes list = encodePdu(ConfirmedResponse{1, many});
    EXPECT_EQ(decodePdu(list, out, DecodeLimits{kMaxDataDepth, 49}), Status::BadLength);
    EXPECT_EQ(decodePdu(list, out, DecodeLimits{kMaxDataDepth, 50}), Status::Ok);

    const Bytes longName = encodePdu(ConfirmedRequest{1, GetVariableAccessAttributesRequest{ObjectName::vmd(std::string(256, 'a'))}});
    EXPECT_EQ(decodePdu(longName, out), Status::BadValue);
}

TEST(Pdu, MutatedCapturesNeverCrash)
{
    std::mt19937 rng(8650);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const Bytes& original : everyCapturedPdu()) {
        if (original.size() > 2000)
            continue;
        for (std::size_t i = 0; i < original.size(); ++i) {
            Bytes b = original;
            b[i] = static_cast<std::uint8_t>(byte(rng));
            Pdu p;
            if (decodePdu(b, p) == Status::Ok) {
                Pdu again;
                EXPECT_EQ(decodePdu(encodePdu(p), again), Status::Ok);
            }
        }
    }
    for (int i = 0; i < 5000; ++i) {
        Bytes b(static_cast<std::size_t>(byte(rng) % 48));
        for (auto& x : b)
            x = static_cast<std::uint8_t>(byte(rng));
        if (!b.empty())
            b[0] = static_cast<std::uint8_t>(0xa0 + byte(rng) % 14);
        Pdu p;
        (void)decodePdu(b, p);
    }
}
