// The values file: saved right after start-up, values of every kind round
// trip into a fresh model and reach a client over TCP, and files missing,
// broken or wrong in part give their lines and change nothing but good entries.
#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "value_store.hpp"

#include <tinyxml2.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

namespace persistence::test {
namespace {

using namespace boxtest;
using iec61850::mms::Value;
using tinyxml2::XMLElement;

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// What one operation wrote to its two streams.
struct Captured {
    std::ostringstream out;
    std::ostringstream err;
    StoreStreams streams() { return {out, err}; }
};

// The tag a value of the attribute type is stored under; nullptr: stored bare.
const char* expectedUnit(DataAttributeType type)
{
    switch (type) {
    case IEC61850_BOOLEAN: return "MMS_BOOLEAN";
    case IEC61850_QUALITY:
    case IEC61850_CHECK:
    case IEC61850_CODEDENUM: return "MMS_BITSTRING";
    case IEC61850_INT32:
    case IEC61850_ENUMERATED: return "MMS_INTEGER";
    case IEC61850_INT8U:
    case IEC61850_INT16U:
    case IEC61850_INT32U: return "MMS_UNSIGNED";
    case IEC61850_FLOAT32: return "MMS_FLOAT";
    case IEC61850_VISIBLE_STRING_129:
    case IEC61850_VISIBLE_STRING_255: return "MMS_VISIBLE_STRING";
    case IEC61850_TIMESTAMP: return "MMS_UTC_TIME";
    default: return nullptr;
    }
}

const char* expectedUnit(const DataAttribute* attribute)
{
    if (attribute->type == IEC61850_CONSTRUCTED)
        return expectedUnit(static_cast<const DataAttribute*>(attribute->firstChild)->type);
    return expectedUnit(attribute->type);
}

class SavedAtStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(server.get(), nullptr);
        ASSERT_TRUE(save_all_IEC_values_in_XML(server.get(), file, output.streams()));
        ASSERT_EQ(document.LoadFile(file.c_str()), tinyxml2::XML_SUCCESS);
        root = document.RootElement();
        ASSERT_NE(root, nullptr);
    }

    // The entry element at "LD/LN.DO.DA".
    const XMLElement* entry(const std::string& path)
    {
        const auto slash = path.find('/');
        const XMLElement* e = root->FirstChildElement(path.substr(0, slash).c_str());
        for (const std::string& name : split(path.substr(slash + 1), '.'))
            e = e ? e->FirstChildElement(name.c_str()) : nullptr;
        EXPECT_NE(e, nullptr) << path;
        return e;
    }

    // Its first attribute is the unit, its second and last the value.
    void expectEntry(const std::string& path, const char* unit, const char* value)
    {
        const XMLElement* e = entry(path);
        const tinyxml2::XMLAttribute* first = e ? e->FirstAttribute() : nullptr;
        ASSERT_NE(first, nullptr) << path;
        ASSERT_NE(first->Next(), nullptr) << path;
        EXPECT_EQ(std::string(first->Name()) + "=" + first->Value() + " " + first->Next()->Name() + "=" +
                      first->Next()->Value(),
                  std::string("unit=") + unit + " value=" + value)
            << path;
        EXPECT_EQ(first->Next()->Next(), nullptr) << path;
    }

    testsupport::TempDir dir;
    std::string file = dir.path() + "/" + kValuesFileName;
    ModelServer server;
    Captured output;
    tinyxml2::XMLDocument document;
    const XMLElement* root = nullptr;
};

