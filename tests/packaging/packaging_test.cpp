// Installation of the box: the install tree, the Debian package, the systemd
// units and the D-Bus policy files under a system bus's default rules.
#include "child_process.hpp"
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
using testsupport::TempDir;
using testsupport::readFile;

constexpr const char* kEmsName = "de.brenvolta.vantor.iec61850";
constexpr const char* kManagerName = "de.brenvolta.vantor.iec61850.schedulemanager";
const std::vector<std::string> kUnits = {"steuerbox-schedule-manager.service", "steuerbox-iec-server.service"};

using testsupport::shell;

bool have(const std::string& program) { return shell("command -v " + program).status == 0; }
std::string inQuotes(const std::string& text) { return "'" + text + "'"; }

// The files every installation of the box holds, relative to the root.
const std::vector<std::string> kInstalledFiles = {
    "usr/sbin/IecServer",
    "usr/sbin/schedule-manager",
    "usr/bin/iec-client",
    "usr/share/dbus-1/system.d/de.brenvolta.vantor.iec61850.conf",
    "usr/share/dbus-1/system.d/de.brenvolta.vantor.iec61850.schedulemanager.conf",
    "usr/lib/systemd/system/steuerbox-schedule-manager.service",
    "usr/lib/systemd/system/steuerbox-iec-server.service",
    "etc/steuerbox/JSONRPC_config.conf",
};

// systemd-analyze checks that ExecStart programs exist: point the units at the tree.
void verifyUnits(const fs::path& root)
{
    if (!have("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed";
    TempDir copies;
    std::string names;
    for (const auto& unit : kUnits) {
        std::string text = readFile((root / "usr/lib/systemd/system" / unit).string());
        text = std::regex_replace(text, std::regex("ExecStart=/usr/"), "ExecStart=" + (root / "usr").string() + "/");
        std::ofstream(fs::path(copies.path()) / unit) << text;
        names += " " + inQuotes((fs::path(copies.path()) / unit).string());
    }
    const auto verify = shell("cd " + inQuotes(copies.path()) + " && SYSTEMD_LOG_COLOR=0 systemd-analyze verify --man=no" + names);
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_EQ(verify.out.find("steuerbox"), std::string::npos) << verify.out;
}

TEST(Installation, PutsTheProgramsUnitsPolicyAndConfigurationInPlace)
{
    TempDir root;
    const auto install = shell("DESTDIR=" + inQuotes(root.path()) + " cmake --install " + inQuotes(BOX_BUILD_DIR) +
                            " --prefix /usr");
    ASSERT_EQ(install.status, 0) << install.out;
    for (const auto& file : kInstalledFiles)
        EXPECT_TRUE(fs::exists(fs::path(root.path()) / file)) << file;

    const std::pair<const char*, const char*> unitLines[] = {
        {"steuerbox-iec-server.service", "ExecStart=/usr/sbin/IecServer\n"},
        {"steuerbox-iec-server.service", "WorkingDirectory=/var/lib/steuerbox/box\n"},
        {"steuerbox-iec-server.service", "Restart=on-failure\n"},
        {"steuerbox-iec-server.service", "Wants=steuerbox-schedule-manager.service"},
        {"steuerbox-schedule-manager.service", "BusName=de.brenvolta.vantor.iec61850.schedulemanager\n"},
        {"steuerbox-schedule-manager.service", "ExecStart=/usr/sbin/schedule-manager --state-file /var/lib/steuerbox/"},
    };
    for (const auto& [unit, line] : unitLines)
        EXPECT_NE(readFile(root.path() + "/usr/lib/systemd/system/" + unit).find(line), std::string::npos) << unit << ": " << line;
    verifyUnits(root.path());
}

TEST(Installation, TheDebianPackageHoldsTheBoxAndNamesItsRuntimeLibraries)
{
    if (!have("dpkg-deb"))
        GTEST_SKIP() << "dpkg-deb is not installed";
    TempDir out;
    const auto pack = shell("cpack -G DEB --config " + inQuotes(std::string(BOX_BUILD_DIR) + "/CPackConfig.cmake") +
                         " -B " + inQuotes(out.path()));
    ASSERT_EQ(pack.status, 0) << pack.out;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(out.path()))
        if (entry.path().extension() == ".deb")
            deb = entry.path().string();
    ASSERT_FALSE(deb.empty()) << pack.out;

    const auto contents = shell("dpkg-deb -c " + inQuotes(deb));
    ASSERT_EQ(contents.status, 0) << contents.out;
    for (const auto& file : kInstalledFiles)
        EXPECT_NE(contents.out.find("./" + file + "\n"), std::string::npos) << file << "\n" << contents.out;
    EXPECT_EQ(contents.out.find("/usr/local"), std::string::npos);

    const auto info = shell("dpkg-deb -I " + inQuotes(deb));
    ASSERT_EQ(info.status, 0) << info.out;
    EXPECT_NE(info.out.find("Package: steuerbox-iec61850"), std::string::npos) << info.out;
    const auto depends = info.out.find(" Depends: ");
    ASSERT_NE(depends, std::string::npos) << info.out;
    const std::string dependencies = info.out.substr(depends, info.out.find('\n', depends) - depends);
    for (const char* package : {"libsdbus-c++1", "libtinyxml2-9", "libsqlite3-0", "libcpp-httplib0.11", "dbus,"})
        EXPECT_NE(dependencies.find(package), std::string::npos) << package << " missing in" << dependencies;
    for (const char* script : {"postinst", "prerm", "postrm", "conffiles"})
        EXPECT_NE(info.out.find(script), std::string::npos) << script;

    TempDir control;
    ASSERT_EQ(shell("dpkg-deb -e " + inQuotes(deb) + " " + inQuotes(control.path())).status, 0);
    EXPECT_EQ(readFile(control.path() + "/conffiles"), "/etc/steuerbox/JSONRPC_config.conf\n");
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        const auto syntax = shell("sh -n " + inQuotes(control.path() + "/" + script));
        EXPECT_EQ(syntax.status, 0) << script << ": " << syntax.out;
    }
    EXPECT_NE(readFile(control.path() + "/postinst").find("useradd --system"), std::string::npos);

    TempDir tree;
    ASSERT_EQ(shell("dpkg-deb -x " + inQuotes(deb) + " " + inQuotes(tree.path())).status, 0);
    const auto version = shell(inQuotes(tree.path() + "/usr/bin/iec-client") + " --help");
    EXPECT_NE(version.out.find("usage: iec-client"), std::string::npos) << version.out;
    verifyUnits(tree.path());
}

