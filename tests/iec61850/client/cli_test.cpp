// The iec-client program against the scripted sessions of
// tests/data/client/cli.txt: the requests it sends, what it prints and its
// exit status.
#include "scripted_peer.hpp"

#include "child_process.hpp"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

namespace client_test {
namespace {

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> std::quoted(w);)
        out.push_back(w);
    return out;
}

TEST(Cli, RunsAsScripted)
{
    for (const Session& s : readSessions("cli.txt")) {
        SCOPED_TRACE(s.name);
        ScriptedPeer peer(s);
        testsupport::TempDir dir;
        std::vector<std::string> args = words(s.all("run").at(0));
        args.insert(args.begin(), {"-p", std::to_string(peer.options().port)});
        const auto r = testsupport::runToEnd(IEC_CLIENT_PATH, args, {.workingDirectory = dir.path(), .environment = {}});
        EXPECT_EQ(r.status, std::stoi(s.all("status").at(0))) << r.err;
        EXPECT_EQ(r.out, s.text("out"));
        EXPECT_NE(r.err.find(s.text("err")), std::string::npos) << r.err;
        for (const std::string& file : s.all("file")) {
            const std::size_t space = file.find(' ');
            EXPECT_EQ(testsupport::readFile(dir.path() + "/" + file.substr(0, space)), s.text("file " + file.substr(0, space)));
        }
        EXPECT_EQ(peer.finish(), "");
    }
}

}  // namespace
}  // namespace client_test
