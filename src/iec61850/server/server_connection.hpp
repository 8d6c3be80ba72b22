// The server side of one MMS association, without a socket: feed it the
// client's bytes with receive(), send what output() holds. It owns the ISO
// association and answers the MMS services from an MmsDataModel.
#pragma once

#include "iec61850/iso/association.hpp"
#include "iec61850/server/data_model.hpp"
#include "iec61850/server/file_services.hpp"

#include <cstdint>
#include <span>
#include <string>

namespace iec61850::server {

struct Identity {
    std::string vendor = "Brenvolta";
    std::string model = "generic libIEC";
    std::string revision = "1.5";
};

struct ServerConfig {
    std::int32_t maxPduSize = 65000;          // our side of the max PDU size negotiation
    std::int16_t maxServOutstanding = 5;
    std::int8_t maxNestingLevel = 10;
    Identity identity;
    std::size_t maxTpduSize = 8192;
    // Runtime only.
    std::size_t maxConnections = 5;
    // A client that has not associated within this time is dropped (0: never).
    std::uint32_t associateTimeoutMs = 30000;
    std::size_t maxQueuedOutput = 256 * 1024;  // per connection; raised to 2 PDUs if smaller
    // TCP keepalive on every connection, so that a peer gone without a word
    // (power lost, cable cut) frees its slot after idle + probes x interval
    // seconds; a live client that is silent answers the probes and stays.
    int keepAliveIdleSeconds = 60;  // 0: no keepalive
    int keepAliveIntervalSeconds = 10;
    int keepAliveProbes = 3;
};

// What a connection may queue for sending before its input waits undecoded:
// maxQueuedOutput, but at least two PDUs and some.
std::size_t outputBound(const ServerConfig& config);

// Smallest max PDU size we agree to.
constexpr std::int32_t kMinPduSize = 64;

class ServerConnection {
public:
    ServerConnection(MmsDataModel& model, const ServerConfig& config, ClientContext client = {});
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Decodes and answers what it can of the bytes; what waits while the
    // output is over the bound stays buffered: call again (with more bytes
    // or none) once enough of the output has been sent.
    void receive(ByteView bytes);
    // Bytes to send; the owner consumes what it has sent.
    iso::OutputQueue& output() { return association_.output(); }
    const iso::OutputQueue& output() const { return association_.output(); }
    // At the bound: input waits undecoded (and the runtime sends no reports).
    bool outputFull() const { return output().size() >= outputBound_; }
    std::size_t bufferedInput() const { return association_.bufferedInput(); }

    bool associated() const { return association_.state() == iso::State::Associated; }
    bool closed() const { return association_.closed(); }
    iso::CloseReason closeReason() const { return association_.closeReason(); }
    bool concluded() const { return concluded_; }
    // The negotiated max PDU size (ours until the association is set up).
    std::int32_t maxPduSize() const { return maxPduSize_; }
    std::int16_t maxServOutstandingCalling() const { return outstandingCalling_; }
    std::int16_t maxServOutstandingCalled() const { return outstandingCalled_; }
    std::int8_t nestingLevel() const { return nestingLevel_; }

    // The file store the file services use (nullptr: none). Not owned.
    void setFileStore(const FileStore* store) { files_.setStore(store); }
    std::size_t openFileCount() const { return files_.openFileCount(); }

    ClientContext& client() { return client_; }
    const ClientContext& client() const { return client_; }

    // Queues an unconfirmed informationReport. False when not associated or
    // when the report does not fit the negotiated PDU size.
    bool sendInformationReport(const mms::VariableAccessSpec& access, std::span<const mms::Value* const> values);

    void abort() { association_.abort(); }

private:
    bool onAssociate(ByteView request, Bytes& response);
    // Settles the association parameters; the initiate error code if refused.
    std::optional<std::int32_t> negotiate(const mms::InitiateParameters& proposed);
    mms::InitiateParameters answer(const mms::InitiateParameters& proposed) const;
    void onData(ByteView pdu);

    // Answers a confirmed request with serve() unless the client exceeds the
    // negotiated number of outstanding requests.
    template <class Serve>
    void answerConfirmed(std::uint32_t invokeId, Serve&& serve);
    void handleConfirmed(const mms::ConfirmedRequest& request);
    void serveRead(const mms::ReadRequestView& r);
    void encodeReadResult(const mms::ObjectNameView& name, ByteView alternateAccess);
    void serve(std::uint32_t invokeId, const mms::StatusRequest&);
    void serve(std::uint32_t invokeId, const mms::GetNameListRequest& r);
    void serve(std::uint32_t invokeId, const mms::IdentifyRequest&);
    void serve(std::uint32_t invokeId, const mms::WriteRequest& r);
    void serve(std::uint32_t invokeId, const mms::GetVariableAccessAttributesRequest& r);
    void serve(std::uint32_t invokeId, const mms::DefineNamedVariableListRequest&);
    void serve(std::uint32_t invokeId, const mms::GetNamedVariableListAttributesRequest& r);
    void serve(std::uint32_t invokeId, const mms::DeleteNamedVariableListRequest& r);
    void serve(std::uint32_t invokeId, const mms::UnrecognizedService& r);
    void serveJournal(std::uint32_t invokeId, const mms::ReadJournalRequest& r);

    // Resolves the variables a read or write addresses; false (and an error
    // sent) when a named list does not exist.
    bool resolveVariables(std::uint32_t invokeId, const mms::VariableAccessSpec& access,
                          std::vector<mms::VariableSpec>& listMembers,
                          std::span<const mms::VariableSpec>& variables);
    void rejectMalformed(ByteView pdu);
    bool answerToOurRequest(const mms::Pdu& pdu);

    // Starts writer_ over for the next PDU, with room for the lower layers' headers.
    ber::Writer& startPdu();
    void sendPdu(const mms::Pdu& pdu);
    // Sends what writer_ holds, or the pdu-size error when it is too large.
    void sendEncodedResponse(std::uint32_t invokeId);
    void sendError(std::uint32_t invokeId, mms::ErrorClass cls, std::int32_t code);
    void sendError(std::uint32_t invokeId, const mms::ServiceError& error);
    void sendReject(std::optional<std::uint32_t> invokeId, mms::RejectClass cls, std::int32_t code);

    MmsDataModel& model_;
    ServerConfig config_;
    ClientContext client_;
    iso::ServerAssociation association_;
    ber::Writer writer_;
    ber::Writer reportWriter_;
    mms::ReadRequestView readRequest_;  // kept for its storage
    // Where in the output stream the answers the socket has not taken yet end.
    std::vector<std::uint64_t> unsentAnswers_;
    std::int32_t maxPduSize_;
    std::size_t outputBound_;
    std::int16_t outstandingCalling_ = 1;
    std::int16_t outstandingCalled_ = 1;
    std::int8_t nestingLevel_ = 0;
    bool concluded_ = false;
    FileServices files_;
};

// The parameter CBB and services-supported bits this server answers; with a
// file store it adds the file services.
Bytes supportedParameterCbb(std::uint32_t& bitCount);
Bytes supportedServices(std::uint32_t& bitCount);
void addFileServices(Bytes& servicesSupported);

}  // namespace iec61850::server
