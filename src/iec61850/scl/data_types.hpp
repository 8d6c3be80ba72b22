// The DataTypeTemplates of an export: LNodeType, DOType, DAType and EnumType
// built from the shapes of the model's nodes, each defined once with an id
// made from its class or name (a suffix tells different shapes of one name
// apart) and numbered in the order the model first uses them.
#pragma once

#include "iec61850/scl/scl_export.hpp"
#include "iec61850/scl/xml_writer.hpp"

#include <map>
#include <string>
#include <vector>

namespace iec61850::scl {

class DataTypes {
public:
    explicit DataTypes(const ExportOptions& options);

    // The LNodeType id of a node; defines it and every type below it on first use.
    std::string nodeType(const LogicalNode& node);
    // The EnumType id of an ENUMERATED attribute.
    std::string enumKindOf(const DataAttribute& attribute);
    // The literal of an ordinal of a kind; one the kind lacks is added to it
    // as its decimal number, so that every value written can be read back.
    std::string literal(const std::string& kind, std::int32_t ordinal);

    void write(XmlWriter& xml) const;

    struct Member {
        std::string element;
        std::vector<std::pair<std::string, std::string>> attributes;
    };

private:
    struct Definition {
        std::string element;  // LNodeType, DOType, DAType
        std::string id;
        std::string classAttribute;  // lnClass / cdc; empty for DAType
        std::string classValue;
        std::vector<Member> members;
    };

    std::string objectType(const DataObject& object);
    std::string attributeType(const DataAttribute& attribute, const std::string& objectTypeName);
    Member attributeMember(const char* element, const DataAttribute& a, const std::string& objectTypeName,
                           bool withFc);
    std::string define(Definition definition, const std::string& idBase);
    EnumKind& kind(const std::string& id);

    const ExportOptions& options_;
    std::vector<Definition> definitions_;
    std::map<std::string, std::string> idBySignature_;
    std::map<std::string, int> idUses_;
    std::vector<EnumKind> enumKinds_;
    std::vector<std::string> usedKinds_;
};

}  // namespace iec61850::scl
