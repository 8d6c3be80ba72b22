// File services and ReadJournal. Their PDUs travel through the confirmed
// PDUs as UnrecognizedService (tag and whole element); these functions give
// them typed form and back, so the PDU variants need no new alternatives.
#pragma once

#include "iec61850/mms/pdu.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace iec61850::mms {

// File names are sent as a sequence of GraphicStrings; the pieces are joined.
struct FileAttributes {
    std::uint32_t size = 0;
    std::optional<std::string> lastModified;  // GeneralizedTime text, e.g. "20261206080718.000Z"
    bool operator==(const FileAttributes&) const = default;
};

struct FileOpenRequest {
    std::string fileName;
    std::uint32_t initialPosition = 0;
    bool operator==(const FileOpenRequest&) const = default;
};
struct FileOpenResponse {
    std::int32_t frsmId = 0;
    FileAttributes attributes;
    bool operator==(const FileOpenResponse&) const = default;
};
struct FileReadRequest {
    std::int32_t frsmId = 0;
    bool operator==(const FileReadRequest&) const = default;
};
struct FileReadResponse {
    Bytes data;
    bool moreFollows = true;
    bool operator==(const FileReadResponse&) const = default;
};
struct FileCloseRequest {
    std::int32_t frsmId = 0;
    bool operator==(const FileCloseRequest&) const = default;
};
struct FileDeleteRequest {
    std::string fileName;
    bool operator==(const FileDeleteRequest&) const = default;
};
struct FileRenameRequest {
    std::string currentName;
    std::string newName;
    bool operator==(const FileRenameRequest&) const = default;
};
struct FileDirectoryRequest {
    std::optional<std::string> fileName;  // a file or directory to list; all when empty
    std::optional<std::string> continueAfter;
    bool operator==(const FileDirectoryRequest&) const = default;
};
struct DirectoryEntry {
    std::string fileName;
    FileAttributes attributes;
    bool operator==(const DirectoryEntry&) const = default;
};
struct FileDirectoryResponse {
    std::vector<DirectoryEntry> entries;
    bool moreFollows = false;
    bool operator==(const FileDirectoryResponse&) const = default;
};
struct ObtainFileRequest {
    std::string sourceFile;
    std::string destinationFile;
    bool operator==(const ObtainFileRequest&) const = default;
};
// Close, delete, rename and obtainFile answer with a bare NULL.
struct FileDoneResponse {
    std::uint32_t service = 0;  // service_tag of the request
    bool operator==(const FileDoneResponse&) const = default;
};

struct ReadJournalRequest {
    ObjectName journal;
    std::optional<Value> startingTime;       // binary time
    std::optional<Bytes> startingEntry;
    std::optional<Value> endingTime;         // binary time
    std::optional<std::int32_t> numberOfEntries;
    std::vector<std::string> variables;
    std::optional<Value> startAfterTime;     // entryToStartAfter, both set or neither
    std::optional<Bytes> startAfterEntry;
    bool operator==(const ReadJournalRequest&) const = default;
};
struct JournalVariable {
    std::string tag;
    Value value;
    bool operator==(const JournalVariable&) const = default;
};
struct JournalEntry {
    Bytes entryId;
    Value occurrenceTime = Value::binaryTimeMs(0);
    std::vector<JournalVariable> variables;
    bool operator==(const JournalEntry&) const = default;
};
struct ReadJournalResponse {
    std::vector<JournalEntry> entries;
    bool moreFollows = false;
    bool operator==(const ReadJournalResponse&) const = default;
};

using ExtraRequest = std::variant<FileOpenRequest, FileReadRequest, FileCloseRequest, FileDeleteRequest,
                                  FileRenameRequest, FileDirectoryRequest, ObtainFileRequest, ReadJournalRequest>;
using ExtraResponse = std::variant<FileOpenResponse, FileReadResponse, FileDirectoryResponse, FileDoneResponse,
                                   ReadJournalResponse>;

// BadTag for services that are not one of the above.
Status decodeExtraRequest(const UnrecognizedService& s, ExtraRequest& out, const DecodeLimits& limits = {});
Status decodeExtraResponse(const UnrecognizedService& s, ExtraResponse& out, const DecodeLimits& limits = {});
UnrecognizedService encodeExtra(const ExtraRequest& r);
UnrecognizedService encodeExtra(const ExtraResponse& r);

}  // namespace iec61850::mms
