#include "iec61850/scl/data_types.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace iec61850::scl {

namespace {

bool isAttribute(const ModelNode* n)
{
    return n->modelType == DataAttributeModelType;
}

// The standard name of a constructed attribute's type, by the attribute's name.
std::string structName(const DataAttribute& a, const std::string& objectTypeName)
{
    static constexpr const char* kAnalogue[] = {"mxVal", "mag", "setMag", "minVal", "maxVal", "ctlVal", "subMag"};
    const std::string_view name = a.name;
    if (std::find(std::begin(kAnalogue), std::end(kAnalogue), name) != std::end(kAnalogue))
        return "AnalogueValue";
    if (name == "units")
        return "Unit";
    if (name == "origin")
        return "Originator";
    if (name == "setCal")
        return "CalendarTime";
    std::string own(name);
    own[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(own[0])));
    return objectTypeName + "_" + own;
}

std::string signature(const std::string& element, const std::string& classValue,
                      const std::vector<std::pair<std::string, std::string>>& head)
{
    std::string s = element + '|' + classValue;
    for (const auto& [name, value] : head)
        s += '|' + name + '=' + value;
    return s;
}

// "_Health" for a data object whose stVal is of HealthKind: tells the
// variants of one class apart by what their status means.
std::string enumSuffix(const std::vector<DataTypes::Member>& members)
{
    for (const DataTypes::Member& m : members) {
        if (m.attributes.empty() || m.attributes.front().second != "stVal")
            continue;
        for (const auto& [name, value] : m.attributes)
            if (name == "type" && value.ends_with("Kind"))
                return "_" + value.substr(0, value.size() - 4);
    }
    return {};
}

}  // namespace

DataTypes::DataTypes(const ExportOptions& options) : options_(options), enumKinds_(options.enumKinds)
{
    for (const EnumKind& k : enumKinds_)
        idUses_[k.id] = 1;
}

std::string DataTypes::define(Definition definition, const std::string& idBase)
{
    std::string key = signature(definition.element, definition.classValue, {});
    for (const Member& m : definition.members)
        key += '\n' + signature(m.element, "", m.attributes);
    if (auto known = idBySignature_.find(key); known != idBySignature_.end())
        return known->second;
    const int use = ++idUses_[idBase];
    definition.id = use == 1 ? idBase : idBase + "_" + std::to_string(use);
    while (use > 1 && idUses_.contains(definition.id))
        definition.id += "x";
    idUses_[definition.id] = std::max(idUses_[definition.id], 1);
    idBySignature_.emplace(std::move(key), definition.id);
    definitions_.push_back(std::move(definition));
    return definitions_.back().id;
}

std::string DataTypes::nodeType(const LogicalNode& node)
{
    const LnName name = splitLnName(node.name);
    Definition d{"LNodeType", {}, "lnClass", name.lnClass, {}};
    for (const ModelNode* o = node.firstChild; o; o = o->sibling)
        d.members.push_back({"DO", {{"name", o->name}, {"type", objectType(*static_cast<const DataObject*>(o))}}});
    return define(std::move(d), name.prefix + name.lnClass);
}

std::string DataTypes::objectType(const DataObject& object)
{
    std::optional<ObjectClass> c = options_.classify ? options_.classify(object) : std::nullopt;
    if (!c || c->cdc.empty())
        c = inferObjectClass(object);
    const std::string typeName = c->typeName.empty() ? c->cdc : c->typeName;
    Definition d{"DOType", {}, "cdc", c->cdc, {}};
    for (const ModelNode* n = object.firstChild; n; n = n->sibling) {
        if (isAttribute(n))
            d.members.push_back(attributeMember("DA", *static_cast<const DataAttribute*>(n), typeName, true));
        else
            d.members.push_back({"SDO", {{"name", n->name}, {"type", objectType(*static_cast<const DataObject*>(n))}}});
    }
    // Named before d is moved: the order in which arguments are evaluated differs between targets.
    const std::string idBase = typeName + enumSuffix(d.members);
    return define(std::move(d), idBase);
}

