#include "iec61850/ied/mms_value_api.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using iec61850::ByteView;
using iec61850::mms::DataAccessError;
using Kind = MmsValue::Kind;

bool isKind(const MmsValue* v, Kind k) { return v && v->is(k); }

bool isText(const MmsValue* v) { return isKind(v, Kind::VisibleString) || isKind(v, Kind::MmsString); }

// Same kind all the way down, and the same member count in every structure and array.
bool sameShape(const MmsValue& a, const MmsValue& b)
{
    if (a.kind() != b.kind())
        return false;
    if (!a.isConstructed())
        return true;
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!sameShape(a[i], b[i]))
            return false;
    return true;
}

void copyKeepingWidth(MmsValue& target, const MmsValue& source)
{
    if (target.is(Kind::Float)) {
        target.setDouble(source.toDouble());
    } else if (target.isConstructed()) {
        for (std::size_t i = 0; i < target.size(); ++i)
            copyKeepingWidth(target[i], source[i]);
    } else {
        target = source;
    }
}

MmsValue* newValue(MmsValue&& v) { return new MmsValue(std::move(v)); }

}  // namespace

MmsType MmsValue_getType(const MmsValue* self)
{
    if (!self)
        return MMS_DATA_ACCESS_ERROR;
    switch (self->kind()) {
    case Kind::Boolean: return MMS_BOOLEAN;
    case Kind::BitString: return MMS_BIT_STRING;
    case Kind::Integer: return MMS_INTEGER;
    case Kind::Unsigned: return MMS_UNSIGNED;
    case Kind::Float: return MMS_FLOAT;
    case Kind::OctetString: return MMS_OCTET_STRING;
    case Kind::VisibleString: return MMS_VISIBLE_STRING;
    case Kind::MmsString: return MMS_STRING;
    case Kind::GeneralizedTime: return MMS_GENERALIZED_TIME;
    case Kind::BinaryTime: return MMS_BINARY_TIME;
    case Kind::UtcTime: return MMS_UTC_TIME;
    case Kind::Structure: return MMS_STRUCTURE;
    case Kind::Array: return MMS_ARRAY;
    case Kind::DataAccessError: return MMS_DATA_ACCESS_ERROR;
    }
    return MMS_DATA_ACCESS_ERROR;
}

const char* MmsValue_getTypeString(const MmsValue* self)
{
    switch (MmsValue_getType(self)) {
    case MMS_ARRAY: return "array";
    case MMS_STRUCTURE: return "structure";
    case MMS_BOOLEAN: return "boolean";
    case MMS_BIT_STRING: return "bit-string";
    case MMS_INTEGER: return "integer";
    case MMS_UNSIGNED: return "unsigned";
    case MMS_FLOAT: return "float";
    case MMS_OCTET_STRING: return "octet-string";
    case MMS_VISIBLE_STRING: return "visible-string";
    case MMS_GENERALIZED_TIME: return "generalized-time";
    case MMS_BINARY_TIME: return "binary-time";
    case MMS_BCD: return "bcd";
    case MMS_OBJ_ID: return "obj-id";
    case MMS_STRING: return "mms-string";
    case MMS_UTC_TIME: return "utc-time";
    case MMS_DATA_ACCESS_ERROR: return "access-error";
    }
    return "unknown";
}

// ---- Structures and arrays -----------------------------------------------------

int MmsValue_getArraySize(const MmsValue* self) { return self ? static_cast<int>(self->size()) : 0; }

MmsValue* MmsValue_getElement(MmsValue* self, int index)
{
    if (!self || index < 0 || static_cast<std::size_t>(index) >= self->size())
        return nullptr;
    return &(*self)[static_cast<std::size_t>(index)];
}

const MmsValue* MmsValue_getElement(const MmsValue* self, int index)
{
    return MmsValue_getElement(const_cast<MmsValue*>(self), index);
}

void MmsValue_setElement(MmsValue* self, int index, MmsValue* element)
{
    MmsValue* slot = MmsValue_getElement(self, index);
    if (slot && element && slot != element)
        *slot = std::move(*element);
    if (slot != element)
        delete element;
}

// ---- Scalars -----------------------------------------------------------------------

bool MmsValue_getBoolean(const MmsValue* self) { return self && self->toBool(); }

