#include "iec61850/iso/association.hpp"

#include "iec61850/iso/acse.hpp"
#include "iec61850/iso/presentation.hpp"
#include "iec61850/iso/tpkt_cotp.hpp"

#include "capture01.hpp"

#include <random>

using namespace iec61850;
using namespace iec61850::iso;
using iso_test::bytes;
using iso_test::concat;
using iso_test::hex;
namespace c01 = iso_test::c01;

namespace {

Bytes take(iso::OutputQueue& out)
{
    return out.take();
}

// An MMS-like PDU: one TLV of the given total size.
Bytes pduOfSize(std::size_t total)
{
    ber::Writer w;
    const std::size_t header = total < 130 ? 2 : total < 259 ? 3 : 4;
    Bytes content(total - header);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<std::uint8_t>(i * 13 + 1);
    w.octets(ber::context(16), content);
    return w.take();
}

const Bytes kIdentifyResponsePdu = bytes(ByteView(c01::identifyResponse).subspan(20));

// Answers as the capture's server did.
struct RecordingServer {
    std::vector<Bytes> initiates, pdus;
    bool accept = true;
    Bytes response = c01::initiateResponse;
    std::unique_ptr<ServerAssociation> assoc;

    explicit RecordingServer(Limits limits = {})
    {
        ServerAssociation::Callbacks cb;
        cb.onAssociate = [this](ByteView request, Bytes& out) {
            initiates.push_back(bytes(request));
            out = response;
            return accept;
        };
        cb.onData = [this](ByteView pdu) {
            pdus.push_back(bytes(pdu));
            if (pdu.size() == 7 && pdu[0] == 0xa0)
                assoc->send(kIdentifyResponsePdu);
            else if (pdu.size() == 2 && pdu[0] == 0x8b)
                assoc->send(hex("8c00"));
        };
        assoc = std::make_unique<ServerAssociation>(std::move(cb), limits);
    }
};

struct RecordingClient {
    std::vector<Bytes> associated, refused, pdus;
    int released = 0, aborted = 0;
    std::unique_ptr<ClientAssociation> assoc;

    RecordingClient()
    {
        ClientAssociation::Callbacks cb;
        cb.onAssociated = [this](ByteView pdu) { associated.push_back(bytes(pdu)); };
        cb.onRefused = [this](ByteView pdu) { refused.push_back(bytes(pdu)); };
        cb.onData = [this](ByteView pdu) { pdus.push_back(bytes(pdu)); };
        cb.onReleased = [this] { ++released; };
        cb.onAborted = [this] { ++aborted; };
        assoc = std::make_unique<ClientAssociation>(std::move(cb));
        assoc->connect(c01::initiateRequest);
    }
};

// Splits a byte stream into TPDUs and reassembled SPDUs, checking the framing on the way.
struct Decoded {
    std::vector<cotp::Tpdu> tpdus;
    std::vector<Bytes> tsdus;
    std::size_t largestTpdu = 0;
};

Decoded decodeStream(ByteView stream)
{
    Decoded d;
    tpkt::Framer framer;
    framer.feed(stream);
    cotp::Reassembler reassembler(1 << 20);
    std::vector<Bytes> packets;
    ByteView t;
    Result r;
    while ((r = framer.next(t)) == Result::Ok)
        packets.push_back(bytes(t));
    EXPECT_EQ(r, Result::NeedMore);
    EXPECT_EQ(framer.buffered(), 0u);
    for (const Bytes& p : packets) {
        d.largestTpdu = std::max(d.largestTpdu, p.size());
        cotp::Tpdu tpdu;
        EXPECT_EQ(cotp::decode(p, tpdu), Result::Ok);
        bool complete = false;
        if (tpdu.code == cotp::Code::DT) {
            EXPECT_EQ(reassembler.add(tpdu.data, complete), Result::Ok);
            if (complete)
                d.tsdus.push_back(bytes(reassembler.tsdu()));
        }
        tpdu.data.userData = {};
        d.tpdus.push_back(tpdu);
    }
    return d;
}

session::Spdu spduOf(const Bytes& tsdu)
{
    session::Spdu s;
    EXPECT_EQ(session::decode(tsdu, s), Result::Ok);
    return s;
}

// The ACSE APDU in an abort SPDU, checked layer by layer.
acse::Apdu abortApdu(const Bytes& tsdu)
{
    const session::Spdu ab = spduOf(tsdu);
    EXPECT_EQ(ab.kind, session::Kind::Abort);
    std::vector<presentation::Pdv> pdvs;
    EXPECT_EQ(presentation::decodeAbort(ab.userData, pdvs), Result::Ok);
    acse::Apdu a;
    EXPECT_EQ(pdvs.size(), 1u);
    EXPECT_EQ(pdvs.empty() ? Result::Malformed : acse::decode(pdvs[0].value, a), Result::Ok);
    return a;
}

// The presentation refusal in the server's only answer; it points into `d`.
presentation::ConnectResponse refusal(const Decoded& d)
{
    presentation::ConnectResponse cpr;
    EXPECT_EQ(d.tsdus.size(), 1u);
    if (d.tsdus.empty())
        return cpr;
    const session::Spdu rf = spduOf(d.tsdus[0]);
    EXPECT_EQ(rf.kind, session::Kind::Refuse);
    EXPECT_EQ(presentation::decodeRefuse(rf.userData, cpr), Result::Ok);
    return cpr;
}

// Moves bytes both ways until both sides are quiet; returns what travelled.
std::pair<Bytes, Bytes> pump(ClientAssociation& client, ServerAssociation& server)
{
    Bytes toServer, toClient;
    for (int rounds = 0; rounds < 100 && (!client.output().empty() || !server.output().empty()); ++rounds) {
        const Bytes c = take(client.output());
        toServer.insert(toServer.end(), c.begin(), c.end());
        server.receive(c);
        const Bytes s = take(server.output());
        toClient.insert(toClient.end(), s.begin(), s.end());
        client.receive(s);
    }
    return {toServer, toClient};
}

// A single-TPDU packet carrying a TSDU.
Bytes packet(ByteView tsdu)
{
    Bytes out;
    cotp::appendData(out, tsdu, 8192);
    return out;
}

const Bytes kCaptureClientStream =
    concat({c01::cr, c01::cnAarq, c01::identifyRequest, c01::concludeRequest, c01::finishRlrq});
const Bytes kCaptureServerStream = concat({c01::cc, c01::acAare, c01::identifyResponse,
                                           hex("0300001602f0800100010061093007020103a0028c00"), c01::disconnectRlre});

}  // namespace

