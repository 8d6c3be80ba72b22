// The file services of a ServerConnection, fed client bytes: the reference
// capture 09, continuations at small PDU sizes, the open-file limit, the
// access handler, and obtainFile with the client's answers fed back.
#include "capture.hpp"
#include "wire_helpers.hpp"

#include "iec61850/mms/file_service.hpp"
#include "iec61850/server/server_connection.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

using namespace test;
using namespace iec61850::server;
namespace fs = std::filesystem;
namespace st = mms::service_tag;
namespace fcode = mms::error_code::file;

namespace {

const std::vector<Bytes>& kCapture09 = test_support::capture("09-file-services").clientTpkts();

Bytes captureTpkt(std::size_t i)
{
    return kCapture09.at(i);
}

// The capture's CR and CP with another proposed max PDU size.
std::vector<Bytes> association(std::uint32_t pduSize)
{
    Bytes cp = captureTpkt(1);
    const Bytes proposed = hex("800300fde8");
    auto at = std::search(cp.begin(), cp.end(), proposed.begin(), proposed.end());
    EXPECT_NE(at, cp.end());
    at[2] = static_cast<std::uint8_t>(pduSize >> 16);
    at[3] = static_cast<std::uint8_t>(pduSize >> 8);
    at[4] = static_cast<std::uint8_t>(pduSize);
    return {captureTpkt(0), cp};
}

struct TempDir {
    fs::path path;
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "filestore-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    void write(const std::string& name, std::string_view content) const
    {
        fs::create_directories((path / name).parent_path());
        std::ofstream(path / name, std::ios::binary) << content;
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(path / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool has(const std::string& name) const { return fs::exists(path / name); }
};

struct Call {
    FileService service;
    std::string local;
    std::string other;
    bool operator==(const Call&) const = default;
};

// A ServerConnection serving a temp file store, fed whole TPKTs.
struct Peer {
    TempDir dir;
    InMemoryModel model;
    FileStore store{dir.path.string()};
    std::vector<Call> calls;
    std::optional<mms::ServiceError> refusal;
    std::function<bool(const Call&)> refuses = [](const Call&) { return false; };
    std::unique_ptr<ServerConnection> connection;

    Peer()
    {
        store.setAccessHandler([this](const ClientContext& client, FileService service, std::string_view local,
                                      std::string_view other) -> std::optional<mms::ServiceError> {
            EXPECT_EQ(client.id, 9u);
            Call call{service, std::string(local), std::string(other)};
            calls.push_back(call);
            if (refuses(call))
                return fileError(fcode::FileAccessDenied);
            return std::nullopt;
        });
        connection = std::make_unique<ServerConnection>(model, ServerConfig{}, ClientContext{9, "a", "b", nullptr});
        connection->setFileStore(&store);
    }

    std::vector<ServerFrame> feed(ByteView bytes)
    {
        connection->receive(bytes);
        std::vector<ServerFrame> frames;
        EXPECT_TRUE(splitServerOutput(connection->output(), frames));
        connection->output().clear();
        return frames;
    }

    void associate(std::uint32_t pduSize = 65000)
    {
        for (const Bytes& t : association(pduSize))
            feed(t);
        ASSERT_TRUE(connection->associated());
    }

    mms::Pdu exchange(const Bytes& pdu)
    {
        auto frames = feed(clientTpkt(pdu));
        EXPECT_EQ(frames.size(), 1u);
        if (frames.size() != 1 || frames[0].mms.empty())
            return mms::RejectPdu{};
        lastSize = frames[0].mms.size();
        return decode(frames[0].mms);
    }

    mms::Pdu ask(std::uint32_t invokeId, const mms::ExtraRequest& r)
    {
        return exchange(mms::encodePdu(mms::ConfirmedRequest{invokeId, mms::encodeExtra(r)}));
    }

    std::size_t lastSize = 0;
};

template <typename T>
T answer(const mms::Pdu& pdu)
{
    const auto* r = std::get_if<mms::ConfirmedResponse>(&pdu);
    EXPECT_TRUE(r) << "not a confirmed response, PDU kind " << pdu.index();
    const auto* raw = r ? std::get_if<mms::UnrecognizedService>(&r->service) : nullptr;
    mms::ExtraResponse extra;
    if (!raw || mms::decodeExtraResponse(*raw, extra) != ber::Status::Ok || !std::holds_alternative<T>(extra)) {
        ADD_FAILURE() << "not the expected file service answer";
        return T{};
    }
    return std::get<T>(extra);
}

mms::ServiceError failure(const mms::Pdu& pdu)
{
    const auto* e = std::get_if<mms::ConfirmedError>(&pdu);
    EXPECT_TRUE(e) << "not a confirmed error, PDU kind " << pdu.index();
    return e ? e->error : mms::ServiceError{};
}

bool deniedAccess(const mms::Pdu& pdu)
{
    auto e = failure(pdu);
    return e.errorClass == mms::ErrorClass::File && e.code == fcode::FileAccessDenied;
}

bool bit(const Bytes& bits, std::uint32_t n)
{
    return n / 8 < bits.size() && (bits[n / 8] & (0x80 >> (n % 8)));
}

const std::string kSchedule = "schedule export 2026-12-06\nline 2\n";

}  // namespace

// ---- Capture 09 -------------------------------------------------------------

TEST(FileCapture, DirectoryReadDeleteAndTheRefusalsOfCapture09)
{
    Peer p;
    p.dir.write("old.log", "19 octets of a log\n");
    p.dir.write("schedule.txt", kSchedule);
    p.dir.write("IEDSERVER.BIN", std::string(41, 'x'));
    p.refuses = [](const Call& c) {
        return c.service == FileService::Rename || (c.service == FileService::Delete && c.local == "IEDSERVER.BIN");
    };
    std::vector<std::vector<ServerFrame>> answers;
    for (std::size_t i = 0; i < kCapture09.size(); ++i)
        answers.push_back(p.feed(captureTpkt(i)));
    for (std::size_t i = 1; i < answers.size(); ++i)
        ASSERT_EQ(answers[i].size(), 1u) << "answer to TPKT " << i;
    EXPECT_EQ(answers[0][0].cotp, 0xD0);

    const mms::Pdu init = decode(answers[1][0].mms);
    const auto* response = std::get_if<mms::InitiateResponse>(&init);
    ASSERT_TRUE(response);
    namespace s = mms::services_supported;
    for (auto n : {s::FileOpen, s::FileRead, s::FileClose, s::FileRename, s::FileDelete, s::FileDirectory,
                   s::ObtainFile})
        EXPECT_TRUE(bit(response->params.servicesSupported, n)) << n;

    auto listing = answer<mms::FileDirectoryResponse>(decode(answers[2][0].mms));
    EXPECT_FALSE(listing.moreFollows);
    ASSERT_EQ(listing.entries.size(), 3u);
    EXPECT_EQ(listing.entries[0].fileName, "IEDSERVER.BIN");
    EXPECT_EQ(listing.entries[0].attributes.size, 41u);
    EXPECT_EQ(listing.entries[1].fileName, "old.log");
    EXPECT_EQ(listing.entries[1].attributes.size, 19u);
    EXPECT_EQ(listing.entries[2].fileName, "schedule.txt");
    EXPECT_EQ(listing.entries[2].attributes.size, 34u);
    ASSERT_TRUE(listing.entries[2].attributes.lastModified);
    EXPECT_EQ(listing.entries[2].attributes.lastModified->size(), 19u);  // YYYYMMDDhhmmss.000Z
    EXPECT_EQ(listing.entries[2].attributes.lastModified->back(), 'Z');

    auto opened = answer<mms::FileOpenResponse>(decode(answers[3][0].mms));
    EXPECT_EQ(opened.frsmId, 0);  // the capture reads and closes FRSM 0
    EXPECT_EQ(opened.attributes.size, 34u);
    auto data = answer<mms::FileReadResponse>(decode(answers[4][0].mms));
    EXPECT_EQ(std::string(data.data.begin(), data.data.end()), kSchedule);
    EXPECT_FALSE(data.moreFollows);
    EXPECT_EQ(answer<mms::FileDoneResponse>(decode(answers[5][0].mms)).service, st::FileClose);
    EXPECT_EQ(p.connection->openFileCount(), 0u);

    EXPECT_EQ(answer<mms::FileDoneResponse>(decode(answers[6][0].mms)).service, st::FileDelete);
    EXPECT_FALSE(p.dir.has("old.log"));
    EXPECT_TRUE(deniedAccess(decode(answers[7][0].mms)));
    EXPECT_TRUE(p.dir.has("IEDSERVER.BIN"));
    EXPECT_TRUE(deniedAccess(decode(answers[8][0].mms)));
    EXPECT_TRUE(p.dir.has("schedule.txt"));
    EXPECT_FALSE(p.dir.has("renamed.txt"));

    EXPECT_TRUE(std::holds_alternative<mms::ConcludeResponse>(decode(answers[9][0].mms)));
    EXPECT_EQ(answers[10][0].spdu, 0x0A);  // DN: released

    const std::vector<Call> expected = {{FileService::ReadDirectory, "", ""},
                                        {FileService::Open, "schedule.txt", ""},
                                        {FileService::Delete, "old.log", ""},
                                        {FileService::Delete, "IEDSERVER.BIN", ""},
                                        {FileService::Rename, "schedule.txt", "renamed.txt"}};
    EXPECT_EQ(p.calls, expected);
}

TEST(FileCapture, WithoutAStoreFileServicesAreNotOffered)
{
    InMemoryModel model;
    ServerConnection c(model, ServerConfig{});
    std::vector<std::vector<ServerFrame>> answers;
    for (std::size_t i = 0; i < 4; ++i) {
        c.receive(captureTpkt(i));
        answers.emplace_back();
        ASSERT_TRUE(splitServerOutput(c.output(), answers.back()));
        c.output().clear();
    }
    const mms::Pdu init = decode(answers[1][0].mms);
    EXPECT_FALSE(bit(std::get<mms::InitiateResponse>(init).params.servicesSupported,
                     mms::services_supported::FileDirectory));
    const mms::Pdu refused = decode(answers[2][0].mms);
    const auto* r = std::get_if<mms::RejectPdu>(&refused);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, mms::reject_code::confirmed_request::UnrecognizedService);
}

// ---- Each service, and what refuses it ---------------------------------------

TEST(FileServicesTest, DirectoryContinuesStrictlyAfterTheGivenNameAtASmallPduSize)
{
    Peer p;
    std::set<std::string> names;
    for (int i = 0; i < 60; ++i) {
        std::string name = "file" + std::to_string(1000 + i) + ".dat";
        p.dir.write(name, std::string(static_cast<std::size_t>(i), 'a'));
        names.insert(name);
    }
    p.associate(400);
    std::vector<std::string> listed;
    mms::FileDirectoryRequest request;
    int rounds = 0;
    for (;; ++rounds) {
        ASSERT_LT(rounds, 60);
        auto r = answer<mms::FileDirectoryResponse>(p.ask(static_cast<std::uint32_t>(rounds + 1), request));
        EXPECT_LE(p.lastSize, 400u);
        ASSERT_FALSE(r.entries.empty());
        for (const auto& e : r.entries)
            listed.push_back(e.fileName);
        if (!r.moreFollows)
            break;
        request.continueAfter = listed.back();
    }
    EXPECT_GT(rounds, 3);
    EXPECT_EQ(listed, std::vector<std::string>(names.begin(), names.end()));

    request.continueAfter = "file1030.dat";
    auto r = answer<mms::FileDirectoryResponse>(p.ask(99, request));
    ASSERT_FALSE(r.entries.empty());
    EXPECT_EQ(r.entries[0].fileName, "file1031.dat");
}

TEST(FileServicesTest, DirectoryOfASubdirectoryAndOfOneFile)
{
    Peer p;
    p.dir.write("logs/a.log", "a");
    p.dir.write("logs/b.log", "bb");
    p.dir.write("top.txt", "t");
    p.associate();
    auto sub = answer<mms::FileDirectoryResponse>(p.ask(1, mms::FileDirectoryRequest{"logs", {}}));
    ASSERT_EQ(sub.entries.size(), 2u);
    EXPECT_EQ(sub.entries[0].fileName, "logs/a.log");
    EXPECT_EQ(sub.entries[1].attributes.size, 2u);
    auto one = answer<mms::FileDirectoryResponse>(p.ask(2, mms::FileDirectoryRequest{"top.txt", {}}));
    ASSERT_EQ(one.entries.size(), 1u);
    EXPECT_EQ(one.entries[0].fileName, "top.txt");
    auto e = failure(p.ask(3, mms::FileDirectoryRequest{"nothing", {}}));
    EXPECT_EQ(e.code, fcode::FileNonExistent);
}

TEST(FileServicesTest, ReadComesInChunksThatFitThePduSize)
{
    Peer p;
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content += static_cast<char>('a' + i % 26);
    p.dir.write("big.bin", content);
    p.associate(256);
    auto opened = answer<mms::FileOpenResponse>(p.ask(1, mms::FileOpenRequest{"big.bin", 0}));
    EXPECT_EQ(opened.attributes.size, 3000u);
    std::string got;
    int chunks = 0;
    for (bool more = true; more; ++chunks) {
        ASSERT_LT(chunks, 100);
        auto r = answer<mms::FileReadResponse>(p.ask(2, mms::FileReadRequest{opened.frsmId}));
        EXPECT_LE(p.lastSize, 256u);
        got.append(r.data.begin(), r.data.end());
        more = r.moreFollows;
    }
    EXPECT_EQ(got, content);
    EXPECT_GT(chunks, 10);
    answer<mms::FileDoneResponse>(p.ask(3, mms::FileCloseRequest{opened.frsmId}));
    EXPECT_EQ(failure(p.ask(4, mms::FileReadRequest{opened.frsmId})).errorClass, mms::ErrorClass::Access);
    EXPECT_EQ(failure(p.ask(5, mms::FileCloseRequest{opened.frsmId})).errorClass, mms::ErrorClass::Access);
    EXPECT_EQ(failure(p.ask(6, mms::FileReadRequest{-1})).errorClass, mms::ErrorClass::Access);

    auto late = answer<mms::FileOpenResponse>(p.ask(7, mms::FileOpenRequest{"big.bin", 2990}));
    auto tail = answer<mms::FileReadResponse>(p.ask(8, mms::FileReadRequest{late.frsmId}));
    EXPECT_EQ(std::string(tail.data.begin(), tail.data.end()), content.substr(2990));
    EXPECT_FALSE(tail.moreFollows);
    EXPECT_EQ(failure(p.ask(9, mms::FileOpenRequest{"big.bin", 3001})).code, fcode::PositionInvalid);
}

TEST(FileServicesTest, AtMostFiveOpenFilesPerConnectionAndAllClosedWhenItEnds)
{
    Peer p;
    p.dir.write("f", "x");
    p.associate();
    std::set<std::int32_t> ids;
    for (std::uint32_t i = 0; i < FileServices::kMaxOpenFiles; ++i)
        ids.insert(answer<mms::FileOpenResponse>(p.ask(i + 1, mms::FileOpenRequest{"f", 0})).frsmId);
    EXPECT_EQ(ids.size(), FileServices::kMaxOpenFiles);
    auto e = failure(p.ask(10, mms::FileOpenRequest{"f", 0}));
    EXPECT_EQ(e.errorClass, mms::ErrorClass::Resource);
    EXPECT_EQ(e.code, mms::error_code::resource::CapabilityUnavailable);
    answer<mms::FileDoneResponse>(p.ask(11, mms::FileCloseRequest{*ids.begin()}));
    EXPECT_EQ(answer<mms::FileOpenResponse>(p.ask(12, mms::FileOpenRequest{"f", 0})).frsmId, *ids.begin());
    EXPECT_EQ(p.connection->openFileCount(), 5u);

    const auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}); };
    const auto before = fds();
    p.connection.reset();
    EXPECT_EQ(fds(), before - 5);
}

