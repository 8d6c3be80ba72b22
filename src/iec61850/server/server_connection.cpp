#include "iec61850/server/server_connection.hpp"

#include <algorithm>

namespace iec61850::server {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

namespace param_cbb {
constexpr std::uint32_t Str1 = 0, Str2 = 1, Vnam = 2, Vlis = 7, Count = 11;
}
constexpr std::uint32_t kServiceBitCount = 85;

void setBit(Bytes& bits, std::uint32_t n)
{
    bits[n / 8] |= static_cast<std::uint8_t>(0x80u >> (n % 8));
}

void clearBit(Bytes& bits, std::uint32_t n)
{
    bits[n / 8] &= static_cast<std::uint8_t>(~(0x80u >> (n % 8)));
}

bool getBit(const Bytes& bits, std::uint32_t n)
{
    return n / 8 < bits.size() && (bits[n / 8] & (0x80u >> (n % 8))) != 0;
}

Bytes bitString(std::uint32_t bitCount, std::initializer_list<std::uint32_t> set)
{
    Bytes bits((bitCount + 7) / 8, 0);
    for (std::uint32_t n : set)
        setBit(bits, n);
    return bits;
}

std::size_t lengthOctets(std::size_t n)
{
    std::size_t octets = 1;
    if (n >= 0x80)
        for (; n; n >>= 8)
            ++octets;
    return octets;
}

// Size of a TLV with a one-octet tag.
std::size_t tlvSize(std::size_t contentSize)
{
    return 1 + lengthOctets(contentSize) + contentSize;
}

std::size_t invokeIdSize(std::uint32_t id)
{
    Bytes content;
    ber::appendUnsignedContent(content, id);
    return tlvSize(content.size());
}

// Encoded size of a getNameList response with `listContent` octets of names.
std::size_t nameListResponseSize(std::uint32_t invokeId, std::size_t listContent)
{
    std::size_t service = tlvSize(tlvSize(listContent) + 3);  // names, moreFollows
    return tlvSize(invokeIdSize(invokeId) + service);
}

std::optional<NameClass> nameClass(mms::ObjectClass c)
{
    switch (c) {
    case mms::ObjectClass::NamedVariable: return NameClass::NamedVariable;
    case mms::ObjectClass::NamedVariableList: return NameClass::NamedVariableList;
    case mms::ObjectClass::Journal: return NameClass::Journal;
    default: return std::nullopt;
    }
}

std::string_view domainOf(const mms::ObjectName& n)
{
    return n.scope == mms::ObjectName::Scope::Domain ? std::string_view(n.domain) : std::string_view();
}

constexpr std::size_t kMaxJournalEntries = 256;
// An entry without variables: no page holds more than the PDU size over this.
constexpr std::size_t kMinJournalEntrySize = 28;
// Room for the length octets of the enclosing elements to grow.
constexpr std::size_t kLengthSlack = 16;

std::size_t journalResponseSize(std::uint32_t invokeId, const mms::ReadJournalResponse& r)
{
    ber::Writer w;
    mms::encodePdu(w, mms::ConfirmedResponse{invokeId, mms::encodeExtra(r)});
    return w.size();
}

// What one entry adds to a response.
std::size_t journalEntrySize(const mms::JournalEntry& e)
{
    mms::ReadJournalResponse one;
    one.entries.push_back(e);
    return mms::encodeExtra(one).encoded.size() - mms::encodeExtra(mms::ReadJournalResponse{}).encoded.size();
}

}  // namespace

std::size_t outputBound(const ServerConfig& config)
{
    return std::max(config.maxQueuedOutput,
                    2 * static_cast<std::size_t>(std::max(config.maxPduSize, kMinPduSize)) + 4096);
}

Bytes supportedParameterCbb(std::uint32_t& bitCount)
{
    using namespace param_cbb;
    bitCount = Count;
    return bitString(Count, {Str1, Str2, Vnam, Vlis});
}

Bytes supportedServices(std::uint32_t& bitCount)
{
    namespace s = mms::services_supported;
    bitCount = kServiceBitCount;
    return bitString(kServiceBitCount,
                     {s::Status, s::GetNameList, s::Identify, s::Read, s::Write, s::GetVariableAccessAttributes,
                      s::GetNamedVariableListAttributes, s::DeleteNamedVariableList, s::InformationReport,
                      s::Conclude, s::Cancel, s::ReadJournal});
}