TEST_F(SavedAtStart, FileHoldsEveryDeviceNodeObjectAndAttributeInModelOrder)
{
    EXPECT_EQ(output.out.str(), "-- Saving all the data --\nsave_all_IEC_values_in_XML is done\n");
    EXPECT_EQ(output.err.str(), "");
    ASSERT_NE(document.FirstChild()->ToDeclaration(), nullptr);
    EXPECT_STREQ(document.FirstChild()->Value(), "xml version=\"1.0\" encoding=\"UTF-8\"");
    EXPECT_STREQ(root->Name(), "Root");

    int devices = 0, nodes = 0, objects = 0, attributes = 0;
    const XMLElement* ldElement = root->FirstChildElement();
    for (ModelNode* ld = box::staticModel()->firstChild; ld; ld = ld->sibling, ++devices) {
        ASSERT_NE(ldElement, nullptr);
        ASSERT_STREQ(ldElement->Name(), ld->name);
        const XMLElement* lnElement = ldElement->FirstChildElement();
        for (ModelNode* ln = ld->firstChild; ln; ln = ln->sibling, ++nodes) {
            ASSERT_STREQ(lnElement->Name(), ln->name);
            const XMLElement* doElement = lnElement->FirstChildElement();
            for (ModelNode* dataObject = ln->firstChild; dataObject; dataObject = dataObject->sibling, ++objects) {
                ASSERT_STREQ(doElement->Name(), dataObject->name);
                const XMLElement* daElement = doElement->FirstChildElement();
                for (ModelNode* da = dataObject->firstChild; da; da = da->sibling, ++attributes) {
                    ASSERT_NE(daElement, nullptr) << dataObject->name << '.' << da->name;
                    ASSERT_STREQ(daElement->Name(), da->name);
                    EXPECT_EQ(daElement->FirstChildElement(), nullptr);
                    const char* unit = expectedUnit(static_cast<DataAttribute*>(da));
                    EXPECT_STREQ(daElement->Attribute("unit"), unit) << ln->name << '.' << dataObject->name << '.'
                                                                     << da->name;
                    EXPECT_EQ(daElement->Attribute("value") != nullptr, unit != nullptr);
                    daElement = daElement->NextSiblingElement();
                }
                EXPECT_EQ(daElement, nullptr);
                doElement = doElement->NextSiblingElement();
            }
            EXPECT_EQ(doElement, nullptr);
            lnElement = lnElement->NextSiblingElement();
        }
        EXPECT_EQ(lnElement, nullptr);
        ldElement = ldElement->NextSiblingElement();
    }
    EXPECT_EQ(ldElement, nullptr);
    EXPECT_EQ(devices, 3);
    EXPECT_EQ(nodes, 80);
    EXPECT_EQ(objects, 4627);
    EXPECT_EQ(attributes, 10131);
    tinyxml2::XMLPrinter printer;  // tinyxml2's indented form
    document.Print(&printer);
    EXPECT_EQ(testsupport::readFile(file), std::string(printer.CStr()));
}

TEST_F(SavedAtStart, StartValuesAreStoredUnderTheirTags)
{
    EXPECT_STREQ(root->FirstChildElement()->FirstChildElement()->FirstChildElement()->FirstChildElement()->Name(),
                 "vendor");
    for (const auto& row : dataRows("saved_entries.txt"))
        expectEntry(row.at(0), row.at(1).c_str(), row.at(2).c_str());
    for (const char* oper : {"CLS1/FailSafe_GGIO001.FailDurSet.Oper", "CLS2/FailSafe_GGIO001.FailDurSet.Oper"})
        if (const XMLElement* e = entry(oper)) {
            EXPECT_EQ(e->FirstAttribute(), nullptr) << "the ctlVal of an APC is itself a structure";
        }
}

TEST_F(SavedAtStart, TimesAreStoredInWholeSecondsAndFloatsWithEightDigits)
{
    IedServer_updateUTCTimeAttributeValue(server.get(), attributeAt("CLS1/MMXU001.TotW.t"), 1'700'000'012'345);
    IedServer_updateFloatAttributeValue(server.get(), attributeAt("CLS1/EmpSPrg_FSCH020001.ValASG002.setMag.f"),
                                        1.0f / 3.0f);
    ASSERT_TRUE(save_all_IEC_values_in_XML(server.get(), file, output.streams()));
    ASSERT_EQ(document.LoadFile(file.c_str()), tinyxml2::XML_SUCCESS);
    root = document.RootElement();
    expectEntry("CLS1/MMXU001.TotW.t", "MMS_UTC_TIME", "1700000012");
    expectEntry("CLS1/EmpSPrg_FSCH020001.ValASG002.setMag", "MMS_FLOAT", "0.33333334");
}