TEST(ServerAssociation, AnswersTheCapturedClientWholeAndSplitAtEveryOffset)
{
    auto expectCaptureSession = [](RecordingServer& s) {
        EXPECT_EQ(s.initiates, std::vector<Bytes>{c01::initiateRequest});
        EXPECT_EQ(s.pdus, (std::vector<Bytes>{c01::identifyRequestPdu, c01::concludeRequestPdu}));
        EXPECT_EQ(s.assoc->closeReason(), CloseReason::Released);
        EXPECT_EQ(s.assoc->output().take(), kCaptureServerStream);  // answered exactly as the capture's server did
    };
    for (std::size_t cut = 0; cut <= kCaptureClientStream.size(); ++cut) {
        SCOPED_TRACE(cut);
        RecordingServer s;
        s.assoc->receive(ByteView(kCaptureClientStream).first(cut));
        s.assoc->receive(ByteView(kCaptureClientStream).subspan(cut));
        expectCaptureSession(s);
    }
    RecordingServer s;
    for (std::uint8_t b : kCaptureClientStream)
        s.assoc->receive(ByteView(&b, 1));
    expectCaptureSession(s);
}

TEST(Associations, RefusedWhenTheOwnerSaysNoWithTheInitiateError)
{
    RecordingServer s;
    s.accept = false;
    s.response = hex("aa0380017f");  // stands for an initiate-error
    RecordingClient c;
    const Bytes toClient = pump(*c.assoc, *s.assoc).second;
    EXPECT_EQ(s.assoc->closeReason(), CloseReason::Refused);
    EXPECT_EQ(c.assoc->closeReason(), CloseReason::Refused);
    EXPECT_EQ(c.refused, std::vector<Bytes>{s.response});
    const Decoded d = decodeStream(ByteView(toClient).subspan(c01::cc.size()));
    const presentation::ConnectResponse cpr = refusal(d);
    ASSERT_EQ(cpr.userData.size(), 1u);
    acse::Apdu aare;
    ASSERT_EQ(acse::decode(cpr.userData[0].value, aare), Result::Ok);
    EXPECT_EQ(aare.result, acse::result::RejectedPermanent);

    RecordingClient refusedByDr;
    refusedByDr.assoc->receive(hex("0300000b06800001000100"));  // DR instead of CC
    EXPECT_EQ(refusedByDr.refused.size(), 1u);
    EXPECT_EQ(refusedByDr.assoc->closeReason(), CloseReason::Refused);
}