void addFileServices(Bytes& bits)
{
    namespace s = mms::services_supported;
    for (std::uint32_t n : {s::ObtainFile, s::FileOpen, s::FileRead, s::FileClose, s::FileRename, s::FileDelete,
                            s::FileDirectory})
        setBit(bits, n);
}

ServerConnection::ServerConnection(MmsDataModel& model, const ServerConfig& config, ClientContext client)
    : model_(model),
      config_(config),
      client_(std::move(client)),
      association_(
          iso::ServerAssociation::Callbacks{
              [this](ByteView request, Bytes& response) { return onAssociate(request, response); },
              [this](ByteView pdu) { onData(pdu); }},
          iso::Limits{config.maxTpduSize, static_cast<std::size_t>(std::max(config.maxPduSize, kMinPduSize)) + 1024,
                      outputBound(config)}),
      maxPduSize_(std::max(config.maxPduSize, kMinPduSize)),
      outputBound_(outputBound(config)),
      files_(FileServices::Link{
          [this](std::uint32_t id, const mms::ExtraResponse& r) {
              sendPdu(mms::ConfirmedResponse{id, mms::encodeExtra(r)});
          },
          [this](std::uint32_t id, const mms::ServiceError& e) { sendError(id, e); },
          [this](std::uint32_t id, const mms::ExtraRequest& r) {
              sendPdu(mms::ConfirmedRequest{id, mms::encodeExtra(r)});
          }})
{
}

ServerConnection::~ServerConnection() = default;

void ServerConnection::receive(ByteView bytes)
{
    association_.receive(bytes);
}

bool ServerConnection::onAssociate(ByteView request, Bytes& response)
{
    mms::Pdu pdu;
    std::int32_t refusal = mms::error_code::initiate::Other;
    if (mms::decodePdu(request, pdu) == ber::Status::Ok && std::holds_alternative<mms::InitiateRequest>(pdu)) {
        const mms::InitiateParameters& proposed = std::get<mms::InitiateRequest>(pdu).params;
        auto problem = negotiate(proposed);
        if (!problem) {
            response = mms::encodePdu(mms::InitiateResponse{answer(proposed)});
            return true;
        }
        refusal = *problem;
    }
    response = mms::encodePdu(mms::InitiateError{{mms::ErrorClass::Initiate, refusal, {}, {}}});
    return false;
}

std::optional<std::int32_t> ServerConnection::negotiate(const mms::InitiateParameters& proposed)
{
    namespace code = mms::error_code::initiate;
    if (proposed.version < 1)
        return code::VersionIncompatible;
    std::int32_t pduSize = std::min(std::max(config_.maxPduSize, kMinPduSize),
                                    proposed.localDetail.value_or(config_.maxPduSize));
    if (pduSize < kMinPduSize)
        return code::MaxSegmentInsufficient;
    if (proposed.maxServOutstandingCalling < 1)
        return code::MaxServicesOutstandingCallingInsufficient;
    if (proposed.maxServOutstandingCalled < 1)
        return code::MaxServicesOutstandingCalledInsufficient;
    maxPduSize_ = pduSize;
    client_.maxPduSize = pduSize;
    outstandingCalling_ = std::min(proposed.maxServOutstandingCalling, config_.maxServOutstanding);
    outstandingCalled_ = std::min(proposed.maxServOutstandingCalled, config_.maxServOutstanding);
    nestingLevel_ = std::clamp(proposed.dataStructureNestingLevel.value_or(config_.maxNestingLevel), std::int8_t{0},
                               config_.maxNestingLevel);
    return std::nullopt;
}

mms::InitiateParameters ServerConnection::answer(const mms::InitiateParameters& proposed) const
{
    mms::InitiateParameters a;
    a.localDetail = maxPduSize_;
    a.maxServOutstandingCalling = outstandingCalling_;
    a.maxServOutstandingCalled = outstandingCalled_;
    a.dataStructureNestingLevel = nestingLevel_;
    a.version = 1;
    // Parameter CBBs both sides have.
    a.parameterCbb = supportedParameterCbb(a.parameterCbbBits);
    for (std::uint32_t bit = 0; bit < a.parameterCbbBits; ++bit)
        if (bit >= proposed.parameterCbbBits || !getBit(proposed.parameterCbb, bit))
            clearBit(a.parameterCbb, bit);
    a.servicesSupported = supportedServices(a.servicesSupportedBits);
    if (files_.enabled())
        addFileServices(a.servicesSupported);
    return a;
}

