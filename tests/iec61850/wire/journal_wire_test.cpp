// The ReadJournal PDUs on the wire, checked by tshark: our answers to the
// reference client of capture 10 (with entries this time), and a session of
// requests by range and after an entry, paged at a small PDU size.
#include "iec61850/iso/association.hpp"
#include "iec61850/mms/file_service.hpp"
#include "iec61850/server/memory_model.hpp"
#include "iec61850/server/server_connection.hpp"
#include "tshark.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace test_support;

namespace {

const std::vector<std::string> kFields = {
    "mms.confirmedServiceRequest", "mms.confirmedServiceResponse", "mms.confirmed_ErrorPDU_element",
    "mms.rejectPDU_element",       "mms.moreFollows",              "acse.rlre_element",
    "tcp.analysis.flags",
};

constexpr std::uint64_t k1984 = 441763200000ull;
constexpr std::uint64_t kNow = 1796544443992ull;

// One journal, LLN0$logSTB of FNN_STEUERBOXSTB, with entries of several
// value kinds and a reason code each.
class JournalModel : public server::InMemoryModel {
public:
    std::vector<mms::JournalEntry> entries;

    explicit JournalModel(std::size_t n)
    {
        for (std::size_t i = 1; i <= n; ++i) {
            mms::JournalEntry e;
            e.entryId = Bytes{0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(i)};
            e.occurrenceTime = mms::Value::binaryTimeMs(kNow + i * 1000);
            mms::Value value = i % 3 == 0   ? mms::Value::float32(0.5f * static_cast<float>(i))
                               : i % 3 == 1 ? mms::Value::integer(static_cast<std::int64_t>(i))
                                            : mms::Value::structure({mms::Value::boolean(true),
                                                                     mms::Value::bitString(13),
                                                                     mms::Value::utcTimeMs(kNow)});
            e.variables.push_back({"FNN_STEUERBOXSTB/LLN0$ST$Beh$stVal", value});
            mms::Value reason = mms::Value::bitString(7);
            reason.setBit(1 + i % 3, true);
            e.variables.push_back({"ReasonCode", reason});
            entries.push_back(std::move(e));
        }
    }

    bool readJournal(const server::ClientContext&, std::string_view domain, std::string_view journal,
                     const mms::ReadJournalRequest& r, std::size_t maxEntries,
                     std::vector<mms::JournalEntry>& out) override
    {
        if (domain != "FNN_STEUERBOXSTB" || journal != "LLN0$logSTB")
            return false;
        bool started = !r.startAfterEntry || *r.startAfterEntry == Bytes(8, 0);
        for (const mms::JournalEntry& e : entries) {
            const std::uint64_t t = e.occurrenceTime.binaryTimeMs();
            if (!started) {
                started = e.entryId == *r.startAfterEntry;
                continue;
            }
            if ((r.startingTime && t < r.startingTime->binaryTimeMs()) ||
                (r.endingTime && t > r.endingTime->binaryTimeMs()) || out.size() == maxEntries)
                continue;
            out.push_back(e);
        }
        return true;
    }
};

void expectClean(const Decode& d)
{
    ASSERT_TRUE(d.ran) << d.error;
    EXPECT_TRUE(d.problems.empty()) << d.summary();
    EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
    EXPECT_EQ(d.count("mms.rejectPDU_element"), 0u) << d.summary();
}

}  // namespace

