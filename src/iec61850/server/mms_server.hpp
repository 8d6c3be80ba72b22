// The MMS server runtime: listens on a local address and port and serves one
// ServerConnection per client over non-blocking sockets. Run it threadless
// by calling step() from your own loop, or in a thread of its own with
// start()/stop(). It holds the data-model mutex while serving a request;
// lock it (lockModel()) to update values consistently.
#pragma once

#include "iec61850/platform/poller.hpp"
#include "iec61850/platform/socket.hpp"
#include "iec61850/server/file_store.hpp"
#include "iec61850/server/server_connection.hpp"

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace iec61850::server {

class MmsServer {
public:
    using ConnectionCallback = std::function<void(const ClientContext&)>;

    explicit MmsServer(MmsDataModel& model, ServerConfig config = {});
    ~MmsServer();
    MmsServer(const MmsServer&) = delete;
    MmsServer& operator=(const MmsServer&) = delete;

    // Set before listen().
    void setConnectionOpenedHandler(ConnectionCallback cb) { onOpened_ = std::move(cb); }
    void setConnectionClosedHandler(ConnectionCallback cb) { onClosed_ = std::move(cb); }

    // What identify answers; connections opened afterwards use it.
    void setIdentity(Identity identity);

    // The directory the file services serve (empty: none, file services
    // refused), and who may use them. Safe to call at any time.
    void setFileStore(std::string basePath);
    void setFileAccessHandler(FileAccessHandler handler);

    // Binds and listens; AddressInUse when the port is taken. Port 0 picks one.
    platform::NetStatus listen(std::string_view address, std::uint16_t port);
    std::uint16_t port() const { return listener_.port(); }

    // Threadless: serves whatever has arrived (accept, read, answer, flush)
    // and returns; waits at most timeoutMs for something to arrive.
    void step(int timeoutMs = 0);

    // Threaded: runs the loop in a thread of its own until stop(). Handlers
    // run on that thread with the model mutex held; they may send reports but
    // must not call close().
    bool start();
    void stop();
    bool isRunning() const { return running_; }

    std::size_t connectionCount() const;
    // Bytes all connections hold: output not yet sent, input not yet decoded.
    std::size_t bufferedBytes() const;

    // The data-model mutex. The runtime holds it while serving a request.
    std::recursive_mutex& modelMutex() { return mutex_; }
    std::unique_lock<std::recursive_mutex> lockModel() { return std::unique_lock(mutex_); }

    // Sends an informationReport to one connection. False when there is no
    // such association, the report exceeds its PDU size or its output is
    // backed up beyond the bound.
    bool sendInformationReport(ConnectionId id, const mms::VariableAccessSpec& access,
                               std::span<const mms::Value* const> values);
    // To every associated connection; returns how many got it.
    std::size_t broadcastInformationReport(const mms::VariableAccessSpec& access,
                                           std::span<const mms::Value* const> values);

    // Called by the serving loop (threaded or step()) under the model mutex
    // with the time in ms; returns the ms until it wants to run again, or -1.
    using TickHandler = std::function<int(std::uint64_t nowMs)>;
    void setTickHandler(TickHandler handler);
    // Makes a waiting loop run its tick handler soon (e.g. a new deadline).
    void wake() { waker_.wake(); }

    // A connection without a socket: the caller feeds its input and takes its
    // output, holding the model mutex (fuzzing, benchmarks). Reports do not
    // reach it. The model is told it closed when the handle goes.
    struct InMemoryClose {
        MmsServer* server;
        void operator()(ServerConnection* connection) const;
    };
    using InMemoryConnection = std::unique_ptr<ServerConnection, InMemoryClose>;
    InMemoryConnection connectInMemory();

    // Closes every connection and the listener (without callbacks to the model
    // beyond connectionClosed).
    void close();

private:
    struct Client {
        platform::Socket socket;
        std::unique_ptr<ServerConnection> connection;
        std::uint64_t acceptedAtMs = 0;
        platform::Interest interest;  // as registered with the poller
        bool dead = false;
    };

    void acceptPending();
    void updateInterests();
    void serveReady(const platform::ReadyEvent& event, bool& acceptNow);
    // Poll timeout that wakes us for the next association deadline.
    int pollTimeout(int requestedMs) const;
    void dropUnassociated();
    void serveInput(Client& c);
    void receive(Client& c, ByteView bytes);
    // Decodes what waited while the output was over the bound, once it is not.
    void resumeInput(Client& c);
    void flush(Client& c);
    void reap();
    void closeClient(Client& c);
    std::size_t queued(const Client& c) const { return c.connection->output().size(); }
    void run();
    int tick(int timeoutMs);
    void sendDeferredReports();

    // A report sent while a request is being served goes out after its response.
    struct DeferredReport {
        ConnectionId id;
        mms::VariableAccessSpec access;
        std::vector<mms::Value> values;
    };

    MmsDataModel& model_;
    ServerConfig config_;
    platform::Listener listener_;
    platform::Waker waker_;
    std::vector<std::unique_ptr<Client>> clients_;
    platform::Poller poller_;
    std::array<platform::ReadyEvent, 16> events_;
    std::vector<std::uint8_t> readBuffer_;
    ConnectionId nextId_ = 1;
    bool serving_ = false;  // inside ServerConnection::receive(), under the mutex
    mutable std::recursive_mutex mutex_;
    std::thread thread_;
    std::atomic<std::thread::id> loopThread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    FileStore fileStore_;
    ConnectionCallback onOpened_;
    ConnectionCallback onClosed_;
    TickHandler tickHandler_;
    std::vector<DeferredReport> deferred_;
};

}  // namespace iec61850::server