void ServerConnection::onData(ByteView bytes)
{
    if (mms::decodeReadRequest(bytes, readRequest_) == ber::Status::Ok) {  // the common case, without copies
        answerConfirmed(readRequest_.invokeId, [this] { serveRead(readRequest_); });
        return;
    }
    if (mms::isReadRequest(bytes)) {
        rejectMalformed(bytes);
        return;
    }
    mms::Pdu pdu;
    if (mms::decodePdu(bytes, pdu) != ber::Status::Ok) {
        rejectMalformed(bytes);
        return;
    }
    if (answerToOurRequest(pdu))
        return;
    using RC = mms::RejectClass;
    std::visit(Overloaded{
                   [&](const mms::ConfirmedRequest& r) { answerConfirmed(r.invokeId, [&] { handleConfirmed(r); }); },
                   [&](const mms::ConfirmedResponse& r) { sendReject(r.invokeId, RC::ConfirmedResponse, 2); },
                   [&](const mms::ConfirmedError& r) { sendReject(r.invokeId, RC::ConfirmedError, 2); },
                   [&](const mms::UnconfirmedPdu&) {},
                   [&](const mms::RejectPdu&) {},
                   [&](const mms::CancelRequest& r) {
                       // Every request is answered before the next is read, so
                       // nothing is ever outstanding to cancel.
                       sendPdu(mms::CancelError{
                           r.invokeId, {mms::ErrorClass::Cancel, mms::error_code::cancel::InvokeIdUnknown, {}, {}}});
                   },
                   [&](const mms::CancelResponse& r) { sendReject(r.invokeId, RC::CancelResponse, 1); },
                   [&](const mms::CancelError& r) { sendReject(r.invokeId, RC::CancelError, 1); },
                   [&](const mms::ConcludeRequest&) {
                       concluded_ = true;
                       sendPdu(mms::ConcludeResponse{});
                   },
                   [&](const mms::ConcludeResponse&) { sendReject(std::nullopt, RC::ConcludeResponse, 0); },
                   [&](const mms::ConcludeError&) { sendReject(std::nullopt, RC::ConcludeError, 0); },
                   [&](const auto&) {  // initiate PDUs belong to the association set-up
                       sendReject(std::nullopt, RC::PduError, mms::reject_code::pdu_error::IllegalAcseMapping);
                   },
               },
               pdu);
}

bool ServerConnection::answerToOurRequest(const mms::Pdu& pdu)
{
    if (const auto* error = std::get_if<mms::ConfirmedError>(&pdu))
        return files_.onError(error->invokeId, error->error);
    const auto* response = std::get_if<mms::ConfirmedResponse>(&pdu);
    const auto* service = response ? std::get_if<mms::UnrecognizedService>(&response->service) : nullptr;
    mms::ExtraResponse extra;
    if (!service || mms::decodeExtraResponse(*service, extra) != ber::Status::Ok)
        return false;
    return files_.onResponse(response->invokeId, extra);
}

void ServerConnection::rejectMalformed(ByteView bytes)
{
    ber::Element e;
    bool known = ber::decodeElement(bytes, e) == ber::Status::Ok && e.tag.cls == ber::TagClass::Context &&
                 e.tag.number <= 13;
    if (!known) {
        sendReject(std::nullopt, mms::RejectClass::PduError, mms::reject_code::pdu_error::UnknownPduType);
        return;
    }
    std::optional<std::uint32_t> invokeId = e.tag.number == 0 ? mms::peekInvokeId(bytes) : std::nullopt;
    if (invokeId)
        sendReject(invokeId, mms::RejectClass::ConfirmedRequest, mms::reject_code::confirmed_request::InvalidArgument);
    else
        sendReject(std::nullopt, mms::RejectClass::PduError, mms::reject_code::pdu_error::InvalidPdu);
}

// We answer every request before we decode the next, so none is ever
// outstanding here in the sense of being served. What the negotiated maximum
// bounds is what a client has sent without having its answers: a request that
// arrives while that many answers still wait in our output (not even taken by
// the socket) comes from a client beyond its limit, and is rejected. A client
// within the limit never sees this; one that pipelines without reading gets
// rejects, and its input waits once the output is over the bound.
template <class Serve>
void ServerConnection::answerConfirmed(std::uint32_t invokeId, Serve&& serve)
{
    using namespace mms::reject_code::confirmed_request;
    if (concluded_) {
        sendReject(invokeId, mms::RejectClass::ConfirmedRequest, Other);
        return;
    }
    const std::uint64_t sent = output().consumedTotal();
    std::erase_if(unsentAnswers_, [sent](std::uint64_t end) { return end <= sent; });
    if (unsentAnswers_.size() >= static_cast<std::size_t>(outstandingCalling_)) {
        sendReject(invokeId, mms::RejectClass::ConfirmedRequest, MaxServOutstandingExceeded);
        return;
    }
    serve();
    unsentAnswers_.push_back(output().appendedTotal());
}

