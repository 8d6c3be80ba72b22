// The file services of a ServerConnection, fed client bytes: continuations at small PDU sizes, the open-file limit, the
// access handler, path escapes, and obtainFile with the client's answers fed back.
#include "temp_dir.hpp"
#include "wire_helpers.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>

using namespace test;
using namespace iec61850::server;
using test_support::TempDir;
namespace fs = std::filesystem;
namespace st = mms::service_tag;
namespace fcode = mms::error_code::file;

namespace {

struct Call {
    FileService service;
    std::string local;
    std::string other;
    bool operator==(const Call&) const = default;
};

struct Store {
    TempDir dir;
    FileStore store{dir.path.string()};
    std::vector<Call> calls;
    std::function<bool(const Call&)> refuses = [](const Call&) { return false; };
};

// A connection serving a temp file store whose access handler logs every
// call; the connection ends before the store.
struct Files : Store, Peer {
    explicit Files(InMemoryModel& model) : Peer(model)
    {
        store.setAccessHandler([this](const ClientContext& client, FileService service, std::string_view local,
                                      std::string_view other) -> std::optional<mms::ServiceError> {
            EXPECT_EQ(client.id, 7u);
            calls.push_back({service, std::string(local), std::string(other)});
            if (refuses(calls.back()))
                return fileError(fcode::FileAccessDenied);
            return std::nullopt;
        });
        connection->setFileStore(&store);
    }
};

class FileServicesTest : public ::testing::Test {
protected:
    InMemoryModel model;
    Files p{model};
};

std::int32_t failureCode(const mms::Pdu& pdu)
{
    return serviceError(pdu).code;
}

bool deniedAccess(const mms::Pdu& pdu)
{
    auto e = serviceError(pdu);
    return e.errorClass == mms::ErrorClass::File && e.code == fcode::FileAccessDenied;
}

const std::string kSchedule = "schedule export 2026-12-06\nline 2\n";

}  // namespace

