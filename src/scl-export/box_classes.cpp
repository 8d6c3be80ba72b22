#include "box_classes.hpp"

#include "IEC_server/model/shapes.hpp"

#include <string>
#include <vector>

namespace box {

namespace {

using namespace shapes;

struct NamedShape {
    const char* name;  // the class, with a suffix for a variant: "SPC-st"
    Shape shape;
};

constexpr NamedShape kShapes[] = {
    {"APC", APC},     {"APC-st", APC_st}, {"ASG", ASG},       {"DPC-st", DPC_st}, {"DPL", DPL},
    {"DPL-ee", DPL_ee}, {"ENC", ENC},     {"ENC-st", ENC_st}, {"ENS", ENS},       {"ING", ING},
    {"ING-u", ING_u}, {"INS", INS},       {"INS-u", INS_u},   {"LPL", LPL},       {"LPL-ld", LPL_ld},
    {"LPL-ln", LPL_ln}, {"MV", MV},       {"MV-db", MV_db},   {"ORG", ORG},       {"RS", RS},
    {"SPC", SPC},     {"SPC-st", SPC_st}, {"SPC-tm", SPC_tm}, {"SPG", SPG},       {"SPS", SPS},
    {"TS", TS_},      {"TSG", TSG},       {"TSG-tm", TSG_tm}, {"VSS", VSS},       {"VSS-ns", VSS_ns},
};

struct Row {
    std::string path;
    const DataAttribute* attribute;
};

// The attributes below a data object in tree order, with "$" paths.
void flatten(const ModelNode* first, const std::string& prefix, std::vector<Row>& rows)
{
    for (const ModelNode* n = first; n; n = n->sibling) {
        if (n->modelType != DataAttributeModelType)
            continue;
        const std::string path = prefix + n->name;
        rows.push_back({path, static_cast<const DataAttribute*>(n)});
        flatten(n->firstChild, path + "$", rows);
    }
}

// Shape tables list only the attributes they need: missing constructed
// parents appear in the tree without a row of their own.
bool matches(const std::vector<Row>& rows, Shape shape)
{
    std::size_t r = 0;
    for (const AttributeShape& s : shape) {
        while (r < rows.size() && rows[r].path != s.path && rows[r].attribute->type == IEC61850_CONSTRUCTED &&
               std::string_view(s.path).starts_with(rows[r].path + "$"))
            ++r;
        if (r == rows.size())
            return false;
        const DataAttribute& a = *rows[r].attribute;
        if (rows[r].path != s.path || a.fc != s.fc || a.type != s.type || a.triggerOptions != s.triggerOptions ||
            a.elementCount != s.elementCount)
            return false;
        ++r;
    }
    return r == rows.size();
}

}  // namespace

std::optional<iec61850::scl::ObjectClass> classOfObject(const DataObject& object)
{
    std::vector<Row> rows;
    flatten(object.firstChild, "", rows);
    for (const NamedShape& s : kShapes) {
        if (!matches(rows, s.shape))
            continue;
        std::string name = s.name;
        const std::size_t dash = name.find('-');
        std::string typeName = name;
        if (dash != std::string::npos)
            typeName[dash] = '_';
        return iec61850::scl::ObjectClass{name.substr(0, dash), typeName};
    }
    return std::nullopt;
}

}  // namespace box
