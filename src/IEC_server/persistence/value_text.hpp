// Type tags and value texts of the value file, and the attribute an entry
// stands for.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace persistence {

// The tag stored for values of an MMS type; nullptr for types not stored.
const char* unitOf(MmsType type);
std::optional<MmsType> typeOfUnit(std::string_view unit);

// The text of a value of a stored type.
std::string valueText(const MmsValue* value);

// The attribute whose value an entry carries: a constructed attribute's
// first component, any other attribute itself.
DataAttribute* entryHolder(IedServer server, DataAttribute* attribute);

// Parses text as a value of the holder's type and writes it with the
// server's update operation. False, with nothing written, when the text does
// not parse or does not fit the attribute.
bool applyValueText(IedServer server, DataAttribute* holder, MmsType type, std::string_view text);

}  // namespace persistence
