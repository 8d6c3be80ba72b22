// Export of a served IedModel as an SCL document (IEC 61850-6 ICD, edition
// 2007B4): Header, Communication, the IED with its access point, server,
// logical devices, nodes, data sets, report and log control blocks, logs and
// configured values, and the DataTypeTemplates built from the model's shapes.
#pragma once

#include "iec61850/ied/model.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace iec61850::scl {

// The common data class of a data object and the name its DOType id is built
// from (the class when empty), e.g. {"SPC", "SPC_st"}.
struct ObjectClass {
    std::string cdc;
    std::string typeName;
};

// An enumeration: its EnumType id and its literals by ordinal.
struct EnumKind {
    std::string id;
    std::vector<std::pair<std::int32_t, std::string>> literals;
};

struct ExportOptions {
    std::string accessPoint = "AP1";
    std::string subNetwork = "SubNetwork1";
    std::string ipAddress = "0.0.0.0";
    std::uint16_t mmsPort = 102;
    std::string iedType;
    std::string manufacturer;
    std::string description;
    std::string configVersion = "1.0";
    std::string toolId = "scl-export";
    // The class of a data object; when empty or without an answer, a class is
    // inferred from the data object's attributes (inferObjectClass).
    std::function<std::optional<ObjectClass>(const DataObject&)> classify;
    // The EnumType id of an ENUMERATED attribute (standardEnumKindOf when
    // empty or answering ""); kinds not in enumKinds get an EnumType of their own.
    std::function<std::string(const DataAttribute&)> enumKindOf;
    std::vector<EnumKind> enumKinds = standardEnumKinds();
    // DOI/DAI for the configured values: attributes of FC CF, DC, EX and SP
    // whose value (as held by a server created on the model) is not the default.
    bool values = true;

    static std::vector<EnumKind> standardEnumKinds();
};

// Writes the whole document. The model must be complete; values are read
// only where the attributes hold them (that is, while a server is created on it).
void writeScl(std::ostream& out, IedModel& model, const ExportOptions& options = {});
std::string sclDocument(IedModel& model, const ExportOptions& options = {});

// A logical node name split into its parts: "EmpSPrg_FSCH020001" is prefix
// "EmpSPrg_", class "FSCH", instance "020001"; "LLN0" is class "LLN0".
struct LnName {
    std::string prefix;
    std::string lnClass;
    std::string inst;
};
LnName splitLnName(std::string_view name);

// The common data class guessed from a data object's attributes.
ObjectClass inferObjectClass(const DataObject& object);
// The standard EnumType id for an attribute by its own and its data object's
// names ("ctlModel" is CtlModelKind, "Beh.stVal" BehaviourModeKind), or "".
std::string standardEnumKindOf(const DataAttribute& attribute);
// The SCL basic type of an attribute type ("Enum", "Struct", "VisString255").
std::string_view basicType(DataAttributeType type);

}  // namespace iec61850::scl
