// The XML value store: every data attribute value of the box's model written
// to one XML file, and such a file read back into the model through the
// server's update operations. Both operations work on a server created on
// box::staticModel() and hold its data-model lock while they touch values.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"

#include <iosfwd>
#include <string>

namespace persistence {

inline constexpr const char* kValuesFileName = "IEC61850_Values.xml";

// Where the operations write: progress and per-entry lines, and the lines of
// failures that end an operation.
struct StoreStreams {
    std::ostream& out;
    std::ostream& err;
};
StoreStreams standardStreams();  // std::cout, std::cerr

struct LoadResult {
    bool fileRead = false;  // false: missing or not well-formed, nothing applied
    int applied = 0;        // attribute entries written to the model
    int rejected = 0;       // entries reported and left out
};

// Writes the file whole (through a temporary beside it, so a failed save
// leaves the previous file as it was). False when it could not be written.
bool save_all_IEC_values_in_XML(IedServer server, const std::string& fileName = kValuesFileName,
                                StoreStreams streams = standardStreams());

// Applies every entry it can read; reports the others and goes on.
LoadResult load_all_IEC_values_from_XML(IedServer server, const std::string& fileName = kValuesFileName,
                                        StoreStreams streams = standardStreams());

}  // namespace persistence