TEST(ServerAssociation, RefusesWithoutAskingTheOwner)
{
    const struct {
        const char* name;
        const char* needle;  // its last octet is changed to 02
        bool contextRejected;
    } cases[] = {
        {"MMS abstract syntax 1.0.9506.2.2", "060528ca220201", true},
        {"BER 2.1.2 in the MMS context", "3010020103060528ca220201300406025101", true},
        {"session version 1 only", "160102", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes cn = c01::cnAarq;
        const Bytes needle = hex(c.needle);
        auto at = std::search(cn.begin(), cn.end(), needle.begin(), needle.end());
        ASSERT_NE(at, cn.end());
        at[static_cast<std::ptrdiff_t>(needle.size()) - 1] = c.contextRejected ? 0x02 : 0x01;
        RecordingServer s;
        s.assoc->receive(concat({c01::cr, cn}));
        EXPECT_TRUE(s.initiates.empty());
        EXPECT_EQ(s.assoc->closeReason(), CloseReason::Refused);
        const Decoded d = decodeStream(s.assoc->output().pending());
        if (!c.contextRejected) {
            EXPECT_EQ(spduOf(d.tsdus.at(0)).kind, session::Kind::Refuse);
            continue;
        }
        const presentation::ConnectResponse cpr = refusal(d);
        ASSERT_EQ(cpr.results.size(), 2u);
        EXPECT_EQ(cpr.results[1].result, presentation::result::ProviderRejection);
        EXPECT_TRUE(cpr.userData.empty());
    }
}

TEST(ServerAssociation, DefaultsTo128OctetTpdusWithoutSizeParameter)
{
    RecordingServer s;
    s.assoc->receive(hex("030000130ee00000000100c2020001c1020001"));
    s.assoc->receive(c01::cnAarq);
    ASSERT_EQ(s.assoc->state(), State::Associated);
    const Decoded d = decodeStream(s.assoc->output().pending());
    ASSERT_EQ(d.tpdus.at(0).code, cotp::Code::CC);
    EXPECT_EQ(d.tpdus[0].connect.tpduSizeCode, 7);
    EXPECT_EQ(d.largestTpdu, 128u);
    ASSERT_EQ(d.tsdus.size(), 1u);
    EXPECT_EQ(d.tsdus[0], bytes(iso_test::tsduOf(c01::acAare)));
}

TEST(ClientAssociation, TalksToTheCapturedServerSplitAtEveryOffset)
{
    RecordingClient c;
    EXPECT_EQ(take(c.assoc->output()), c01::cr);
    c.assoc->receive(c01::cc);
    EXPECT_EQ(spduOf(decodeStream(take(c.assoc->output())).tsdus.at(0)).kind, session::Kind::Connect);
    c.assoc->receive(c01::acAare);
    EXPECT_EQ(c.associated, std::vector<Bytes>{c01::initiateResponse});
    c.assoc->send(c01::identifyRequestPdu);
    EXPECT_EQ(take(c.assoc->output()), c01::identifyRequest);
    c.assoc->release();
    EXPECT_EQ(take(c.assoc->output()), c01::finishRlrq);
    EXPECT_EQ(c.assoc->state(), State::Releasing);

    c.assoc->receive(c01::disconnectRlre);
    EXPECT_EQ(c.assoc->closeReason(), CloseReason::Released);

    const Bytes stream = concat({c01::cc, c01::acAare, c01::identifyResponse});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        RecordingClient split;
        split.assoc->receive(ByteView(stream).first(cut));
        split.assoc->receive(ByteView(stream).subspan(cut));
        EXPECT_EQ(split.associated.size(), 1u);
        EXPECT_EQ(split.pdus, std::vector<Bytes>{kIdentifyResponsePdu});
        EXPECT_EQ(split.aborted, 0);
    }
}

