// What the model does not record and SCL needs: basic type names, the parts
// of node names, common data classes and the standard enumerations.
#include "iec61850/scl/scl_export.hpp"

#include <span>
#include <cctype>
#include <cstring>

namespace iec61850::scl {

std::string_view basicType(DataAttributeType type)
{
    switch (type) {
    case IEC61850_BOOLEAN: return "BOOLEAN";
    case IEC61850_INT8: return "INT8";
    case IEC61850_INT16: return "INT16";
    case IEC61850_INT32: return "INT32";
    case IEC61850_INT64: return "INT64";
    case IEC61850_INT8U: return "INT8U";
    case IEC61850_INT16U: return "INT16U";
    case IEC61850_INT24U: return "INT24U";
    case IEC61850_INT32U: return "INT32U";
    case IEC61850_FLOAT32: return "FLOAT32";
    case IEC61850_FLOAT64: return "FLOAT64";
    case IEC61850_ENUMERATED: return "Enum";
    case IEC61850_CODEDENUM: return "Dbpos";
    case IEC61850_OCTET_STRING_6: return "Octet6";
    case IEC61850_OCTET_STRING_8: return "Octet64";
    case IEC61850_OCTET_STRING_64: return "Octet64";
    case IEC61850_VISIBLE_STRING_32: return "VisString32";
    case IEC61850_VISIBLE_STRING_64: return "VisString64";
    case IEC61850_VISIBLE_STRING_65: return "VisString65";
    case IEC61850_VISIBLE_STRING_129: return "VisString129";
    case IEC61850_VISIBLE_STRING_255: return "VisString255";
    case IEC61850_UNICODE_STRING_255: return "Unicode255";
    case IEC61850_TIMESTAMP: return "Timestamp";
    case IEC61850_QUALITY: return "Quality";
    case IEC61850_CHECK: return "Check";
    case IEC61850_CONSTRUCTED: return "Struct";
    case IEC61850_ENTRY_TIME: return "EntryTime";
    case IEC61850_PHYCOMADDR: return "PhyComAddr";
    case IEC61850_CURRENCY: return "Currency";
    case IEC61850_OPTFLDS: return "OptFlds";
    case IEC61850_TRGOPS: return "TrgOps";
    case IEC61850_GENERIC_BITSTRING:
    case IEC61850_UNKNOWN_TYPE: break;
    }
    return "Octet64";
}

LnName splitLnName(std::string_view name)
{
    if (name == "LLN0")
        return {"", "LLN0", ""};
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])))
        --digits;
    const std::size_t classStart = digits >= 4 ? digits - 4 : 0;
    return {std::string(name.substr(0, classStart)), std::string(name.substr(classStart, digits - classStart)),
            std::string(name.substr(digits))};
}

namespace {

const DataAttribute* attributeNamed(const DataObject& object, const char* name)
{
    for (const ModelNode* n = object.firstChild; n; n = n->sibling)
        if (n->modelType == DataAttributeModelType && std::strcmp(n->name, name) == 0)
            return static_cast<const DataAttribute*>(n);
    return nullptr;
}

const char* statusClass(DataAttributeType type, bool controllable)
{
    switch (type) {
    case IEC61850_BOOLEAN: return controllable ? "SPC" : "SPS";
    case IEC61850_CODEDENUM: return controllable ? "DPC" : "DPS";
    case IEC61850_ENUMERATED: return controllable ? "ENC" : "ENS";
    case IEC61850_INT32: return controllable ? "INC" : "INS";
    case IEC61850_TIMESTAMP: return "TS";
    default: return "VSS";
    }
}

const char* settingClass(const DataObject& o)
{
    if (attributeNamed(o, "setMag"))
        return "ASG";
    if (attributeNamed(o, "setSrcRef"))
        return "ORG";
    if (attributeNamed(o, "setTm"))
        return "TSG";
    if (const DataAttribute* setVal = attributeNamed(o, "setVal"))
        return setVal->type == IEC61850_BOOLEAN ? "SPG" : setVal->type == IEC61850_ENUMERATED ? "ENG" : "ING";
    return nullptr;
}

}  // namespace

