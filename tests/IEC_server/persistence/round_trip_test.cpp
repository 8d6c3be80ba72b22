// Values changed, saved, and loaded into a fresh model: what the file
// restores comes back, everything else keeps its start value.
#include "model_values.hpp"

#include "iec61850/client/mms_connection.hpp"

#include <functional>
#include <set>

namespace persistence::test {
namespace {

struct Change {
    DataAttribute* attribute;
    std::function<void(IedServer, DataAttribute*)> apply;
};

Change setBoolean(DataAttribute* a, bool v)
{
    return {a, [v](IedServer s, DataAttribute* d) { IedServer_updateBooleanAttributeValue(s, d, v); }};
}
Change setInt32(DataAttribute* a, std::int32_t v)
{
    return {a, [v](IedServer s, DataAttribute* d) { IedServer_updateInt32AttributeValue(s, d, v); }};
}
Change setUnsigned(DataAttribute* a, std::uint32_t v)
{
    return {a, [v](IedServer s, DataAttribute* d) { IedServer_updateUnsignedAttributeValue(s, d, v); }};
}
Change setFloat(DataAttribute* a, float v)
{
    return {a, [v](IedServer s, DataAttribute* d) { IedServer_updateFloatAttributeValue(s, d, v); }};
}
Change setQuality(DataAttribute* a, std::uint16_t v)
{
    return {a, [v](IedServer s, DataAttribute* d) { IedServer_updateQuality(s, d, v); }};
}
Change setString(DataAttribute* a, std::string v)
{
    return {a, [v](IedServer s, DataAttribute* d) { IedServer_updateVisibleStringAttributeValue(s, d, v.c_str()); }};
}
Change setTime(DataAttribute* a, std::uint64_t ms)
{
    return {a, [ms](IedServer s, DataAttribute* d) { IedServer_updateUTCTimeAttributeValue(s, d, ms); }};
}

std::string pathOf(const ModelNode* node)
{
    std::string path = node->name;
    for (node = node->parent; node; node = node->parent)
        path.insert(0, std::string(node->name) + (node->parent ? "." : "/"));
    return path;
}

// Values of every kind the file restores: plain attributes and the first
// component of constructed ones, and all schedule values of one node.
std::vector<Change> restorableChanges()
{
    std::vector<Change> changes{
        setBoolean(attribute("STB", "S1_XSWI1", "Loc", "stVal"), false),
        setBoolean(attribute("CLS1", "SysComEr_FSCH220001", "SchdReuse", "setVal"), false),
        setQuality(attribute("CLS1", "MMXU001", "TotW", "q"), 0x0042),
        setQuality(attribute("STB", "LLN0", "Beh", "q"), 0x1fff),
        setInt32(attribute("CLS2", "ActPow_FSCC001", "Beh", "stVal"), 5),
        setInt32(attribute("CLS1", "EmpSPrg_FSCH020003", "SchdSt", "stVal"), -7),
        setInt32(attribute("CLS2", "EmpSPrg_FSCH020102", "NumEntr", "setVal"), 12345),
        setUnsigned(attribute("CLS1", "MMXU001", "TotW", "db"), 4'000'000'000u),
        setUnsigned(attribute("CLS2", "EmpSPrg_FSCH020001", "EnaReq", "ctlNum"), 200),
        setString(attribute("CLS1", "LLN0", "NamPlt", "vendor"), "a<b & \"c\" 'd' > ü"),
        setString(attribute("CLS2", "ActPow_FSCC001", "CtlEnt", "setSrcRef"), std::string(129, 'x')),
        setString(attribute("STB", "LPHD", "PhyNam", "serNum"), "  spaced  "),
        setTime(attribute("CLS1", "MMXU001", "TotW", "t"), 1'700'000'012'345),
        setTime(attribute("CLS2", "DsoWCmd_FSCH130001", "StrTm01", "setTm"), 4'102'444'800'000),
        setInt32(component(attribute("CLS1", "MMXU001", "TotW", "units"), "SIUnit"), 29),
        setInt32(component(attribute("CLS1", "EmpSPrg_FSCH020001", "EnaReq", "origin"), "orCat"), 3),
        setBoolean(component(attribute("CLS2", "EmpSPrg_FSCH020001", "EnaReq", "Oper"), "ctlVal"), true),
        setUnsigned(component(attribute("CLS1", "SysRes_FSCH010001", "StrTm02", "setCal"), "occ"), 77),
    };
    for (int i = 1; i <= 100; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ValASG%03d", i);
        changes.push_back(setFloat(component(attribute("CLS1", "EmpSPrg_FSCH020001", name, "setMag"), "f"),
                                   static_cast<float>(i) * 1.5f - 40.1f));
    }
    changes.push_back(setFloat(component(attribute("CLS2", "DsoECmd_FSCH250004", "ValASG001", "setMag"), "f"), 0.1f));
    return changes;
}

// Saved as well, but not read back.
std::vector<Change> unrestoredChanges()
{
    return {
        setFloat(component(attribute("CLS1", "MMXU001", "TotW", "mag"), "f"), 12.5f),
        setFloat(attribute("CLS1", "MMXU001", "TotW", "dbRef"), 55.0f),
        setFloat(component(attribute("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal"), "f"), 3.0f),
        setFloat(component(attribute("CLS2", "FailSafe_GGIO001", "FailDurSet", "minVal"), "f"), 9.0f),
        setInt32(component(attribute("CLS1", "MMXU001", "TotW", "units"), "multiplier"), 6),
        setUnsigned(component(attribute("CLS1", "EmpSPrg_FSCH020001", "EnaReq", "Oper"), "ctlNum"), 9),
        setTime(component(attribute("CLS1", "EmpSPrg_FSCH020001", "EnaReq", "Oper"), "T"), 1'000'000'000'000),
    };
}

Value withoutMilliseconds(Value v)
{
    if (v.is(Value::Kind::UtcTime))
        v.setUtcMs(v.utcMs() / 1000 * 1000);
    return v;
}

class RoundTrip : public ::testing::Test {
protected:
    // Changes the values, saves them, and starts a fresh model.
    Snapshot saveChanged(const std::vector<Change>& changes)
    {
        auto server = std::make_unique<ModelServer>();
        for (const Change& c : changes)
            c.apply(server->get(), c.attribute);
        Snapshot changed = snapshot(server->get());
        Captured output;
        EXPECT_TRUE(save_all_IEC_values_in_XML(server->get(), file, output.streams()));
        return changed;
    }

    testsupport::TempDir dir;
    std::string file = dir.path() + "/" + kValuesFileName;
    Captured output;
};

TEST_F(RoundTrip, RestoredValuesComeBackAndTheRestKeepsItsStartValue)
{
    const std::vector<Change> restorable = restorableChanges();
    std::vector<Change> all = restorable;
    for (Change& c : unrestoredChanges())
        all.push_back(std::move(c));
    const Snapshot changed = saveChanged(all);

    ModelServer fresh;
    const Snapshot start = snapshot(fresh.get());
    for (const Change& c : all)
        ASSERT_FALSE(changed.at(pathOf(c.attribute)) == start.at(pathOf(c.attribute))) << pathOf(c.attribute);
    const LoadResult result = load_all_IEC_values_from_XML(fresh.get(), file, output.streams());
    EXPECT_TRUE(result.fileRead);
    EXPECT_EQ(result.rejected, 0);
    EXPECT_EQ(output.out.str(), "load_all_IEC_values_from_XML\nload_all_IEC_values_from_XML done\n");
    EXPECT_EQ(output.err.str(), "");

    std::set<std::string> restoredPaths;
    for (const Change& c : restorable)
        restoredPaths.insert(pathOf(c.attribute));
    const Snapshot loaded = snapshot(fresh.get());
    ASSERT_EQ(loaded.size(), start.size());
    for (const auto& [path, value] : loaded) {
        if (value.is(Value::Kind::Structure))
            continue;  // its components are compared one by one
        const Value& expected = restoredPaths.contains(path) ? changed.at(path) : start.at(path);
        EXPECT_EQ(value, withoutMilliseconds(expected)) << path << ": " << value.toString() << " expected "
                                                        << expected.toString();
    }
}

TEST_F(RoundTrip, FileSavedAtStartChangesNothingAndSavesAgainUnchanged)
{
    saveChanged({});
    const std::string first = testsupport::readFile(file);
    ModelServer fresh;
    const Snapshot start = snapshot(fresh.get());
    const LoadResult result = load_all_IEC_values_from_XML(fresh.get(), file, output.streams());
    EXPECT_EQ(result.rejected, 0);
    EXPECT_GT(result.applied, 10'000);
    EXPECT_TRUE(differences(start, snapshot(fresh.get())).empty());
    ASSERT_TRUE(save_all_IEC_values_in_XML(fresh.get(), file, output.streams()));
    EXPECT_EQ(testsupport::readFile(file), first);
}

TEST_F(RoundTrip, RootOfAnyNameLoadsTheSame)
{
    saveChanged(restorableChanges());
    std::string text = testsupport::readFile(file);
    text.replace(text.find("<Root>"), 6, "<Values>");
    text.replace(text.rfind("</Root>"), 7, "</Values>");
    writeText(file, text);

    ModelServer fresh;
    const LoadResult result = load_all_IEC_values_from_XML(fresh.get(), file, output.streams());
    EXPECT_EQ(result.rejected, 0);
    DataAttribute* setMag = attribute("CLS1", "EmpSPrg_FSCH020001", "ValASG100", "setMag");
    EXPECT_FLOAT_EQ(IedServer_getFloatAttributeValue(fresh.get(), component(setMag, "f")), 100 * 1.5f - 40.1f);
}

// Every restored value is an update through the server: reports and logs see it.
struct UpdateCounter : iec61850::ied::UpdateListener {
    void attributeUpdated(DataAttribute* a, iec61850::ied::Change, bool changed) override
    {
        if (changed)
            changedPaths.insert(pathOf(a));
    }
    std::set<std::string> changedPaths;
};

TEST_F(RoundTrip, LoadedValuesReachTheServersListenerAndAClientOverTcp)
{
    saveChanged(restorableChanges());
    ModelServer fresh;
    IedServer_setLocalIpAddress(fresh.get(), "127.0.0.1");
    IedServer_start(fresh.get(), 0);
    ASSERT_TRUE(IedServer_isRunning(fresh.get()));
    iec61850::client::MmsConnection client;
    iec61850::client::ConnectOptions options;
    options.port = static_cast<std::uint16_t>(IedServer_getPort(fresh.get()));
    ASSERT_TRUE(client.connect(options).ok());

    UpdateCounter counter;
    iec61850::ied::setUpdateListener(fresh.get(), &counter);
    load_all_IEC_values_from_XML(fresh.get(), file, output.streams());
    iec61850::ied::setUpdateListener(fresh.get(), nullptr);
    EXPECT_TRUE(counter.changedPaths.contains("CLS1/EmpSPrg_FSCH020001.ValASG050.setMag.f"));
    EXPECT_TRUE(counter.changedPaths.contains("CLS1/MMXU001.TotW.db"));
    EXPECT_TRUE(counter.changedPaths.contains("CLS2/EmpSPrg_FSCH020001.EnaReq.Oper.ctlVal"));

    auto setMag = client.read("FNN_STEUERBOXCLS1", "EmpSPrg_FSCH020001$SP$ValASG050$setMag$f");
    ASSERT_TRUE(setMag.ok());
    EXPECT_FLOAT_EQ(setMag->toFloat(), 50 * 1.5f - 40.1f);
    auto vendor = client.read("FNN_STEUERBOXCLS1", "LLN0$DC$NamPlt$vendor");
    ASSERT_TRUE(vendor.ok());
    EXPECT_EQ(vendor->string(), "a<b & \"c\" 'd' > ü");
    auto time = client.read("FNN_STEUERBOXCLS1", "MMXU001$MX$TotW$t");
    ASSERT_TRUE(time.ok());
    EXPECT_EQ(time->utcMs(), 1'700'000'012'000u);
}

}  // namespace
}  // namespace persistence::test