TEST(FileServicesTest, DeleteAndRename)
{
    Peer p;
    p.dir.write("a.txt", "A");
    p.dir.write("b.txt", "B");
    p.dir.write("sub/c.txt", "C");
    p.associate();
    EXPECT_EQ(answer<mms::FileDoneResponse>(p.ask(1, mms::FileRenameRequest{"a.txt", "sub/moved.txt"})).service,
              st::FileRename);
    EXPECT_EQ(p.dir.read("sub/moved.txt"), "A");
    EXPECT_EQ(failure(p.ask(2, mms::FileRenameRequest{"b.txt", "sub/c.txt"})).code, fcode::DuplicateFilename);
    EXPECT_EQ(failure(p.ask(3, mms::FileRenameRequest{"gone.txt", "x"})).code, fcode::FileNonExistent);
    EXPECT_EQ(answer<mms::FileDoneResponse>(p.ask(4, mms::FileDeleteRequest{"b.txt"})).service, st::FileDelete);
    EXPECT_FALSE(p.dir.has("b.txt"));
    EXPECT_EQ(failure(p.ask(5, mms::FileDeleteRequest{"b.txt"})).code, fcode::FileNonExistent);
    EXPECT_TRUE(deniedAccess(p.ask(6, mms::FileDeleteRequest{"sub"})));  // directories stay
    EXPECT_TRUE(p.dir.has("sub/c.txt"));
}

