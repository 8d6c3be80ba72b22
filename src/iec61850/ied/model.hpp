// The static IEC 61850 data model: logical devices, logical nodes, data
// objects and data attributes linked as a tree (parent / sibling /
// firstChild), plus data sets and control blocks. Plain structures so that a
// model can be written as static data; ModelBuilder builds one at start-up.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace iec61850::mms {
class Value;
}
using MmsValue = iec61850::mms::Value;

enum FunctionalConstraint : std::int8_t {
    IEC61850_FC_ST = 0,
    IEC61850_FC_MX = 1,
    IEC61850_FC_SP = 2,
    IEC61850_FC_SV = 3,
    IEC61850_FC_CF = 4,
    IEC61850_FC_DC = 5,
    IEC61850_FC_SG = 6,
    IEC61850_FC_SE = 7,
    IEC61850_FC_SR = 8,
    IEC61850_FC_OR = 9,
    IEC61850_FC_BL = 10,
    IEC61850_FC_EX = 11,
    IEC61850_FC_CO = 12,
    IEC61850_FC_RP = 13,
    IEC61850_FC_LG = 14,
    IEC61850_FC_BR = 15,
    IEC61850_FC_ALL = 99,
    IEC61850_FC_NONE = -1,
};

// "ST", "MX", ...; nullptr for ALL / NONE.
const char* FunctionalConstraint_toString(FunctionalConstraint fc);
// IEC61850_FC_NONE when the text is not a functional constraint.
FunctionalConstraint FunctionalConstraint_fromString(const char* text);

enum DataAttributeType : std::uint8_t {
    IEC61850_UNKNOWN_TYPE = 0,
    IEC61850_BOOLEAN,
    IEC61850_INT8,
    IEC61850_INT16,
    IEC61850_INT32,
    IEC61850_INT64,
    IEC61850_INT8U,
    IEC61850_INT16U,
    IEC61850_INT24U,
    IEC61850_INT32U,
    IEC61850_FLOAT32,
    IEC61850_FLOAT64,
    IEC61850_ENUMERATED,
    IEC61850_CODEDENUM,
    IEC61850_OCTET_STRING_6,
    IEC61850_OCTET_STRING_8,
    IEC61850_OCTET_STRING_64,
    IEC61850_VISIBLE_STRING_32,
    IEC61850_VISIBLE_STRING_64,
    IEC61850_VISIBLE_STRING_65,
    IEC61850_VISIBLE_STRING_129,
    IEC61850_VISIBLE_STRING_255,
    IEC61850_UNICODE_STRING_255,
    IEC61850_TIMESTAMP,
    IEC61850_QUALITY,
    IEC61850_CHECK,
    IEC61850_GENERIC_BITSTRING,
    IEC61850_CONSTRUCTED,
    IEC61850_ENTRY_TIME,
    IEC61850_PHYCOMADDR,
    IEC61850_CURRENCY,
    IEC61850_OPTFLDS,
    IEC61850_TRGOPS,
};

constexpr std::uint8_t TRG_OPT_DATA_CHANGED = 1;
constexpr std::uint8_t TRG_OPT_QUALITY_CHANGED = 2;
constexpr std::uint8_t TRG_OPT_DATA_UPDATE = 4;
constexpr std::uint8_t TRG_OPT_INTEGRITY = 8;
constexpr std::uint8_t TRG_OPT_GI = 16;

constexpr std::uint8_t RPT_OPT_SEQ_NUM = 1;
constexpr std::uint8_t RPT_OPT_TIME_STAMP = 2;
constexpr std::uint8_t RPT_OPT_REASON_FOR_INCLUSION = 4;
constexpr std::uint8_t RPT_OPT_DATA_SET = 8;
constexpr std::uint8_t RPT_OPT_DATA_REFERENCE = 16;
constexpr std::uint8_t RPT_OPT_BUFFER_OVERFLOW = 32;
constexpr std::uint8_t RPT_OPT_ENTRY_ID = 64;
constexpr std::uint8_t RPT_OPT_CONF_REV = 128;

enum ModelNodeType : std::uint8_t {
    LogicalDeviceModelType,
    LogicalNodeModelType,
    DataObjectModelType,
    DataAttributeModelType,
};

// The part every tree node shares. Names point into static or arena storage.
struct ModelNode {
    ModelNodeType modelType;
    const char* name;
    ModelNode* parent;
    ModelNode* sibling;
    ModelNode* firstChild;
};

struct LogicalDevice : ModelNode {};  // name = LD instance, parent = nullptr

struct LogicalNode : ModelNode {};

struct DataObject : ModelNode {
    int elementCount;  // > 0: an array of that many elements
};

struct DataAttribute : ModelNode {
    int elementCount;  // > 0: an array of that many elements
    FunctionalConstraint fc;
    DataAttributeType type;
    std::uint8_t triggerOptions;  // TRG_OPT_*
    MmsValue* mmsValue;           // set by the server: attributes below a data
                                  // object own theirs, components point into it
    std::uint32_t sAddr;
};

struct DataSetEntry {
    const char* logicalDeviceName;  // LD instance
    const char* variableName;       // "LLN0$ST$Mod$stVal", "MMXU1$MX$TotW"
    int index;                      // array index, -1 for none
    const char* componentName;      // component of an array element, or nullptr
    MmsValue* value;
    DataSetEntry* sibling;
};

struct DataSet {
    const char* logicalDeviceName;
    const char* name;  // as named in its domain: "LLN0$dataset01"
    int elementCount;
    DataSetEntry* fcdas;
    DataSet* sibling;
};