TEST(Associations, PumpSmallAndLargePdusAtBothTpduSizes)
{
    for (std::size_t serverTpdu : {std::size_t{8192}, std::size_t{1024}}) {
        SCOPED_TRACE(serverTpdu);
        RecordingServer s({serverTpdu, 65000 + 1024});
        RecordingClient c;
        pump(*c.assoc, *s.assoc);
        ASSERT_EQ(c.assoc->state(), State::Associated);
        ASSERT_EQ(s.assoc->state(), State::Associated);

        const Bytes small = pduOfSize(10);
        const Bytes large = pduOfSize(20000);
        c.assoc->send(small);
        c.assoc->send(large);
        s.assoc->send(large);
        s.assoc->send(small);
        const auto [toServer, toClient] = pump(*c.assoc, *s.assoc);
        EXPECT_EQ(s.pdus, (std::vector<Bytes>{small, large}));
        EXPECT_EQ(c.pdus, (std::vector<Bytes>{large, small}));
        for (const Bytes* stream : {&toServer, &toClient}) {
            const Decoded d = decodeStream(*stream);
            EXPECT_EQ(d.largestTpdu, serverTpdu);
            EXPECT_EQ(d.tsdus.size(), 2u);
        }

        c.assoc->release();
        pump(*c.assoc, *s.assoc);
        EXPECT_EQ(c.released, 1);
        EXPECT_EQ(c.assoc->closeReason(), CloseReason::Released);
        EXPECT_EQ(s.assoc->closeReason(), CloseReason::Released);
    }
}

TEST(Associations, AbortFromEitherSide)
{
    for (bool fromClient : {true, false}) {
        SCOPED_TRACE(fromClient);
        RecordingServer s;
        RecordingClient c;
        pump(*c.assoc, *s.assoc);
        ASSERT_EQ(s.assoc->state(), State::Associated);
        (fromClient ? c.assoc->abort() : s.assoc->abort());
        const ByteView sent = (fromClient ? c.assoc->output() : s.assoc->output()).pending();
        EXPECT_EQ(abortApdu(decodeStream(sent).tsdus.at(0)).abortSource, acse::source::AbortByUser);
        pump(*c.assoc, *s.assoc);
        EXPECT_EQ(c.assoc->closeReason(), fromClient ? CloseReason::LocalAbort : CloseReason::PeerAborted);
        EXPECT_EQ(s.assoc->closeReason(), fromClient ? CloseReason::PeerAborted : CloseReason::LocalAbort);
        EXPECT_EQ(c.aborted, fromClient ? 0 : 1);
        // Nothing is sent once closed.
        c.assoc->send(pduOfSize(10));
        s.assoc->send(pduOfSize(10));
        EXPECT_TRUE(c.assoc->output().empty());
        EXPECT_TRUE(s.assoc->output().empty());
    }
}

