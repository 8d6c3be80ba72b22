// Controls: the checks a write of a control object's Oper passes before the
// application sees it. Supported control models: status only (every operate
// refused) and direct with normal security.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"

namespace iec61850::ied {

enum class ControlModel : std::uint8_t {
    StatusOnly = 0,
    DirectNormal = 1,
    SboNormal = 2,
    DirectEnhanced = 3,
    SboEnhanced = 4,
};

// The data object's ctlModel (CF) value; StatusOnly when it has none or it is out of range.
ControlModel controlModelOf(const DataObject& controlObject);

// Whether the attribute is the Oper (CO) of a data object.
bool isOperate(const DataAttribute& attribute);

// The value against the attribute's model and the MMS types it maps to:
// TYPE_INCONSISTENT for another kind or member count, OBJECT_VALUE_INVALID
// for the right kind beyond its size (strings, bit strings, integer range,
// float width), else SUCCESS.
MmsDataAccessError checkValueAgainstModel(const DataAttribute& attribute, const MmsValue& value);

// A written Oper: OBJECT_ACCESS_DENIED unless the control model is direct
// with normal security; then the value must match the Oper attribute and
// origin.orCat be a known originator category (0..8). SUCCESS lets the write
// through to the Oper's write handler.
MmsDataAccessError checkOperate(const DataObject& controlObject, const MmsValue& oper);

}  // namespace iec61850::ied
