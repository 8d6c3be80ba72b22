// Helpers shared by the box's tests: attributes by path, the MMS domains,
// a client on 127.0.0.1, and waiting with a deadline.
#pragma once

#include "box_model.hpp"

#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace boxtest {

inline constexpr const char* kStb = "FNN_STEUERBOXSTB";
inline constexpr const char* kCls1 = "FNN_STEUERBOXCLS1";
inline constexpr const char* kCls2 = "FNN_STEUERBOXCLS2";
inline constexpr std::uint16_t kServerPort = 4102;

inline std::vector<std::string> split(std::string_view text, char separator)
{
    std::vector<std::string> parts;
    for (std::size_t at = 0;;) {
        const auto next = text.find(separator, at);
        parts.emplace_back(text.substr(at, next - at));
        if (next == std::string_view::npos)
            return parts;
        at = next + 1;
    }
}

// "CLS1/MMXU001.TotW.mag.f": found with findDataAttribute, then component by component.
inline DataAttribute* attributeAt(std::string_view path)
{
    const auto slash = path.find('/');
    const auto names = split(path.substr(slash + 1), '.');
    DataAttribute* a = nullptr;
    if (slash != std::string_view::npos && names.size() >= 3)
        a = box::findDataAttribute(path.substr(0, slash), names[0], names[1], names[2]);
    for (std::size_t i = 3; a && i < names.size(); ++i)
        a = static_cast<DataAttribute*>(ModelNode_getChild(a, names[i].c_str()));
    EXPECT_NE(a, nullptr) << path;
    return a;
}

inline std::uint64_t nowMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline ::testing::AssertionResult connectTo(iec61850::client::MmsConnection& connection,
                                            std::uint16_t port = kServerPort)
{
    iec61850::client::ConnectOptions options;
    options.port = port;
    auto connected = connection.connect(options);
    if (connected.ok())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no association on port " << port << ": " << connected.error().describe();
}

// A server of the test's own on the box model, listening on a free port of 127.0.0.1.
inline std::uint16_t startOnLoopback(IedServer server)
{
    IedServer_setLocalIpAddress(server, "127.0.0.1");
    IedServer_start(server, 0);
    return static_cast<std::uint16_t>(IedServer_getPort(server));
}

// A server of its own on the box model, with the start values.
class ModelServer {
public:
    ModelServer() : server_(IedServer_create(box::staticModel())) {}
    ~ModelServer() { IedServer_destroy(server_); }
    ModelServer(const ModelServer&) = delete;
    ModelServer& operator=(const ModelServer&) = delete;
    IedServer get() const { return server_; }

private:
    IedServer server_;
};

#ifdef BOX_TEST_DATA_DIR

// The tab-separated fields of each line of a data file; lines starting with '#' are comments.
inline std::vector<std::vector<std::string>> dataRows(const std::string& name)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(BOX_TEST_DATA_DIR "/" + name);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            rows.push_back(split(line, '\t'));
    EXPECT_FALSE(rows.empty()) << name;
    return rows;
}
#endif

}  // namespace boxtest
