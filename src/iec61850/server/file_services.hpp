// The MMS file services of one connection: directory, open/read/close,
// delete, rename, and obtainFile, for which the server fetches the file from
// the client with fileOpen/fileRead/fileClose requests of its own. Socket
// free: answers and requests go out through the Link.
#pragma once

#include "iec61850/mms/file_service.hpp"
#include "iec61850/server/file_store.hpp"

#include <array>
#include <functional>
#include <optional>

namespace iec61850::server {

class FileServices {
public:
    static constexpr std::size_t kMaxOpenFiles = 5;
    static constexpr std::uint32_t kMaxObtainedSize = 16u * 1024 * 1024;

    struct Link {
        std::function<void(std::uint32_t invokeId, const mms::ExtraResponse&)> respond;
        std::function<void(std::uint32_t invokeId, const mms::ServiceError&)> fail;
        std::function<void(std::uint32_t invokeId, const mms::ExtraRequest&)> request;  // to the client
    };

    explicit FileServices(Link link) : link_(std::move(link)) {}
    ~FileServices();
    FileServices(const FileServices&) = delete;
    FileServices& operator=(const FileServices&) = delete;

    void setStore(const FileStore* store) { store_ = store; }
    bool enabled() const { return store_ && store_->enabled(); }

    // Answers fit maxPduSize. ReadJournal is not a file service: not served.
    void serve(const ClientContext& client, std::uint32_t invokeId, const mms::ExtraRequest& request,
               std::int32_t maxPduSize);
    // The client's answers to our own requests; false when not ours.
    bool onResponse(std::uint32_t invokeId, const mms::ExtraResponse& response);
    bool onError(std::uint32_t invokeId, const mms::ServiceError& error);

    std::size_t openFileCount() const;
    bool obtaining() const { return obtain_.has_value(); }
    // Closes every open file and drops a file being obtained.
    void closeAll();

private:
    struct Obtain {
        std::uint32_t clientInvokeId = 0;
        std::uint32_t ourInvokeId = 0;
        std::string sourceFile;
        std::string partPath;
        std::string finalPath;
        int fd = -1;
        std::optional<std::int32_t> frsmId;
        std::uint32_t received = 0;
        bool closing = false;
        std::optional<mms::ServiceError> failure;
    };

    void directory(const ClientContext& client, std::uint32_t invokeId, const mms::FileDirectoryRequest& r,
                   std::int32_t maxPduSize);
    void open(const ClientContext& client, std::uint32_t invokeId, const mms::FileOpenRequest& r);
    void read(std::uint32_t invokeId, const mms::FileReadRequest& r, std::int32_t maxPduSize);
    void close(std::uint32_t invokeId, const mms::FileCloseRequest& r);
    void remove(const ClientContext& client, std::uint32_t invokeId, const mms::FileDeleteRequest& r);
    void rename(const ClientContext& client, std::uint32_t invokeId, const mms::FileRenameRequest& r);
    void obtain(const ClientContext& client, std::uint32_t invokeId, const mms::ObtainFileRequest& r);

    OpenFile* frsm(std::int32_t id);
    void askClient(mms::ExtraRequest request);
    void obtainData(const mms::FileReadResponse& r);
    void obtainClose(std::optional<mms::ServiceError> failure);
    void obtainFinish(std::optional<mms::ServiceError> failure);
    void dropObtain();

    Link link_;
    const FileStore* store_ = nullptr;
    std::array<OpenFile, kMaxOpenFiles> files_;
    std::optional<Obtain> obtain_;
    std::uint32_t nextInvokeId_ = 1;
};

}  // namespace iec61850::server
