// Values of every MMS kind the stack handles, boundaries included: widths'
// limits, empty and long strings around the BER length boundaries, NaN and
// infinities, times up to 2106, and structures and arrays nesting them.
#pragma once

#include "iec61850/mms/value.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace value_generator {

using iec61850::Bytes;
using iec61850::mms::Value;

// Content sizes around every change of the BER length form.
inline constexpr std::size_t kLengthBoundaries[] = {0, 1, 125, 126, 127, 128, 254, 255, 256, 65533, 65535, 65536};

// Milliseconds since 1970: 1970, 1984 (BinaryTime's epoch), 2027, both sides
// of 2^31 seconds (2038), 2040, and the last millisecond of 2^32 seconds (2106).
inline constexpr std::uint64_t kTimes[] = {0, 999, 441763200000, 441849601234, 1798761600000, 2147483647999,
                                           2147483648000, 2222164800789, 4294967295999};

inline std::vector<Value> scalars()
{
    std::vector<Value> v{Value::boolean(false), Value::boolean(true)};
    for (int width : {8, 16, 32, 64}) {
        const std::int64_t max = static_cast<std::int64_t>((std::uint64_t{1} << (width - 1)) - 1);
        const std::int64_t min = -max - 1;
        for (std::int64_t i : {min, max, std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}})
            v.push_back(Value::integer(i));
        if (width < 64)
            v.insert(v.end(), {Value::integer(min - 1), Value::integer(max + 1)});
    }
    for (int width : {8, 16, 24, 32, 64}) {
        const std::uint64_t max = width == 64 ? UINT64_MAX : (std::uint64_t{1} << width) - 1;
        v.push_back(Value::unsignedInteger(max));
        if (width < 64)
            v.push_back(Value::unsignedInteger(max + 1));
    }
    v.insert(v.end(), {Value::unsignedInteger(0), Value::unsignedInteger(1)});
    using F = std::numeric_limits<float>;
    using D = std::numeric_limits<double>;
    for (float f : {0.0f, -0.0f, 1.0f, -1.5f, 12.5f, F::min(), F::denorm_min(), F::max(), -F::max(), F::infinity(),
                    -F::infinity(), F::quiet_NaN()})
        v.push_back(Value::float32(f));
    for (double d : {0.0, -0.0, 0.1, -1e300, D::min(), D::denorm_min(), D::max(), D::infinity(), -D::infinity(),
                     D::quiet_NaN()})
        v.push_back(Value::float64(d));
    for (std::size_t bits : {0u, 1u, 2u, 7u, 8u, 9u, 13u, 64u, 65u, 200u}) {
        Value b = Value::bitString(bits);
        for (std::size_t i = 0; i < bits; i += 3)
            b.setBit(i, true);
        if (bits)
            b.setBit(bits - 1, true);
        v.push_back(b);
    }
    for (std::size_t n : kLengthBoundaries) {
        Bytes octets(n);
        for (std::size_t i = 0; i < n; ++i)
            octets[i] = static_cast<std::uint8_t>(i * 7);
        v.push_back(Value::octetString(octets));
        if (n <= 256)
            v.insert(v.end(), {Value::visibleString(std::string(n, 'v')), Value::mmsString(std::string(n, 'm'))});
    }
    v.insert(v.end(), {Value::mmsString("Grüße €"), Value::visibleString("a$b\"c"),
                       Value::generalizedTime("20270101000000.000Z")});
    for (std::uint64_t ms : kTimes) {
        for (std::uint8_t quality : {0x00, 0x0a, 0x80, 0xff})
            v.push_back(Value::utcTimeMs(ms, quality));
        v.insert(v.end(), {Value::binaryTimeMs(ms), Value::binaryTimeMs(ms, false)});
    }
    v.push_back(Value::binaryTimeMs(86399999, false));  // the last millisecond of a day
    return v;
}

// Every scalar alone, each in a structure followed by a sibling (so that a
// length widened in place must move what follows), arrays of each kind, and
// nesting down to `maxDepth`.
inline std::vector<Value> everyValue(int maxDepth = iec61850::mms::kMaxDataDepth)
{
    const std::vector<Value> s = scalars();
    std::vector<Value> all = s;
    for (const Value& x : s)
        all.push_back(Value::structure({x, Value::integer(65000)}));
    all.insert(all.end(), {Value::structure({}), Value::array({}), Value::structure(s), Value::array({s[0], s[1]}),
                           Value::array(std::vector<Value>(300, Value::float32(1)))});
    Value deep = Value::array({Value::integer(-1), Value::visibleString(std::string(200, 'd'))});
    for (int depth = 1; depth < maxDepth; ++depth)
        all.push_back(deep = depth % 2 ? Value::structure({deep, Value::boolean(true)}) : Value::array({deep}));
    return all;
}

}  // namespace value_generator
