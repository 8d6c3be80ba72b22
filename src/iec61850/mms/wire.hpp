// Internal helpers shared by the MMS codecs.
#pragma once

#include "iec61850/ber/ber.hpp"

#include <limits>
#include <string_view>

namespace iec61850::mms {

// Context tags of Data (and the AccessResult failure tag).
namespace data_tag {
constexpr std::uint32_t AccessFailure = 0, Array = 1, Structure = 2, Boolean = 3, BitString = 4, Integer = 5,
                        Unsigned = 6, FloatingPoint = 7, OctetString = 9, VisibleString = 10,
                        GeneralizedTime = 11, BinaryTime = 12, MmsString = 16, UtcTime = 17;
}

#define MMS_TRY(expr)                              \
    do {                                           \
        if (::iec61850::ber::Status s_ = (expr); s_ != ::iec61850::ber::Status::Ok) \
            return s_;                             \
    } while (0)

namespace wire {

using ber::Element;
using ber::Reader;
using ber::Status;
using ber::Tag;
// Peers expect TRUE as 0x01.
inline void putBoolean(ber::Writer& w, ber::Tag tag, bool v)
{
    const std::uint8_t b = v ? 0x01 : 0x00;
    w.primitive(tag, ByteView(&b, 1));
}

inline std::string_view asString(ByteView c)
{
    return {reinterpret_cast<const char*>(c.data()), c.size()};
}

inline Status open(const Element& e, Reader& r)
{
    if (!e.tag.constructed)
        return Status::BadTag;
    r = Reader(e.content);
    return Status::Ok;
}

inline Status expectTag(const Element& e, Tag t) { return e.tag == t ? Status::Ok : Status::BadTag; }

inline Status nextWithTag(Reader& r, Tag t, Element& e)
{
    MMS_TRY(r.next(e));
    return expectTag(e, t);
}

// Takes the next element only when it has tag t.
inline bool nextIf(Reader& r, Tag t, Element& e)
{
    return r.peek(e) == Status::Ok && e.tag == t && r.next(e) == Status::Ok;
}

inline Status atEnd(const Reader& r) { return r.atEnd() ? Status::Ok : Status::BadTag; }

template <typename Int>
Status readInt(const Element& e, Int& out)
{
    std::int64_t v = 0;
    MMS_TRY(ber::expectInteger(e, v));
    if (v < std::numeric_limits<Int>::min() || v > static_cast<std::int64_t>(std::numeric_limits<Int>::max()))
        return Status::BadValue;
    out = static_cast<Int>(v);
    return Status::Ok;
}

inline Status readBool(const Element& e, bool& out)
{
    if (e.tag.constructed)
        return Status::BadTag;
    return ber::decodeBoolean(e.content, out);
}

inline Status readNull(const Element& e)
{
    return !e.tag.constructed && e.content.empty() ? Status::Ok : Status::BadValue;
}

constexpr std::size_t kMaxIdentifier = 255;

inline Status readString(const Element& e, std::string& out)
{
    if (e.tag.constructed)
        return Status::BadTag;
    if (e.content.size() > kMaxIdentifier)
        return Status::BadValue;
    out.assign(wire::asString(e.content));
    return Status::Ok;
}

// Strings that are not identifiers (descriptions, vendor names) get a wider cap.
inline Status readText(const Element& e, std::string& out)
{
    if (e.tag.constructed)
        return Status::BadTag;
    if (e.content.size() > 4096)
        return Status::BadValue;
    out.assign(wire::asString(e.content));
    return Status::Ok;
}

// The single element inside an explicit tag.
inline Status inner(const Element& outer, Element& e)
{
    Reader r(ByteView{});
    MMS_TRY(open(outer, r));
    MMS_TRY(r.next(e));
    return atEnd(r);
}

}  // namespace wire
}  // namespace iec61850::mms
