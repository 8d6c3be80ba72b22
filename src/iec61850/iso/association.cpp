#include "iec61850/iso/association.hpp"

#include "iec61850/iso/acse.hpp"
#include "iec61850/iso/presentation.hpp"
#include "iec61850/iso/session.hpp"
#include "iec61850/iso/tpkt_cotp.hpp"

#include <algorithm>

namespace iec61850::iso {
namespace {

constexpr std::uint16_t kLocalRef = 0x0001;
constexpr std::uint8_t kErrorNotSpecified = 0, kErrorInvalidTpdu = 1;  // COTP reject causes

// What both ends share: framing, segmentation, reassembly, the layered
// encodings of data, release and abort, and the end state.
class Link {
public:
    explicit Link(const Limits& limits)
        : limits_(limits),
          framer_(cotp::sizeFromCode(cotp::codeForSize(limits.maxTpduSize)) + tpkt::kHeaderSize),
          reassembler_(limits.maxTsduSize)
    {
    }

    OutputQueue out;
    State state = State::Idle;
    CloseReason reason = CloseReason::None;
    presentation::Contexts contexts;
    bool sessionStarted = false;  // a CN was sent or received: aborts go through the session
    std::uint16_t peerRef = 0;

    bool closed() const { return state == State::Closed; }
    void close(CloseReason r)
    {
        state = State::Closed;
        reason = r;
    }

    std::uint8_t offeredSizeCode() const { return cotp::codeForSize(limits_.maxTpduSize); }
    void negotiateTpduSize(std::uint8_t peerCode)
    {
        const std::size_t peer = peerCode ? cotp::sizeFromCode(peerCode) : cotp::kDefaultTpduSize;
        tpduSize_ = std::min(peer, cotp::sizeFromCode(offeredSizeCode()));
    }
    std::size_t tpduSize() const { return tpduSize_; }

    // Feeds bytes and hands each non-DT TPDU and each complete TSDU to its
    // handler until the link closes.
    template <typename OnTpdu, typename OnTsdu>
    void receive(ByteView bytes, OnTpdu&& onTpdu, OnTsdu&& onTsdu)
    {
        if (closed())
            return;
        framer_.feed(bytes);
        while (!closed() && out.size() < limits_.maxQueuedOutput) {
            ByteView packet;
            const Result r = framer_.next(packet);
            if (r == Result::NeedMore)
                return;
            cotp::Tpdu tpdu;
            if (r != Result::Ok || cotp::decode(packet, tpdu) != Result::Ok) {
                transportError(r == Result::Ok ? packet : ByteView{});
                return;
            }
            if (tpdu.code != cotp::Code::DT) {
                onTpdu(tpdu);
                continue;
            }
            if (state == State::Idle) {
                protocolError();
                return;
            }
            bool complete = false;
            if (reassembler_.add(tpdu.data, complete) != Result::Ok) {
                protocolError();
                return;
            }
            if (complete)
                onTsdu(reassembler_.tsdu());
        }
    }

    std::size_t bufferedInput() const { return framer_.buffered(); }

    void sendTsdu(ByteView tsdu)
    {
        Bytes packets;
        cotp::appendData(packets, tsdu, tpduSize_);
        out.append(packets);
    }

    // Session and presentation headers go in front of the PDU in place; so do
    // TPKT and COTP when it fits one TPDU.
    void sendData(ber::Writer& mmsPdu)
    {
        if (mmsPdu.headroom() < kFrameHeadroom) {
            ber::Writer framed;
            framed.reset(kFrameHeadroom);
            framed.raw(mmsPdu.encoding());
            return sendData(framed);
        }
        presentation::prependUserData(mmsPdu, contexts.mms);
        session::prependDataHeader(mmsPdu);
        if (cotp::prependData(mmsPdu, tpduSize_))
            out.append(mmsPdu.encoding());
        else
            sendTsdu(mmsPdu.encoding());
    }

    void sendData(ByteView mmsPdu)
    {
        ber::Writer w;
        w.reset(kFrameHeadroom);
        w.raw(mmsPdu);
        sendData(w);
    }