TEST(FileServicesTest, TheHandlerRefusesEachServiceWithItsError)
{
    Peer p;
    p.dir.write("a.txt", "A");
    p.refuses = [](const Call&) { return true; };
    p.associate();
    EXPECT_TRUE(deniedAccess(p.ask(1, mms::FileDirectoryRequest{})));
    EXPECT_TRUE(deniedAccess(p.ask(2, mms::FileOpenRequest{"a.txt", 0})));
    EXPECT_TRUE(deniedAccess(p.ask(3, mms::FileDeleteRequest{"a.txt"})));
    EXPECT_TRUE(deniedAccess(p.ask(4, mms::FileRenameRequest{"a.txt", "b.txt"})));
    EXPECT_TRUE(deniedAccess(p.ask(5, mms::ObtainFileRequest{"remote.txt", "local.txt"})));
    EXPECT_TRUE(p.dir.has("a.txt"));
    EXPECT_FALSE(p.dir.has("b.txt"));
    EXPECT_FALSE(p.dir.has("local.txt.part"));
    const std::vector<Call> expected = {{FileService::ReadDirectory, "", ""},
                                        {FileService::Open, "a.txt", ""},
                                        {FileService::Delete, "a.txt", ""},
                                        {FileService::Rename, "a.txt", "b.txt"},
                                        {FileService::Obtain, "local.txt", "remote.txt"}};
    EXPECT_EQ(p.calls, expected);
    EXPECT_EQ(p.connection->openFileCount(), 0u);
}

