#include "iec61850/ber/ber.hpp"

#include <algorithm>

namespace iec61850::ber {

const char* toString(Status s)
{
    switch (s) {
    case Status::Ok: return "ok";
    case Status::Truncated: return "truncated";
    case Status::BadLength: return "bad length";
    case Status::TooDeep: return "nested too deep";
    case Status::BadTag: return "bad tag";
    case Status::BadValue: return "bad value";
    }
    return "?";
}

Status decodeElement(ByteView data, Element& e)
{
    std::size_t pos = 0;
    if (data.empty())
        return Status::Truncated;
    const std::uint8_t first = data[pos++];
    Tag tag{static_cast<TagClass>(first >> 6), (first & 0x20) != 0, first & 0x1fu};
    if (tag.number == 0x1f) {
        std::uint32_t n = 0;
        for (int i = 0;; ++i) {
            if (pos >= data.size())
                return Status::Truncated;
            const std::uint8_t b = data[pos++];
            if ((i == 0 && b == 0x80) || i == 4)  // leading zero or beyond 28 bits
                return Status::BadTag;
            n = (n << 7) | (b & 0x7fu);
            if ((b & 0x80) == 0)
                break;
        }
        if (n < 0x1f)
            return Status::BadTag;
        tag.number = n;
    }
    if (pos >= data.size())
        return Status::Truncated;
    std::size_t len = data[pos++];
    if (len & 0x80) {
        const std::size_t count = len & 0x7f;
        if (count == 0 || count > 4)  // indefinite form, or a length no PDU here can have
            return Status::BadLength;
        len = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (pos >= data.size())
                return Status::Truncated;
            len = (len << 8) | data[pos++];
        }
    }
    if (len > data.size() - pos)
        return Status::BadLength;
    e.tag = tag;
    e.content = data.subspan(pos, len);
    e.whole = data.subspan(0, pos + len);
    return Status::Ok;
}

Status Reader::next(Element& e)
{
    const Status s = peek(e);
    if (s == Status::Ok)
        pos_ += e.whole.size();
    return s;
}

Status Reader::peek(Element& e) const
{
    if (atEnd())
        return Status::Truncated;
    return decodeElement(data_.subspan(pos_), e);
}

Status Reader::enter(const Element& e, Reader& child) const
{
    if (!e.tag.constructed)
        return Status::BadTag;
    if (depth_ <= 0)
        return Status::TooDeep;
    child = Reader(e.content, depth_ - 1);
    return Status::Ok;
}

Status decodeBoolean(ByteView content, bool& out)
{
    if (content.size() != 1)
        return Status::BadValue;
    out = content[0] != 0;
    return Status::Ok;
}

Status decodeInteger(ByteView content, std::int64_t& out)
{
    if (content.empty() || content.size() > 8)
        return Status::BadValue;
    std::uint64_t v = (content[0] & 0x80) ? ~std::uint64_t{0} : 0;
    for (std::uint8_t b : content)
        v = (v << 8) | b;
    out = static_cast<std::int64_t>(v);
    return Status::Ok;
}

Status decodeUnsigned(ByteView content, std::uint64_t& out)
{
    if (content.empty() || content.size() > 9 || (content[0] & 0x80))
        return Status::BadValue;
    if (content.size() == 9 && content[0] != 0)
        return Status::BadValue;
    std::uint64_t v = 0;
    for (std::uint8_t b : content)
        v = (v << 8) | b;
    out = v;
    return Status::Ok;
}

Status decodeBitString(ByteView content, Bytes& bits, std::size_t& bitCount)
{
    if (content.empty())
        return Status::BadValue;
    const unsigned unused = content[0];
    if (unused > 7 || (content.size() == 1 && unused != 0))
        return Status::BadValue;
    bits.assign(content.begin() + 1, content.end());
    bitCount = bits.size() * 8 - unused;
    return Status::Ok;
}

