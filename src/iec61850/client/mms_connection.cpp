#include "iec61850/client/mms_connection.hpp"

#include "iec61850/platform/clock.hpp"
#include "iec61850/platform/socket.hpp"

#include <algorithm>
#include <optional>

namespace iec61850::client {
namespace {

using platform::NetStatus;

constexpr std::size_t kReceiveChunk = 16 * 1024;
// Caps on what a server can make us collect.
constexpr std::size_t kMaxNames = 200000;
constexpr std::size_t kMaxNameRounds = 10000;

Bytes bitsFor(std::initializer_list<std::uint32_t> bits, std::uint32_t bitCount)
{
    Bytes out((bitCount + 7) / 8, 0);
    for (std::uint32_t b : bits)
        out[b / 8] |= static_cast<std::uint8_t>(0x80u >> (b % 8));
    return out;
}

mms::InitiateParameters initiateParameters(const ConnectOptions& o)
{
    namespace s = mms::services_supported;
    mms::InitiateParameters p;
    p.localDetail = o.maxPduSize;
    p.maxServOutstandingCalling = o.maxServOutstanding;
    p.maxServOutstandingCalled = o.maxServOutstanding;
    p.dataStructureNestingLevel = o.nestingLevel;
    p.version = 1;
    // str1, str2, vnam, valt, vlis
    p.parameterCbbBits = 11;
    p.parameterCbb = bitsFor({0, 1, 2, 3, 7}, p.parameterCbbBits);
    p.servicesSupportedBits = 85;
    p.servicesSupported = bitsFor({s::Status, s::GetNameList, s::Identify, s::Read, s::Write,
                                   s::GetVariableAccessAttributes, s::DefineNamedVariableList,
                                   s::GetNamedVariableListAttributes, s::DeleteNamedVariableList,
                                   s::InformationReport, s::Conclude},
                                  p.servicesSupportedBits);
    return p;
}

mms::ObjectName objectName(std::string_view domain, std::string_view item)
{
    if (domain.empty())
        return mms::ObjectName::vmd(std::string(item));
    return mms::ObjectName::inDomain(std::string(domain), std::string(item));
}

VariableRef toRef(const mms::ObjectName& n)
{
    return {n.scope == mms::ObjectName::Scope::Domain ? n.domain : std::string(), n.item};
}

Error protocolError(std::string detail)
{
    return {ErrorKind::Protocol, 0, 0, std::move(detail)};
}

Error dataAccessError(mms::DataAccessError e)
{
    return {ErrorKind::DataAccess, 0, static_cast<std::int32_t>(e), mms::toString(e)};
}

std::uint64_t deadlineAfter(int ms)
{
    return platform::timeMs() + static_cast<std::uint64_t>(std::max(ms, 0));
}

}  // namespace

const char* toString(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::ConnectFailed: return "connect failed";
    case ErrorKind::Refused: return "association refused";
    case ErrorKind::Timeout: return "timeout";
    case ErrorKind::ConnectionLost: return "connection lost";
    case ErrorKind::NotConnected: return "not connected";
    case ErrorKind::ServiceError: return "service error";
    case ErrorKind::Reject: return "rejected";
    case ErrorKind::DataAccess: return "data access error";
    case ErrorKind::Protocol: return "protocol error";
    case ErrorKind::TooLarge: return "request too large";
    case ErrorKind::InvalidArgument: return "invalid argument";
    }
    return "?";
}

std::string Error::describe() const
{
    std::string text = toString(kind);
    if (kind == ErrorKind::ServiceError || kind == ErrorKind::Reject)
        text += " (class " + std::to_string(errorClass) + ", code " + std::to_string(code) + ")";
    if (!detail.empty())
        text += ": " + detail;
    return text;
}

bool Negotiated::supports(std::uint32_t bit) const
{
    return bit < servicesSupportedBits && bit / 8 < servicesSupported.size() &&
           (servicesSupported[bit / 8] & (0x80u >> (bit % 8))) != 0;
}

// The socket, the association and what arrived on them.
struct MmsConnection::Io {
    struct Answer {
        std::optional<std::uint32_t> invokeId;  // empty: a reject that names none
        mms::Pdu pdu;
    };

    platform::Socket socket;
    std::unique_ptr<iso::ClientAssociation> association;
    Bytes receiveBuffer = Bytes(kReceiveChunk);
    ber::Writer writer;