TEST(FileServicesTest, NamesThatLeaveTheStoreAreRefused)
{
    TempDir outside;
    outside.write("secret", "s");
    Peer p;
    p.dir.write("in.txt", "i");
    fs::create_symlink(outside.path / "secret", p.dir.path / "link");
    fs::create_directory_symlink(outside.path, p.dir.path / "linkdir");
    fs::create_symlink(p.dir.path / "in.txt", p.dir.path / "inner-link");
    p.associate();
    const std::string secret = (outside.path / "secret").string();
    const std::vector<std::string> escapes = {"../x", "/etc/passwd", "a/../../x", "link", "linkdir/secret", "..",
                                              secret, "./../" + outside.path.filename().string() + "/secret"};
    for (const std::string& name : escapes) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(deniedAccess(p.ask(1, mms::FileOpenRequest{name, 0})));
        EXPECT_TRUE(deniedAccess(p.ask(2, mms::FileDeleteRequest{name})));
        EXPECT_TRUE(deniedAccess(p.ask(3, mms::FileRenameRequest{"in.txt", name})));
        EXPECT_TRUE(deniedAccess(p.ask(4, mms::FileRenameRequest{name, "stolen"})));
        EXPECT_TRUE(deniedAccess(p.ask(5, mms::FileDirectoryRequest{name, {}})));
        EXPECT_TRUE(deniedAccess(p.ask(6, mms::ObtainFileRequest{"r", name})));
    }
    EXPECT_EQ(outside.read("secret"), "s");
    EXPECT_TRUE(p.dir.has("in.txt"));
    EXPECT_FALSE(p.dir.has("stolen"));
    // A link that stays inside is followed; links out are not even listed.
    auto data = answer<mms::FileOpenResponse>(p.ask(7, mms::FileOpenRequest{"inner-link", 0}));
    EXPECT_EQ(data.attributes.size, 1u);
    auto listing = answer<mms::FileDirectoryResponse>(p.ask(8, mms::FileDirectoryRequest{}));
    std::vector<std::string> names;
    for (const auto& e : listing.entries)
        names.push_back(e.fileName);
    EXPECT_EQ(names, (std::vector<std::string>{"in.txt", "inner-link"}));
}

