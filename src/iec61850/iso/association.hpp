// One ISO connection above TCP: TPKT (RFC 1006), COTP class 0 (ISO 8073),
// session (ISO 8327), presentation (ISO 8823) and ACSE (ISO 8650), carrying
// MMS PDUs as the user data. These are state machines over bytes: they never
// touch a socket. The owner feeds received bytes to receive(), sends what
// output() holds, and closes the socket once closed() is true and the output
// has been sent.
#pragma once

#include "iec61850/ber/ber.hpp"
#include "iec61850/iso/output_queue.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace iec61850::iso {

struct Limits {
    // Largest TPDU we offer/accept in CR/CC (TPDU size parameter, 128..8192 for class 0).
    std::size_t maxTpduSize = 8192;
    // Cap on a reassembled TSDU (a whole session PDU); the owner derives it
    // from the MMS maximum PDU size plus the upper layers' overhead.
    std::size_t maxTsduSize = 65000 + 1024;
    // Received bytes are decoded only while less than this waits in output();
    // the rest stays buffered until the owner has sent enough and calls
    // receive() again (with no bytes, or with more).
    std::size_t maxQueuedOutput = SIZE_MAX;
};

// Room an MMS PDU needs in front of its encoding for the headers of the
// layers below when it is handed over in a ber::Writer (send(ber::Writer&)).
constexpr std::size_t kFrameHeadroom = 32;

enum class State : std::uint8_t {
    Idle,            // nothing received / sent yet
    TransportOpen,   // COTP CR/CC done, waiting for the association
    Associated,      // AARQ/AARE done, MMS data may flow
    Releasing,       // release requested, waiting for the answer
    Closed,          // done: released, refused, aborted or failed
};

// Why a connection ended; kept for diagnostics and tests.
enum class CloseReason : std::uint8_t {
    None,
    Released,        // orderly ACSE release
    Refused,         // association refused (by us or the peer)
    PeerAborted,     // ABRT / AB / DR / ER from the peer
    ProtocolError,   // malformed or unexpected input; we sent an abort where the layer allows
    LocalAbort,      // abort() was called
};

struct AddressSelectors {
    Bytes tsel{0x00, 0x01};
    Bytes ssel{0x00, 0x01};
    Bytes psel{0x00, 0x00, 0x00, 0x01};
};

class ServerAssociation {
public:
    struct Callbacks {
        // The MMS initiate-request from the AARQ. Fill the initiate-response
        // (or an initiate-error PDU) and return true to accept, false to refuse.
        std::function<bool(ByteView initiateRequest, Bytes& initiateResponse)> onAssociate;
        // One complete MMS PDU from the peer while associated.
        std::function<void(ByteView mmsPdu)> onData;
    };

    ServerAssociation(Callbacks callbacks, Limits limits = {});
    ~ServerAssociation();
    ServerAssociation(const ServerAssociation&) = delete;
    ServerAssociation& operator=(const ServerAssociation&) = delete;

    void receive(ByteView bytes);
    // Received bytes not decoded yet (see Limits::maxQueuedOutput).
    std::size_t bufferedInput() const;
    // Queues one MMS PDU (the owner checks it against the negotiated MMS PDU size).
    void send(ByteView mmsPdu);
    // The same for a PDU encoded with kFrameHeadroom octets of headroom: the
    // lower layers' headers go in front of it in place.
    void send(ber::Writer& mmsPdu);
    // Sends an ACSE abort and closes.
    void abort();

    OutputQueue& output();
    const OutputQueue& output() const;
    State state() const;
    bool closed() const { return state() == State::Closed; }
    CloseReason closeReason() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class ClientAssociation {
public:
    struct Callbacks {
        // The MMS initiate-response (or initiate-error) from an accepting AARE.
        std::function<void(ByteView initiateResponse)> onAssociated;
        // The association was refused (CR refused, RF, AARE rejected); the PDU
        // is the MMS initiate-error when the peer sent one.
        std::function<void(ByteView mmsPdu)> onRefused;
        std::function<void(ByteView mmsPdu)> onData;
        std::function<void()> onReleased;
        std::function<void()> onAborted;
    };

    ClientAssociation(Callbacks callbacks, Limits limits = {}, AddressSelectors local = {},
                      AddressSelectors remote = {});
    ~ClientAssociation();
    ClientAssociation(const ClientAssociation&) = delete;
    ClientAssociation& operator=(const ClientAssociation&) = delete;

    // Sends CR; once CC arrives, sends CN/CP/AARQ carrying the initiate-request.
    void connect(ByteView mmsInitiateRequest);
    void receive(ByteView bytes);
    void send(ByteView mmsPdu);
    // Orderly release: FN/RLRQ, closed once DN/RLRE arrives.
    void release();
    void abort();

    OutputQueue& output();
    State state() const;
    bool closed() const { return state() == State::Closed; }
    CloseReason closeReason() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace iec61850::iso
