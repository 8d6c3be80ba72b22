#include "iec61850/server/file_store.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace iec61850::server {

namespace code = mms::error_code::file;

namespace {

constexpr std::size_t kMaxNameLength = 255;
constexpr std::size_t kMaxListEntries = 10000;

std::optional<std::string> realPath(const std::string& path)
{
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer))
        return std::nullopt;
    return std::string(buffer);
}

bool within(const std::string& path, const std::string& root)
{
    if (path == root)
        return true;
    if (root == "/")
        return true;
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

FileStore::Result errnoError(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR: return fileError(code::FileNonExistent);
    case EACCES:
    case EPERM:
    case EROFS: return fileError(code::FileAccessDenied);
    case EBUSY:
    case ETXTBSY: return fileError(code::FileBusy);
    case EEXIST:
    case ENOTEMPTY: return fileError(code::DuplicateFilename);
    case ENOSPC:
    case EDQUOT: return fileError(code::InsufficientSpaceInFilestore);
    case ENAMETOOLONG: return fileError(code::FilenameSyntaxError);
    default: return fileError(code::Other);
    }
}

bool fileInfo(const std::string& path, std::string name, FileInfo& out)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    out.name = std::move(name);
    out.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), UINT32_MAX));
    out.modifiedSeconds = static_cast<std::int64_t>(st.st_mtime);
    return true;
}

}  // namespace

std::optional<std::string> normalFileName(std::string_view name)
{
    if (name.size() > 4 * kMaxNameLength || name.find('\0') != std::string_view::npos)
        return std::nullopt;
    if (!name.empty() && name.front() == '/')
        return std::nullopt;
    std::string normal;
    while (!name.empty()) {
        const std::size_t slash = name.find('/');
        const std::string_view part = name.substr(0, slash);
        name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == ".." || part.size() > kMaxNameLength)
            return std::nullopt;
        if (!normal.empty())
            normal += '/';
        normal += part;
    }
    return normal;
}

mms::ServiceError fileError(std::int32_t c)
{
    return {mms::ErrorClass::File, c, {}, {}};
}

std::string generalizedTime(std::int64_t secondsSince1970)
{
    std::time_t t = static_cast<std::time_t>(secondsSince1970);
    std::tm tm {};
    if (!::gmtime_r(&t, &tm))
        return "19700101000000.000Z";
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S.000Z", &tm);
    return text;
}

// ---- OpenFile ----------------------------------------------------------------------------

OpenFile::~OpenFile() { close(); }

OpenFile::OpenFile(OpenFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), position_(other.position_), info_(std::move(other.info_))
{
}

OpenFile& OpenFile::operator=(OpenFile&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        position_ = other.position_;
        info_ = std::move(other.info_);
    }
    return *this;
}

std::optional<std::size_t> OpenFile::read(std::span<std::uint8_t> out)
{
    for (;;) {
        ssize_t n = ::pread(fd_, out.data(), out.size(), static_cast<off_t>(position_));
        if (n >= 0) {
            position_ += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR)
            return std::nullopt;
    }
}

bool OpenFile::atEnd() const
{
    struct stat st {};
    return ::fstat(fd_, &st) != 0 || static_cast<std::uint64_t>(st.st_size) <= position_;
}

void OpenFile::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

// ---- FileStore ---------------------------------------------------------------------------

void FileStore::setBasePath(std::string basePath)
{
    while (basePath.size() > 1 && basePath.back() == '/')
        basePath.pop_back();
    basePath_ = std::move(basePath);
}

FileStore::Result FileStore::checkAccess(const ClientContext& client, FileService service, std::string_view localFile,
                                         std::string_view otherFile) const
{
    if (!enabled())
        return fileError(code::FileNonExistent);
    if (handler_)
        return handler_(client, service, localFile, otherFile);
    return std::nullopt;
}

