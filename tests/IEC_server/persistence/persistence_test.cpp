// The values file: saved right after start-up, values of every kind round trip
// into a fresh model, and files missing, broken or wrong in part give their lines
// and change nothing but good entries. The settings store: what clients configured
// comes back and nothing else; a save cut off at any step (as by a power cut)
// leaves the earlier file or the new one; a damaged file gives start values.
#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "logical_device_kind.hpp"
#include "settings_store.hpp"
#include "value_store.hpp"

#include <tinyxml2.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace persistence::test {
namespace {

using namespace boxtest;
using iec61850::mms::Value;
namespace fs = std::filesystem;

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Every attribute and component of the model by "LD/LN.DO.DA[.component]".
using Snapshot = std::map<std::string, Value>;

void collect(IedServer server, ModelNode* node, const std::string& path, Snapshot& into)
{
    for (ModelNode* child = node->firstChild; child; child = child->sibling) {
        const std::string childPath = path + (node->parent ? "." : "/") + child->name;
        if (child->modelType == DataAttributeModelType)
            if (const MmsValue* v = IedServer_getAttributeValue(server, static_cast<DataAttribute*>(child)))
                into.emplace(childPath, *v);
        collect(server, child, childPath, into);
    }
}

Snapshot snapshot(IedServer server)
{
    Snapshot all;
    for (ModelNode* device = box::staticModel()->firstChild; device; device = device->sibling)
        collect(server, device, device->name, all);
    return all;
}

// Paths whose values differ between two snapshots of the same model.
std::vector<std::string> differences(const Snapshot& a, const Snapshot& b)
{
    std::vector<std::string> paths;
    for (const auto& [path, value] : a)
        if (auto it = b.find(path); it == b.end() || !(it->second == value))
            paths.push_back(path);
    return paths;
}

class ValueStore : public ::testing::Test {
protected:
    bool save(IedServer server, const std::string& to)
    {
        out.str("");
        err.str("");
        return save_all_IEC_values_in_XML(server, to, {out, err});
    }
    LoadResult load(IedServer server)
    {
        out.str("");
        err.str("");
        return load_all_IEC_values_from_XML(server, file, {out, err});
    }

