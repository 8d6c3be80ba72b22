#include "iec61850/server/file_services.hpp"

#include "iec61850/ber/ber.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include <unistd.h>

namespace iec61850::server {

namespace code = mms::error_code::file;

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// Room for everything of a response but its list or data: the PDU and
// service tags, the invoke ID, their lengths and moreFollows.
constexpr std::size_t kResponseOverhead = 40;

std::size_t tlvSize(std::size_t contentSize)
{
    std::size_t lengthOctets = 1;
    if (contentSize >= 0x80)
        for (std::size_t n = contentSize; n; n >>= 8)
            ++lengthOctets;
    return 1 + lengthOctets + contentSize;
}

std::size_t entrySize(const mms::DirectoryEntry& e)
{
    Bytes size;
    ber::appendUnsignedContent(size, e.attributes.size);
    std::size_t attributes = tlvSize(size.size()) + (e.attributes.lastModified ? tlvSize(e.attributes.lastModified->size()) : 0);
    return tlvSize(tlvSize(tlvSize(e.fileName.size())) + tlvSize(attributes));
}

std::size_t budget(std::int32_t maxPduSize)
{
    auto size = static_cast<std::size_t>(std::max(maxPduSize, 0));
    return size > kResponseOverhead ? size - kResponseOverhead : 1;
}

mms::ServiceError error(mms::ErrorClass cls, std::int32_t c)
{
    return {cls, c, {}, {}};
}

bool writeAll(int fd, ByteView data)
{
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

FileServices::~FileServices() { closeAll(); }

void FileServices::serve(const ClientContext& client, std::uint32_t invokeId, const mms::ExtraRequest& request,
                         std::int32_t maxPduSize)
{
    if (!enabled()) {
        link_.fail(invokeId, fileError(code::FileNonExistent));
        return;
    }
    std::visit(Overloaded{
                   [&](const mms::FileDirectoryRequest& r) { directory(client, invokeId, r, maxPduSize); },
                   [&](const mms::FileOpenRequest& r) { open(client, invokeId, r); },
                   [&](const mms::FileReadRequest& r) { read(invokeId, r, maxPduSize); },
                   [&](const mms::FileCloseRequest& r) { close(invokeId, r); },
                   [&](const mms::FileDeleteRequest& r) { remove(client, invokeId, r); },
                   [&](const mms::FileRenameRequest& r) { rename(client, invokeId, r); },
                   [&](const mms::ObtainFileRequest& r) { obtain(client, invokeId, r); },
                   [&](const mms::ReadJournalRequest&) {
                       link_.fail(invokeId, error(mms::ErrorClass::Service, mms::error_code::service::Other));
                   },
               },
               request);
}

void FileServices::directory(const ClientContext& client, std::uint32_t invokeId, const mms::FileDirectoryRequest& r,
                             std::int32_t maxPduSize)
{
    std::string_view name = r.fileName ? std::string_view(*r.fileName) : std::string_view();
    if (auto e = store_->checkAccess(client, FileService::ReadDirectory, name))
        return link_.fail(invokeId, *e);
    std::vector<FileInfo> files;
    if (auto e = store_->list(name, files))
        return link_.fail(invokeId, *e);
    auto next = files.begin();
    if (r.continueAfter)
        next = std::upper_bound(files.begin(), files.end(), *r.continueAfter,
                                [](const std::string& after, const FileInfo& f) { return after < f.name; });
    mms::FileDirectoryResponse response;
    std::size_t room = budget(maxPduSize);
    std::size_t used = 0;
    for (; next != files.end(); ++next) {
        mms::DirectoryEntry entry{next->name, {next->size, generalizedTime(next->modifiedSeconds)}};
        std::size_t size = entrySize(entry);
        if (used + size > room)
            break;
        used += size;
        response.entries.push_back(std::move(entry));
    }
    response.moreFollows = next != files.end();
    if (response.moreFollows && response.entries.empty())
        return link_.fail(invokeId, error(mms::ErrorClass::Service, mms::error_code::service::PduSize));
    link_.respond(invokeId, response);
}

void FileServices::open(const ClientContext& client, std::uint32_t invokeId, const mms::FileOpenRequest& r)
{
    if (auto e = store_->checkAccess(client, FileService::Open, r.fileName))
        return link_.fail(invokeId, *e);
    auto slot = std::find_if(files_.begin(), files_.end(), [](const OpenFile& f) { return !f.isOpen(); });
    if (slot == files_.end())
        return link_.fail(invokeId, error(mms::ErrorClass::Resource, mms::error_code::resource::CapabilityUnavailable));
    if (auto e = store_->open(r.fileName, r.initialPosition, *slot))
        return link_.fail(invokeId, *e);
    const FileInfo& info = slot->info();
    mms::FileOpenResponse response{static_cast<std::int32_t>(slot - files_.begin()),
                                   {info.size, generalizedTime(info.modifiedSeconds)}};
    link_.respond(invokeId, response);
}

OpenFile* FileServices::frsm(std::int32_t id)
{
    if (id < 0 || static_cast<std::size_t>(id) >= files_.size() || !files_[static_cast<std::size_t>(id)].isOpen())
        return nullptr;
    return &files_[static_cast<std::size_t>(id)];
}

void FileServices::read(std::uint32_t invokeId, const mms::FileReadRequest& r, std::int32_t maxPduSize)
{
    OpenFile* file = frsm(r.frsmId);
    if (!file)
        return link_.fail(invokeId, error(mms::ErrorClass::Access, mms::error_code::access::ObjectNonExistent));
    mms::FileReadResponse response;
    response.data.resize(budget(maxPduSize));
    auto count = file->read(response.data);
    if (!count)
        return link_.fail(invokeId, fileError(code::Other));
    response.data.resize(*count);
    response.moreFollows = *count > 0 && !file->atEnd();
    link_.respond(invokeId, response);
}

void FileServices::close(std::uint32_t invokeId, const mms::FileCloseRequest& r)
{
    OpenFile* file = frsm(r.frsmId);
    if (!file)
        return link_.fail(invokeId, error(mms::ErrorClass::Access, mms::error_code::access::ObjectNonExistent));
    file->close();
    link_.respond(invokeId, mms::FileDoneResponse{mms::service_tag::FileClose});
}

void FileServices::remove(const ClientContext& client, std::uint32_t invokeId, const mms::FileDeleteRequest& r)
{
    if (auto e = store_->checkAccess(client, FileService::Delete, r.fileName))
        return link_.fail(invokeId, *e);
    if (auto e = store_->remove(r.fileName))
        return link_.fail(invokeId, *e);
    link_.respond(invokeId, mms::FileDoneResponse{mms::service_tag::FileDelete});
}

void FileServices::rename(const ClientContext& client, std::uint32_t invokeId, const mms::FileRenameRequest& r)
{
    if (auto e = store_->checkAccess(client, FileService::Rename, r.currentName, r.newName))
        return link_.fail(invokeId, *e);
    if (auto e = store_->rename(r.currentName, r.newName))
        return link_.fail(invokeId, *e);
    link_.respond(invokeId, mms::FileDoneResponse{mms::service_tag::FileRename});
}

std::size_t FileServices::openFileCount() const
{
    return static_cast<std::size_t>(std::count_if(files_.begin(), files_.end(), [](const OpenFile& f) { return f.isOpen(); }));
}

void FileServices::closeAll()
{
    for (OpenFile& f : files_)
        f.close();
    dropObtain();
}

// ---- obtainFile ------------------------------------------------------------------------

void FileServices::obtain(const ClientContext& client, std::uint32_t invokeId, const mms::ObtainFileRequest& r)
{
    if (obtain_)
        return link_.fail(invokeId, fileError(code::FileBusy));
    if (auto e = store_->checkAccess(client, FileService::Obtain, r.destinationFile, r.sourceFile))
        return link_.fail(invokeId, *e);
    std::string finalPath;
    if (auto e = store_->resolve(r.destinationFile, finalPath, false))
        return link_.fail(invokeId, *e);
    if (::access(finalPath.c_str(), F_OK) == 0)
        return link_.fail(invokeId, fileError(code::DuplicateFilename));
    Obtain o;
    if (auto e = store_->create(r.destinationFile + ".part", o.fd))
        return link_.fail(invokeId, *e);
    o.clientInvokeId = invokeId;
    o.sourceFile = r.sourceFile;
    o.partPath = finalPath + ".part";
    o.finalPath = std::move(finalPath);
    obtain_ = std::move(o);
    askClient(mms::FileOpenRequest{obtain_->sourceFile, 0});
}

void FileServices::askClient(mms::ExtraRequest request)
{
    obtain_->ourInvokeId = nextInvokeId_++;
    link_.request(obtain_->ourInvokeId, request);
}

bool FileServices::onResponse(std::uint32_t invokeId, const mms::ExtraResponse& response)
{
    if (!obtain_ || invokeId != obtain_->ourInvokeId)
        return false;
    std::visit(Overloaded{
                   [&](const mms::FileOpenResponse& r) {
                       if (obtain_->frsmId)
                           return obtainClose(fileError(code::Other));
                       obtain_->frsmId = r.frsmId;
                       askClient(mms::FileReadRequest{r.frsmId});
                   },
                   [&](const mms::FileReadResponse& r) {
                       if (obtain_->closing)
                           obtainFinish(obtain_->failure ? obtain_->failure : fileError(code::Other));
                       else
                           obtainData(r);
                   },
                   [&](const mms::FileDoneResponse& r) {
                       if (r.service == mms::service_tag::FileClose && obtain_->closing)
                           obtainFinish(obtain_->failure);
                       else
                           obtainClose(fileError(code::Other));
                   },
                   [&](const auto&) { obtainClose(fileError(code::Other)); },
               },
               response);
    return true;
}

bool FileServices::onError(std::uint32_t invokeId, const mms::ServiceError& e)
{
    if (!obtain_ || invokeId != obtain_->ourInvokeId)
        return false;
    if (!obtain_->frsmId || obtain_->closing)  // the open or our close failed
        obtainFinish(obtain_->failure ? obtain_->failure : e);
    else
        obtainClose(e);
    return true;
}

void FileServices::obtainData(const mms::FileReadResponse& r)
{
    if (obtain_->failure)
        return obtainClose(obtain_->failure);
    if (r.data.size() > kMaxObtainedSize - obtain_->received)
        return obtainClose(fileError(code::InsufficientSpaceInFilestore));
    if (!writeAll(obtain_->fd, r.data))
        return obtainClose(fileError(errno == ENOSPC ? code::InsufficientSpaceInFilestore : code::Other));
    obtain_->received += static_cast<std::uint32_t>(r.data.size());
    if (r.moreFollows)
        askClient(mms::FileReadRequest{*obtain_->frsmId});
    else
        obtainClose(std::nullopt);
}

void FileServices::obtainClose(std::optional<mms::ServiceError> failure)
{
    if (failure && !obtain_->failure)
        obtain_->failure = std::move(failure);
    if (!obtain_->frsmId)
        return obtainFinish(obtain_->failure);
    obtain_->closing = true;
    askClient(mms::FileCloseRequest{*obtain_->frsmId});
}

void FileServices::obtainFinish(std::optional<mms::ServiceError> failure)
{
    std::uint32_t invokeId = obtain_->clientInvokeId;
    if (!failure) {
        bool written = ::close(std::exchange(obtain_->fd, -1)) == 0;
        if (!written || ::access(obtain_->finalPath.c_str(), F_OK) == 0 ||
            std::rename(obtain_->partPath.c_str(), obtain_->finalPath.c_str()) != 0)
            failure = fileError(written ? code::DuplicateFilename : code::Other);
    }
    dropObtain();
    if (failure)
        link_.fail(invokeId, *failure);
    else
        link_.respond(invokeId, mms::FileDoneResponse{mms::service_tag::ObtainFile});
}

void FileServices::dropObtain()
{
    if (!obtain_)
        return;
    if (obtain_->fd >= 0)
        ::close(obtain_->fd);
    ::unlink(obtain_->partPath.c_str());  // gone already when it was renamed
    obtain_.reset();
}

}  // namespace iec61850::server
