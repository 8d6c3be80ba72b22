// The client's requests, byte for byte as the reference client sent them in
// the captures (02, 04, 05, 08 under /work/shared/wire).
#include "scripted_peer.hpp"

#include <gtest/gtest.h>

namespace client_test {
namespace {

using client::MmsConnection;
using mms::Value;

constexpr const char* kStb = "FNN_STEUERBOXSTB";
constexpr const char* kCls1 = "FNN_STEUERBOXCLS1";

Bytes hex(std::string_view text)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

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

TEST(RequestBytes, GetNameListWithContinuationAsCaptured)
{
    ScriptedPeer peer(plausibleAnswer);
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    ASSERT_TRUE(c.domainNames().ok());
    auto names = c.variableNames(kStb);
    ASSERT_TRUE(names.ok()) << names.error().describe();
    EXPECT_EQ(names->size(), 3u);
    const std::vector<Bytes> expected{
        hex("a00e020101a109a003800109a1028000"),
        hex("a01e020102a119a003800100a1128110464e4e5f535445554552424f58535442"),
        hex("a040020103a13ba003800100a1128110464e4e5f535445554552424f5853544282204c4c4e30245250247265706f72"
            "74436f6e74726f6c3031303124527074456e61"),
    };
    EXPECT_EQ(peer.received(), expected);
}

TEST(RequestBytes, ReadsAsCaptured)
{
    ScriptedPeer peer(plausibleAnswer);
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    ASSERT_TRUE(c.read(kCls1, "MMXU001$MX$TotW$mag$f").ok());
    ASSERT_TRUE(c.read(kCls1, "EmpSPrg_FSCH020101$SP").ok());
    const std::vector<Bytes> expected{
        hex("a039020101a434a132a030302ea02ca12a1a11464e4e5f535445554552424f58434c53311a154d4d5855303031244d"
            "5824546f7457246d61672466"),
        hex("a039020102a434a132a030302ea02ca12a1a11464e4e5f535445554552424f58434c53311a15456d70535072675f46"
            "534348303230313031245350"),
    };
    EXPECT_EQ(peer.received(), expected);
}

TEST(RequestBytes, WritesAsCaptured)
{
    ScriptedPeer peer(plausibleAnswer);
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    ASSERT_TRUE(c.write(kCls1, "EmpSPrg_FSCH020001$SP$ValASG005$setMag$f", Value::float32(12.5f)).ok());
    const Bytes time = hex("6b36ec800000000a");  // 2027-01-01T00:00:00Z, quality 0x0a
    ASSERT_TRUE(c.write(kCls1, "EmpSPrg_FSCH020001$SP$StrTm02$setTm", Value::utcTime(time)).ok());
    const std::vector<Bytes> expected{
        hex("a053020101a54ea0433041a03fa13d1a11464e4e5f535445554552424f58434c53311a28456d70535072675f46534348"
            "3032303030312453502456616c415347303035247365744d61672466a00787050841480000"),
        hex("a051020102a54ca03e303ca03aa1381a11464e4e5f535445554552424f58434c53311a23456d70535072675f46534348"
            "30323030303124535024537472546d303224736574546da00a91086b36ec800000000a"),
    };
    EXPECT_EQ(peer.received(), expected);
}

TEST(RequestBytes, DataSetRequestsAsCaptured)
{
    ScriptedPeer peer(plausibleAnswer);
    MmsConnection c;
    ASSERT_TRUE(c.connect(peer.options()).ok());
    ASSERT_TRUE(c.variableListAttributes(kCls1, "LLN0$dataset01").ok());
    ASSERT_TRUE(c.readList(kCls1, "LLN0$dataset01").ok());
    const std::vector<Bytes> expected{
        hex("a02a020101ac25a1231a11464e4e5f535445554552424f58434c53311a0e4c4c4e3024646174617365743031"),
        hex("a031020102a42c800101a127a125a1231a11464e4e5f535445554552424f58434c53311a0e4c4c4e3024646174617365"
            "743031"),
    };
    EXPECT_EQ(peer.received(), expected);
}

}  // namespace
}  // namespace client_test