TEST(FileServicesTest, AMissingStoreIsAnErrorNotACrash)
{
    Peer p;
    p.associate();
    fs::remove_all(p.dir.path);
    EXPECT_EQ(failure(p.ask(1, mms::FileDirectoryRequest{})).errorClass, mms::ErrorClass::File);
    EXPECT_EQ(failure(p.ask(2, mms::FileOpenRequest{"a", 0})).errorClass, mms::ErrorClass::File);
    EXPECT_EQ(failure(p.ask(3, mms::FileDeleteRequest{"a"})).errorClass, mms::ErrorClass::File);
    EXPECT_EQ(failure(p.ask(4, mms::FileRenameRequest{"a", "b"})).errorClass, mms::ErrorClass::File);
    EXPECT_EQ(failure(p.ask(5, mms::ObtainFileRequest{"a", "b"})).errorClass, mms::ErrorClass::File);
    EXPECT_TRUE(p.connection->associated());
}

TEST(FileServicesTest, MalformedFileRequestsAreRejectedAndTheAssociationStays)
{
    Peer p;
    p.associate();
    // fileOpen without its initial position; fileRead with a constructed FRSM ID.
    for (const char* pdu : {"a00d02010bbf4807a0051903612e62", "a00902010cbf4903020100"}) {
        const mms::Pdu answered = p.exchange(hex(pdu));
        const auto* r = std::get_if<mms::RejectPdu>(&answered);
        ASSERT_TRUE(r) << pdu;
        EXPECT_EQ(r->code, mms::reject_code::confirmed_request::InvalidArgument) << pdu;
    }
    EXPECT_TRUE(p.connection->associated());
}

