// The directory the MMS file services serve. Every name a client sends is
// taken relative to it and confined to it: `..`, absolute names and
// symbolic links that lead out of the store are refused.
#pragma once

#include "iec61850/mms/pdu.hpp"
#include "iec61850/server/data_model.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace iec61850::server {

enum class FileService : std::uint8_t { ReadDirectory = 0, Open = 1, Obtain = 2, Delete = 3, Rename = 4 };

// Asked before each file service with the names as the client sent them
// (otherFile: the new name of a rename, the client's source file of an
// obtainFile; empty otherwise). An error refuses the service with it.
using FileAccessHandler = std::function<std::optional<mms::ServiceError>(
    const ClientContext& client, FileService service, std::string_view localFile, std::string_view otherFile)>;

struct FileInfo {
    std::string name;                  // relative to the listed directory
    std::uint32_t size = 0;
    std::int64_t modifiedSeconds = 0;  // seconds since 1970 UTC
};

// A file opened for reading.
class OpenFile {
public:
    OpenFile() = default;
    ~OpenFile();
    OpenFile(OpenFile&& other) noexcept;
    OpenFile& operator=(OpenFile&& other) noexcept;

    bool isOpen() const { return fd_ >= 0; }
    const FileInfo& info() const { return info_; }
    // Reads up to out.size() octets from the current position; the count,
    // or nothing on an I/O error.
    std::optional<std::size_t> read(std::span<std::uint8_t> out);
    // Nothing more to read (the file as it is now).
    bool atEnd() const;
    void close();

private:
    friend class FileStore;
    int fd_ = -1;
    std::uint64_t position_ = 0;
    FileInfo info_;
};

class FileStore {
public:
    using Result = std::optional<mms::ServiceError>;  // empty on success

    FileStore() = default;  // no store: every file service is refused
    explicit FileStore(std::string basePath) { setBasePath(std::move(basePath)); }

    void setBasePath(std::string basePath);
    const std::string& basePath() const { return basePath_; }
    bool enabled() const { return !basePath_.empty(); }

    void setAccessHandler(FileAccessHandler handler) { handler_ = std::move(handler); }
    Result checkAccess(const ClientContext& client, FileService service, std::string_view localFile,
                       std::string_view otherFile = {}) const;

    // Entries of a directory (or the one file) `name` names, sorted by name;
    // names are relative to the store. Empty name: the store itself.
    Result list(std::string_view name, std::vector<FileInfo>& out) const;
    Result open(std::string_view name, std::uint32_t position, OpenFile& out) const;
    Result remove(std::string_view name) const;
    Result rename(std::string_view from, std::string_view to) const;
    // Creates a new file for writing (never over an existing one); its descriptor.
    Result create(std::string_view name, int& fd) const;

    // The host path of a client's name, or file-access-denied when it would
    // leave the store. `mustExist`: the name itself must exist.
    Result resolve(std::string_view name, std::string& path, bool mustExist = true) const;

private:
    std::string basePath_;
    FileAccessHandler handler_;
};

// A client's file name as the store takes it: its components joined by '/',
// without empty and "." components ("./a//b/" names "a/b", "" the store
// itself). Nothing for names the store refuses: absolute, with "..", a NUL
// or an overlong component. Access rules compare this, not the name as sent.
std::optional<std::string> normalFileName(std::string_view name);

// Errors of class file.
mms::ServiceError fileError(std::int32_t code);

// "YYYYMMDDhhmmss.000Z"
std::string generalizedTime(std::int64_t secondsSince1970);

}  // namespace iec61850::server
