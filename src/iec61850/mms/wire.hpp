// Internal helpers shared by the MMS codecs.
#pragma once

#include "iec61850/ber/ber.hpp"

#include <string_view>

namespace iec61850::mms {

// Context tags of Data (and the AccessResult failure tag).
namespace data_tag {
constexpr std::uint32_t AccessFailure = 0, Array = 1, Structure = 2, Boolean = 3, BitString = 4, Integer = 5,
                        Unsigned = 6, FloatingPoint = 7, OctetString = 9, VisibleString = 10,
                        GeneralizedTime = 11, BinaryTime = 12, MmsString = 16, UtcTime = 17;
}

namespace wire {

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

}  // namespace wire
}  // namespace iec61850::mms