// ---- obtainFile: the server reads the file from the client --------------------

namespace {

// The one MMS PDU the server sent, as a request to the client.
mms::ExtraRequest serverRequest(const std::vector<ServerFrame>& frames, std::uint32_t& invokeId)
{
    EXPECT_EQ(frames.size(), 1u);
    mms::ExtraRequest out;
    if (frames.size() != 1)
        return out;
    const mms::Pdu pdu = decode(frames[0].mms);
    const auto* r = std::get_if<mms::ConfirmedRequest>(&pdu);
    const auto* raw = r ? std::get_if<mms::UnrecognizedService>(&r->service) : nullptr;
    EXPECT_TRUE(raw) << "not a file request from the server";
    if (raw) {
        EXPECT_EQ(mms::decodeExtraRequest(*raw, out), ber::Status::Ok);
        invokeId = r->invokeId;
    }
    return out;
}

Bytes clientAnswer(std::uint32_t invokeId, const mms::ExtraResponse& r)
{
    return clientTpkt(mms::encodePdu(mms::ConfirmedResponse{invokeId, mms::encodeExtra(r)}));
}

Bytes clientError(std::uint32_t invokeId, std::int32_t code)
{
    return clientTpkt(mms::encodePdu(mms::ConfirmedError{invokeId, fileError(code)}));
}

}  // namespace

TEST(ObtainFile, TheServerFetchesTheFileInChunksAndAnswersOnceItIsStored)
{
    Peer p;
    p.associate();
    auto frames = p.feed(clientTpkt(mms::encodePdu(
        mms::ConfirmedRequest{40, mms::encodeExtra(mms::ObtainFileRequest{"client/settings.cfg", "new.cfg"})})));
    std::uint32_t id = 0;
    auto open = serverRequest(frames, id);
    ASSERT_TRUE(std::holds_alternative<mms::FileOpenRequest>(open));
    EXPECT_EQ(std::get<mms::FileOpenRequest>(open).fileName, "client/settings.cfg");

    // An unrelated request meanwhile is served.
    EXPECT_FALSE(answer<mms::FileDirectoryResponse>(p.ask(41, mms::FileDirectoryRequest{})).moreFollows);
    EXPECT_FALSE(p.dir.has("new.cfg"));

    frames = p.feed(clientAnswer(id, mms::FileOpenResponse{7, {9, {}}}));
    const std::string parts[] = {"first ", "second ", "third"};
    for (std::size_t i = 0; i < 3; ++i) {
        auto read = serverRequest(frames, id);
        ASSERT_TRUE(std::holds_alternative<mms::FileReadRequest>(read));
        EXPECT_EQ(std::get<mms::FileReadRequest>(read).frsmId, 7);
        frames = p.feed(clientAnswer(id, mms::FileReadResponse{Bytes(parts[i].begin(), parts[i].end()), i < 2}));
    }
    auto close = serverRequest(frames, id);
    ASSERT_TRUE(std::holds_alternative<mms::FileCloseRequest>(close));
    EXPECT_FALSE(p.dir.has("new.cfg"));
    frames = p.feed(clientAnswer(id, mms::FileDoneResponse{st::FileClose}));
    ASSERT_EQ(frames.size(), 1u);
    const mms::Pdu done = decode(frames[0].mms);
    ASSERT_TRUE(std::holds_alternative<mms::ConfirmedResponse>(done));
    EXPECT_EQ(std::get<mms::ConfirmedResponse>(done).invokeId, 40u);
    EXPECT_EQ(answer<mms::FileDoneResponse>(done).service, st::ObtainFile);
    EXPECT_EQ(p.dir.read("new.cfg"), "first second third");
    EXPECT_FALSE(p.dir.has("new.cfg.part"));
    EXPECT_EQ(p.calls, (std::vector<Call>{{FileService::Obtain, "new.cfg", "client/settings.cfg"},
                                          {FileService::ReadDirectory, "", ""}}));
}

