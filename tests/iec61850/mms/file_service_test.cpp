#include "iec61850/mms/file_service.hpp"

#include "capture.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace iec61850;
using namespace iec61850::mms;
using test_support::fromHex;
using test_support::toHex;

namespace {

struct Exchange {
    ExtraRequest request;
    ExtraResponse response;
};

const UnrecognizedService& serviceOf(const Pdu& p)
{
    if (const auto* req = std::get_if<ConfirmedRequest>(&p))
        return std::get<UnrecognizedService>(req->service);
    return std::get<UnrecognizedService>(std::get<ConfirmedResponse>(p).service);
}

// Decodes request i and response i of a capture and checks both re-encode identically.
Exchange captured(std::string_view capture, std::size_t i)
{
    const auto& c = test_support::capture(capture).clientPdus();
    const auto& s = test_support::capture(capture).serverPdus();
    Exchange x;
    Pdu req, rsp;
    EXPECT_EQ(decodePdu(c.at(i), req), Status::Ok);
    EXPECT_EQ(decodePdu(s.at(i), rsp), Status::Ok);
    const UnrecognizedService& rq = serviceOf(req);
    const UnrecognizedService& rs = serviceOf(rsp);
    EXPECT_EQ(decodeExtraRequest(rq, x.request), Status::Ok) << toHex(rq.encoded);
    EXPECT_EQ(decodeExtraResponse(rs, x.response), Status::Ok) << toHex(rs.encoded);
    EXPECT_EQ(encodeExtra(x.request), rq);
    EXPECT_EQ(encodeExtra(x.response), rs);
    return x;
}

}  // namespace

TEST(FileService, CapturedFileExchanges)
{
    const std::string_view cap = "09-file-services";
    const Exchange dir = captured(cap, 1);
    EXPECT_EQ(std::get<FileDirectoryRequest>(dir.request), FileDirectoryRequest{});
    const auto& listing = std::get<FileDirectoryResponse>(dir.response);
    ASSERT_EQ(listing.entries.size(), 3u);
    EXPECT_EQ(listing.entries[1].attributes, (FileAttributes{34, "20261206080718.000Z"}));

    const Exchange open = captured(cap, 2);
    EXPECT_EQ(std::get<FileOpenRequest>(open.request), (FileOpenRequest{"schedule.txt", 0}));
    EXPECT_EQ(std::get<FileOpenResponse>(open.response).attributes.size, 34u);

    const Exchange read = captured(cap, 3);
    EXPECT_EQ(std::get<FileReadRequest>(read.request).frsmId, 0);
    EXPECT_EQ(std::get<FileReadResponse>(read.response).data.size(), 34u);

    const Exchange close = captured(cap, 4);
    EXPECT_EQ(std::get<FileDoneResponse>(close.response).service, service_tag::FileClose);
    const Exchange del = captured(cap, 5);
    EXPECT_EQ(std::get<FileDeleteRequest>(del.request).fileName, "old.log");
    EXPECT_EQ(std::get<FileDeleteRequest>(captured(cap, 6).request).fileName, "IEDSERVER.BIN");
}

TEST(FileService, CapturedJournalReads)
{
    const Exchange after = captured("10-journal-read", 1);
    const auto& req = std::get<ReadJournalRequest>(after.request);
    EXPECT_EQ(req.journal, ObjectName::inDomain("FNN_STEUERBOXSTB", "LLN0$logSTB"));
    EXPECT_EQ(req.startAfterTime->binaryTimeMs(), 441763200000ull);  // 1984-01-01
    EXPECT_TRUE(std::get<ReadJournalResponse>(after.response).entries.empty());

    const Exchange range = captured("10-journal-read", 2);
    const auto& ranged = std::get<ReadJournalRequest>(range.request);
    ASSERT_TRUE(ranged.startingTime && ranged.endingTime);
    EXPECT_LT(ranged.startingTime->binaryTimeMs(), ranged.endingTime->binaryTimeMs());
}

// More round trips: tests/data/codec/round_trips.txt.
TEST(FileService, TheCapturedRenameRequest)
{
    // The rename request as captured (it was answered with a reject).
    const Bytes rename = fromHex("bf4b1fa00e190c7363686564756c652e747874a10d190b72656e616d65642e747874");
    ExtraRequest r;
    ASSERT_EQ(decodeExtraRequest(UnrecognizedService{service_tag::FileRename, rename}, r), Status::Ok);
    EXPECT_EQ(std::get<FileRenameRequest>(r), (FileRenameRequest{"schedule.txt", "renamed.txt"}));
    EXPECT_EQ(encodeExtra(r).encoded, rename);
}

// Bad input: tests/data/codec/bad_input.txt.
TEST(FileService, MutatedResponsesNeverCrash)
{
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> byte(0, 255);
    const Bytes seed = encodeExtra(ExtraResponse{FileDirectoryResponse{{DirectoryEntry{"f", {1, "t"}}}, true}}).encoded;
    for (int i = 0; i < 5000; ++i) {
        Bytes b = seed;
        b[static_cast<std::size_t>(byte(rng)) % b.size()] = static_cast<std::uint8_t>(byte(rng));
        ExtraResponse out;
        (void)decodeExtraResponse(UnrecognizedService{service_tag::FileDirectory, b}, out);
    }
}
