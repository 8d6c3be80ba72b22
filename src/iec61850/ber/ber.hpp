// ASN.1 BER (definite lengths only) over bounded byte views.
// Decoding never reads past its view, never recurses deeper than the depth
// budget and reports failures as a Status; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace iec61850 {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView view(std::string_view s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace iec61850

namespace iec61850::ber {

enum class TagClass : std::uint8_t { Universal = 0, Application = 1, Context = 2, Private = 3 };

struct Tag {
    TagClass cls = TagClass::Universal;
    bool constructed = false;
    std::uint32_t number = 0;

    constexpr bool operator==(const Tag&) const = default;
    // Same class and number, whatever the form.
    constexpr bool is(TagClass c, std::uint32_t n) const { return cls == c && number == n; }
};

constexpr Tag universal(std::uint32_t n, bool constructed = false) { return {TagClass::Universal, constructed, n}; }
constexpr Tag application(std::uint32_t n, bool constructed = false) { return {TagClass::Application, constructed, n}; }
constexpr Tag context(std::uint32_t n, bool constructed = false) { return {TagClass::Context, constructed, n}; }
constexpr Tag privateTag(std::uint32_t n, bool constructed = false) { return {TagClass::Private, constructed, n}; }

namespace universal_tag {
constexpr std::uint32_t Boolean = 1, Integer = 2, BitString = 3, OctetString = 4, Null = 5, ObjectIdentifier = 6,
                        External = 8, Real = 9, Enumerated = 10, Utf8String = 12, Sequence = 16, Set = 17,
                        VisibleString = 26, GeneralizedTime = 24, GraphicString = 25;
}

enum class Status : std::uint8_t {
    Ok,
    Truncated,         // the view ends inside a header or content
    BadLength,         // indefinite form, over-long length field, or content beyond the view
    TooDeep,           // nesting beyond the depth budget
    BadTag,            // unexpected or malformed identifier
    BadValue,          // content not valid for its type
};

const char* toString(Status s);

constexpr int kDefaultMaxDepth = 24;

struct Element {
    Tag tag;
    ByteView content;  // the value octets
    ByteView whole;    // identifier, length and content
};

// Reads consecutive TLVs from a view.
class Reader {
public:
    explicit Reader(ByteView data, int depthBudget = kDefaultMaxDepth) : data_(data), depth_(depthBudget) {}

    bool atEnd() const { return pos_ >= data_.size(); }
    std::size_t remaining() const { return data_.size() - pos_; }
    int depthBudget() const { return depth_; }

    // Reads the next element and advances past it.
    Status next(Element& e);
    // Reads the next element without advancing.
    Status peek(Element& e) const;
    // A reader over a constructed element's content, one level deeper.
    Status enter(const Element& e, Reader& child) const;

private:
    ByteView data_;
    std::size_t pos_ = 0;
    int depth_;
};

// Decodes one complete TLV header at the start of `data`; `e.whole` tells how much it used.
Status decodeElement(ByteView data, Element& e);

// Content decoders: they check the content octets of a primitive element.
Status decodeBoolean(ByteView content, bool& out);
Status decodeInteger(ByteView content, std::int64_t& out);       // two's complement, at most 8 octets
Status decodeUnsigned(ByteView content, std::uint64_t& out);     // non-negative INTEGER, at most 9 octets
Status decodeBitString(ByteView content, Bytes& bits, std::size_t& bitCount);
Status decodeOid(ByteView content, std::vector<std::uint32_t>& arcs);
Status decodeString(ByteView content, std::string& out);         // octets taken as they are
// Shorthands for a whole element that must have the given tag.
Status expectInteger(const Element& e, std::int64_t& out);
Status expectUnsigned(const Element& e, std::uint64_t& out);

// Builds BER into a growing buffer. Constructed elements are opened with
// begin() and closed with end(), which fills in the definite length.
// A writer may keep room in front of the encoding (reset()), where the
// layers below put their headers without moving what was encoded.
class Writer {
public:
    using Marker = std::size_t;

    // Starts over with `headroom` free octets in front of the encoding.
    void reset(std::size_t headroom);
    std::size_t headroom() const { return start_; }
    // Put octets, or a TLV header whose length covers everything after it,
    // in front of the encoding; false (and nothing written) when they do not
    // fit the headroom.
    bool prepend(ByteView octets);
    bool prependHeader(Tag tag);

    Marker begin(Tag tag);
    void end(Marker m);

    void primitive(Tag tag, ByteView content);
    void boolean(Tag tag, bool v);
    void integer(Tag tag, std::int64_t v);
    void unsignedInteger(Tag tag, std::uint64_t v);
    void octets(Tag tag, ByteView v) { primitive(tag, v); }
    void string(Tag tag, std::string_view v) { primitive(tag, view(v)); }
    void bitString(Tag tag, ByteView bits, std::size_t bitCount);
    void oid(Tag tag, std::span<const std::uint32_t> arcs);
    void null(Tag tag) { primitive(tag, {}); }
    // Appends already-encoded bytes (a complete TLV or several).
    void raw(ByteView encoded);

    // The encoding; bytes() and take() are for writers without headroom.
    ByteView encoding() const { return ByteView(buf_).subspan(start_); }
    const Bytes& bytes() const { return buf_; }
    Bytes take() { return std::move(buf_); }
    void clear() { reset(0); }
    std::size_t size() const { return buf_.size() - start_; }

private:
    void tag(Tag t);
    void length(std::size_t n);
    std::uint8_t* grow(std::size_t n);  // n more octets at the end, to be filled
    Bytes buf_;
    std::size_t start_ = 0;  // where the encoding begins
};

// Minimal two's complement content octets of v.
void appendIntegerContent(Bytes& out, std::int64_t v);
void appendUnsignedContent(Bytes& out, std::uint64_t v);

}  // namespace iec61850::ber
