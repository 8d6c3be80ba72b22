// Installation of the box: the Debian package with its install tree, the systemd
// units, and the D-Bus policy files under a system bus's default rules.
#include "child_process.hpp"
#include "data_rows.hpp"
#include "private_bus.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::shell;
using testsupport::TempDir;

constexpr const char* kEmsName = "de.brenvolta.vantor.iec61850";
constexpr const char* kManagerName = "de.brenvolta.vantor.iec61850.schedulemanager";

bool have(const std::string& program) { return shell("command -v " + program).status == 0; }
std::string inQuotes(const std::string& text) { return "'" + text + "'"; }

TEST(Package, HoldsTheBoxNamesItsRuntimeLibrariesAndItsUnitsVerify)
{
    if (!have("dpkg-deb"))
        GTEST_SKIP() << "dpkg-deb is not installed";
    TempDir out, control, tree;
    const auto pack = shell("cpack -G DEB --config " + inQuotes(std::string(BOX_BUILD_DIR) + "/CPackConfig.cmake") +
                            " -B " + inQuotes(out.path()));
    ASSERT_EQ(pack.status, 0) << pack.out;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(out.path()))
        if (entry.path().extension() == ".deb")
            deb = entry.path().string();
    ASSERT_FALSE(deb.empty()) << pack.out;
    ASSERT_EQ(shell("dpkg-deb -x " + inQuotes(deb) + " " + inQuotes(tree.path())).status, 0);
    for (const auto& row : testsupport::dataRows(PROC_TEST_DATA "/package-files.txt")) {
        const std::string file = tree.path() + "/" + row[0];
        std::string line = "\n";
        for (std::size_t i = 1; i < row.size(); ++i)
            line += (i > 1 ? " " : "") + row[i];
        if (line.ends_with("$"))
            line.back() = '\n';
        EXPECT_TRUE(fs::exists(file) && ("\n" + readFile(file)).find(line) != std::string::npos) << row[0] << ":" << line;
    }
    EXPECT_FALSE(fs::exists(tree.path() + "/usr/local"));
    EXPECT_NE(shell(inQuotes(tree.path() + "/usr/bin/iec-client") + " --help").out.find("usage: iec-client"),
              std::string::npos);

    const auto info = shell("dpkg-deb -I " + inQuotes(deb));
    ASSERT_EQ(info.status, 0) << info.out;
    EXPECT_NE(info.out.find("Package: steuerbox-iec61850"), std::string::npos) << info.out;
    const auto depends = info.out.find(" Depends: ");
    ASSERT_NE(depends, std::string::npos) << info.out;
    const std::string dependencies = info.out.substr(depends, info.out.find('\n', depends) - depends);
    for (const char* package : {"libsdbus-c++1", "libtinyxml2-9", "libsqlite3-0", "libcpp-httplib0.11", "dbus,"})
        EXPECT_NE(dependencies.find(package), std::string::npos) << package << " missing in" << dependencies;
    ASSERT_EQ(shell("dpkg-deb -e " + inQuotes(deb) + " " + inQuotes(control.path())).status, 0);
    EXPECT_EQ(readFile(control.path() + "/conffiles"), "/etc/steuerbox/JSONRPC_config.conf\n");
    for (const char* script : {"postinst", "prerm", "postrm"})
        EXPECT_EQ(shell("sh -n " + inQuotes(control.path() + "/" + script)).status, 0) << script;
    EXPECT_NE(readFile(control.path() + "/postinst").find("useradd --system"), std::string::npos);

    // systemd-analyze checks that ExecStart programs exist: the units pointed at the tree.
    if (!have("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed";
    std::string units;
    for (const char* unit : {"steuerbox-schedule-manager.service", "steuerbox-iec-server.service"}) {
        const std::string text = readFile(tree.path() + "/usr/lib/systemd/system/" + unit);
        std::ofstream(out.path() + "/" + unit) << std::regex_replace(text, std::regex("ExecStart=/usr/"),
                                                                     "ExecStart=" + tree.path() + "/usr/");
        units += " " + inQuotes(out.path() + "/" + unit);
    }
    const auto verify = shell("cd " + inQuotes(out.path()) + " && SYSTEMD_LOG_COLOR=0 systemd-analyze verify --man=no" + units);
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_EQ(verify.out.find("steuerbox"), std::string::npos) << verify.out;
}

// The policy files on a bus with a system bus's default rules; dbus-send as the user nobody.
class Policy : public ::testing::Test {
protected:
    static std::string systemDefaults()
    {
        return std::regex_replace(readFile(PROC_TEST_DATA "/system-bus-defaults.conf"), std::regex("@SOURCE@"),
                                  BOX_SOURCE_DIR);
    }
    void SetUp() override
    {
        ::chmod(bus.directory().c_str(), 0755);  // other users reach the socket
        if (::getuid() != 0 || !have("setpriv"))
            GTEST_SKIP() << "needs root and setpriv to act as another user";
    }
    std::string asNobody(const std::string& destination, const std::string& path, const std::string& call)
    {
        return shell("DBUS_SYSTEM_BUS_ADDRESS=" + bus.address() +
                     " setpriv --reuid=nobody --regid=nogroup --clear-groups timeout 10 dbus-send --system"
                     " --print-reply --dest=" + destination + " " + path + " " + call)
            .out;
    }

    testsupport::PrivateBus bus{systemDefaults(), false};
};

TEST_F(Policy, RootOwnsBothNamesEveryUserMayCallTheEmsServiceButOnlyTheBoxMayChangeSchedules)
{
    auto ems = sdbus::createSystemBusConnection(kEmsName);
    auto manager = sdbus::createSystemBusConnection(kManagerName);
    ems->enterEventLoopAsync();
    manager->enterEventLoopAsync();
    for (const char* name : {kEmsName, kManagerName, "de.brenvolta.vantor.other"})
        EXPECT_NE(asNobody("org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus.RequestName string:" + std::string(name) + " uint32:4")
                      .find("AccessDenied"),
                  std::string::npos)
            << name;

    // Allowed calls reach the owner, which knows no such object; refused ones end at the bus.
    const auto setTotw = asNobody(kEmsName, "/de/brenvolta/vantor/iec61850/cls/mmxu001/1",
                                  "de.brenvolta.vantor.iec61850.cls.mmxu001.setTotw int64:1 uint64:2 int32:0");
    EXPECT_EQ(setTotw.find("AccessDenied"), std::string::npos) << setTotw;
    EXPECT_NE(setTotw.find("Error"), std::string::npos) << setTotw;
    const std::string managerPath = "/de/brenvolta/vantor/iec61850/schedulemanager";
    EXPECT_NE(asNobody(kManagerName, managerPath, std::string(kManagerName) + ".getActivateSchedule int32:1")
                  .find("AccessDenied"),
              std::string::npos);
    EXPECT_EQ(asNobody(kManagerName, managerPath, "org.freedesktop.DBus.Introspectable.Introspect").find("AccessDenied"),
              std::string::npos);
    ems->leaveEventLoop();
    manager->leaveEventLoop();
}

}  // namespace
