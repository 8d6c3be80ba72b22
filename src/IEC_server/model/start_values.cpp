// Start values of the box's model, set in place on the values the server
// created; every attribute not named here keeps its default.
#include "box_model.hpp"
#include "model_tables.hpp"

#include "iec61850/ied/mms_value_api.hpp"

#include <cstdio>
#include <variant>

namespace box {

namespace {

// A reference into the own device: "@" + device + "/" + target.
struct OwnRef {
    const char* target;
};

using Start = std::variant<std::int32_t, std::uint32_t, float, bool, const char*, OwnRef>;

struct StartValue {
    const char* node;
    const char* object;
    const char* attribute;  // "$" separated below the data object
    Start value;
};

constexpr const char* kExtNs = "FNN-STB-ext:2019A";
constexpr const char* kLdNs = "IEC 61850-7-4:2007B";

constexpr StartValue kStbValues[] = {
    {"LLN0", "Health", "stVal", 1},
    {"LLN0", "Mod", "stVal", 1},
    {"LLN0", "NamPlt", "vendor", "de.vde.fnn.stb.admin"},
    {"LLN0", "NamPlt", "swRev", "1.0.0"},
    {"LLN0", "NamPlt", "ldNs", kLdNs},
    {"LLN0", "NamPlt", "d", "Admin-Modell für die Steuerbox nach LH V1.2 vom 2020-xx-xx."},
    {"LLN0", "NamPlt", "configRev", "1.2.0"},
    {"LPHD", "PhyNam", "vendor", "Brenvolta CLS"},
    {"LPHD", "PhyNam", "hwRev", "1.0"},
    {"LPHD", "PhyNam", "swRev", "1.1"},
    {"LPHD", "PhyNam", "serNum", "13377331"},
    {"LPHD", "PhyNam", "model", "Kelvra"},
    {"LPHD", "PhyNam", "mRID", "123456789"},
    {"LPHD", "Proxy", "stVal", false},
    {"LPHD", "NamParamRev", "dataNs", kExtNs},
    {"LCMS1", "NamPlt", "lnNs", kExtNs},
    {"LDMS1", "NamPlt", "lnNs", kExtNs},
    {"S1_XSWI1", "SwTyp", "stVal", 1},
    {"S1_XSWI1", "Loc", "stVal", true},
    {"S2_XSWI1", "SwTyp", "stVal", 1},
    {"S2_XSWI1", "Loc", "stVal", true},
    {"W3_XSWI1", "SwTyp", "stVal", 1},
    {"W3_XSWI1", "Loc", "stVal", true},
    {"W4_XSWI1", "SwTyp", "stVal", 1},
    {"W4_XSWI1", "Loc", "stVal", true},
};

constexpr StartValue kClsValues[] = {
    {"LLN0", "NamPlt", "vendor", "de.vde.fnn.stb.cls"},
    {"LLN0", "NamPlt", "swRev", "1.0.0"},
    {"LLN0", "NamPlt", "ldNs", kLdNs},
    {"LLN0", "NamPlt", "d", "Steuerboxmodell für Wirkleistungsvorgabe nach LH V1.2 vom 2020-xx."},
    {"LLN0", "NamPlt", "configRev", "1.2.0"},
    {"LLN0", "GrRef", "setSrcRef", "@STB"},
    {"MMXU001", "TotW", "db", 1000u},
    {"MMXU001", "TotW", "dbRef", 100.0f},
    {"MMXU001", "TotW", "d", "Wirkleistungswert"},
    {"FailSafe_GGIO001", "NamPlt", "lnNs", kExtNs},
    {"FailSafe_GGIO001", "FailDurSet", "minVal$f", 0.0f},
    {"FailSafe_GGIO001", "FailDurSet", "maxVal$f", 86400.0f},
    {"DERRtg_GGIO001", "NamPlt", "lnNs", kExtNs},
    {"ActPow_FSCC001", "CtlEnt", "setSrcRef", OwnRef{"ActPow_GGIO001.AnOut1.mxVal.f"}},
    {"SysSoft_FSCH110001", "InSyn", "setSrcRef", OwnRef{"Softstart_GGIO001.Ind1.stVal"}},
    {"SysSoft_FSCH110002", "InSyn", "setSrcRef", OwnRef{"Softstart_GGIO001.Ind2.stVal"}},
    {"SysSoft_FSCH110003", "InSyn", "setSrcRef", OwnRef{"Softstart_GGIO001.Ind3.stVal"}},
    {"SysSoft_FSCH110004", "InSyn", "setSrcRef", OwnRef{"Softstart_GGIO001.Ind4.stVal"}},
    {"SysComEr_FSCH220001", "InSyn", "setSrcRef", OwnRef{"CommFail_GGIO1.Ind1.stVal"}},
    {"SysComEr_FSCH220001", "SchdReuse", "setVal", true},
};

// Behaviour 1 everywhere except in these nodes, which keep 0.
constexpr std::string_view kInactiveNodes[] = {"FailSafe_GGIO001", "DERRtg_GGIO001"};
// Quantities in seconds; every other units attribute is kW.
constexpr std::string_view kSecondObjects[] = {"SchdIntv", "FailDurSet", "FailDurGet", "TmOfs"};
constexpr std::int32_t kSiWatt = 38, kKilo = 3, kSiSecond = 4, kNoMultiplier = 0;
constexpr std::int32_t kDirectNormal = 1, kStatusOnly = 0;
constexpr std::int32_t kOccTypeScheduled = 5;

StartValueCounts counts;

template <class List>
bool contains(const List& list, std::string_view name)
{
    for (std::string_view item : list)
        if (item == name)
            return true;
    return false;
}

ModelNode* child(ModelNode* node, std::string_view name)
{
    for (ModelNode* c = node ? node->firstChild : nullptr; c; c = c->sibling)
        if (name == c->name)
            return c;
    return nullptr;
}

// Path "a$b" below a node.
MmsValue* valueAt(ModelNode* node, std::string_view path)
{
    while (node && !path.empty()) {
        const auto cut = path.find('$');
        node = child(node, path.substr(0, cut));
        path = cut == std::string_view::npos ? std::string_view{} : path.substr(cut + 1);
    }
    return node && node->modelType == DataAttributeModelType ? static_cast<DataAttribute*>(node)->mmsValue
                                                             : nullptr;
}

void setInt(ModelNode* object, std::string_view path, std::int32_t v)
{
    if (MmsValue* value = valueAt(object, path)) {
        MmsValue_setInt32(value, v);
        ++counts.integer;
    }
}

void set(ModelNode* object, std::string_view path, const Start& start, std::string_view ldInst)
{
    MmsValue* value = valueAt(object, path);
    if (!value)
        return;
    std::visit(
        [&](auto v) {
            using T = decltype(v);
            if constexpr (std::is_same_v<T, std::int32_t>) {
                MmsValue_setInt32(value, v);
                ++counts.integer;
            } else if constexpr (std::is_same_v<T, std::uint32_t>) {
                MmsValue_setUint32(value, v);
                ++counts.unsignedInt;
            } else if constexpr (std::is_same_v<T, float>) {
                MmsValue_setFloat(value, v);
                ++counts.floating;
            } else if constexpr (std::is_same_v<T, bool>) {
                MmsValue_setBoolean(value, v);
                ++counts.boolean;
            } else if constexpr (std::is_same_v<T, const char*>) {
                MmsValue_setVisibleString(value, v);
                ++counts.string;
            } else {
                char text[130];
                std::snprintf(text, sizeof text, "@%.*s/%s", static_cast<int>(ldInst.size()), ldInst.data(),
                              v.target);
                MmsValue_setVisibleString(value, text);
                ++counts.string;
            }
        },
        start);
}

void applyTable(ModelNode* device, std::span<const StartValue> table)
{
    for (const StartValue& row : table)
        set(child(child(device, row.node), row.object), row.attribute, row.value, device->name);
}

// Behaviour, control models and units follow from the node and the shape.
void applyByShape(ModelNode* device)
{
    for (ModelNode* ln = device->firstChild; ln; ln = ln->sibling) {
        const bool active = !contains(kInactiveNodes, ln->name);
        for (ModelNode* object = ln->firstChild; object; object = object->sibling) {
            if (active && std::string_view(object->name) == "Beh")
                setInt(object, "stVal", 1);
            if (child(object, "ctlModel"))
                setInt(object, "ctlModel", child(object, "Oper") ? kDirectNormal : kStatusOnly);
            if (child(object, "units")) {
                const bool seconds = contains(kSecondObjects, object->name);
                setInt(object, "units$SIUnit", seconds ? kSiSecond : kSiWatt);
                setInt(object, "units$multiplier", seconds ? kNoMultiplier : kKilo);
            }
        }
    }
}

void applyScheduleNode(ModelNode* device, const ScheduleNode& node)
{
    ModelNode* ln = child(device, node.name);
    const ScheduleFamily& f = node.family;
    setInt(child(ln, "SchdEnaErr"), "stVal", 1);
    setInt(child(ln, "SchdPrio"), "setVal", 10 * f.group);
    setInt(child(ln, "NumEntr"), "setVal", f.entries);
    if (f.calendar)
        for (ModelNode* object = ln->firstChild; object; object = object->sibling)
            if (std::string_view(object->name).starts_with("StrTm"))
                setInt(object, "setCal$occType", kOccTypeScheduled);
    if (f.eventTriggered)
        set(child(ln, "EvTrg"), "setVal", true, device->name);
}

void applyScheduleReferences(ModelNode* device)
{
    ModelNode* controller = child(device, "ActPow_FSCC001");
    int n = 0;
    for (const ScheduleNode& node : kScheduleNodes) {
        char name[8];
        std::snprintf(name, sizeof name, "Schd%03d", ++n);
        set(child(controller, name), "setSrcRef", OwnRef{node.name}, device->name);
    }
}

}  // namespace

void applyStartValues()
{
    counts = {};
    IedModel* model = staticModel();
    for (ModelNode* device = model->firstChild; device; device = device->sibling) {
        applyByShape(device);
        if (std::string_view(device->name) == "STB") {
            applyTable(device, kStbValues);
            continue;
        }
        applyTable(device, kClsValues);
        for (const ScheduleNode& node : kScheduleNodes)
            applyScheduleNode(device, node);
        applyScheduleReferences(device);
    }
}

const StartValueCounts& lastStartValueCounts()
{
    return counts;
}

}  // namespace box
