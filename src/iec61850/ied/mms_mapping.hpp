// The MMS view of an IedModel: one domain per logical device (IED name +
// LD instance), one named variable per logical node with its functional
// constraints as components, data sets as named variable lists and logs as
// journals. Types and composite values are built on demand from the tree.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"
#include "iec61850/ied/name_index.hpp"
#include "iec61850/server/data_model.hpp"

#include <array>
#include <string>
#include <vector>
#include <unordered_map>

namespace iec61850::ied {

// Serves one functional constraint made of control blocks (RP, LG): per
// logical node a structure with one named component per block.
class BlockService {
public:
    virtual ~BlockService() = default;
    virtual FunctionalConstraint fc() const = 0;
    virtual bool has(const LogicalNode* ln) const = 0;
    virtual mms::TypeDescription type(const LogicalNode* ln) const = 0;
    virtual mms::Value value(const server::ClientContext* client, const LogicalNode* ln) = 0;
    // path below the FC: "reportControl0101" or "reportControl0101$RptEna".
    virtual std::optional<mms::DataAccessError> write(const server::ClientContext& client, const LogicalNode* ln,
                                                      std::string_view path, const mms::Value& value) = 0;
    virtual void connectionClosed(const server::ClientContext&) {}
};

class MmsMapping : public server::MmsDataModel {
public:
    // Creates the value of every attribute (owned until destruction).
    explicit MmsMapping(IedModel& model);
    ~MmsMapping() override;
    MmsMapping(const MmsMapping&) = delete;
    MmsMapping& operator=(const MmsMapping&) = delete;

    IedModel& model() { return model_; }
    const IedModel& model() const { return model_; }

    void setWritePolicy(FunctionalConstraint fc, AccessPolicy policy);
    void setWriteHandler(DataAttribute* attribute, WriteAccessHandler handler, void* parameter);
    void setUpdateListener(UpdateListener* listener) { listener_ = listener; }
    // Internal listeners (reports, logs), told before the application's one.
    void addInternalListener(UpdateListener* listener) { internalListeners_.push_back(listener); }
    void addBlockService(BlockService* service) { blocks_.push_back(service); }
    BlockService* blockService(FunctionalConstraint fc) const;
    // The functional constraints of a node in value order, blocks included.
    std::vector<FunctionalConstraint> fcsOf(const LogicalNode* ln) const;
    // Domain name of a logical device.
    std::string domainOf(const LogicalDevice& device) const;
    void setConnectionHandler(std::function<void(const server::ClientContext&, bool connected)> handler)
    {
        connectionHandler_ = std::move(handler);
    }

    // Tells the listener; the caller holds the model mutex.
    void notify(DataAttribute* attribute, Change what, bool changed);

    void visitDomains(std::string_view after, const NameVisitor& visit) const override;
    bool visitNames(std::string_view domain, server::NameClass cls, std::string_view after,
                    const NameVisitor& visit) const override;
    // Valid until the next call.
    const mms::TypeDescription* typeOf(std::string_view domain, std::string_view item) const override;
    mms::Value read(const server::ClientContext& client, std::string_view domain, std::string_view item) override;
    // Straight from the attributes' values, without building a value.
    void encodeRead(const server::ClientContext& client, std::string_view domain, std::string_view item,
                    ber::Writer& w) override;
    std::optional<mms::DataAccessError> write(const server::ClientContext& client, std::string_view domain,
                                              std::string_view item, const mms::Value& value) override;
    bool variableListMembers(std::string_view domain, std::string_view name,
                             std::vector<mms::ObjectName>& members) const override;
    void connectionOpened(server::ClientContext& client) override;
    void connectionClosed(const server::ClientContext& client) override;
    // The entries of a log from the storage attached to it (journal_access.cpp).
    bool readJournal(const server::ClientContext& client, std::string_view domain, std::string_view journal,
                     const mms::ReadJournalRequest& request, std::size_t maxEntries,
                     std::vector<mms::JournalEntry>& entries) override;

    // A node below a logical node: whole node (fc NONE, node = ln), one
    // functional constraint (node = ln), or a data object / attribute.
    struct Target {
        LogicalNode* ln = nullptr;
        FunctionalConstraint fc = IEC61850_FC_NONE;
        ModelNode* node = nullptr;
        std::string_view component;  // inside a structured basic type (PHYCOMADDR) or a block FC
        BlockService* block = nullptr;
    };
    std::optional<Target> resolve(std::string_view domain, std::string_view item) const;

private:
    struct Handler {
        WriteAccessHandler handler = nullptr;
        void* parameter = nullptr;
    };

    LogicalDevice* device(std::string_view domain) const;
    void indexNames();
    // Names the index does not hold: control-block FCs and the components of
    // structured basic types.
    std::optional<Target> resolveOutsideIndex(std::string_view domain, std::string_view item) const;
    std::optional<mms::DataAccessError> checkAccess(const Target& t) const;
    std::optional<mms::DataAccessError> askHandlers(const Target& t, mms::Value& written,
                                                    const server::ClientContext& client);
    void store(const Target& t, const mms::Value& written);

    IedModel& model_;
    NameIndex names_;
    std::array<bool, 13> writable_{};
    std::unordered_map<const DataAttribute*, Handler> handlers_;
    UpdateListener* listener_ = nullptr;
    std::vector<UpdateListener*> internalListeners_;
    std::vector<BlockService*> blocks_;
    std::function<void(const server::ClientContext&, bool)> connectionHandler_;
    mutable mms::TypeDescription lastType_;
};

// The MMS type of one attribute type (a basic type; CONSTRUCTED gives an
// empty structure).
mms::TypeDescription basicTypeOf(DataAttributeType type);
// The MMS type of an attribute with its components and array elements.
mms::TypeDescription typeOfAttribute(const DataAttribute& attribute);
// Assigns member by member so that components keep their addresses.
void assignInPlace(mms::Value& to, const mms::Value& from);

}  // namespace iec61850::ied
