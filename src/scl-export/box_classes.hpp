// The common data class of each of the box's data objects, found by matching
// its attributes against the model's shape tables.
#pragma once

#include "iec61850/scl/scl_export.hpp"

#include <optional>

namespace box {

// {"SPC", "SPC_st"} for a data object of shape SPC-st; nothing when no shape matches.
std::optional<iec61850::scl::ObjectClass> classOfObject(const DataObject& object);

}  // namespace box