void MmsValue_setBoolean(MmsValue* self, bool value)
{
    if (self)
        self->setBool(value);
}

std::int32_t MmsValue_toInt32(const MmsValue* self) { return self ? self->toInt32() : 0; }

std::int64_t MmsValue_toInt64(const MmsValue* self) { return self ? self->toInt64() : 0; }

std::uint32_t MmsValue_toUint32(const MmsValue* self) { return self ? self->toUint32() : 0; }

void MmsValue_setInt32(MmsValue* self, std::int32_t value)
{
    if (self)
        self->setInt32(value);
}

void MmsValue_setInt64(MmsValue* self, std::int64_t value)
{
    if (self)
        self->setInt64(value);
}

void MmsValue_setUint32(MmsValue* self, std::uint32_t value)
{
    if (self)
        self->setUint32(value);
}

float MmsValue_toFloat(const MmsValue* self) { return self ? self->toFloat() : 0.0f; }

double MmsValue_toDouble(const MmsValue* self) { return self ? self->toDouble() : 0.0; }

void MmsValue_setFloat(MmsValue* self, float value)
{
    if (self)
        self->setFloat(value);
}

void MmsValue_setDouble(MmsValue* self, double value)
{
    if (self)
        self->setDouble(value);
}

// ---- Strings ----------------------------------------------------------------------------

const char* MmsValue_toString(const MmsValue* self)
{
    // The text lives in a std::string, so it is terminated.
    return isText(self) ? self->string().data() : nullptr;
}

void MmsValue_setVisibleString(MmsValue* self, const char* text)
{
    if (isText(self))
        self->setString(text ? text : "");
}

int MmsValue_getOctetStringSize(const MmsValue* self)
{
    return isKind(self, Kind::OctetString) ? static_cast<int>(self->octets().size()) : 0;
}

const std::uint8_t* MmsValue_getOctetStringBuffer(const MmsValue* self)
{
    return isKind(self, Kind::OctetString) ? self->octets().data() : nullptr;
}

void MmsValue_setOctetString(MmsValue* self, const std::uint8_t* buffer, int size)
{
    if (!isKind(self, Kind::OctetString))
        return;
    if (!buffer || size < 0)
        size = 0;
    self->setOctets(ByteView(buffer, static_cast<std::size_t>(size)));
}

// ---- UTC time ----------------------------------------------------------------------------

std::uint32_t MmsValue_toUnixTimestamp(const MmsValue* self) { return self ? self->utcSeconds() : 0; }

std::uint64_t MmsValue_getUtcTimeInMs(const MmsValue* self) { return isKind(self, Kind::UtcTime) ? self->utcMs() : 0; }

MmsValue* MmsValue_setUtcTime(MmsValue* self, std::uint32_t secondsSinceEpoch)
{
    return MmsValue_setUtcTimeMs(self, std::uint64_t{secondsSinceEpoch} * 1000);
}

MmsValue* MmsValue_setUtcTimeMs(MmsValue* self, std::uint64_t msSinceEpoch)
{
    if (self)
        self->setUtcMs(msSinceEpoch);
    return self;
}

std::uint8_t MmsValue_getUtcTimeQuality(const MmsValue* self) { return self ? self->utcQuality() : 0; }

void MmsValue_setUtcTimeQuality(MmsValue* self, std::uint8_t quality)
{
    if (self)
        self->setUtcQuality(quality);
}

// ---- Bit strings -------------------------------------------------------------------------

int MmsValue_getBitStringSize(const MmsValue* self) { return self ? static_cast<int>(self->bitStringSize()) : 0; }

bool MmsValue_getBitStringBit(const MmsValue* self, int bitPos)
{
    return self && bitPos >= 0 && self->getBit(static_cast<std::size_t>(bitPos));
}

void MmsValue_setBitStringBit(MmsValue* self, int bitPos, bool value)
{
    if (self && bitPos >= 0)
        self->setBit(static_cast<std::size_t>(bitPos), value);
}

std::uint32_t MmsValue_getBitStringAsInteger(const MmsValue* self)
{
    return self ? static_cast<std::uint32_t>(self->bitsAsInteger()) : 0;
}

void MmsValue_setBitStringFromInteger(MmsValue* self, std::uint32_t intValue)
{
    if (self)
        self->setBitsFromInteger(intValue);
}

