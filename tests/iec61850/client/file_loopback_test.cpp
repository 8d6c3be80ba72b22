// File services over real loopback TCP: our client (and iec-client, and a
// raw peer that serves obtainFile) against the threaded server with a temp
// file store. Each service's refusals and path escapes are tested on the
// server side (tests/iec61850/server/file_services_test.cpp).
#include "temp_dir.hpp"
#include "test_server.hpp"

#include "iec61850/mms/file_service.hpp"
#include "iec61850/platform/socket.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

namespace client_test {
namespace {

using namespace iec61850;
namespace fcode = mms::error_code::file;
using server::FileService;
using test_support::TempDir;

class FileLoopback : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.server->setFileStore(store.path.string());
        server.server->setFileAccessHandler([this](const server::ClientContext&, FileService service,
                                                   std::string_view local,
                                                   std::string_view) -> std::optional<mms::ServiceError> {
            std::lock_guard lock(mutex);
            if (refused.count(service) && (refusedName.empty() || local == refusedName))
                return server::fileError(fcode::FileAccessDenied);
            return std::nullopt;
        });
    }

    void refuse(FileService s, std::string name = {})
    {
        std::lock_guard lock(mutex);
        refused.insert(s);
        refusedName = std::move(name);
    }

    client::MmsConnection& connect(std::int32_t maxPduSize = 65000)
    {
        auto r = connection.connect(server.options(maxPduSize));
        EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().describe());
        return connection;
    }

    TempDir store;
    TestServer server;
    client::MmsConnection connection;
    std::mutex mutex;
    std::set<FileService> refused;
    std::string refusedName;
};

TEST_F(FileLoopback, ListsReadsRenamesAndDeletesOverManyContinuations)
{
    std::vector<std::string> names;
    for (int i = 0; i < 80; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "record-%03d.csv", i);
        store.write(name, std::string(static_cast<std::size_t>(i) * 3, 'r'));
        names.push_back(name);
    }
    std::string content;
    for (int i = 0; i < 5000; ++i)
        content += static_cast<char>(i * 7);
    store.write("z-dump.bin", content);
    store.write("z-empty", "");
    auto& c = connect(300);
    ASSERT_TRUE(c.negotiated().supports(mms::services_supported::FileDirectory));
    auto listing = c.fileDirectory();
    ASSERT_TRUE(listing.ok()) << listing.error().describe();
    ASSERT_EQ(listing->size(), names.size() + 2);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ((*listing)[i].fileName, names[i]);
        EXPECT_EQ((*listing)[i].attributes.size, i * 3);
    }

    auto data = c.fileRead("z-dump.bin");
    ASSERT_TRUE(data.ok()) << data.error().describe();
    EXPECT_EQ(std::string(data->begin(), data->end()), content);
    auto empty = c.fileRead("z-empty");
    ASSERT_TRUE(empty.ok()) << empty.error().describe();
    EXPECT_TRUE(empty->empty());
    // Every FRSM was closed: five more opens fit.
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(c.fileRead("z-empty").ok());
    EXPECT_EQ(c.fileRead("nothing").error().code, fcode::FileNonExistent);

    EXPECT_TRUE(c.fileRename("z-empty", "renamed").ok());
    EXPECT_TRUE(store.has("renamed"));
    EXPECT_TRUE(c.fileDelete("renamed").ok());
    EXPECT_FALSE(store.has("renamed"));
    EXPECT_EQ(c.fileDelete("renamed").error().code, fcode::FileNonExistent);
    EXPECT_TRUE(c.release().ok());
}

// ---- obtainFile: a raw peer that serves its own files to the server ------------

class FilePeer {
public:
    explicit FilePeer(std::map<std::string, std::string> files) : files_(std::move(files)) {}

