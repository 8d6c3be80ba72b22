// Fuzz target: arbitrary client bytes fed to one connection of the box's own
// server: the FNN_STEUERBOX model with its write, connection and file handlers,
// data sets, report and log control blocks, controls and logs, as IecServer
// sets them up (without listening and without a schedule manager). The first
// input byte picks the chunking: 0 feeds everything at once, any other value
// seeds the chunk sizes. The server lives across inputs, in a directory of its
// own; every input is a new association. The box prints what clients write:
// fuzz with -close_fd_mask=1.
#include "iec_server.hpp"
#include "server_context.hpp"
#include "settings_store.hpp"

#include "iec61850/server/mms_server.hpp"

#include "chunker.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string directory;

// Before the model's own destructor: the settings store, then the server.
void closeBoxServer()
{
    settingsStore.reset();
    IedServer_destroy(iedServer.exchange(nullptr));
    std::filesystem::remove_all(directory);
}

// Set up in a directory of its own (settings, logs, file store), then back
// where the fuzzer runs, which keeps relative paths.
iec61850::server::MmsServer& boxServer()
{
    static iec61850::server::MmsServer* server = [] {
        char pattern[] = "/tmp/box-fuzz-XXXXXX";
        const auto cwd = std::filesystem::current_path();
        if (!mkdtemp(pattern) || chdir(pattern) != 0)
            std::abort();
        directory = pattern;
        std::filesystem::create_directory("uploaded_files");
        static ServerContext context("fuzz");
        prepareIecServer(context);
        IedServer_setWriteAccessPolicy(iedServer, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);
        IedServer_setFilestoreBasepath(iedServer, (directory + "/uploaded_files/").c_str());
        std::atexit(closeBoxServer);
        std::filesystem::current_path(cwd);
        return IedServer_getMmsServer(iedServer);
    }();
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    auto& server = boxServer();
    auto lock = server.lockModel();
    auto connection = server.connectInMemory();
    Chunker chunker(data[0]);
    iec61850::ByteView rest(data + 1, size - 1);
    while (!rest.empty() && !connection->closed()) {
        const std::size_t n = chunker.next(rest.size());
        connection->receive(rest.first(n));
        rest = rest.subspan(n);
        connection->output().clear();
    }
    {
        std::lock_guard changes(changeMutex);
        pendingChanges.clear();
    }
    return 0;
}
