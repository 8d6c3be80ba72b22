// The client's requests, byte for byte as the reference client sent them in
// the captures 02, 04, 05 and 08.
#include "capture.hpp"
#include "scripted_peer.hpp"

#include <gtest/gtest.h>

namespace client_test {
namespace {

using client::MmsConnection;
using mms::Value;

constexpr const char* kStb = "FNN_STEUERBOXSTB";
constexpr const char* kCls1 = "FNN_STEUERBOXCLS1";

// Answers every request with a success of the right service.
Reply plausibleAnswer(const mms::ConfirmedRequest& r)
{
    return std::visit(
        [&r](const auto& s) -> Reply {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, mms::GetNameListRequest>) {
                if (s.objectClass == mms::ObjectClass::Domain)
                    return {{respond(r.invokeId, mms::GetNameListResponse{{kStb}, false})}};
                if (!s.continueAfter)
                    return {{respond(r.invokeId,
                                     mms::GetNameListResponse{{"LLN0", "LLN0$RP$reportControl0101$RptEna"}, true})}};
                return {{respond(r.invokeId, mms::GetNameListResponse{{"LLN0$ST"}, false})}};
            } else if constexpr (std::is_same_v<T, mms::ReadRequest>) {
                return {{respond(r.invokeId, mms::ReadResponse{std::nullopt, {Value::float32(0)}})}};
            } else if constexpr (std::is_same_v<T, mms::WriteRequest>) {
                return {{respond(r.invokeId, mms::WriteResponse{{mms::WriteResult{}}})}};
            } else if constexpr (std::is_same_v<T, mms::GetNamedVariableListAttributesRequest>) {
                return {{respond(r.invokeId, mms::GetNamedVariableListAttributesResponse{})}};
            } else {
                return {};
            }
        },
        r.service);
}

// The captured client's requests between its initiate and its conclude.
std::vector<Bytes> capturedRequests(std::string_view name)
{
    const auto& pdus = test_support::capture(name).clientPdus();
    return {pdus.begin() + 1, pdus.end() - 1};
}

TEST(RequestBytes, AsCaptured)
{
    const Value time = Value::utcTime(test_support::fromHex("6b36ec800000000a"));  // 2027-01-01T00:00:00Z
    const struct {
        const char* capture;
        std::function<bool(MmsConnection&)> requests;
    } cases[] = {
        {"02-getnamelist-domains-and-variables",
         [](MmsConnection& c) {
             if (!c.domainNames().ok())
                 return false;
             const auto names = c.variableNames(kStb);  // two requests: the second continues after the first part
             return names.ok() && names->size() == 3;
         }},
        {"04-read-float-and-node",
         [](MmsConnection& c) {
             return c.read(kCls1, "MMXU001$MX$TotW$mag$f").ok() && c.read(kCls1, "EmpSPrg_FSCH020101$SP").ok();
         }},
        {"05-write-schedule-settings",
         [&](MmsConnection& c) {
             return c.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(12.5f)).ok() &&
                    c.write(kCls1, "EmpSPrg_FSCH020001$SP$StrTm02$setTm", time).ok();
         }},
        {"08-dataset-attributes-and-read",
         [](MmsConnection& c) {
             return c.variableListAttributes(kCls1, "LLN0$dataset01").ok() && c.readList(kCls1, "LLN0$dataset01").ok();
         }},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.capture);
        ScriptedPeer peer(plausibleAnswer);
        MmsConnection c;
        ASSERT_TRUE(c.connect(peer.options()).ok());
        EXPECT_TRUE(test.requests(c));
        EXPECT_EQ(peer.received(), capturedRequests(test.capture));
    }
}

}  // namespace
}  // namespace client_test