void ServerConnection::handleConfirmed(const mms::ConfirmedRequest& request)
{
    std::visit(Overloaded{
                   [](const mms::ReadRequest&) {},  // never here: reads take the way of onData()
                   [&](const auto& service) { serve(request.invokeId, service); },
               },
               request.service);
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::StatusRequest&)
{
    sendPdu(mms::ConfirmedResponse{invokeId, mms::StatusResponse{}});
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::IdentifyRequest&)
{
    const Identity& id = config_.identity;
    sendPdu(mms::ConfirmedResponse{invokeId, mms::IdentifyResponse{id.vendor, id.model, id.revision}});
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::GetNameListRequest& r)
{
    using Scope = mms::GetNameListRequest::Scope;
    mms::GetNameListResponse response;
    response.moreFollows = false;
    std::size_t listContent = 0;
    bool tooLong = false;
    auto collect = [&](std::string_view name) {
        std::size_t next = listContent + tlvSize(name.size());
        if (nameListResponseSize(invokeId, next) > static_cast<std::size_t>(maxPduSize_)) {
            response.moreFollows = true;
            tooLong = response.identifiers.empty();
            return false;
        }
        listContent = next;
        response.identifiers.emplace_back(name);
        return true;
    };
    std::string_view after = r.continueAfter ? std::string_view(*r.continueAfter) : std::string_view();

    if (r.objectClass == mms::ObjectClass::Domain && r.scope == Scope::Vmd) {
        model_.visitDomains(after, collect);
    } else if (auto cls = nameClass(r.objectClass); cls && r.scope == Scope::Domain) {
        if (!model_.visitNames(r.domain, *cls, after, collect)) {
            sendError(invokeId, mms::ErrorClass::Definition, mms::error_code::definition::ObjectUndefined);
            return;
        }
    }
    // Other classes and scopes hold no objects here: an empty, final list.
    if (tooLong) {
        sendError(invokeId, mms::ErrorClass::Service, mms::error_code::service::PduSize);
        return;
    }
    sendPdu(mms::ConfirmedResponse{invokeId, std::move(response)});
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::GetVariableAccessAttributesRequest& r)
{
    const mms::TypeDescription* type = r.name.scope == mms::ObjectName::Scope::Association
                                    ? nullptr
                                    : model_.typeOf(domainOf(r.name), r.name.item);
    if (!type) {
        sendError(invokeId, mms::ErrorClass::Access, mms::error_code::access::ObjectNonExistent);
        return;
    }
    sendPdu(mms::ConfirmedResponse{invokeId, mms::GetVariableAccessAttributesResponse{false, *type}});
}

bool ServerConnection::resolveVariables(std::uint32_t invokeId, const mms::VariableAccessSpec& access,
                                        std::vector<mms::VariableSpec>& listMembers,
                                        std::span<const mms::VariableSpec>& variables)
{
    if (!access.listName) {
        variables = access.variables;
        return true;
    }
    std::vector<mms::ObjectName> names;
    const mms::ObjectName& list = *access.listName;
    if (list.scope == mms::ObjectName::Scope::Association ||
        !model_.variableListMembers(domainOf(list), list.item, names)) {
        sendError(invokeId, mms::ErrorClass::Access, mms::error_code::access::ObjectNonExistent);
        return false;
    }
    listMembers.clear();
    listMembers.reserve(names.size());
    for (mms::ObjectName& n : names)
        listMembers.push_back({std::move(n), {}});
    variables = listMembers;
    return true;
}

// The answer is encoded once, straight from the model, into writer_.
void ServerConnection::serveRead(const mms::ReadRequestView& r)
{
    std::vector<mms::ObjectName> listMembers;
    if (r.listName && (r.listName->scope == mms::ObjectName::Scope::Association ||
                       !model_.variableListMembers(r.listName->domain, r.listName->item, listMembers))) {
        sendError(r.invokeId, mms::ErrorClass::Access, mms::error_code::access::ObjectNonExistent);
        return;
    }
    mms::ReadResponseWriter response(startPdu(), r.invokeId,
                                     r.specificationWithResult ? r.accessSpecification : ByteView{});
    if (r.listName) {
        for (const mms::ObjectName& n : listMembers)
            encodeReadResult({n.scope, n.domain, n.item}, {});
    } else {
        for (const mms::VariableSpecView& v : r.variables)
            encodeReadResult(v.name, v.alternateAccess);
    }
    response.close();
    sendEncodedResponse(r.invokeId);
}