TEST_F(FileServicesTest, DirectoryContinuesStrictlyAfterTheGivenNameAtASmallPduSize)
{
    std::set<std::string> names;
    for (int i = 0; i < 60; ++i) {
        names.insert("file" + std::to_string(1000 + i) + ".dat");
        p.dir.write(*names.rbegin(), std::string(static_cast<std::size_t>(i), 'a'));
    }
    p.dir.write("logs/a.log", "a");
    p.dir.write("logs/b.log", "bb");
    names.insert("logs");
    p.associate(400);
    std::vector<std::string> listed;
    mms::FileDirectoryRequest request;
    int rounds = 0;
    for (;; ++rounds) {
        ASSERT_LT(rounds, 60);
        auto r = extraResponse<mms::FileDirectoryResponse>(p.ask(1, request));
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
    EXPECT_EQ(extraResponse<mms::FileDirectoryResponse>(p.ask(2, request)).entries.at(0).fileName, "file1031.dat");
    auto sub = extraResponse<mms::FileDirectoryResponse>(p.ask(3, mms::FileDirectoryRequest{"logs", {}}));
    ASSERT_EQ(sub.entries.size(), 2u);
    EXPECT_EQ(sub.entries[0].fileName, "logs/a.log");
    EXPECT_EQ(sub.entries[1].attributes.size, 2u);
    auto one = extraResponse<mms::FileDirectoryResponse>(p.ask(4, mms::FileDirectoryRequest{"file1000.dat", {}}));
    EXPECT_EQ(one.entries.size(), 1u);
    EXPECT_EQ(failureCode(p.ask(5, mms::FileDirectoryRequest{"nothing", {}})), fcode::FileNonExistent);
}

TEST_F(FileServicesTest, ReadComesInChunksThatFitThePduSize)
{
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content += static_cast<char>('a' + i % 26);
    p.dir.write("big.bin", content);
    p.associate(256);
    auto opened = extraResponse<mms::FileOpenResponse>(p.ask(1, mms::FileOpenRequest{"big.bin", 0}));
    EXPECT_EQ(opened.attributes.size, 3000u);
    std::string got;
    int chunks = 0;
    for (bool more = true; more; ++chunks) {
        ASSERT_LT(chunks, 100);
        auto r = extraResponse<mms::FileReadResponse>(p.ask(2, mms::FileReadRequest{opened.frsmId}));
        EXPECT_LE(p.lastSize, 256u);
        got.append(r.data.begin(), r.data.end());
        more = r.moreFollows;
    }
    EXPECT_EQ(got, content);
    EXPECT_GT(chunks, 10);
    extraResponse<mms::FileDoneResponse>(p.ask(3, mms::FileCloseRequest{opened.frsmId}));
    for (const mms::ExtraRequest& stale : {mms::ExtraRequest{mms::FileReadRequest{opened.frsmId}},
                                           mms::ExtraRequest{mms::FileCloseRequest{opened.frsmId}},
                                           mms::ExtraRequest{mms::FileReadRequest{-1}}})
        EXPECT_EQ(serviceError(p.ask(4, stale)).errorClass, mms::ErrorClass::Access);

    auto late = extraResponse<mms::FileOpenResponse>(p.ask(7, mms::FileOpenRequest{"big.bin", 2990}));
    auto tail = extraResponse<mms::FileReadResponse>(p.ask(8, mms::FileReadRequest{late.frsmId}));
    EXPECT_EQ(std::string(tail.data.begin(), tail.data.end()), content.substr(2990));
    EXPECT_FALSE(tail.moreFollows);
    EXPECT_EQ(failureCode(p.ask(9, mms::FileOpenRequest{"big.bin", 3001})), fcode::PositionInvalid);
}

TEST_F(FileServicesTest, AtMostFiveOpenFilesPerConnectionAndAllClosedWhenItEnds)
{
    p.dir.write("f", "x");
    p.associate();
    std::set<std::int32_t> ids;
    for (std::uint32_t i = 0; i < FileServices::kMaxOpenFiles; ++i)
        ids.insert(extraResponse<mms::FileOpenResponse>(p.ask(i + 1, mms::FileOpenRequest{"f", 0})).frsmId);
    EXPECT_EQ(ids.size(), FileServices::kMaxOpenFiles);
    auto e = serviceError(p.ask(10, mms::FileOpenRequest{"f", 0}));
    EXPECT_EQ(e.errorClass, mms::ErrorClass::Resource);
    EXPECT_EQ(e.code, mms::error_code::resource::CapabilityUnavailable);
    extraResponse<mms::FileDoneResponse>(p.ask(11, mms::FileCloseRequest{*ids.begin()}));
    EXPECT_EQ(extraResponse<mms::FileOpenResponse>(p.ask(12, mms::FileOpenRequest{"f", 0})).frsmId, *ids.begin());
    EXPECT_EQ(p.connection->openFileCount(), 5u);

    const auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}); };
    const auto before = fds();
    p.connection.reset();
    EXPECT_EQ(fds(), before - 5);
}

