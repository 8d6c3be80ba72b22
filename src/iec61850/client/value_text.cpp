#include "iec61850/client/value_text.hpp"

#include <charconv>
#include <cstdio>

namespace iec61850::client {
namespace {

template <typename T>
std::optional<T> parseNumber(std::string_view text)
{
    T v{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || ptr != end || text.empty())
        return std::nullopt;
    return v;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<Bytes> parseHex(std::string_view text)
{
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ':' || c == ' ') {
            if (high >= 0)
                return std::nullopt;
            continue;
        }
        const int d = hexDigit(c);
        if (d < 0)
            return std::nullopt;
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return out;
}

std::optional<mms::Value> parseBits(std::string_view text)
{
    if (text.empty() || text.size() > 0xffff)
        return std::nullopt;
    mms::Value v = mms::Value::bitString(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '0' && text[i] != '1')
            return std::nullopt;
        v.setBit(i, text[i] == '1');
    }
    return v;
}

// Days from 1970-01-01 to a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

// Reads exactly `width` digits at `pos`.
bool digits(std::string_view s, std::size_t& pos, std::size_t width, unsigned& out)
{
    if (pos + width > s.size())
        return false;
    out = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const char c = s[pos + i];
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + static_cast<unsigned>(c - '0');
    }
    pos += width;
    return true;
}

bool expect(std::string_view s, std::size_t& pos, char c)
{
    if (pos >= s.size() || s[pos] != c)
        return false;
    ++pos;
    return true;
}

unsigned daysInMonth(unsigned y, unsigned m)
{
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

std::optional<std::uint64_t> parseIso8601(std::string_view s)
{
    std::size_t pos = 0;
    unsigned y, mo, d, h = 0, mi = 0, sec = 0, ms = 0;
    if (!digits(s, pos, 4, y) || !expect(s, pos, '-') || !digits(s, pos, 2, mo) || !expect(s, pos, '-') ||
        !digits(s, pos, 2, d))
        return std::nullopt;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo))
        return std::nullopt;
    std::int64_t offsetMinutes = 0;
    if (pos < s.size()) {
        if (s[pos] != 'T' && s[pos] != ' ')
            return std::nullopt;
        ++pos;
        if (!digits(s, pos, 2, h) || !expect(s, pos, ':') || !digits(s, pos, 2, mi) || !expect(s, pos, ':') ||
            !digits(s, pos, 2, sec) || h > 23 || mi > 59 || sec > 59)
            return std::nullopt;
        if (pos < s.size() && s[pos] == '.') {
            ++pos;
            unsigned scale = 100, fractionDigits = 0;
            while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
                ms += static_cast<unsigned>(s[pos] - '0') * scale;
                scale /= 10;
                ++pos;
                ++fractionDigits;
            }
            if (fractionDigits == 0)
                return std::nullopt;
        }
        if (pos < s.size() && s[pos] == 'Z') {
            ++pos;
        } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
            const int sign = s[pos] == '-' ? -1 : 1;
            ++pos;
            unsigned oh, om;
            if (!digits(s, pos, 2, oh) || !expect(s, pos, ':') || !digits(s, pos, 2, om) || oh > 23 || om > 59)
                return std::nullopt;
            offsetMinutes = sign * static_cast<std::int64_t>(oh * 60 + om);
        }
        if (pos != s.size())
            return std::nullopt;
    }
    const std::int64_t seconds = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec - offsetMinutes * 60;
    if (seconds < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(seconds) * 1000 + ms;
}

void appendLine(std::string& out, const mms::TypeDescription& t, int depth);