    // Sends the ACSE APDU in the user data of an FN or DN.
    void sendRelease(bool finish, const Bytes& apdu)
    {
        const Bytes ppdu = presentation::encodeUserData(contexts.acse, apdu);
        Bytes tsdu;
        if (finish ? session::appendFinish(tsdu, ppdu) : session::appendDisconnect(tsdu, ppdu))
            sendTsdu(tsdu);
    }

    void sendAbort(std::int64_t abortSource)
    {
        Bytes tsdu;
        const bool withAcse = state == State::Associated || state == State::Releasing;
        const Bytes aru = withAcse ? presentation::encodeAbort(contexts.acse, acse::encodeAbrt(abortSource)) : Bytes{};
        if (session::appendAbort(tsdu, aru))
            sendTsdu(tsdu);
    }

    void transportError(ByteView badTpdu)
    {
        const std::size_t headerSize = badTpdu.empty() ? 0 : std::min<std::size_t>(badTpdu.size(), 1u + badTpdu[0]);
        Bytes er;
        cotp::appendError(er, {peerRef, badTpdu.empty() ? kErrorNotSpecified : kErrorInvalidTpdu},
                          badTpdu.first(headerSize));
        out.append(er);
        close(CloseReason::ProtocolError);
    }

    // Malformed or out-of-order input above the transport.
    void protocolError()
    {
        if (sessionStarted) {
            sendAbort(acse::source::AbortByProvider);
        } else {
            Bytes er;
            cotp::appendError(er, {peerRef, kErrorNotSpecified});
            out.append(er);
        }
        close(CloseReason::ProtocolError);
    }

    void abortLocally()
    {
        if (closed())
            return;
        if (sessionStarted)
            sendAbort(acse::source::AbortByUser);
        close(CloseReason::LocalAbort);
    }

private:
    Limits limits_;
    tpkt::Framer framer_;
    cotp::Reassembler reassembler_;
    std::size_t tpduSize_ = cotp::kDefaultTpduSize;
};

// The single PDV of an ACSE-carrying user data, decoded as an ACSE APDU.
bool decodeAcse(const std::vector<presentation::Pdv>& pdvs, std::int64_t acseContext, acse::Apdu& apdu)
{
    return pdvs.size() == 1 && pdvs[0].contextId == acseContext && acse::decode(pdvs[0].value, apdu) == Result::Ok;
}

bool decodeAcse(ByteView ppdu, std::int64_t acseContext, acse::Apdu& apdu)
{
    std::vector<presentation::Pdv> pdvs;
    return presentation::decodeUserData(ppdu, pdvs) == Result::Ok && decodeAcse(pdvs, acseContext, apdu);
}

ByteView userValue(const acse::Apdu& apdu)
{
    return apdu.userInformation ? apdu.userInformation->value : ByteView{};
}

}  // namespace

// ---------------------------------------------------------------- server

struct ServerAssociation::Impl {
    Impl(Callbacks c, const Limits& l) : callbacks(std::move(c)), link(l) {}

    Callbacks callbacks;
    Link link;
    std::vector<presentation::Pdv> pdvs;  // of the last data SPDU, kept for its capacity

    void onTpdu(const cotp::Tpdu& tpdu)
    {
        switch (tpdu.code) {
        case cotp::Code::CR:
            if (link.state != State::Idle)
                return link.protocolError();
            acceptTransport(tpdu.connect);
            return;
        case cotp::Code::DR:
        case cotp::Code::ER:
            return link.close(CloseReason::PeerAborted);
        default:
            return link.protocolError();
        }
    }

    void acceptTransport(const cotp::Connect& cr)
    {
        link.peerRef = cr.srcRef;
        link.negotiateTpduSize(cr.tpduSizeCode);
        cotp::Connect cc = cr;
        cc.dstRef = cr.srcRef;
        cc.srcRef = kLocalRef;
        cc.classOptions = 0;
        cc.tpduSizeCode = cotp::codeForSize(link.tpduSize());
        Bytes packet;
        cotp::appendConnect(packet, cotp::Code::CC, cc);
        link.out.append(packet);
        link.state = State::TransportOpen;
    }

