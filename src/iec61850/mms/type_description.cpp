#include "iec61850/mms/type_description.hpp"

#include "iec61850/mms/wire.hpp"

#include <limits>

namespace iec61850::mms {

namespace {

using ber::Element;
using ber::Tag;

// Context tags of type descriptions; most equal the Data tags.
namespace type_tag {
constexpr std::uint32_t TypeName = 0, Array = 1, Structure = 2, Boolean = 3, BitString = 4, Integer = 5,
                        Unsigned = 6, FloatingPoint = 7, OctetString = 9, VisibleString = 10,
                        GeneralizedTime = 11, BinaryTime = 12, MmsString = 16, UtcTime = 17;
}

std::uint32_t tagOf(TypeDescription::Kind k)
{
    using K = TypeDescription::Kind;
    using namespace type_tag;
    switch (k) {
    case K::Array: return Array;
    case K::Structure: return Structure;
    case K::Boolean: return Boolean;
    case K::BitString: return BitString;
    case K::Integer: return Integer;
    case K::Unsigned: return Unsigned;
    case K::FloatingPoint: return FloatingPoint;
    case K::OctetString: return OctetString;
    case K::VisibleString: return VisibleString;
    case K::GeneralizedTime: return GeneralizedTime;
    case K::BinaryTime: return BinaryTime;
    case K::MmsString: return MmsString;
    case K::UtcTime: return UtcTime;
    }
    return Boolean;
}

std::uint32_t magnitude(std::int32_t size)
{
    return size < 0 ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(size)) : static_cast<std::uint32_t>(size);
}

// Declared size: exact when fixed, an upper bound when variable (negative).
bool sizeFits(std::size_t actual, std::int32_t declared, bool exactWhenFixed)
{
    if (declared < 0 || !exactWhenFixed)
        return actual <= magnitude(declared);
    return actual == magnitude(declared);
}

bool integerFits(std::int64_t v, unsigned bits)
{
    if (bits == 0 || bits >= 64)
        return true;
    const std::int64_t limit = std::int64_t{1} << (bits - 1);
    return v >= -limit && v < limit;
}

bool unsignedFits(std::uint64_t v, unsigned bits)
{
    return bits == 0 || bits >= 64 || v < (std::uint64_t{1} << bits);
}

Status readSmallInt(const Element& e, std::int64_t lo, std::int64_t hi, std::int64_t& out)
{
    std::int64_t v = 0;
    if (Status s = ber::expectInteger(e, v); s != Status::Ok)
        return s;
    if (v < lo || v > hi)
        return Status::BadValue;
    out = v;
    return Status::Ok;
}

// The single element inside an explicit tag.
Status innerElement(const ber::Reader& parent, const Element& outer, Element& inner)
{
    ber::Reader r(ByteView{});
    if (Status s = parent.enter(outer, r); s != Status::Ok)
        return s;
    if (Status s = r.next(inner); s != Status::Ok)
        return s;
    return r.atEnd() ? Status::Ok : Status::BadLength;
}

}  // namespace

TypeDescription TypeDescription::boolean() { return {Kind::Boolean, 0}; }
TypeDescription TypeDescription::bitString(std::int32_t size) { return {Kind::BitString, size}; }
TypeDescription TypeDescription::integer(std::uint8_t bits) { return {Kind::Integer, bits}; }
TypeDescription TypeDescription::unsignedInteger(std::uint8_t bits) { return {Kind::Unsigned, bits}; }
TypeDescription TypeDescription::octetString(std::int32_t size) { return {Kind::OctetString, size}; }
TypeDescription TypeDescription::visibleString(std::int32_t size) { return {Kind::VisibleString, size}; }
TypeDescription TypeDescription::mmsString(std::int32_t size) { return {Kind::MmsString, size}; }
TypeDescription TypeDescription::generalizedTime() { return {Kind::GeneralizedTime, 0}; }
TypeDescription TypeDescription::utcTime() { return {Kind::UtcTime, 0}; }

TypeDescription TypeDescription::floatingPoint(std::uint8_t formatWidth, std::uint8_t exponentWidth)
{
    TypeDescription t{Kind::FloatingPoint, 0};
    t.formatWidth_ = formatWidth;
    t.exponentWidth_ = exponentWidth;
    return t;
}

TypeDescription TypeDescription::binaryTime(bool withDate)
{
    TypeDescription t{Kind::BinaryTime, 0};
    t.withDate_ = withDate;
    return t;
}