TEST_F(FileServicesTest, DeleteAndRename)
{
    p.dir.write("a.txt", "A");
    p.dir.write("b.txt", "B");
    p.dir.write("sub/c.txt", "C");
    p.associate();
    EXPECT_EQ(extraResponse<mms::FileDoneResponse>(p.ask(1, mms::FileRenameRequest{"a.txt", "sub/moved.txt"})).service,
              st::FileRename);
    EXPECT_EQ(p.dir.read("sub/moved.txt"), "A");
    EXPECT_EQ(failureCode(p.ask(2, mms::FileRenameRequest{"b.txt", "sub/c.txt"})), fcode::DuplicateFilename);
    EXPECT_EQ(failureCode(p.ask(3, mms::FileRenameRequest{"gone.txt", "x"})), fcode::FileNonExistent);
    EXPECT_EQ(extraResponse<mms::FileDoneResponse>(p.ask(4, mms::FileDeleteRequest{"b.txt"})).service, st::FileDelete);
    EXPECT_FALSE(p.dir.has("b.txt"));
    EXPECT_EQ(failureCode(p.ask(5, mms::FileDeleteRequest{"b.txt"})), fcode::FileNonExistent);
    EXPECT_TRUE(deniedAccess(p.ask(6, mms::FileDeleteRequest{"sub"})));  // directories stay
    EXPECT_TRUE(p.dir.has("sub/c.txt"));
    // Names are taken in their normal form, the one access rules compare.
    EXPECT_EQ(normalFileName("./sub//c.txt/"), "sub/c.txt");
    EXPECT_EQ(normalFileName("sub/../c.txt"), std::nullopt);
    EXPECT_EQ(extraResponse<mms::FileDoneResponse>(p.ask(7, mms::FileDeleteRequest{"./sub//c.txt/"})).service,
              st::FileDelete);
    EXPECT_FALSE(p.dir.has("sub/c.txt"));
}

TEST_F(FileServicesTest, TheHandlerOrAMissingStoreRefusesEachService)
{
    p.dir.write("a.txt", "A");
    p.refuses = [](const Call&) { return true; };
    p.associate();
    const mms::ExtraRequest requests[] = {mms::FileDirectoryRequest{}, mms::FileOpenRequest{"a.txt", 0},
                                          mms::FileDeleteRequest{"a.txt"}, mms::FileRenameRequest{"a.txt", "b.txt"},
                                          mms::ObtainFileRequest{"remote.txt", "local.txt"}};
    for (const auto& r : requests)
        EXPECT_TRUE(deniedAccess(p.ask(1, r))) << r.index();
    EXPECT_TRUE(p.dir.has("a.txt"));
    EXPECT_FALSE(p.dir.has("b.txt"));
    EXPECT_FALSE(p.dir.has("local.txt.part"));
    EXPECT_EQ(p.calls, (std::vector<Call>{{FileService::ReadDirectory, "", ""},
                                          {FileService::Open, "a.txt", ""},
                                          {FileService::Delete, "a.txt", ""},
                                          {FileService::Rename, "a.txt", "b.txt"},
                                          {FileService::Obtain, "local.txt", "remote.txt"}}));
    EXPECT_EQ(p.connection->openFileCount(), 0u);

    p.refuses = [](const Call&) { return false; };
    fs::remove_all(p.dir.path);
    for (const auto& r : requests)
        EXPECT_EQ(serviceError(p.ask(2, r)).errorClass, mms::ErrorClass::File) << r.index();
    EXPECT_TRUE(p.connection->associated());
}

TEST_F(FileServicesTest, NamesThatLeaveTheStoreAreRefused)
{
    TempDir outside;
    outside.write("secret", "s");
    p.dir.write("in.txt", "i");
    fs::create_symlink(outside.path / "secret", p.dir.path / "link");
    fs::create_directory_symlink(outside.path, p.dir.path / "linkdir");
    fs::create_symlink(p.dir.path / "in.txt", p.dir.path / "inner-link");
    p.associate();
    const std::string secret = (outside.path / "secret").string();
    for (const std::string& name : {std::string("../x"), std::string("/etc/passwd"), std::string("a/../../x"),
                                    std::string("link"), std::string("linkdir/secret"), std::string(".."), secret,
                                    "./../" + outside.path.filename().string() + "/secret"}) {
        SCOPED_TRACE(name);
        for (const mms::ExtraRequest& r :
             {mms::ExtraRequest{mms::FileOpenRequest{name, 0}}, mms::ExtraRequest{mms::FileDeleteRequest{name}},
              mms::ExtraRequest{mms::FileRenameRequest{"in.txt", name}},
              mms::ExtraRequest{mms::FileRenameRequest{name, "stolen"}},
              mms::ExtraRequest{mms::FileDirectoryRequest{name, {}}},
              mms::ExtraRequest{mms::ObtainFileRequest{"r", name}}})
            EXPECT_TRUE(deniedAccess(p.ask(1, r))) << r.index();
    }
    EXPECT_EQ(outside.read("secret"), "s");
    EXPECT_TRUE(p.dir.has("in.txt"));
    EXPECT_FALSE(p.dir.has("stolen"));
    // A link that stays inside is followed; links out are not even listed.
    EXPECT_EQ(extraResponse<mms::FileOpenResponse>(p.ask(7, mms::FileOpenRequest{"inner-link", 0})).attributes.size, 1u);
    std::vector<std::string> names;
    for (const auto& e : extraResponse<mms::FileDirectoryResponse>(p.ask(8, mms::FileDirectoryRequest{})).entries)
        names.push_back(e.fileName);
    EXPECT_EQ(names, (std::vector<std::string>{"in.txt", "inner-link"}));
}