    testsupport::TempDir dir;
    std::string file = dir.path() + "/" + kValuesFileName;
    std::ostringstream out, err;
};

TEST_F(ValueStore, StartValuesAreSavedUnderTheirTagsInTinyxml2sIndentedForm)
{
    ModelServer server;
    ASSERT_TRUE(save(server.get(), file));
    EXPECT_EQ(out.str() + err.str(), "-- Saving all the data --\nsave_all_IEC_values_in_XML is done\n");
    tinyxml2::XMLDocument document;
    ASSERT_EQ(document.LoadFile(file.c_str()), tinyxml2::XML_SUCCESS);
    tinyxml2::XMLPrinter printer;
    document.Print(&printer);
    EXPECT_EQ(testsupport::readFile(file), std::string(printer.CStr()));

    // Each entry's first attribute is the unit, its second and last the value.
    for (const auto& row : dataRows("saved_entries.txt")) {
        const std::string& path = row.at(0);
        const tinyxml2::XMLElement* e = document.RootElement()->FirstChildElement(path.substr(0, path.find('/')).c_str());
        for (const std::string& name : split(path.substr(path.find('/') + 1), '.'))
            e = e ? e->FirstChildElement(name.c_str()) : nullptr;
        ASSERT_NE(e, nullptr) << path;
        const tinyxml2::XMLAttribute* unit = e->FirstAttribute();
        ASSERT_TRUE(unit && unit->Next()) << path;
        EXPECT_EQ(std::string(unit->Name()) + "=" + unit->Value() + " " + unit->Next()->Name() + "=" +
                      unit->Next()->Value() + (unit->Next()->Next() ? " more" : ""),
                  "unit=" + row.at(1) + " value=" + row.at(2));
    }
}

TEST_F(ValueStore, AFailedSaveIsReportedAndLeavesWhatWasThere)
{
    ModelServer server;
    const std::string absent = dir.path() + "/absent/" + kValuesFileName, previous = dir.path() + "/values.xml",
                      taken = dir.path() + "/taken";
    writeText(previous, "<Root>previous</Root>");
    fs::create_directory(previous + ".tmp");  // the new file cannot be created
    fs::create_directories(taken + "/inside");
    for (const std::string& to : {absent, previous, taken}) {
        EXPECT_FALSE(save(server.get(), to)) << to;
        EXPECT_EQ(out.str() + err.str(), "-- Saving all the data --\nError: Could not save XML file:" + to + "\n");
    }
    EXPECT_FALSE(fs::exists(dir.path() + "/absent"));
    EXPECT_EQ(testsupport::readFile(previous), "<Root>previous</Root>");
    EXPECT_TRUE(fs::is_directory(previous + ".tmp")) << "what was in the way stays";
    EXPECT_FALSE(fs::exists(taken + ".tmp"));
    EXPECT_TRUE(fs::is_directory(taken + "/inside"));
}

// Every restored value is an update through the server: reports and logs see it.
struct UpdateRecorder : iec61850::ied::UpdateListener {
    void attributeUpdated(DataAttribute* a, iec61850::ied::Change, bool changed) override
    {
        updated.push_back(a->name);
        if (changed)
            changedAttributes.insert(a);
    }
    std::vector<std::string> updated;
    std::set<DataAttribute*> changedAttributes;
};

// Values of every kind (plain attributes, the first component of constructed
// ones, all schedule values of one node) are restored, some only saved; a root
// of any name loads the same; the values reach the server's listener.
TEST_F(ValueStore, RestoredValuesComeBackAndTheRestKeepsItsStartValue)
{
    std::set<std::string> restored;
    std::vector<std::string> written;
    Snapshot changed;
    {  // one server of the box model at a time
        ModelServer server;
        for (const auto& row : dataRows("changed_values.txt")) {
            const std::string &kind = row.at(2), &text = row.at(3);
            Value v = Value::visibleString(text);
            if (kind == "bool")
                v = Value::boolean(text == "true");
            else if (kind == "int")
                v = Value::integer(std::stoll(text));
            else if (kind == "uint")
                v = Value::unsignedInteger(std::stoull(text));
            else if (kind == "float")
                v = Value::float32(std::stof(text));
            else if (kind == "utc")
                v = Value::utcTimeMs(std::stoull(text));
            else if (kind == "quality") {
                v = Value::bitString(13);
                v.setBitsFromInteger(static_cast<std::uint16_t>(std::stoul(text, nullptr, 0)));
            }
            IedServer_updateAttributeValue(server.get(), attributeAt(row.at(1)), &v);
            written.push_back(row.at(1));
            if (row.at(0) == "restored")
                restored.insert(row.at(1));
        }
        for (int i = 1; i <= 100; ++i) {
            const std::string path = "CLS1/EmpSPrg_FSCH020001." + valAsgName(i) + ".setMag.f";
            IedServer_updateFloatAttributeValue(server.get(), attributeAt(path), static_cast<float>(i) * 1.5f - 40.1f);
            restored.insert(path);
        }
        changed = snapshot(server.get());
        ASSERT_TRUE(save(server.get(), file));
    }
    std::string text = testsupport::readFile(file);
    text.replace(text.find("<Root>"), 6, "<Values>");
    text.replace(text.rfind("</Root>"), 7, "</Values>");
    writeText(file, text);

    ModelServer fresh;
    const Snapshot start = snapshot(fresh.get());
    for (const std::string& path : written)
        ASSERT_FALSE(changed.at(path) == start.at(path)) << path;
    UpdateRecorder updates;
    iec61850::ied::setUpdateListener(fresh.get(), &updates);
    const LoadResult result = load(fresh.get());
    iec61850::ied::setUpdateListener(fresh.get(), nullptr);
    EXPECT_TRUE(result.fileRead);
    EXPECT_EQ(result.rejected, 0);
    EXPECT_EQ(out.str() + err.str(), "load_all_IEC_values_from_XML\nload_all_IEC_values_from_XML done\n");
    for (const char* path : {"CLS1/EmpSPrg_FSCH020001.ValASG050.setMag.f", "CLS1/MMXU001.TotW.db",
                             "CLS2/EmpSPrg_FSCH020001.EnaReq.Oper.ctlVal"})
        EXPECT_TRUE(updates.changedAttributes.contains(attributeAt(path))) << path;

    const Snapshot loaded = snapshot(fresh.get());
    ASSERT_EQ(loaded.size(), start.size());
    for (const auto& [path, value] : loaded) {
        if (value.is(Value::Kind::Structure))
            continue;  // its components are compared one by one
        Value expected = restored.contains(path) ? changed.at(path) : start.at(path);
        if (expected.is(Value::Kind::UtcTime))
            expected.setUtcMs(expected.utcMs() / 1000 * 1000);  // whole seconds
        EXPECT_EQ(value, expected) << path << ": " << value.toString() << " expected " << expected.toString();
    }
}

std::string unescaped(std::string text)
{
    for (auto at = text.find("\\n"); at != std::string::npos; at = text.find("\\n", at + 1))
        text.replace(at, 2, "\n");
    return text;
}

TEST_F(ValueStore, UnreadableFilesChangeNothingAndBrokenEntriesAreReportedWhileTheGoodOnesApply)
{
    ModelServer server;
    UpdateRecorder updates;
    iec61850::ied::setUpdateListener(server.get(), &updates);
    const Snapshot before = snapshot(server.get());
    const std::string tooLarge = "<Root><STB><LLN0><Beh><stVal unit=\"MMS_INTEGER\" value=\"9\"/></Beh></LLN0></STB>" +
                                 std::string(9u << 20, ' ') + "</Root>";  // well-formed, only too large
    for (const std::string& text : {std::string("missing"), std::string("directory"), std::string(),
                                    std::string("<Root><STB><LLN0><Beh>"), std::string("<Root><STB></CLS1></Root>"),
                                    std::string("plain text"), std::string("<Root a=1/>"), tooLarge}) {
        fs::remove(file);
        if (text == "directory")
            fs::create_directory(file);
        else if (text != "missing")
            writeText(file, text);
        EXPECT_FALSE(load(server.get()).fileRead) << text.substr(0, 40);
        EXPECT_EQ(out.str() + err.str(), "load_all_IEC_values_from_XML\nError: Could not load XML file:" + file + "\n");
    }
    EXPECT_TRUE(updates.updated.empty());
    EXPECT_TRUE(differences(before, snapshot(server.get())).empty());

    for (const auto& row : dataRows("bad_values.txt")) {
        const std::string text = unescaped(row.at(0));
        SCOPED_TRACE(text.substr(0, 160));
        const Snapshot earlier = snapshot(server.get());
        writeText(file, text);
        updates.updated.clear();
        const LoadResult result = load(server.get());
        EXPECT_TRUE(result.fileRead);
        EXPECT_EQ(out.str() + err.str(), "load_all_IEC_values_from_XML\n" + unescaped(row.at(1)) +
                                             "load_all_IEC_values_from_XML done\n");
        EXPECT_EQ(result.applied, std::stoi(row.at(2)));
        EXPECT_EQ(result.rejected, std::stoi(row.at(3)));
        EXPECT_EQ(differences(earlier, snapshot(server.get())),
                  row.at(4).empty() ? std::vector<std::string>{} : split(row.at(4), ' '));
        EXPECT_EQ(updates.updated.empty(), result.applied == 0);
    }
    iec61850::ied::setUpdateListener(server.get(), nullptr);
    EXPECT_EQ(IedServer_getInt32AttributeValue(server.get(), attributeAt("CLS2/MMXU001.TotW.units.multiplier")), 3);
    EXPECT_EQ(IedServer_getAttributeValue(server.get(), attributeAt("CLS1/MMXU001.TotW.db"))->toUint32(), 4u);
}

const std::string kInterval = "CLS1/EmpSPrg_FSCH020001.SchdIntv.setVal";
const std::string kState = "CLS1/EmpSPrg_FSCH020001.SchdSt.stVal";

class SettingsStoreTest : public ::testing::Test {
protected:
    std::string path() const { return dir.path() + "/settings.txt"; }