    std::optional<Bytes> initiateAnswer;
    bool refused = false;
    bool concluded = false;
    bool released = false;
    bool peerClosed = false;  // orderly TCP end from the peer
    bool lost = false;
    bool protocolFault = false;
    std::string lostDetail;

    std::vector<Answer> answers;
    std::vector<std::uint32_t> awaited;  // invoke IDs of requests in progress
    std::optional<mms::Pdu> concludeAnswer;
    std::vector<mms::InformationReport> reports;

    // Answers nobody waits for (any more) are dropped on arrival.
    bool isAwaited(std::optional<std::uint32_t> id) const
    {
        return id ? std::find(awaited.begin(), awaited.end(), *id) != awaited.end() : !awaited.empty();
    }

    void markLost(std::string detail)
    {
        if (!lost)
            lostDetail = std::move(detail);
        lost = true;
    }
};

MmsConnection::MmsConnection() = default;

MmsConnection::~MmsConnection()
{
    abort();
}

bool MmsConnection::connected() const
{
    return io_ && !io_->lost && io_->socket.valid() && io_->association &&
           io_->association->state() == iso::State::Associated;
}

Outcome MmsConnection::connect(const ConnectOptions& options)
{
    if (handlerDepth_ > 0)
        return Error{ErrorKind::InvalidArgument, 0, 0, "connect from the report handler"};
    abort();
    if (options.maxPduSize < 64)
        return Error{ErrorKind::InvalidArgument, 0, 0, "max PDU size below 64"};
    io_ = std::make_unique<Io>();
    negotiated_ = {};
    nextInvokeId_ = 1;
    requestTimeoutMs_ = options.requestTimeoutMs;
    const NetStatus s = platform::connectTcp(options.host, options.port, options.connectTimeoutMs, io_->socket);
    if (s != NetStatus::Ok) {
        io_.reset();
        const ErrorKind kind = s == NetStatus::TimedOut ? ErrorKind::Timeout : ErrorKind::ConnectFailed;
        return Error{kind, 0, 0, options.host + ":" + std::to_string(options.port) + ": " + platform::toString(s)};
    }
    Outcome r = associate(options);
    if (!r.ok())
        close();
    return r;
}

Outcome MmsConnection::associate(const ConnectOptions& options)
{
    Io& io = *io_;
    iso::ClientAssociation::Callbacks callbacks;
    callbacks.onAssociated = [&io](ByteView pdu) { io.initiateAnswer = Bytes(pdu.begin(), pdu.end()); };
    callbacks.onRefused = [&io](ByteView) { io.refused = true; };
    callbacks.onData = [this](ByteView pdu) { onData(pdu); };
    callbacks.onReleased = [&io] { io.released = true; };
    callbacks.onAborted = [&io] { io.markLost("aborted by the peer"); };

    iso::Limits limits;
    limits.maxTsduSize = static_cast<std::size_t>(options.maxPduSize) + 1024;
    io.association = std::make_unique<iso::ClientAssociation>(std::move(callbacks), limits, options.local,
                                                              options.remote);
    io.writer.clear();
    mms::encodePdu(io.writer, mms::Pdu{mms::InitiateRequest{initiateParameters(options)}});
    io.association->connect(io.writer.bytes());

    const std::uint64_t deadline = deadlineAfter(options.connectTimeoutMs);
    if (Outcome r = serveUntil(deadline, [&io] { return io.initiateAnswer || io.refused; }); !r.ok()) {
        if (r.error().kind == ErrorKind::ConnectionLost)
            return Error{ErrorKind::Refused, 0, 0, "closed during association: " + r.error().detail};
        return r;
    }
    if (io.refused)
        return Error{ErrorKind::Refused, 0, 0, "association refused"};

    mms::Pdu answer;
    if (mms::decodePdu(*io.initiateAnswer, answer) != mms::Status::Ok)
        return protocolError("undecodable initiate answer");
    if (const auto* e = std::get_if<mms::InitiateError>(&answer))
        return Error{ErrorKind::Refused, static_cast<std::int32_t>(e->error.errorClass), e->error.code,
                     "initiate error"};
    const auto* response = std::get_if<mms::InitiateResponse>(&answer);
    if (!response)
        return protocolError("unexpected answer to initiate");
    const mms::InitiateParameters& p = response->params;
    negotiated_.maxPduSize = std::min(p.localDetail.value_or(options.maxPduSize), options.maxPduSize);
    negotiated_.maxServOutstandingCalling = p.maxServOutstandingCalling;
    negotiated_.maxServOutstandingCalled = p.maxServOutstandingCalled;
    negotiated_.nestingLevel = p.dataStructureNestingLevel.value_or(options.nestingLevel);
    negotiated_.servicesSupported = p.servicesSupported;
    negotiated_.servicesSupportedBits = p.servicesSupportedBits;
    if (negotiated_.maxPduSize < 64)
        return protocolError("negotiated max PDU size below 64");
    return Done{};
}