TypeDescription TypeDescription::array(std::uint32_t elementCount, TypeDescription element)
{
    TypeDescription t{Kind::Array, static_cast<std::int32_t>(elementCount)};
    element.name_.clear();
    t.children_.push_back(std::move(element));
    return t;
}

TypeDescription TypeDescription::structure(std::vector<TypeDescription> components)
{
    TypeDescription t{Kind::Structure, 0};
    t.children_ = std::move(components);
    return t;
}

TypeDescription TypeDescription::named(std::string name) &&
{
    name_ = std::move(name);
    return std::move(*this);
}

TypeDescription TypeDescription::named(std::string name) const&
{
    TypeDescription t = *this;
    t.name_ = std::move(name);
    return t;
}

const TypeDescription* TypeDescription::component(std::string_view name) const
{
    const int i = componentIndex(name);
    return i < 0 ? nullptr : &children_[static_cast<std::size_t>(i)];
}

int TypeDescription::componentIndex(std::string_view name) const
{
    if (kind_ != Kind::Structure)
        return -1;
    for (std::size_t i = 0; i < children_.size(); ++i)
        if (children_[i].name_ == name)
            return static_cast<int>(i);
    return -1;
}

const TypeDescription* TypeDescription::find(std::string_view path) const
{
    const TypeDescription* t = this;
    while (t && !path.empty()) {
        const std::size_t cut = path.find('$');
        t = t->component(path.substr(0, cut));
        path = cut == std::string_view::npos ? std::string_view{} : path.substr(cut + 1);
    }
    return t;
}

Value TypeDescription::defaultValue() const
{
    switch (kind_) {
    case Kind::Boolean: return Value::boolean(false);
    case Kind::BitString: return Value::bitString(magnitude(size_));
    case Kind::Integer: return Value::integer(0);
    case Kind::Unsigned: return Value::unsignedInteger(0);
    case Kind::FloatingPoint: return formatWidth_ == 64 ? Value::float64(0) : Value::float32(0);
    case Kind::OctetString: return Value::octetString(Bytes(size_ > 0 ? magnitude(size_) : 0, 0));
    case Kind::VisibleString: return Value::visibleString({});
    case Kind::MmsString: return Value::mmsString({});
    case Kind::GeneralizedTime: return Value::generalizedTime({});
    case Kind::BinaryTime: return Value::binaryTime(Bytes(withDate_ ? 6 : 4, 0));
    case Kind::UtcTime: return Value::utcTime(Bytes(8, 0));
    case Kind::Array: return Value::array(std::vector<Value>(elementCount(), elementType().defaultValue()));
    case Kind::Structure: {
        std::vector<Value> members;
        members.reserve(children_.size());
        for (const TypeDescription& c : children_)
            members.push_back(c.defaultValue());
        return Value::structure(std::move(members));
    }
    }
    return {};
}

bool TypeDescription::operator==(const TypeDescription& other) const
{
    return kind_ == other.kind_ && withDate_ == other.withDate_ && formatWidth_ == other.formatWidth_ &&
           exponentWidth_ == other.exponentWidth_ && size_ == other.size_ && name_ == other.name_ &&
           children_ == other.children_;
}

// ---- Encoding -------------------------------------------------------------------------

void TypeDescription::encode(ber::Writer& w) const
{
    const Tag tag = ber::context(tagOf(kind_));
    switch (kind_) {
    case Kind::Array: {
        const auto m = w.begin(tag);
        w.unsignedInteger(ber::context(1), elementCount());
        const auto e = w.begin(ber::context(2, true));
        elementType().encode(w);
        w.end(e);
        w.end(m);
        return;
    }
    case Kind::Structure: {
        const auto m = w.begin(tag);
        const auto list = w.begin(ber::context(1, true));
        for (const TypeDescription& c : children_) {
            const auto seq = w.begin(ber::universal(ber::universal_tag::Sequence, true));
            w.string(ber::context(0), c.name_);
            const auto t = w.begin(ber::context(1, true));
            c.encode(w);
            w.end(t);
            w.end(seq);
        }
        w.end(list);
        w.end(m);
        return;
    }
    case Kind::FloatingPoint: {
        const auto m = w.begin(tag);
        w.integer(ber::universal(ber::universal_tag::Integer), formatWidth_);
        w.integer(ber::universal(ber::universal_tag::Integer), exponentWidth_);
        w.end(m);
        return;
    }
    case Kind::Boolean:
    case Kind::GeneralizedTime:
    case Kind::UtcTime: w.null(tag); return;
    case Kind::BinaryTime: wire::putBoolean(w, tag, withDate_); return;
    case Kind::Integer:
    case Kind::Unsigned:
    case Kind::BitString:
    case Kind::OctetString:
    case Kind::VisibleString:
    case Kind::MmsString: w.integer(tag, size_); return;
    }
}