ObjectClass inferObjectClass(const DataObject& o)
{
    const bool controllable = attributeNamed(o, "ctlModel") != nullptr;
    if (const DataAttribute* stVal = attributeNamed(o, "stVal"))
        return {statusClass(stVal->type, controllable), ""};
    if (attributeNamed(o, "mxVal"))
        return {"APC", ""};
    if (attributeNamed(o, "mag"))
        return {"MV", ""};
    if (const char* setting = settingClass(o))
        return {setting, ""};
    if (attributeNamed(o, "hwRev") || attributeNamed(o, "serNum") || attributeNamed(o, "model"))
        return {"DPL", ""};
    if (attributeNamed(o, "vendor"))
        return {"LPL", ""};
    return {"VSS", ""};
}

namespace {

struct KindByName {
    const char* name;
    const char* kind;
};

// Attributes whose kind follows from their own name.
constexpr KindByName kByAttribute[] = {
    {"ctlModel", "CtlModelKind"}, {"orCat", "OriginatorCategoryKind"}, {"SIUnit", "SIUnitKind"},
    {"multiplier", "MultiplierKind"}, {"occType", "OccurrenceKind"}, {"occPer", "PeriodKind"},
    {"weekDay", "WeekdayKind"},   {"month", "MonthKind"}};

// stVal / ctlVal whose kind follows from the data object's name.
constexpr KindByName kByObject[] = {
    {"Beh", "BehaviourModeKind"},  {"Mod", "BehaviourModeKind"},  {"Health", "HealthKind"},
    {"PhyHealth", "HealthKind"},   {"EEHealth", "HealthKind"},    {"SchdSt", "ScheduleStateKind"},
    {"SchdEnaErr", "ScheduleEnablingErrorKind"}, {"SwTyp", "SwitchFunctionKind"}};

const char* lookup(std::span<const KindByName> table, const char* name)
{
    for (const KindByName& row : table)
        if (std::strcmp(row.name, name) == 0)
            return row.kind;
    return nullptr;
}

const ModelNode* dataObjectOf(const DataAttribute& attribute)
{
    const ModelNode* n = attribute.parent;
    while (n && n->modelType == DataAttributeModelType)
        n = n->parent;
    return n;
}

}  // namespace

std::string standardEnumKindOf(const DataAttribute& attribute)
{
    if (const char* kind = lookup(kByAttribute, attribute.name))
        return kind;
    const bool value = std::strcmp(attribute.name, "stVal") == 0 || std::strcmp(attribute.name, "ctlVal") == 0;
    const ModelNode* object = dataObjectOf(attribute);
    if (value && object)
        if (const char* kind = lookup(kByObject, object->name))
            return kind;
    return {};
}

