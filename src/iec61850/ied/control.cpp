#include "iec61850/ied/control.hpp"

#include "iec61850/ied/mms_mapping.hpp"

#include <cstring>

namespace iec61850::ied {

namespace {

using Kind = MmsValue::Kind;
using mms::TypeDescription;

constexpr std::int64_t kMaxOriginatorCategory = 8;

bool named(const ModelNode* node, const char* name) { return node && node->name && std::strcmp(node->name, name) == 0; }

const DataAttribute* childAttribute(const ModelNode& parent, const char* name, FunctionalConstraint fc)
{
    for (const ModelNode* n = parent.firstChild; n; n = n->sibling)
        if (n->modelType == DataAttributeModelType && named(n, name) && static_cast<const DataAttribute*>(n)->fc == fc)
            return static_cast<const DataAttribute*>(n);
    return nullptr;
}

// The value kind a type description asks for.
Kind kindOf(const TypeDescription& type)
{
    using T = TypeDescription::Kind;
    switch (type.kind()) {
    case T::Array: return Kind::Array;
    case T::Structure: return Kind::Structure;
    case T::Boolean: return Kind::Boolean;
    case T::BitString: return Kind::BitString;
    case T::Integer: return Kind::Integer;
    case T::Unsigned: return Kind::Unsigned;
    case T::FloatingPoint: return Kind::Float;
    case T::OctetString: return Kind::OctetString;
    case T::VisibleString: return Kind::VisibleString;
    case T::GeneralizedTime: return Kind::GeneralizedTime;
    case T::BinaryTime: return Kind::BinaryTime;
    case T::MmsString: return Kind::MmsString;
    case T::UtcTime: return Kind::UtcTime;
    }
    return Kind::DataAccessError;
}

MmsDataAccessError checkMembers(const DataAttribute& attribute, const MmsValue& value)
{
    std::size_t i = 0;
    for (const ModelNode* n = attribute.firstChild; n; n = n->sibling, ++i) {
        if (i >= value.size() || n->modelType != DataAttributeModelType)
            return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
        const MmsDataAccessError e = checkValueAgainstModel(*static_cast<const DataAttribute*>(n), value[i]);
        if (e != DATA_ACCESS_ERROR_SUCCESS)
            return e;
    }
    return i == value.size() ? DATA_ACCESS_ERROR_SUCCESS : DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
}

MmsDataAccessError checkElement(const DataAttribute& attribute, const MmsValue& value)
{
    if (attribute.type == IEC61850_CONSTRUCTED)
        return value.is(Kind::Structure) ? checkMembers(attribute, value) : DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
    // The type clients are shown for the attribute decides.
    const TypeDescription type = basicTypeOf(attribute.type);
    if (!value.is(kindOf(type)))
        return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
    return mms::conforms(value, type) ? DATA_ACCESS_ERROR_SUCCESS : DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
}

MmsDataAccessError checkOriginator(const DataAttribute& operAttribute, const MmsValue& oper)
{
    if (!oper.is(Kind::Structure))
        return DATA_ACCESS_ERROR_SUCCESS;
    std::size_t i = 0;
    for (const ModelNode* n = operAttribute.firstChild; n && i < oper.size(); n = n->sibling, ++i) {
        if (!named(n, "origin") || !oper[i].is(Kind::Structure))
            continue;
        std::size_t j = 0;
        for (const ModelNode* m = n->firstChild; m && j < oper[i].size(); m = m->sibling, ++j) {
            if (!named(m, "orCat"))
                continue;
            const std::int64_t category = oper[i][j].toInt64();
            if (category < 0 || category > kMaxOriginatorCategory)
                return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
        }
    }
    return DATA_ACCESS_ERROR_SUCCESS;
}

}  // namespace

ControlModel controlModelOf(const DataObject& controlObject)
{
    const DataAttribute* ctlModel = childAttribute(controlObject, "ctlModel", IEC61850_FC_CF);
    if (!ctlModel || !ctlModel->mmsValue)
        return ControlModel::StatusOnly;
    const std::int64_t v = ctlModel->mmsValue->toInt64();
    if (v < 0 || v > static_cast<std::int64_t>(ControlModel::SboEnhanced))
        return ControlModel::StatusOnly;
    return static_cast<ControlModel>(v);
}

bool isOperate(const DataAttribute& attribute)
{
    return attribute.fc == IEC61850_FC_CO && named(&attribute, "Oper") && attribute.parent &&
           attribute.parent->modelType == DataObjectModelType;
}

MmsDataAccessError checkValueAgainstModel(const DataAttribute& attribute, const MmsValue& value)
{
    if (attribute.elementCount <= 0)
        return checkElement(attribute, value);
    if (!value.is(Kind::Array) || value.size() != static_cast<std::size_t>(attribute.elementCount))
        return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
    for (const MmsValue& element : value.members()) {
        const MmsDataAccessError e = checkElement(attribute, element);
        if (e != DATA_ACCESS_ERROR_SUCCESS)
            return e;
    }
    return DATA_ACCESS_ERROR_SUCCESS;
}

MmsDataAccessError checkOperate(const DataObject& controlObject, const MmsValue& oper)
{
    const DataAttribute* operAttribute = childAttribute(controlObject, "Oper", IEC61850_FC_CO);
    if (!operAttribute || controlModelOf(controlObject) != ControlModel::DirectNormal)
        return DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED;
    const MmsDataAccessError e = checkValueAgainstModel(*operAttribute, oper);
    if (e != DATA_ACCESS_ERROR_SUCCESS)
        return e;
    return checkOriginator(*operAttribute, oper);
}

}  // namespace iec61850::ied
