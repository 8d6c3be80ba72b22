// The file services of MmsConnection.
#include "iec61850/client/mms_connection.hpp"

namespace iec61850::client {
namespace {

// Caps on what a server can make us collect.
constexpr std::size_t kMaxDirectoryEntries = 100000;
constexpr std::size_t kMaxFileSize = 64u * 1024 * 1024;

template <typename Response>
Result<Response> fileCall(MmsConnection& c, const mms::ExtraRequest& request)
{
    Result<mms::ConfirmedResponseService> r = c.request(mms::encodeExtra(request));
    if (!r.ok())
        return r.error();
    const auto* raw = std::get_if<mms::UnrecognizedService>(&r.value());
    mms::ExtraResponse extra;
    if (!raw || mms::decodeExtraResponse(*raw, extra) != ber::Status::Ok)
        return Error{ErrorKind::Protocol, 0, 0, "undecodable file service answer"};
    if (auto* typed = std::get_if<Response>(&extra))
        return std::move(*typed);
    return Error{ErrorKind::Protocol, 0, 0, "answer for another service"};
}

Outcome done(std::uint32_t service, const Result<mms::FileDoneResponse>& r)
{
    if (!r.ok())
        return r.error();
    if (r->service != service)
        return Error{ErrorKind::Protocol, 0, 0, "answer for another service"};
    return Done{};
}

}  // namespace

Result<std::vector<mms::DirectoryEntry>> MmsConnection::fileDirectory(std::string_view path)
{
    mms::FileDirectoryRequest request;
    if (!path.empty())
        request.fileName = std::string(path);
    std::vector<mms::DirectoryEntry> entries;
    for (;;) {
        auto r = fileCall<mms::FileDirectoryResponse>(*this, request);
        if (!r.ok())
            return r.error();
        if (entries.size() + r->entries.size() > kMaxDirectoryEntries)
            return Error{ErrorKind::Protocol, 0, 0, "too many directory entries"};
        if (r->moreFollows && r->entries.empty())
            return Error{ErrorKind::Protocol, 0, 0, "more follows, but no entry came"};
        for (mms::DirectoryEntry& e : r->entries)
            entries.push_back(std::move(e));
        if (!r->moreFollows)
            return entries;
        request.continueAfter = entries.back().fileName;
    }
}

Result<Bytes> MmsConnection::fileRead(std::string_view name)
{
    auto opened = fileCall<mms::FileOpenResponse>(*this, mms::FileOpenRequest{std::string(name), 0});
    if (!opened.ok())
        return opened.error();
    const std::int32_t frsm = opened->frsmId;
    Bytes data;
    std::optional<Error> failure;
    for (;;) {
        auto r = fileCall<mms::FileReadResponse>(*this, mms::FileReadRequest{frsm});
        if (!r.ok()) {
            failure = r.error();
            break;
        }
        if (r->data.size() > kMaxFileSize - data.size()) {
            failure = Error{ErrorKind::Protocol, 0, 0, "file too large"};
            break;
        }
        data.insert(data.end(), r->data.begin(), r->data.end());
        if (!r->moreFollows)
            break;
        if (r->data.empty()) {
            failure = Error{ErrorKind::Protocol, 0, 0, "more follows, but no data came"};
            break;
        }
    }
    if (failure && (failure->kind == ErrorKind::ConnectionLost || failure->kind == ErrorKind::NotConnected))
        return *failure;
    Outcome closed = done(mms::service_tag::FileClose,
                          fileCall<mms::FileDoneResponse>(*this, mms::FileCloseRequest{frsm}));
    if (failure)
        return *failure;
    if (!closed.ok())
        return closed.error();
    return data;
}

Outcome MmsConnection::fileDelete(std::string_view name)
{
    return done(mms::service_tag::FileDelete,
                fileCall<mms::FileDoneResponse>(*this, mms::FileDeleteRequest{std::string(name)}));
}

Outcome MmsConnection::fileRename(std::string_view currentName, std::string_view newName)
{
    return done(mms::service_tag::FileRename,
                fileCall<mms::FileDoneResponse>(
                    *this, mms::FileRenameRequest{std::string(currentName), std::string(newName)}));
}

}  // namespace iec61850::client