// ---- Socket service ----------------------------------------------------------

Error MmsConnection::lostError() const
{
    if (!io_)
        return {ErrorKind::NotConnected, 0, 0, {}};
    if (io_->refused)
        return {ErrorKind::Refused, 0, 0, "association refused"};
    if (io_->protocolFault)
        return protocolError(io_->lostDetail);
    return {ErrorKind::ConnectionLost, 0, 0, io_->lostDetail};
}

Outcome MmsConnection::flush(std::uint64_t deadline)
{
    Io& io = *io_;
    iso::OutputQueue& out = io.association->output();
    while (!out.empty()) {
        const platform::IoResult r = io.socket.send(out.pending());
        if (r.ok()) {
            out.consume(r.count);
            continue;
        }
        if (r.status != NetStatus::WouldBlock) {
            out.clear();
            io.markLost(std::string("send: ") + platform::toString(r.status));
            return lostError();
        }
        const std::uint64_t now = platform::timeMs();
        if (now >= deadline)
            return Error{ErrorKind::Timeout, 0, 0, "sending"};
        platform::PollEntry entry{io.socket.fd(), false, true};
        platform::poll(std::span(&entry, 1), static_cast<int>(deadline - now));
    }
    return Done{};
}

// Waits up to waitMs for bytes and feeds what arrived to the association.
void MmsConnection::readSome(int waitMs)
{
    Io& io = *io_;
    platform::PollEntry entry{io.socket.fd(), true, false};
    const int n = platform::poll(std::span(&entry, 1), waitMs);
    if (n <= 0)
        return;
    const platform::IoResult r = io.socket.recv(io.receiveBuffer);
    if (r.ok()) {
        io.association->receive(ByteView(io.receiveBuffer).first(r.count));
        if (io.protocolFault && !io.association->closed()) {
            io.association->abort();
            (void)io.socket.send(io.association->output().pending());
            io.association->output().clear();
        }
        if (io.association->closed() && !io.released)
            io.markLost(io.refused ? "association refused" : "association closed");
    } else if (r.status == NetStatus::Closed) {
        io.peerClosed = true;
        io.markLost("closed by the peer");
    } else if (r.status != NetStatus::WouldBlock) {
        io.markLost(std::string("receive: ") + platform::toString(r.status));
    }
}

Outcome MmsConnection::serveUntil(std::uint64_t deadline, const std::function<bool()>& done)
{
    for (;;) {
        if (Outcome r = flush(deadline); !r.ok())
            return r;
        dispatchReports();
        if (done())
            return Done{};
        if (io_->lost)
            return lostError();
        const std::uint64_t now = platform::timeMs();
        if (now >= deadline)
            return Error{ErrorKind::Timeout, 0, 0, {}};
        readSome(static_cast<int>(std::min<std::uint64_t>(deadline - now, 1u << 30)));
    }
}

void MmsConnection::onData(ByteView bytes)
{
    Io& io = *io_;
    mms::Pdu pdu;
    if (mms::decodePdu(bytes, pdu) != mms::Status::Ok) {
        io.protocolFault = !io.lost;
        io.markLost("undecodable MMS PDU");
        return;
    }
    std::visit(
        [&](auto& p) {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, mms::UnconfirmedPdu>) {
                io.reports.push_back(std::move(p.report));
            } else if constexpr (std::is_same_v<T, mms::ConfirmedResponse> || std::is_same_v<T, mms::ConfirmedError> ||
                                 std::is_same_v<T, mms::RejectPdu>) {
                const std::optional<std::uint32_t> id = p.invokeId;
                if (io.isAwaited(id))
                    io.answers.push_back({id, std::move(pdu)});
            } else if constexpr (std::is_same_v<T, mms::ConcludeResponse> || std::is_same_v<T, mms::ConcludeError>) {
                io.concludeAnswer = std::move(pdu);
            } else if constexpr (std::is_same_v<T, mms::ConfirmedRequest>) {
                // We serve no requests.
                io.writer.clear();
                mms::encodePdu(io.writer, mms::Pdu{mms::RejectPdu{
                                              p.invokeId, mms::RejectClass::ConfirmedRequest,
                                              mms::reject_code::confirmed_request::UnrecognizedService}});
                io.association->send(io.writer.bytes());
            }
        },
        pdu);
}