DataTypes::Member DataTypes::attributeMember(const char* element, const DataAttribute& a,
                                             const std::string& objectTypeName, bool withFc)
{
    Member m{element, {{"name", a.name}}};
    if (withFc)
        if (const char* fc = FunctionalConstraint_toString(a.fc))
            m.attributes.emplace_back("fc", fc);
    m.attributes.emplace_back("bType", std::string(basicType(a.type)));
    if (a.type == IEC61850_ENUMERATED)
        m.attributes.emplace_back("type", enumKindOf(a));
    else if (a.type == IEC61850_CONSTRUCTED)
        m.attributes.emplace_back("type", attributeType(a, objectTypeName));
    if (withFc) {
        if (a.triggerOptions & TRG_OPT_DATA_CHANGED)
            m.attributes.emplace_back("dchg", "true");
        if (a.triggerOptions & TRG_OPT_QUALITY_CHANGED)
            m.attributes.emplace_back("qchg", "true");
        if (a.triggerOptions & TRG_OPT_DATA_UPDATE)
            m.attributes.emplace_back("dupd", "true");
    }
    if (a.elementCount > 0)
        m.attributes.emplace_back("count", std::to_string(a.elementCount));
    return m;
}

std::string DataTypes::attributeType(const DataAttribute& attribute, const std::string& objectTypeName)
{
    Definition d{"DAType", {}, {}, {}, {}};
    for (const ModelNode* n = attribute.firstChild; n; n = n->sibling)
        d.members.push_back(attributeMember("BDA", *static_cast<const DataAttribute*>(n), objectTypeName, false));
    return define(std::move(d), structName(attribute, objectTypeName));
}

EnumKind& DataTypes::kind(const std::string& id)
{
    auto known = std::find_if(enumKinds_.begin(), enumKinds_.end(), [&](const EnumKind& k) { return k.id == id; });
    if (known == enumKinds_.end()) {
        enumKinds_.push_back({id, {}});
        idUses_[id] = std::max(idUses_[id], 1);
        known = enumKinds_.end() - 1;
    }
    if (std::find(usedKinds_.begin(), usedKinds_.end(), id) == usedKinds_.end())
        usedKinds_.push_back(id);
    return *known;
}

std::string DataTypes::enumKindOf(const DataAttribute& attribute)
{
    std::string id = options_.enumKindOf ? options_.enumKindOf(attribute) : std::string();
    if (id.empty())
        id = standardEnumKindOf(attribute);
    if (id.empty()) {
        // A kind of its own, named after the data object ("UpdSt" gives "UpdStKind").
        const ModelNode* n = attribute.parent;
        while (n && isAttribute(n))
            n = n->parent;
        id = std::string(n ? n->name : attribute.name) + "Kind";
        if (kind(id).literals.empty())
            kind(id).literals.emplace_back(0, "0");
    }
    kind(id);
    return id;
}

std::string DataTypes::literal(const std::string& kindId, std::int32_t ordinal)
{
    EnumKind& k = kind(kindId);
    auto it = std::find_if(k.literals.begin(), k.literals.end(), [&](const auto& l) { return l.first == ordinal; });
    if (it != k.literals.end())
        return it->second;
    k.literals.emplace_back(ordinal, std::to_string(ordinal));
    std::sort(k.literals.begin(), k.literals.end());
    return std::to_string(ordinal);
}

void DataTypes::write(XmlWriter& xml) const
{
    Element templates(xml, "DataTypeTemplates");
    for (const char* element : {"LNodeType", "DOType", "DAType"}) {
        for (const Definition& d : definitions_) {
            if (d.element != element)
                continue;
            Element type(xml, d.element);
            type.attribute("id", d.id);
            if (!d.classAttribute.empty())
                type.attribute(d.classAttribute, d.classValue);
            for (const Member& m : d.members) {
                Element member(xml, m.element);
                for (const auto& [name, value] : m.attributes)
                    member.attribute(name, value);
            }
        }
    }
    for (const EnumKind& k : enumKinds_) {
        if (std::find(usedKinds_.begin(), usedKinds_.end(), k.id) == usedKinds_.end())
            continue;
        Element type(xml, "EnumType");
        type.attribute("id", k.id);
        for (const auto& [ordinal, text] : k.literals) {
            xml.open("EnumVal").attribute("ord", ordinal);
            if (!text.empty())
                xml.text(text);
            xml.close();
        }
    }
}

}  // namespace iec61850::scl
