// MMS PDUs: typed structures with encode and decode.
// Decoding fills the output only when the whole PDU decoded; unknown
// confirmed services decode to UnrecognizedService so a server can reject
// them with the invoke ID.
#pragma once

#include "iec61850/mms/type_description.hpp"
#include "iec61850/mms/value.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace iec61850::mms {

// ---- Error codes -----------------------------------------------------------

enum class ErrorClass : std::uint8_t {
    VmdState = 0,
    ApplicationReference = 1,
    Definition = 2,
    Resource = 3,
    Service = 4,
    ServicePreempt = 5,
    TimeResolution = 6,
    Access = 7,
    Initiate = 8,
    Conclude = 9,
    Cancel = 10,
    File = 11,
    Others = 12,
};

namespace error_code {
namespace vmd_state { constexpr std::int32_t Other = 0, VmdStateConflict = 1, VmdOperationalProblem = 2,
                        DomainTransferProblem = 3, StateMachineIdInvalid = 4; }
namespace application_reference { constexpr std::int32_t Other = 0, ApplicationUnreachable = 1, ConnectionLost = 2,
                                    ApplicationReferenceInvalid = 3, ContextUnsupported = 4; }
namespace definition { constexpr std::int32_t Other = 0, ObjectUndefined = 1, InvalidAddress = 2, TypeUnsupported = 3,
                         TypeInconsistent = 4, ObjectExists = 5, ObjectAttributeInconsistent = 6; }
namespace resource { constexpr std::int32_t Other = 0, MemoryUnavailable = 1, ProcessorResourceUnavailable = 2,
                       MassStorageUnavailable = 3, CapabilityUnavailable = 4, CapabilityUnknown = 5; }
namespace service { constexpr std::int32_t Other = 0, PrimitivesOutOfSequence = 1, ObjectStateConflict = 2,
                      PduSize = 3, ContinuationInvalid = 4, ObjectConstraintConflict = 5; }
namespace access { constexpr std::int32_t Other = 0, ObjectAccessUnsupported = 1, ObjectNonExistent = 2,
                     ObjectAccessDenied = 3, ObjectInvalidated = 4; }
namespace initiate { constexpr std::int32_t Other = 0, VersionIncompatible = 1, MaxSegmentInsufficient = 2,
                       MaxServicesOutstandingCallingInsufficient = 3, MaxServicesOutstandingCalledInsufficient = 4,
                       ServiceCbbInsufficient = 5, ParameterCbbInsufficient = 6, NestingLevelInsufficient = 7; }
namespace conclude { constexpr std::int32_t Other = 0, FurtherCommunicationRequired = 1; }
namespace cancel { constexpr std::int32_t Other = 0, InvokeIdUnknown = 1, CancelNotPossible = 2; }
namespace file { constexpr std::int32_t Other = 0, FilenameAmbiguous = 1, FileBusy = 2, FilenameSyntaxError = 3,
                   ContentTypeInvalid = 4, PositionInvalid = 5, FileAccessDenied = 6, FileNonExistent = 7,
                   DuplicateFilename = 8, InsufficientSpaceInFilestore = 9; }
}  // namespace error_code

struct ServiceError {
    ErrorClass errorClass = ErrorClass::Others;
    std::int32_t code = 0;
    std::optional<std::int64_t> additionalCode;
    std::optional<std::string> additionalDescription;

    bool operator==(const ServiceError&) const = default;
};

// Reject reasons: the CHOICE tag of rejectReason, and its code.
enum class RejectClass : std::uint8_t {
    ConfirmedRequest = 1,
    ConfirmedResponse = 2,
    ConfirmedError = 3,
    Unconfirmed = 4,
    PduError = 5,
    CancelRequest = 6,
    CancelResponse = 7,
    CancelError = 8,
    ConcludeRequest = 9,
    ConcludeResponse = 10,
    ConcludeError = 11,
};

namespace reject_code {
namespace confirmed_request { constexpr std::int32_t Other = 0, UnrecognizedService = 1, UnrecognizedModifier = 2,
                                InvalidInvokeId = 3, InvalidArgument = 4, InvalidModifier = 5,
                                MaxServOutstandingExceeded = 6, MaxRecursionExceeded = 8, ValueOutOfRange = 9; }
namespace pdu_error { constexpr std::int32_t UnknownPduType = 0, InvalidPdu = 1, IllegalAcseMapping = 2; }
}  // namespace reject_code

// ---- Names and variable access ---------------------------------------------

