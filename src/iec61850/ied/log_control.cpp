#include "iec61850/ied/log_control.hpp"

#include "iec61850/platform/clock.hpp"

#include <algorithm>

namespace iec61850::ied {

using mms::DataAccessError;
using mms::TypeDescription;
using mms::Value;

struct LogControl::Block {
    LogControlBlock* cb = nullptr;
    const LogicalNode* ln = nullptr;
    const Log* log = nullptr;
    std::string logRef;  // as served: the MMS reference of the journal, like DatSet
    std::vector<ResolvedMember> members;
    std::string datSet;
    bool enabled = false;
};

namespace {

// "FNN_STEUERBOXSTB/LLN0$logSTB": the domain and journal name a ReadJournal needs.
std::string journalReference(const IedModel& model, const Log& log)
{
    const LogicalNode* ln = log.parent;
    return std::string(model.name ? model.name : "") + ln->parent->name + "/" + ln->name + "$" + log.name;
}

}  // namespace

LogControl::LogControl(MmsMapping& mapping) : mapping_(mapping)
{
    IedModel& model = mapping_.model();
    for (LogControlBlock* cb = model.lcbs; cb; cb = cb->sibling) {
        if (!cb->parent)
            continue;
        auto b = std::make_unique<Block>();
        b->cb = cb;
        b->ln = cb->parent;
        b->enabled = cb->logEna;
        b->log = cb->logRef ? findLog(&model, cb->logRef) : nullptr;
        b->logRef = b->log ? journalReference(model, *b->log) : (cb->logRef ? cb->logRef : "");
        if (DataSet* set = dataSetOfBlock(model, *cb->parent, cb->dataSetName)) {
            b->members = resolveDataSet(mapping_, *set, nullptr);
            b->datSet = dataSetReference(mapping_, *set);
        }
        index_.add(blocks_.size(), b->members);
        blocks_.push_back(std::move(b));
    }
}

LogControl::~LogControl() = default;

TypeDescription LogControl::blockType()
{
    return TypeDescription::structure({
        TypeDescription::boolean().named("LogEna"),
        TypeDescription::visibleString(-129).named("LogRef"),
        TypeDescription::visibleString(-129).named("DatSet"),
        TypeDescription::binaryTime(true).named("OldEntrTm"),
        TypeDescription::binaryTime(true).named("NewEntrTm"),
        TypeDescription::octetString(8).named("OldEnt"),
        TypeDescription::octetString(8).named("NewEnt"),
        TypeDescription::bitString(6).named("TrgOps"),
        TypeDescription::unsignedInteger(32).named("IntgPd"),
    });
}

bool LogControl::has(const LogicalNode* ln) const
{
    return std::any_of(blocks_.begin(), blocks_.end(), [ln](const auto& b) { return b->ln == ln; });
}

namespace {

template <class Blocks, class F>
auto sortedOf(const Blocks& blocks, const LogicalNode* ln, F&& make)
{
    using T = decltype(make(*blocks.front()));
    std::vector<std::pair<std::string_view, T>> named;
    for (const auto& b : blocks)
        if (b->ln == ln)
            named.emplace_back(b->cb->name, make(*b));
    std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return server::nameLess(a.first, b.first); });
    std::vector<T> out;
    for (auto& n : named)
        out.push_back(std::move(n.second));
    return out;
}

Value entryIdValue(const EntryId& id)
{
    return Value::octetString(ByteView(id.data(), id.size()));
}

}  // namespace

TypeDescription LogControl::type(const LogicalNode* ln) const
{
    return TypeDescription::structure(sortedOf(blocks_, ln, [](const Block& b) { return blockType().named(b.cb->name); }));
}

LogStorage* LogControl::storageOf(const Block& b) const
{
    return b.log ? logStorageOf(b.log) : nullptr;
}

Value LogControl::value(const server::ClientContext*, const LogicalNode* ln)
{
    return Value::structure(sortedOf(blocks_, ln, [this](const Block& b) {
        LogStorage* storage = storageOf(b);
        std::optional<LogPosition> oldest = storage ? storage->oldest() : std::nullopt;
        std::optional<LogPosition> newest = storage ? storage->newest() : std::nullopt;
        return Value::structure({
            Value::boolean(b.enabled),
            Value::visibleString(b.logRef),
            Value::visibleString(b.datSet),
            Value::binaryTimeMs(oldest ? oldest->timeMs : 0),
            Value::binaryTimeMs(newest ? newest->timeMs : 0),
            entryIdValue(oldest ? oldest->id : EntryId{}),
            entryIdValue(newest ? newest->id : EntryId{}),
            trgOpsValue(b.cb->trgOps),
            Value::unsignedInteger(b.cb->intPeriod),
        });
    }));
}

std::optional<DataAccessError> LogControl::write(const server::ClientContext&, const LogicalNode* ln,
                                                 std::string_view path, const Value& value)
{
    const std::size_t dollar = path.find('$');
    const std::string_view name = path.substr(0, dollar);
    auto it = std::find_if(blocks_.begin(), blocks_.end(), [&](const auto& b) { return b->ln == ln && name == b->cb->name; });
    if (it == blocks_.end())
        return DataAccessError::ObjectNonExistent;
    if (dollar == std::string_view::npos || path.substr(dollar + 1) != "LogEna")
        return DataAccessError::ObjectAccessDenied;
    (*it)->enabled = value.toBool();
    return std::nullopt;
}

void LogControl::attributeUpdated(DataAttribute* attribute, Change what, bool)
{
    index_.forEachHit(attribute, [&](const MemberIndex::Hit& hit) {
        Block& b = *blocks_[hit.owner];
        const std::uint8_t reason = b.enabled ? MemberIndex::triggerReason(attribute, what, b.cb->trgOps) : 0;
        if (reason != 0)
            append(b, hit.member, reason);
    });
}

void LogControl::append(Block& b, std::size_t member, std::uint8_t reason)
{
    LogStorage* storage = storageOf(b);
    if (!storage)
        return;
    const ResolvedMember& m = b.members[member];
    LogEntry entry;  // numbered by the storage
    entry.timeMs = platform::wallTimeMs();
    LogValue v{m.domain + "/" + m.item, mapping_.read(server::ClientContext{}, m.domain, m.item), std::nullopt};
    if (b.cb->reasonCode)
        v.reasonCode = reasonCode(reason);
    entry.values.push_back(std::move(v));
    storage->append(std::move(entry));
}

}  // namespace iec61850::ied