void ServerConnection::encodeReadResult(const mms::ObjectNameView& name, ByteView alternateAccess)
{
    if (!alternateAccess.empty())
        mms::Value::error(mms::DataAccessError::ObjectAccessUnsupported).encode(writer_);
    else if (name.scope == mms::ObjectName::Scope::Association)
        mms::Value::error(mms::DataAccessError::ObjectNonExistent).encode(writer_);
    else
        model_.encodeRead(client_, name.scope == mms::ObjectName::Scope::Domain ? name.domain : std::string_view(),
                          name.item, writer_);
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::WriteRequest& r)
{
    std::vector<mms::VariableSpec> listMembers;
    std::span<const mms::VariableSpec> variables;
    if (!resolveVariables(invokeId, r.access, listMembers, variables))
        return;
    if (variables.size() != r.data.size()) {
        sendReject(invokeId, mms::RejectClass::ConfirmedRequest, mms::reject_code::confirmed_request::InvalidArgument);
        return;
    }
    mms::WriteResponse response;
    response.results.reserve(variables.size());
    for (std::size_t i = 0; i < variables.size(); ++i) {
        const mms::VariableSpec& v = variables[i];
        if (!v.alternateAccess.empty())
            response.results.push_back({mms::DataAccessError::ObjectAccessUnsupported});
        else if (v.name.scope == mms::ObjectName::Scope::Association)
            response.results.push_back({mms::DataAccessError::ObjectNonExistent});
        else
            response.results.push_back({model_.write(client_, domainOf(v.name), v.name.item, r.data[i])});
    }
    sendPdu(mms::ConfirmedResponse{invokeId, std::move(response)});
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::DefineNamedVariableListRequest&)
{
    // The lists come from the model; clients cannot add their own.
    sendError(invokeId, mms::ErrorClass::Resource, mms::error_code::resource::CapabilityUnavailable);
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::GetNamedVariableListAttributesRequest& r)
{
    std::vector<mms::ObjectName> names;
    if (r.name.scope == mms::ObjectName::Scope::Association ||
        !model_.variableListMembers(domainOf(r.name), r.name.item, names)) {
        sendError(invokeId, mms::ErrorClass::Access, mms::error_code::access::ObjectNonExistent);
        return;
    }
    mms::GetNamedVariableListAttributesResponse response;
    response.mmsDeletable = false;
    response.variables.reserve(names.size());
    for (mms::ObjectName& n : names)
        response.variables.push_back({std::move(n), {}});
    sendPdu(mms::ConfirmedResponse{invokeId, std::move(response)});
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::DeleteNamedVariableListRequest& r)
{
    // No list is deletable: report how many matched and that none was deleted.
    using Scope = mms::DeleteNamedVariableListRequest::Scope;
    mms::DeleteNamedVariableListResponse response;
    std::vector<mms::ObjectName> members;
    if (r.scope == Scope::Specific) {
        for (const mms::ObjectName& n : r.names)
            if (n.scope != mms::ObjectName::Scope::Association &&
                model_.variableListMembers(domainOf(n), n.item, members))
                ++response.numberMatched;
    } else if (r.scope == Scope::Domain && r.domain) {
        model_.visitNames(*r.domain, NameClass::NamedVariableList, {}, [&](std::string_view) {
            ++response.numberMatched;
            return true;
        });
    }
    sendPdu(mms::ConfirmedResponse{invokeId, response});
}