Bytes TypeDescription::encode() const
{
    ber::Writer w;
    encode(w);
    return w.take();
}

// ---- Decoding -------------------------------------------------------------------------

namespace {

Status decodeArray(const ber::Reader& parent, const Element& e, TypeDescription& out, int depth)
{
    ber::Reader r(ByteView{});
    if (Status s = parent.enter(e, r); s != Status::Ok)
        return s;
    std::int64_t count = -1;
    TypeDescription element;
    bool haveElement = false;
    while (!r.atEnd()) {
        Element f;
        if (Status s = r.next(f); s != Status::Ok)
            return s;
        if (f.tag == ber::context(0)) {
            continue;  // packed: ignored
        } else if (f.tag == ber::context(1)) {
            if (Status s = readSmallInt(f, 0, std::numeric_limits<std::int32_t>::max(), count); s != Status::Ok)
                return s;
        } else if (f.tag == ber::context(2, true)) {
            Element inner;
            if (Status s = innerElement(r, f, inner); s != Status::Ok)
                return s;
            if (Status s = TypeDescription::decode(inner, element, depth - 1); s != Status::Ok)
                return s;
            haveElement = true;
        } else {
            return Status::BadTag;
        }
    }
    if (count < 0 || !haveElement)
        return Status::BadValue;
    out = TypeDescription::array(static_cast<std::uint32_t>(count), std::move(element));
    return Status::Ok;
}

Status decodeComponent(const ber::Reader& list, const Element& seq, TypeDescription& out, int depth)
{
    if (seq.tag != ber::universal(ber::universal_tag::Sequence, true))
        return Status::BadTag;
    ber::Reader r(ByteView{});
    if (Status s = list.enter(seq, r); s != Status::Ok)
        return s;
    std::string name;
    Element f;
    if (Status s = r.next(f); s != Status::Ok)
        return s;
    if (f.tag == ber::context(0)) {
        name.assign(wire::asString(f.content));
        if (Status s = r.next(f); s != Status::Ok)
            return s;
    }
    if (f.tag != ber::context(1, true) || !r.atEnd())
        return Status::BadTag;
    Element inner;
    if (Status s = innerElement(r, f, inner); s != Status::Ok)
        return s;
    if (Status s = TypeDescription::decode(inner, out, depth - 1); s != Status::Ok)
        return s;
    out.setName(std::move(name));
    return Status::Ok;
}

Status decodeStructure(const ber::Reader& parent, const Element& e, TypeDescription& out, int depth)
{
    ber::Reader r(ByteView{});
    if (Status s = parent.enter(e, r); s != Status::Ok)
        return s;
    std::vector<TypeDescription> components;
    bool haveList = false;
    while (!r.atEnd()) {
        Element f;
        if (Status s = r.next(f); s != Status::Ok)
            return s;
        if (f.tag == ber::context(0))
            continue;  // packed: ignored
        if (f.tag != ber::context(1, true) || haveList)
            return Status::BadTag;
        haveList = true;
        ber::Reader list(ByteView{});
        if (Status s = r.enter(f, list); s != Status::Ok)
            return s;
        while (!list.atEnd()) {
            Element seq;
            if (Status s = list.next(seq); s != Status::Ok)
                return s;
            TypeDescription c;
            if (Status s = decodeComponent(list, seq, c, depth); s != Status::Ok)
                return s;
            components.push_back(std::move(c));
        }
    }
    if (!haveList)
        return Status::BadValue;
    out = TypeDescription::structure(std::move(components));
    return Status::Ok;
}

Status decodeFloatingPoint(const ber::Reader& parent, const Element& e, TypeDescription& out)
{
    ber::Reader r(ByteView{});
    if (Status s = parent.enter(e, r); s != Status::Ok)
        return s;
    Element f;
    std::int64_t format = 0, exponent = 0;
    if (Status s = r.next(f); s != Status::Ok)
        return s;
    if (Status s = readSmallInt(f, 1, 255, format); s != Status::Ok)
        return s;
    if (Status s = r.next(f); s != Status::Ok)
        return s;
    if (Status s = readSmallInt(f, 1, 255, exponent); s != Status::Ok)
        return s;
    if (!r.atEnd())
        return Status::BadLength;
    out = TypeDescription::floatingPoint(static_cast<std::uint8_t>(format), static_cast<std::uint8_t>(exponent));
    return Status::Ok;
}

}  // namespace

