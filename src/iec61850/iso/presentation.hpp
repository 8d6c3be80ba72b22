// ISO 8823 presentation PPDUs, normal mode, BER transfer syntax only.
#pragma once

#include "iec61850/ber/ber.hpp"
#include "iec61850/iso/result.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace iec61850::iso::presentation {

using Oid = std::vector<std::uint32_t>;

inline const Oid kAcseSyntax{2, 2, 1, 0, 1};
inline const Oid kMmsSyntax{1, 0, 9506, 2, 1};
inline const Oid kBerSyntax{2, 1, 1};

constexpr std::size_t kMaxSelectorSize = 16;
constexpr std::size_t kMaxContexts = 16;
constexpr std::size_t kMaxTransferSyntaxes = 8;
constexpr std::size_t kMaxPdvs = 8;

namespace result {
constexpr std::int64_t Acceptance = 0, UserRejection = 1, ProviderRejection = 2;
}
namespace reason {  // provider reasons of a context result
constexpr std::int64_t NotSpecified = 0, AbstractSyntaxNotSupported = 1, TransferSyntaxesNotSupported = 2;
}

// One presentation data value; `value` is the encoding of the carried APDU.
struct Pdv {
    std::int64_t contextId = 0;
    ByteView value;
};

struct ContextProposal {
    std::int64_t id = 0;
    Oid abstractSyntax;
    std::vector<Oid> transferSyntaxes;
};

struct ConnectRequest {
    std::optional<Bytes> callingSelector;
    std::optional<Bytes> calledSelector;
    std::vector<ContextProposal> contexts;
    std::vector<Pdv> userData;
};

struct ContextResult {
    std::int64_t result = result::Acceptance;
    std::optional<Oid> transferSyntax;
    std::optional<std::int64_t> providerReason;
};

// CPA or CPR.
struct ConnectResponse {
    std::optional<Bytes> respondingSelector;
    std::vector<ContextResult> results;
    std::optional<std::int64_t> providerReason;  // CPR only
    std::vector<Pdv> userData;
};

struct Contexts {
    std::int64_t acse = 1;
    std::int64_t mms = 3;
};

Result decodeConnect(ByteView ppdu, ConnectRequest& out);
Result decodeAccept(ByteView ppdu, ConnectResponse& out);
Result decodeRefuse(ByteView ppdu, ConnectResponse& out);
// Fully-encoded user data ([APPLICATION 1] PDV list), as carried by data, release and abort.
Result decodeUserData(ByteView ppdu, std::vector<Pdv>& out);
// ARU (user abort, with user data) or ARP (provider abort, none).
Result decodeAbort(ByteView ppdu, std::vector<Pdv>& out);

// Picks the ACSE and MMS contexts of a CP and builds the result list. False
// when either abstract syntax is missing or offered without BER.
bool negotiate(const ConnectRequest& cp, Contexts& chosen, std::vector<ContextResult>& results);

void appendUserData(ber::Writer& w, std::int64_t contextId, ByteView value);
// The same around the encoding in `w`, in place, in front of it; false when
// its headroom is smaller than kUserDataHeadroom. Context ids are 1..127.
constexpr std::size_t kUserDataHeadroom = 21;
bool prependUserData(ber::Writer& w, std::int64_t contextId);
Bytes encodeUserData(std::int64_t contextId, ByteView value);
Bytes encodeConnect(const std::optional<Bytes>& calling, const std::optional<Bytes>& called, const Contexts& contexts,
                    ByteView acseApdu);
Bytes encodeAccept(const std::optional<Bytes>& responding, const std::vector<ContextResult>& results,
                   std::int64_t acseContext, ByteView acseApdu);
// The ACSE APDU may be empty (refused by the provider, before ACSE).
Bytes encodeRefuse(const std::optional<Bytes>& responding, const std::vector<ContextResult>& results,
                   std::optional<std::int64_t> providerReason, std::int64_t acseContext, ByteView acseApdu);
Bytes encodeAbort(std::int64_t acseContext, ByteView acseApdu);

}  // namespace iec61850::iso::presentation
