#include "iec61850/ied/control.hpp"

#include <cstring>
#include <limits>

namespace iec61850::ied {

namespace {

using Kind = MmsValue::Kind;

constexpr std::int64_t kMaxOriginatorCategory = 8;

struct Range {
    std::int64_t min;
    std::uint64_t max;
};

bool named(const ModelNode* node, const char* name) { return node && node->name && std::strcmp(node->name, name) == 0; }

const DataAttribute* childAttribute(const ModelNode& parent, const char* name, FunctionalConstraint fc)
{
    for (const ModelNode* n = parent.firstChild; n; n = n->sibling)
        if (n->modelType == DataAttributeModelType && named(n, name) && static_cast<const DataAttribute*>(n)->fc == fc)
            return static_cast<const DataAttribute*>(n);
    return nullptr;
}

Kind kindOf(DataAttributeType type)
{
    switch (type) {
    case IEC61850_BOOLEAN: return Kind::Boolean;
    case IEC61850_INT8:
    case IEC61850_INT16:
    case IEC61850_INT32:
    case IEC61850_INT64:
    case IEC61850_ENUMERATED: return Kind::Integer;
    case IEC61850_INT8U:
    case IEC61850_INT16U:
    case IEC61850_INT24U:
    case IEC61850_INT32U: return Kind::Unsigned;
    case IEC61850_FLOAT32:
    case IEC61850_FLOAT64: return Kind::Float;
    case IEC61850_OCTET_STRING_6:
    case IEC61850_OCTET_STRING_8:
    case IEC61850_OCTET_STRING_64:
    case IEC61850_PHYCOMADDR: return Kind::OctetString;
    case IEC61850_VISIBLE_STRING_32:
    case IEC61850_VISIBLE_STRING_64:
    case IEC61850_VISIBLE_STRING_65:
    case IEC61850_VISIBLE_STRING_129:
    case IEC61850_VISIBLE_STRING_255:
    case IEC61850_CURRENCY: return Kind::VisibleString;
    case IEC61850_UNICODE_STRING_255: return Kind::MmsString;
    case IEC61850_TIMESTAMP: return Kind::UtcTime;
    case IEC61850_ENTRY_TIME: return Kind::BinaryTime;
    case IEC61850_QUALITY:
    case IEC61850_CHECK:
    case IEC61850_CODEDENUM:
    case IEC61850_GENERIC_BITSTRING:
    case IEC61850_OPTFLDS:
    case IEC61850_TRGOPS: return Kind::BitString;
    case IEC61850_CONSTRUCTED: return Kind::Structure;
    case IEC61850_UNKNOWN_TYPE: break;
    }
    return Kind::DataAccessError;
}

// Largest size of strings and bit strings; 0 = no limit.
std::size_t maxSizeOf(DataAttributeType type)
{
    switch (type) {
    case IEC61850_OCTET_STRING_6: return 6;
    case IEC61850_OCTET_STRING_8: return 8;
    case IEC61850_OCTET_STRING_64: return 64;
    case IEC61850_VISIBLE_STRING_32: return 32;
    case IEC61850_VISIBLE_STRING_64: return 64;
    case IEC61850_VISIBLE_STRING_65: return 65;
    case IEC61850_VISIBLE_STRING_129: return 129;
    case IEC61850_VISIBLE_STRING_255:
    case IEC61850_UNICODE_STRING_255: return 255;
    case IEC61850_CURRENCY: return 3;
    case IEC61850_QUALITY: return 13;
    case IEC61850_CHECK:
    case IEC61850_CODEDENUM: return 2;
    case IEC61850_OPTFLDS: return 10;
    case IEC61850_TRGOPS: return 6;
    default: return 0;
    }
}

Range rangeOf(DataAttributeType type)
{
    switch (type) {
    case IEC61850_INT8:
    case IEC61850_ENUMERATED: return {-128, 127};
    case IEC61850_INT16: return {-32768, 32767};
    case IEC61850_INT32: return {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
    case IEC61850_INT8U: return {0, 0xff};
    case IEC61850_INT16U: return {0, 0xffff};
    case IEC61850_INT24U: return {0, 0xffffff};
    case IEC61850_INT32U: return {0, 0xffffffff};
    default: return {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::uint64_t>::max()};
    }
}

bool inRange(const MmsValue& v, DataAttributeType type)
{
    const Range r = rangeOf(type);
    if (v.is(Kind::Integer))
        return v.toInt64() >= r.min && (v.toInt64() < 0 || static_cast<std::uint64_t>(v.toInt64()) <= r.max);
    if (v.is(Kind::Unsigned))
        return v.toUint64() <= r.max;
    return true;
}

std::size_t sizeOf(const MmsValue& v)
{
    switch (v.kind()) {
    case Kind::BitString: return v.bitStringSize();
    case Kind::OctetString: return v.octets().size();
    case Kind::VisibleString:
    case Kind::MmsString: return v.string().size();
    default: return 0;
    }
}

MmsDataAccessError checkElement(const DataAttribute& attribute, const MmsValue& value);

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
    if (!value.is(kindOf(attribute.type)))
        return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
    if (value.is(Kind::Structure))
        return checkMembers(attribute, value);
    if (value.is(Kind::Float) && value.isDouble() != (attribute.type == IEC61850_FLOAT64))
        return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
    const std::size_t maxSize = maxSizeOf(attribute.type);
    if ((maxSize && sizeOf(value) > maxSize) || !inRange(value, attribute.type))
        return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
    if (attribute.type == IEC61850_CODEDENUM && sizeOf(value) != maxSize)
        return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
    return DATA_ACCESS_ERROR_SUCCESS;
}

MmsDataAccessError checkOriginator(const DataAttribute& operAttribute, const MmsValue& oper)
{
    std::size_t i = 0;
    for (const ModelNode* n = operAttribute.firstChild; n; n = n->sibling, ++i) {
        if (!named(n, "origin") || static_cast<const DataAttribute*>(n)->elementCount > 0)
            continue;
        std::size_t j = 0;
        for (const ModelNode* m = n->firstChild; m; m = m->sibling, ++j) {
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