    void onTsdu(ByteView tsdu)
    {
        session::Spdu spdu;
        if (session::decode(tsdu, spdu) != Result::Ok)
            return link.protocolError();
        if (link.state == State::TransportOpen) {
            if (spdu.kind != session::Kind::Connect)
                return link.protocolError();
            link.sessionStarted = true;
            return associate(spdu);
        }
        switch (spdu.kind) {
        case session::Kind::Data:
            return deliver(spdu.userData);
        case session::Kind::Finish:
            return release(spdu.userData);
        case session::Kind::Abort:
            return link.close(CloseReason::PeerAborted);
        default:
            return link.protocolError();
        }
    }

    void associate(const session::Spdu& cn)
    {
        presentation::ConnectRequest cp;
        if (cn.versions != 0 && (cn.versions & session::kVersion2) == 0)
            return refuse(cn, {});
        if (presentation::decodeConnect(cn.userData, cp) != Result::Ok)
            return link.protocolError();
        std::vector<presentation::ContextResult> results;
        if (!presentation::negotiate(cp, link.contexts, results)) {
            const Bytes cpr = presentation::encodeRefuse(cp.calledSelector, results, 0, 0, {});
            return refuse(cn, cpr);
        }
        acse::Apdu aarq;
        if (!decodeAcse(cp.userData, link.contexts.acse, aarq) || aarq.kind != acse::Kind::Aarq)
            return link.protocolError();

        Bytes response;
        const bool usable = aarq.contextName == acse::kMmsContextName && aarq.userInformation &&
                            aarq.userInformation->contextId.value_or(link.contexts.mms) == link.contexts.mms;
        const bool accepted = usable && callbacks.onAssociate && callbacks.onAssociate(userValue(aarq), response);
        if (!accepted) {
            const std::int64_t diag = aarq.contextName == acse::kMmsContextName ? acse::diagnostic::NoReasonGiven
                                                                                 : acse::diagnostic::ContextNameNotSupported;
            const Bytes aare = acse::encodeAare(acse::result::RejectedPermanent, acse::source::ServiceUser, diag,
                                                link.contexts.mms, response);
            return refuse(cn, presentation::encodeRefuse(cp.calledSelector, results, {}, link.contexts.acse, aare));
        }
        const Bytes aare = acse::encodeAare(acse::result::Accepted, acse::source::ServiceUser, acse::diagnostic::Null,
                                            link.contexts.mms, response);
        const Bytes cpa = presentation::encodeAccept(cp.calledSelector, results, link.contexts.acse, aare);
        Bytes tsdu;
        session::ConnectParameters params;
        params.hasCalledSsel = cn.hasCalledSsel;
        params.calledSsel = cn.calledSsel;
        if (!session::appendConnect(tsdu, session::Kind::Accept, params, cpa))
            return link.protocolError();
        link.sendTsdu(tsdu);
        link.state = State::Associated;
    }

    void refuse(const session::Spdu&, const Bytes& cpr)
    {
        Bytes tsdu;
        if (session::appendRefuse(tsdu, cpr))
            link.sendTsdu(tsdu);
        link.close(CloseReason::Refused);
    }

    void deliver(ByteView ppdu)
    {
        if (presentation::decodeUserData(ppdu, pdvs) != Result::Ok)
            return link.protocolError();
        for (const presentation::Pdv& pdv : pdvs)
            if (pdv.contextId != link.contexts.mms)
                return link.protocolError();
        for (const presentation::Pdv& pdv : pdvs) {
            if (link.state != State::Associated)
                return;
            if (callbacks.onData)
                callbacks.onData(pdv.value);
        }
    }

