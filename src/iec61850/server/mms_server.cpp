#include "iec61850/server/mms_server.hpp"

#include "iec61850/platform/clock.hpp"

#include <algorithm>

namespace iec61850::server {

namespace {
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr int kReadsPerStep = 4;  // per client, so one busy client cannot starve the others
}  // namespace

MmsServer::MmsServer(MmsDataModel& model, ServerConfig config)
    : model_(model), config_(std::move(config)), readBuffer_(kReadChunk)
{
    poller_.add(waker_.fd(), {true, false});
}

MmsServer::~MmsServer()
{
    stop();
    // The application's handlers may already be gone; only the model hears of it.
    onOpened_ = nullptr;
    onClosed_ = nullptr;
    close();
}

void MmsServer::setIdentity(Identity identity)
{
    std::lock_guard lock(mutex_);
    config_.identity = std::move(identity);
}

void MmsServer::setFileStore(std::string basePath)
{
    std::lock_guard lock(mutex_);
    fileStore_.setBasePath(std::move(basePath));
}

void MmsServer::setFileAccessHandler(FileAccessHandler handler)
{
    std::lock_guard lock(mutex_);
    fileStore_.setAccessHandler(std::move(handler));
}

platform::NetStatus MmsServer::listen(std::string_view address, std::uint16_t port)
{
    std::lock_guard lock(mutex_);
    platform::NetStatus status = listener_.open(address, port);
    if (status == platform::NetStatus::Ok && !poller_.add(listener_.fd(), {true, false})) {
        listener_.close();  // a listener nobody waits on would accept no one
        return platform::NetStatus::Error;
    }
    return status;
}

std::size_t MmsServer::connectionCount() const
{
    std::lock_guard lock(mutex_);
    return clients_.size();
}

std::size_t MmsServer::bufferedBytes() const
{
    std::lock_guard lock(mutex_);
    std::size_t bytes = 0;
    for (const auto& c : clients_)
        bytes += queued(*c) + c->connection->bufferedInput();
    return bytes;
}

void MmsServer::step(int timeoutMs)
{
    if (running_ && std::this_thread::get_id() != loopThread_.load())
        return;  // the server's own thread is serving
    {
        std::lock_guard lock(mutex_);
        timeoutMs = tick(pollTimeout(timeoutMs));
        updateInterests();
    }
    // The application may lock the model (and queue reports) while we wait.
    const int ready = poller_.wait(events_, timeoutMs);

    std::lock_guard lock(mutex_);
    bool acceptNow = false;
    for (int i = 0; i < ready; ++i)
        serveReady(events_[static_cast<std::size_t>(i)], acceptNow);
    for (auto& c : clients_) {
        if (!c->dead)
            flush(*c);
        if (!c->dead)
            resumeInput(*c);
    }
    dropUnassociated();
    reap();
    if (acceptNow)
        acceptPending();
}

void MmsServer::serveReady(const platform::ReadyEvent& event, bool& acceptNow)
{
    if (event.fd == waker_.fd()) {
        waker_.drain();
    } else if (event.fd == listener_.fd()) {
        acceptNow = true;
    } else if (event.readable || event.failed) {
        // Clients only come and go on this thread; one closed meanwhile is simply not found.
        auto it = std::find_if(clients_.begin(), clients_.end(),
                               [&](const auto& c) { return c->socket.fd() == event.fd; });
        if (it != clients_.end() && !(*it)->dead)
            serveInput(**it);
    }
}

void MmsServer::updateInterests()
{
    for (auto& c : clients_) {
        const platform::Interest wanted{!c->connection->outputFull(), queued(*c) > 0};
        if (wanted != c->interest && poller_.modify(c->socket.fd(), wanted))
            c->interest = wanted;
    }
}

int MmsServer::pollTimeout(int requestedMs) const
{
    if (config_.associateTimeoutMs == 0)
        return requestedMs;
    std::uint64_t now = platform::timeMs();
    int timeout = requestedMs;
    for (const auto& c : clients_) {
        if (c->connection->associated() || c->connection->closed())
            continue;
        std::uint64_t deadline = c->acceptedAtMs + config_.associateTimeoutMs;
        int left = deadline > now ? static_cast<int>(std::min<std::uint64_t>(deadline - now, 60000)) : 0;
        if (timeout < 0 || left < timeout)
            timeout = left;
    }
    return timeout;
}

void MmsServer::dropUnassociated()
{
    if (config_.associateTimeoutMs == 0)
        return;
    std::uint64_t now = platform::timeMs();
    for (auto& c : clients_)
        if (!c->connection->associated() && !c->connection->closed() &&
            now - c->acceptedAtMs >= config_.associateTimeoutMs)
            c->dead = true;
}

void MmsServer::acceptPending()
{
    for (;;) {
        platform::Socket socket;
        if (listener_.accept(socket) != platform::NetStatus::Ok)
            return;
        if (clients_.size() >= config_.maxConnections || !poller_.add(socket.fd(), {true, false}))
            continue;  // refused: the socket closes here, the others carry on
        if (config_.keepAliveIdleSeconds > 0)
            socket.setKeepAlive(config_.keepAliveIdleSeconds, config_.keepAliveIntervalSeconds, config_.keepAliveProbes);
        auto c = std::make_unique<Client>();
        ClientContext context{nextId_++, socket.localAddress(), socket.peerAddress(), nullptr};
        c->socket = std::move(socket);
        c->acceptedAtMs = platform::timeMs();
        c->interest = {true, false};
        c->connection = std::make_unique<ServerConnection>(model_, config_, std::move(context));
        c->connection->setFileStore(&fileStore_);
        model_.connectionOpened(c->connection->client());
        if (onOpened_)
            onOpened_(c->connection->client());
        clients_.push_back(std::move(c));
    }
}

MmsServer::InMemoryConnection MmsServer::connectInMemory()
{
    ClientContext context{nextId_++, "in-memory", "in-memory", nullptr};
    InMemoryConnection connection(new ServerConnection(model_, config_, std::move(context)), InMemoryClose{this});
    connection->setFileStore(&fileStore_);
    model_.connectionOpened(connection->client());
    if (onOpened_)
        onOpened_(connection->client());
    return connection;
}

void MmsServer::InMemoryClose::operator()(ServerConnection* connection) const
{
    server->model_.connectionClosed(connection->client());
    if (server->onClosed_)
        server->onClosed_(connection->client());
    delete connection;
}

// Reads only while the connection decodes: what it read but could not
// decode yet (its output over the bound) is at most one read.
void MmsServer::serveInput(Client& c)
{
    for (int i = 0; i < kReadsPerStep && !c.dead && !c.connection->outputFull(); ++i) {
        platform::IoResult r = c.socket.recv(readBuffer_);
        if (r.status == platform::NetStatus::WouldBlock)
            return;
        if (!r.ok()) {
            // The client went away (orderly or not): send what is still
            // queued if the socket takes it, then free the connection.
            flush(c);
            c.dead = true;
            return;
        }
        receive(c, ByteView(readBuffer_.data(), r.count));
        if (r.count < readBuffer_.size())
            return;
    }
}

void MmsServer::receive(Client& c, ByteView bytes)
{
    serving_ = true;
    c.connection->receive(bytes);
    serving_ = false;
    sendDeferredReports();
}

void MmsServer::resumeInput(Client& c)
{
    if (c.connection->bufferedInput() == 0 || c.connection->outputFull())
        return;
    receive(c, {});
    flush(c);
}

void MmsServer::flush(Client& c)
{
    iso::OutputQueue& out = c.connection->output();
    while (!out.empty()) {
        platform::IoResult r = c.socket.send(out.pending());
        if (r.status == platform::NetStatus::WouldBlock)
            break;
        if (!r.ok()) {
            c.dead = true;
            out.clear();
            return;
        }
        out.consume(r.count);
    }
    if (out.empty() && c.connection->closed())
        c.dead = true;
}

void MmsServer::closeClient(Client& c)
{
    poller_.remove(c.socket.fd());
    c.socket.close();
    model_.connectionClosed(c.connection->client());
    if (onClosed_)
        onClosed_(c.connection->client());
}

void MmsServer::reap()
{
    auto firstDead = std::stable_partition(clients_.begin(), clients_.end(), [](const auto& c) { return !c->dead; });
    for (auto it = firstDead; it != clients_.end(); ++it)
        closeClient(**it);
    clients_.erase(firstDead, clients_.end());
}

bool MmsServer::start()
{
    std::lock_guard lock(mutex_);
    if (running_ || !listener_.valid())
        return false;
    stopRequested_ = false;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void MmsServer::run()
{
    loopThread_ = std::this_thread::get_id();
    while (!stopRequested_)
        step(-1);
}

void MmsServer::stop()
{
    if (!thread_.joinable())
        return;
    stopRequested_ = true;
    if (std::this_thread::get_id() == loopThread_.load())
        return;  // asked from a handler: the loop ends after this step; a later stop() joins
    waker_.wake();
    thread_.join();
    running_ = false;
}

void MmsServer::close()
{
    std::lock_guard lock(mutex_);
    for (auto& c : clients_)
        closeClient(*c);
    clients_.clear();
    if (listener_.valid())
        poller_.remove(listener_.fd());
    listener_.close();
}

bool MmsServer::sendInformationReport(ConnectionId id, const mms::VariableAccessSpec& access,
                                      std::span<const mms::Value* const> values)
{
    std::lock_guard lock(mutex_);
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [id](const auto& c) { return c->connection->client().id == id; });
    if (it == clients_.end() || (*it)->dead || (*it)->connection->outputFull())
        return false;
    Client& c = **it;
    if (serving_) {
        std::vector<mms::Value> copies;
        copies.reserve(values.size());
        for (const mms::Value* v : values)
            copies.push_back(*v);
        deferred_.push_back({id, access, std::move(copies)});
        return true;  // sent right after the response (see serveInput)
    }
    if (!c.connection->sendInformationReport(access, values))
        return false;
    flush(c);
    if (queued(c) > 0)
        waker_.wake();  // let the loop wait for the socket to take the rest
    return true;
}

std::size_t MmsServer::broadcastInformationReport(const mms::VariableAccessSpec& access,
                                                  std::span<const mms::Value* const> values)
{
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& c : clients_)
        if (sendInformationReport(c->connection->client().id, access, values))
            ++count;
    return count;
}

}  // namespace iec61850::server

namespace iec61850::server {

void MmsServer::setTickHandler(TickHandler handler)
{
    std::lock_guard lock(mutex_);
    tickHandler_ = std::move(handler);
    waker_.wake();
}

int MmsServer::tick(int timeoutMs)
{
    if (!tickHandler_)
        return timeoutMs;
    int wanted = tickHandler_(platform::timeMs());
    if (wanted >= 0 && (timeoutMs < 0 || wanted < timeoutMs))
        return wanted;
    return timeoutMs;
}

void MmsServer::sendDeferredReports()
{
    std::vector<DeferredReport> reports;
    reports.swap(deferred_);
    for (const DeferredReport& r : reports) {
        std::vector<const mms::Value*> values;
        values.reserve(r.values.size());
        for (const mms::Value& v : r.values)
            values.push_back(&v);
        sendInformationReport(r.id, r.access, values);
    }
}

}  // namespace iec61850::server