std::uint32_t MmsValue_getBitStringAsIntegerBigEndian(const MmsValue* self)
{
    if (!self)
        return 0;
    // The first 32 bits when there are more.
    const std::size_t bits = std::min<std::size_t>(self->bitStringSize(), 64);
    const std::size_t dropped = bits > 32 ? bits - 32 : 0;
    return static_cast<std::uint32_t>(self->bitsAsIntegerBigEndian() >> dropped);
}

void MmsValue_setBitStringFromIntegerBigEndian(MmsValue* self, std::uint32_t intValue)
{
    if (self)
        self->setBitsFromIntegerBigEndian(intValue);
}

void MmsValue_deleteAllBitStringBits(MmsValue* self)
{
    if (self)
        for (std::size_t i = 0; i < self->bitStringSize(); ++i)
            self->setBit(i, false);
}

// ---- Errors ------------------------------------------------------------------------------

MmsValue* MmsValue_newDataAccessError(int errorCode)
{
    const bool known = errorCode >= 0 && errorCode <= static_cast<int>(DataAccessError::ObjectValueInvalid);
    return newValue(
        MmsValue::error(known ? static_cast<DataAccessError>(errorCode) : DataAccessError::ObjectValueInvalid));
}

int MmsValue_getDataAccessError(const MmsValue* self)
{
    return self && self->isError() ? static_cast<int>(self->dataAccessError()) : -1;
}

// ---- Life cycle ---------------------------------------------------------------------------

MmsValue* MmsValue_newBoolean(bool value) { return newValue(MmsValue::boolean(value)); }

MmsValue* MmsValue_newIntegerFromInt32(std::int32_t value) { return newValue(MmsValue::integer(value)); }

MmsValue* MmsValue_newIntegerFromInt64(std::int64_t value) { return newValue(MmsValue::integer(value)); }

MmsValue* MmsValue_newUnsignedFromUint32(std::uint32_t value) { return newValue(MmsValue::unsignedInteger(value)); }

MmsValue* MmsValue_newFloat(float value) { return newValue(MmsValue::float32(value)); }

MmsValue* MmsValue_newDouble(double value) { return newValue(MmsValue::float64(value)); }

MmsValue* MmsValue_newVisibleString(const char* text) { return newValue(MmsValue::visibleString(text ? text : "")); }

MmsValue* MmsValue_newOctetString(const std::uint8_t* buffer, int size)
{
    MmsValue* v = newValue(MmsValue::octetString({}));
    MmsValue_setOctetString(v, buffer, size);
    return v;
}

MmsValue* MmsValue_newBitString(int bitCount)
{
    return newValue(MmsValue::bitString(static_cast<std::size_t>(std::max(bitCount, 0))));
}

MmsValue* MmsValue_newUtcTimeByMsTime(std::uint64_t msSinceEpoch)
{
    return newValue(MmsValue::utcTimeMs(msSinceEpoch));
}

MmsValue* MmsValue_createEmptyStructure(int memberCount)
{
    return newValue(MmsValue::structure(static_cast<std::size_t>(std::max(memberCount, 0))));
}

MmsValue* MmsValue_createEmptyArray(int elementCount)
{
    return newValue(MmsValue::array(std::vector<MmsValue>(static_cast<std::size_t>(std::max(elementCount, 0)))));
}

MmsValue* MmsValue_clone(const MmsValue* self) { return self ? new MmsValue(*self) : nullptr; }

void MmsValue_delete(MmsValue* self) { delete self; }

// ---- Comparison, copy, text ------------------------------------------------------------------

bool MmsValue_equals(const MmsValue* self, const MmsValue* other) { return self && other && *self == *other; }

bool MmsValue_equalTypes(const MmsValue* self, const MmsValue* other)
{
    return self && other && sameShape(*self, *other);
}

bool MmsValue_update(MmsValue* self, const MmsValue* source)
{
    if (!MmsValue_equalTypes(self, source))
        return false;
    if (self != source)
        copyKeepingWidth(*self, *source);
    return true;
}

char* MmsValue_printToBuffer(const MmsValue* self, char* buffer, int bufferSize)
{
    if (!buffer || bufferSize <= 0)
        return buffer;
    std::string text;
    if (isText(self))
        text = self->string();
    else if (self)
        text = self->toString();
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(bufferSize - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return buffer;
}
