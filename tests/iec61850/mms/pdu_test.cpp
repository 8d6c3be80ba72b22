// MMS PDUs: every PDU of the reference captures decodes and re-encodes
// identically, file and journal services inside them too; the decoder's limits.
// What the server makes of them: the transcripts; more encodings and bad input:
// tests/data/codec.
#include "iec61850/mms/file_service.hpp"
#include "iec61850/mms/pdu.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace iec61850::mms;
using test_support::toHex;

TEST(Pdu, EveryCapturedPduAndTheFileServicesInsideReencodeIdentically)
{
    std::size_t count = 0, extras = 0;
    for (const auto& name : test_support::captureNames())
        for (const auto* side : {&test_support::capture(name).clientPdus(), &test_support::capture(name).serverPdus()})
            for (const Bytes& bytes : *side) {
                ++count;
                Pdu pdu;
                ASSERT_EQ(decodePdu(bytes, pdu), Status::Ok) << toHex(bytes);
                EXPECT_EQ(toHex(encodePdu(pdu)), toHex(bytes));
                const auto* req = std::get_if<ConfirmedRequest>(&pdu);
                const auto* rsp = std::get_if<ConfirmedResponse>(&pdu);
                const auto* service = req   ? std::get_if<UnrecognizedService>(&req->service)
                                      : rsp ? std::get_if<UnrecognizedService>(&rsp->service)
                                            : nullptr;
                ExtraRequest q;
                ExtraResponse r;
                if (service && (req ? decodeExtraRequest(*service, q) : decodeExtraResponse(*service, r)) == Status::Ok) {
                    ++extras;
                    EXPECT_EQ(req ? encodeExtra(q) : encodeExtra(r), *service);
                }
            }
    EXPECT_EQ(count, 111u);
    EXPECT_EQ(extras, 17u);
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
