// Log control blocks (FC LG): while LogEna is set, a trigger of a member of
// the block's data set appends a journal entry to the storage attached to
// the block's log.
#pragma once

#include "iec61850/ied/log_storage.hpp"
#include "iec61850/ied/reporting.hpp"

namespace iec61850::ied {

class LogControl : public BlockService, public UpdateListener {
public:
    explicit LogControl(MmsMapping& mapping);
    ~LogControl() override;

    FunctionalConstraint fc() const override { return IEC61850_FC_LG; }
    bool has(const LogicalNode* ln) const override;
    mms::TypeDescription type(const LogicalNode* ln) const override;
    mms::Value value(const server::ClientContext* client, const LogicalNode* ln) override;
    // Only LogEna is writable.
    std::optional<mms::DataAccessError> write(const server::ClientContext& client, const LogicalNode* ln,
                                              std::string_view path, const mms::Value& value) override;

    void attributeUpdated(DataAttribute* attribute, Change what, bool changed) override;

    static mms::TypeDescription blockType();

private:
    struct Block;
    LogStorage* storageOf(const Block& b) const;
    void append(Block& b, std::size_t member, std::uint8_t reason);

    MmsMapping& mapping_;
    std::vector<std::unique_ptr<Block>> blocks_;
    MemberIndex index_;
};

}  // namespace iec61850::ied