void ServerConnection::serve(std::uint32_t invokeId, const mms::UnrecognizedService& r)
{
    namespace st = mms::service_tag;
    bool fileService = r.tag == st::ObtainFile || (r.tag >= st::FileOpen && r.tag <= st::FileDirectory);
    if (fileService && files_.enabled()) {
        mms::ExtraRequest request;
        if (mms::decodeExtraRequest(r, request) != ber::Status::Ok)
            sendReject(invokeId, mms::RejectClass::ConfirmedRequest, mms::reject_code::confirmed_request::InvalidArgument);
        else
            files_.serve(client_, invokeId, request, maxPduSize_);
        return;
    }
    if (r.tag == st::ReadJournal) {
        mms::ExtraRequest request;
        if (mms::decodeExtraRequest(r, request) != ber::Status::Ok)
            sendReject(invokeId, mms::RejectClass::ConfirmedRequest, mms::reject_code::confirmed_request::InvalidArgument);
        else
            serveJournal(invokeId, std::get<mms::ReadJournalRequest>(request));
        return;
    }
    if (r.tag == st::FileRename) {  // no store: nothing to rename
        sendError(invokeId, mms::ErrorClass::File, mms::error_code::file::FileAccessDenied);
        return;
    }
    sendReject(invokeId, mms::RejectClass::ConfirmedRequest, mms::reject_code::confirmed_request::UnrecognizedService);
}

void ServerConnection::serveJournal(std::uint32_t invokeId, const mms::ReadJournalRequest& r)
{
    std::size_t wanted = std::clamp<std::size_t>(static_cast<std::size_t>(maxPduSize_) / kMinJournalEntrySize, 1,
                                                 kMaxJournalEntries);
    if (r.numberOfEntries)
        wanted = std::min(wanted, static_cast<std::size_t>(std::max<std::int32_t>(*r.numberOfEntries, 1)));
    std::vector<mms::JournalEntry> entries;
    if (r.journal.scope == mms::ObjectName::Scope::Association ||
        !model_.readJournal(client_, domainOf(r.journal), r.journal.item, r, wanted + 1, entries)) {
        sendError(invokeId, mms::ErrorClass::Access, mms::error_code::access::ObjectNonExistent);
        return;
    }
    mms::ReadJournalResponse response;
    response.moreFollows = entries.size() > wanted;
    if (entries.size() > wanted)
        entries.resize(wanted);
    const std::size_t empty = journalResponseSize(invokeId, mms::ReadJournalResponse{{}, true});
    std::size_t budget = static_cast<std::size_t>(maxPduSize_) > empty + kLengthSlack
                             ? static_cast<std::size_t>(maxPduSize_) - empty - kLengthSlack
                             : 0;
    for (mms::JournalEntry& e : entries) {
        std::size_t size = journalEntrySize(e);
        if (size > budget && !response.entries.empty()) {
            response.moreFollows = true;
            break;
        }
        budget = size > budget ? 0 : budget - size;
        response.entries.push_back(std::move(e));
    }
    sendPdu(mms::ConfirmedResponse{invokeId, mms::encodeExtra(response)});
}

bool ServerConnection::sendInformationReport(const mms::VariableAccessSpec& access,
                                             std::span<const mms::Value* const> values)
{
    if (!associated() || concluded_)
        return false;
    reportWriter_.reset(iso::kFrameHeadroom);
    mms::encodeInformationReport(reportWriter_, access, values);
    if (reportWriter_.size() > static_cast<std::size_t>(maxPduSize_))
        return false;
    association_.send(reportWriter_);
    return true;
}

ber::Writer& ServerConnection::startPdu()
{
    writer_.reset(iso::kFrameHeadroom);
    return writer_;
}

void ServerConnection::sendPdu(const mms::Pdu& pdu)
{
    mms::encodePdu(startPdu(), pdu);
    std::uint32_t invokeId = 0;
    if (const auto* response = std::get_if<mms::ConfirmedResponse>(&pdu))
        invokeId = response->invokeId;
    sendEncodedResponse(invokeId);
}

void ServerConnection::sendEncodedResponse(std::uint32_t invokeId)
{
    if (writer_.size() > static_cast<std::size_t>(maxPduSize_)) {
        sendError(invokeId, mms::ErrorClass::Service, mms::error_code::service::PduSize);
        return;
    }
    association_.send(writer_);
}

void ServerConnection::sendError(std::uint32_t invokeId, mms::ErrorClass cls, std::int32_t code)
{
    sendError(invokeId, mms::ServiceError{cls, code, {}, {}});
}

void ServerConnection::sendError(std::uint32_t invokeId, const mms::ServiceError& error)
{
    mms::encodePdu(startPdu(), mms::ConfirmedError{invokeId, error});
    association_.send(writer_);
}

void ServerConnection::sendReject(std::optional<std::uint32_t> invokeId, mms::RejectClass cls, std::int32_t code)
{
    mms::encodePdu(startPdu(), mms::RejectPdu{invokeId, cls, code});
    association_.send(writer_);
}

}  // namespace iec61850::server
