// The file store of a ServerConnection, for what a transcript cannot show: names
// that leave the store through links, and the descriptors and partial files a
// connection leaves when it ends. Services, negotiation, limits, file services
// and ReadJournal paging: tests/data/transcripts/server-sessions.txt.
#include "data_rows.hpp"
#include "temp_dir.hpp"
#include "wire_helpers.hpp"

#include <gtest/gtest.h>

using namespace test;
using namespace iec61850::server;
using test_support::TempDir;
namespace fs = std::filesystem;

namespace {

// A connection serving a temporary file store; the connection ends before the store.
struct Files {
    TempDir dir;
    FileStore store{dir.path.string()};
    InMemoryModel model;
    Peer p{model};

    Files()
    {
        p.connection->setFileStore(&store);
        p.associate();
    }
    bool denied(const mms::ExtraRequest& r)
    {
        const mms::Pdu pdu = p.ask(1, r);
        const auto* e = std::get_if<mms::ConfirmedError>(&pdu);
        return e && e->error.errorClass == mms::ErrorClass::File &&
               e->error.code == mms::error_code::file::FileAccessDenied;
    }
};

}  // namespace

TEST(FileStore, NamesTakeTheirNormalForm)
{
    for (const auto& row : testsupport::dataRows(std::string(TEST_DATA_DIR) + "/file_names.txt"))
        EXPECT_EQ(normalFileName(row.at(0)).value_or("-"), row.at(1)) << row[0];
}

TEST(FileStore, NamesThatLeaveTheStoreAreRefused)
{
    Files f;
    TempDir outside;
    outside.write("secret", "s");
    f.dir.write("in.txt", "i");
    fs::create_symlink(outside.path / "secret", f.dir.path / "link");
    fs::create_directory_symlink(outside.path, f.dir.path / "linkdir");
    fs::create_symlink(f.dir.path / "in.txt", f.dir.path / "inner-link");
    for (const std::string& name : {std::string("link"), std::string("linkdir/secret"), (outside.path / "secret").string(),
                                    "./../" + outside.path.filename().string() + "/secret"}) {
        SCOPED_TRACE(name);
        for (const mms::ExtraRequest& r :
             {mms::ExtraRequest{mms::FileOpenRequest{name, 0}}, mms::ExtraRequest{mms::FileDeleteRequest{name}},
              mms::ExtraRequest{mms::FileRenameRequest{"in.txt", name}},
              mms::ExtraRequest{mms::FileRenameRequest{name, "stolen"}},
              mms::ExtraRequest{mms::FileDirectoryRequest{name, {}}}, mms::ExtraRequest{mms::ObtainFileRequest{"r", name}}})
            EXPECT_TRUE(f.denied(r)) << r.index();
    }
    EXPECT_EQ(outside.read("secret"), "s");
    EXPECT_TRUE(f.dir.has("in.txt"));
    // A link that stays inside is followed; links out are not even listed.
    EXPECT_EQ(extraResponse<mms::FileOpenResponse>(f.p.ask(7, mms::FileOpenRequest{"inner-link", 0})).attributes.size, 1u);
    std::vector<std::string> names;
    for (const auto& e : extraResponse<mms::FileDirectoryResponse>(f.p.ask(8, mms::FileDirectoryRequest{})).entries)
        names.push_back(e.fileName);
    EXPECT_EQ(names, (std::vector<std::string>{"in.txt", "inner-link"}));
}

TEST(FileStore, AConnectionThatEndsClosesItsFilesAndDropsAPartlyObtainedOne)
{
    Files f;
    f.dir.write("f", "x");
    for (std::uint32_t i = 1; i <= 5; ++i)
        extraResponse<mms::FileOpenResponse>(f.p.ask(i, mms::FileOpenRequest{"f", 0}));
    // obtainFile "r" -> "l": the server opens the client's file (invoke ID 1), reads it (2).
    f.p.feed(clientTpkt(fromHex("a01002010abf2e0aa103190172a20319016c")));
    f.p.feed(clientTpkt(fromHex("a10e020101bf4808800103a103800109")));
    f.p.feed(clientTpkt(fromHex("a10b020102bf49058003010203")));
    EXPECT_TRUE(f.dir.has("l.part"));
    const auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}); };
    const auto before = fds();
    f.p.connection.reset();
    EXPECT_EQ(fds(), before - 6);
    EXPECT_FALSE(f.dir.has("l") || f.dir.has("l.part"));
}