    // A server with the start values, its store watching; the server goes with it.
    struct Box {
        explicit Box(const std::string& path) : store(server.get(), box::staticModel(), path) {}
        ModelServer server;
        SettingsStore store;
    };

    // A server with the start values saves the interval as its one setting changed (a status
    // changed too is not kept); the hook hears each step of the save.
    void saveInterval(std::int32_t seconds, std::function<void(SettingsStore::SaveStep)> hook = {})
    {
        Box box(path());
        box.store.watch({});
        box.store.setSaveHook(std::move(hook));
        IedServer_updateInt32AttributeValue(box.server.get(), attributeAt(kInterval), seconds);
        IedServer_updateInt32AttributeValue(box.server.get(), attributeAt(kState), 4);
        EXPECT_TRUE(box.store.changed());
        ASSERT_TRUE(box.store.saveIfChanged());
        EXPECT_FALSE(box.store.changed());
    }
    // Loads the file into a fresh server and reads the interval back; loading is no change
    // to save, and the status has its start value.
    std::pair<SettingsStore::Loaded, std::int32_t> reload()
    {
        Box fresh(path());
        testing::internal::CaptureStdout();
        const auto loaded = fresh.store.load();
        lastLine = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fresh.store.changed());
        EXPECT_EQ(IedServer_getInt32AttributeValue(fresh.server.get(), attributeAt(kState)), 0);
        return {loaded, IedServer_getInt32AttributeValue(fresh.server.get(), attributeAt(kInterval))};
    }