struct ReportControlBlock {
    LogicalNode* parent;
    const char* name;          // "urcbEvents01"
    const char* rptId;
    bool buffered;
    const char* dataSetName;   // in the parent's LN, e.g. "Events"
    std::uint32_t confRef;
    std::uint8_t trgOps;       // TRG_OPT_*
    std::uint8_t options;      // RPT_OPT_*
    std::uint32_t bufferTime;  // ms
    std::uint32_t intPeriod;   // ms
    ReportControlBlock* sibling;
};

struct LogControlBlock {
    LogicalNode* parent;
    const char* name;
    const char* dataSetName;
    const char* logRef;        // "LD/LN$LogName"
    std::uint8_t trgOps;
    std::uint32_t intPeriod;
    bool logEna;
    bool reasonCode;
    LogControlBlock* sibling;
};

struct Log {
    LogicalNode* parent;
    const char* name;
    Log* sibling;
};

struct GSEControlBlock;
struct SVControlBlock;
struct SettingGroupControlBlock;

struct IedModel {
    const char* name;  // IED name, prefix of every domain name
    LogicalDevice* firstChild;
    DataSet* dataSets;
    ReportControlBlock* rcbs;
    GSEControlBlock* gseCBs;
    SVControlBlock* svCBs;
    SettingGroupControlBlock* sgcbs;
    LogControlBlock* lcbs;
    Log* logs;
    void (*initializer)(void);  // run once while the server is created
};

LogicalDevice* IedModel_getDeviceByInst(IedModel* model, const char* ldInst);
LogicalDevice* IedModel_getDeviceByIndex(IedModel* model, int index);
int IedModel_getLogicalDeviceCount(IedModel* model);
LogicalNode* LogicalDevice_getLogicalNode(LogicalDevice* device, const char* lnName);
// Child by name of any node (LN of an LD, DO or DA of an LN or DO, ...).
ModelNode* ModelNode_getChild(ModelNode* node, const char* name);
// A "$" or "." separated path below the node, e.g. "Pos.Oper.ctlVal";
// with an FC only data attributes of that FC match the last part.
ModelNode* ModelNode_getChildWithFc(ModelNode* node, const char* path, FunctionalConstraint fc);
ModelNode* ModelNode_getByPath(ModelNode* node, const char* path);
int ModelNode_getChildCount(ModelNode* node);
// Finds "LDinst/LN.DO.DA" (IED name not included); nullptr if absent.
ModelNode* IedModel_getModelNodeByObjectReference(IedModel* model, const char* objectReference);
// name as in DataSet::name: "LLN0$dataset01".
DataSet* IedModel_lookupDataSet(IedModel* model, const char* ldInst, const char* name);

namespace iec61850::ied {

// One attribute of a data object shape: a `$` path below the data object
// ("stVal", "Oper$origin$orCat"); missing intermediate parts become
// constructed attributes of the same FC.
struct AttributeShape {
    const char* path;
    FunctionalConstraint fc;
    DataAttributeType type;
    std::uint8_t triggerOptions = 0;
    int elementCount = 0;
};

// Builds an IedModel in arena storage owned by the builder, which must
// outlive the model's use (the server keeps pointers into it).
class ModelBuilder {
public:
    explicit ModelBuilder(std::string_view iedName);
    ~ModelBuilder();
    ModelBuilder(ModelBuilder&&) noexcept;
    ModelBuilder& operator=(ModelBuilder&&) noexcept;
    ModelBuilder(const ModelBuilder&) = delete;
    ModelBuilder& operator=(const ModelBuilder&) = delete;

    LogicalDevice* device(std::string_view ldInst);
    LogicalNode* node(LogicalDevice* device, std::string_view lnName);
    // parent: a logical node or (for sub data objects) a data object.
    DataObject* object(ModelNode* parent, std::string_view name, int elementCount = 0);
    // A data object with its attributes from a shape table.
    DataObject* object(ModelNode* parent, std::string_view name, std::span<const AttributeShape> shape);
    // parent: a data object or a constructed data attribute.
    DataAttribute* attribute(ModelNode* parent, std::string_view name, FunctionalConstraint fc,
                             DataAttributeType type, std::uint8_t triggerOptions = 0, int elementCount = 0,
                             std::uint32_t sAddr = 0);
    // Adds one shape row below a data object (creating intermediate parts).
    DataAttribute* attribute(DataObject* object, const AttributeShape& row);

    // name within the node: "dataset01" (the set is "LLN0$dataset01").
    DataSet* dataSet(LogicalNode* node, std::string_view name);
    // variableName like "LLN0$ST$Mod$stVal".
    DataSetEntry* dataSetEntry(DataSet* set, std::string_view ldInst, std::string_view variableName,
                               int index = -1, std::string_view component = {});
    ReportControlBlock* reportControl(LogicalNode* node, std::string_view name, std::string_view rptId,
                                      bool buffered, std::string_view dataSetName, std::uint32_t confRef,
                                      std::uint8_t trgOps, std::uint8_t options, std::uint32_t bufferTime,
                                      std::uint32_t intPeriod);
    LogControlBlock* logControl(LogicalNode* node, std::string_view name, std::string_view dataSetName,
                                std::string_view logRef, std::uint8_t trgOps, std::uint32_t intPeriod,
                                bool logEna, bool reasonCode);
    Log* log(LogicalNode* node, std::string_view name);

    void setInitializer(void (*initializer)(void));

    IedModel* model();
    // Bytes held by the arena, for sizing.
    std::size_t arenaBytes() const;

private:
    struct Arena;
    template <class T>
    T* make();
    const char* intern(std::string_view text);

    std::unique_ptr<Arena> arena_;
    IedModel* model_ = nullptr;
};

}  // namespace iec61850::ied