Status TypeDescription::decode(const ber::Element& e, TypeDescription& out, int depth)
{
    using namespace type_tag;
    if (e.tag.cls != ber::TagClass::Context)
        return Status::BadTag;
    if (depth <= 0)
        return Status::TooDeep;
    const ber::Reader parent(e.whole);
    const std::int64_t i32min = std::numeric_limits<std::int32_t>::min();
    const std::int64_t i32max = std::numeric_limits<std::int32_t>::max();
    std::int64_t v = 0;
    auto sized = [&](Kind k, std::int64_t lo, std::int64_t hi) {
        if (e.tag.constructed)
            return Status::BadTag;
        if (Status s = readSmallInt(e, lo, hi, v); s != Status::Ok)
            return s;
        out = TypeDescription(k, static_cast<std::int32_t>(v));
        return Status::Ok;
    };
    auto empty = [&](TypeDescription t) {
        if (e.tag.constructed || !e.content.empty())
            return Status::BadValue;
        out = std::move(t);
        return Status::Ok;
    };
    switch (e.tag.number) {
    case Array: return e.tag.constructed ? decodeArray(parent, e, out, depth) : Status::BadTag;
    case Structure: return e.tag.constructed ? decodeStructure(parent, e, out, depth) : Status::BadTag;
    case FloatingPoint: return e.tag.constructed ? decodeFloatingPoint(parent, e, out) : Status::BadTag;
    case Boolean: return empty(boolean());
    case GeneralizedTime: return empty(generalizedTime());
    case UtcTime: return empty(utcTime());
    case BinaryTime: {
        bool withDate = false;
        if (e.tag.constructed)
            return Status::BadTag;
        if (Status s = ber::decodeBoolean(e.content, withDate); s != Status::Ok)
            return s;
        out = binaryTime(withDate);
        return Status::Ok;
    }
    case Integer: return sized(Kind::Integer, 0, 255);
    case Unsigned: return sized(Kind::Unsigned, 0, 255);
    case BitString: return sized(Kind::BitString, i32min, i32max);
    case OctetString: return sized(Kind::OctetString, i32min, i32max);
    case VisibleString: return sized(Kind::VisibleString, i32min, i32max);
    case MmsString: return sized(Kind::MmsString, i32min, i32max);
    default: return Status::BadTag;  // typeName and the kinds this system never uses
    }
}

Status TypeDescription::decode(ByteView bytes, TypeDescription& out, int depth)
{
    Element e;
    if (Status s = ber::decodeElement(bytes, e); s != Status::Ok)
        return s;
    if (e.whole.size() != bytes.size())
        return Status::BadLength;
    return decode(e, out, depth);
}

// ---- Conformance ------------------------------------------------------------------------

bool conforms(const Value& v, const TypeDescription& t)
{
    using K = TypeDescription::Kind;
    using VK = Value::Kind;
    switch (t.kind()) {
    case K::Boolean: return v.is(VK::Boolean);
    case K::BitString: return v.is(VK::BitString) && sizeFits(v.bitStringSize(), t.size(), true);
    case K::Integer: return v.is(VK::Integer) && integerFits(v.toInt64(), static_cast<unsigned>(t.size()));
    case K::Unsigned: return v.is(VK::Unsigned) && unsignedFits(v.toUint64(), static_cast<unsigned>(t.size()));
    case K::FloatingPoint: return v.is(VK::Float) && v.isDouble() == (t.formatWidth() == 64);
    case K::OctetString: return v.is(VK::OctetString) && sizeFits(v.octets().size(), t.size(), true);
    case K::VisibleString: return v.is(VK::VisibleString) && sizeFits(v.string().size(), t.size(), false);
    case K::MmsString: return v.is(VK::MmsString) && sizeFits(v.string().size(), t.size(), false);
    case K::GeneralizedTime: return v.is(VK::GeneralizedTime);
    case K::BinaryTime: return v.is(VK::BinaryTime) && v.timeOctets().size() == (t.withDate() ? 6u : 4u);
    case K::UtcTime: return v.is(VK::UtcTime);
    case K::Array:
        if (!v.is(VK::Array) || v.size() != t.elementCount())
            return false;
        for (const Value& m : v.members())
            if (!conforms(m, t.elementType()))
                return false;
        return true;
    case K::Structure:
        if (!v.is(VK::Structure) || v.size() != t.components().size())
            return false;
        for (std::size_t i = 0; i < v.size(); ++i)
            if (!conforms(v[i], t.components()[i]))
                return false;
        return true;
    }
    return false;
}

}  // namespace iec61850::mms
