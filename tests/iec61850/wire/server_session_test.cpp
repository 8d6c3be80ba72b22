// Our client association asking our server for every service it offers,
// file services and ReadJournal included, both sides checked by tshark (the
// reference clients' requests are transcripts under tests/data/transcripts).
#include "iec61850/iso/association.hpp"
#include "iec61850/mms/file_service.hpp"
#include "iec61850/server/server_connection.hpp"
#include "journal_model.hpp"
#include "sample_model.hpp"
#include "temp_dir.hpp"
#include "tshark.hpp"

#include <gtest/gtest.h>

using namespace iec61850;
using namespace test_support;
namespace st = mms::service_tag;

namespace {

const std::vector<std::string> kFields = {
    "acse.result", "acse.rlre_element", "mms.confirmedServiceRequest", "mms.confirmedServiceResponse",
    "mms.confirmed_ErrorPDU_element", "mms.rejectPDU_element", "mms.unconfirmedService",
    "mms.cancel_ErrorPDU_element", "mms.cancel_ResponsePDU", "mms.conclude_ResponsePDU_element",
    "mms.initiate_ResponsePDU_element", "mms.moreFollows", "tcp.analysis.flags",
};

constexpr std::uint64_t kNow = 1796544443992ull;

// The sample model with journal entries of several value kinds.
JournalModel journalModel()
{
    JournalModel model(std::move(*makeSampleModel()));
    model.fill(40, kNow, [](std::size_t i) {
        return i % 3 == 0   ? mms::Value::float32(0.5f * static_cast<float>(i))
               : i % 3 == 1 ? mms::Value::integer(static_cast<std::int64_t>(i))
                            : mms::Value::structure(
                                  {mms::Value::boolean(true), mms::Value::bitString(13), mms::Value::utcTimeMs(kNow)});
    });
    return model;
}

class ServerSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!tsharkAvailable())
            GTEST_SKIP() << "tshark not installed";
        store.setAccessHandler([](const server::ClientContext&, server::FileService service, std::string_view name,
                                  std::string_view) -> std::optional<mms::ServiceError> {
            if (service == server::FileService::Rename ||
                (service == server::FileService::Delete && name == "IEDSERVER.BIN"))
                return server::fileError(mms::error_code::file::FileAccessDenied);
            return std::nullopt;
        });
        connection.setFileStore(&store);
    }

    static void expectClean(const Decode& d)
    {
        ASSERT_TRUE(d.ran) << d.error;
        EXPECT_TRUE(d.problems.empty()) << d.summary();
        EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
    }

    TempDir dir;
    server::FileStore store{dir.path.string()};
    JournalModel model = journalModel();
    server::ServerConnection connection{model, server::ServerConfig{}};
};

// Our client association against the ServerConnection in memory, recorded.
struct RecordedSession {
    explicit RecordedSession(server::ServerConnection& s) : server(s) {}

    server::ServerConnection& server;
    std::vector<mms::Pdu> answers;
    Transcript transcript;
    std::uint32_t invokeId = 0;
    iso::ClientAssociation client{{
        .onAssociated = [](ByteView) {},
        .onRefused = [](ByteView) {},
        .onData =
            [this](ByteView pdu) {
                answers.emplace_back();
                EXPECT_EQ(mms::decodePdu(pdu, answers.back()), ber::Status::Ok);
            },
        .onReleased = [] {},
        .onAborted = [] {},
    }};

    void pump()
    {
        for (int i = 0; i < 100; ++i) {
            Bytes up = client.output().take();
            Bytes down = server.output().take();
            if (up.empty() && down.empty())
                return;
            transcript.toServer(up);
            transcript.toClient(down);
            if (!up.empty())
                server.receive(up);
            if (!down.empty())
                client.receive(down);
        }
    }
    void associate(std::int32_t pduSize)
    {
        mms::InitiateRequest initiate;
        initiate.params.localDetail = pduSize;
        initiate.params.dataStructureNestingLevel = 10;
        initiate.params.parameterCbb = {0xf1, 0x00};
        initiate.params.parameterCbbBits = 11;
        initiate.params.servicesSupported = Bytes(11, 0);
        initiate.params.servicesSupportedBits = 85;
        client.connect(mms::encodePdu(initiate));
        pump();
    }
    void send(const mms::Pdu& pdu) { send(mms::encodePdu(pdu)); }
    void send(const Bytes& pdu)
    {
        client.send(pdu);
        pump();
    }
    void ask(mms::ConfirmedRequestService s) { send(mms::ConfirmedRequest{++invokeId, std::move(s)}); }
    void ask(const mms::ExtraRequest& r) { ask(mms::encodeExtra(r)); }

