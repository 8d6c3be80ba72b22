// Log storages: queries, the bounds by count and by bytes, reopening, losses
// told once per run without a gap in the numbers, a writer killed mid-write,
// and the stored value bytes.
#include "ied_test_support.hpp"

#include "iec61850/ied/log_storage.hpp"
#include "iec61850/ied/sqlite_log_storage.hpp"
#include "iec61850/platform/notice.hpp"
#include "../mms/value_generator.hpp"

#include <sqlite3.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace ied_test {
namespace {

using namespace iec61850;
using namespace iec61850::ied;
using Numbers = std::vector<std::uint64_t>;

LogEntry entry(std::uint64_t n, std::uint64_t timeMs)
{
    const mms::Value value = mms::Value::integer(static_cast<std::int64_t>(n));
    return {timeMs, entryIdFromNumber(n), {{"CLS1/LLN0$ST$Mod$stVal", value, bits(7, {1})}}};
}

Numbers numbers(const std::vector<LogEntry>& entries)
{
    Numbers out;
    for (const LogEntry& e : entries)
        out.push_back(entryIdToNumber(e.id));
    return out;
}

// What the storages tell, line by line.
class Told {
public:
    Told() : previous_(platform::setNoticeSink([this](const std::string& line) { lines.push_back(line); })) {}
    ~Told() { platform::setNoticeSink(previous_); }
    std::vector<std::string> lines;

private:
    platform::NoticeSink previous_;
};

// Both storages answer queries the same way, and keep the newest entries up to their bound.
class StorageTest : public ::testing::TestWithParam<bool> {
protected:
    std::unique_ptr<LogStorage> make(std::size_t capacity)
    {
        if (!GetParam())
            return std::make_unique<MemoryLogStorage>(capacity);
        return SqliteLogStorage::open(dir_.file("log.db"), {.maxEntries = capacity});
    }
    TempDir dir_;
};

TEST_P(StorageTest, QueriesByRangeAfterEntryAndBound)
{
    auto s = make(6);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->oldest());
    // Times 1000, 1000, 2000, 3000, 3000, 4000 (two entries share a time); the first is dropped.
    const std::uint64_t times[] = {0, 1000, 1000, 2000, 3000, 3000, 4000};
    for (std::uint64_t i = 0; i < 7; ++i)
        ASSERT_TRUE(s->append(entry(i + 1, times[i])));
    EXPECT_EQ(numbers(s->query({})), (Numbers{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(numbers(s->query({.fromMs = 2000, .toMs = 3000})), (Numbers{4, 5, 6}));
    EXPECT_EQ(numbers(s->query({.maxEntries = 2})), (Numbers{2, 3}));
    // After an entry: by time and id, so entries sharing its time still follow.
    EXPECT_EQ(numbers(s->query({.after = LogPosition{1000, entryIdFromNumber(2)}})), (Numbers{3, 4, 5, 6, 7}));
    EXPECT_EQ(numbers(s->query({.after = LogPosition{3000, entryIdFromNumber(5)}, .maxEntries = 1})), Numbers{6});
    // A gone entry: what would follow it, by time, then id among entries of its time.
    EXPECT_EQ(numbers(s->query({.after = LogPosition{2500, entryIdFromNumber(99)}})), (Numbers{5, 6, 7}));
    EXPECT_EQ(numbers(s->query({.after = LogPosition{0, entryIdFromNumber(1)}})).front(), 2u);
    EXPECT_EQ(numbers(s->query({.toMs = 3000, .after = LogPosition{1000, entryIdFromNumber(3)}})), (Numbers{4, 5, 6}));
    EXPECT_EQ(s->oldest(), (LogPosition{1000, entryIdFromNumber(2)}));
    EXPECT_EQ(s->newest(), (LogPosition{4000, entryIdFromNumber(7)}));
    EXPECT_EQ(s->query({.fromMs = 4000}).at(0), entry(7, 4000));
}

INSTANTIATE_TEST_SUITE_P(Storages, StorageTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Sqlite" : "Memory"; });

TEST(SqliteLogStorage, KeepsTheNewestEntriesWithinItsByteBoundAndAcrossReopen)
{
    TempDir dir;
    const std::string path = dir.file("log.db");
    constexpr std::uint64_t kBound = 256 * 1024;
    {
        auto s = SqliteLogStorage::open(path, {.maxEntries = 1000000, .maxBytes = kBound});
        ASSERT_TRUE(s);
        for (std::uint64_t n = 1; n <= 10000; ++n)
            while (!s->append(entry(n, n)))
                ASSERT_TRUE(s->flush());
        const std::vector<LogEntry> kept = s->query({.maxEntries = 10000});
        ASSERT_GT(kept.size(), 1000u);
        ASSERT_LT(kept.size(), 5000u);
        EXPECT_EQ(entryIdToNumber(kept.back().id), 10000u);
        EXPECT_EQ(entryIdToNumber(kept.back().id) - entryIdToNumber(kept.front().id) + 1, kept.size());
        ASSERT_TRUE(s->append(entry(0, 10001)));
    }  // destruction writes what is queued
    // Freed pages are used again: the file stays near the bound.
    EXPECT_LT(std::filesystem::file_size(path), kBound + kBound / 2);
    auto s = SqliteLogStorage::open(path, {.maxEntries = 3});
    ASSERT_TRUE(s);
    EXPECT_EQ(numbers(s->query({})), (Numbers{9999, 10000, 10001}));
}

TEST(SqliteLogStorage, RefusesOtherFilesAndAppendsBeyondItsQueueRatherThanBlocking)
{
    TempDir dir;
    std::ofstream(dir.file("garbage.db")) << std::string(4096, 'x');
    EXPECT_FALSE(SqliteLogStorage::open(dir.file("garbage.db")));
    EXPECT_FALSE(SqliteLogStorage::open(dir.file("missing-dir/log.db")));
    Told told;
    auto s = SqliteLogStorage::open(dir.file("log.db"), {.queueCapacity = 0});
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->append(entry(1, 1)));
    EXPECT_FALSE(s->append(entry(2, 2)));
    EXPECT_EQ(s->size(), 0u);
    EXPECT_EQ(s->lost(), 2u);
    EXPECT_EQ(told.lines,
              std::vector<std::string>{"Log entries lost in " + dir.file("log.db") + ": the write queue is full (0 lost before)"});
}

// Another connection holds the write lock: batches fail. Each run of losses
// is told once, and the entries stored after it are numbered on without a gap.
TEST(SqliteLogStorage, LostBatchesAreCountedToldOncePerRunAndLeaveNoGapInTheNumbers)
{
    TempDir dir;
    const std::string path = dir.file("log.db");
    Told told;
    auto s = SqliteLogStorage::open(path, {.busyTimeoutMs = 10});
    ASSERT_TRUE(s);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    std::uint64_t time = 0;
    auto lockedRun = [&](std::size_t appends) {
        ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        for (std::size_t i = 0; i < appends; ++i) {
            ASSERT_TRUE(s->append(entry(0, ++time)));
            EXPECT_FALSE(s->flush());
        }
        ASSERT_EQ(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
        ASSERT_TRUE(s->append(entry(0, ++time)));
        EXPECT_TRUE(s->flush());
    };
    lockedRun(2);
    lockedRun(1);
    sqlite3_close(other);
    EXPECT_EQ(s->lost(), 3u);
    const std::string lost = "Log entries lost in " + path + ": writing failed: database is locked";
    EXPECT_EQ(told.lines, (std::vector<std::string>{lost + " (0 lost before)", lost + " (2 lost before)"}));
    const std::vector<LogEntry> kept = s->query({});
    EXPECT_EQ(numbers(kept), (Numbers{1, 2}));
    EXPECT_EQ(kept.back().timeMs, time);
}

// A child appends and reports each flushed count through a pipe; it is
// killed in the middle of writing. The reopened file holds a prefix of what
// was appended, at least everything reported as flushed.
TEST(SqliteLogStorage, AProcessKilledMidWriteLeavesAnIntactPrefix)
{
    TempDir dir;
    const std::string path = dir.file("log.db");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        auto s = SqliteLogStorage::open(path, {.maxEntries = 1000000});
        for (std::uint64_t n = 1; s; ++n) {
            while (!s->append(entry(n, n)))
                s->flush();
            if (n % 50 == 0 && s->flush() && write(pipeFds[1], &n, sizeof n) != sizeof n)
                _exit(3);
        }
        _exit(2);
    }
    close(pipeFds[1]);
    std::uint64_t flushed = 0;
    while (flushed < 500 && read(pipeFds[0], &flushed, sizeof flushed) == sizeof flushed) {
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_GE(flushed, 500u);

    auto s = SqliteLogStorage::open(path, {.maxEntries = 1000000});
    ASSERT_TRUE(s);
    const std::size_t count = s->size();
    EXPECT_GE(count, flushed);
    std::vector<LogEntry> all = s->query({.maxEntries = count});
    ASSERT_EQ(all.size(), count);
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(all[i], entry(i + 1, i + 1)) << i;
    // Still writable after recovery.
    ASSERT_TRUE(s->append(entry(count + 1, count + 1)));
    EXPECT_EQ(s->newest(), (LogPosition{count + 1, entryIdFromNumber(count + 1)}));
}

// The stored value bytes: every generated value, a reason code or none.
TEST(LogValues, EveryGeneratedValueRoundTrips)
{
    std::vector<LogValue> values;
    for (const mms::Value& v : value_generator::everyValue())
        if (v == v)  // NaN is never equal: its bytes are checked by the codec tests
            values.push_back({"CLS1/LLN0$ST$Mod$stVal", v, values.size() % 2 ? std::nullopt : std::optional(bits(7, {1, 2}))});
    std::vector<LogValue> back;
    ASSERT_TRUE(decodeLogValues(encodeLogValues(values), back));
    EXPECT_EQ(back, values);
}

}  // namespace
}  // namespace ied_test