    void release(ByteView ppdu)
    {
        acse::Apdu rlrq;
        if (!decodeAcse(ppdu, link.contexts.acse, rlrq) || rlrq.kind != acse::Kind::Rlrq)
            return link.protocolError();
        link.sendRelease(false, acse::encodeRlre(std::nullopt));
        link.close(CloseReason::Released);
    }
};

ServerAssociation::ServerAssociation(Callbacks callbacks, Limits limits)
    : impl_(std::make_unique<Impl>(std::move(callbacks), limits))
{
}

ServerAssociation::~ServerAssociation() = default;

void ServerAssociation::receive(ByteView bytes)
{
    impl_->link.receive(
        bytes, [this](const cotp::Tpdu& t) { impl_->onTpdu(t); }, [this](ByteView tsdu) { impl_->onTsdu(tsdu); });
}

std::size_t ServerAssociation::bufferedInput() const
{
    return impl_->link.bufferedInput();
}

void ServerAssociation::send(ByteView mmsPdu)
{
    if (impl_->link.state == State::Associated)
        impl_->link.sendData(mmsPdu);
}

void ServerAssociation::send(ber::Writer& mmsPdu)
{
    if (impl_->link.state == State::Associated)
        impl_->link.sendData(mmsPdu);
}

void ServerAssociation::abort()
{
    impl_->link.abortLocally();
}

OutputQueue& ServerAssociation::output()
{
    return impl_->link.out;
}

const OutputQueue& ServerAssociation::output() const
{
    return impl_->link.out;
}

State ServerAssociation::state() const
{
    return impl_->link.state;
}

CloseReason ServerAssociation::closeReason() const
{
    return impl_->link.reason;
}

// ---------------------------------------------------------------- client

struct ClientAssociation::Impl {
    Impl(Callbacks c, const Limits& l, AddressSelectors lo, AddressSelectors re)
        : callbacks(std::move(c)), link(l), local(std::move(lo)), remote(std::move(re))
    {
    }

    Callbacks callbacks;
    Link link;
    AddressSelectors local;
    AddressSelectors remote;
    Bytes initiateRequest;
    bool connecting = false;

    void fail(CloseReason r) { link.close(r); }

    void refused(ByteView mmsPdu)
    {
        link.close(CloseReason::Refused);
        if (callbacks.onRefused)
            callbacks.onRefused(mmsPdu);
    }

    void protocolError() { link.protocolError(); }

    void onTpdu(const cotp::Tpdu& tpdu)
    {
        if (tpdu.code == cotp::Code::CC && link.state == State::Idle && connecting)
            return startSession(tpdu.connect);
        if (tpdu.code == cotp::Code::DR && link.state == State::Idle && connecting)
            return refused({});
        if (tpdu.code == cotp::Code::DR || tpdu.code == cotp::Code::ER)
            return fail(CloseReason::PeerAborted);
        protocolError();
    }

    void startSession(const cotp::Connect& cc)
    {
        if (cc.tpduSizeCode > link.offeredSizeCode())
            return protocolError();
        link.peerRef = cc.srcRef;
        link.negotiateTpduSize(cc.tpduSizeCode);
        link.state = State::TransportOpen;
        link.sessionStarted = true;

        const Bytes aarq = acse::encodeAarq(link.contexts.mms, initiateRequest);
        const Bytes cp = presentation::encodeConnect(local.psel, remote.psel, link.contexts, aarq);
        session::ConnectParameters params{true, true, local.ssel, remote.ssel};
        Bytes tsdu;
        if (!session::appendConnect(tsdu, session::Kind::Connect, params, cp))
            return protocolError();
        link.sendTsdu(tsdu);
    }

    void onTsdu(ByteView tsdu)
    {
        session::Spdu spdu;
        if (session::decode(tsdu, spdu) != Result::Ok)
            return protocolError();
        if (spdu.kind == session::Kind::Abort)
            return fail(CloseReason::PeerAborted);
        switch (link.state) {
        case State::TransportOpen:
            if (spdu.kind == session::Kind::Accept)
                return accepted(spdu.userData);
            if (spdu.kind == session::Kind::Refuse)
                return refusedBySession(spdu.userData);
            return protocolError();
        case State::Associated:
        case State::Releasing:
            if (spdu.kind == session::Kind::Data)
                return deliver(spdu.userData);
            if (spdu.kind == session::Kind::Disconnect && link.state == State::Releasing)
                return released(spdu.userData);
            return protocolError();
        default:
            return protocolError();
        }
    }

