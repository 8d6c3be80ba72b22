// A scripted server side over loopback TCP: it accepts one connection,
// associates, and answers each confirmed request as the test's script says,
// including wrongly. It records the raw MMS request PDUs.
#pragma once

#include "iec61850/client/mms_connection.hpp"
#include "iec61850/platform/socket.hpp"

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace client_test {

using namespace iec61850;

struct Reply {
    std::vector<Bytes> pdus;  // raw MMS PDUs, sent in order
    bool close = false;       // then drop the connection
};

inline Bytes encode(mms::Pdu pdu)
{
    return mms::encodePdu(pdu);
}

inline Bytes respond(std::uint32_t invokeId, mms::ConfirmedResponseService service)
{
    return encode(mms::ConfirmedResponse{invokeId, std::move(service)});
}

// Accepts one connection and answers each confirmed request with the
// script's reply. Runs in a thread of its own until destroyed.
class ScriptedPeer {
public:
    using Script = std::function<Reply(const mms::ConfirmedRequest&)>;

    explicit ScriptedPeer(Script script, bool acceptAssociation = true)
        : script_(std::move(script)), accept_(acceptAssociation)
    {
        if (listener_.open("127.0.0.1", 0) != platform::NetStatus::Ok)
            throw std::runtime_error("scripted peer cannot listen");
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedPeer()
    {
        stop_ = true;
        thread_.join();
    }

    client::ConnectOptions options() const
    {
        client::ConnectOptions o;
        o.port = listener_.port();
        o.connectTimeoutMs = o.requestTimeoutMs = 5000;
        return o;
    }
    int requests() const { return requests_; }
    // The MMS PDUs of the requests so far, as received.
    std::vector<Bytes> received() const
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void run()
    {
        platform::Socket socket;
        while (!stop_ && !socket.valid()) {
            platform::PollEntry e{listener_.fd(), true, false};
            if (platform::poll(std::span(&e, 1), 20) > 0)
                listener_.accept(socket);
        }
        bool dropAfterFlush = false;
        iso::ServerAssociation::Callbacks callbacks;
        callbacks.onAssociate = [this](ByteView, Bytes& response) {
            mms::InitiateParameters p;
            p.localDetail = 65000;
            p.maxServOutstandingCalling = p.maxServOutstandingCalled = 5;
            p.dataStructureNestingLevel = 10;
            response = encode(mms::InitiateResponse{p});
            return accept_;
        };
        iso::ServerAssociation* association = nullptr;
        callbacks.onData = [&](ByteView bytes) {
            mms::Pdu pdu;
            if (mms::decodePdu(bytes, pdu) != mms::Status::Ok)
                return;
            if (std::holds_alternative<mms::ConcludeRequest>(pdu)) {
                association->send(encode(mms::ConcludeResponse{}));
                return;
            }
            const auto* request = std::get_if<mms::ConfirmedRequest>(&pdu);
            if (!request)
                return;
            ++requests_;
            {
                std::lock_guard lock(mutex_);
                received_.emplace_back(bytes.begin(), bytes.end());
            }
            Reply reply = script_(*request);
            for (const Bytes& b : reply.pdus)
                association->send(b);
            dropAfterFlush = dropAfterFlush || reply.close;
        };
        iso::ServerAssociation a(std::move(callbacks));
        association = &a;
        Bytes buffer(16384);
        while (!stop_ && socket.valid()) {
            iso::OutputQueue& out = a.output();
            while (!out.empty()) {
                auto r = socket.send(out.pending());
                if (!r.ok() && r.status != platform::NetStatus::WouldBlock)
                    break;
                out.consume(r.count);
            }
            if (dropAfterFlush || a.closed())
                break;
            platform::PollEntry e{socket.fd(), true, false};
            if (platform::poll(std::span(&e, 1), 20) <= 0)
                continue;
            auto r = socket.recv(buffer);
            if (r.ok())
                a.receive(ByteView(buffer).first(r.count));
            else if (r.status != platform::NetStatus::WouldBlock)
                break;
        }
    }

    Script script_;
    bool accept_;
    platform::Listener listener_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::vector<Bytes> received_;
};

}  // namespace client_test
