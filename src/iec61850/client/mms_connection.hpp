// A synchronous MMS client over one TCP connection. All socket I/O happens
// in the calling thread: a request sends, then serves the socket until its
// answer arrives or its timeout passes. Information reports that arrive
// meanwhile go to the report handler. Not thread-safe: one thread per
// connection.
#pragma once

#include "iec61850/client/result.hpp"
#include "iec61850/iso/association.hpp"
#include "iec61850/mms/file_service.hpp"
#include "iec61850/mms/pdu.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace iec61850::client {

struct ConnectOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 102;
    int connectTimeoutMs = 5000;     // TCP connect and association
    int requestTimeoutMs = 5000;     // each confirmed request
    std::int32_t maxPduSize = 65000;
    std::int16_t maxServOutstanding = 5;
    std::int8_t nestingLevel = 10;
    iso::AddressSelectors local;
    iso::AddressSelectors remote;
};

// What the server agreed to in the initiate response.
struct Negotiated {
    std::int32_t maxPduSize = 0;
    std::int16_t maxServOutstandingCalling = 0;
    std::int16_t maxServOutstandingCalled = 0;
    std::int8_t nestingLevel = 0;
    Bytes servicesSupported;
    std::uint32_t servicesSupportedBits = 0;

    bool supports(std::uint32_t serviceBit) const;
};

// A named variable: domain "" means VMD-specific.
struct VariableRef {
    std::string domain;
    std::string item;
};

using ReportHandler = std::function<void(const mms::InformationReport&)>;

class MmsConnection {
public:
    MmsConnection();
    ~MmsConnection();  // aborts a live association
    MmsConnection(const MmsConnection&) = delete;
    MmsConnection& operator=(const MmsConnection&) = delete;

    // TCP connect, then COTP/session/presentation/ACSE association with the
    // MMS initiate exchange.
    Outcome connect(const ConnectOptions& options);
    bool connected() const;
    const Negotiated& negotiated() const { return negotiated_; }
    void setRequestTimeout(int ms) { requestTimeoutMs_ = ms; }

    // Called with each information report, also while a request waits. The
    // handler may make requests; closing from it ends the connection.
    void setReportHandler(ReportHandler handler) { reportHandler_ = std::move(handler); }

    Result<mms::IdentifyResponse> identify();
    Result<mms::StatusResponse> status();

    // Whole lists: continuation requests are made until the server says no more follow.
    Result<std::vector<std::string>> domainNames();
    Result<std::vector<std::string>> variableNames(std::string_view domain);
    Result<std::vector<std::string>> variableListNames(std::string_view domain);
    Result<std::vector<std::string>> journalNames(std::string_view domain);
    Result<std::vector<std::string>> nameList(mms::ObjectClass cls, std::string_view domain);

    Result<mms::TypeDescription> variableAccessAttributes(std::string_view domain, std::string_view item);

    // One variable; `item` may carry a `$` component path. A failed item
    // gives ErrorKind::DataAccess with the DataAccessError as code.
    Result<mms::Value> read(std::string_view domain, std::string_view item);
    // Several variables: one result each, failures as error values.
    Result<std::vector<mms::Value>> read(std::span<const VariableRef> variables);
    // The members of a named variable list, failures as error values.
    Result<std::vector<mms::Value>> readList(std::string_view domain, std::string_view listName);

    Outcome write(std::string_view domain, std::string_view item, const mms::Value& value);
    Result<std::vector<mms::WriteResult>> write(std::span<const VariableRef> variables,
                                                std::span<const mms::Value> values);

    Result<std::vector<VariableRef>> variableListAttributes(std::string_view domain, std::string_view listName);
    Outcome defineVariableList(std::string_view domain, std::string_view listName,
                               std::span<const VariableRef> members);
    // The number of lists the server deleted.
    Result<std::uint32_t> deleteVariableList(std::string_view domain, std::string_view listName);

    // File services; names are relative to the server's file store.
    // The whole listing of a directory (empty: the store), continuations included.
    Result<std::vector<mms::DirectoryEntry>> fileDirectory(std::string_view path = {});
    // The whole file: open, read until no more follows, close.
    Result<Bytes> fileRead(std::string_view name);
    Outcome fileDelete(std::string_view name);
    Outcome fileRename(std::string_view currentName, std::string_view newName);

    // ReadJournal. One answer: the entries in a time range (bounds in ms
    // since 1970, both optional), or those after a given entry.
    Result<mms::ReadJournalResponse> readJournal(std::string_view domain, std::string_view journal,
                                                 std::optional<std::uint64_t> fromMs = {},
                                                 std::optional<std::uint64_t> toMs = {});
    Result<mms::ReadJournalResponse> readJournalAfter(std::string_view domain, std::string_view journal,
                                                      std::uint64_t afterTimeMs, ByteView afterEntry,
                                                      std::optional<std::uint64_t> toMs = {});
    // Every entry in the range: continues after the last entry while more follow.
    Result<std::vector<mms::JournalEntry>> readWholeJournal(std::string_view domain, std::string_view journal,
                                                            std::optional<std::uint64_t> fromMs = {},
                                                            std::optional<std::uint64_t> toMs = {});

    // Serves the socket until reports have come or timeoutMs has passed (0:
    // only what is already there), handing each to the handler; returns how
    // many came (0 on timeout).
    Result<std::size_t> waitForReports(int timeoutMs);
    Result<std::size_t> poll() { return waitForReports(0); }

    // MMS conclude only: no more requests; the association stays until release().
    Outcome conclude();
    // Orderly end: conclude, ACSE release, close.
    Outcome release();
    // ACSE abort and close.
    void abort();
    // Closes the socket without a word.
    void close();

    // Any confirmed request; the raw answer, checked only for its kind.
    Result<mms::ConfirmedResponseService> request(mms::ConfirmedRequestService service);

private:
    struct Io;

    Result<mms::ConfirmedResponseService> transact(mms::ConfirmedRequestService&& service);
    template <typename Response>
    Result<Response> call(mms::ConfirmedRequestService service);

    Outcome associate(const ConnectOptions& options);
    Outcome sendPdu(const mms::Pdu& pdu);
    // Serves the socket until done() or the deadline.
    Outcome serveUntil(std::uint64_t deadline, const std::function<bool()>& done);
    void readSome(int waitMs);
    Outcome flush(std::uint64_t deadline);
    void onData(ByteView pdu);
    std::size_t dispatchReports();
    Error lostError() const;

    std::unique_ptr<Io> io_;
    Negotiated negotiated_;
    int requestTimeoutMs_ = 5000;
    std::uint32_t nextInvokeId_ = 1;
    ReportHandler reportHandler_;
    int handlerDepth_ = 0;
};

}  // namespace iec61850::client
