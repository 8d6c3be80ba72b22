// The 8-octet UtcTime of IEC 61850: seconds since 1970 (4 octets, big
// endian), fraction of the second (3 octets, in 1/2^24 s) and time quality
// (leap seconds known 0x80, clock failure 0x40, clock not synchronized 0x20,
// time accuracy in the low 5 bits: bits of the fraction that are exact, 31 =
// unspecified).
#pragma once

#include "iec61850/ied/mms_value_api.hpp"

#include <cstdint>

struct Timestamp {
    std::uint8_t val[8] = {};
};

Timestamp* Timestamp_create();
Timestamp* Timestamp_createFromByteArray(const std::uint8_t* byteArray);
void Timestamp_destroy(Timestamp* self);

void Timestamp_clearFlags(Timestamp* self);

std::uint32_t Timestamp_getTimeInSeconds(const Timestamp* self);
std::uint64_t Timestamp_getTimeInMs(const Timestamp* self);
std::uint32_t Timestamp_getFractionOfSecond(const Timestamp* self);
// Set the time and keep the quality octet.
void Timestamp_setTimeInSeconds(Timestamp* self, std::uint32_t secondsSinceEpoch);
void Timestamp_setTimeInMilliseconds(Timestamp* self, std::uint64_t msSinceEpoch);

bool Timestamp_isLeapSecondKnown(const Timestamp* self);
void Timestamp_setLeapSecondKnown(Timestamp* self, bool value);
bool Timestamp_hasClockFailure(const Timestamp* self);
void Timestamp_setClockFailure(Timestamp* self, bool value);
bool Timestamp_isClockNotSynchronized(const Timestamp* self);
void Timestamp_setClockNotSynchronized(Timestamp* self, bool value);
// 0..24 exact bits of the fraction; anything else stores 31 (unspecified).
int Timestamp_getSubsecondPrecision(const Timestamp* self);
void Timestamp_setSubsecondPrecision(Timestamp* self, int subsecondPrecision);

// The 8 octets of a UTC-time MmsValue; other types leave `self` unchanged.
void Timestamp_setByMmsUtcTime(Timestamp* self, const MmsValue* value);
// Writes into `value` if it is a UTC time, or returns a new UTC-time value
// when `value` is null.
MmsValue* Timestamp_toMmsValue(const Timestamp* self, MmsValue* value);
