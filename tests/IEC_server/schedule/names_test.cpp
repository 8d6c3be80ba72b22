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

TEST(LogicalDeviceKindNames, NumberedObjectsAndActiveScheduleReferences)
{
    EXPECT_EQ(valAsgName(7) + valAsgName(300), "ValASG007ValASG300");
    EXPECT_EQ(strTmName(7) + strTmName(10), "StrTm07StrTm10");
    EXPECT_EQ(scheduleNodeName("EmpSPrg_FSCH02000", 1), "EmpSPrg_FSCH020001");

    EXPECT_EQ(activeScheduleRef(LogicalDeviceKind::CLS2, "SysSoft_FSCH110001"), "@CLS2/SysSoft_FSCH110001");
    const ScheduleRefParts parts = splitActiveScheduleRef("@CLS2/SysSoft_FSCH110001");
    EXPECT_EQ(parts.device + " " + parts.node, "CLS2 SysSoft_FSCH110001");
    EXPECT_EQ(splitActiveScheduleRef("@CLS1").node, "");
    EXPECT_EQ(splitActiveScheduleRef("/x").device, "");
    EXPECT_EQ(splitActiveScheduleRef("@CLS1/A/B").node, "A");
}

}  // namespace
