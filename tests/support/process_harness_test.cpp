#include "child_process.hpp"
#include "private_bus.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace testsupport;

TEST(PrivateBus, ServesAsTheSystemBusOfChildren)
{
    PrivateBus bus;
    ASSERT_STREQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), bus.address().c_str());
    ChildProcess send("/usr/bin/dbus-send", {"--system", "--print-reply", "--dest=org.freedesktop.DBus",
                                             "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId"});
    EXPECT_EQ(send.waitForExit(), 0) << send.errorOutput();
    EXPECT_NE(send.output().find("string \""), std::string::npos);
}

TEST(ChildProcess, ReportsExitStatusAndSignals)
{
    ChildProcess fails("/bin/sh", {"-c", "echo out; echo err >&2; exit 255"});
    EXPECT_EQ(fails.waitForExit(), 255);
    EXPECT_EQ(fails.output(), "out\n");
    EXPECT_EQ(fails.errorOutput(), "err\n");

    ChildProcess sleeper("/bin/sleep", {"30"});
    EXPECT_TRUE(sleeper.running());
    EXPECT_EQ(sleeper.stop(), -15);
}
