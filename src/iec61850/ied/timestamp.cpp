#include "iec61850/ied/timestamp.hpp"

#include <algorithm>

namespace {

constexpr std::uint8_t kLeapSecondKnown = 0x80;
constexpr std::uint8_t kClockFailure = 0x40;
constexpr std::uint8_t kClockNotSynchronized = 0x20;
constexpr std::uint8_t kAccuracyMask = 0x1f;
constexpr std::uint8_t kAccuracyUnspecified = 31;
constexpr int kQuality = 7;

std::uint32_t readBigEndian(const std::uint8_t* p, int n)
{
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

void writeBigEndian(std::uint8_t* p, int n, std::uint32_t v)
{
    for (int i = n - 1; i >= 0; --i, v >>= 8)
        p[i] = static_cast<std::uint8_t>(v);
}

void setFlag(Timestamp* self, std::uint8_t flag, bool value)
{
    if (!self)
        return;
    std::uint8_t& q = self->val[kQuality];
    q = value ? (q | flag) : (q & ~flag);
}

bool hasFlag(const Timestamp* self, std::uint8_t flag) { return self && (self->val[kQuality] & flag); }

}  // namespace

Timestamp* Timestamp_create() { return new Timestamp{}; }

Timestamp* Timestamp_createFromByteArray(const std::uint8_t* byteArray)
{
    auto* t = new Timestamp{};
    if (byteArray)
        std::copy_n(byteArray, 8, t->val);
    return t;
}

void Timestamp_destroy(Timestamp* self) { delete self; }

void Timestamp_clearFlags(Timestamp* self)
{
    if (self)
        self->val[kQuality] = 0;
}

std::uint32_t Timestamp_getTimeInSeconds(const Timestamp* self) { return self ? readBigEndian(self->val, 4) : 0; }

std::uint32_t Timestamp_getFractionOfSecond(const Timestamp* self)
{
    return self ? readBigEndian(self->val + 4, 3) : 0;
}

std::uint64_t Timestamp_getTimeInMs(const Timestamp* self)
{
    // Rounded, so that every whole millisecond written reads back the same.
    const std::uint64_t fractionMs = (std::uint64_t{Timestamp_getFractionOfSecond(self)} * 1000 + (1u << 23)) >> 24;
    return std::uint64_t{Timestamp_getTimeInSeconds(self)} * 1000 + fractionMs;
}

void Timestamp_setTimeInSeconds(Timestamp* self, std::uint32_t secondsSinceEpoch)
{
    if (!self)
        return;
    writeBigEndian(self->val, 4, secondsSinceEpoch);
    writeBigEndian(self->val + 4, 3, 0);
}

void Timestamp_setTimeInMilliseconds(Timestamp* self, std::uint64_t msSinceEpoch)
{
    if (!self)
        return;
    writeBigEndian(self->val, 4, static_cast<std::uint32_t>(msSinceEpoch / 1000));
    writeBigEndian(self->val + 4, 3, static_cast<std::uint32_t>(((msSinceEpoch % 1000) << 24) / 1000));
}

bool Timestamp_isLeapSecondKnown(const Timestamp* self) { return hasFlag(self, kLeapSecondKnown); }

void Timestamp_setLeapSecondKnown(Timestamp* self, bool value) { setFlag(self, kLeapSecondKnown, value); }

bool Timestamp_hasClockFailure(const Timestamp* self) { return hasFlag(self, kClockFailure); }

void Timestamp_setClockFailure(Timestamp* self, bool value) { setFlag(self, kClockFailure, value); }

bool Timestamp_isClockNotSynchronized(const Timestamp* self) { return hasFlag(self, kClockNotSynchronized); }

void Timestamp_setClockNotSynchronized(Timestamp* self, bool value) { setFlag(self, kClockNotSynchronized, value); }

int Timestamp_getSubsecondPrecision(const Timestamp* self) { return self ? self->val[kQuality] & kAccuracyMask : 0; }

void Timestamp_setSubsecondPrecision(Timestamp* self, int subsecondPrecision)
{
    if (!self)
        return;
    const bool valid = subsecondPrecision >= 0 && subsecondPrecision <= 24;
    const auto accuracy = valid ? static_cast<std::uint8_t>(subsecondPrecision) : kAccuracyUnspecified;
    self->val[kQuality] = static_cast<std::uint8_t>((self->val[kQuality] & ~kAccuracyMask) | accuracy);
}

void Timestamp_setByMmsUtcTime(Timestamp* self, const MmsValue* value)
{
    if (!self || !value || !value->is(MmsValue::Kind::UtcTime))
        return;
    const auto octets = value->timeOctets();
    std::copy(octets.begin(), octets.end(), self->val);
}

MmsValue* Timestamp_toMmsValue(const Timestamp* self, MmsValue* value)
{
    if (!self)
        return value;
    const MmsValue time = MmsValue::utcTime(iec61850::ByteView(self->val, 8));
    if (!value)
        return new MmsValue(time);
    if (value->is(MmsValue::Kind::UtcTime))
        *value = time;
    return value;
}
