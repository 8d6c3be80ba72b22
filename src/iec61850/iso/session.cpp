#include "iec61850/iso/session.hpp"

#include <algorithm>

namespace iec61850::iso::session {
namespace {

constexpr std::size_t kMaxLength = 0xffff;

// A cursor over one level of SPDU items: code, length (1 octet or 0xff + 2), value.
struct Item {
    std::uint8_t code = 0;
    ByteView value;
};

Result readItem(ByteView data, std::size_t& pos, Item& item)
{
    if (data.size() - pos < 2)
        return Result::Malformed;
    item.code = data[pos++];
    std::size_t len = data[pos++];
    if (len == 0xff) {
        if (data.size() - pos < 2)
            return Result::Malformed;
        len = (std::size_t{data[pos]} << 8) | data[pos + 1];
        pos += 2;
    }
    if (len > data.size() - pos)
        return Result::Malformed;
    item.value = data.subspan(pos, len);
    pos += len;
    return Result::Ok;
}

Result readSelector(ByteView value, bool& has, Bytes& out)
{
    if (value.size() > kMaxSselSize)
        return Result::Malformed;
    has = true;
    out.assign(value.begin(), value.end());
    return Result::Ok;
}

Result readConnectAcceptItem(ByteView group, Spdu& s)
{
    std::size_t pos = 0;
    Item item;
    while (pos < group.size()) {
        if (readItem(group, pos, item) != Result::Ok)
            return Result::Malformed;
        if (item.code == pi::ProtocolOptions || item.code == pi::VersionNumber) {
            if (item.value.size() != 1)
                return Result::Malformed;
            (item.code == pi::VersionNumber ? s.versions : s.protocolOptions) = item.value[0];
        }
    }
    return Result::Ok;
}

Result readParameter(const Item& item, Spdu& s)
{
    switch (item.code) {
    case pi::ConnectAcceptItem:
        return readConnectAcceptItem(item.value, s);
    case pi::SessionRequirements:
        if (item.value.size() != 2)
            return Result::Malformed;
        s.hasRequirements = true;
        s.requirements = static_cast<std::uint16_t>((item.value[0] << 8) | item.value[1]);
        return Result::Ok;
    case pi::TransportDisconnect:
        if (item.value.size() != 1)
            return Result::Malformed;
        s.hasTransportDisconnect = true;
        s.transportDisconnect = item.value[0];
        return Result::Ok;
    case pi::ReasonCode:
        if (item.value.empty())
            return Result::Malformed;
        s.hasReason = true;
        s.reason = item.value[0];
        if (s.reason == kRefusedByUser && item.value.size() > 1)
            s.userData = item.value.subspan(1);
        return Result::Ok;
    case pi::CallingSsel:
        return readSelector(item.value, s.hasCallingSsel, s.callingSsel);
    case pi::CalledSsel:
        return readSelector(item.value, s.hasCalledSsel, s.calledSsel);
    case pi::UserData:
    case pi::ExtendedUserData:
        s.userData = item.value;
        return Result::Ok;
    default:
        return Result::Ok;  // parameters of units we do not use are skipped
    }
}

bool knownKind(std::uint8_t si)
{
    switch (static_cast<Kind>(si)) {
    case Kind::Data:
    case Kind::Finish:
    case Kind::Disconnect:
    case Kind::Refuse:
    case Kind::Connect:
    case Kind::Accept:
    case Kind::Abort:
    case Kind::AbortAccept:
        return true;
    }
    return false;
}

// Reads SI and LI; `parameters` is the LI-sized area after them.
Result readHeader(ByteView data, std::size_t& pos, std::uint8_t& si, ByteView& parameters)
{
    Item item;
    if (readItem(data, pos, item) != Result::Ok)
        return Result::Malformed;
    si = item.code;
    parameters = item.value;
    return Result::Ok;
}

Result decodeData(ByteView tsdu, std::size_t pos, Spdu& out)
{
    // Give-Tokens (SI 1) was read; Data Transfer (SI 1) must follow, its user information is the rest.
    std::uint8_t si = 0;
    ByteView parameters;
    if (readHeader(tsdu, pos, si, parameters) != Result::Ok || si != 1)
        return Result::Malformed;
    out = Spdu{};
    out.kind = Kind::Data;
    out.userData = tsdu.subspan(pos);
    return Result::Ok;
}

void appendLength(Bytes& out, std::size_t len)
{
    if (len < 0xff) {
        out.push_back(static_cast<std::uint8_t>(len));
        return;
    }
    out.insert(out.end(), {0xff, static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len)});
}

std::size_t itemSize(std::size_t valueSize)
{
    return 1 + (valueSize < 0xff ? 1 : 3) + valueSize;
}

void appendItem(Bytes& out, std::uint8_t code, ByteView value)
{
    out.push_back(code);
    appendLength(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
}

// Builds SI, LI and the parameters, then the user data as PGI 193 when present.
bool appendSpdu(Bytes& out, Kind kind, const Bytes& parameters, ByteView userData)
{
    const std::size_t length = parameters.size() + (userData.empty() ? 0 : itemSize(userData.size()));
    if (length > kMaxLength)
        return false;
    out.push_back(static_cast<std::uint8_t>(kind));
    appendLength(out, length);
    out.insert(out.end(), parameters.begin(), parameters.end());
    if (!userData.empty())
        appendItem(out, pi::UserData, userData);
    return true;
}

}  // namespace

Result decode(ByteView tsdu, Spdu& out)
{
    std::size_t pos = 0;
    std::uint8_t si = 0;
    ByteView parameters;
    if (readHeader(tsdu, pos, si, parameters) != Result::Ok)
        return Result::Malformed;
    if (!knownKind(si))
        return Result::Unsupported;
    if (si == static_cast<std::uint8_t>(Kind::Data))
        return decodeData(tsdu, pos, out);
    if (pos != tsdu.size())
        return Result::Malformed;  // no concatenation beyond Give-Tokens + Data
    Spdu s;
    s.kind = static_cast<Kind>(si);
    std::size_t at = 0;
    Item item;
    while (at < parameters.size()) {
        if (readItem(parameters, at, item) != Result::Ok || readParameter(item, s) != Result::Ok)
            return Result::Malformed;
    }
    out = std::move(s);
    return Result::Ok;
}

bool appendConnect(Bytes& out, Kind connectOrAccept, const ConnectParameters& p, ByteView userData)
{
    Bytes parameters;
    const std::uint8_t acceptItem[] = {pi::ProtocolOptions, 1, 0, pi::VersionNumber, 1, kVersion2};
    appendItem(parameters, pi::ConnectAcceptItem, acceptItem);
    const std::uint8_t requirements[] = {static_cast<std::uint8_t>(kDuplex >> 8), static_cast<std::uint8_t>(kDuplex)};
    appendItem(parameters, pi::SessionRequirements, requirements);
    if (p.hasCallingSsel)
        appendItem(parameters, pi::CallingSsel, ByteView(p.callingSsel).first(std::min(p.callingSsel.size(), kMaxSselSize)));
    if (p.hasCalledSsel)
        appendItem(parameters, pi::CalledSsel, ByteView(p.calledSsel).first(std::min(p.calledSsel.size(), kMaxSselSize)));
    return appendSpdu(out, connectOrAccept, parameters, userData);
}

bool appendRefuse(Bytes& out, ByteView userData)
{
    Bytes parameters;
    const std::uint8_t releaseTransport = 0;
    appendItem(parameters, pi::TransportDisconnect, ByteView(&releaseTransport, 1));
    const std::uint8_t requirements[] = {static_cast<std::uint8_t>(kDuplex >> 8), static_cast<std::uint8_t>(kDuplex)};
    appendItem(parameters, pi::SessionRequirements, requirements);
    const std::uint8_t version = kVersion2;
    appendItem(parameters, pi::VersionNumber, ByteView(&version, 1));
    Bytes reason{kRefusedByUser};
    reason.insert(reason.end(), userData.begin(), userData.end());
    appendItem(parameters, pi::ReasonCode, reason);
    return appendSpdu(out, Kind::Refuse, parameters, {});
}

bool appendFinish(Bytes& out, ByteView userData)
{
    return appendSpdu(out, Kind::Finish, {}, userData);
}

bool appendDisconnect(Bytes& out, ByteView userData)
{
    return appendSpdu(out, Kind::Disconnect, {}, userData);
}

bool appendAbort(Bytes& out, ByteView userData)
{
    Bytes parameters;
    const std::uint8_t userAbortReleasingTransport = 0x02;
    appendItem(parameters, pi::TransportDisconnect, ByteView(&userAbortReleasingTransport, 1));
    return appendSpdu(out, Kind::Abort, parameters, userData);
}

bool prependDataHeader(ber::Writer& userData)
{
    const std::uint8_t header[kDataHeaderSize] = {1, 0, 1, 0};
    return userData.prepend(header);
}

}  // namespace iec61850::iso::session
