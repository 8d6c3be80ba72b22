// Updates from an application thread while clients read and write over
// loopback TCP. Its own program so that it can run alone under
// ThreadSanitizer.
#include "iec61850/client/mms_connection.hpp"
#include "iec61850/ied/iec61850_server.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using iec61850::client::MmsConnection;
using iec61850::ied::AttributeShape;
using iec61850::ied::ModelBuilder;
using Kind = MmsValue::Kind;

constexpr const char* kDomain = "CONCLD0";
constexpr int kReadsPerClient = 150;
constexpr int kReaders = 2;

DataAttribute* attributeAt(DataObject* o, const char* path)
{
    return static_cast<DataAttribute*>(ModelNode_getByPath(o, path));
}

// A model with one attribute of each type an update function serves.
struct ConcurrencyModel {
    ModelBuilder builder{"CONC"};
    DataObject* totW;
    DataObject* pair;
    DataObject* status;
    DataObject* text;
    DataObject* setting;

    ConcurrencyModel()
    {
        LogicalNode* ln = builder.node(builder.device("LD0"), "MMXU1");
        const AttributeShape totWShape[] = {{"mag$f", IEC61850_FC_MX, IEC61850_FLOAT32},
            {"q", IEC61850_FC_MX, IEC61850_QUALITY}, {"t", IEC61850_FC_MX, IEC61850_TIMESTAMP}};
        totW = builder.object(ln, "TotW", totWShape);
        const AttributeShape pairShape[] = {
            {"a", IEC61850_FC_MX, IEC61850_INT32}, {"b", IEC61850_FC_MX, IEC61850_INT32}};
        pair = builder.object(ln, "Pair", pairShape);
        const AttributeShape statusShape[] = {{"stVal", IEC61850_FC_ST, IEC61850_BOOLEAN},
            {"cnt", IEC61850_FC_ST, IEC61850_INT64}, {"ucnt", IEC61850_FC_ST, IEC61850_INT32U},
            {"dbl", IEC61850_FC_ST, IEC61850_CODEDENUM}, {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP},
            {"opTm", IEC61850_FC_ST, IEC61850_TIMESTAMP}};
        status = builder.object(ln, "Sts", statusShape);
        const AttributeShape textShape[] = {{"d", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_64}};
        text = builder.object(ln, "Txt", textShape);
        const AttributeShape settingShape[] = {{"setVal", IEC61850_FC_SP, IEC61850_INT32}};
        setting = builder.object(ln, "Set", settingShape);
    }
};

// A text whose every character and length tell which update wrote it.
std::string textOf(int k) { return std::string(static_cast<std::size_t>(k % 64 + 1), static_cast<char>('a' + k % 26)); }

bool isWholeText(const MmsValue& v)
{
    const std::string_view s = v.string();
    if (!v.is(Kind::VisibleString) || s.empty() || s.size() > 64)
        return false;
    for (char c : s)
        if (c != s[0])
            return false;
    // Some k has k % 64 == size - 1 and k % 26 == letter: both have k's parity.
    return (s.size() - 1) % 2 == static_cast<std::size_t>(s[0] - 'a') % 2;
}

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_ = IedServer_create(model_.builder.model());
        ASSERT_NE(server_, nullptr);
        IedServer_setLocalIpAddress(server_, "127.0.0.1");
        IedServer_start(server_, 0);
        ASSERT_TRUE(IedServer_isRunning(server_));
    }

    void TearDown() override
    {
        if (server_) {
            IedServer_stop(server_);
            IedServer_destroy(server_);
        }
    }

    bool connect(MmsConnection& client)
    {
        iec61850::client::ConnectOptions options;
        options.port = static_cast<std::uint16_t>(IedServer_getPort(server_));
        options.connectTimeoutMs = 10000;
        options.requestTimeoutMs = 10000;
        return client.connect(options).ok();
    }

    // One round of every update function; the pair a, b = k, -k changes under the lock.
    void updateAll(int k)
    {
        DataAttribute* a = attributeAt(model_.pair, "a");
        DataAttribute* b = attributeAt(model_.pair, "b");
        IedServer_lockDataModel(server_);
        IedServer_updateInt32AttributeValue(server_, a, k);
        IedServer_updateInt32AttributeValue(server_, b, -k);
        IedServer_unlockDataModel(server_);

        IedServer_updateFloatAttributeValue(server_, attributeAt(model_.totW, "mag$f"), static_cast<float>(k));
        MmsValue mag = MmsValue::structure({MmsValue::float32(static_cast<float>(k) / 2)});
        IedServer_updateAttributeValue(server_, attributeAt(model_.totW, "mag"), &mag);
        IedServer_updateQuality(server_, attributeAt(model_.totW, "q"), static_cast<std::uint16_t>(k & 0x3));
        Timestamp t;
        Timestamp_setTimeInMilliseconds(&t, 1796544427000u + static_cast<std::uint64_t>(k));
        IedServer_updateTimestampAttributeValue(server_, attributeAt(model_.totW, "t"), &t);
        IedServer_updateBooleanAttributeValue(server_, attributeAt(model_.status, "stVal"), k % 2);
        IedServer_updateInt64AttributeValue(server_, attributeAt(model_.status, "cnt"), std::int64_t{k} << 33);
        IedServer_updateUnsignedAttributeValue(
            server_, attributeAt(model_.status, "ucnt"), static_cast<std::uint32_t>(k / 2));
        IedServer_updateBitStringAttributeValue(
            server_, attributeAt(model_.status, "dbl"), static_cast<std::uint32_t>(k % 4));
        IedServer_updateUTCTimeAttributeValue(
            server_, attributeAt(model_.status, "t"), 1796544427000u + static_cast<std::uint64_t>(k));
        IedServer_updateVisibleStringAttributeValue(server_, attributeAt(model_.text, "d"), textOf(k).c_str());
        IedServer_updateInt32AttributeValue(server_, attributeAt(model_.setting, "setVal"), k);

        (void)IedServer_getFloatAttributeValue(server_, attributeAt(model_.totW, "mag$f"));
        (void)IedServer_getBooleanAttributeValue(server_, attributeAt(model_.status, "stVal"));
        (void)IedServer_getUTCTimeAttributeValue(server_, attributeAt(model_.status, "t"));
    }

    ConcurrencyModel model_;
    IedServer server_ = nullptr;
};