TEST_F(FileServicesTest, MalformedFileRequestsAreRejectedAndTheAssociationStays)
{
    p.associate();
    // fileOpen without its initial position; fileRead with a constructed FRSM ID.
    for (const char* pdu : {"a00d02010bbf4807a0051903612e62", "a00902010cbf4903020100"})
        EXPECT_EQ(reject(p.exchange(hex(pdu))).code, mms::reject_code::confirmed_request::InvalidArgument) << pdu;
    EXPECT_TRUE(p.connection->associated());
}

// ---- obtainFile: the server reads the file from the client --------------------

namespace {

// The one MMS PDU the server sent, as a request to the client; its invoke ID in `invokeId`.
mms::ExtraRequest serverRequest(const std::vector<ServerFrame>& frames, std::uint32_t& invokeId)
{
    mms::ExtraRequest out;
    EXPECT_EQ(frames.size(), 1u);
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

std::vector<ServerFrame> answer(Files& p, std::uint32_t invokeId, const mms::ExtraResponse& r)
{
    return p.feed(clientTpkt(mms::encodePdu(mms::ConfirmedResponse{invokeId, mms::encodeExtra(r)})));
}

std::vector<ServerFrame> fail(Files& p, std::uint32_t invokeId, std::int32_t code)
{
    return p.feed(clientTpkt(mms::encodePdu(mms::ConfirmedError{invokeId, fileError(code)})));
}

// Asks for obtainFile "r" -> "l"; the server's first request (its fileOpen) and its invoke ID.
std::uint32_t startObtain(Files& p, std::uint32_t invokeId = 1, const std::string& destination = "l")
{
    std::uint32_t id = 0;
    auto open = serverRequest(
        p.feed(clientTpkt(mms::encodePdu(mms::ConfirmedRequest{
            invokeId, mms::encodeExtra(mms::ObtainFileRequest{"client/settings.cfg", destination})}))),
        id);
    EXPECT_EQ(std::get<mms::FileOpenRequest>(open).fileName, "client/settings.cfg");
    return id;
}

}  // namespace

TEST_F(FileServicesTest, ObtainFileFetchesInChunksAndAnswersOnceTheFileIsStored)
{
    p.associate();
    std::uint32_t id = startObtain(p, 40, "new.cfg");
    // An unrelated request meanwhile is served.
    EXPECT_FALSE(extraResponse<mms::FileDirectoryResponse>(p.ask(41, mms::FileDirectoryRequest{})).moreFollows);
    EXPECT_FALSE(p.dir.has("new.cfg"));

    auto frames = answer(p, id, mms::FileOpenResponse{7, {9, {}}});
    const std::string parts[] = {"first ", "second ", "third"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::get<mms::FileReadRequest>(serverRequest(frames, id)).frsmId, 7);
        frames = answer(p, id, mms::FileReadResponse{Bytes(parts[i].begin(), parts[i].end()), i < 2});
    }
    EXPECT_TRUE(std::holds_alternative<mms::FileCloseRequest>(serverRequest(frames, id)));
    EXPECT_FALSE(p.dir.has("new.cfg"));
    frames = answer(p, id, mms::FileDoneResponse{st::FileClose});
    ASSERT_EQ(frames.size(), 1u);
    const mms::Pdu done = decode(frames[0].mms);
    EXPECT_EQ(std::get<mms::ConfirmedResponse>(done).invokeId, 40u);
    EXPECT_EQ(extraResponse<mms::FileDoneResponse>(done).service, st::ObtainFile);
    EXPECT_EQ(p.dir.read("new.cfg"), "first second third");
    EXPECT_FALSE(p.dir.has("new.cfg.part"));
    EXPECT_EQ(p.calls, (std::vector<Call>{{FileService::Obtain, "new.cfg", "client/settings.cfg"},
                                          {FileService::ReadDirectory, "", ""}}));
}