TEST(JournalWire, AnswersWithEntriesToCapture10DecodeCleanly)
{
    if (!tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    JournalModel model(5);
    server::ServerConnection connection(model, server::ServerConfig{});
    Transcript t;
    for (const Chunk& c : capture("10-journal-read").transcript().chunks()) {
        if (c.direction != Direction::ToServer || connection.closed())
            continue;
        t.toServer(c.data);
        connection.receive(c.data);
        t.toClient(std::exchange(connection.output(), {}));
    }
    const Decode d = decodeTranscript("server-10-journal-read.pcap", t, kFields);
    expectClean(d);
    EXPECT_EQ(d.count("mms.confirmedServiceResponse", "65"), 2u) << d.summary();
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
}

TEST(JournalWire, PagedRangeAndAfterEntryRequestsDecodeCleanly)
{
    if (!tsharkAvailable())
        GTEST_SKIP() << "tshark not installed";
    JournalModel model(40);
    server::ServerConnection server(model, server::ServerConfig{});
    std::vector<mms::Pdu> fromServer;
    iso::ClientAssociation client({
        .onAssociated = [](ByteView) {},
        .onRefused = [](ByteView) {},
        .onData =
            [&](ByteView pdu) {
                fromServer.emplace_back();
                EXPECT_EQ(mms::decodePdu(pdu, fromServer.back()), ber::Status::Ok);
            },
        .onReleased = [] {},
        .onAborted = [] {},
    });
    Transcript t;
    auto pump = [&] {
        for (int i = 0; i < 100; ++i) {
            Bytes up = std::exchange(client.output(), {});
            Bytes down = std::exchange(server.output(), {});
            if (up.empty() && down.empty())
                return;
            t.toServer(up);
            t.toClient(down);
            if (!up.empty())
                server.receive(up);
            if (!down.empty())
                client.receive(down);
        }
    };
    auto lastAnswer = [&] {
        const auto* r = fromServer.empty() ? nullptr : std::get_if<mms::ConfirmedResponse>(&fromServer.back());
        const auto* raw = r ? std::get_if<mms::UnrecognizedService>(&r->service) : nullptr;
        mms::ExtraResponse extra;
        if (!raw || mms::decodeExtraResponse(*raw, extra) != ber::Status::Ok ||
            !std::holds_alternative<mms::ReadJournalResponse>(extra))
            return mms::ReadJournalResponse{};
        return std::get<mms::ReadJournalResponse>(extra);
    };
    std::uint32_t invokeId = 1;
    auto ask = [&](const mms::ReadJournalRequest& r) {
        client.send(mms::encodePdu(mms::ConfirmedRequest{invokeId++, mms::encodeExtra(mms::ExtraRequest{r})}));
        pump();
        return lastAnswer();
    };

    mms::InitiateRequest initiate;
    initiate.params.localDetail = 400;
    initiate.params.dataStructureNestingLevel = 10;
    initiate.params.parameterCbb = {0xf1, 0x00};
    initiate.params.parameterCbbBits = 11;
    initiate.params.servicesSupported = Bytes(11, 0);
    initiate.params.servicesSupportedBits = 85;
    client.connect(mms::encodePdu(initiate));
    pump();
    ASSERT_TRUE(server.associated());
    ASSERT_EQ(server.maxPduSize(), 400);

    mms::ReadJournalRequest r;
    r.journal = mms::ObjectName::inDomain("FNN_STEUERBOXSTB", "LLN0$logSTB");
    r.startingTime = mms::Value::binaryTimeMs(k1984);
    r.endingTime = mms::Value::binaryTimeMs(kNow + 100000);
    std::size_t received = 0, pages = 0;
    for (mms::ReadJournalResponse page = ask(r); pages < 40; page = ask(r)) {
        ++pages;
        received += page.entries.size();
        if (!page.moreFollows || page.entries.empty())
            break;
        r.startAfterTime = page.entries.back().occurrenceTime;
        r.startAfterEntry = page.entries.back().entryId;
    }
    EXPECT_EQ(received, model.entries.size());
    EXPECT_GT(pages, 2u);

    r.journal.item = "LLN0$none";  // an error answer
    ask(r);
    client.release();
    pump();

    const Decode d = decodeTranscript("server-journal-pages.pcap", t, kFields);
    expectClean(d);
    EXPECT_EQ(d.count("mms.confirmedServiceRequest", "65"), pages + 1) << d.summary();
    EXPECT_EQ(d.count("mms.confirmedServiceResponse", "65"), pages) << d.summary();
    EXPECT_EQ(d.count("mms.confirmed_ErrorPDU_element"), 1u) << d.summary();
    EXPECT_EQ(d.count("mms.moreFollows"), pages - 1) << d.summary();
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
}
