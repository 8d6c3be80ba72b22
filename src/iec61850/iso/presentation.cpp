#include "iec61850/iso/presentation.hpp"

#include "iec61850/iso/ber_util.hpp"

#include <algorithm>

namespace iec61850::iso::presentation {
namespace {

using ber::application;
using ber::context;
using ber::Element;
using ber::Reader;
using ber::universal;
using namespace detail;

constexpr auto kSequence = ber::universal_tag::Sequence;
constexpr auto kSet = ber::universal_tag::Set;
constexpr std::int64_t kNormalMode = 1;

bool isSequence(const Element& e) { return e.tag == universal(kSequence, true); }

Result readContextId(const Element& e, std::int64_t& out)
{
    std::int64_t id = 0;
    if (e.tag != universal(ber::universal_tag::Integer) || readInteger(e, id) != Result::Ok || id < 1 || id > 127)
        return Result::Malformed;
    out = id;
    return Result::Ok;
}

Result readPdv(const Reader& parent, const Element& list, Pdv& out)
{
    Reader r(ByteView{}, 0);
    if (!isSequence(list) || enter(parent, list, r) != Result::Ok)
        return Result::Malformed;
    Pdv pdv;
    bool haveId = false, haveValue = false;
    const Result res = forEachElement(r, [&](const Element& e, const Reader&) {
        if (haveValue)
            return Result::Malformed;
        if (e.tag == universal(ber::universal_tag::ObjectIdentifier) && !haveId) {
            Oid ignored;
            return readOid(e, ignored);
        }
        if (!haveId) {
            haveId = true;
            return readContextId(e, pdv.contextId);
        }
        if (e.tag == context(0, true)) {  // single-ASN1-type: exactly one encoded value
            Element inner;
            if (onlyElement(e.content, inner) != Result::Ok)
                return Result::Malformed;
        } else if (e.tag != context(1)) {  // octet-aligned
            return Result::Unsupported;
        }
        pdv.value = e.content;
        haveValue = true;
        return Result::Ok;
    });
    if (res != Result::Ok)
        return res;
    if (!haveValue)
        return Result::Malformed;
    out = pdv;
    return Result::Ok;
}

Result readUserData(const Reader& parent, const Element& e, std::vector<Pdv>& out)
{
    if (e.tag.is(ber::TagClass::Application, 0))
        return Result::Unsupported;  // simply-encoded data is not used with BER contexts
    Reader r(ByteView{}, 0);
    if (e.tag != application(1, true) || enter(parent, e, r) != Result::Ok)
        return Result::Malformed;
    out.clear();  // filled in place: a caller's vector keeps its capacity from PDU to PDU
    const Result res = forEachElement(r, [&](const Element& list, const Reader& lr) {
        if (out.size() == kMaxPdvs)
            return Result::TooLarge;
        Pdv pdv;
        const Result x = readPdv(lr, list, pdv);
        if (x == Result::Ok)
            out.push_back(pdv);
        return x;
    });
    if (res == Result::Ok && !out.empty())
        return Result::Ok;
    out.clear();
    return res == Result::Ok ? Result::Malformed : res;
}

Result readModeSelector(const Reader& parent, const Element& e)
{
    Reader r(ByteView{}, 0);
    if (enter(parent, e, r) != Result::Ok)
        return Result::Malformed;
    Element mode;
    std::int64_t value = 0;
    if (r.next(mode) != ber::Status::Ok || mode.tag != context(0) || readInteger(mode, value) != Result::Ok)
        return Result::Malformed;
    return value == kNormalMode ? Result::Ok : Result::Unsupported;
}

Result readProposal(const Reader& parent, const Element& e, ContextProposal& out)
{
    Reader r(ByteView{}, 0);
    if (!isSequence(e) || enter(parent, e, r) != Result::Ok)
        return Result::Malformed;
    Element id, abstract, transfers;
    if (r.next(id) != ber::Status::Ok || r.next(abstract) != ber::Status::Ok || r.next(transfers) != ber::Status::Ok ||
        !r.atEnd())
        return Result::Malformed;
    ContextProposal p;
    Reader tr(ByteView{}, 0);
    if (readContextId(id, p.id) != Result::Ok || readOid(abstract, p.abstractSyntax) != Result::Ok ||
        !isSequence(transfers) || enter(r, transfers, tr) != Result::Ok)
        return Result::Malformed;
    const Result res = forEachElement(tr, [&p](const Element& t, const Reader&) {
        if (p.transferSyntaxes.size() == kMaxTransferSyntaxes)
            return Result::TooLarge;
        Oid oid;
        const Result x = readOid(t, oid);
        if (x == Result::Ok)
            p.transferSyntaxes.push_back(std::move(oid));
        return x;
    });
    if (res != Result::Ok)
        return res;
    if (p.transferSyntaxes.empty())
        return Result::Malformed;
    out = std::move(p);
    return Result::Ok;
}

Result readProposals(const Reader& parent, const Element& e, std::vector<ContextProposal>& out)
{
    Reader r(ByteView{}, 0);
    if (enter(parent, e, r) != Result::Ok)
        return Result::Malformed;
    return forEachElement(r, [&out](const Element& item, const Reader& ir) {
        if (out.size() == kMaxContexts)
            return Result::TooLarge;
        ContextProposal p;
        const Result x = readProposal(ir, item, p);
        if (x == Result::Ok)
            out.push_back(std::move(p));
        return x;
    });
}

Result readResult(const Reader& parent, const Element& e, ContextResult& out)
{
    Reader r(ByteView{}, 0);
    if (!isSequence(e) || enter(parent, e, r) != Result::Ok)
        return Result::Malformed;
    ContextResult cr;
    bool haveResult = false;
    const Result res = forEachElement(r, [&](const Element& f, const Reader&) {
        if (f.tag == context(0)) {
            haveResult = true;
            return readInteger(f, cr.result);
        }
        if (f.tag == context(1)) {
            Oid oid;
            if (ber::decodeOid(f.content, oid) != ber::Status::Ok)
                return Result::Malformed;
            cr.transferSyntax = std::move(oid);
            return Result::Ok;
        }
        if (f.tag == context(2)) {
            std::int64_t reason = 0;
            const Result x = readInteger(f, reason);
            cr.providerReason = reason;
            return x;
        }
        return Result::Malformed;
    });
    if (res != Result::Ok)
        return res;
    if (!haveResult)
        return Result::Malformed;
    out = std::move(cr);
    return Result::Ok;
}

Result readResults(const Reader& parent, const Element& e, std::vector<ContextResult>& out)
{
    Reader r(ByteView{}, 0);
    if (enter(parent, e, r) != Result::Ok)
        return Result::Malformed;
    return forEachElement(r, [&out](const Element& item, const Reader& ir) {
        if (out.size() == kMaxContexts)
            return Result::TooLarge;
        ContextResult cr;
        const Result x = readResult(ir, item, cr);
        if (x == Result::Ok)
            out.push_back(std::move(cr));
        return x;
    });
}

// Reads the mode selector and normal-mode parameters of CP or CPA; `field`
// handles each normal-mode parameter.
template <typename Field>
Result readConnectSet(ByteView ppdu, Field&& field)
{
    Element top;
    Reader root(ppdu);
    Reader r(ByteView{}, 0);
    if (onlyElement(ppdu, top) != Result::Ok || top.tag != universal(kSet, true) || enter(root, top, r) != Result::Ok)
        return Result::Malformed;
    bool haveMode = false, haveNormal = false;
    const Result res = forEachElement(r, [&](const Element& e, const Reader& er) {
        if (e.tag == context(0, true)) {
            haveMode = true;
            return readModeSelector(er, e);
        }
        if (e.tag == context(2, true)) {
            haveNormal = true;
            Reader nr(ByteView{}, 0);
            if (enter(er, e, nr) != Result::Ok)
                return Result::Malformed;
            return forEachElement(nr, field);
        }
        return e.tag == context(1, true) ? Result::Unsupported : Result::Malformed;
    });
    if (res != Result::Ok)
        return res;
    return haveMode && haveNormal ? Result::Ok : Result::Malformed;
}

bool offersBer(const ContextProposal& p)
{
    return std::find(p.transferSyntaxes.begin(), p.transferSyntaxes.end(), kBerSyntax) != p.transferSyntaxes.end();
}

void appendSelector(ber::Writer& w, std::uint32_t tag, const std::optional<Bytes>& selector)
{
    if (selector)
        w.octets(context(tag), ByteView(*selector).first(std::min(selector->size(), kMaxSelectorSize)));
}

void appendModeSelector(ber::Writer& w)
{
    const auto m = w.begin(context(0));
    w.integer(context(0), kNormalMode);
    w.end(m);
}

void appendResults(ber::Writer& w, const std::vector<ContextResult>& results)
{
    if (results.empty())
        return;
    const auto list = w.begin(context(5));
    for (const ContextResult& r : results) {
        const auto item = w.begin(universal(kSequence));
        w.integer(context(0), r.result);
        if (r.transferSyntax)
            w.oid(context(1), *r.transferSyntax);
        if (r.providerReason)
            w.integer(context(2), *r.providerReason);
        w.end(item);
    }
    w.end(list);
}

void appendProposal(ber::Writer& w, std::int64_t id, const Oid& abstract)
{
    const auto item = w.begin(universal(kSequence));
    w.integer(universal(ber::universal_tag::Integer), id);
    w.oid(universal(ber::universal_tag::ObjectIdentifier), abstract);
    const auto transfers = w.begin(universal(kSequence));
    w.oid(universal(ber::universal_tag::ObjectIdentifier), kBerSyntax);
    w.end(transfers);
    w.end(item);
}

}  // namespace

Result decodeConnect(ByteView ppdu, ConnectRequest& out)
{
    ConnectRequest cp;
    const Result res = readConnectSet(ppdu, [&cp](const Element& e, const Reader& r) {
        if (e.tag == context(1))
            return readOctets(e, kMaxSelectorSize, cp.callingSelector);
        if (e.tag == context(2))
            return readOctets(e, kMaxSelectorSize, cp.calledSelector);
        if (e.tag == context(4, true))
            return readProposals(r, e, cp.contexts);
        if (e.tag.cls == ber::TagClass::Application)
            return readUserData(r, e, cp.userData);
        return e.tag.cls == ber::TagClass::Context ? Result::Ok : Result::Malformed;
    });
    if (res != Result::Ok)
        return res;
    out = std::move(cp);
    return Result::Ok;
}

Result decodeAccept(ByteView ppdu, ConnectResponse& out)
{
    ConnectResponse cpa;
    const Result res = readConnectSet(ppdu, [&cpa](const Element& e, const Reader& r) {
        if (e.tag == context(3))
            return readOctets(e, kMaxSelectorSize, cpa.respondingSelector);
        if (e.tag == context(5, true))
            return readResults(r, e, cpa.results);
        if (e.tag.cls == ber::TagClass::Application)
            return readUserData(r, e, cpa.userData);
        return e.tag.cls == ber::TagClass::Context ? Result::Ok : Result::Malformed;
    });
    if (res != Result::Ok)
        return res;
    out = std::move(cpa);
    return Result::Ok;
}

Result decodeRefuse(ByteView ppdu, ConnectResponse& out)
{
    Element top;
    Reader root(ppdu);
    Reader r(ByteView{}, 0);
    if (onlyElement(ppdu, top) != Result::Ok)
        return Result::Malformed;
    if (top.tag == universal(kSet, true))
        return Result::Unsupported;
    if (!isSequence(top) || enter(root, top, r) != Result::Ok)
        return Result::Malformed;
    ConnectResponse cpr;
    const Result res = forEachElement(r, [&cpr](const Element& e, const Reader& er) {
        if (e.tag == context(3))
            return readOctets(e, kMaxSelectorSize, cpr.respondingSelector);
        if (e.tag == context(5, true))
            return readResults(er, e, cpr.results);
        if (e.tag == context(10)) {
            std::int64_t reason = 0;
            const Result x = readInteger(e, reason);
            cpr.providerReason = reason;
            return x;
        }
        if (e.tag.cls == ber::TagClass::Application)
            return readUserData(er, e, cpr.userData);
        return e.tag.cls == ber::TagClass::Context ? Result::Ok : Result::Malformed;
    });
    if (res != Result::Ok)
        return res;
    out = std::move(cpr);
    return Result::Ok;
}

Result decodeUserData(ByteView ppdu, std::vector<Pdv>& out)
{
    Element e;
    if (onlyElement(ppdu, e) != Result::Ok)
        return Result::Malformed;
    return readUserData(Reader(ppdu), e, out);
}

Result decodeAbort(ByteView ppdu, std::vector<Pdv>& out)
{
    Element top;
    Reader root(ppdu);
    Reader r(ByteView{}, 0);
    if (onlyElement(ppdu, top) != Result::Ok)
        return Result::Malformed;
    if (isSequence(top)) {  // ARP: provider abort, no user data
        out.clear();
        return Result::Ok;
    }
    if (top.tag != context(0, true) || enter(root, top, r) != Result::Ok)
        return Result::Malformed;
    std::vector<Pdv> pdvs;
    const Result res = forEachElement(r, [&pdvs](const Element& e, const Reader& er) {
        if (e.tag.cls == ber::TagClass::Application)
            return readUserData(er, e, pdvs);
        return e.tag == context(0, true) ? Result::Ok : Result::Malformed;
    });
    if (res != Result::Ok)
        return res;
    out = std::move(pdvs);
    return Result::Ok;
}

bool negotiate(const ConnectRequest& cp, Contexts& chosen, std::vector<ContextResult>& results)
{
    std::optional<std::int64_t> acse, mms;
    std::vector<ContextResult> list;
    for (const ContextProposal& p : cp.contexts) {
        std::optional<std::int64_t>* slot = p.abstractSyntax == kAcseSyntax ? &acse
                                            : p.abstractSyntax == kMmsSyntax ? &mms
                                                                             : nullptr;
        ContextResult r;
        if (!slot) {
            r.result = result::ProviderRejection;
            r.providerReason = reason::AbstractSyntaxNotSupported;
        } else if (!offersBer(p)) {
            r.result = result::ProviderRejection;
            r.providerReason = reason::TransferSyntaxesNotSupported;
        } else {
            r.transferSyntax = kBerSyntax;
            if (!*slot)
                *slot = p.id;
        }
        list.push_back(std::move(r));
    }
    results = std::move(list);
    if (!acse || !mms)
        return false;
    chosen = {*acse, *mms};
    return true;
}

void appendUserData(ber::Writer& w, std::int64_t contextId, ByteView value)
{
    const auto data = w.begin(application(1));
    const auto pdv = w.begin(universal(kSequence));
    w.integer(universal(ber::universal_tag::Integer), contextId);
    const auto single = w.begin(context(0));
    w.raw(value);
    w.end(single);
    w.end(pdv);
    w.end(data);
}

bool prependUserData(ber::Writer& w, std::int64_t contextId)
{
    const std::uint8_t id[] = {ber::universal_tag::Integer, 1, static_cast<std::uint8_t>(contextId)};
    return w.headroom() >= kUserDataHeadroom && contextId >= 1 && contextId <= 127 &&
           w.prependHeader(context(0, true)) && w.prepend(id) && w.prependHeader(universal(kSequence, true)) &&
           w.prependHeader(application(1, true));
}

Bytes encodeUserData(std::int64_t contextId, ByteView value)
{
    ber::Writer w;
    appendUserData(w, contextId, value);
    return w.take();
}

Bytes encodeConnect(const std::optional<Bytes>& calling, const std::optional<Bytes>& called, const Contexts& contexts,
                    ByteView acseApdu)
{
    ber::Writer w;
    const auto cp = w.begin(universal(kSet));
    appendModeSelector(w);
    const auto normal = w.begin(context(2));
    appendSelector(w, 1, calling);
    appendSelector(w, 2, called);
    const auto list = w.begin(context(4));
    appendProposal(w, contexts.acse, kAcseSyntax);
    appendProposal(w, contexts.mms, kMmsSyntax);
    w.end(list);
    appendUserData(w, contexts.acse, acseApdu);
    w.end(normal);
    w.end(cp);
    return w.take();
}

Bytes encodeAccept(const std::optional<Bytes>& responding, const std::vector<ContextResult>& results,
                   std::int64_t acseContext, ByteView acseApdu)
{
    ber::Writer w;
    const auto cpa = w.begin(universal(kSet));
    appendModeSelector(w);
    const auto normal = w.begin(context(2));
    appendSelector(w, 3, responding);
    appendResults(w, results);
    appendUserData(w, acseContext, acseApdu);
    w.end(normal);
    w.end(cpa);
    return w.take();
}

Bytes encodeRefuse(const std::optional<Bytes>& responding, const std::vector<ContextResult>& results,
                   std::optional<std::int64_t> providerReason, std::int64_t acseContext, ByteView acseApdu)
{
    ber::Writer w;
    const auto cpr = w.begin(universal(kSequence));
    appendSelector(w, 3, responding);
    appendResults(w, results);
    if (providerReason)
        w.integer(context(10), *providerReason);
    if (!acseApdu.empty())
        appendUserData(w, acseContext, acseApdu);
    w.end(cpr);
    return w.take();
}

Bytes encodeAbort(std::int64_t acseContext, ByteView acseApdu)
{
    ber::Writer w;
    const auto aru = w.begin(context(0));
    appendUserData(w, acseContext, acseApdu);
    w.end(aru);
    return w.take();
}

}  // namespace iec61850::iso::presentation
