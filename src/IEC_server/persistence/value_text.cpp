#include "value_text.hpp"

#include <tinyxml2.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <limits>

namespace persistence {

namespace {

struct TypeTag {
    MmsType type;
    std::string_view unit;
};

constexpr std::array<TypeTag, 7> kTags{{
    {MMS_BOOLEAN, "MMS_BOOLEAN"},
    {MMS_BIT_STRING, "MMS_BITSTRING"},
    {MMS_INTEGER, "MMS_INTEGER"},
    {MMS_UNSIGNED, "MMS_UNSIGNED"},
    {MMS_FLOAT, "MMS_FLOAT"},
    {MMS_VISIBLE_STRING, "MMS_VISIBLE_STRING"},
    {MMS_UTC_TIME, "MMS_UTC_TIME"},
}};

template <class Number>
std::optional<Number> parseNumber(std::string_view text)
{
    Number number{};
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return number;
}

std::optional<bool> parseBoolean(std::string_view text)
{
    if (text == "true" || text == "1")
        return true;
    if (text == "false" || text == "0")
        return false;
    return std::nullopt;
}

std::int64_t minimumOf(DataAttributeType type)
{
    switch (type) {
    case IEC61850_INT8: return std::numeric_limits<std::int8_t>::min();
    case IEC61850_INT16: return std::numeric_limits<std::int16_t>::min();
    default: return std::numeric_limits<std::int32_t>::min();
    }
}

std::int64_t maximumOf(DataAttributeType type)
{
    switch (type) {
    case IEC61850_INT8: return std::numeric_limits<std::int8_t>::max();
    case IEC61850_INT16: return std::numeric_limits<std::int16_t>::max();
    case IEC61850_INT8U: return std::numeric_limits<std::uint8_t>::max();
    case IEC61850_INT16U: return std::numeric_limits<std::uint16_t>::max();
    case IEC61850_INT24U: return (std::int64_t{1} << 24) - 1;
    case IEC61850_INT32U: return std::numeric_limits<std::uint32_t>::max();
    default: return std::numeric_limits<std::int32_t>::max();
    }
}

std::size_t maximumLengthOf(DataAttributeType type)
{
    switch (type) {
    case IEC61850_VISIBLE_STRING_32: return 32;
    case IEC61850_VISIBLE_STRING_64: return 64;
    case IEC61850_VISIBLE_STRING_65: return 65;
    case IEC61850_VISIBLE_STRING_129: return 129;
    default: return 255;
    }
}

bool inRange(std::int64_t number, DataAttributeType type)
{
    return number >= minimumOf(type) && number <= maximumOf(type);
}

bool fitsBitString(std::uint32_t bits, const MmsValue* value)
{
    const int size = MmsValue_getBitStringSize(value);
    return size >= 32 || bits < (std::uint32_t{1} << size);
}

bool applyBoolean(IedServer server, DataAttribute* holder, std::string_view text)
{
    auto value = parseBoolean(text);
    if (value)
        IedServer_updateBooleanAttributeValue(server, holder, *value);
    return value.has_value();
}

bool applyBitString(IedServer server, DataAttribute* holder, std::string_view text)
{
    auto bits = parseNumber<std::uint32_t>(text);
    if (!bits || !fitsBitString(*bits, IedServer_getAttributeValue(server, holder)))
        return false;
    IedServer_updateBitStringAttributeValue(server, holder, *bits);
    return true;
}

bool applyInteger(IedServer server, DataAttribute* holder, std::string_view text)
{
    auto number = parseNumber<std::int32_t>(text);
    if (!number || !inRange(*number, holder->type))
        return false;
    IedServer_updateInt32AttributeValue(server, holder, *number);
    return true;
}

bool applyUnsigned(IedServer server, DataAttribute* holder, std::string_view text)
{
    auto number = parseNumber<std::uint32_t>(text);
    if (!number || !inRange(*number, holder->type))
        return false;
    IedServer_updateUnsignedAttributeValue(server, holder, *number);
    return true;
}

bool applyFloat(IedServer server, DataAttribute* holder, std::string_view text)
{
    auto number = parseNumber<float>(text);
    if (number)
        IedServer_updateFloatAttributeValue(server, holder, *number);
    return number.has_value();
}

bool applyVisibleString(IedServer server, DataAttribute* holder, std::string_view text)
{
    if (text.size() > maximumLengthOf(holder->type))
        return false;
    IedServer_updateVisibleStringAttributeValue(server, holder, std::string(text).c_str());
    return true;
}

bool applyUtcTime(IedServer server, DataAttribute* holder, std::string_view text)
{
    auto seconds = parseNumber<std::uint32_t>(text);
    if (seconds)
        IedServer_updateUTCTimeAttributeValue(server, holder, std::uint64_t{*seconds} * 1000);
    return seconds.has_value();
}

}  // namespace

const char* unitOf(MmsType type)
{
    for (const TypeTag& tag : kTags)
        if (tag.type == type)
            return tag.unit.data();
    return nullptr;
}

std::optional<MmsType> typeOfUnit(std::string_view unit)
{
    for (const TypeTag& tag : kTags)
        if (tag.unit == unit)
            return tag.type;
    return std::nullopt;
}

std::string valueText(const MmsValue* value)
{
    switch (MmsValue_getType(value)) {
    case MMS_BOOLEAN: return MmsValue_getBoolean(value) ? "true" : "false";
    case MMS_BIT_STRING: return std::to_string(MmsValue_getBitStringAsInteger(value));
    case MMS_INTEGER: return std::to_string(MmsValue_toInt32(value));
    case MMS_UNSIGNED: return std::to_string(MmsValue_toUint32(value));
    case MMS_FLOAT: {
        char text[32];
        tinyxml2::XMLUtil::ToStr(MmsValue_toFloat(value), text, sizeof text);
        return text;
    }
    case MMS_VISIBLE_STRING: return MmsValue_toString(value);
    case MMS_UTC_TIME: return std::to_string(MmsValue_toUnixTimestamp(value));
    default: return {};
    }
}

DataAttribute* entryHolder(IedServer server, DataAttribute* attribute)
{
    const bool constructed = MmsValue_getType(IedServer_getAttributeValue(server, attribute)) == MMS_STRUCTURE;
    ModelNode* first = attribute->firstChild;
    if (constructed && first && first->modelType == DataAttributeModelType)
        return static_cast<DataAttribute*>(first);
    return attribute;
}

bool applyValueText(IedServer server, DataAttribute* holder, MmsType type, std::string_view text)
{
    switch (type) {
    case MMS_BOOLEAN: return applyBoolean(server, holder, text);
    case MMS_BIT_STRING: return applyBitString(server, holder, text);
    case MMS_INTEGER: return applyInteger(server, holder, text);
    case MMS_UNSIGNED: return applyUnsigned(server, holder, text);
    case MMS_FLOAT: return applyFloat(server, holder, text);
    case MMS_VISIBLE_STRING: return applyVisibleString(server, holder, text);
    case MMS_UTC_TIME: return applyUtcTime(server, holder, text);
    default: return false;
    }
}

}  // namespace persistence
