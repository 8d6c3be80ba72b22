// The CLS devices and the names schedule handling builds from them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

enum class LogicalDeviceKind : std::int32_t { CLS1 = 1, CLS2 = 2, CLS3 = 3, CLS4 = 4 };

// "CLS1" .. "CLS4", exact; anything else throws std::invalid_argument.
LogicalDeviceKind logicalDeviceKindFromString(std::string_view name);

inline std::int32_t clsNumber(LogicalDeviceKind kind) { return static_cast<std::int32_t>(kind); }

// Schedule node names without their instance number, in the order of every
// pass over schedules.
inline constexpr std::array<std::string_view, 10> scheduleTypePrefixes{
    "SysRes_FSCH01000",  "EmpSPrg_FSCH02000", "EmpSPrg_FSCH02010", "EmpWCmd_FSCH03000",  "EmpDCmd_FSCH05000",
    "SysSoft_FSCH11000", "DsoWCmd_FSCH13000", "DsoDCmd_FSCH15000", "SysComEr_FSCH22000", "DsoECmd_FSCH25000",
};

std::string deviceName(LogicalDeviceKind kind);                        // "CLS2"
std::string scheduleNodeName(std::string_view prefix, int instance);   // "EmpSPrg_FSCH020001"
std::string valAsgName(int entry);                                     // "ValASG007"
std::string strTmName(int entry);                                      // "StrTm07"
std::string activeScheduleRef(LogicalDeviceKind kind, std::string_view lnName);  // "@CLS1/EmpSPrg_FSCH020001"

// A reference read back: "@CLS2/SysSoft_FSCH110001" gives "CLS2" and
// "SysSoft_FSCH110001"; a missing piece stays empty.
struct ScheduleRefParts {
    std::string device;
    std::string node;
};
ScheduleRefParts splitActiveScheduleRef(std::string_view reference);