TEST(ObtainFile, TheClientsErrorsEndItWithoutAFileLeftBehind)
{
    // The client cannot open its file.
    {
        Peer p;
        p.associate();
        std::uint32_t id = 0;
        serverRequest(p.feed(clientTpkt(mms::encodePdu(
                          mms::ConfirmedRequest{1, mms::encodeExtra(mms::ObtainFileRequest{"r", "l"})}))),
                      id);
        auto frames = p.feed(clientError(id, fcode::FileNonExistent));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(failure(decode(frames[0].mms)).code, fcode::FileNonExistent);
        EXPECT_FALSE(p.dir.has("l"));
        EXPECT_FALSE(p.dir.has("l.part"));
    }
    // A read fails: the server still closes the client's file, then fails.
    {
        Peer p;
        p.associate();
        std::uint32_t id = 0;
        serverRequest(p.feed(clientTpkt(mms::encodePdu(
                          mms::ConfirmedRequest{1, mms::encodeExtra(mms::ObtainFileRequest{"r", "l"})}))),
                      id);
        serverRequest(p.feed(clientAnswer(id, mms::FileOpenResponse{3, {}})), id);
        auto close = serverRequest(p.feed(clientError(id, fcode::Other)), id);
        ASSERT_TRUE(std::holds_alternative<mms::FileCloseRequest>(close));
        EXPECT_EQ(std::get<mms::FileCloseRequest>(close).frsmId, 3);
        auto frames = p.feed(clientAnswer(id, mms::FileDoneResponse{st::FileClose}));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(failure(decode(frames[0].mms)).code, fcode::Other);
        EXPECT_FALSE(p.dir.has("l"));
        EXPECT_FALSE(p.dir.has("l.part"));
    }
    // The connection ends midway.
    {
        Peer p;
        p.associate();
        std::uint32_t id = 0;
        serverRequest(p.feed(clientTpkt(mms::encodePdu(
                          mms::ConfirmedRequest{1, mms::encodeExtra(mms::ObtainFileRequest{"r", "l"})}))),
                      id);
        serverRequest(p.feed(clientAnswer(id, mms::FileOpenResponse{3, {}})), id);
        p.feed(clientAnswer(id, mms::FileReadResponse{Bytes{1, 2, 3}, true}));
        EXPECT_TRUE(p.dir.has("l.part"));
        p.connection.reset();
        EXPECT_FALSE(p.dir.has("l.part"));
        EXPECT_FALSE(p.dir.has("l"));
    }
}

TEST(ObtainFile, OneAtATimeAndNeverOverAnExistingFile)
{
    Peer p;
    p.dir.write("exists", "keep");
    p.associate();
    p.dir.write("taken.part", "mine");
    EXPECT_EQ(failure(p.ask(1, mms::ObtainFileRequest{"r", "exists"})).code, fcode::DuplicateFilename);
    EXPECT_EQ(p.dir.read("exists"), "keep");
    EXPECT_EQ(failure(p.ask(4, mms::ObtainFileRequest{"r", "taken"})).code, fcode::DuplicateFilename);
    EXPECT_EQ(p.dir.read("taken.part"), "mine");
    std::uint32_t id = 0;
    serverRequest(p.feed(clientTpkt(mms::encodePdu(
                      mms::ConfirmedRequest{2, mms::encodeExtra(mms::ObtainFileRequest{"r", "first"})}))),
                  id);
    EXPECT_EQ(failure(p.ask(3, mms::ObtainFileRequest{"r", "second"})).code, fcode::FileBusy);
    // An answer that is not to our request is rejected like any stray response.
    auto stray = p.exchange(mms::encodePdu(mms::ConfirmedResponse{id + 100, mms::encodeExtra(mms::ExtraResponse{
                                                                                  mms::FileOpenResponse{1, {}}})}));
    EXPECT_TRUE(std::holds_alternative<mms::RejectPdu>(stray));
}
