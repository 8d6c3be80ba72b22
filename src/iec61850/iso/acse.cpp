#include "iec61850/iso/acse.hpp"

#include "iec61850/iso/ber_util.hpp"

namespace iec61850::iso::acse {
namespace {

using ber::application;
using ber::context;
using ber::Element;
using ber::Reader;
using ber::universal;
using namespace detail;

namespace ut = ber::universal_tag;

// [n] EXPLICIT: a constructed element holding exactly one element.
Result explicitInner(const Reader& parent, const Element& e, Element& inner)
{
    Reader r(ByteView{}, 0);
    if (enter(parent, e, r) != Result::Ok || r.next(inner) != ber::Status::Ok || !r.atEnd())
        return Result::Malformed;
    return Result::Ok;
}

Result readExplicitInteger(const Reader& parent, const Element& e, std::int64_t& out)
{
    Element inner;
    if (explicitInner(parent, e, inner) != Result::Ok || inner.tag != universal(ut::Integer))
        return Result::Malformed;
    return readInteger(inner, out);
}

Result readDiagnostic(const Reader& parent, const Element& e, Apdu& a)
{
    Element choice;
    Reader r(ByteView{}, 0);
    if (explicitInner(parent, e, choice) != Result::Ok || enter(parent, e, r) != Result::Ok)
        return Result::Malformed;
    if (choice.tag != context(1, true) && choice.tag != context(2, true))
        return Result::Malformed;
    a.diagnosticSource = choice.tag.number;
    return readExplicitInteger(r, choice, a.diagnostic);
}

Result readExternal(const Reader& parent, const Element& e, UserInformation& out)
{
    Reader r(ByteView{}, 0);
    if (e.tag != universal(ut::External, true) || enter(parent, e, r) != Result::Ok)
        return Result::Malformed;
    UserInformation info;
    bool haveValue = false;
    const Result res = forEachElement(r, [&](const Element& f, const Reader&) {
        if (haveValue)
            return Result::Malformed;
        if (f.tag == universal(ut::ObjectIdentifier)) {
            Oid direct;
            const Result x = readOid(f, direct);
            return x != Result::Ok ? x : direct == kBerSyntax ? Result::Ok : Result::Unsupported;
        }
        if (f.tag == universal(ut::Integer)) {
            std::int64_t id = 0;
            const Result x = readInteger(f, id);
            info.contextId = id;
            return x;
        }
        if (f.tag == universal(7))  // data-value-descriptor
            return Result::Ok;
        if (f.tag == context(0, true)) {
            Element inner;
            if (onlyElement(f.content, inner) != Result::Ok)
                return Result::Malformed;
        } else if (f.tag != context(1)) {
            return Result::Unsupported;
        }
        info.value = f.content;
        haveValue = true;
        return Result::Ok;
    });
    if (res != Result::Ok)
        return res;
    if (!haveValue)
        return Result::Malformed;
    out = info;
    return Result::Ok;
}

Result readUserInformation(const Reader& parent, const Element& e, std::optional<UserInformation>& out)
{
    Reader r(ByteView{}, 0);
    Element external;
    if (enter(parent, e, r) != Result::Ok || r.next(external) != ber::Status::Ok || !r.atEnd())
        return Result::Malformed;
    UserInformation info;
    if (const Result x = readExternal(r, external, info); x != Result::Ok)
        return x;
    out = info;
    return Result::Ok;
}

Result readVersion(const Element& e)
{
    Bytes bits;
    std::size_t count = 0;
    if (e.tag.constructed || ber::decodeBitString(e.content, bits, count) != ber::Status::Ok)
        return Result::Malformed;
    return count > 0 && (bits[0] & 0x80) ? Result::Ok : Result::Unsupported;
}

Result readField(const Reader& r, const Element& e, Apdu& a)
{
    if (e.tag == context(30, true))
        return readUserInformation(r, e, a.userInformation);
    switch (a.kind) {
    case Kind::Aarq:
    case Kind::Aare:
        if (e.tag == context(0))
            return readVersion(e);
        if (e.tag == context(1, true)) {
            Element name;
            return explicitInner(r, e, name) == Result::Ok ? readOid(name, a.contextName) : Result::Malformed;
        }
        if (a.kind == Kind::Aare && e.tag == context(2, true))
            return readExplicitInteger(r, e, a.result);
        if (a.kind == Kind::Aare && e.tag == context(3, true))
            return readDiagnostic(r, e, a);
        return e.tag.cls == ber::TagClass::Context ? Result::Ok : Result::Malformed;  // titles, qualifiers, ...
    case Kind::Rlrq:
    case Kind::Rlre:
        if (e.tag == context(0)) {
            std::int64_t reason = 0;
            const Result x = readInteger(e, reason);
            a.reason = reason;
            return x;
        }
        return Result::Malformed;
    case Kind::Abrt:
        if (e.tag == context(0))
            return readInteger(e, a.abortSource);
        return e.tag == context(1) ? Result::Ok : Result::Malformed;
    }
    return Result::Malformed;
}

void appendUserInformation(ber::Writer& w, std::int64_t userContext, ByteView userData)
{
    if (userData.empty())
        return;
    const auto info = w.begin(context(30));
    const auto external = w.begin(universal(ut::External));
    w.integer(universal(ut::Integer), userContext);
    const auto single = w.begin(context(0));
    w.raw(userData);
    w.end(single);
    w.end(external);
    w.end(info);
}

void appendContextName(ber::Writer& w)
{
    const auto name = w.begin(context(1));
    w.oid(universal(ut::ObjectIdentifier), kMmsContextName);
    w.end(name);
}

Bytes encodeRelease(Kind kind, std::optional<std::int64_t> reason)
{
    ber::Writer w;
    const auto apdu = w.begin(application(static_cast<std::uint32_t>(kind)));
    if (reason)
        w.integer(context(0), *reason);
    w.end(apdu);
    return w.take();
}

}  // namespace

Result decode(ByteView data, Apdu& out)
{
    Element top;
    Reader root(data);
    Reader r(ByteView{}, 0);
    if (onlyElement(data, top) != Result::Ok || top.tag.cls != ber::TagClass::Application || top.tag.number > 4 ||
        enter(root, top, r) != Result::Ok)
        return Result::Malformed;
    Apdu a;
    a.kind = static_cast<Kind>(top.tag.number);
    bool haveResult = false;
    const Result res = forEachElement(r, [&](const Element& e, const Reader& er) {
        haveResult = haveResult || e.tag == context(2, true);
        return readField(er, e, a);
    });
    if (res != Result::Ok)
        return res;
    if ((a.kind == Kind::Aarq || a.kind == Kind::Aare) && a.contextName.empty())
        return Result::Malformed;
    if (a.kind == Kind::Aare && !haveResult)
        return Result::Malformed;
    out = std::move(a);
    return Result::Ok;
}

Bytes encodeAarq(std::int64_t userContext, ByteView userData)
{
    ber::Writer w;
    const auto apdu = w.begin(application(0));
    appendContextName(w);
    appendUserInformation(w, userContext, userData);
    w.end(apdu);
    return w.take();
}

Bytes encodeAare(std::int64_t result, std::int64_t diagnosticSource, std::int64_t diagnostic, std::int64_t userContext,
                 ByteView userData)
{
    ber::Writer w;
    const auto apdu = w.begin(application(1));
    appendContextName(w);
    const auto res = w.begin(context(2));
    w.integer(universal(ut::Integer), result);
    w.end(res);
    const auto diag = w.begin(context(3));
    const auto src = w.begin(context(diagnosticSource == source::ServiceProvider ? 2 : 1));
    w.integer(universal(ut::Integer), diagnostic);
    w.end(src);
    w.end(diag);
    appendUserInformation(w, userContext, userData);
    w.end(apdu);
    return w.take();
}

Bytes encodeRlrq(std::optional<std::int64_t> reason)
{
    return encodeRelease(Kind::Rlrq, reason);
}

Bytes encodeRlre(std::optional<std::int64_t> reason)
{
    return encodeRelease(Kind::Rlre, reason);
}

Bytes encodeAbrt(std::int64_t abortSource)
{
    ber::Writer w;
    const auto apdu = w.begin(application(4));
    w.integer(context(0), abortSource);
    w.end(apdu);
    return w.take();
}

}  // namespace iec61850::iso::acse
