// The CLS kinds and the names schedule handling builds.
#include "logical_device_kind.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(LogicalDeviceKindNames, OnlyTheFourExactNamesAreKinds)
{
    EXPECT_EQ(logicalDeviceKindFromString("CLS1"), LogicalDeviceKind::CLS1);
    EXPECT_EQ(logicalDeviceKindFromString("CLS4"), LogicalDeviceKind::CLS4);
    for (const char* bad : {"cls1", "CLS5", "", "CLS", "CLS1 "}) {
        try {
            logicalDeviceKindFromString(bad);
            ADD_FAILURE() << bad;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Invalid LogicalDeviceKind string");
        }
    }
}

TEST(LogicalDeviceKindNames, DataObjectNumbering)
{
    EXPECT_EQ(valAsgName(7), "ValASG007");
    EXPECT_EQ(strTmName(7), "StrTm07");
    EXPECT_EQ(valAsgName(10), "ValASG010");
    EXPECT_EQ(strTmName(10), "StrTm10");
    EXPECT_EQ(valAsgName(300), "ValASG300");
    EXPECT_EQ(strTmName(100), "StrTm100");
    EXPECT_EQ(scheduleNodeName("EmpSPrg_FSCH02000", 1), "EmpSPrg_FSCH020001");
}

TEST(LogicalDeviceKindNames, ActiveScheduleReferenceRoundTrip)
{
    const std::string ref = activeScheduleRef(LogicalDeviceKind::CLS2, "SysSoft_FSCH110001");
    EXPECT_EQ(ref, "@CLS2/SysSoft_FSCH110001");
    const ScheduleRefParts parts = splitActiveScheduleRef(ref);
    EXPECT_EQ(parts.device, "CLS2");
    EXPECT_EQ(parts.node, "SysSoft_FSCH110001");

    EXPECT_EQ(splitActiveScheduleRef("@CLS1").node, "");
    EXPECT_EQ(splitActiveScheduleRef("/x").device, "");
    EXPECT_EQ(splitActiveScheduleRef("@CLS1/A/B").node, "A");
}

}  // namespace
