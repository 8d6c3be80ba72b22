// C-style access to MMS values for application code. Every function takes
// null where a value is expected and then gives a neutral result (0, false,
// nullptr) or does nothing. Values made by MmsValue_new* / MmsValue_clone are
// owned by the caller and freed with MmsValue_delete.
#pragma once

#include "iec61850/mms/value.hpp"

#include <cstdint>

using MmsValue = iec61850::mms::Value;

enum MmsType {
    MMS_ARRAY = 0,
    MMS_STRUCTURE = 1,
    MMS_BOOLEAN = 2,
    MMS_BIT_STRING = 3,
    MMS_INTEGER = 4,
    MMS_UNSIGNED = 5,
    MMS_FLOAT = 6,
    MMS_OCTET_STRING = 7,
    MMS_VISIBLE_STRING = 8,
    MMS_GENERALIZED_TIME = 9,
    MMS_BINARY_TIME = 10,
    MMS_BCD = 11,
    MMS_OBJ_ID = 12,
    MMS_STRING = 13,
    MMS_UTC_TIME = 14,
    MMS_DATA_ACCESS_ERROR = 15,
};

// Null gives MMS_DATA_ACCESS_ERROR.
MmsType MmsValue_getType(const MmsValue* self);
const char* MmsValue_getTypeString(const MmsValue* self);

// Structures and arrays. setElement takes ownership of `element`: it is moved
// into the container and deleted; reach it again through getElement. On a
// value the server holds use MmsValue_update or the IedServer updates instead:
// they change members in place, which the model's components point into.
int MmsValue_getArraySize(const MmsValue* self);
MmsValue* MmsValue_getElement(MmsValue* self, int index);
const MmsValue* MmsValue_getElement(const MmsValue* self, int index);
void MmsValue_setElement(MmsValue* self, int index, MmsValue* element);

bool MmsValue_getBoolean(const MmsValue* self);
void MmsValue_setBoolean(MmsValue* self, bool value);

// Integer and unsigned values; conversions read either kind, setters keep the kind.
std::int32_t MmsValue_toInt32(const MmsValue* self);
std::int64_t MmsValue_toInt64(const MmsValue* self);
std::uint32_t MmsValue_toUint32(const MmsValue* self);
void MmsValue_setInt32(MmsValue* self, std::int32_t value);
void MmsValue_setInt64(MmsValue* self, std::int64_t value);
void MmsValue_setUint32(MmsValue* self, std::uint32_t value);

float MmsValue_toFloat(const MmsValue* self);
double MmsValue_toDouble(const MmsValue* self);
void MmsValue_setFloat(MmsValue* self, float value);
void MmsValue_setDouble(MmsValue* self, double value);

// Visible and MMS strings: the text, valid until the value changes; nullptr
// for other types.
const char* MmsValue_toString(const MmsValue* self);
void MmsValue_setVisibleString(MmsValue* self, const char* text);

int MmsValue_getOctetStringSize(const MmsValue* self);
const std::uint8_t* MmsValue_getOctetStringBuffer(const MmsValue* self);
void MmsValue_setOctetString(MmsValue* self, const std::uint8_t* buffer, int size);

// UTC time: seconds / milliseconds since 1970.
std::uint32_t MmsValue_toUnixTimestamp(const MmsValue* self);
std::uint64_t MmsValue_getUtcTimeInMs(const MmsValue* self);
MmsValue* MmsValue_setUtcTime(MmsValue* self, std::uint32_t secondsSinceEpoch);
MmsValue* MmsValue_setUtcTimeMs(MmsValue* self, std::uint64_t msSinceEpoch);
std::uint8_t MmsValue_getUtcTimeQuality(const MmsValue* self);
void MmsValue_setUtcTimeQuality(MmsValue* self, std::uint8_t quality);

// Bit strings: bit 0 is the first bit on the wire (most significant bit of the
// first octet). AsInteger puts bit 0 in the least significant position.
int MmsValue_getBitStringSize(const MmsValue* self);
bool MmsValue_getBitStringBit(const MmsValue* self, int bitPos);
void MmsValue_setBitStringBit(MmsValue* self, int bitPos, bool value);
std::uint32_t MmsValue_getBitStringAsInteger(const MmsValue* self);
void MmsValue_setBitStringFromInteger(MmsValue* self, std::uint32_t intValue);
std::uint32_t MmsValue_getBitStringAsIntegerBigEndian(const MmsValue* self);
void MmsValue_setBitStringFromIntegerBigEndian(MmsValue* self, std::uint32_t intValue);
void MmsValue_deleteAllBitStringBits(MmsValue* self);

// Data access errors carried as values (e.g. a failed read).
MmsValue* MmsValue_newDataAccessError(int errorCode);
int MmsValue_getDataAccessError(const MmsValue* self);  // -1 if not an error

MmsValue* MmsValue_newBoolean(bool value);
MmsValue* MmsValue_newIntegerFromInt32(std::int32_t value);
MmsValue* MmsValue_newIntegerFromInt64(std::int64_t value);
MmsValue* MmsValue_newUnsignedFromUint32(std::uint32_t value);
MmsValue* MmsValue_newFloat(float value);
MmsValue* MmsValue_newDouble(double value);
MmsValue* MmsValue_newVisibleString(const char* text);
MmsValue* MmsValue_newOctetString(const std::uint8_t* buffer, int size);
MmsValue* MmsValue_newBitString(int bitCount);
MmsValue* MmsValue_newUtcTimeByMsTime(std::uint64_t msSinceEpoch);
MmsValue* MmsValue_createEmptyStructure(int memberCount);
MmsValue* MmsValue_createEmptyArray(int elementCount);

MmsValue* MmsValue_clone(const MmsValue* self);
void MmsValue_delete(MmsValue* self);

// Same type and content; two nulls are not equal.
bool MmsValue_equals(const MmsValue* self, const MmsValue* other);
// Same type, ignoring content (and the size of bit and octet strings).
bool MmsValue_equalTypes(const MmsValue* self, const MmsValue* other);
// Copies `source` into `self` if both have the same type and shape (floats
// keep the width of `self`); false, with `self` unchanged, otherwise.
bool MmsValue_update(MmsValue* self, const MmsValue* source);

// Readable text, cut to fit and always terminated; strings appear without
// quotes at the top level. Returns `buffer`.
char* MmsValue_printToBuffer(const MmsValue* self, char* buffer, int bufferSize);