TEST(FailedSave, IsReportedAndLeavesWhatWasThere)
{
    testsupport::TempDir dir;
    ModelServer server;
    namespace fs = std::filesystem;
    const std::string absent = dir.path() + "/absent/" + kValuesFileName, previous = dir.path() + "/values.xml",
                      taken = dir.path() + "/taken";
    writeText(previous, "<Root>previous</Root>");
    fs::create_directory(previous + ".tmp");  // the new file cannot be created
    fs::create_directories(taken + "/inside");
    for (const std::string& file : {absent, previous, taken}) {
        Captured output;
        EXPECT_FALSE(save_all_IEC_values_in_XML(server.get(), file, output.streams())) << file;
        EXPECT_EQ(output.out.str(), "-- Saving all the data --\n");
        EXPECT_EQ(output.err.str(), "Error: Could not save XML file:" + file + "\n");
    }
    EXPECT_FALSE(fs::exists(dir.path() + "/absent"));
    EXPECT_EQ(testsupport::readFile(previous), "<Root>previous</Root>");
    EXPECT_TRUE(fs::is_directory(previous + ".tmp")) << "what was in the way stays";
    EXPECT_FALSE(fs::exists(taken + ".tmp"));
    EXPECT_TRUE(fs::is_directory(taken + "/inside"));

    Captured output;
    EXPECT_FALSE(save_all_IEC_values_in_XML(nullptr, dir.path() + "/none.xml", output.streams()));
    EXPECT_FALSE(fs::exists(dir.path() + "/none.xml"));
    EXPECT_FALSE(load_all_IEC_values_from_XML(nullptr, previous, output.streams()).fileRead);
}

// A value written through the server to the attribute at path.
struct Change {
    std::string path;
    Value value;
};

// A value of a kind named in a data file, from its text.
Value parsed(const std::string& kind, const std::string& text)
{
    if (kind == "bool")
        return Value::boolean(text == "true");
    if (kind == "int")
        return Value::integer(std::stoll(text));
    if (kind == "uint")
        return Value::unsignedInteger(std::stoull(text));
    if (kind == "float")
        return Value::float32(std::stof(text));
    if (kind == "utc")
        return Value::utcTimeMs(std::stoull(text));
    if (kind == "quality") {
        Value q = Value::bitString(13);
        q.setBitsFromInteger(static_cast<std::uint16_t>(std::stoul(text, nullptr, 0)));
        return q;
    }
    return Value::visibleString(text);
}

// Values of every kind the file restores (plain attributes, the first component
// of constructed ones, all schedule values of one node), or saves but does not read back.
std::vector<Change> changes(bool restored)
{
    std::vector<Change> changes;
    for (const auto& row : dataRows("changed_values.txt"))
        if ((row.at(0) == "restored") == restored)
            changes.push_back({row.at(1), parsed(row.at(2), row.at(3))});
    for (int i = 1; restored && i <= 100; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "CLS1/EmpSPrg_FSCH020001.ValASG%03d.setMag.f", i);
        changes.push_back({path, Value::float32(static_cast<float>(i) * 1.5f - 40.1f)});
    }
    return changes;
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
    const std::vector<Change> restorable = changes(true);
    std::vector<Change> all = restorable;
    for (Change& c : changes(false))
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
    saveChanged(changes(true));
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

constexpr const char* kStart = "load_all_IEC_values_from_XML\n";
constexpr const char* kDone = "load_all_IEC_values_from_XML done\n";