struct ObjectName {
    enum class Scope : std::uint8_t { Vmd = 0, Domain = 1, Association = 2 };
    Scope scope = Scope::Vmd;
    std::string domain;  // Domain scope only
    std::string item;

    static ObjectName vmd(std::string item) { return {Scope::Vmd, {}, std::move(item)}; }
    static ObjectName inDomain(std::string domain, std::string item) { return {Scope::Domain, std::move(domain), std::move(item)}; }
    static ObjectName association(std::string item) { return {Scope::Association, {}, std::move(item)}; }

    bool operator==(const ObjectName&) const = default;
};

struct VariableSpec {
    ObjectName name;
    Bytes alternateAccess;  // content octets of alternateAccess [5], empty if absent

    bool operator==(const VariableSpec&) const = default;
};

// listOfVariable [0], or variableListName [1] when listName is set.
struct VariableAccessSpec {
    std::vector<VariableSpec> variables;
    std::optional<ObjectName> listName;

    bool isListName() const { return listName.has_value(); }
    static VariableAccessSpec single(ObjectName n) { return {{VariableSpec{std::move(n), {}}}, std::nullopt}; }
    static VariableAccessSpec list(ObjectName n) { return {{}, std::move(n)}; }

    bool operator==(const VariableAccessSpec&) const = default;
};

// ---- Confirmed services --------------------------------------------------------

namespace service_tag {
constexpr std::uint32_t Status = 0, GetNameList = 1, Identify = 2, Rename = 3, Read = 4, Write = 5,
                        GetVariableAccessAttributes = 6, DefineNamedVariableList = 11,
                        GetNamedVariableListAttributes = 12, DeleteNamedVariableList = 13, ObtainFile = 46,
                        ReadJournal = 65, FileOpen = 72, FileRead = 73, FileClose = 74, FileRename = 75,
                        FileDelete = 76, FileDirectory = 77;
}

// basicObjectClass values of GetNameList.
enum class ObjectClass : std::uint8_t {
    NamedVariable = 0,
    ScatteredAccess = 1,
    NamedVariableList = 2,
    NamedType = 3,
    Semaphore = 4,
    EventCondition = 5,
    EventAction = 6,
    EventEnrollment = 7,
    Journal = 8,
    Domain = 9,
    ProgramInvocation = 10,
    OperatorStation = 11,
};

struct StatusRequest {
    bool extendedDerivation = false;
    bool operator==(const StatusRequest&) const = default;
};
struct StatusResponse {
    std::int32_t logicalStatus = 0;   // 0 state-changes-allowed
    std::int32_t physicalStatus = 0;  // 0 operational
    bool operator==(const StatusResponse&) const = default;
};

struct GetNameListRequest {
    enum class Scope : std::uint8_t { Vmd = 0, Domain = 1, Association = 2 };
    ObjectClass objectClass = ObjectClass::NamedVariable;
    Scope scope = Scope::Vmd;
    std::string domain;                       // Domain scope only
    std::optional<std::string> continueAfter;
    bool operator==(const GetNameListRequest&) const = default;
};
struct GetNameListResponse {
    std::vector<std::string> identifiers;
    bool moreFollows = true;
    bool operator==(const GetNameListResponse&) const = default;
};

struct IdentifyRequest {
    bool operator==(const IdentifyRequest&) const = default;
};
struct IdentifyResponse {
    std::string vendor;
    std::string model;
    std::string revision;
    bool operator==(const IdentifyResponse&) const = default;
};

struct ReadRequest {
    bool specificationWithResult = false;
    VariableAccessSpec access;
    bool operator==(const ReadRequest&) const = default;
};
struct ReadResponse {
    std::optional<VariableAccessSpec> access;  // echoed when specificationWithResult was set
    std::vector<Value> results;              // error values are failures
    bool operator==(const ReadResponse&) const = default;
};

struct WriteRequest {
    VariableAccessSpec access;
    std::vector<Value> data;
    bool operator==(const WriteRequest&) const = default;
};
struct WriteResult {
    std::optional<DataAccessError> failure;  // empty = success
    bool ok() const { return !failure; }
    bool operator==(const WriteResult&) const = default;
};
struct WriteResponse {
    std::vector<WriteResult> results;
    bool operator==(const WriteResponse&) const = default;
};

struct GetVariableAccessAttributesRequest {
    ObjectName name;
    bool operator==(const GetVariableAccessAttributesRequest&) const = default;
};
struct GetVariableAccessAttributesResponse {
    bool mmsDeletable = false;
    TypeDescription type;
    bool operator==(const GetVariableAccessAttributesResponse&) const = default;
};