std::size_t MmsConnection::dispatchReports()
{
    if (!io_ || io_->reports.empty())
        return 0;
    std::vector<mms::InformationReport> reports;
    reports.swap(io_->reports);
    if (reportHandler_) {
        ++handlerDepth_;
        for (const mms::InformationReport& r : reports)
            reportHandler_(r);
        --handlerDepth_;
    }
    return reports.size();
}

Result<std::size_t> MmsConnection::waitForReports(int timeoutMs)
{
    if (!io_ || !io_->association)
        return Error{ErrorKind::NotConnected, 0, 0, {}};
    const std::uint64_t deadline = deadlineAfter(timeoutMs);
    std::size_t count = dispatchReports();
    for (bool polled = false;; polled = true) {
        if (count > 0)
            return count;
        if (io_->lost)
            return lostError();
        if (Outcome r = flush(deadline); !r.ok() && r.error().kind != ErrorKind::Timeout)
            return r.error();
        const std::uint64_t now = platform::timeMs();
        if (polled && now >= deadline)
            return std::size_t{0};
        readSome(now >= deadline ? 0 : static_cast<int>(std::min<std::uint64_t>(deadline - now, 1u << 30)));
        count = dispatchReports();
    }
}

// ---- Requests ----------------------------------------------------------------

Outcome MmsConnection::sendPdu(const mms::Pdu& pdu)
{
    Io& io = *io_;
    io.writer.clear();
    mms::encodePdu(io.writer, pdu);
    if (io.writer.size() > static_cast<std::size_t>(negotiated_.maxPduSize))
        return Error{ErrorKind::TooLarge, 0, 0,
                     std::to_string(io.writer.size()) + " > " + std::to_string(negotiated_.maxPduSize)};
    io.association->send(io.writer.bytes());
    return Done{};
}

Result<mms::ConfirmedResponseService> MmsConnection::transact(mms::ConfirmedRequestService&& service)
{
    if (!connected() || io_->concluded)
        return io_ && io_->lost ? lostError() : Error{ErrorKind::NotConnected, 0, 0, {}};
    Io& io = *io_;
    const std::uint32_t id = nextInvokeId_++;
    if (nextInvokeId_ > 0x7fffffff)
        nextInvokeId_ = 1;
    if (Outcome r = sendPdu(mms::Pdu{mms::ConfirmedRequest{id, std::move(service)}}); !r.ok())
        return r.error();

    io.awaited.push_back(id);
    auto mine = [&io, id](const Io::Answer& a) { return !a.invokeId || *a.invokeId == id; };
    Outcome r = serveUntil(deadlineAfter(requestTimeoutMs_), [&io, &mine] {
        return std::any_of(io.answers.begin(), io.answers.end(), mine);
    });
    std::erase(io.awaited, id);

    std::optional<mms::Pdu> answer;
    if (auto it = std::find_if(io.answers.begin(), io.answers.end(), mine); it != io.answers.end()) {
        answer = std::move(it->pdu);
        io.answers.erase(it);
    }
    if (!answer)
        return r.ok() ? protocolError("no answer") : r.error();

    if (auto* resp = std::get_if<mms::ConfirmedResponse>(&*answer))
        return std::move(resp->service);
    if (const auto* err = std::get_if<mms::ConfirmedError>(&*answer))
        return Error{ErrorKind::ServiceError, static_cast<std::int32_t>(err->error.errorClass), err->error.code,
                     err->error.additionalDescription.value_or("")};
    const auto& reject = std::get<mms::RejectPdu>(*answer);
    return Error{ErrorKind::Reject, static_cast<std::int32_t>(reject.rejectClass), reject.code, {}};
}

Result<mms::ConfirmedResponseService> MmsConnection::request(mms::ConfirmedRequestService service)
{
    return transact(std::move(service));
}

template <typename Response>
Result<Response> MmsConnection::call(mms::ConfirmedRequestService service)
{
    Result<mms::ConfirmedResponseService> r = transact(std::move(service));
    if (!r.ok())
        return r.error();
    if (auto* typed = std::get_if<Response>(&r.value()))
        return std::move(*typed);
    return protocolError("answer for another service");
}

Result<mms::IdentifyResponse> MmsConnection::identify()
{
    return call<mms::IdentifyResponse>(mms::IdentifyRequest{});
}