// Every update the server sees, changed or not.
struct UpdateRecorder : iec61850::ied::UpdateListener {
    void attributeUpdated(DataAttribute* a, iec61850::ied::Change, bool) override { updated.push_back(a->name); }
    std::vector<std::string> updated;
};

class BadFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(server.get(), nullptr);
        iec61850::ied::setUpdateListener(server.get(), &updates);
    }
    void TearDown() override { iec61850::ied::setUpdateListener(server.get(), nullptr); }

    LoadResult load(const std::string& text)
    {
        writeText(file, text);
        return loadAsIs();
    }
    LoadResult loadAsIs()
    {
        output.out.str("");
        output.err.str("");
        updates.updated.clear();
        return load_all_IEC_values_from_XML(server.get(), file, output.streams());
    }
    std::vector<std::string> changed() { return differences(before, snapshot(server.get())); }

    void expectUnreadable(const std::string& what)
    {
        EXPECT_EQ(output.out.str(), kStart) << what;
        EXPECT_EQ(output.err.str(), "Error: Could not load XML file:" + file + "\n") << what;
        EXPECT_TRUE(updates.updated.empty()) << what;
    }

    testsupport::TempDir dir;
    std::string file = dir.path() + "/" + kValuesFileName;
    ModelServer server;
    UpdateRecorder updates;
    Snapshot before;
    Captured output;
};

TEST_F(BadFile, FilesThatCannotBeReadAreFailuresOfTheLoad)
{
    before = snapshot(server.get());
    EXPECT_FALSE(loadAsIs().fileRead);
    expectUnreadable("missing");
    const std::string tooLarge = "<Root><STB><LLN0><Beh><stVal unit=\"MMS_INTEGER\" value=\"9\"/></Beh></LLN0></STB>" +
                                 std::string(9u << 20, ' ') + "</Root>";  // well-formed, only too large
    for (const std::string& text : {std::string(), std::string("<Root><STB><LLN0><Beh><stVal unit=\"MMS_INTEGER\" "
                                                               "value=\"9\"/></Beh>"),
                                    std::string("<Root><STB></CLS1></Root>"), std::string("plain text"),
                                    std::string("<Root a=1/>"), tooLarge}) {
        EXPECT_FALSE(load(text).fileRead);
        expectUnreadable(text.substr(0, 40));
    }
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_FALSE(loadAsIs().fileRead);
    expectUnreadable("directory");
    EXPECT_TRUE(changed().empty());
}

std::string unescaped(std::string text)
{
    for (auto at = text.find("\\n"); at != std::string::npos; at = text.find("\\n", at + 1))
        text.replace(at, 2, "\n");
    return text;
}

TEST_F(BadFile, BrokenEntriesAreReportedAndOnlyTheGoodOnesApply)
{
    for (const auto& row : dataRows("bad_values.txt")) {
        const std::string text = unescaped(row.at(0));
        SCOPED_TRACE(text.substr(0, 160));
        before = snapshot(server.get());
        const LoadResult result = load(text);
        EXPECT_TRUE(result.fileRead);
        EXPECT_EQ(output.out.str(), kStart + unescaped(row.at(1)) + kDone);
        EXPECT_EQ(output.err.str(), "");
        EXPECT_EQ(result.applied, std::stoi(row.at(2)));
        EXPECT_EQ(result.rejected, std::stoi(row.at(3)));
        EXPECT_EQ(changed(), row.at(4).empty() ? std::vector<std::string>{} : split(row.at(4), ' '));
        EXPECT_EQ(updates.updated.empty(), result.applied == 0);
    }
    EXPECT_EQ(IedServer_getInt32AttributeValue(server.get(), attributeAt("CLS2/MMXU001.TotW.units.multiplier")), 3);
    EXPECT_EQ(IedServer_getAttributeValue(server.get(), attributeAt("CLS1/MMXU001.TotW.db"))->toUint32(), 4u);
}

}  // namespace
}  // namespace persistence::test
