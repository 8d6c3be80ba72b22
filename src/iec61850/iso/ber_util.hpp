// Small BER helpers shared by the presentation and ACSE codecs.
#pragma once

#include "iec61850/ber/ber.hpp"
#include "iec61850/iso/result.hpp"

#include <optional>
#include <vector>

namespace iec61850::iso::detail {

// Calls visit(element, reader) for each element of `r`; stops at the first failure.
template <typename Visit>
Result forEachElement(ber::Reader r, Visit&& visit)
{
    ber::Element e;
    while (!r.atEnd()) {
        if (r.next(e) != ber::Status::Ok)
            return Result::Malformed;
        if (const Result x = visit(e, static_cast<const ber::Reader&>(r)); x != Result::Ok)
            return x;
    }
    return Result::Ok;
}

// The single element a view must consist of.
inline Result onlyElement(ByteView data, ber::Element& e)
{
    if (ber::decodeElement(data, e) != ber::Status::Ok || e.whole.size() != data.size())
        return Result::Malformed;
    return Result::Ok;
}

inline Result enter(const ber::Reader& parent, const ber::Element& e, ber::Reader& child)
{
    return parent.enter(e, child) == ber::Status::Ok ? Result::Ok : Result::Malformed;
}

inline Result readInteger(const ber::Element& e, std::int64_t& out)
{
    return ber::expectInteger(e, out) == ber::Status::Ok ? Result::Ok : Result::Malformed;
}

inline Result readOid(const ber::Element& e, std::vector<std::uint32_t>& out)
{
    if (e.tag != ber::universal(ber::universal_tag::ObjectIdentifier))
        return Result::Malformed;
    return ber::decodeOid(e.content, out) == ber::Status::Ok ? Result::Ok : Result::Malformed;
}

inline Result readOctets(const ber::Element& e, std::size_t max, std::optional<Bytes>& out)
{
    if (e.tag.constructed || e.content.size() > max)
        return Result::Malformed;
    out.emplace(e.content.begin(), e.content.end());
    return Result::Ok;
}

}  // namespace iec61850::iso::detail