    // Associates, asks for obtainFile and serves the server's requests until
    // the answer comes; the answer PDU.
    std::optional<mms::Pdu> obtain(std::uint16_t port, const std::string& source, const std::string& destination)
    {
        if (platform::connectTcp("127.0.0.1", port, 5000, socket_) != platform::NetStatus::Ok)
            return std::nullopt;
        iso::ClientAssociation::Callbacks callbacks;
        callbacks.onAssociated = [this](ByteView) { associated_ = true; };
        callbacks.onData = [this](ByteView pdu) { onData(pdu); };
        association_ = std::make_unique<iso::ClientAssociation>(std::move(callbacks));
        mms::InitiateParameters p;
        p.localDetail = 65000;
        p.maxServOutstandingCalling = p.maxServOutstandingCalled = 5;
        p.dataStructureNestingLevel = 10;
        association_->connect(mms::encodePdu(mms::InitiateRequest{p}));
        if (!serveUntil([this] { return associated_; }))
            return std::nullopt;
        send(mms::ConfirmedRequest{1, mms::encodeExtra(mms::ObtainFileRequest{source, destination})});
        if (!serveUntil([this] { return answer_.has_value(); }))
            return std::nullopt;
        return answer_;
    }

    std::vector<std::string> requests;  // what the server asked, in order

private:
    void send(const mms::Pdu& pdu) { association_->send(mms::encodePdu(pdu)); }

    // Serves the socket until done() or nothing comes for a long while (then false).
    bool serveUntil(const std::function<bool()>& done)
    {
        std::uint8_t buffer[4096];
        while (!done()) {
            Bytes& out = association_->output();
            while (!out.empty()) {
                auto r = socket_.send(out);
                if (!r.ok() && r.status != platform::NetStatus::WouldBlock)
                    return false;
                out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r.count));
            }
            platform::PollEntry e{socket_.fd(), true, false};
            if (platform::poll(std::span(&e, 1), 10000) <= 0)
                return false;
            auto r = socket_.recv(buffer);
            if (r.status == platform::NetStatus::WouldBlock)
                continue;
            if (!r.ok())
                return false;
            association_->receive(ByteView(buffer, r.count));
        }
        return true;
    }

    void onData(ByteView bytes)
    {
        mms::Pdu pdu;
        if (mms::decodePdu(bytes, pdu) != ber::Status::Ok)
            return;
        const auto* request = std::get_if<mms::ConfirmedRequest>(&pdu);
        const auto* raw = request ? std::get_if<mms::UnrecognizedService>(&request->service) : nullptr;
        mms::ExtraRequest extra;
        if (!raw || mms::decodeExtraRequest(*raw, extra) != ber::Status::Ok) {
            answer_ = std::move(pdu);
            return;
        }
        const std::uint32_t id = request->invokeId;
        if (const auto* open = std::get_if<mms::FileOpenRequest>(&extra)) {
            requests.push_back("open " + open->fileName);
            auto f = files_.find(open->fileName);
            if (f == files_.end())
                return send(mms::ConfirmedError{id, server::fileError(fcode::FileNonExistent)});
            reading_ = f->second;
            return send(mms::ConfirmedResponse{
                id, mms::encodeExtra(mms::FileOpenResponse{5, {static_cast<std::uint32_t>(reading_.size()), {}}})});
        }
        if (std::holds_alternative<mms::FileReadRequest>(extra)) {
            requests.push_back("read");
            std::string chunk = reading_.substr(0, 100);
            reading_.erase(0, chunk.size());
            return send(mms::ConfirmedResponse{
                id, mms::encodeExtra(mms::FileReadResponse{Bytes(chunk.begin(), chunk.end()), !reading_.empty()})});
        }
        requests.push_back("close");
        send(mms::ConfirmedResponse{id, mms::encodeExtra(mms::FileDoneResponse{mms::service_tag::FileClose})});
    }

    std::map<std::string, std::string> files_;
    platform::Socket socket_;
    std::unique_ptr<iso::ClientAssociation> association_;
    bool associated_ = false;
    std::string reading_;
    std::optional<mms::Pdu> answer_;
};