std::vector<EnumKind> ExportOptions::standardEnumKinds()
{
    return {
        {"BehaviourModeKind", {{1, "on"}, {2, "on-blocked"}, {3, "test"}, {4, "test/blocked"}, {5, "off"}}},
        {"HealthKind", {{1, "Ok"}, {2, "Warning"}, {3, "Alarm"}}},
        {"CtlModelKind",
         {{0, "status-only"}, {1, "direct-with-normal-security"}, {2, "sbo-with-normal-security"},
          {3, "direct-with-enhanced-security"}, {4, "sbo-with-enhanced-security"}}},
        {"OriginatorCategoryKind",
         {{0, "not-supported"}, {1, "bay-control"}, {2, "station-control"}, {3, "remote-control"},
          {4, "automatic-bay"}, {5, "automatic-station"}, {6, "automatic-remote"}, {7, "maintenance"},
          {8, "process"}}},
        {"SIUnitKind",
         {{1, ""},      {2, "m"},     {3, "kg"},    {4, "s"},     {5, "A"},     {6, "K"},      {7, "mol"},
          {8, "cd"},    {9, "deg"},   {10, "rad"},  {11, "sr"},   {21, "Gy"},   {22, "Bq"},    {23, "°C"},
          {24, "Sv"},   {25, "F"},    {26, "C"},    {27, "S"},    {28, "H"},    {29, "V"},     {30, "ohm"},
          {31, "J"},    {32, "N"},    {33, "Hz"},   {34, "lx"},   {35, "Lm"},   {36, "Wb"},    {37, "T"},
          {38, "W"},    {39, "Pa"},   {41, "m²"},   {42, "m³"},   {43, "m/s"},  {44, "m/s²"},  {45, "m³/s"},
          {46, "m/m³"}, {47, "M"},    {48, "kg/m³"}, {49, "m²/s"}, {50, "W/m K"}, {51, "J/K"}, {52, "ppm"},
          {53, "1/s"},  {54, "rad/s"}, {55, "W/m²"}, {56, "J/m²"}, {57, "S/m"}, {58, "K/s"},   {59, "Pa/s"},
          {60, "J/kg K"}, {61, "VA"}, {62, "Watts"}, {63, "VAr"}, {64, "phi"}, {65, "cos(phi)"}, {66, "Vs"},
          {67, "V²"},   {68, "As"},   {69, "A²"},   {70, "A²t"},  {71, "VAh"},  {72, "Wh"},    {73, "VArh"},
          {74, "V/Hz"}, {75, "Hz/s"}, {76, "char"}, {77, "char/s"}, {78, "kgm²"}, {79, "dB"},  {80, "J/Wh"},
          {81, "W/s"},  {82, "l/s"},  {83, "dBm"},  {84, "h"},    {85, "min"}}},
        {"MultiplierKind",
         {{-24, "y"}, {-21, "z"}, {-18, "a"}, {-15, "f"}, {-12, "p"}, {-9, "n"}, {-6, "µ"}, {-3, "m"},
          {-2, "c"},  {-1, "d"},  {0, ""},    {1, "da"},  {2, "h"},   {3, "k"},  {6, "M"},  {9, "G"},
          {12, "T"},  {15, "P"},  {18, "E"},  {21, "Z"},  {24, "Y"}}},
        {"OccurrenceKind", {{0, "Time"}, {1, "WeekDay"}, {2, "WeekOfYear"}, {3, "DayOfMonth"}, {4, "DayOfYear"}}},
        {"PeriodKind", {{0, "Hour"}, {1, "Day"}, {2, "Week"}, {3, "Month"}, {4, "Year"}}},
        {"WeekdayKind",
         {{0, "reserved"}, {1, "Monday"}, {2, "Tuesday"}, {3, "Wednesday"}, {4, "Thursday"}, {5, "Friday"},
          {6, "Saturday"}, {7, "Sunday"}}},
        {"MonthKind",
         {{0, "reserved"}, {1, "January"}, {2, "February"}, {3, "March"}, {4, "April"}, {5, "May"}, {6, "June"},
          {7, "July"}, {8, "August"}, {9, "September"}, {10, "October"}, {11, "November"}, {12, "December"}}},
        {"ScheduleStateKind", {{1, "Not ready"}, {2, "Start Time required"}, {3, "Ready"}, {4, "Running"}}},
        {"ScheduleEnablingErrorKind",
         {{1, "None"}, {2, "Missing valid NumEntr"}, {3, "Missing valid SchdIntv"},
          {4, "Missing valid schedule values"}, {5, "Inconsistent values CDC"}, {6, "Missing valid StrTm"},
          {7, "Other"}}},
        {"SwitchFunctionKind",
         {{1, "Load Break Switch"}, {2, "Disconnector"}, {3, "Earthing Switch"}, {4, "High Speed Earthing Switch"}}},
    };
}

}  // namespace iec61850::scl
