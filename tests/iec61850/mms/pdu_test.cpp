#include "iec61850/mms/pdu.hpp"
#include "value_generator.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>


using namespace iec61850;
using namespace iec61850::mms;
using test_support::fromHex;
using test_support::toHex;

namespace {

struct Captured {
    const std::vector<Bytes>& client;
    const std::vector<Bytes>& server;
};

Captured capture(std::string_view name)
{
    const auto& c = test_support::capture(name);
    return {c.clientPdus(), c.serverPdus()};
}

// Every MMS PDU of every reference capture, both directions.
std::vector<Bytes> everyCapturedPdu()
{
    std::vector<Bytes> all;
    for (const auto& name : test_support::captureNames())
        for (const auto* side : {&capture(name).client, &capture(name).server})
            all.insert(all.end(), side->begin(), side->end());
    return all;
}

Pdu decodeOk(const Bytes& b)
{
    Pdu p;
    EXPECT_EQ(decodePdu(b, p), Status::Ok) << toHex(b).substr(0, 80);
    return p;
}

// By value: the decoded PDU is a temporary in most calls.
template <typename Service>
Service requestService(const Bytes& b)
{
    return std::get<Service>(std::get<ConfirmedRequest>(decodeOk(b)).service);
}

template <typename Service>
Service responseService(const Bytes& b)
{
    return std::get<Service>(std::get<ConfirmedResponse>(decodeOk(b)).service);
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

TEST(Pdu, InitiateIdentifyAndConcludeFromCapture)
{
    const Captured c = capture("01-associate-identify");
    const InitiateParameters p = std::get<InitiateRequest>(decodeOk(c.client[0])).params;
    EXPECT_EQ(p.localDetail, 65000);
    EXPECT_EQ(p.dataStructureNestingLevel, 10);
    EXPECT_EQ(toHex(p.parameterCbb), "f100");

    const Value services = Value::bitString(std::get<InitiateResponse>(decodeOk(c.server[0])).params.servicesSupported, 85);
    namespace ss = services_supported;
    for (std::uint32_t bit : {ss::GetNameList, ss::Read, ss::Write, ss::InformationReport, ss::FileOpen, ss::Cancel})
        EXPECT_TRUE(services.getBit(bit)) << bit;
    EXPECT_FALSE(services.getBit(ss::FileRename));

    EXPECT_EQ(std::get<ConfirmedRequest>(decodeOk(c.client[1])).invokeId, 1u);
    EXPECT_EQ(responseService<IdentifyResponse>(c.server[1]).revision, "1.5.3");
    EXPECT_TRUE(std::holds_alternative<ConcludeRequest>(decodeOk(c.client[2])));
    EXPECT_TRUE(std::holds_alternative<ConcludeResponse>(decodeOk(c.server[2])));
}

TEST(Pdu, GetNameListWithContinuation)
{
    const Captured c = capture("02-getnamelist-domains-and-variables");
    const auto domains = requestService<GetNameListRequest>(c.client[1]);
    EXPECT_EQ(domains.objectClass, ObjectClass::Domain);
    EXPECT_EQ(domains.scope, GetNameListRequest::Scope::Vmd);
    EXPECT_EQ(responseService<GetNameListResponse>(c.server[1]).identifiers,
              (std::vector<std::string>{"FNN_STEUERBOXCLS1", "FNN_STEUERBOXCLS2", "FNN_STEUERBOXSTB"}));

    const auto first = requestService<GetNameListRequest>(c.client[2]);
    EXPECT_EQ(first.objectClass, ObjectClass::NamedVariable);
    EXPECT_EQ(first.domain, "FNN_STEUERBOXSTB");
    EXPECT_FALSE(first.continueAfter);
    const auto part1 = responseService<GetNameListResponse>(c.server[2]);
    EXPECT_TRUE(part1.moreFollows);  // absent: DEFAULT TRUE
    EXPECT_EQ(requestService<GetNameListRequest>(c.client[3]).continueAfter, part1.identifiers.back());
    const auto part2 = responseService<GetNameListResponse>(c.server[3]);
    EXPECT_FALSE(part2.moreFollows);
    EXPECT_EQ(part1.identifiers.size() + part2.identifiers.size(), 665u);
}

TEST(Pdu, ReadsWritesAndReportsFromCapture)
{
    const Captured reads = capture("04-read-float-and-node");
    const auto req = requestService<ReadRequest>(reads.client[1]);
    EXPECT_FALSE(req.specificationWithResult);
    ASSERT_EQ(req.access.variables.size(), 1u);
    EXPECT_EQ(req.access.variables[0].name, ObjectName::inDomain("FNN_STEUERBOXCLS1", "MMXU001$MX$TotW$mag$f"));
    EXPECT_EQ(responseService<ReadResponse>(reads.server[1]).results, std::vector<Value>{Value::float32(0)});
    EXPECT_EQ(responseService<ReadResponse>(reads.server[2]).results.at(0).size(), 320u);
    // The server's way: the request as views into its bytes, the response
    // written around results encoded in place; the same bytes.
    ReadRequestView view;
    ASSERT_EQ(decodeReadRequest(reads.client[1], view), Status::Ok);
    ASSERT_EQ(view.variables.size(), 1u);
    EXPECT_EQ(view.variables[0].name.owned(), req.access.variables[0].name);
    const auto* bytes = reinterpret_cast<const char*>(reads.client[1].data());
    EXPECT_TRUE(view.variables[0].name.item.data() > bytes &&
                view.variables[0].name.item.data() < bytes + reads.client[1].size());  // a view, not a copy
    ber::Writer w;
    ReadResponseWriter response(w, 1, {});
    Value::float32(0).encode(w);
    response.close();
    EXPECT_EQ(toHex(w.bytes()), toHex(reads.server[1]));

    const Captured writes = capture("05-write-schedule-settings");
    EXPECT_EQ(requestService<WriteRequest>(writes.client[1]).data, std::vector<Value>{Value::float32(12.5f)});
    EXPECT_EQ(requestService<WriteRequest>(writes.client[2]).data.at(0).utcMs(), 1798761600000ull);
    EXPECT_EQ(responseService<WriteResponse>(writes.server[1]).results, std::vector<WriteResult>{WriteResult{}});
    EXPECT_EQ(toHex(encodePdu(ConfirmedResponse{9, WriteResponse{{WriteResult{DataAccessError::ObjectAccessDenied},
                                                                   WriteResult{}}}})),
              "a10a020109a5058001038100");

    const Bytes& reportPdu = capture("07-report-gi-cls1").server[4];
    const Pdu p = decodeOk(reportPdu);
    const InformationReport& r = std::get<UnconfirmedPdu>(p).report;
    EXPECT_EQ(r.access.listName, ObjectName::vmd("RPT"));
    EXPECT_EQ(r.results.at(0).string(), "CLS1/report01");
    std::vector<const Value*> refs;
    for (const Value& v : r.results)
        refs.push_back(&v);
    ber::Writer rw;
    encodeInformationReport(rw, r.access, refs);
    EXPECT_EQ(toHex(rw.bytes()), toHex(reportPdu));

    const Captured dataSet = capture("08-dataset-attributes-and-read");
    const auto attrReq = requestService<GetNamedVariableListAttributesRequest>(dataSet.client[1]);
    EXPECT_EQ(responseService<GetNamedVariableListAttributesResponse>(dataSet.server[1]).variables.size(), 63u);
    const auto listRead = requestService<ReadRequest>(dataSet.client[2]);
    EXPECT_TRUE(listRead.specificationWithResult);
    EXPECT_EQ(listRead.access, VariableAccessSpec::list(attrReq.name));
    EXPECT_EQ(responseService<ReadResponse>(dataSet.server[2]).results.size(), 63u);
}

TEST(Pdu, FileAndJournalServicesAreKeptAsUnrecognized)
{
    const Captured files = capture("09-file-services");
    const std::uint32_t expected[] = {service_tag::FileDirectory, service_tag::FileOpen, service_tag::FileRead,
                                      service_tag::FileClose, service_tag::FileDelete, service_tag::FileDelete,
                                      service_tag::FileRename};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const Pdu p = decodeOk(files.client[1 + i]);
        const auto& req = std::get<ConfirmedRequest>(p);
        EXPECT_EQ(req.invokeId, i + 1);
        EXPECT_EQ(serviceTag(req.service), expected[i]);
        EXPECT_TRUE(std::holds_alternative<UnrecognizedService>(req.service));
    }
    EXPECT_EQ(std::get<RejectPdu>(decodeOk(files.server[7])),
              (RejectPdu{7, RejectClass::ConfirmedRequest, reject_code::confirmed_request::UnrecognizedService}));

    const Captured journal = capture("10-journal-read");
    for (std::size_t i : {1u, 2u}) {
        EXPECT_EQ(serviceTag(std::get<ConfirmedRequest>(decodeOk(journal.client[i])).service), service_tag::ReadJournal);
        EXPECT_EQ(serviceTag(std::get<ConfirmedResponse>(decodeOk(journal.server[i])).service), service_tag::ReadJournal);
    }
}

// PDUs not in the captures: tests/data/codec/round_trips.txt; here one carrying every generated value.
TEST(Pdu, AWriteOfEveryGeneratedValueRoundTrips)
{
    const Pdu write = ConfirmedRequest{5, WriteRequest{VariableAccessSpec::list(ObjectName::vmd("L")), value_generator::scalars()}};
    const Bytes bytes = encodePdu(write);
    Pdu back;
    ASSERT_EQ(decodePdu(bytes, back), Status::Ok);
    EXPECT_EQ(encodePdu(back), bytes);
    EXPECT_EQ(std::get<WriteRequest>(std::get<ConfirmedRequest>(back).service).data.size(), value_generator::scalars().size());
}

TEST(Pdu, UnknownOrBrokenServicesStillYieldTheInvokeId)
{
    // confirmed-RequestPDU, invoke ID 0x1234, service [60] with some content.
    const Bytes b = fromHex("a00a02021234bf3c03800101");
    const Pdu p = decodeOk(b);
    EXPECT_EQ(std::get<ConfirmedRequest>(p).invokeId, 0x1234u);
    EXPECT_EQ(serviceTag(std::get<ConfirmedRequest>(p).service), 60u);
    EXPECT_EQ(toHex(encodePdu(p)), toHex(b));

    EXPECT_EQ(peekInvokeId(fromHex("a00702020102a401ff")), 0x0102u);  // a known service with a malformed body
    EXPECT_EQ(peekInvokeId(fromHex("a1050201018200")), std::nullopt);
    EXPECT_EQ(peekInvokeId(fromHex("a003")), std::nullopt);
}

TEST(Pdu, RejectsMalformedPdusAndLeavesTheOutputAlone)
{
    const Bytes read = capture("04-read-float-and-node").client[1];
    std::vector<Bytes> bad;
    for (std::size_t n = 0; n < read.size(); ++n)  // every truncation
        bad.emplace_back(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(n));
    bad.push_back(test_support::concat({read, fromHex("00")}));  // trailing octet
    for (std::size_t i : {1u, 6u, 8u, 10u, 12u, 14u, 16u, 18u, 37u}) {  // each inner length grown by one
        bad.push_back(read);
        ++bad.back()[i];
    }
    for (const Bytes& b : bad) {
        Pdu out = ConcludeRequest{};
        EXPECT_NE(decodePdu(b, out), Status::Ok) << toHex(b);
        EXPECT_TRUE(std::holds_alternative<ConcludeRequest>(out)) << toHex(b);
    }
}

TEST(Pdu, LimitsOnDepthListLengthAndNames)
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

    const Bytes longName =
        encodePdu(ConfirmedRequest{1, GetVariableAccessAttributesRequest{ObjectName::vmd(std::string(256, 'a'))}});
    EXPECT_EQ(decodePdu(longName, out), Status::BadValue);
}