    testsupport::TempDir dir;
    std::string lastLine;
};

// What a client configured comes back (the box tests see it across restarts); a status does not.
TEST_F(SettingsStoreTest, ChangedSettingsComeBackInAFreshServerAndNothingElseIsKept)
{
    saveInterval(2);
    EXPECT_EQ(reload(), std::pair(SettingsStore::Loaded::Restored, 2));
    EXPECT_EQ(lastLine, "Settings: 1 restored from " + path() + "\n");
}

TEST_F(SettingsStoreTest, ASaveCutOffAtAnyStepLeavesTheEarlierFileOrTheNewOne)
{
    saveInterval(2);
    for (const auto& [cutAt, survives] : {std::pair{SettingsStore::SaveStep::TemporaryWritten, 2},
                                          {SettingsStore::SaveStep::Renamed, 3}}) {
        SCOPED_TRACE(static_cast<int>(cutAt));
        const pid_t child = fork();
        if (child == 0) {
            saveInterval(3, [cutAt = cutAt](SettingsStore::SaveStep step) {
                if (step == cutAt)
                    _exit(0);  // the power goes
            });
            _exit(1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(reload(), std::pair(SettingsStore::Loaded::Restored, survives));
        saveInterval(2);  // back to the earlier file for the next step
    }
}

TEST_F(SettingsStoreTest, AMissingOrDamagedFileGivesStartValuesAndOneLine)
{
    EXPECT_EQ(reload(), std::pair(SettingsStore::Loaded::Missing, 0));
    EXPECT_EQ(lastLine, "Settings: no " + path() + ", start values in use\n");
    saveInterval(2);
    const std::string good = testsupport::readFile(path());
    std::string flipped = good;
    flipped[good.find("8501") + 3] = '3';  // the interval reads 3: a bit flipped on flash
    const std::pair<const char*, std::string> damages[] = {
        {"truncated", good.substr(0, good.size() - 5)},
        {"flipped", flipped},
        {"empty", ""},
        {"an entry too many", good.substr(0, good.find("end ")) + "CLS1/x 00\n" + good.substr(good.find("end "))},
    };
    for (const auto& [what, text] : damages) {
        SCOPED_TRACE(what);
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << text;
        EXPECT_EQ(reload(), std::pair(SettingsStore::Loaded::Damaged, 0));
        EXPECT_EQ(lastLine.find("Settings: " + path() + " is damaged ("), 0u) << lastLine;
        EXPECT_EQ(std::count(lastLine.begin(), lastLine.end(), '\n'), 1);
        EXPECT_EQ(testsupport::readFile(path() + ".damaged"), text);
        EXPECT_FALSE(fs::exists(path()));
    }
}

}  // namespace
}  // namespace persistence::test
