// A log storage in an SQLite file (WAL mode), kept across restarts. Appends
// go through a bounded queue to a writer thread that stores them in one
// transaction per batch, so a killed process leaves a prefix of its entries.
// The writer numbers entries as it stores them, so numbers stay dense when
// entries are lost; every loss is counted, and the first of a run of losses
// is told (platform::notice). Queries first wait for queued entries.
#pragma once

#include "iec61850/ied/log_storage.hpp"

#include <condition_variable>
#include <memory>
#include <string>
#include <thread>

struct sqlite3;

namespace iec61850::ied {

// What is kept: the newest entries within both bounds; the oldest go first.
struct SqliteLogOptions {
    std::size_t maxEntries = 10000;
    std::uint64_t maxBytes = 0;        // pages the entries use in the file (0: no bound)
    std::size_t queueCapacity = 1024;  // appends beyond this are refused (and counted as lost)
    int busyTimeoutMs = 200;
};

class SqliteLogStorage : public LogStorage {
public:
    // nullptr when the file cannot be opened or is not a log database.
    static std::unique_ptr<SqliteLogStorage> open(const std::string& path, SqliteLogOptions options = {});
    ~SqliteLogStorage() override;  // writes what is queued
    SqliteLogStorage(const SqliteLogStorage&) = delete;
    SqliteLogStorage& operator=(const SqliteLogStorage&) = delete;

    bool append(LogEntry entry) override;
    std::vector<LogEntry> query(const LogQuery& q) override;
    std::optional<LogPosition> oldest() override;
    std::optional<LogPosition> newest() override;

    // Waits until everything queued so far is in the database; false if a
    // write failed since the last flush.
    bool flush();
    std::size_t size();
    // Entries refused or not written since the storage was opened.
    std::uint64_t lost();

private:
    SqliteLogStorage(std::string path, sqlite3* writer, sqlite3* reader, SqliteLogOptions options);
    void writerLoop();
    void waitForWriter();
    bool writeBatch(const std::vector<LogEntry>& batch, std::string& error);
    // Counts lost entries; the first loss after a stored batch returns the line to tell.
    std::optional<std::string> lose(std::size_t count, const std::string& why);
    std::optional<LogPosition> edge(bool newestEntry);

    const std::string path_;
    sqlite3* writerDb_;
    sqlite3* readerDb_;
    SqliteLogOptions options_;
    std::uint64_t lastNumber_ = 0;  // of the newest stored entry; the writer's

    std::mutex queueMutex_;
    std::condition_variable queued_;
    std::condition_variable drained_;
    std::vector<LogEntry> queue_;
    bool writing_ = false;
    bool stopping_ = false;
    bool failed_ = false;
    bool losing_ = false;  // entries lost since the last stored batch
    std::uint64_t lost_ = 0;

    std::mutex readerMutex_;
    std::thread writer_;
};

// The stored form of an entry's values, and back (false on bytes that are not one).
Bytes encodeLogValues(const std::vector<LogValue>& values);
bool decodeLogValues(ByteView bytes, std::vector<LogValue>& out);

}  // namespace iec61850::ied