// A constructed attribute replaced as a whole keeps its components usable.
TEST_F(Concurrency, WholeUpdateOfAConstructedAttributeKeepsItsComponents)
{
    DataAttribute* mag = attributeAt(model_.totW, "mag");
    DataAttribute* f = attributeAt(model_.totW, "mag$f");
    ASSERT_NE(mag, nullptr);
    ASSERT_NE(f, nullptr);
    MmsValue whole = MmsValue::structure({MmsValue::float32(2.5f)});
    IedServer_updateAttributeValue(server_, mag, &whole);
    EXPECT_EQ(IedServer_getFloatAttributeValue(server_, f), 2.5f);
    IedServer_updateFloatAttributeValue(server_, f, 4.0f);
    IedServer_lockDataModel(server_);
    EXPECT_EQ(*IedServer_getAttributeValue(server_, mag), MmsValue::structure({MmsValue::float32(4.0f)}));
    IedServer_unlockDataModel(server_);
}

TEST_F(Concurrency, ClientsSeeWholeUpdatesWhileAThreadUpdatesEverything)
{
    std::atomic<int> readersLeft{kReaders};
    std::atomic<int> updates{0};
    std::thread updater([&] {
        for (int k = 1; readersLeft.load() > 0; ++k) {
            updateAll(k);
            updates.store(k);
            std::this_thread::yield();
        }
    });

    struct Findings {
        int reads = 0;
        int tornPairs = 0;
        int backwards = 0;
        int tornTexts = 0;
        int failures = 0;
        int writes = 0;
    };
    std::vector<Findings> findings(kReaders);
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            Findings& f = findings[static_cast<std::size_t>(r)];
            MmsConnection client;
            if (connect(client)) {
                std::int64_t last = 0;
                for (int i = 0; i < kReadsPerClient; ++i) {
                    const auto pair = client.read(kDomain, "MMXU1$MX$Pair");
                    const auto text = client.read(kDomain, "MMXU1$DC$Txt$d");
                    const auto node = i % 10 == 0 ? client.read(kDomain, "MMXU1") : pair;
                    const auto write = client.write(kDomain, "MMXU1$SP$Set$setVal", MmsValue::integer(-i));
                    if (!pair.ok() || !text.ok() || !node.ok() || !write.ok()) {
                        ++f.failures;
                        continue;
                    }
                    ++f.reads;
                    ++f.writes;
                    const MmsValue& p = *pair;
                    if (p.size() != 2 || p[0].toInt64() != -p[1].toInt64())
                        ++f.tornPairs;
                    else if (p[0].toInt64() < last)
                        ++f.backwards;
                    else
                        last = p[0].toInt64();
                    if (!isWholeText(*text))
                        ++f.tornTexts;
                }
                (void)client.release();
            } else {
                ++f.failures;
            }
            readersLeft.fetch_sub(1);
        });
    }
    for (std::thread& t : readers)
        t.join();
    updater.join();

    for (const Findings& f : findings) {
        EXPECT_EQ(f.failures, 0);
        EXPECT_EQ(f.reads, kReadsPerClient);
        EXPECT_EQ(f.writes, kReadsPerClient);
        EXPECT_EQ(f.tornPairs, 0);
        EXPECT_EQ(f.backwards, 0);
        EXPECT_EQ(f.tornTexts, 0);
    }
    EXPECT_GT(updates.load(), 0);
    const int last = updates.load();
    EXPECT_EQ(IedServer_getInt32AttributeValue(server_, attributeAt(model_.pair, "a")), last);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server_, attributeAt(model_.pair, "b")), -last);
    IedServer_lockDataModel(server_);
    EXPECT_EQ(MmsValue_toString(IedServer_getAttributeValue(server_, attributeAt(model_.text, "d"))), textOf(last));
    IedServer_unlockDataModel(server_);
}

}  // namespace
