// The capture reader of the wire support library for report_wire_test.cpp
// (test_ied does not link that library).
#include <string>

#define TEST_WIRE_DATA_DIR (std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/../data/wire")
#include "../../support/capture.cpp"