Result<mms::StatusResponse> MmsConnection::status()
{
    return call<mms::StatusResponse>(mms::StatusRequest{});
}

Result<std::vector<std::string>> MmsConnection::nameList(mms::ObjectClass cls, std::string_view domain)
{
    mms::GetNameListRequest request;
    request.objectClass = cls;
    if (cls != mms::ObjectClass::Domain) {
        request.scope = mms::GetNameListRequest::Scope::Domain;
        request.domain = std::string(domain);
    }
    std::vector<std::string> names;
    for (std::size_t round = 0; round < kMaxNameRounds; ++round) {
        Result<mms::GetNameListResponse> r = call<mms::GetNameListResponse>(request);
        if (!r.ok())
            return r.error();
        if (names.size() + r->identifiers.size() > kMaxNames)
            return protocolError("name list too long");
        for (std::string& name : r->identifiers)
            names.push_back(std::move(name));
        if (!r->moreFollows)
            return names;
        if (r->identifiers.empty())
            return protocolError("more names announced but none sent");
        request.continueAfter = names.back();
    }
    return protocolError("name list never ends");
}

Result<std::vector<std::string>> MmsConnection::domainNames()
{
    return nameList(mms::ObjectClass::Domain, {});
}

Result<std::vector<std::string>> MmsConnection::variableNames(std::string_view domain)
{
    return nameList(mms::ObjectClass::NamedVariable, domain);
}

Result<std::vector<std::string>> MmsConnection::variableListNames(std::string_view domain)
{
    return nameList(mms::ObjectClass::NamedVariableList, domain);
}

Result<std::vector<std::string>> MmsConnection::journalNames(std::string_view domain)
{
    return nameList(mms::ObjectClass::Journal, domain);
}

Result<mms::TypeDescription> MmsConnection::variableAccessAttributes(std::string_view domain, std::string_view item)
{
    Result<mms::GetVariableAccessAttributesResponse> r =
        call<mms::GetVariableAccessAttributesResponse>(mms::GetVariableAccessAttributesRequest{objectName(domain, item)});
    if (!r.ok())
        return r.error();
    return std::move(r->type);
}

Result<mms::Value> MmsConnection::read(std::string_view domain, std::string_view item)
{
    mms::ReadRequest request;
    request.access = mms::VariableAccessSpec::single(objectName(domain, item));
    Result<mms::ReadResponse> r = call<mms::ReadResponse>(std::move(request));
    if (!r.ok())
        return r.error();
    if (r->results.size() != 1)
        return protocolError("read answered " + std::to_string(r->results.size()) + " results for 1 variable");
    mms::Value& v = r->results.front();
    if (v.isError())
        return dataAccessError(v.dataAccessError());
    return std::move(v);
}

Result<std::vector<mms::Value>> MmsConnection::read(std::span<const VariableRef> variables)
{
    if (variables.empty())
        return Error{ErrorKind::InvalidArgument, 0, 0, "no variables"};
    mms::ReadRequest request;
    for (const VariableRef& v : variables)
        request.access.variables.push_back({objectName(v.domain, v.item), {}});
    Result<mms::ReadResponse> r = call<mms::ReadResponse>(std::move(request));
    if (!r.ok())
        return r.error();
    if (r->results.size() != variables.size())
        return protocolError("read answered " + std::to_string(r->results.size()) + " results for " +
                             std::to_string(variables.size()) + " variables");
    return std::move(r->results);
}

Result<std::vector<mms::Value>> MmsConnection::readList(std::string_view domain, std::string_view listName)
{
    mms::ReadRequest request;
    request.specificationWithResult = true;
    request.access = mms::VariableAccessSpec::list(objectName(domain, listName));
    Result<mms::ReadResponse> r = call<mms::ReadResponse>(std::move(request));
    if (!r.ok())
        return r.error();
    return std::move(r->results);
}

Outcome MmsConnection::write(std::string_view domain, std::string_view item, const mms::Value& value)
{
    const VariableRef ref{std::string(domain), std::string(item)};
    Result<std::vector<mms::WriteResult>> r = write(std::span(&ref, 1), std::span(&value, 1));
    if (!r.ok())
        return r.error();
    if (const auto& failure = r->front().failure)
        return dataAccessError(*failure);
    return Done{};
}

