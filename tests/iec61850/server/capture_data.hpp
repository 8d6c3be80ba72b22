// Client-to-server TPKTs of the reference captures, in the order the client sent them.
#pragma once

#include "capture.hpp"

namespace capture {

inline const auto& associateIdentify = test_support::capture("01-associate-identify").clientTpkts();
inline const auto& getNameList = test_support::capture("02-getnamelist-domains-and-variables").clientTpkts();
inline const auto& readFloatAndNode = test_support::capture("04-read-float-and-node").clientTpkts();
inline const auto& writeSchedule = test_support::capture("05-write-schedule-settings").clientTpkts();
inline const auto& datasetAttributesAndRead = test_support::capture("08-dataset-attributes-and-read").clientTpkts();
inline const auto& abruptClose = test_support::capture("11-abrupt-close").clientTpkts();

}  // namespace capture
