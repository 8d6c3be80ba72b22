// ISO 8650 ACSE APDUs as used for MMS: AARQ, AARE, RLRQ, RLRE, ABRT.
#pragma once

#include "iec61850/ber/ber.hpp"
#include "iec61850/iso/result.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace iec61850::iso::acse {

using Oid = std::vector<std::uint32_t>;

inline const Oid kMmsContextName{1, 0, 9506, 2, 3};
inline const Oid kBerSyntax{2, 1, 1};

enum class Kind : std::uint8_t { Aarq = 0, Aare = 1, Rlrq = 2, Rlre = 3, Abrt = 4 };

namespace result {
constexpr std::int64_t Accepted = 0, RejectedPermanent = 1, RejectedTransient = 2;
}
namespace source {  // result-source-diagnostic and abort-source
constexpr std::int64_t ServiceUser = 1, ServiceProvider = 2;
constexpr std::int64_t AbortByUser = 0, AbortByProvider = 1;
}
namespace diagnostic {
constexpr std::int64_t Null = 0, NoReasonGiven = 1, ContextNameNotSupported = 2;
}

// The one EXTERNAL of user-information; `value` is the encoding of the carried PDU.
struct UserInformation {
    std::optional<std::int64_t> contextId;  // indirect-reference
    ByteView value;
};

struct Apdu {
    Kind kind = Kind::Aarq;
    Oid contextName;                                         // AARQ, AARE
    std::int64_t result = result::Accepted;                  // AARE
    std::int64_t diagnosticSource = source::ServiceUser;     // AARE
    std::int64_t diagnostic = diagnostic::Null;              // AARE
    std::optional<std::int64_t> reason;                      // RLRQ, RLRE
    std::int64_t abortSource = source::AbortByUser;          // ABRT
    std::optional<UserInformation> userInformation;
};

Result decode(ByteView apdu, Apdu& out);

// `userData` empty means no user-information. The EXTERNAL names its
// presentation context only (indirect reference), as peers expect.
Bytes encodeAarq(std::int64_t userContext, ByteView userData);
Bytes encodeAare(std::int64_t result, std::int64_t diagnosticSource, std::int64_t diagnostic, std::int64_t userContext,
                 ByteView userData);
Bytes encodeRlrq(std::optional<std::int64_t> reason = 0);
Bytes encodeRlre(std::optional<std::int64_t> reason = 0);
Bytes encodeAbrt(std::int64_t abortSource);

}  // namespace iec61850::iso::acse
