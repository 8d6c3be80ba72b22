// MMS type descriptions, as answered by
// GetVariableAccessAttributes, and checks of values against them.
#pragma once

#include "iec61850/mms/value.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace iec61850::mms {

class TypeDescription {
public:
    enum class Kind : std::uint8_t {
        Array,
        Structure,
        Boolean,
        BitString,
        Integer,
        Unsigned,
        FloatingPoint,
        OctetString,
        VisibleString,
        GeneralizedTime,
        BinaryTime,
        MmsString,
        UtcTime,
    };

    TypeDescription() = default;  // boolean

    static TypeDescription boolean();
    static TypeDescription bitString(std::int32_t size);          // negative: variable, up to -size bits
    static TypeDescription integer(std::uint8_t bits);
    static TypeDescription unsignedInteger(std::uint8_t bits);
    static TypeDescription floatingPoint(std::uint8_t formatWidth, std::uint8_t exponentWidth);
    static TypeDescription float32() { return floatingPoint(32, 8); }
    static TypeDescription float64() { return floatingPoint(64, 11); }
    static TypeDescription octetString(std::int32_t size);        // negative: variable
    static TypeDescription visibleString(std::int32_t size);      // negative: variable
    static TypeDescription mmsString(std::int32_t size);          // negative: variable
    static TypeDescription generalizedTime();
    static TypeDescription binaryTime(bool withDate);
    static TypeDescription utcTime();
    static TypeDescription array(std::uint32_t elementCount, TypeDescription element);
    // Each component carries its name (see named()).
    static TypeDescription structure(std::vector<TypeDescription> components);

    // The same type as a named structure component.
    TypeDescription named(std::string name) &&;
    TypeDescription named(std::string name) const&;

    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }

    // bit-string / strings: declared size (negative = variable); integer /
    // unsigned: bit width; array: element count.
    std::int32_t size() const { return size_; }
    std::uint32_t elementCount() const { return static_cast<std::uint32_t>(size_); }
    std::uint8_t formatWidth() const { return formatWidth_; }
    std::uint8_t exponentWidth() const { return exponentWidth_; }
    bool withDate() const { return withDate_; }

    const std::vector<TypeDescription>& components() const { return children_; }
    std::vector<TypeDescription>& components() { return children_; }
    const TypeDescription& elementType() const { return children_.front(); }  // arrays only

    // Component by name, or by a `$`-separated path of names; nullptr if none.
    const TypeDescription* component(std::string_view name) const;
    const TypeDescription* find(std::string_view path) const;
    // Index of a direct component, or -1.
    int componentIndex(std::string_view name) const;

    // A value of this type with zero/empty/false contents.
    Value defaultValue() const;

    bool operator==(const TypeDescription& other) const;

    // Writes the type description (structure [2], array [1], boolean [3] ...).
    void encode(ber::Writer& w) const;
    Bytes encode() const;
    // Decodes one type description element; `out` is assigned only on success.
    static Status decode(const ber::Element& e, TypeDescription& out, int depth = kMaxDataDepth);
    static Status decode(ByteView bytes, TypeDescription& out, int depth = kMaxDataDepth);

private:
    TypeDescription(Kind k, std::int32_t size) : kind_(k), size_(size) {}

    Kind kind_ = Kind::Boolean;
    bool withDate_ = false;
    std::uint8_t formatWidth_ = 0;
    std::uint8_t exponentWidth_ = 0;
    std::int32_t size_ = 0;
    std::string name_;
    std::vector<TypeDescription> children_;  // structure components, or the one array element type
};

// Whether a value has the kind and shape of the type: member counts and
// kinds of structures and arrays, string and bit-string sizes, float width.
bool conforms(const Value& v, const TypeDescription& t);

}  // namespace iec61850::mms
