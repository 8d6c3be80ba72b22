// Values and types as text, for command-line tools.
#pragma once

#include "iec61850/mms/type_description.hpp"
#include "iec61850/mms/value.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace iec61850::client {

enum class ValueType : std::uint8_t { Bool, Int, Uint, Float, Double, String, Octets, Bits, UtcTime };

// "bool", "int", "uint", "float", "double", "string", "octets", "bits", "utctime".
std::optional<ValueType> parseValueType(std::string_view name);

// bool: true/false/1/0; octets: hex digits, ':' or ' ' between octets
// allowed; bits: '0'/'1' per bit, bit 0 first; utctime: ISO 8601 or ms
// since 1970.
std::optional<mms::Value> parseValue(ValueType type, std::string_view text);

// "2027-01-01T00:00:00Z", "2027-01-01T00:00:00.250+01:00", "2027-01-01" or
// a plain number of ms since 1970.
std::optional<std::uint64_t> parseUtcTime(std::string_view text);
// "2027-01-01T00:00:00.000Z"
std::string formatUtcTime(std::uint64_t msSinceEpoch);

// One line per component, indented by depth: "name: type".
std::string formatType(const mms::TypeDescription& t);

}  // namespace iec61850::client