FileStore::Result FileStore::resolve(std::string_view name, std::string& path, bool mustExist) const
{
    if (!enabled())
        return fileError(code::FileNonExistent);
    auto root = realPath(basePath_);
    if (!root)
        return fileError(code::FileNonExistent);
    const std::optional<std::string> normal = normalFileName(name);
    if (!normal)
        return fileError(code::FileAccessDenied);
    if (normal->empty()) {
        path = *root;
        return std::nullopt;
    }
    const std::size_t lastSlash = normal->rfind('/');
    const bool top = lastSlash == std::string::npos;
    const std::string parent = top ? *root : *root + '/' + normal->substr(0, lastSlash);
    const std::string leaf = top ? *normal : normal->substr(lastSlash + 1);
    auto realParent = realPath(parent);
    if (!realParent)
        return errnoError(errno);
    if (!within(*realParent, *root))
        return fileError(code::FileAccessDenied);
    std::string full = *realParent + '/' + leaf;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) {
        if (mustExist || errno != ENOENT)
            return errnoError(errno);
    } else if (S_ISLNK(st.st_mode)) {
        auto target = realPath(full);
        if (!target || !within(*target, *root))
            return fileError(code::FileAccessDenied);
    }
    path = std::move(full);
    return std::nullopt;
}

FileStore::Result FileStore::list(std::string_view name, std::vector<FileInfo>& out) const
{
    std::string path;
    if (auto e = resolve(name, path))
        return e;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errnoError(errno);
    out.clear();
    if (!S_ISDIR(st.st_mode)) {
        FileInfo info;
        if (!fileInfo(path, std::string(name), info))
            return errnoError(errno);
        out.push_back(std::move(info));
        return std::nullopt;
    }
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return errnoError(errno);
    std::string prefix = normalFileName(name).value_or("");
    if (!prefix.empty())
        prefix += '/';
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view entryName = entry->d_name;
        if (entryName == "." || entryName == ".." || out.size() >= kMaxListEntries)
            continue;
        std::string full = path + '/' + std::string(entryName);
        std::string target;
        if (resolve(prefix + std::string(entryName), target))
            continue;  // links out of the store are not shown
        FileInfo info;
        if (fileInfo(full, prefix + std::string(entryName), info))
            out.push_back(std::move(info));
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end(), [](const FileInfo& a, const FileInfo& b) { return a.name < b.name; });
    return std::nullopt;
}

FileStore::Result FileStore::open(std::string_view name, std::uint32_t position, OpenFile& out) const
{
    std::string path;
    if (auto e = resolve(name, path))
        return e;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ELOOP)
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // a link resolve() found inside the store
    if (fd < 0)
        return errnoError(errno);
    OpenFile file;
    file.fd_ = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return errnoError(errno);
    if (S_ISDIR(st.st_mode))
        return fileError(code::FileAccessDenied);
    if (position > static_cast<std::uint64_t>(st.st_size))
        return fileError(code::PositionInvalid);
    file.position_ = position;
    file.info_.name = std::string(name);
    file.info_.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), UINT32_MAX));
    file.info_.modifiedSeconds = static_cast<std::int64_t>(st.st_mtime);
    out = std::move(file);
    return std::nullopt;
}

FileStore::Result FileStore::remove(std::string_view name) const
{
    std::string path;
    if (auto e = resolve(name, path))
        return e;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return fileError(code::FileAccessDenied);
    if (::unlink(path.c_str()) != 0)
        return errnoError(errno);
    return std::nullopt;
}

FileStore::Result FileStore::rename(std::string_view from, std::string_view to) const
{
    std::string source, target;
    if (auto e = resolve(from, source))
        return e;
    if (auto e = resolve(to, target, false))
        return e;
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0)
        return fileError(code::DuplicateFilename);
    if (::rename(source.c_str(), target.c_str()) != 0)
        return errnoError(errno);
    return std::nullopt;
}

FileStore::Result FileStore::create(std::string_view name, int& fd) const
{
    std::string path;
    if (auto e = resolve(name, path, false))
        return e;
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return errno == ELOOP ? fileError(code::FileAccessDenied) : errnoError(errno);
    return std::nullopt;
}

}  // namespace iec61850::server
