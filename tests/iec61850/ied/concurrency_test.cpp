// Updates from an application thread while clients read and write over
// loopback TCP. Its own program so that it can run alone under
// ThreadSanitizer.
#include "ied_test_support.hpp"

#include <atomic>
#include <thread>
#include <vector>

namespace ied_test {
namespace {

using iec61850::ied::AttributeShape;
using iec61850::ied::ModelBuilder;
using Kind = MmsValue::Kind;

constexpr const char* kDomain = "CONCLD0";
constexpr int kReadsPerClient = 150;
constexpr int kReaders = 2;

constexpr AttributeShape kTotW[] = {{"mag$f", IEC61850_FC_MX, IEC61850_FLOAT32},
                                    {"q", IEC61850_FC_MX, IEC61850_QUALITY},
                                    {"t", IEC61850_FC_MX, IEC61850_TIMESTAMP}};
constexpr AttributeShape kPair[] = {{"a", IEC61850_FC_MX, IEC61850_INT32}, {"b", IEC61850_FC_MX, IEC61850_INT32}};
constexpr AttributeShape kStatus[] = {
    {"stVal", IEC61850_FC_ST, IEC61850_BOOLEAN}, {"cnt", IEC61850_FC_ST, IEC61850_INT64},
    {"ucnt", IEC61850_FC_ST, IEC61850_INT32U},   {"dbl", IEC61850_FC_ST, IEC61850_CODEDENUM},
    {"t", IEC61850_FC_ST, IEC61850_TIMESTAMP}};
constexpr AttributeShape kText[] = {{"d", IEC61850_FC_DC, IEC61850_VISIBLE_STRING_64}};
constexpr AttributeShape kSetting[] = {{"setVal", IEC61850_FC_SP, IEC61850_INT32}};

// A text whose every character and length tell which update wrote it.
std::string textOf(int k) { return std::string(static_cast<std::size_t>(k % 64 + 1), static_cast<char>('a' + k % 26)); }

bool isWholeText(const MmsValue& v)
{
    const std::string_view s = v.string();
    if (!v.is(Kind::VisibleString) || s.empty() || s.size() > 64 || s.find_first_not_of(s[0]) != s.npos)
        return false;
    // Some k has k % 64 == size - 1 and k % 26 == letter: both have k's parity.
    return (s.size() - 1) % 2 == static_cast<std::size_t>(s[0] - 'a') % 2;
}

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    DataAttribute* at(DataObject* o, const char* path)
    {
        return static_cast<DataAttribute*>(ModelNode_getByPath(o, path));
    }

    // One round of every update function; the pair a, b = k, -k changes under the lock.
    void updateAll(int k)
    {
        IedServer_lockDataModel(server);
        IedServer_updateInt32AttributeValue(server, at(pair, "a"), k);
        IedServer_updateInt32AttributeValue(server, at(pair, "b"), -k);
        IedServer_unlockDataModel(server);

        const auto ms = 1796544427000u + static_cast<std::uint64_t>(k);
        IedServer_updateFloatAttributeValue(server, at(totW, "mag$f"), static_cast<float>(k));
        const MmsValue mag = MmsValue::structure({MmsValue::float32(static_cast<float>(k) / 2)});
        IedServer_updateAttributeValue(server, at(totW, "mag"), &mag);
        IedServer_updateQuality(server, at(totW, "q"), static_cast<std::uint16_t>(k & 0x3));
        Timestamp t;
        Timestamp_setTimeInMilliseconds(&t, ms);
        IedServer_updateTimestampAttributeValue(server, at(totW, "t"), &t);
        IedServer_updateBooleanAttributeValue(server, at(status, "stVal"), k % 2);
        IedServer_updateInt64AttributeValue(server, at(status, "cnt"), std::int64_t{k} << 33);
        IedServer_updateUnsignedAttributeValue(server, at(status, "ucnt"), static_cast<std::uint32_t>(k / 2));
        IedServer_updateBitStringAttributeValue(server, at(status, "dbl"), static_cast<std::uint32_t>(k % 4));
        IedServer_updateUTCTimeAttributeValue(server, at(status, "t"), ms);
        IedServer_updateVisibleStringAttributeValue(server, at(text, "d"), textOf(k).c_str());
        IedServer_updateInt32AttributeValue(server, at(setting, "setVal"), k);

        (void)IedServer_getFloatAttributeValue(server, at(totW, "mag$f"));
        (void)IedServer_getUTCTimeAttributeValue(server, at(status, "t"));
    }

    ModelBuilder builder{"CONC"};
    LogicalNode* ln = builder.node(builder.device("LD0"), "MMXU1");
    DataObject* totW = builder.object(ln, "TotW", kTotW);
    DataObject* pair = builder.object(ln, "Pair", kPair);
    DataObject* status = builder.object(ln, "Sts", kStatus);
    DataObject* text = builder.object(ln, "Txt", kText);
    DataObject* setting = builder.object(ln, "Set", kSetting);
    LoopbackServer server{builder.model()};
};

TEST_F(Concurrency, ClientsSeeWholeUpdatesWhileAThreadUpdatesEverything)
{
    std::atomic<int> readersLeft{kReaders}, updates{0}, completed{0}, tornPairs{0}, backwards{0}, tornTexts{0};
    updateAll(0);  // no reader sees the empty start text, however long a busy server keeps the updater waiting
    std::thread updater([&] {
        for (int k = 1; readersLeft.load() > 0; ++k) {
            updateAll(k);
            updates.store(k);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            MmsConnection client;
            if (server.connect(client)) {
                std::int64_t last = 0;
                for (int i = 0; i < kReadsPerClient; ++i) {
                    const auto pairRead = client.read(kDomain, "MMXU1$MX$Pair");
                    const auto textRead = client.read(kDomain, "MMXU1$DC$Txt$d");
                    const bool nodeRead = i % 10 != 0 || client.read(kDomain, "MMXU1").ok();
                    const bool written = client.write(kDomain, "MMXU1$SP$Set$setVal", MmsValue::integer(-i)).ok();
                    if (!pairRead.ok() || !textRead.ok() || !nodeRead || !written)
                        continue;
                    ++completed;
                    const MmsValue& p = *pairRead;
                    if (p.size() != 2 || p[0].toInt64() != -p[1].toInt64())
                        ++tornPairs;
                    else if (p[0].toInt64() < last)
                        ++backwards;
                    else
                        last = p[0].toInt64();
                    tornTexts += !isWholeText(*textRead);
                }
                (void)client.release();
            }
            --readersLeft;
        });
    }
    for (std::thread& t : readers)
        t.join();
    updater.join();

    EXPECT_EQ(completed, kReaders * kReadsPerClient);
    EXPECT_EQ(tornPairs, 0);
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(tornTexts, 0);
    const int last = updates.load();
    ASSERT_GT(last, 0);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, at(pair, "a")), last);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, at(pair, "b")), -last);
    IedServer_lockDataModel(server);
    EXPECT_EQ(MmsValue_toString(IedServer_getAttributeValue(server, at(text, "d"))), textOf(last));
    EXPECT_EQ(*IedServer_getAttributeValue(server, at(totW, "mag")),
              MmsValue::structure({MmsValue::float32(static_cast<float>(last) / 2)}));
    IedServer_unlockDataModel(server);
}

}  // namespace
}  // namespace ied_test
