// File services over real loopback TCP: our client continues directories and
// reads against the threaded server. Rename and delete go through iec-client
// in cli_test.cpp; refusals, path escapes and obtainFile are tested on the
// server side (tests/iec61850/server).
#include "temp_dir.hpp"
#include "test_server.hpp"

#include "iec61850/mms/file_service.hpp"

#include <gtest/gtest.h>

#include <cstdio>

namespace client_test {
namespace {

using namespace iec61850;
namespace fcode = mms::error_code::file;

TEST(FileLoopback, ListsAndReadsOverManyContinuations)
{
    test_support::TempDir store;
    TestServer server;
    server.server->setFileStore(store.path.string());
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
    client::MmsConnection c;
    ASSERT_TRUE(c.connect(server.options(300)).ok());
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
    EXPECT_TRUE(c.release().ok());
}

}  // namespace
}  // namespace client_test