Status decodeOid(ByteView content, std::vector<std::uint32_t>& arcs)
{
    std::vector<std::uint32_t> result;
    std::uint64_t v = 0;
    bool inArc = false;
    for (std::uint8_t b : content) {
        if (!inArc && b == 0x80)
            return Status::BadValue;
        v = (v << 7) | (b & 0x7fu);
        if (v > 0xffffffffu)
            return Status::BadValue;
        inArc = (b & 0x80) != 0;
        if (inArc)
            continue;
        if (result.empty()) {
            const std::uint32_t first = v < 40 ? 0 : v < 80 ? 1 : 2;
            result.push_back(first);
            result.push_back(static_cast<std::uint32_t>(v - 40 * first));
        } else {
            result.push_back(static_cast<std::uint32_t>(v));
        }
        v = 0;
    }
    if (inArc || result.empty())
        return Status::BadValue;
    arcs = std::move(result);
    return Status::Ok;
}

Status decodeString(ByteView content, std::string& out)
{
    out.assign(content.begin(), content.end());
    return Status::Ok;
}

Status expectInteger(const Element& e, std::int64_t& out)
{
    if (e.tag.constructed)
        return Status::BadTag;
    return decodeInteger(e.content, out);
}

Status expectUnsigned(const Element& e, std::uint64_t& out)
{
    if (e.tag.constructed)
        return Status::BadTag;
    return decodeUnsigned(e.content, out);
}

void appendIntegerContent(Bytes& out, std::int64_t v)
{
    Writer w;
    w.integer(universal(universal_tag::Integer), v);
    out.insert(out.end(), w.bytes().begin() + 2, w.bytes().end());
}

void appendUnsignedContent(Bytes& out, std::uint64_t v)
{
    Writer w;
    w.unsignedInteger(universal(universal_tag::Integer), v);
    out.insert(out.end(), w.bytes().begin() + 2, w.bytes().end());
}

namespace {

// Identifier or length octets, built on the stack.
struct Octets {
    std::uint8_t data[6];
    std::size_t size = 0;

    void push(std::uint8_t b) { data[size++] = b; }
    ByteView view() const { return ByteView(data, size); }
};

Octets identifierOctets(Tag t)
{
    Octets o;
    const auto head = static_cast<std::uint8_t>((static_cast<unsigned>(t.cls) << 6) | (t.constructed ? 0x20 : 0));
    if (t.number < 0x1f) {
        o.push(static_cast<std::uint8_t>(head | t.number));
        return o;
    }
    o.push(head | 0x1f);
    int groups = 1;
    while (groups < 5 && (t.number >> (7 * groups)) != 0)
        ++groups;
    for (int i = groups - 1; i >= 0; --i) {
        const auto b = static_cast<std::uint8_t>((t.number >> (7 * i)) & 0x7f);
        o.push(i ? (b | 0x80) : b);
    }
    return o;
}

Octets lengthOctets(std::size_t n)
{
    Octets o;
    if (n < 0x80) {
        o.push(static_cast<std::uint8_t>(n));
        return o;
    }
    int count = 1;
    while (count < 4 && (n >> (8 * count)) != 0)
        ++count;
    o.push(static_cast<std::uint8_t>(0x80 | count));
    for (int i = count - 1; i >= 0; --i)
        o.push(static_cast<std::uint8_t>(n >> (8 * i)));
    return o;
}

}  // namespace

void Writer::reset(std::size_t headroom)
{
    buf_.assign(headroom, 0);
    start_ = headroom;
}

