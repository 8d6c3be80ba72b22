// What the IED layer tests share: an IedServer on 127.0.0.1 used through our
// client, and a temporary directory.
#pragma once

#include "data_rows.hpp"

#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"
#include "capture.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ied_test {

using iec61850::client::MmsConnection;
using iec61850::mms::DataAccessError;
using test_support::fromHex;

constexpr int kAccepted = -1;
constexpr int kDenied = static_cast<int>(DataAccessError::ObjectAccessDenied);
constexpr int kTypeInconsistent = static_cast<int>(DataAccessError::TypeInconsistent);
constexpr int kValueInvalid = static_cast<int>(DataAccessError::ObjectValueInvalid);
constexpr int kNonExistent = static_cast<int>(DataAccessError::ObjectNonExistent);
constexpr int kUnavailable = static_cast<int>(DataAccessError::TemporarilyUnavailable);

// The data-access error of a refused write, kAccepted when it was stored.
inline int writeError(MmsConnection& c, std::string_view domain, std::string_view item, const MmsValue& v)
{
    auto r = c.write(domain, item, v);
    if (r.ok())
        return kAccepted;
    EXPECT_EQ(r.error().kind, iec61850::client::ErrorKind::DataAccess) << r.error().describe();
    return r.error().code;
}

// The value of a client call. A failure is reported with its description
// and ends the test, as the access to the missing value throws.
template <class T>
T valueOf(iec61850::client::Result<T> r)
{
    EXPECT_TRUE(r.ok()) << r.error().describe();
    return std::move(r).value();
}

// An IedServer on a free port of 127.0.0.1, destroyed with this object.
class LoopbackServer {
public:
    explicit LoopbackServer(IedModel* model) : server_(IedServer_create(model)) {}
    ~LoopbackServer() { IedServer_destroy(server_); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    operator IedServer() const { return server_; }

    bool start()
    {
        if (!server_)
            return false;
        IedServer_setLocalIpAddress(server_, "127.0.0.1");
        IedServer_start(server_, 0);
        return IedServer_isRunning(server_);
    }

    bool connect(MmsConnection& c, std::int32_t maxPdu = 65000) const
    {
        iec61850::client::ConnectOptions o;
        o.port = static_cast<std::uint16_t>(IedServer_getPort(server_));
        o.maxPduSize = maxPdu;
        o.connectTimeoutMs = o.requestTimeoutMs = 10000;
        auto r = c.connect(o);
        EXPECT_TRUE(r.ok()) << r.error().describe();
        return r.ok();
    }

private:
    IedServer server_;
};

// A bit string of `size` bits with the bits of `set` set.
inline iec61850::mms::Value bits(std::size_t size, std::initializer_list<std::size_t> set)
{
    iec61850::mms::Value v = iec61850::mms::Value::bitString(size);
    for (std::size_t b : set)
        v.setBit(b, true);
    return v;
}

// The whitespace-separated fields of each line of a data file, without
// comments (from #) and blank lines.
using testsupport::dataRows;

// A temporary directory whose files the tests name.
struct TempDir : test_support::TempDir {
    std::string file(const char* name) const { return (path / name).string(); }
};

}  // namespace ied_test
