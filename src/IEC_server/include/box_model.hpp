// The box's IEC 61850 information model FNN_STEUERBOX: devices STB, CLS1 and
// CLS2, their data sets, report and log control blocks and logs, the start
// values, and the lookup of an attribute by its four names.
#pragma once

#include "iec61850/ied/model.hpp"

#include <cstddef>
#include <string_view>

namespace box {

inline constexpr const char* kIedName = "FNN_STEUERBOX";

// The one model of the process, built on first use and never freed. Its
// initializer sets the start values when a server is created on it.
IedModel* staticModel();
// Bytes the model's tree, names and control blocks take.
std::size_t staticModelBytes();

// Start values set by the last run of the initializer, by kind.
struct StartValueCounts {
    int integer = 0;   // INT32 and ENUMERATED
    int string = 0;
    int boolean = 0;
    int floating = 0;
    int unsignedInt = 0;  // INT32U
    int total() const { return integer + string + boolean + floating + unsignedInt; }
};
const StartValueCounts& lastStartValueCounts();

// The data attribute directly below data object doName of node lnName in
// device ldInst, or nullptr. Exact, case-sensitive names; never a component
// (callers follow firstChild for mag.f, mxVal.f, setMag.f). Allocates nothing.
DataAttribute* findDataAttribute(std::string_view ldInst, std::string_view lnName, std::string_view doName,
                                 std::string_view daName);

// How the box's code reaches the lookup; it holds no state.
struct ModelAccess {
    DataAttribute* findDataAttribute(std::string_view ldInst, std::string_view lnName, std::string_view doName,
                                     std::string_view daName) const
    {
        return box::findDataAttribute(ldInst, lnName, doName, daName);
    }
};

}  // namespace box