// The policy files on a bus with a system bus's default rules.
class Policy : public ::testing::Test {
protected:
    static std::string systemDefaults()
    {
        std::string policy = "<policy context=\"default\">\n"
                             "  <deny own=\"*\"/>\n"
                             "  <deny send_type=\"method_call\"/>\n"
                             "  <allow send_type=\"signal\"/>\n"
                             "  <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
                             "  <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
                             "  <allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>\n"
                             "  <allow send_destination=\"org.freedesktop.DBus\"\n"
                             "         send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
                             "</policy>\n";
        for (const char* name : {kEmsName, kManagerName})
            policy += "<include>" BOX_SOURCE_DIR "/packaging/dbus/" + std::string(name) + ".conf</include>\n";
        return policy;
    }

    void SetUp() override { ::chmod(bus.directory().c_str(), 0755); }  // other users reach the socket

    // dbus-send as the unprivileged user nobody.
    testsupport::Finished asNobody(const std::string& arguments)
    {
        return shell("DBUS_SYSTEM_BUS_ADDRESS=" + bus.address() +
                     " setpriv --reuid=nobody --regid=nogroup --clear-groups timeout 10 dbus-send --system --print-reply " +
                     arguments);
    }
    void requireRoot()
    {
        if (::getuid() != 0 || !have("setpriv"))
            GTEST_SKIP() << "needs root and setpriv to act as another user";
    }

    testsupport::PrivateBus bus{systemDefaults(), false};
};

TEST_F(Policy, RootMayOwnBothNamesAndOtherUsersNeither)
{
    for (const char* name : {kEmsName, kManagerName}) {
        std::unique_ptr<sdbus::IConnection> owner;
        EXPECT_NO_THROW(owner = sdbus::createSystemBusConnection(name)) << name;
    }
    requireRoot();
    for (const char* name : {kEmsName, kManagerName, "de.brenvolta.vantor.other"}) {
        const auto r = asNobody("--dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.RequestName "
                                 "string:" + std::string(name) + " uint32:4");
        EXPECT_NE(r.status, 0) << name;
        EXPECT_NE(r.out.find("AccessDenied"), std::string::npos) << name << ": " << r.out;
    }
}

TEST_F(Policy, EveryUserMayCallTheEmsServiceButOnlyTheBoxMayChangeSchedules)
{
    requireRoot();
    auto ems = sdbus::createSystemBusConnection(kEmsName);
    auto manager = sdbus::createSystemBusConnection(kManagerName);
    ems->enterEventLoopAsync();
    manager->enterEventLoopAsync();

    // Allowed calls reach the owner, which knows no such object; refused ones end at the bus.
    const auto ems1 = asNobody("--dest=" + std::string(kEmsName) +
                              " /de/brenvolta/vantor/iec61850/cls/mmxu001/1"
                              " de.brenvolta.vantor.iec61850.cls.mmxu001.setTotw int64:1 uint64:2 int32:0");
    EXPECT_EQ(ems1.out.find("AccessDenied"), std::string::npos) << ems1.out;
    EXPECT_NE(ems1.out.find("Error"), std::string::npos) << ems1.out;

    const auto add = asNobody("--dest=" + std::string(kManagerName) +
                             " /de/brenvolta/vantor/iec61850/schedulemanager"
                             " de.brenvolta.vantor.iec61850.schedulemanager.getActivateSchedule int32:1");
    EXPECT_NE(add.out.find("AccessDenied"), std::string::npos) << add.out;

    const auto introspect = asNobody("--dest=" + std::string(kManagerName) +
                                    " /de/brenvolta/vantor/iec61850/schedulemanager"
                                    " org.freedesktop.DBus.Introspectable.Introspect");
    EXPECT_EQ(introspect.out.find("AccessDenied"), std::string::npos) << introspect.out;

    ems->leaveEventLoop();
    manager->leaveEventLoop();
}

}  // namespace
