#include "logical_device_kind.hpp"

#include <cstdio>
#include <stdexcept>

LogicalDeviceKind logicalDeviceKindFromString(std::string_view name)
{
    if (name == "CLS1") return LogicalDeviceKind::CLS1;
    if (name == "CLS2") return LogicalDeviceKind::CLS2;
    if (name == "CLS3") return LogicalDeviceKind::CLS3;
    if (name == "CLS4") return LogicalDeviceKind::CLS4;
    throw std::invalid_argument("Invalid LogicalDeviceKind string");
}

std::string deviceName(LogicalDeviceKind kind) { return "CLS" + std::to_string(clsNumber(kind)); }

std::string scheduleNodeName(std::string_view prefix, int instance)
{
    return std::string(prefix) + std::to_string(instance);
}

static std::string numbered(const char* stem, int width, int number)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*d", width, number);
    return stem + std::string(digits);
}

std::string valAsgName(int entry) { return numbered("ValASG", 3, entry); }
std::string strTmName(int entry) { return numbered("StrTm", 2, entry); }

std::string activeScheduleRef(LogicalDeviceKind kind, std::string_view lnName)
{
    return "@" + deviceName(kind) + "/" + std::string(lnName);
}

ScheduleRefParts splitActiveScheduleRef(std::string_view reference)
{
    ScheduleRefParts parts;
    const auto slash = reference.find('/');
    const std::string_view first = reference.substr(0, slash);
    if (!first.empty()) parts.device = first.substr(1);
    if (slash != std::string_view::npos) {
        const std::string_view rest = reference.substr(slash + 1);
        parts.node = rest.substr(0, rest.find('/'));
    }
    return parts;
}
