// The settings store: what clients configured comes back in a fresh server
// and nothing else is kept; a save cut off at any step (as by a power cut)
// leaves the earlier file or the new one; a damaged file gives start values.
#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "settings_store.hpp"

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace persistence::test {
namespace {

namespace fs = std::filesystem;
using namespace boxtest;

const std::string kInterval = "CLS1/EmpSPrg_FSCH020001.SchdIntv.setVal";
const std::string kState = "CLS1/EmpSPrg_FSCH020001.SchdSt.stVal";

class SettingsStoreTest : public ::testing::Test {
protected:
    std::string path() const { return dir.path() + "/settings.txt"; }

    // A server with the start values, its store watching; the server goes with it.
    struct Box {
        explicit Box(const std::string& path) : store(server.get(), box::staticModel(), path) {}
        IedServer get() const { return server.get(); }
        ModelServer server;
        SettingsStore store;
    };

    static void setInterval(IedServer server, std::int32_t seconds)
    {
        IedServer_updateInt32AttributeValue(server, attributeAt(kInterval), seconds);
    }
    static std::int32_t intervalIn(IedServer server)
    {
        return IedServer_getInt32AttributeValue(server, attributeAt(kInterval));
    }
    // A server with the start values saves the interval as its one change.
    void saveInterval(std::int32_t seconds)
    {
        Box box(path());
        box.store.watch({});
        setInterval(box.get(), seconds);
        ASSERT_TRUE(box.store.saveIfChanged());
    }
    // Loads the file into a fresh server and reads the interval back.
    std::pair<SettingsStore::Loaded, std::int32_t> reload()
    {
        Box fresh(path());
        testing::internal::CaptureStdout();
        const auto loaded = fresh.store.load();
        lastLine = testing::internal::GetCapturedStdout();
        return {loaded, intervalIn(fresh.get())};
    }

    testsupport::TempDir dir;
    std::string lastLine;
};

// What a client configured comes back (the box tests see it across restarts); a status does not.
TEST_F(SettingsStoreTest, ChangedSettingsComeBackInAFreshServerAndNothingElseIsKept)
{
    {
        Box box(path());
        box.store.watch({});
        setInterval(box.get(), 2);
        IedServer_updateInt32AttributeValue(box.get(), attributeAt(kState), 4);
        EXPECT_TRUE(box.store.changed());
        ASSERT_TRUE(box.store.saveIfChanged());
        EXPECT_FALSE(box.store.changed());
    }
    Box fresh(path());
    testing::internal::CaptureStdout();
    EXPECT_EQ(fresh.store.load(), SettingsStore::Loaded::Restored);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Settings: 1 restored from " + path() + "\n");
    EXPECT_EQ(intervalIn(fresh.get()), 2);
    EXPECT_EQ(IedServer_getInt32AttributeValue(fresh.get(), attributeAt(kState)), 0);
    EXPECT_FALSE(fresh.store.changed());  // loading is not a change to save
}

TEST_F(SettingsStoreTest, ASaveCutOffAtAnyStepLeavesTheEarlierFileOrTheNewOne)
{
    saveInterval(2);
    for (const auto& [cutAt, survives] : {std::pair{SettingsStore::SaveStep::TemporaryWritten, 2},
                                          {SettingsStore::SaveStep::Renamed, 3}}) {
        SCOPED_TRACE(static_cast<int>(cutAt));
        const pid_t child = fork();
        if (child == 0) {
            Box box(path());
            box.store.watch({});
            setInterval(box.get(), 3);
            box.store.setSaveHook([cutAt = cutAt](SettingsStore::SaveStep step) {
                if (step == cutAt)
                    _exit(0);  // the power goes
            });
            box.store.saveIfChanged();
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
        {"without its end", good.substr(0, good.find("end "))},
        {"empty", ""},
        {"other text", "<Root/>\n"},
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