struct DefineNamedVariableListRequest {
    ObjectName name;
    std::vector<VariableSpec> variables;
    bool operator==(const DefineNamedVariableListRequest&) const = default;
};
struct DefineNamedVariableListResponse {
    bool operator==(const DefineNamedVariableListResponse&) const = default;
};

struct GetNamedVariableListAttributesRequest {
    ObjectName name;
    bool operator==(const GetNamedVariableListAttributesRequest&) const = default;
};
struct GetNamedVariableListAttributesResponse {
    bool mmsDeletable = false;
    std::vector<VariableSpec> variables;
    bool operator==(const GetNamedVariableListAttributesResponse&) const = default;
};

struct DeleteNamedVariableListRequest {
    enum class Scope : std::uint8_t { Specific = 0, Association = 1, Domain = 2, Vmd = 3 };
    Scope scope = Scope::Specific;
    std::vector<ObjectName> names;
    std::optional<std::string> domain;
    bool operator==(const DeleteNamedVariableListRequest&) const = default;
};
struct DeleteNamedVariableListResponse {
    std::uint32_t numberMatched = 0;
    std::uint32_t numberDeleted = 0;
    bool operator==(const DeleteNamedVariableListResponse&) const = default;
};

// A service this codec does not decode (yet): its CHOICE tag and the whole
// element as received, so a higher layer can decode or reject it.
struct UnrecognizedService {
    std::uint32_t tag = 0;
    Bytes encoded;
    bool operator==(const UnrecognizedService&) const = default;
};

// New services are added as further alternatives before UnrecognizedService.
using ConfirmedRequestService =
    std::variant<StatusRequest, GetNameListRequest, IdentifyRequest, ReadRequest, WriteRequest,
                 GetVariableAccessAttributesRequest, DefineNamedVariableListRequest,
                 GetNamedVariableListAttributesRequest, DeleteNamedVariableListRequest, UnrecognizedService>;

using ConfirmedResponseService =
    std::variant<StatusResponse, GetNameListResponse, IdentifyResponse, ReadResponse, WriteResponse,
                 GetVariableAccessAttributesResponse, DefineNamedVariableListResponse,
                 GetNamedVariableListAttributesResponse, DeleteNamedVariableListResponse, UnrecognizedService>;

// The CHOICE tag a service goes under.
std::uint32_t serviceTag(const ConfirmedRequestService& s);
std::uint32_t serviceTag(const ConfirmedResponseService& s);

// ---- PDUs ---------------------------------------------------------------------

struct ConfirmedRequest {
    std::uint32_t invokeId = 0;
    ConfirmedRequestService service;
    bool operator==(const ConfirmedRequest&) const = default;
};
struct ConfirmedResponse {
    std::uint32_t invokeId = 0;
    ConfirmedResponseService service;
    bool operator==(const ConfirmedResponse&) const = default;
};
struct ConfirmedError {
    std::uint32_t invokeId = 0;
    ServiceError error;
    bool operator==(const ConfirmedError&) const = default;
};

struct InformationReport {
    VariableAccessSpec access;
    std::vector<Value> results;  // AccessResults; error values are failures
    bool operator==(const InformationReport&) const = default;
};
struct UnconfirmedPdu {
    InformationReport report;
    bool operator==(const UnconfirmedPdu&) const = default;
};

struct RejectPdu {
    std::optional<std::uint32_t> invokeId;
    RejectClass rejectClass = RejectClass::ConfirmedRequest;
    std::int32_t code = 0;
    bool operator==(const RejectPdu&) const = default;
};

struct CancelRequest {
    std::uint32_t invokeId = 0;
    bool operator==(const CancelRequest&) const = default;
};
struct CancelResponse {
    std::uint32_t invokeId = 0;
    bool operator==(const CancelResponse&) const = default;
};
struct CancelError {
    std::uint32_t invokeId = 0;
    ServiceError error;
    bool operator==(const CancelError&) const = default;
};

// Initiate request and response carry the same fields: proposed values in a
// request, negotiated values in a response.
struct InitiateParameters {
    std::optional<std::int32_t> localDetail;  // max PDU size
    std::int16_t maxServOutstandingCalling = 1;
    std::int16_t maxServOutstandingCalled = 1;
    std::optional<std::int8_t> dataStructureNestingLevel;
    std::int16_t version = 1;
    Bytes parameterCbb;                       // bit string octets
    std::uint32_t parameterCbbBits = 0;
    Bytes servicesSupported;                  // bit string octets, bit n = service n
    std::uint32_t servicesSupportedBits = 0;
    bool operator==(const InitiateParameters&) const = default;
};
struct InitiateRequest {
    InitiateParameters params;
    bool operator==(const InitiateRequest&) const = default;
};
struct InitiateResponse {
    InitiateParameters params;
    bool operator==(const InitiateResponse&) const = default;
};
struct InitiateError {
    ServiceError error;
    bool operator==(const InitiateError&) const = default;
};

