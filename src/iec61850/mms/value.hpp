// MMS data values: the Data and AccessResult types of MMS.
// Scalars live inline (16 bytes on a 32-bit target); strings, long bit
// strings and the members of structures and arrays live on the heap.
#pragma once

#include "iec61850/ber/ber.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace iec61850::mms {

using Status = ber::Status;

// Nesting allowed when decoding Data or a type description.
constexpr int kMaxDataDepth = 16;

enum class DataAccessError : std::uint8_t {
    ObjectInvalidated = 0,
    HardwareFault = 1,
    TemporarilyUnavailable = 2,
    ObjectAccessDenied = 3,
    ObjectUndefined = 4,
    InvalidAddress = 5,
    TypeUnsupported = 6,
    TypeInconsistent = 7,
    ObjectAttributeInconsistent = 8,
    ObjectAccessUnsupported = 9,
    ObjectNonExistent = 10,
    ObjectValueInvalid = 11,
};

const char* toString(DataAccessError e);

class Value {
public:
    enum class Kind : std::uint8_t {
        Boolean,
        BitString,
        Integer,
        Unsigned,
        Float,
        OctetString,
        VisibleString,
        MmsString,
        GeneralizedTime,
        BinaryTime,
        UtcTime,
        Structure,
        Array,
        DataAccessError,
    };

    // A default value is boolean false.
    Value() = default;
    Value(const Value& other);
    Value(Value&& other) noexcept;
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value();

    static Value boolean(bool v);
    static Value integer(std::int64_t v);
    static Value unsignedInteger(std::uint64_t v);
    static Value float32(float v);
    static Value float64(double v);
    static Value bitString(std::size_t bitCount);                       // all bits clear
    static Value bitString(ByteView bits, std::size_t bitCount);        // bit 0 = MSB of bits[0]
    static Value octetString(ByteView v);
    static Value visibleString(std::string_view v);
    static Value mmsString(std::string_view v);                         // UTF-8
    static Value generalizedTime(std::string_view v);                   // as sent, e.g. "20270101000000.000Z"
    static Value binaryTime(ByteView octets);                           // 4 or 6 octets, else empty 6
    static Value binaryTimeMs(std::uint64_t msSinceEpoch, bool withDate = true);
    static Value utcTime(ByteView octets);                              // 8 octets as on the wire
    static Value utcTimeMs(std::uint64_t msSinceEpoch, std::uint8_t quality = 0);
    static Value structure(std::vector<Value> members);
    static Value structure(std::size_t memberCount);                    // members boolean false
    static Value array(std::vector<Value> elements);
    static Value error(DataAccessError e);

    Kind kind() const { return kind_; }
    bool is(Kind k) const { return kind_ == k; }
    bool isError() const { return kind_ == Kind::DataAccessError; }
    bool isConstructed() const { return kind_ == Kind::Structure || kind_ == Kind::Array; }

    // Boolean
    bool toBool() const;
    void setBool(bool v);

    // Integer / Unsigned: conversions read either kind; setters keep the kind.
    std::int64_t toInt64() const;
    std::int32_t toInt32() const { return static_cast<std::int32_t>(toInt64()); }
    std::uint64_t toUint64() const;
    std::uint32_t toUint32() const { return static_cast<std::uint32_t>(toUint64()); }
    void setInt64(std::int64_t v);
    void setInt32(std::int32_t v) { setInt64(v); }
    void setUint64(std::uint64_t v);
    void setUint32(std::uint32_t v) { setUint64(v); }

    // Float: isDouble() tells the wire width (32 or 64 bit).
    bool isDouble() const { return kind_ == Kind::Float && aux_ != 0; }
    float toFloat() const;
    double toDouble() const;
    void setFloat(float v);     // keeps the width
    void setDouble(double v);   // keeps the width

    // BitString: bit 0 is the most significant bit of the first octet.
    std::size_t bitStringSize() const;
    bool getBit(std::size_t bit) const;
    void setBit(std::size_t bit, bool v);
    ByteView bitStringOctets() const;
    std::size_t countSetBits() const;
    // Bits 0..n-1 as an integer with bit 0 as the least significant bit (n <= 64).
    std::uint64_t bitsAsInteger() const;
    void setBitsFromInteger(std::uint64_t v);
    // The same with bit 0 as the most significant bit.
    std::uint64_t bitsAsIntegerBigEndian() const;
    void setBitsFromIntegerBigEndian(std::uint64_t v);

    // OctetString
    ByteView octets() const;
    void setOctets(ByteView v);
    // VisibleString, MmsString, GeneralizedTime
    std::string_view string() const;
    void setString(std::string_view v);

    // UtcTime: seconds since 1970, 24-bit fraction of a second, quality octet.
    std::uint32_t utcSeconds() const;
    std::uint32_t utcFraction() const;
    std::uint8_t utcQuality() const;
    std::uint64_t utcMs() const;
    void setUtcMs(std::uint64_t msSinceEpoch);
    void setUtcQuality(std::uint8_t q);
    // BinaryTime (ms of day, days since 1984-01-01) and UtcTime raw octets.
    ByteView timeOctets() const;
    std::uint64_t binaryTimeMs() const;   // ms since 1970
    void setBinaryTimeMs(std::uint64_t msSinceEpoch);

    // Structure / Array; operator[] needs i < size().
    std::size_t size() const;             // member count, 0 for scalars
    Value& operator[](std::size_t i);
    const Value& operator[](std::size_t i) const;
    std::span<Value> members();
    std::span<const Value> members() const;
    void append(Value v);                 // structure or array only

    DataAccessError dataAccessError() const;

    bool operator==(const Value& other) const;

    // Readable form for tools and logs, e.g. {true,12.5,"abc",[1,2]}.
    std::string toString() const;

    // Writes Data, or for an error value the AccessResult failure [0].
    void encode(ber::Writer& w) const;
    Bytes encode() const;

    // Decodes one Data element; `out` is assigned only on success.
    static Status decodeData(const ber::Element& e, Value& out, int depth = kMaxDataDepth);
    static Status decodeData(ByteView bytes, Value& out, int depth = kMaxDataDepth);
    // Decodes one AccessResult: failure [0] gives an error value.
    static Status decodeAccessResult(const ber::Element& e, Value& out, int depth = kMaxDataDepth);

private:
    static constexpr std::size_t kInlineOctets = 8;

    void release();
    void copyFrom(const Value& other);
    std::string& heapString();
    const std::string& heapString() const;
    std::vector<Value>& heapMembers();
    const std::vector<Value>& heapMembers() const;
    bool bitsInline() const { return kind_ == Kind::BitString && size_ <= kInlineOctets * 8; }
    std::uint8_t* bitData();
    const std::uint8_t* bitData() const;

    Kind kind_ = Kind::Boolean;
    std::uint8_t aux_ = 0;      // float: 1 = 64 bit; binary time: octet count
    std::uint32_t size_ = 0;    // bit string: bit count
    union {
        bool b;
        std::int64_t i;
        std::uint64_t u;
        double d;
        std::array<std::uint8_t, kInlineOctets> octets;
        std::string* str;
        std::vector<Value>* members;
    } data_{.u = 0};
};

// Encodes an AccessResult list member: error values become failure [0].
inline void encodeAccessResult(ber::Writer& w, const Value& v) { v.encode(w); }

// Opens structure Data for members encoded one by one (close with w.end()),
// for encoders that do not hold the members as one value.
ber::Writer::Marker beginStructure(ber::Writer& w);

}  // namespace iec61850::mms
