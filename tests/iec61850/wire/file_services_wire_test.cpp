// The file service PDUs our server puts on the wire, checked by tshark: its
// answers to the reference client of capture 09, then a session with
// directory continuations, chunked reads and an obtainFile, for which the
// server sends requests of its own.
#include "iec61850/iso/association.hpp"
#include "iec61850/mms/file_service.hpp"
#include "iec61850/server/server_connection.hpp"
#include "sample_model.hpp"
#include "tshark.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace iec61850;
using namespace test_support;
namespace fs = std::filesystem;
namespace st = mms::service_tag;

namespace {

const std::vector<std::string> kFields = {
    "mms.confirmedServiceRequest", "mms.confirmedServiceResponse", "mms.confirmed_ErrorPDU_element",
    "mms.rejectPDU_element",       "mms.moreFollows",              "acse.rlre_element",
    "tcp.analysis.flags",
};

struct TempStore {
    fs::path path;
    TempStore()
    {
        std::string pattern = (fs::temp_directory_path() / "filestore-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
    }
    ~TempStore()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    void write(const std::string& name, std::string_view content) const
    {
        std::ofstream(path / name, std::ios::binary) << content;
    }
};

class FileWire : public ::testing::Test {
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
    }

    void expectClean(const Decode& d)
    {
        ASSERT_TRUE(d.ran) << d.error;
        EXPECT_TRUE(d.problems.empty()) << d.summary();
        EXPECT_EQ(d.count("tcp.analysis.flags"), 0u) << d.summary();
    }

    TempStore dir;
    server::FileStore store{dir.path.string()};
    std::unique_ptr<server::InMemoryModel> model = makeSampleModel();
};

}  // namespace

TEST_F(FileWire, AnswersToCapture09DecodeCleanly)
{
    const Transcript& reference = capture("09-file-services").transcript();
    dir.write("old.log", "a log of 19 octets\n");
    dir.write("schedule.txt", "schedule export 2026-12-06\nline 2\n");
    dir.write("IEDSERVER.BIN", std::string(41, '\x7f'));

    server::ServerConnection connection(*model, server::ServerConfig{});
    connection.setFileStore(&store);
    Transcript t;
    for (const Chunk& c : reference.chunks()) {
        if (c.direction != Direction::ToServer || connection.closed())
            continue;
        t.toServer(c.data);
        connection.receive(c.data);
        t.toClient(std::exchange(connection.output(), {}));
    }
    const Decode d = decodeTranscript("server-09-file-services.pcap", t, kFields);
    expectClean(d);
    for (const char* service : {"77", "72", "73", "74", "76"})
        EXPECT_EQ(d.count("mms.confirmedServiceResponse", service), 1u) << "service " << service << d.summary();
    EXPECT_EQ(d.count("mms.confirmed_ErrorPDU_element"), 2u) << d.summary();  // IEDSERVER.BIN, rename
    EXPECT_EQ(d.count("mms.rejectPDU_element"), 0u);
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
    EXPECT_FALSE(fs::exists(dir.path / "old.log"));
    EXPECT_TRUE(fs::exists(dir.path / "IEDSERVER.BIN"));
}

TEST_F(FileWire, ContinuationsChunksAndObtainFileDecodeCleanly)
{
    for (int i = 0; i < 30; ++i)
        dir.write("entry-" + std::to_string(100 + i) + ".txt", std::string(static_cast<std::size_t>(i), 'e'));
    dir.write("big.bin", std::string(1500, 'b'));

    server::ServerConnection server(*model, server::ServerConfig{});
    server.setFileStore(&store);
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
    // The last answer, decoded as a file service response (moreFollows for reads and lists).
    auto lastMoreFollows = [&] {
        const auto* r = fromServer.empty() ? nullptr : std::get_if<mms::ConfirmedResponse>(&fromServer.back());
        const auto* raw = r ? std::get_if<mms::UnrecognizedService>(&r->service) : nullptr;
        mms::ExtraResponse extra;
        if (!raw || mms::decodeExtraResponse(*raw, extra) != ber::Status::Ok)
            return false;
        if (const auto* dirResponse = std::get_if<mms::FileDirectoryResponse>(&extra))
            return dirResponse->moreFollows;
        const auto* read = std::get_if<mms::FileReadResponse>(&extra);
        return read && read->moreFollows;
    };
    std::uint32_t invokeId = 1;
    auto ask = [&](const mms::ExtraRequest& r) {
        client.send(mms::encodePdu(mms::ConfirmedRequest{invokeId++, mms::encodeExtra(r)}));
        pump();
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

    mms::FileDirectoryRequest list;
    int rounds = 0;
    do {
        ask(list);
        list.continueAfter = "entry-" + std::to_string(100 + 4 * ++rounds) + ".txt";  // any name continues
    } while (lastMoreFollows() && rounds < 20);
    ask(mms::FileOpenRequest{"big.bin", 0});
    do
        ask(mms::FileReadRequest{0});
    while (lastMoreFollows() && invokeId < 100);
    ask(mms::FileCloseRequest{0});

    // obtainFile: answer the server's open, reads and close.
    ask(mms::ObtainFileRequest{"source.cfg", "obtained.cfg"});
    const std::string parts[] = {"line one\n", "line two\n"};
    std::size_t next = 0;
    for (int step = 0; step < 10 && !fromServer.empty(); ++step) {
        const auto* request = std::get_if<mms::ConfirmedRequest>(&fromServer.back());
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
        client.send(mms::encodePdu(mms::ConfirmedResponse{request->invokeId, mms::encodeExtra(answer)}));
        pump();
    }
    EXPECT_TRUE(fs::exists(dir.path / "obtained.cfg"));
    ask(mms::FileRenameRequest{"big.bin", "x.bin"});  // refused
    client.release();
    pump();

    const Decode d = decodeTranscript("wire-FileServices.pcap", t, kFields);
    expectClean(d);
    EXPECT_GE(d.count("mms.confirmedServiceResponse", "77"), 2u) << d.summary();
    EXPECT_GE(d.count("mms.confirmedServiceResponse", "73"), 4u) << d.summary();
    EXPECT_EQ(d.count("mms.confirmedServiceResponse", "46"), 1u) << d.summary();
    EXPECT_EQ(d.count("mms.confirmedServiceRequest", "72"), 2u) << d.summary();  // ours and the server's
    EXPECT_EQ(d.count("mms.confirmed_ErrorPDU_element"), 1u) << d.summary();
    EXPECT_EQ(d.count("mms.rejectPDU_element"), 0u) << d.summary();
    EXPECT_EQ(d.count("acse.rlre_element"), 1u);
}
