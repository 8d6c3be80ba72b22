#include "iec61850/mms/value.hpp"

#include "iec61850/mms/wire.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

namespace iec61850::mms {

namespace {

using ber::Element;
using ber::Tag;

constexpr std::uint64_t kMsPerDay = 86400000;
constexpr std::uint64_t kDaysFrom1970To1984 = 5113;

bool ownsString(Value::Kind k)
{
    return k == Value::Kind::OctetString || k == Value::Kind::VisibleString || k == Value::Kind::MmsString ||
           k == Value::Kind::GeneralizedTime;
}

std::uint64_t readBigEndian(const std::uint8_t* p, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

void writeBigEndian(std::uint8_t* p, int n, std::uint64_t v)
{
    for (int i = n - 1; i >= 0; --i, v >>= 8)
        p[i] = static_cast<std::uint8_t>(v);
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
};

Civil civilFromDays(std::int64_t z)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

std::string formatTime(std::uint64_t ms)
{
    const Civil c = civilFromDays(static_cast<std::int64_t>(ms / kMsPerDay));
    const std::uint64_t inDay = ms % kMsPerDay;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ", static_cast<long long>(c.year), c.month,
                  c.day, static_cast<unsigned>(inDay / 3600000), static_cast<unsigned>(inDay / 60000 % 60),
                  static_cast<unsigned>(inDay / 1000 % 60), static_cast<unsigned>(inDay % 1000));
    return buf;
}

// Float to integer without undefined behaviour: NaN gives 0, out of range saturates.
template <typename Int>
Int saturate(double d)
{
    if (d != d)
        return 0;
    if (d <= static_cast<double>(std::numeric_limits<Int>::min()))
        return std::numeric_limits<Int>::min();
    if (d >= static_cast<double>(std::numeric_limits<Int>::max()))
        return std::numeric_limits<Int>::max();
    return static_cast<Int>(d);
}

template <typename T>
void appendNumber(std::string& s, T v)
{
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

}  // namespace

const char* toString(DataAccessError e)
{
    switch (e) {
    case DataAccessError::ObjectInvalidated: return "object-invalidated";
    case DataAccessError::HardwareFault: return "hardware-fault";
    case DataAccessError::TemporarilyUnavailable: return "temporarily-unavailable";
    case DataAccessError::ObjectAccessDenied: return "object-access-denied";
    case DataAccessError::ObjectUndefined: return "object-undefined";
    case DataAccessError::InvalidAddress: return "invalid-address";
    case DataAccessError::TypeUnsupported: return "type-unsupported";
    case DataAccessError::TypeInconsistent: return "type-inconsistent";
    case DataAccessError::ObjectAttributeInconsistent: return "object-attribute-inconsistent";
    case DataAccessError::ObjectAccessUnsupported: return "object-access-unsupported";
    case DataAccessError::ObjectNonExistent: return "object-non-existent";
    case DataAccessError::ObjectValueInvalid: return "object-value-invalid";
    }
    return "unknown-error";
}

// ---- Life cycle ----------------------------------------------------------------

Value::Value(const Value& other) { copyFrom(other); }

Value::Value(Value&& other) noexcept : kind_(other.kind_), aux_(other.aux_), size_(other.size_), data_(other.data_)
{
    other.kind_ = Kind::Boolean;
    other.size_ = 0;
    other.data_.u = 0;
}

Value& Value::operator=(const Value& other)
{
    if (this != &other) {
        Value copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Value& Value::operator=(Value&& other) noexcept
{
    if (this != &other) {
        release();
        kind_ = other.kind_;
        aux_ = other.aux_;
        size_ = other.size_;
        data_ = other.data_;
        other.kind_ = Kind::Boolean;
        other.size_ = 0;
        other.data_.u = 0;
    }
    return *this;
}

Value::~Value() { release(); }

void Value::release()
{
    if (ownsString(kind_) || (kind_ == Kind::BitString && !bitsInline()))
        delete data_.str;
    else if (isConstructed())
        delete data_.members;
    data_.u = 0;
}

void Value::copyFrom(const Value& other)
{
    kind_ = other.kind_;
    aux_ = other.aux_;
    size_ = other.size_;
    data_ = other.data_;
    if (ownsString(kind_) || (kind_ == Kind::BitString && !bitsInline()))
        data_.str = other.data_.str ? new std::string(*other.data_.str) : nullptr;
    else if (isConstructed())
        data_.members = other.data_.members ? new std::vector<Value>(*other.data_.members) : nullptr;
}

std::string& Value::heapString()
{
    if (!data_.str)
        data_.str = new std::string;
    return *data_.str;
}

const std::string& Value::heapString() const
{
    static const std::string empty;
    return data_.str ? *data_.str : empty;
}

std::vector<Value>& Value::heapMembers()
{
    if (!data_.members)
        data_.members = new std::vector<Value>;
    return *data_.members;
}

const std::vector<Value>& Value::heapMembers() const
{
    static const std::vector<Value> empty;
    return data_.members ? *data_.members : empty;
}

// ---- Factories -------------------------------------------------------------------

Value Value::boolean(bool v)
{
    Value r;
    r.data_.u = v ? 1 : 0;
    return r;
}

Value Value::integer(std::int64_t v)
{
    Value r;
    r.kind_ = Kind::Integer;
    r.data_.i = v;
    return r;
}

Value Value::unsignedInteger(std::uint64_t v)
{
    Value r;
    r.kind_ = Kind::Unsigned;
    r.data_.u = v;
    return r;
}

Value Value::float32(float v)
{
    Value r;
    r.kind_ = Kind::Float;
    r.data_.d = v;
    return r;
}

Value Value::float64(double v)
{
    Value r;
    r.kind_ = Kind::Float;
    r.aux_ = 1;
    r.data_.d = v;
    return r;
}

Value Value::bitString(std::size_t bitCount)
{
    Value r;
    r.kind_ = Kind::BitString;
    r.size_ = static_cast<std::uint32_t>(bitCount);
    if (!r.bitsInline())
        r.data_.str = new std::string((bitCount + 7) / 8, '\0');
    return r;
}

Value Value::bitString(ByteView bits, std::size_t bitCount)
{
    Value r = bitString(bitCount);
    const std::size_t n = std::min(bits.size(), (bitCount + 7) / 8);
    std::copy_n(bits.begin(), n, r.bitData());
    if (bitCount % 8 && n == (bitCount + 7) / 8)
        r.bitData()[n - 1] &= static_cast<std::uint8_t>(0xff << (8 - bitCount % 8));
    return r;
}

Value Value::octetString(ByteView v)
{
    Value r;
    r.kind_ = Kind::OctetString;
    r.setOctets(v);
    return r;
}

Value Value::visibleString(std::string_view v)
{
    Value r;
    r.kind_ = Kind::VisibleString;
    r.setString(v);
    return r;
}

Value Value::mmsString(std::string_view v)
{
    Value r;
    r.kind_ = Kind::MmsString;
    r.setString(v);
    return r;
}

Value Value::generalizedTime(std::string_view v)
{
    Value r;
    r.kind_ = Kind::GeneralizedTime;
    r.setString(v);
    return r;
}

Value Value::binaryTime(ByteView octets)
{
    Value r;
    r.kind_ = Kind::BinaryTime;
    r.aux_ = 6;
    if (octets.size() == 4 || octets.size() == 6) {
        r.aux_ = static_cast<std::uint8_t>(octets.size());
        std::copy(octets.begin(), octets.end(), r.data_.octets.begin());
    }
    return r;
}

Value Value::binaryTimeMs(std::uint64_t msSinceEpoch, bool withDate)
{
    Value r;
    r.kind_ = Kind::BinaryTime;
    r.aux_ = withDate ? 6 : 4;
    r.setBinaryTimeMs(msSinceEpoch);
    return r;
}

Value Value::utcTime(ByteView octets)
{
    Value r;
    r.kind_ = Kind::UtcTime;
    if (octets.size() == 8)
        std::copy(octets.begin(), octets.end(), r.data_.octets.begin());
    return r;
}

Value Value::utcTimeMs(std::uint64_t msSinceEpoch, std::uint8_t quality)
{
    Value r;
    r.kind_ = Kind::UtcTime;
    r.setUtcMs(msSinceEpoch);
    r.setUtcQuality(quality);
    return r;
}

Value Value::structure(std::vector<Value> members)
{
    Value r;
    r.kind_ = Kind::Structure;
    if (!members.empty())
        r.data_.members = new std::vector<Value>(std::move(members));
    return r;
}

Value Value::structure(std::size_t memberCount) { return structure(std::vector<Value>(memberCount)); }

Value Value::array(std::vector<Value> elements)
{
    Value r = structure(std::move(elements));
    r.kind_ = Kind::Array;
    return r;
}

Value Value::error(DataAccessError e)
{
    Value r;
    r.kind_ = Kind::DataAccessError;
    r.data_.u = static_cast<std::uint8_t>(e);
    return r;
}

// ---- Scalars ----------------------------------------------------------------------

bool Value::toBool() const { return kind_ == Kind::Boolean && data_.u != 0; }

void Value::setBool(bool v)
{
    if (kind_ == Kind::Boolean)
        data_.u = v ? 1 : 0;
}

std::int64_t Value::toInt64() const
{
    switch (kind_) {
    case Kind::Integer: return data_.i;
    case Kind::Unsigned: return static_cast<std::int64_t>(data_.u);
    case Kind::Boolean: return data_.u != 0;
    case Kind::Float: return saturate<std::int64_t>(data_.d);
    default: return 0;
    }
}

std::uint64_t Value::toUint64() const
{
    switch (kind_) {
    case Kind::Integer: return static_cast<std::uint64_t>(data_.i);
    case Kind::Unsigned: return data_.u;
    case Kind::Boolean: return data_.u != 0;
    case Kind::Float: return saturate<std::uint64_t>(data_.d);
    default: return 0;
    }
}

void Value::setInt64(std::int64_t v)
{
    if (kind_ == Kind::Integer)
        data_.i = v;
    else if (kind_ == Kind::Unsigned)
        data_.u = static_cast<std::uint64_t>(v);
}

void Value::setUint64(std::uint64_t v)
{
    if (kind_ == Kind::Unsigned)
        data_.u = v;
    else if (kind_ == Kind::Integer)
        data_.i = static_cast<std::int64_t>(v);
}

float Value::toFloat() const { return static_cast<float>(toDouble()); }

double Value::toDouble() const
{
    switch (kind_) {
    case Kind::Float: return data_.d;
    case Kind::Integer: return static_cast<double>(data_.i);
    case Kind::Unsigned: return static_cast<double>(data_.u);
    default: return 0;
    }
}

void Value::setFloat(float v) { setDouble(v); }

void Value::setDouble(double v)
{
    if (kind_ == Kind::Float)
        data_.d = aux_ ? v : static_cast<double>(static_cast<float>(v));
}

// ---- Bit strings --------------------------------------------------------------------

std::uint8_t* Value::bitData()
{
    return bitsInline() ? data_.octets.data() : reinterpret_cast<std::uint8_t*>(data_.str->data());
}

const std::uint8_t* Value::bitData() const
{
    return bitsInline() ? data_.octets.data() : reinterpret_cast<const std::uint8_t*>(data_.str->data());
}

std::size_t Value::bitStringSize() const { return kind_ == Kind::BitString ? size_ : 0; }

bool Value::getBit(std::size_t bit) const
{
    if (bit >= bitStringSize())
        return false;
    return (bitData()[bit / 8] >> (7 - bit % 8)) & 1u;
}

void Value::setBit(std::size_t bit, bool v)
{
    if (bit >= bitStringSize())
        return;
    const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    std::uint8_t& octet = bitData()[bit / 8];
    octet = v ? (octet | mask) : (octet & ~mask);
}

ByteView Value::bitStringOctets() const
{
    if (kind_ != Kind::BitString)
        return {};
    return {bitData(), (size_ + 7) / 8};
}

std::size_t Value::countSetBits() const
{
    std::size_t n = 0;
    for (std::uint8_t b : bitStringOctets())
        n += static_cast<std::size_t>(std::popcount(b));
    return n;  // unused trailing bits are always zero
}

std::uint64_t Value::bitsAsInteger() const
{
    std::uint64_t v = 0;
    const std::size_t n = std::min<std::size_t>(bitStringSize(), 64);
    for (std::size_t i = 0; i < n; ++i)
        v |= std::uint64_t{getBit(i)} << i;
    return v;
}

void Value::setBitsFromInteger(std::uint64_t v)
{
    const std::size_t n = std::min<std::size_t>(bitStringSize(), 64);
    for (std::size_t i = 0; i < n; ++i)
        setBit(i, (v >> i) & 1u);
}

std::uint64_t Value::bitsAsIntegerBigEndian() const
{
    std::uint64_t v = 0;
    const std::size_t n = std::min<std::size_t>(bitStringSize(), 64);
    for (std::size_t i = 0; i < n; ++i)
        v = (v << 1) | std::uint64_t{getBit(i)};
    return v;
}

void Value::setBitsFromIntegerBigEndian(std::uint64_t v)
{
    const std::size_t n = std::min<std::size_t>(bitStringSize(), 64);
    for (std::size_t i = 0; i < n; ++i)
        setBit(i, (v >> (n - 1 - i)) & 1u);
}

// ---- Strings ---------------------------------------------------------------------------

ByteView Value::octets() const
{
    if (!ownsString(kind_))
        return {};
    return view(heapString());
}

void Value::setOctets(ByteView v)
{
    if (ownsString(kind_))
        heapString().assign(v.begin(), v.end());
}

std::string_view Value::string() const
{
    if (!ownsString(kind_))
        return {};
    return heapString();
}

void Value::setString(std::string_view v)
{
    if (ownsString(kind_))
        heapString().assign(v);
}

// ---- Times ------------------------------------------------------------------------------

std::uint32_t Value::utcSeconds() const
{
    return kind_ == Kind::UtcTime ? static_cast<std::uint32_t>(readBigEndian(data_.octets.data(), 4)) : 0;
}

std::uint32_t Value::utcFraction() const
{
    return kind_ == Kind::UtcTime ? static_cast<std::uint32_t>(readBigEndian(data_.octets.data() + 4, 3)) : 0;
}

std::uint8_t Value::utcQuality() const { return kind_ == Kind::UtcTime ? data_.octets[7] : 0; }

std::uint64_t Value::utcMs() const
{
    const std::uint64_t fractionMs = (std::uint64_t{utcFraction()} * 1000 + (1u << 23)) >> 24;
    return std::uint64_t{utcSeconds()} * 1000 + fractionMs;
}

void Value::setUtcMs(std::uint64_t msSinceEpoch)
{
    if (kind_ != Kind::UtcTime)
        return;
    writeBigEndian(data_.octets.data(), 4, msSinceEpoch / 1000);
    writeBigEndian(data_.octets.data() + 4, 3, ((msSinceEpoch % 1000) << 24) / 1000);
}

void Value::setUtcQuality(std::uint8_t q)
{
    if (kind_ == Kind::UtcTime)
        data_.octets[7] = q;
}

ByteView Value::timeOctets() const
{
    if (kind_ == Kind::UtcTime)
        return {data_.octets.data(), 8};
    if (kind_ == Kind::BinaryTime)
        return {data_.octets.data(), aux_};
    return {};
}

std::uint64_t Value::binaryTimeMs() const
{
    if (kind_ != Kind::BinaryTime)
        return 0;
    const std::uint64_t msOfDay = readBigEndian(data_.octets.data(), 4);
    const std::uint64_t days = aux_ == 6 ? readBigEndian(data_.octets.data() + 4, 2) + kDaysFrom1970To1984 : 0;
    return days * kMsPerDay + msOfDay;
}

void Value::setBinaryTimeMs(std::uint64_t msSinceEpoch)
{
    if (kind_ != Kind::BinaryTime)
        return;
    writeBigEndian(data_.octets.data(), 4, msSinceEpoch % kMsPerDay);
    if (aux_ == 6) {
        const std::uint64_t days = msSinceEpoch / kMsPerDay;
        writeBigEndian(data_.octets.data() + 4, 2, days > kDaysFrom1970To1984 ? days - kDaysFrom1970To1984 : 0);
    }
}

// ---- Structures and arrays --------------------------------------------------------------

std::size_t Value::size() const { return isConstructed() ? heapMembers().size() : 0; }

Value& Value::operator[](std::size_t i) { return heapMembers()[i]; }

const Value& Value::operator[](std::size_t i) const { return heapMembers()[i]; }

std::span<Value> Value::members()
{
    if (!isConstructed() || !data_.members)
        return {};
    return *data_.members;
}

std::span<const Value> Value::members() const
{
    if (!isConstructed())
        return {};
    return heapMembers();
}

void Value::append(Value v)
{
    if (isConstructed())
        heapMembers().push_back(std::move(v));
}

DataAccessError Value::dataAccessError() const
{
    return isError() ? static_cast<DataAccessError>(data_.u) : DataAccessError::ObjectValueInvalid;
}

// ---- Comparison and text ------------------------------------------------------------------

bool Value::operator==(const Value& other) const
{
    if (kind_ != other.kind_)
        return false;
    switch (kind_) {
    case Kind::Boolean:
    case Kind::Integer:
    case Kind::Unsigned:
    case Kind::DataAccessError: return data_.u == other.data_.u;
    case Kind::Float: return aux_ == other.aux_ && data_.d == other.data_.d;
    case Kind::BitString:
        return size_ == other.size_ && std::ranges::equal(bitStringOctets(), other.bitStringOctets());
    case Kind::OctetString:
    case Kind::VisibleString:
    case Kind::MmsString:
    case Kind::GeneralizedTime: return heapString() == other.heapString();
    case Kind::BinaryTime:
    case Kind::UtcTime: return std::ranges::equal(timeOctets(), other.timeOctets());
    case Kind::Structure:
    case Kind::Array: return heapMembers() == other.heapMembers();
    }
    return false;
}

std::string Value::toString() const
{
    std::string s;
    switch (kind_) {
    case Kind::Boolean: return toBool() ? "true" : "false";
    case Kind::Integer: appendNumber(s, data_.i); return s;
    case Kind::Unsigned: appendNumber(s, data_.u); return s;
    case Kind::Float:
        if (aux_)
            appendNumber(s, data_.d);
        else
            appendNumber(s, static_cast<float>(data_.d));
        return s;
    case Kind::BitString:
        s = "<";
        for (std::size_t i = 0; i < size_; ++i)
            s += getBit(i) ? '1' : '0';
        return s + ">";
    case Kind::OctetString: {
        static const char hex[] = "0123456789abcdef";
        s = "#";
        for (std::uint8_t b : octets()) {
            s += hex[b >> 4];
            s += hex[b & 15];
        }
        return s;
    }
    case Kind::VisibleString:
    case Kind::MmsString: return "\"" + std::string(string()) + "\"";
    case Kind::GeneralizedTime: return std::string(string());
    case Kind::BinaryTime: return formatTime(binaryTimeMs());
    case Kind::UtcTime: return formatTime(utcMs());
    case Kind::Structure:
    case Kind::Array: {
        s = kind_ == Kind::Structure ? "{" : "[";
        bool first = true;
        for (const Value& m : members()) {
            if (!first)
                s += ',';
            first = false;
            s += m.toString();
        }
        return s + (kind_ == Kind::Structure ? "}" : "]");
    }
    case Kind::DataAccessError: return std::string("error(") + mms::toString(dataAccessError()) + ")";
    }
    return s;
}

// ---- Encoding ------------------------------------------------------------------------------

void Value::encode(ber::Writer& w) const
{
    using namespace data_tag;
    switch (kind_) {
    case Kind::Boolean: wire::putBoolean(w, ber::context(Boolean), toBool()); return;
    case Kind::BitString: w.bitString(ber::context(BitString), bitStringOctets(), size_); return;
    case Kind::Integer: w.integer(ber::context(Integer), data_.i); return;
    case Kind::Unsigned: w.unsignedInteger(ber::context(Unsigned), data_.u); return;
    case Kind::Float: {
        std::uint8_t content[9];
        if (aux_) {
            content[0] = 11;
            writeBigEndian(content + 1, 8, std::bit_cast<std::uint64_t>(data_.d));
        } else {
            content[0] = 8;
            writeBigEndian(content + 1, 4, std::bit_cast<std::uint32_t>(static_cast<float>(data_.d)));
        }
        w.primitive(ber::context(FloatingPoint), ByteView(content, aux_ ? 9 : 5));
        return;
    }
    case Kind::OctetString: w.octets(ber::context(OctetString), octets()); return;
    case Kind::VisibleString: w.string(ber::context(VisibleString), string()); return;
    case Kind::MmsString: w.string(ber::context(MmsString), string()); return;
    case Kind::GeneralizedTime: w.string(ber::context(GeneralizedTime), string()); return;
    case Kind::BinaryTime: w.octets(ber::context(BinaryTime), timeOctets()); return;
    case Kind::UtcTime: w.octets(ber::context(UtcTime), timeOctets()); return;
    case Kind::Structure:
    case Kind::Array: {
        const auto m = w.begin(ber::context(kind_ == Kind::Structure ? Structure : Array, true));
        for (const Value& v : members())
            v.encode(w);
        w.end(m);
        return;
    }
    case Kind::DataAccessError: w.integer(ber::context(AccessFailure), data_.i); return;
    }
}

ber::Writer::Marker beginStructure(ber::Writer& w)
{
    return w.begin(ber::context(data_tag::Structure, true));
}

Bytes Value::encode() const
{
    ber::Writer w;
    encode(w);
    return w.take();
}

// ---- Decoding ------------------------------------------------------------------------------

namespace {

Status decodeFloat(ByteView c, Value& out)
{
    if (c.size() == 5 && c[0] == 8) {
        out = Value::float32(std::bit_cast<float>(static_cast<std::uint32_t>(readBigEndian(c.data() + 1, 4))));
        return Status::Ok;
    }
    if (c.size() == 9 && c[0] == 11) {
        out = Value::float64(std::bit_cast<double>(readBigEndian(c.data() + 1, 8)));
        return Status::Ok;
    }
    return Status::BadValue;
}

Status decodeMembers(const Element& e, bool isStructure, Value& out, int depth)
{
    if (depth <= 0)
        return Status::TooDeep;
    ber::Reader r(e.content);
    std::vector<Value> members;
    while (!r.atEnd()) {
        Element child;
        if (Status s = r.next(child); s != Status::Ok)
            return s;
        Value v;
        if (Status s = Value::decodeData(child, v, depth - 1); s != Status::Ok)
            return s;
        members.push_back(std::move(v));
    }
    out = isStructure ? Value::structure(std::move(members)) : Value::array(std::move(members));
    return Status::Ok;
}

Status decodePrimitive(const Element& e, Value& out)
{
    using namespace data_tag;
    const ByteView c = e.content;
    switch (e.tag.number) {
    case Boolean: {
        bool b = false;
        if (Status s = ber::decodeBoolean(c, b); s != Status::Ok)
            return s;
        out = Value::boolean(b);
        return Status::Ok;
    }
    case BitString: {
        Bytes bits;
        std::size_t count = 0;
        if (Status s = ber::decodeBitString(c, bits, count); s != Status::Ok)
            return s;
        out = Value::bitString(bits, count);
        return Status::Ok;
    }
    case Integer: {
        std::int64_t v = 0;
        if (Status s = ber::decodeInteger(c, v); s != Status::Ok)
            return s;
        out = Value::integer(v);
        return Status::Ok;
    }
    case Unsigned: {
        std::uint64_t v = 0;
        if (Status s = ber::decodeUnsigned(c, v); s != Status::Ok)
            return s;
        out = Value::unsignedInteger(v);
        return Status::Ok;
    }
    case FloatingPoint: return decodeFloat(c, out);
    case OctetString: out = Value::octetString(c); return Status::Ok;
    case VisibleString: out = Value::visibleString(wire::asString(c)); return Status::Ok;
    case MmsString: out = Value::mmsString(wire::asString(c)); return Status::Ok;
    case GeneralizedTime: out = Value::generalizedTime(wire::asString(c)); return Status::Ok;
    case BinaryTime:
        if (c.size() != 4 && c.size() != 6)
            return Status::BadValue;
        out = Value::binaryTime(c);
        return Status::Ok;
    case UtcTime:
        if (c.size() != 8)
            return Status::BadValue;
        out = Value::utcTime(c);
        return Status::Ok;
    default: return Status::BadTag;
    }
}

}  // namespace

Status Value::decodeData(const ber::Element& e, Value& out, int depth)
{
    using namespace data_tag;
    if (e.tag.cls != ber::TagClass::Context)
        return Status::BadTag;
    const bool constructedKind = e.tag.number == Structure || e.tag.number == Array;
    if (e.tag.constructed != constructedKind)
        return Status::BadTag;
    if (constructedKind)
        return decodeMembers(e, e.tag.number == Structure, out, depth);
    return decodePrimitive(e, out);
}

Status Value::decodeData(ByteView bytes, Value& out, int depth)
{
    Element e;
    if (Status s = ber::decodeElement(bytes, e); s != Status::Ok)
        return s;
    if (e.whole.size() != bytes.size())
        return Status::BadLength;
    return decodeData(e, out, depth);
}

Status Value::decodeAccessResult(const ber::Element& e, Value& out, int depth)
{
    if (!e.tag.is(ber::TagClass::Context, data_tag::AccessFailure))
        return decodeData(e, out, depth);
    std::int64_t code = 0;
    if (Status s = ber::expectInteger(e, code); s != Status::Ok)
        return s;
    if (code < 0 || code > 255)
        return Status::BadValue;
    out = error(static_cast<DataAccessError>(code));
    return Status::Ok;
}

}  // namespace iec61850::mms