    // The last answer as a file or journal service response, if it is one.
    template <typename T>
    std::optional<T> last() const
    {
        const auto* r = answers.empty() ? nullptr : std::get_if<mms::ConfirmedResponse>(&answers.back());
        const auto* raw = r ? std::get_if<mms::UnrecognizedService>(&r->service) : nullptr;
        mms::ExtraResponse extra;
        if (!raw || mms::decodeExtraResponse(*raw, extra) != ber::Status::Ok || !std::holds_alternative<T>(extra))
            return std::nullopt;
        return std::get<T>(extra);
    }
    template <typename T>
    bool moreFollows() const
    {
        const auto answer = last<T>();
        return answer && answer->moreFollows;
    }
};

}  // namespace

TEST_F(ServerSession, AnswersEveryServiceOurClientAsks)
{
    for (int i = 0; i < 60; ++i)
        dir.write("entry-" + std::to_string(100 + i) + ".txt", std::string(static_cast<std::size_t>(i), 'e'));
    dir.write("big.bin", std::string(4000, 'b'));
    RecordedSession s(connection);
    s.associate(1000);  // small, so name lists, directories, files and journals need continuing
    ASSERT_TRUE(connection.associated());

    const auto cls1 = [](std::string item) { return mms::ObjectName::inDomain(kCls1, std::move(item)); };
    using Scope = mms::GetNameListRequest::Scope;
    s.ask(mms::StatusRequest{});
    s.ask(mms::IdentifyRequest{});
    s.ask(mms::GetNameListRequest{mms::ObjectClass::Domain, Scope::Vmd, {}, {}});
    s.ask(mms::GetNameListRequest{mms::ObjectClass::NamedVariable, Scope::Domain, kCls1, {}});
    s.ask(mms::GetNameListRequest{mms::ObjectClass::NamedVariable, Scope::Domain, kCls1,
                                  std::string("EmpSPrg_FSCH020001$SP")});
    s.ask(mms::GetNameListRequest{mms::ObjectClass::NamedVariableList, Scope::Domain, kCls1, {}});
    s.ask(mms::GetNameListRequest{mms::ObjectClass::Journal, Scope::Domain, kStb, {}});
    s.ask(mms::GetVariableAccessAttributesRequest{cls1("EmpSPrg_FSCH020001$CO")});
    s.ask(mms::GetVariableAccessAttributesRequest{cls1("NoSuchNode")});
    s.ask(mms::ReadRequest{false, mms::VariableAccessSpec::single(cls1("MMXU001$MX$TotW$mag$f"))});
    s.ask(mms::ReadRequest{false, mms::VariableAccessSpec::single(cls1("LLN0"))});  // too big for the PDU size
    s.ask(mms::ReadRequest{true, mms::VariableAccessSpec::list(cls1("LLN0$dataset01"))});
    s.ask(mms::ReadRequest{false, mms::VariableAccessSpec::single(cls1("MMXU001$MX$Nothing"))});
    const auto setMag = mms::VariableAccessSpec::single(cls1("EmpSPrg_FSCH020001$SP$ValASG005$setMag$f"));
    s.ask(mms::WriteRequest{setMag, {mms::Value::float32(12.5f)}});
    s.ask(mms::WriteRequest{setMag, {mms::Value::visibleString("wrong type")}});
    s.ask(mms::GetNamedVariableListAttributesRequest{cls1("LLN0$dataset01")});
    s.ask(mms::DefineNamedVariableListRequest{cls1("LLN0$mine"), {{cls1("MMXU001$MX$TotW"), {}}}});
    s.ask(mms::DeleteNamedVariableListRequest{mms::DeleteNamedVariableListRequest::Scope::Specific,
                                              {cls1("LLN0$mine")}, std::nullopt});
    s.send(mms::CancelRequest{s.invokeId});
    s.send(Bytes{0xa0, 0x03, 0x02, 0x01, 0x63});  // a request without a service
    const mms::Value* values[] = {model.value(kCls1, "MMXU001$MX$TotW")};
    EXPECT_TRUE(connection.sendInformationReport(mms::VariableAccessSpec::single(cls1("MMXU001$MX$TotW")), values));
    s.pump();
    const std::size_t beforeFiles = s.answers.size();

    mms::FileDirectoryRequest list;
    for (int rounds = 0; rounds < 20; ++rounds) {
        s.ask(list);
        if (!s.moreFollows<mms::FileDirectoryResponse>())
            break;
        list.continueAfter = s.last<mms::FileDirectoryResponse>()->entries.back().fileName;
    }
    s.ask(mms::FileOpenRequest{"big.bin", 0});
    do
        s.ask(mms::FileReadRequest{0});
    while (s.moreFollows<mms::FileReadResponse>() && s.invokeId < 100);
    s.ask(mms::FileCloseRequest{0});
    s.ask(mms::FileRenameRequest{"big.bin", "x.bin"});  // refused

    // obtainFile: answer the server's open, reads and close.
    s.ask(mms::ObtainFileRequest{"source.cfg", "obtained.cfg"});
    const std::string parts[] = {"line one\n", "line two\n"};
    std::size_t next = 0;
    for (int step = 0; step < 10 && !s.answers.empty(); ++step) {
        const auto* request = std::get_if<mms::ConfirmedRequest>(&s.answers.back());
        if (!request)
            break;
        mms::ExtraRequest r;
        ASSERT_EQ(mms::decodeExtraRequest(std::get<mms::UnrecognizedService>(request->service), r), ber::Status::Ok);
        mms::ExtraResponse answer = mms::FileDoneResponse{st::FileClose};
        if (std::holds_alternative<mms::FileOpenRequest>(r))
            answer = mms::FileOpenResponse{1, {18, "20261206080718.000Z"}};
        else if (std::holds_alternative<mms::FileReadRequest>(r)) {
            answer = mms::FileReadResponse{Bytes(parts[next].begin(), parts[next].end()), next == 0};
            ++next;
        }
        s.send(mms::ConfirmedResponse{request->invokeId, mms::encodeExtra(answer)});
    }
    EXPECT_EQ(dir.read("obtained.cfg"), "line one\nline two\n");

    mms::ReadJournalRequest r;
    r.journal = mms::ObjectName::inDomain(kStb, "LLN0$logSTB");
    r.startingTime = mms::Value::binaryTimeMs(441763200000ull);  // 1984
    r.endingTime = mms::Value::binaryTimeMs(kNow + 100000);
    std::size_t received = 0, pages = 0;
    for (; pages < 40; ++pages) {
        s.ask(mms::ExtraRequest{r});
        const auto page = s.last<mms::ReadJournalResponse>();
        ASSERT_TRUE(page);
        received += page->entries.size();
        if (!page->moreFollows || page->entries.empty())
            break;
        r.startAfterTime = page->entries.back().occurrenceTime;
        r.startAfterEntry = page->entries.back().entryId;
    }
    EXPECT_EQ(received, model.entries.size());
    EXPECT_GT(pages, 1u);
    r.journal.item = "LLN0$none";  // an error answer
    s.ask(mms::ExtraRequest{r});

    s.send(mms::ConcludeRequest{});
    s.client.release();
    s.pump();
    EXPECT_EQ(connection.closeReason(), iso::CloseReason::Released);
    // One answer per request before the file services, the malformed one and the cancel
    // included, then the report.
    EXPECT_EQ(beforeFiles, 18u + 3u);

    const Decode d = decodeTranscript("server-every-service.pcap", s.transcript, kFields);
    expectClean(d);
    for (const char* service : {"0", "1", "2", "4", "5", "6", "12", "46", "72", "73", "74", "77"})
        EXPECT_GE(d.count("mms.confirmedServiceResponse", service), 1u) << "service " << service;
    EXPECT_GE(d.count("mms.confirmedServiceResponse", "77"), 2u) << d.summary();
    EXPECT_GE(d.count("mms.confirmedServiceResponse", "73"), 4u) << d.summary();
    EXPECT_EQ(d.count("mms.confirmedServiceRequest", "72"), 2u) << d.summary();  // ours and the server's
    EXPECT_EQ(d.count("mms.confirmedServiceResponse", "65"), pages + 1) << d.summary();
    EXPECT_EQ(d.count("mms.unconfirmedService", "0"), 1u) << d.summary();
    EXPECT_EQ(d.count("mms.cancel_ErrorPDU_element") + d.count("mms.cancel_ResponsePDU"), 1u);
    EXPECT_EQ(d.count("mms.rejectPDU_element"), 1u);  // the malformed request
    EXPECT_EQ(d.count("mms.conclude_ResponsePDU_element"), 1u);
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
}
