// Values changed, saved, and loaded into a fresh model: what the file
// restores comes back, everything else keeps its start value.
#include "model_values.hpp"

#include <set>

namespace persistence::test {
namespace {

// A value written through the server to the attribute at path.
struct Change {
    std::string path;
    Value value;
};

Value quality(std::uint16_t bits)
{
    Value q = Value::bitString(13);
    q.setBitsFromInteger(bits);
    return q;
}

// Values of every kind the file restores: plain attributes and the first
// component of constructed ones, and all schedule values of one node.
std::vector<Change> restorableChanges()
{
    std::vector<Change> changes{
        {"STB/S1_XSWI1.Loc.stVal", Value::boolean(false)},
        {"CLS1/SysComEr_FSCH220001.SchdReuse.setVal", Value::boolean(false)},
        {"CLS1/MMXU001.TotW.q", quality(0x0042)},
        {"STB/LLN0.Beh.q", quality(0x1fff)},
        {"CLS2/ActPow_FSCC001.Beh.stVal", Value::integer(5)},
        {"CLS1/EmpSPrg_FSCH020003.SchdSt.stVal", Value::integer(-7)},
        {"CLS2/EmpSPrg_FSCH020102.NumEntr.setVal", Value::integer(12345)},
        {"CLS1/MMXU001.TotW.db", Value::unsignedInteger(4'000'000'000u)},
        {"CLS2/EmpSPrg_FSCH020001.EnaReq.ctlNum", Value::unsignedInteger(200)},
        {"CLS1/LLN0.NamPlt.vendor", Value::visibleString("a<b & \"c\" 'd' > ü")},
        {"CLS2/ActPow_FSCC001.CtlEnt.setSrcRef", Value::visibleString(std::string(129, 'x'))},
        {"STB/LPHD.PhyNam.serNum", Value::visibleString("  spaced  ")},
        {"CLS1/MMXU001.TotW.t", Value::utcTimeMs(1'700'000'012'345)},
        {"CLS2/DsoWCmd_FSCH130001.StrTm01.setTm", Value::utcTimeMs(4'102'444'800'000)},
        {"CLS1/EmpSPrg_FSCH020001.NxtStrTm.stVal", Value::utcTimeMs(2'222'164'800'789)},  // past 2038
        {"CLS1/MMXU001.TotW.units.SIUnit", Value::integer(29)},
        {"CLS1/EmpSPrg_FSCH020001.EnaReq.origin.orCat", Value::integer(3)},
        {"CLS2/EmpSPrg_FSCH020001.EnaReq.Oper.ctlVal", Value::boolean(true)},
        {"CLS1/SysRes_FSCH010001.StrTm02.setCal.occ", Value::unsignedInteger(77)},
        {"CLS2/DsoECmd_FSCH250004.ValASG001.setMag.f", Value::float32(0.1f)},
    };
    for (int i = 1; i <= 100; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "CLS1/EmpSPrg_FSCH020001.ValASG%03d.setMag.f", i);
        changes.push_back({path, Value::float32(static_cast<float>(i) * 1.5f - 40.1f)});
    }
    return changes;
}

// Saved as well, but not read back.
std::vector<Change> unrestoredChanges()
{
    return {
        {"CLS1/MMXU001.TotW.mag.f", Value::float32(12.5f)},
        {"CLS1/MMXU001.TotW.dbRef", Value::float32(55.0f)},
        {"CLS1/ActPow_GGIO001.AnOut1.mxVal.f", Value::float32(3.0f)},
        {"CLS2/FailSafe_GGIO001.FailDurSet.minVal.f", Value::float32(9.0f)},
        {"CLS1/MMXU001.TotW.units.multiplier", Value::integer(6)},
        {"CLS1/EmpSPrg_FSCH020001.EnaReq.Oper.ctlNum", Value::unsignedInteger(9)},
        {"CLS1/EmpSPrg_FSCH020001.EnaReq.Oper.T", Value::utcTimeMs(1'000'000'000'000)},
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
            IedServer_updateAttributeValue(server->get(), attributeAt(c.path), &c.value);
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
        ASSERT_FALSE(changed.at(c.path) == start.at(c.path)) << c.path;
    const LoadResult result = load_all_IEC_values_from_XML(fresh.get(), file, output.streams());
    EXPECT_TRUE(result.fileRead);
    EXPECT_EQ(result.rejected, 0);
    EXPECT_EQ(output.out.str(), "load_all_IEC_values_from_XML\nload_all_IEC_values_from_XML done\n");
    EXPECT_EQ(output.err.str(), "");

    std::set<std::string> restoredPaths;
    for (const Change& c : restorable)
        restoredPaths.insert(c.path);
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

// Every restored value is an update through the server: reports and logs see it.
struct UpdateCounter : iec61850::ied::UpdateListener {
    void attributeUpdated(DataAttribute* a, iec61850::ied::Change, bool changed) override
    {
        if (changed)
            changedAttributes.insert(a);
    }
    std::set<DataAttribute*> changedAttributes;
};

TEST_F(RoundTrip, LoadedValuesReachTheServersListenerAndAClientOverTcp)
{
    saveChanged(restorableChanges());
    std::string text = testsupport::readFile(file);  // a root of any name loads the same
    text.replace(text.find("<Root>"), 6, "<Values>");
    text.replace(text.rfind("</Root>"), 7, "</Values>");
    writeText(file, text);
    ModelServer fresh;
    const std::uint16_t port = boxtest::startOnLoopback(fresh.get());
    iec61850::client::MmsConnection client;
    ASSERT_TRUE(boxtest::connectTo(client, port));

    UpdateCounter counter;
    iec61850::ied::setUpdateListener(fresh.get(), &counter);
    EXPECT_EQ(load_all_IEC_values_from_XML(fresh.get(), file, output.streams()).rejected, 0);
    iec61850::ied::setUpdateListener(fresh.get(), nullptr);
    EXPECT_TRUE(counter.changedAttributes.contains(attributeAt("CLS1/EmpSPrg_FSCH020001.ValASG050.setMag.f")));
    EXPECT_TRUE(counter.changedAttributes.contains(attributeAt("CLS1/MMXU001.TotW.db")));
    EXPECT_TRUE(counter.changedAttributes.contains(attributeAt("CLS2/EmpSPrg_FSCH020001.EnaReq.Oper.ctlVal")));

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