std::string typeName(const mms::TypeDescription& t)
{
    using K = mms::TypeDescription::Kind;
    auto sized = [&t](const char* name) {
        const std::int32_t n = t.size();
        std::string text(name);
        text += n < 0 ? "[<=" : "[";
        text += std::to_string(n < 0 ? -static_cast<std::int64_t>(n) : n);
        text += ']';
        return text;
    };
    switch (t.kind()) {
    case K::Array: return "array[" + std::to_string(t.elementCount()) + "] of " + typeName(t.elementType());
    case K::Structure: return "structure";
    case K::Boolean: return "boolean";
    case K::BitString: return sized("bit-string");
    case K::Integer: return "int" + std::to_string(t.size());
    case K::Unsigned: return "uint" + std::to_string(t.size());
    case K::FloatingPoint: return t.formatWidth() == 64 ? "float64" : t.formatWidth() == 32 ? "float32" : "float";
    case K::OctetString: return sized("octet-string");
    case K::VisibleString: return sized("visible-string");
    case K::GeneralizedTime: return "generalized-time";
    case K::BinaryTime: return t.withDate() ? "binary-time (with date)" : "binary-time";
    case K::MmsString: return sized("mms-string");
    case K::UtcTime: return "utc-time";
    }
    return "?";
}

void appendLine(std::string& out, const mms::TypeDescription& t, int depth)
{
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
    if (!t.name().empty())
        out += t.name() + ": ";
    out += typeName(t);
    out += '\n';
    const mms::TypeDescription* structure = &t;
    while (structure->kind() == mms::TypeDescription::Kind::Array)
        structure = &structure->elementType();
    if (structure->kind() == mms::TypeDescription::Kind::Structure) {
        for (const mms::TypeDescription& c : structure->components())
            appendLine(out, c, depth + 1);
    }
}

}  // namespace

std::optional<ValueType> parseValueType(std::string_view name)
{
    static constexpr std::pair<std::string_view, ValueType> names[] = {
        {"bool", ValueType::Bool},     {"int", ValueType::Int},       {"uint", ValueType::Uint},
        {"float", ValueType::Float},   {"double", ValueType::Double}, {"string", ValueType::String},
        {"octets", ValueType::Octets}, {"bits", ValueType::Bits},     {"utctime", ValueType::UtcTime},
    };
    for (const auto& [text, type] : names) {
        if (text == name)
            return type;
    }
    return std::nullopt;
}

std::optional<mms::Value> parseValue(ValueType type, std::string_view text)
{
    switch (type) {
    case ValueType::Bool:
        if (text == "true" || text == "1")
            return mms::Value::boolean(true);
        if (text == "false" || text == "0")
            return mms::Value::boolean(false);
        return std::nullopt;
    case ValueType::Int:
        if (auto v = parseNumber<std::int64_t>(text))
            return mms::Value::integer(*v);
        return std::nullopt;
    case ValueType::Uint:
        if (auto v = parseNumber<std::uint64_t>(text))
            return mms::Value::unsignedInteger(*v);
        return std::nullopt;
    case ValueType::Float:
        if (auto v = parseNumber<float>(text))
            return mms::Value::float32(*v);
        return std::nullopt;
    case ValueType::Double:
        if (auto v = parseNumber<double>(text))
            return mms::Value::float64(*v);
        return std::nullopt;
    case ValueType::String:
        return mms::Value::visibleString(text);
    case ValueType::Octets:
        if (auto bytes = parseHex(text))
            return mms::Value::octetString(*bytes);
        return std::nullopt;
    case ValueType::Bits:
        return parseBits(text);
    case ValueType::UtcTime:
        if (auto ms = parseUtcTime(text))
            return mms::Value::utcTimeMs(*ms);
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> parseUtcTime(std::string_view text)
{
    if (auto ms = parseNumber<std::uint64_t>(text))
        return ms;
    return parseIso8601(text);
}

std::string formatUtcTime(std::uint64_t msSinceEpoch)
{
    const std::int64_t days = static_cast<std::int64_t>(msSinceEpoch / 86400000);
    const std::uint64_t msOfDay = msSinceEpoch % 86400000;
    std::int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ", static_cast<long long>(y), m, d,
                  static_cast<unsigned>(msOfDay / 3600000), static_cast<unsigned>(msOfDay / 60000 % 60),
                  static_cast<unsigned>(msOfDay / 1000 % 60), static_cast<unsigned>(msOfDay % 1000));
    return text;
}

std::string formatType(const mms::TypeDescription& t)
{
    std::string out;
    appendLine(out, t, 0);
    return out;
}

}  // namespace iec61850::client