Result<std::vector<mms::WriteResult>> MmsConnection::write(std::span<const VariableRef> variables,
                                                           std::span<const mms::Value> values)
{
    if (variables.empty() || variables.size() != values.size())
        return Error{ErrorKind::InvalidArgument, 0, 0, "variables and values do not pair up"};
    mms::WriteRequest request;
    for (const VariableRef& v : variables)
        request.access.variables.push_back({objectName(v.domain, v.item), {}});
    request.data.assign(values.begin(), values.end());
    Result<mms::WriteResponse> r = call<mms::WriteResponse>(std::move(request));
    if (!r.ok())
        return r.error();
    if (r->results.size() != variables.size())
        return protocolError("write answered " + std::to_string(r->results.size()) + " results for " +
                             std::to_string(variables.size()) + " variables");
    return std::move(r->results);
}

Result<std::vector<VariableRef>> MmsConnection::variableListAttributes(std::string_view domain,
                                                                      std::string_view listName)
{
    Result<mms::GetNamedVariableListAttributesResponse> r = call<mms::GetNamedVariableListAttributesResponse>(
        mms::GetNamedVariableListAttributesRequest{objectName(domain, listName)});
    if (!r.ok())
        return r.error();
    std::vector<VariableRef> members;
    members.reserve(r->variables.size());
    for (const mms::VariableSpec& v : r->variables)
        members.push_back(toRef(v.name));
    return members;
}

Outcome MmsConnection::defineVariableList(std::string_view domain, std::string_view listName,
                                          std::span<const VariableRef> members)
{
    mms::DefineNamedVariableListRequest request;
    request.name = objectName(domain, listName);
    for (const VariableRef& m : members)
        request.variables.push_back({objectName(m.domain, m.item), {}});
    Result<mms::DefineNamedVariableListResponse> r = call<mms::DefineNamedVariableListResponse>(std::move(request));
    if (!r.ok())
        return r.error();
    return Done{};
}

Result<std::uint32_t> MmsConnection::deleteVariableList(std::string_view domain, std::string_view listName)
{
    mms::DeleteNamedVariableListRequest request;
    request.scope = mms::DeleteNamedVariableListRequest::Scope::Specific;
    request.names.push_back(objectName(domain, listName));
    Result<mms::DeleteNamedVariableListResponse> r = call<mms::DeleteNamedVariableListResponse>(std::move(request));
    if (!r.ok())
        return r.error();
    return r->numberDeleted;
}

// ---- Ending ------------------------------------------------------------------

Outcome MmsConnection::conclude()
{
    if (!connected())
        return io_ && io_->lost ? lostError() : Error{ErrorKind::NotConnected, 0, 0, {}};
    Io& io = *io_;
    if (io.concluded)
        return Done{};
    io.concludeAnswer.reset();
    if (Outcome r = sendPdu(mms::Pdu{mms::ConcludeRequest{}}); !r.ok())
        return r;
    Outcome r = serveUntil(deadlineAfter(requestTimeoutMs_), [&io] { return io.concludeAnswer.has_value(); });
    if (!r.ok())
        return r;
    if (const auto* e = std::get_if<mms::ConcludeError>(&*io.concludeAnswer))
        return Error{ErrorKind::ServiceError, static_cast<std::int32_t>(e->error.errorClass), e->error.code,
                     "conclude refused"};
    io.concluded = true;
    return Done{};
}

Outcome MmsConnection::release()
{
    if (!connected())
        return io_ && io_->lost ? lostError() : Error{ErrorKind::NotConnected, 0, 0, {}};
    if (Outcome r = io_->concluded ? Outcome(Done{}) : conclude(); !r.ok()) {
        abort();
        return r;
    }
    Io& io = *io_;
    io.association->release();
    Outcome r = serveUntil(deadlineAfter(requestTimeoutMs_), [&io] { return io.released; });
    // A server may close TCP right after its release answer.
    if (!r.ok() && !io.peerClosed) {
        abort();
        return r;
    }
    close();
    return Done{};
}

void MmsConnection::abort()
{
    if (!io_)
        return;
    if (io_->socket.valid() && io_->association && !io_->association->closed() && !io_->lost) {
        io_->association->abort();
        const iso::OutputQueue& out = io_->association->output();
        if (!out.empty())
            (void)io_->socket.send(out.pending());
    }
    close();
}

void MmsConnection::close()
{
    if (handlerDepth_ == 0) {
        io_.reset();
    } else if (io_) {
        // A request may be waiting below the handler: keep its state alive.
        io_->socket.close();
        io_->markLost("closed");
    }
}

}  // namespace iec61850::client