    void accepted(ByteView ppdu)
    {
        presentation::ConnectResponse cpa;
        acse::Apdu aare;
        if (presentation::decodeAccept(ppdu, cpa) != Result::Ok || !decodeAcse(cpa.userData, link.contexts.acse, aare) ||
            aare.kind != acse::Kind::Aare)
            return protocolError();
        if (aare.result != acse::result::Accepted)
            return refused(userValue(aare));
        link.state = State::Associated;
        if (callbacks.onAssociated)
            callbacks.onAssociated(userValue(aare));
    }

    void refusedBySession(ByteView ppdu)
    {
        presentation::ConnectResponse cpr;
        acse::Apdu aare;
        if (!ppdu.empty() && presentation::decodeRefuse(ppdu, cpr) == Result::Ok &&
            decodeAcse(cpr.userData, link.contexts.acse, aare) && aare.kind == acse::Kind::Aare)
            return refused(userValue(aare));
        refused({});
    }

    void deliver(ByteView ppdu)
    {
        std::vector<presentation::Pdv> pdvs;
        if (presentation::decodeUserData(ppdu, pdvs) != Result::Ok)
            return protocolError();
        for (const presentation::Pdv& pdv : pdvs)
            if (pdv.contextId != link.contexts.mms)
                return protocolError();
        for (const presentation::Pdv& pdv : pdvs) {
            if (link.closed())
                return;
            if (callbacks.onData)
                callbacks.onData(pdv.value);
        }
    }

    void released(ByteView ppdu)
    {
        acse::Apdu rlre;
        if (!decodeAcse(ppdu, link.contexts.acse, rlre) || rlre.kind != acse::Kind::Rlre)
            return protocolError();
        link.close(CloseReason::Released);
        if (callbacks.onReleased)
            callbacks.onReleased();
    }
};

ClientAssociation::ClientAssociation(Callbacks callbacks, Limits limits, AddressSelectors local,
                                     AddressSelectors remote)
    : impl_(std::make_unique<Impl>(std::move(callbacks), limits, std::move(local), std::move(remote)))
{
}

ClientAssociation::~ClientAssociation() = default;

void ClientAssociation::connect(ByteView mmsInitiateRequest)
{
    Impl& d = *impl_;
    if (d.connecting || d.link.state != State::Idle)
        return;
    d.connecting = true;
    d.initiateRequest.assign(mmsInitiateRequest.begin(), mmsInitiateRequest.end());
    cotp::Connect cr;
    cr.srcRef = kLocalRef;
    cr.tpduSizeCode = d.link.offeredSizeCode();
    cr.hasCallingTsap = cr.hasCalledTsap = true;
    cr.callingTsap = d.local.tsel;
    cr.calledTsap = d.remote.tsel;
    Bytes packet;
    cotp::appendConnect(packet, cotp::Code::CR, cr);
    d.link.out.append(packet);
}

void ClientAssociation::receive(ByteView bytes)
{
    Impl& d = *impl_;
    const bool wasClosed = d.link.closed();
    d.link.receive(
        bytes, [&d](const cotp::Tpdu& t) { d.onTpdu(t); }, [&d](ByteView tsdu) { d.onTsdu(tsdu); });
    const bool aborted = d.link.reason == CloseReason::PeerAborted || d.link.reason == CloseReason::ProtocolError;
    if (!wasClosed && d.link.closed() && aborted && d.callbacks.onAborted)
        d.callbacks.onAborted();
}

void ClientAssociation::send(ByteView mmsPdu)
{
    if (impl_->link.state == State::Associated)
        impl_->link.sendData(mmsPdu);
}

void ClientAssociation::release()
{
    Link& link = impl_->link;
    if (link.state != State::Associated)
        return;
    link.sendRelease(true, acse::encodeRlrq(0));
    link.state = State::Releasing;
}

void ClientAssociation::abort()
{
    impl_->link.abortLocally();
}

OutputQueue& ClientAssociation::output()
{
    return impl_->link.out;
}

State ClientAssociation::state() const
{
    return impl_->link.state;
}

CloseReason ClientAssociation::closeReason() const
{
    return impl_->link.reason;
}

}  // namespace iec61850::iso