bool Writer::prepend(ByteView octets)
{
    if (octets.size() > start_)
        return false;
    start_ -= octets.size();
    std::copy(octets.begin(), octets.end(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
    return true;
}

bool Writer::prependHeader(Tag t)
{
    const Octets identifier = identifierOctets(t);
    const Octets length = lengthOctets(size());
    if (identifier.size + length.size > start_)
        return false;
    return prepend(length.view()) && prepend(identifier.view());
}

void Writer::tag(Tag t)
{
    raw(identifierOctets(t).view());
}

void Writer::length(std::size_t n)
{
    raw(lengthOctets(n).view());
}

Writer::Marker Writer::begin(Tag t)
{
    t.constructed = true;
    tag(t);
    buf_.push_back(0);  // short length for now; end() widens it when needed
    return buf_.size();
}

void Writer::end(Marker m)
{
    const Octets field = lengthOctets(buf_.size() - m);
    buf_[m - 1] = field.data[0];
    if (field.size > 1)  // the long form: the content moves up
        buf_.insert(buf_.begin() + static_cast<std::ptrdiff_t>(m), field.data + 1, field.data + field.size);
}

void Writer::primitive(Tag t, ByteView content)
{
    const Octets identifier = identifierOctets(t);
    const Octets length = lengthOctets(content.size());
    std::uint8_t* at = grow(identifier.size + length.size + content.size());
    at = std::copy_n(identifier.data, identifier.size, at);
    at = std::copy_n(length.data, length.size, at);
    std::copy(content.begin(), content.end(), at);
}

void Writer::boolean(Tag t, bool v)
{
    const std::uint8_t b = v ? 0xff : 0x00;
    primitive(t, ByteView(&b, 1));
}

void Writer::integer(Tag t, std::int64_t v)
{
    std::uint8_t content[8];
    int n = 8;
    while (n > 1) {  // drop leading octets that only repeat the sign
        const auto top = static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> ((n - 1) * 8));
        const auto nextBit = (static_cast<std::uint64_t>(v) >> ((n - 1) * 8 - 1)) & 1u;
        if ((top == 0x00 && nextBit == 0) || (top == 0xff && nextBit == 1))
            --n;
        else
            break;
    }
    for (int i = 0; i < n; ++i)
        content[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> ((n - 1 - i) * 8));
    primitive(t, ByteView(content, static_cast<std::size_t>(n)));
}

void Writer::unsignedInteger(Tag t, std::uint64_t v)
{
    std::uint8_t content[9];
    int n = 1;
    while (n < 8 && (v >> (n * 8)) != 0)
        ++n;
    std::size_t len = 0;
    if ((v >> ((n - 1) * 8)) & 0x80)
        content[len++] = 0;
    for (int i = n - 1; i >= 0; --i)
        content[len++] = static_cast<std::uint8_t>(v >> (i * 8));
    primitive(t, ByteView(content, len));
}

void Writer::bitString(Tag t, ByteView bits, std::size_t bitCount)
{
    const std::size_t octets = (bitCount + 7) / 8;
    tag(t);
    length(octets + 1);
    buf_.push_back(static_cast<std::uint8_t>(octets * 8 - bitCount));
    for (std::size_t i = 0; i < octets; ++i) {
        std::uint8_t b = i < bits.size() ? bits[i] : 0;
        if (i + 1 == octets && bitCount % 8)
            b &= static_cast<std::uint8_t>(0xff << (8 - bitCount % 8));  // unused bits are zero
        buf_.push_back(b);
    }
}

void Writer::oid(Tag t, std::span<const std::uint32_t> arcs)
{
    Bytes content;
    auto put = [&content](std::uint64_t v) {
        int groups = 1;
        while (groups < 10 && (v >> (7 * groups)) != 0)
            ++groups;
        for (int i = groups - 1; i >= 0; --i) {
            const auto b = static_cast<std::uint8_t>((v >> (7 * i)) & 0x7f);
            content.push_back(i ? (b | 0x80) : b);
        }
    };
    if (arcs.size() >= 2) {
        put(std::uint64_t{arcs[0]} * 40 + arcs[1]);
        for (std::size_t i = 2; i < arcs.size(); ++i)
            put(arcs[i]);
    }
    primitive(t, content);
}

std::uint8_t* Writer::grow(std::size_t n)
{
    // Most appends are a few octets: growing and copying beats a range insert.
    const std::size_t at = buf_.size();
    buf_.resize(at + n);
    return buf_.data() + at;
}

void Writer::raw(ByteView encoded)
{
    std::copy(encoded.begin(), encoded.end(), grow(encoded.size()));
}

}  // namespace iec61850::ber