TEST_F(FileLoopback, ObtainFileFetchesTheFileFromTheClientUnlessRefused)
{
    std::string settings;
    for (int i = 0; i < 25; ++i)
        settings += "setting " + std::to_string(i) + " = " + std::to_string(i * i) + "\n";
    FilePeer peer({{"local/settings.cfg", settings}});
    auto answer = peer.obtain(server.port, "local/settings.cfg", "settings.cfg");
    ASSERT_TRUE(answer);
    const auto* response = std::get_if<mms::ConfirmedResponse>(&*answer);
    ASSERT_TRUE(response) << "PDU kind " << answer->index();
    EXPECT_EQ(response->invokeId, 1u);
    EXPECT_EQ(store.read("settings.cfg"), settings);
    ASSERT_GE(peer.requests.size(), 4u);
    EXPECT_EQ(peer.requests.front(), "open local/settings.cfg");
    EXPECT_EQ(peer.requests.back(), "close");
    EXPECT_EQ(peer.requests.size(), 2 + (settings.size() + 99) / 100);

    refuse(FileService::Obtain);
    FilePeer refused(std::map<std::string, std::string>{{"x", "data"}});
    auto denied = refused.obtain(server.port, "x", "x");
    ASSERT_TRUE(denied);
    EXPECT_EQ(std::get<mms::ConfirmedError>(*denied).error.code, fcode::FileAccessDenied);
    EXPECT_TRUE(refused.requests.empty());
    EXPECT_FALSE(store.has("x"));
}

// ---- iec-client ----------------------------------------------------------------

#ifdef IEC_CLIENT_PATH

struct ProgramRun {
    int status = -1;
    std::string output;
};

ProgramRun runClient(std::uint16_t port, const std::vector<std::string>& args)
{
    std::string command = std::string("'") + IEC_CLIENT_PATH + "' -p " + std::to_string(port);
    for (const std::string& a : args)
        command += " '" + a + "'";  // the test's arguments hold no quotes
    command += " 2>&1 </dev/null";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST_F(FileLoopback, IecClientDirGetDelRename)
{
    store.write("schedule.txt", "schedule export\n");
    store.write("old.log", "log");
    store.write("IEDSERVER.BIN", "fw");
    refuse(FileService::Delete, "IEDSERVER.BIN");
    TempDir local;

    auto dir = runClient(server.port, {"dir"});
    EXPECT_EQ(dir.status, 0) << dir.output;
    EXPECT_NE(dir.output.find("schedule.txt\t16\t"), std::string::npos) << dir.output;
    EXPECT_NE(dir.output.find("old.log\t3\t"), std::string::npos) << dir.output;

    const std::string target = (local.path / "copy.txt").string();
    auto get = runClient(server.port, {"get", "schedule.txt", target});
    EXPECT_EQ(get.status, 0) << get.output;
    EXPECT_EQ(local.read("copy.txt"), "schedule export\n");

    auto del = runClient(server.port, {"del", "old.log"});
    EXPECT_EQ(del.status, 0) << del.output;
    EXPECT_FALSE(store.has("old.log"));
    auto denied = runClient(server.port, {"del", "IEDSERVER.BIN"});
    EXPECT_EQ(denied.status, 1) << denied.output;
    EXPECT_TRUE(store.has("IEDSERVER.BIN"));

    auto ren = runClient(server.port, {"rename", "schedule.txt", "renamed.txt"});
    EXPECT_EQ(ren.status, 0) << ren.output;
    EXPECT_TRUE(store.has("renamed.txt"));

    EXPECT_EQ(runClient(server.port, {"rename", "only-one"}).status, 2);
    EXPECT_EQ(runClient(server.port, {"get"}).status, 2);
}

#endif

}  // namespace
}  // namespace client_test
