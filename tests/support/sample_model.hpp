// A small data model shaped like the box's: IED FNN_STEUERBOX with the
// devices STB, CLS1 and CLS2, and the objects the reference captures touch.
#pragma once

#include "iec61850/server/memory_model.hpp"

#include <memory>

namespace test_support {

constexpr const char* kStb = "FNN_STEUERBOXSTB";
constexpr const char* kCls1 = "FNN_STEUERBOXCLS1";
constexpr const char* kCls2 = "FNN_STEUERBOXCLS2";

std::unique_ptr<iec61850::server::InMemoryModel> makeSampleModel();

}  // namespace test_support