struct ConcludeRequest {
    bool operator==(const ConcludeRequest&) const = default;
};
struct ConcludeResponse {
    bool operator==(const ConcludeResponse&) const = default;
};
struct ConcludeError {
    ServiceError error;
    bool operator==(const ConcludeError&) const = default;
};

// Alternatives in the order of the MMSpdu CHOICE tags [0]..[13].
using Pdu = std::variant<ConfirmedRequest, ConfirmedResponse, ConfirmedError, UnconfirmedPdu, RejectPdu,
                         CancelRequest, CancelResponse, CancelError, InitiateRequest, InitiateResponse,
                         InitiateError, ConcludeRequest, ConcludeResponse, ConcludeError>;

struct DecodeLimits {
    int maxDepth = kMaxDataDepth;
    std::size_t maxListItems = 100000;  // cap on any SEQUENCE OF we build
};

// Decodes one MMS PDU. `out` is assigned only on success.
Status decodePdu(ByteView bytes, Pdu& out, const DecodeLimits& limits = {});
// The invoke ID of a confirmed request, found even when the service is malformed.
std::optional<std::uint32_t> peekInvokeId(ByteView bytes);

void encodePdu(ber::Writer& w, const Pdu& pdu);
Bytes encodePdu(const Pdu& pdu);

// ---- The server's read path ---------------------------------------------------

// Names as views into the bytes they were decoded from.
struct ObjectNameView {
    ObjectName::Scope scope = ObjectName::Scope::Vmd;
    std::string_view domain;
    std::string_view item;

    ObjectName owned() const { return {scope, std::string(domain), std::string(item)}; }
};

struct VariableSpecView {
    ObjectNameView name;
    ByteView alternateAccess;  // content octets of alternateAccess [5], empty if absent
};

// A read request, valid while the bytes it was decoded from are. Decoding
// into the same object again reuses its storage.
struct ReadRequestView {
    std::uint32_t invokeId = 0;
    bool specificationWithResult = false;
    std::optional<ObjectNameView> listName;    // variableListName, or else
    std::vector<VariableSpecView> variables;   // listOfVariable
    ByteView accessSpecification;              // as encoded, for the echo in the response
};

// Whether a PDU is a confirmed request for a read (its envelope says so,
// whatever the rest holds).
bool isReadRequest(ByteView pdu);
// Decodes a confirmed read request; it accepts what decodePdu accepts.
Status decodeReadRequest(ByteView pdu, ReadRequestView& out, const DecodeLimits& limits = {});

// Writes a read response around access results encoded in between, so that
// they can come straight from the data: construct, encode one AccessResult per
// variable (Value::encode), close(). echoedSpec: the request's encoded
// variableAccessSpecification when it asked for it, else empty.
class ReadResponseWriter {
public:
    ReadResponseWriter(ber::Writer& w, std::uint32_t invokeId, ByteView echoedSpec);
    void close();

private:
    ber::Writer& w_;
    ber::Writer::Marker pdu_, read_, results_;
};

// Allocation-light encoder for reports: the values are referenced, not copied.
void encodeInformationReport(ber::Writer& w, const VariableAccessSpec& access, std::span<const Value* const> results);

void encodeObjectName(ber::Writer& w, const ObjectName& n);
Status decodeObjectName(const ber::Element& e, ObjectName& out);
void encodeVariableAccessSpec(ber::Writer& w, const VariableAccessSpec& s);

// Bit numbers in servicesSupported.
namespace services_supported {
constexpr std::uint32_t Status = 0, GetNameList = 1, Identify = 2, Rename = 3, Read = 4, Write = 5,
                        GetVariableAccessAttributes = 6, DefineNamedVariableList = 11,
                        GetNamedVariableListAttributes = 12, DeleteNamedVariableList = 13, ObtainFile = 46, ReadJournal = 65,
                        FileOpen = 72, FileRead = 73, FileClose = 74, FileRename = 75, FileDelete = 76,
                        FileDirectory = 77, InformationReport = 79, Conclude = 83,
                        Cancel = 84;
}

}  // namespace iec61850::mms