TEST(ServerAssociation, BadInputEndsClosed)
{
    const Bytes open = concat({c01::cr, c01::cnAarq});
    Bytes deep;
    for (int i = 0; i < 2000; ++i)
        deep.insert(deep.begin(), {0x30, 0x80});
    auto dt = [](const Bytes& ppdu) { return packet(concat({hex("01000100"), ppdu})); };
    const struct {
        const char* name;
        Bytes stream;
        CloseReason expected;
    } cases[] = {
        {"DT before CR", c01::identifyRequest, CloseReason::ProtocolError},
        {"data before association", concat({c01::cr, c01::identifyRequest}), CloseReason::ProtocolError},
        {"release before association", concat({c01::cr, c01::finishRlrq}), CloseReason::ProtocolError},
        {"second CR", concat({c01::cr, c01::cr}), CloseReason::ProtocolError},
        {"CC to a server", c01::cc, CloseReason::ProtocolError},
        {"TPKT version 2", hex("0200001611e00000000100c0010dc2020001c1020001"), CloseReason::ProtocolError},
        {"TPKT over the cap", hex("0300ffff02f080"), CloseReason::ProtocolError},
        {"TPKT shorter than a TPDU", hex("0300000602f0"), CloseReason::ProtocolError},
        {"unknown TPDU code", concat({c01::cr, hex("030000070260000100")}), CloseReason::ProtocolError},
        {"CR parameter lies", hex("0300001611e00000000100c0050dc2020001c1020001"), CloseReason::ProtocolError},
        {"session length lies", concat({c01::cr, packet(hex("0d0514020002"))}), CloseReason::ProtocolError},
        {"unknown SPDU", concat({c01::cr, packet(hex("0700"))}), CloseReason::ProtocolError},
        {"CN with a CP of wrong tag", concat({c01::cr, packet(hex("0d04c1023000"))}), CloseReason::ProtocolError},
        {"CN too deep", concat({c01::cr, packet(concat({hex("0dff0fa4c1ff0fa0"), deep}))}), CloseReason::ProtocolError},
        {"ACSE data after association", concat({open, c01::finishRlrq, c01::identifyRequest}), CloseReason::Released},
        {"DT with ACSE context", concat({open, dt(presentation::encodeUserData(1, hex("0500")))}), CloseReason::ProtocolError},
        {"DT with unknown context", concat({open, dt(presentation::encodeUserData(5, hex("0500")))}), CloseReason::ProtocolError},
        {"DT not fully encoded", concat({open, dt(hex("4003aabbcc"))}), CloseReason::ProtocolError},
        {"DT too deep", concat({open, dt(deep)}), CloseReason::ProtocolError},
        {"FN without RLRQ", concat({open, packet(concat({hex("0909c107"), presentation::encodeUserData(1, hex("0500"))}))}),
         CloseReason::ProtocolError},
        {"AC to a server", concat({open, c01::acAare}), CloseReason::ProtocolError},
        {"peer abort", concat({open, packet(hex("1903110102"))}), CloseReason::PeerAborted},
        {"peer DR", concat({open, hex("0300000b06800001000100")}), CloseReason::PeerAborted},
        {"peer ER", concat({open, hex("030000090470000100")}), CloseReason::PeerAborted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingServer s;
        s.assoc->receive(c.stream);
        EXPECT_EQ(s.assoc->closeReason(), c.expected);
        const Decoded d = decodeStream(s.assoc->output().pending());
        if (c.expected == CloseReason::ProtocolError) {
            ASSERT_FALSE(d.tpdus.empty());
            if (d.tpdus.back().code == cotp::Code::DT)
                EXPECT_EQ(spduOf(d.tsdus.back()).kind, session::Kind::Abort);
            else
                EXPECT_EQ(d.tpdus.back().code, cotp::Code::ER);
        }
        // Nothing more is read or sent once closed.
        const std::size_t sent = s.assoc->output().size();
        s.assoc->receive(c01::identifyRequest);
        EXPECT_EQ(s.assoc->output().size(), sent);
    }
}

TEST(ServerAssociation, AssociatedProtocolErrorsAbortWithAbrt)
{
    RecordingServer s;
    s.assoc->receive(concat({c01::cr, c01::cnAarq}));
    take(s.assoc->output());
    s.assoc->receive(packet(hex("01000100ffff")));
    EXPECT_EQ(s.assoc->closeReason(), CloseReason::ProtocolError);
    EXPECT_EQ(abortApdu(decodeStream(s.assoc->output().pending()).tsdus.at(0)).abortSource, acse::source::AbortByProvider);
}

TEST(ServerAssociation, TsduOverTheCapIsRefusedWithoutGrowth)
{
    RecordingServer s({8192, 3000});
    s.assoc->receive(concat({c01::cr, c01::cnAarq}));
    ASSERT_EQ(s.assoc->state(), State::Associated);
    Bytes segment = hex("030007f702f000");  // 2035-byte TPDU, no EOT
    segment.resize(segment.size() + 2032, 0x42);
    s.assoc->receive(segment);
    EXPECT_FALSE(s.assoc->closed());
    s.assoc->receive(segment);
    EXPECT_EQ(s.assoc->closeReason(), CloseReason::ProtocolError);
}

TEST(ServerAssociation, MutatedCaptureNeverCrashes)
{
    // Each octet of the client's stream flipped in turn: the server either
    // closes or waits for more, and its output stays well-formed.
    for (std::size_t at = 0; at < kCaptureClientStream.size(); ++at) {
        Bytes stream = kCaptureClientStream;
        stream[at] ^= 0xff;
        RecordingServer s;
        s.assoc->receive(stream);
        decodeStream(s.assoc->output().pending());
        EXPECT_TRUE(s.assoc->closed() || s.assoc->state() != State::Idle) << at;
    }
}

TEST(Associations, RandomBytesAtEveryLayer)
{
    std::mt19937 rng(61850);
    std::uniform_int_distribution<int> octet(0, 255), length(1, 300);
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        Bytes noise(static_cast<std::size_t>(length(rng)));
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(octet(rng));
        const int layer = i % 3;
        RecordingServer s;
        s.assoc->receive(layer == 0 ? noise : layer == 1 ? concat({c01::cr, packet(noise)}) : concat({c01::cr, c01::cnAarq, packet(noise)}));
        decodeStream(s.assoc->output().pending());

        RecordingClient c;
        take(c.assoc->output());
        c.assoc->receive(layer == 0 ? noise : concat({c01::cc, packet(noise)}));
        if (layer > 0) {
            EXPECT_TRUE(s.assoc->closed());
            EXPECT_TRUE(c.assoc->closed());
            EXPECT_EQ(c.aborted + static_cast<int>(c.refused.size()), 1);
        }
    }
}
