// Unbuffered report control blocks (FC RP) and the data set members they
// watch. Triggers come from the update listener; general interrogation,
// integrity period and buffer time are driven by tick().
#pragma once

#include "iec61850/ied/mms_mapping.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace iec61850::ied {

// Queues a report for one client; false when it could not be sent.
using ReportSink = std::function<bool(server::ConnectionId, const mms::VariableAccessSpec&,
                                      std::span<const mms::Value* const>)>;

// One member of a data set as the MMS mapping resolves it.
struct ResolvedMember {
    std::string domain;
    std::string item;  // "LLN0$ST$Mod"
    ModelNode* node = nullptr;
    FunctionalConstraint fc = IEC61850_FC_NONE;
};

// The members of a data set; empty and `error` set when a member names nothing.
std::vector<ResolvedMember> resolveDataSet(const MmsMapping& mapping, const DataSet& set, std::string* error);
// The first problem with the model's data sets, empty when all resolve.
std::string checkDataSets(const MmsMapping& mapping);
// A data set named by a block: "dataset01" in the block's LN or "LN$name".
DataSet* dataSetOfBlock(IedModel& model, const LogicalNode& ln, const char* dataSetName);
// "IEDLD/LLN0$dataset01"
std::string dataSetReference(const MmsMapping& mapping, const DataSet& set);

// Reason-for-inclusion bits as TRG_OPT_* values.
mms::Value reasonCode(std::uint8_t trgOpt);
// OptFlds / TrgOps bit strings from the RPT_OPT_* / TRG_OPT_* integers.
mms::Value optFldsValue(std::uint8_t options);
mms::Value trgOpsValue(std::uint8_t trgOps);

// Watches data set members: for each attribute update finds the members
// containing the attribute and the trigger options it carries.
class MemberIndex {
public:
    struct Hit {
        std::size_t owner;   // index given to add()
        std::size_t member;  // position in the data set
    };
    void add(std::size_t owner, const std::vector<ResolvedMember>& members);
    // Calls f(hit) for every member containing the attribute.
    template <class F>
    void forEachHit(const DataAttribute* attribute, F&& f) const
    {
        for (const ModelNode* n = attribute; n && n->modelType != LogicalDeviceModelType; n = n->parent) {
            auto it = hits_.find(Key{n, attribute->fc});
            if (it != hits_.end())
                for (const Hit& h : it->second)
                    f(h);
        }
    }
    // Trigger options of an attribute and the attributes above it.
    static std::uint8_t triggerOptionsOf(const DataAttribute* attribute);
    // The reason a block with trgOps records for this event, or 0 when it
    // records none. A changed value is also an update: where changes do not
    // trigger but updates do, it is recorded as an update.
    static std::uint8_t triggerReason(const DataAttribute* attribute, Change what, std::uint8_t trgOps);

private:
    struct Key {
        const ModelNode* node;
        FunctionalConstraint fc;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const
        {
            return std::hash<const void*>()(k.node) ^ static_cast<std::size_t>(k.fc);
        }
    };
    std::unordered_map<Key, std::vector<Hit>, KeyHash> hits_;
};

class Reporting : public BlockService, public UpdateListener {
public:
    Reporting(MmsMapping& mapping, ReportSink sink);
    ~Reporting() override;

    FunctionalConstraint fc() const override { return IEC61850_FC_RP; }
    bool has(const LogicalNode* ln) const override;
    mms::TypeDescription type(const LogicalNode* ln) const override;
    mms::Value value(const server::ClientContext* client, const LogicalNode* ln) override;
    std::optional<mms::DataAccessError> write(const server::ClientContext& client, const LogicalNode* ln,
                                              std::string_view path, const mms::Value& value) override;
    void connectionClosed(const server::ClientContext& client) override;

    void attributeUpdated(DataAttribute* attribute, Change what, bool changed) override;

    // Sends what is due at nowMs (monotonic); returns ms until the next
    // deadline or -1. Call under the model mutex.
    int tick(std::uint64_t nowMs);
    // Called when a deadline was set outside tick (to wake a waiting loop).
    void setDeadlineHandler(std::function<void()> handler) { onDeadline_ = std::move(handler); }

    static mms::TypeDescription blockType();

    // Reports that could not be sent to their owner since the start (too
    // large even in segments, or the connection takes no more). The first
    // of a run of them is told (platform::notice).
    std::uint64_t unsentReports() const { return unsentReports_; }

private:
    struct Block;
    struct Contents;
    struct Segment {
        std::uint16_t subSeqNum;
        bool moreFollows;
    };
    Block* find(const LogicalNode* ln, std::string_view name) const;
    std::optional<mms::DataAccessError> writeComponent(Block& b, const server::ClientContext& client,
                                                       std::string_view component, const mms::Value& value);
    void trigger(Block& b, std::size_t member, std::uint8_t reason, std::uint64_t nowMs);
    void sendAll(Block& b, std::uint8_t reason);
    void sendPending(Block& b);
    // Sends a report, in segments when it does not fit the owner's PDU size.
    void send(Block& b, const std::vector<std::uint8_t>& reasons);
    Contents compose(const Block& b, const std::vector<std::uint8_t>& reasons) const;
    static std::vector<mms::Value> fieldsOf(const Contents& c, std::size_t first, std::size_t last,
                                            std::optional<Segment> segment);
    bool deliver(const Block& b, const std::vector<mms::Value>& fields);
    bool deliverSegments(const Block& b, const Contents& c, std::size_t& delivered);
    void account(Block& b, bool sent);
    void release(Block& b);

    MmsMapping& mapping_;
    ReportSink sink_;
    std::vector<std::unique_ptr<Block>> blocks_;
    MemberIndex index_;
    std::function<void()> onDeadline_;
    std::uint64_t unsentReports_ = 0;
};

}  // namespace iec61850::ied