TEST(ObtainFile, TheClientsErrorsEndItWithoutAFileLeftBehind)
{
    InMemoryModel model;
    {
        SCOPED_TRACE("the client cannot open its file");
        Files p(model);
        p.associate();
        auto frames = fail(p, startObtain(p), fcode::FileNonExistent);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(failureCode(decode(frames[0].mms)), fcode::FileNonExistent);
        EXPECT_FALSE(p.dir.has("l") || p.dir.has("l.part"));
    }
    {
        SCOPED_TRACE("a read fails: the server still closes the client's file, then fails");
        Files p(model);
        p.associate();
        std::uint32_t id = startObtain(p);
        serverRequest(answer(p, id, mms::FileOpenResponse{3, {}}), id);
        EXPECT_EQ(std::get<mms::FileCloseRequest>(serverRequest(fail(p, id, fcode::Other), id)).frsmId, 3);
        auto frames = answer(p, id, mms::FileDoneResponse{st::FileClose});
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(failureCode(decode(frames[0].mms)), fcode::Other);
        EXPECT_FALSE(p.dir.has("l") || p.dir.has("l.part"));
    }
    {
        SCOPED_TRACE("the connection ends midway");
        Files p(model);
        p.associate();
        std::uint32_t id = startObtain(p);
        serverRequest(answer(p, id, mms::FileOpenResponse{3, {}}), id);
        answer(p, id, mms::FileReadResponse{Bytes{1, 2, 3}, true});
        EXPECT_TRUE(p.dir.has("l.part"));
        p.connection.reset();
        EXPECT_FALSE(p.dir.has("l") || p.dir.has("l.part"));
    }
}

TEST_F(FileServicesTest, ObtainFileOneAtATimeAndNeverOverAnExistingFile)
{
    p.dir.write("exists", "keep");
    p.associate();
    p.dir.write("taken.part", "mine");
    EXPECT_EQ(failureCode(p.ask(1, mms::ObtainFileRequest{"r", "exists"})), fcode::DuplicateFilename);
    EXPECT_EQ(p.dir.read("exists"), "keep");
    EXPECT_EQ(failureCode(p.ask(4, mms::ObtainFileRequest{"r", "taken"})), fcode::DuplicateFilename);
    EXPECT_EQ(p.dir.read("taken.part"), "mine");
    const std::uint32_t id = startObtain(p, 2, "first");
    EXPECT_EQ(failureCode(p.ask(3, mms::ObtainFileRequest{"r", "second"})), fcode::FileBusy);
    // An answer that is not to our request is rejected like any stray response.
    EXPECT_TRUE(std::holds_alternative<mms::RejectPdu>(p.exchange(mms::encodePdu(
        mms::ConfirmedResponse{id + 100, mms::encodeExtra(mms::ExtraResponse{mms::FileOpenResponse{1, {}}})}))));
}
