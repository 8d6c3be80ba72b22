#include "iec61850/ied/sqlite_log_storage.hpp"

#include "iec61850/platform/notice.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace iec61850::ied {

namespace {

constexpr ber::Tag kSequence = ber::universal(ber::universal_tag::Sequence, true);
constexpr ber::Tag kReference = ber::universal(ber::universal_tag::VisibleString);
constexpr int kMaxValueDepth = 16;

// Prepared statement, finalized on scope exit.
class Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    Statement& bind(int i, std::int64_t v)
    {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& bind(int i, ByteView v)
    {
        sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
    void reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    ByteView blob(int column) const
    {
        const void* data = sqlite3_column_blob(stmt_, column);
        int size = sqlite3_column_bytes(stmt_, column);
        return data ? ByteView(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)) : ByteView{};
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::int64_t toColumn(std::uint64_t ms)
{
    return static_cast<std::int64_t>(std::min<std::uint64_t>(ms, std::numeric_limits<std::int64_t>::max()));
}

std::uint64_t fromColumn(std::int64_t v)
{
    return v < 0 ? 0 : static_cast<std::uint64_t>(v);
}

ByteView idView(const EntryId& id)
{
    return {id.data(), id.size()};
}

bool readId(ByteView blob, EntryId& id)
{
    if (blob.size() != id.size())
        return false;
    std::copy(blob.begin(), blob.end(), id.begin());
    return true;
}

sqlite3* openDatabase(const std::string& path, int busyTimeoutMs)
{
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyTimeoutMs);
    return db;
}

bool setUp(sqlite3* db)
{
    // The write-ahead log shrinks back after each checkpoint.
    return exec(db, "PRAGMA journal_mode=WAL") && exec(db, "PRAGMA synchronous=NORMAL") &&
           exec(db, "PRAGMA journal_size_limit=1048576") &&
           exec(db,
                "CREATE TABLE IF NOT EXISTS log_entries ("
                "seq INTEGER PRIMARY KEY, time INTEGER NOT NULL, id BLOB NOT NULL, data BLOB NOT NULL)") &&
           exec(db, "CREATE INDEX IF NOT EXISTS log_entries_time ON log_entries(time)");
}

// The first column of the first row, 0 when there is none (or it is NULL).
std::int64_t integerOf(sqlite3* db, const char* sql)
{
    Statement s(db, sql);
    return s.step() == SQLITE_ROW ? s.integer(0) : 0;
}

bool deleteOldest(sqlite3* db, std::int64_t count)
{
    Statement del(db, "DELETE FROM log_entries WHERE seq IN (SELECT seq FROM log_entries ORDER BY seq LIMIT ?1)");
    return del && del.bind(1, count).step() == SQLITE_DONE;
}

// Drops the oldest entries beyond the bounds. Over maxBytes (the pages in
// use; freed ones are used again) it drops a sixteenth of the bound more
// than needed, so that not every batch trims, but never the newest entry.
bool trim(sqlite3* db, const SqliteLogOptions& options)
{
    // seq runs without gaps: rows are added at the end and dropped at the start.
    const std::int64_t count = integerOf(db, "SELECT max(seq) - min(seq) + 1 FROM log_entries");
    const auto maxCount = std::min<std::uint64_t>(options.maxEntries, std::numeric_limits<std::int64_t>::max());
    std::int64_t drop = count - static_cast<std::int64_t>(maxCount);
    const auto usedBytes = static_cast<std::uint64_t>(
        (integerOf(db, "PRAGMA page_count") - integerOf(db, "PRAGMA freelist_count")) * integerOf(db, "PRAGMA page_size"));
    if (options.maxBytes > 0 && usedBytes > options.maxBytes && count > 0) {
        const std::uint64_t excess = usedBytes - options.maxBytes + options.maxBytes / 16;
        const auto byBytes = static_cast<std::int64_t>(excess / (usedBytes / static_cast<std::uint64_t>(count) + 1) + 1);
        drop = std::max(drop, std::min(byBytes, count - 1));
    }
    return drop <= 0 || deleteOldest(db, drop);
}

std::uint64_t newestNumber(sqlite3* db)
{
    Statement newest(db, "SELECT id FROM log_entries ORDER BY seq DESC LIMIT 1");
    EntryId id{};
    if (newest.step() != SQLITE_ROW || !readId(newest.blob(0), id))
        return 0;
    return entryIdToNumber(id);
}

// The first seq a query may return; nullopt when nothing can follow.
std::optional<std::int64_t> startSeq(sqlite3* db, const LogQuery& q)
{
    if (!q.after)
        return std::numeric_limits<std::int64_t>::min();
    Statement exact(db, "SELECT seq FROM log_entries WHERE time = ?1 AND id = ?2 ORDER BY seq LIMIT 1");
    if (exact && exact.bind(1, toColumn(q.after->timeMs)).bind(2, idView(q.after->id)).step() == SQLITE_ROW)
        return exact.integer(0) + 1;
    // Ids are big-endian counters of one length: as blobs they compare as numbers.
    Statement later(db, "SELECT min(seq) FROM log_entries WHERE time > ?1 OR (time = ?1 AND id > ?2)");
    if (later && later.bind(1, toColumn(q.after->timeMs)).bind(2, idView(q.after->id)).step() == SQLITE_ROW &&
        sqlite3_column_type(later.get(), 0) != SQLITE_NULL)
        return later.integer(0);
    return std::nullopt;
}

}  // namespace

Bytes encodeLogValues(const std::vector<LogValue>& values)
{
    ber::Writer w;
    for (const LogValue& v : values) {
        const auto seq = w.begin(kSequence);
        w.string(kReference, v.reference);
        const auto value = w.begin(ber::context(1, true));
        v.value.encode(w);
        w.end(value);
        if (v.reasonCode) {
            const auto reason = w.begin(ber::context(2, true));
            v.reasonCode->encode(w);
            w.end(reason);
        }
        w.end(seq);
    }
    return w.take();
}

namespace {

bool decodeInner(const ber::Element& e, mms::Value& out)
{
    ber::Element data;
    return ber::decodeElement(e.content, data) == ber::Status::Ok && data.whole.size() == e.content.size() &&
           mms::Value::decodeData(data, out, kMaxValueDepth) == ber::Status::Ok;
}

bool decodeLogValue(const ber::Element& e, LogValue& out)
{
    ber::Reader top(ByteView{}), fields(ByteView{});
    ber::Element f;
    if (e.tag != kSequence || top.enter(e, fields) != ber::Status::Ok)
        return false;
    if (fields.next(f) != ber::Status::Ok || f.tag != kReference)
        return false;
    out.reference.assign(f.content.begin(), f.content.end());
    if (fields.next(f) != ber::Status::Ok || f.tag != ber::context(1, true) || !decodeInner(f, out.value))
        return false;
    if (!fields.atEnd()) {
        mms::Value reason;
        if (fields.next(f) != ber::Status::Ok || f.tag != ber::context(2, true) || !decodeInner(f, reason))
            return false;
        out.reasonCode = std::move(reason);
    }
    return fields.atEnd();
}

}  // namespace

bool decodeLogValues(ByteView bytes, std::vector<LogValue>& out)
{
    ber::Reader r(bytes);
    std::vector<LogValue> values;
    while (!r.atEnd()) {
        ber::Element e;
        LogValue v;
        if (r.next(e) != ber::Status::Ok || !decodeLogValue(e, v))
            return false;
        values.push_back(std::move(v));
    }
    out = std::move(values);
    return true;
}

std::unique_ptr<SqliteLogStorage> SqliteLogStorage::open(const std::string& path, SqliteLogOptions options)
{
    sqlite3* writer = openDatabase(path, options.busyTimeoutMs);
    if (!writer)
        return nullptr;
    if (!setUp(writer) || !trim(writer, options)) {
        sqlite3_close(writer);
        return nullptr;
    }
    sqlite3* reader = openDatabase(path, options.busyTimeoutMs);
    if (!reader) {
        sqlite3_close(writer);
        return nullptr;
    }
    return std::unique_ptr<SqliteLogStorage>(new SqliteLogStorage(path, writer, reader, options));
}

SqliteLogStorage::SqliteLogStorage(std::string path, sqlite3* writer, sqlite3* reader, SqliteLogOptions options)
    : path_(std::move(path)), writerDb_(writer), readerDb_(reader), options_(options),
      lastNumber_(newestNumber(writer)), writer_([this] { writerLoop(); })
{
}

SqliteLogStorage::~SqliteLogStorage()
{
    {
        std::lock_guard lock(queueMutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    writer_.join();
    sqlite3_close(readerDb_);
    sqlite3_close(writerDb_);
}

bool SqliteLogStorage::append(LogEntry entry)
{
    std::optional<std::string> tell;
    {
        std::lock_guard lock(queueMutex_);
        if (stopping_)
            return false;
        if (queue_.size() < options_.queueCapacity) {
            queue_.push_back(std::move(entry));
            queued_.notify_one();
            return true;
        }
        tell = lose(1, "the write queue is full");
    }
    if (tell)
        platform::notice(*tell);
    return false;
}

std::optional<std::string> SqliteLogStorage::lose(std::size_t count, const std::string& why)
{
    const std::uint64_t before = lost_;
    lost_ += count;
    if (std::exchange(losing_, true))
        return std::nullopt;
    return "Log entries lost in " + path_ + ": " + why + " (" + std::to_string(before) + " lost before)";
}

std::uint64_t SqliteLogStorage::lost()
{
    std::lock_guard lock(queueMutex_);
    return lost_;
}

void SqliteLogStorage::writerLoop()
{
    std::unique_lock lock(queueMutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        std::vector<LogEntry> batch;
        batch.swap(queue_);
        writing_ = true;
        lock.unlock();
        std::string error;
        const bool ok = writeBatch(batch, error);
        lock.lock();
        writing_ = false;
        failed_ = failed_ || !ok;
        if (ok) {
            losing_ = false;
        } else if (auto tell = lose(batch.size(), "writing failed: " + error)) {
            lock.unlock();
            platform::notice(*tell);
            lock.lock();
        }
        if (queue_.empty() && !writing_)
            drained_.notify_all();
    }
}

bool SqliteLogStorage::writeBatch(const std::vector<LogEntry>& batch, std::string& error)
{
    if (!exec(writerDb_, "BEGIN IMMEDIATE")) {
        error = sqlite3_errmsg(writerDb_);
        return false;
    }
    Statement insert(writerDb_, "INSERT INTO log_entries (time, id, data) VALUES (?1, ?2, ?3)");
    bool ok = static_cast<bool>(insert);
    std::uint64_t number = lastNumber_;
    for (const LogEntry& e : batch) {
        if (!ok)
            break;
        const Bytes data = encodeLogValues(e.values);
        const EntryId id = entryIdFromNumber(++number);
        ok = insert.bind(1, toColumn(e.timeMs)).bind(2, idView(id)).bind(3, ByteView(data)).step() == SQLITE_DONE;
        insert.reset();
    }
    ok = ok && trim(writerDb_, options_) && exec(writerDb_, "COMMIT");
    if (!ok) {
        error = sqlite3_errmsg(writerDb_);
        exec(writerDb_, "ROLLBACK");
        return false;
    }
    lastNumber_ = number;
    return true;
}

void SqliteLogStorage::waitForWriter()
{
    std::unique_lock lock(queueMutex_);
    drained_.wait(lock, [this] { return queue_.empty() && !writing_; });
}

bool SqliteLogStorage::flush()
{
    std::unique_lock lock(queueMutex_);
    drained_.wait(lock, [this] { return queue_.empty() && !writing_; });
    bool ok = !failed_;
    failed_ = false;
    return ok;
}

std::vector<LogEntry> SqliteLogStorage::query(const LogQuery& q)
{
    waitForWriter();
    std::vector<LogEntry> out;
    std::lock_guard lock(readerMutex_);
    exec(readerDb_, "BEGIN");  // one snapshot for both statements
    std::optional<std::int64_t> start = startSeq(readerDb_, q);
    Statement select(readerDb_,
                     "SELECT time, id, data FROM log_entries WHERE seq >= ?1 AND time >= ?2 AND time <= ?3 "
                     "ORDER BY seq LIMIT ?4");
    if (start && select && q.maxEntries > 0) {
        select.bind(1, *start)
            .bind(2, q.fromMs ? toColumn(*q.fromMs) : std::numeric_limits<std::int64_t>::min())
            .bind(3, q.toMs ? toColumn(*q.toMs) : std::numeric_limits<std::int64_t>::max())
            .bind(4, static_cast<std::int64_t>(std::min<std::size_t>(q.maxEntries, 1u << 20)));
        while (select.step() == SQLITE_ROW) {
            LogEntry e;
            e.timeMs = fromColumn(select.integer(0));
            if (readId(select.blob(1), e.id) && decodeLogValues(select.blob(2), e.values))
                out.push_back(std::move(e));
        }
    }
    exec(readerDb_, "COMMIT");
    return out;
}

std::optional<LogPosition> SqliteLogStorage::edge(bool newestEntry)
{
    waitForWriter();
    std::lock_guard lock(readerMutex_);
    Statement select(readerDb_, newestEntry ? "SELECT time, id FROM log_entries ORDER BY seq DESC LIMIT 1"
                                            : "SELECT time, id FROM log_entries ORDER BY seq LIMIT 1");
    LogPosition p;
    if (select.step() != SQLITE_ROW || !readId(select.blob(1), p.id))
        return std::nullopt;
    p.timeMs = fromColumn(select.integer(0));
    return p;
}

std::optional<LogPosition> SqliteLogStorage::oldest()
{
    return edge(false);
}

std::optional<LogPosition> SqliteLogStorage::newest()
{
    return edge(true);
}

std::size_t SqliteLogStorage::size()
{
    waitForWriter();
    std::lock_guard lock(readerMutex_);
    Statement count(readerDb_, "SELECT count(*) FROM log_entries");
    return count.step() == SQLITE_ROW ? static_cast<std::size_t>(count.integer(0)) : 0;
}

}  // namespace iec61850::ied
