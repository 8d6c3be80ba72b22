#include "iec61850/ied/reporting.hpp"

#include "iec61850/platform/clock.hpp"
#include "iec61850/platform/notice.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace iec61850::ied {

using mms::DataAccessError;
using mms::TypeDescription;
using mms::Value;

namespace {

constexpr std::size_t kOwnerOctets = 17;
constexpr std::size_t kSegmentationBit = 9;  // of the OptFlds a report carries
// What the length octets of the report's three enclosing TLVs can grow by
// as members are added (up to 64 KiB).
constexpr std::size_t kLengthGrowth = 3 * 2;

const mms::VariableAccessSpec& reportAccess()
{
    static const mms::VariableAccessSpec access = mms::VariableAccessSpec::list(mms::ObjectName::vmd("RPT"));
    return access;
}

std::vector<const Value*> pointersTo(const std::vector<Value>& values)
{
    std::vector<const Value*> pointers;
    pointers.reserve(values.size());
    for (const Value& v : values)
        pointers.push_back(&v);
    return pointers;
}

// Octets of the informationReport PDU with these fields.
std::size_t encodedSize(const std::vector<Value>& fields)
{
    ber::Writer w;
    mms::encodeInformationReport(w, reportAccess(), pointersTo(fields));
    return w.size();
}

std::size_t encodedSize(const Value& v)
{
    ber::Writer w;
    v.encode(w);
    return w.size();
}

// Wire bit of an option given as a power of two (bit 0 is reserved).
std::size_t wireBit(std::uint32_t option)
{
    std::size_t bit = 1;
    while (option > 1) {
        option >>= 1;
        ++bit;
    }
    return bit;
}

Value bitsOf(std::uint32_t options, std::size_t bitCount)
{
    Value v = Value::bitString(bitCount);
    for (std::uint32_t o = 1; o < (1u << (bitCount - 1)); o <<= 1)
        if (options & o)
            v.setBit(wireBit(o), true);
    return v;
}

std::uint32_t optionsOf(const Value& bits)
{
    std::uint32_t options = 0;
    for (std::size_t bit = 1; bit < bits.bitStringSize() && bit < 32; ++bit)
        if (bits.getBit(bit))
            options |= 1u << (bit - 1);
    return options;
}

Value ownerValue(const std::string& peerAddress)
{
    std::array<std::uint8_t, kOwnerOctets> octets{};
    std::string host = peerAddress.substr(0, peerAddress.rfind(':'));
    std::size_t at = 0;
    std::uint32_t part = 0;
    bool digits = false;
    for (char c : host + '.') {
        if (c >= '0' && c <= '9' && part < 256) {
            part = part * 10 + static_cast<std::uint32_t>(c - '0');
            digits = true;
        } else if (c == '.' && digits && part < 256 && at < 4) {
            octets[at++] = static_cast<std::uint8_t>(part);
            part = 0;
            digits = false;
        } else {
            octets.fill(0);  // not dotted IPv4: the owner stays anonymous
            break;
        }
    }
    return Value::octetString(ByteView(octets.data(), octets.size()));
}

std::string lnPath(const LogicalNode& ln, const char* name)
{
    std::string_view n(name ? name : "");
    if (n.find('$') != std::string_view::npos)
        return std::string(n);
    return std::string(ln.name) + "$" + std::string(n);
}

}  // namespace

Value reasonCode(std::uint8_t trgOpt)
{
    return bitsOf(trgOpt, 6);
}

Value optFldsValue(std::uint8_t options)
{
    return bitsOf(options, 10);
}

Value trgOpsValue(std::uint8_t trgOps)
{
    return bitsOf(trgOps, 6);
}

std::vector<ResolvedMember> resolveDataSet(const MmsMapping& mapping, const DataSet& set, std::string* error)
{
    std::vector<ResolvedMember> members;
    const std::string ied(mapping.model().name ? mapping.model().name : "");
    for (const DataSetEntry* e = set.fcdas; e; e = e->sibling) {
        ResolvedMember m;
        m.domain = ied + (e->logicalDeviceName ? e->logicalDeviceName : "");
        m.item = e->variableName ? e->variableName : "";
        auto t = mapping.resolve(m.domain, m.item);
        if (!t || t->block || t->fc == IEC61850_FC_NONE || !t->component.empty() || e->index >= 0) {
            if (error)
                *error = "data set " + std::string(set.logicalDeviceName ? set.logicalDeviceName : "") + "/" +
                         (set.name ? set.name : "") + ": member " + m.domain + "/" + m.item + " names nothing";
            return {};
        }
        m.node = t->node;
        m.fc = t->fc;
        members.push_back(std::move(m));
    }
    return members;
}

std::string checkDataSets(const MmsMapping& mapping)
{
    for (const DataSet* s = mapping.model().dataSets; s; s = s->sibling) {
        std::string error;
        if (resolveDataSet(mapping, *s, &error).empty() && !error.empty())
            return error;
    }
    return {};
}

DataSet* dataSetOfBlock(IedModel& model, const LogicalNode& ln, const char* dataSetName)
{
    if (!dataSetName || !ln.parent)
        return nullptr;
    return IedModel_lookupDataSet(&model, ln.parent->name, lnPath(ln, dataSetName).c_str());
}

std::string dataSetReference(const MmsMapping& mapping, const DataSet& set)
{
    return std::string(mapping.model().name ? mapping.model().name : "") +
           (set.logicalDeviceName ? set.logicalDeviceName : "") + "/" + (set.name ? set.name : "");
}

void MemberIndex::add(std::size_t owner, const std::vector<ResolvedMember>& members)
{
    for (std::size_t i = 0; i < members.size(); ++i)
        hits_[Key{members[i].node, members[i].fc}].push_back({owner, i});
}

std::uint8_t MemberIndex::triggerOptionsOf(const DataAttribute* attribute)
{
    std::uint8_t options = 0;
    for (const ModelNode* n = attribute; n && n->modelType == DataAttributeModelType; n = n->parent)
        options |= static_cast<const DataAttribute*>(n)->triggerOptions;
    return options;
}

std::uint8_t MemberIndex::triggerReason(const DataAttribute* attribute, Change what, std::uint8_t trgOps)
{
    const std::uint8_t enabled = triggerOptionsOf(attribute) & trgOps;
    if (what == Change::Value && (enabled & TRG_OPT_DATA_CHANGED))
        return TRG_OPT_DATA_CHANGED;
    if (what == Change::Quality && (enabled & TRG_OPT_QUALITY_CHANGED))
        return TRG_OPT_QUALITY_CHANGED;
    return enabled & TRG_OPT_DATA_UPDATE;
}

struct Reporting::Block {
    ReportControlBlock* cb = nullptr;
    const LogicalNode* ln = nullptr;
    DataSet* dataSet = nullptr;
    std::vector<ResolvedMember> members;
    std::string rptId;
    std::string datSet;
    bool enabled = false;
    bool reserved = false;  // Resv written TRUE by the owner
    std::uint32_t confRev = 0;
    std::uint8_t optFlds = 0;
    std::uint32_t bufTm = 0;
    std::uint32_t sqNum = 0;
    std::uint8_t trgOps = 0;
    std::uint32_t intgPd = 0;
    std::optional<server::ConnectionId> owner;
    Value ownerAddress = Value::octetString(ByteView());
    std::string ownerPeer;              // for messages
    std::size_t ownerPduSize = 0;       // negotiated by the owner; 0: unknown
    bool unsentRun = false;             // reports lost since the last one sent
    std::vector<std::uint8_t> pending;  // reason per member, 0 = not included
    std::uint64_t bufferDeadline = 0;   // 0 = none
    std::uint64_t nextIntegrity = 0;    // 0 = none
};

Reporting::Reporting(MmsMapping& mapping, ReportSink sink) : mapping_(mapping), sink_(std::move(sink))
{
    IedModel& model = mapping_.model();
    for (ReportControlBlock* cb = model.rcbs; cb; cb = cb->sibling) {
        if (cb->buffered || !cb->parent)
            continue;
        auto b = std::make_unique<Block>();
        b->cb = cb;
        b->ln = cb->parent;
        b->rptId = cb->rptId ? cb->rptId : "";
        b->dataSet = dataSetOfBlock(model, *cb->parent, cb->dataSetName);
        if (b->dataSet) {
            b->members = resolveDataSet(mapping_, *b->dataSet, nullptr);
            b->datSet = dataSetReference(mapping_, *b->dataSet);
        }
        b->confRev = cb->confRef;
        b->optFlds = cb->options;
        b->bufTm = cb->bufferTime;
        b->trgOps = cb->trgOps;
        b->intgPd = cb->intPeriod;
        b->ownerAddress = ownerValue({});
        b->pending.assign(b->members.size(), 0);
        index_.add(blocks_.size(), b->members);
        blocks_.push_back(std::move(b));
    }
}

Reporting::~Reporting() = default;

TypeDescription Reporting::blockType()
{
    return TypeDescription::structure({
        TypeDescription::visibleString(-129).named("RptID"),
        TypeDescription::boolean().named("RptEna"),
        TypeDescription::boolean().named("Resv"),
        TypeDescription::visibleString(-129).named("DatSet"),
        TypeDescription::unsignedInteger(32).named("ConfRev"),
        TypeDescription::bitString(10).named("OptFlds"),
        TypeDescription::unsignedInteger(32).named("BufTm"),
        TypeDescription::unsignedInteger(8).named("SqNum"),
        TypeDescription::bitString(6).named("TrgOps"),
        TypeDescription::unsignedInteger(32).named("IntgPd"),
        TypeDescription::boolean().named("GI"),
        TypeDescription::octetString(-64).named("Owner"),
    });
}

bool Reporting::has(const LogicalNode* ln) const
{
    return std::any_of(blocks_.begin(), blocks_.end(), [ln](const auto& b) { return b->ln == ln; });
}

TypeDescription Reporting::type(const LogicalNode* ln) const
{
    std::vector<std::pair<std::string_view, TypeDescription>> named;
    for (const auto& b : blocks_)
        if (b->ln == ln)
            named.emplace_back(b->cb->name, blockType().named(b->cb->name));
    std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return server::nameLess(a.first, b.first); });
    std::vector<TypeDescription> components;
    for (auto& n : named)
        components.push_back(std::move(n.second));
    return TypeDescription::structure(std::move(components));
}

Value Reporting::value(const server::ClientContext*, const LogicalNode* ln)
{
    std::vector<std::pair<std::string_view, Value>> named;
    for (const auto& p : blocks_) {
        if (p->ln != ln)
            continue;
        const Block& b = *p;
        Value v = Value::structure({
            Value::visibleString(b.rptId),
            Value::boolean(b.enabled),
            Value::boolean(b.owner.has_value()),
            Value::visibleString(b.datSet),
            Value::unsignedInteger(b.confRev),
            optFldsValue(b.optFlds),
            Value::unsignedInteger(b.bufTm),
            Value::unsignedInteger(b.sqNum),
            trgOpsValue(b.trgOps),
            Value::unsignedInteger(b.intgPd),
            Value::boolean(false),
            b.ownerAddress,
        });
        named.emplace_back(b.cb->name, std::move(v));
    }
    std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return server::nameLess(a.first, b.first); });
    std::vector<Value> members;
    for (auto& n : named)
        members.push_back(std::move(n.second));
    return Value::structure(std::move(members));
}

Reporting::Block* Reporting::find(const LogicalNode* ln, std::string_view name) const
{
    for (const auto& b : blocks_)
        if (b->ln == ln && name == b->cb->name)
            return b.get();
    return nullptr;
}

std::optional<DataAccessError> Reporting::write(const server::ClientContext& client, const LogicalNode* ln,
                                                std::string_view path, const Value& value)
{
    const std::size_t dollar = path.find('$');
    Block* b = find(ln, path.substr(0, dollar));
    if (!b)
        return DataAccessError::ObjectNonExistent;
    if (dollar == std::string_view::npos)
        return DataAccessError::ObjectAccessDenied;  // whole blocks are written member by member
    return writeComponent(*b, client, path.substr(dollar + 1), value);
}

std::optional<DataAccessError> Reporting::writeComponent(Block& b, const server::ClientContext& client,
                                                         std::string_view component, const Value& value)
{
    if (b.owner && *b.owner != client.id)
        return DataAccessError::TemporarilyUnavailable;
    auto reserve = [&] {
        b.owner = client.id;
        b.ownerAddress = ownerValue(client.peerAddress);
        b.ownerPeer = client.peerAddress;
        b.ownerPduSize = static_cast<std::size_t>(std::max(client.maxPduSize, 0));
    };
    if (component == "RptEna") {
        if (value.toBool() && !b.enabled) {
            if (!b.dataSet)
                return DataAccessError::ObjectValueInvalid;
            reserve();
            b.enabled = true;
            b.pending.assign(b.members.size(), 0);
            b.bufferDeadline = 0;
            b.nextIntegrity = 0;
            if (b.intgPd > 0 && (b.trgOps & TRG_OPT_INTEGRITY)) {
                b.nextIntegrity = platform::timeMs() + b.intgPd;
                if (onDeadline_)
                    onDeadline_();
            }
        } else if (!value.toBool() && b.enabled) {
            b.enabled = false;
            if (!b.reserved)
                release(b);
        }
        return std::nullopt;
    }
    if (component == "Resv") {
        if (b.enabled && !value.toBool())
            return DataAccessError::TemporarilyUnavailable;
        // The owner of an enabled block keeps it past the next disable, as it asked.
        b.reserved = value.toBool();
        if (b.reserved)
            reserve();
        else
            release(b);
        return std::nullopt;
    }
    if (component == "GI") {
        if (value.toBool() && b.enabled) {
            sendPending(b);
            sendAll(b, TRG_OPT_GI);
        }
        return std::nullopt;
    }
    if (component == "ConfRev" || component == "SqNum" || component == "Owner")
        return DataAccessError::ObjectAccessDenied;
    if (b.enabled)
        return DataAccessError::TemporarilyUnavailable;
    if (component == "RptID") {
        b.rptId = std::string(value.string());
    } else if (component == "DatSet") {
        if (value.string() != b.datSet)
            return DataAccessError::ObjectValueInvalid;  // the data set of a block is fixed
    } else if (component == "OptFlds") {
        b.optFlds = static_cast<std::uint8_t>(optionsOf(value));
    } else if (component == "BufTm") {
        b.bufTm = static_cast<std::uint32_t>(value.toUint64());
    } else if (component == "TrgOps") {
        b.trgOps = static_cast<std::uint8_t>(optionsOf(value));
    } else if (component == "IntgPd") {
        b.intgPd = static_cast<std::uint32_t>(value.toUint64());
    } else {
        return DataAccessError::ObjectNonExistent;
    }
    return std::nullopt;
}

void Reporting::release(Block& b)
{
    b.enabled = false;
    b.reserved = false;
    b.owner.reset();
    b.ownerAddress = ownerValue({});
    b.ownerPeer.clear();
    b.ownerPduSize = 0;
    b.unsentRun = false;
    b.pending.assign(b.members.size(), 0);
    b.bufferDeadline = 0;
    b.nextIntegrity = 0;
}

void Reporting::connectionClosed(const server::ClientContext& client)
{
    for (auto& b : blocks_)
        if (b->owner == client.id)
            release(*b);
}

void Reporting::attributeUpdated(DataAttribute* attribute, Change what, bool)
{
    std::uint64_t now = 0;
    index_.forEachHit(attribute, [&](const MemberIndex::Hit& hit) {
        Block& b = *blocks_[hit.owner];
        const std::uint8_t reason = b.enabled ? MemberIndex::triggerReason(attribute, what, b.trgOps) : 0;
        if (reason == 0)
            return;
        if (now == 0)
            now = platform::timeMs();
        trigger(b, hit.member, reason, now);
    });
}

void Reporting::trigger(Block& b, std::size_t member, std::uint8_t reason, std::uint64_t nowMs)
{
    if (b.pending[member] != 0 && b.bufTm > 0)
        sendPending(b);  // a second event of one member starts a new report
    b.pending[member] |= reason;
    if (b.bufTm == 0) {
        sendPending(b);
        return;
    }
    if (b.bufferDeadline == 0) {
        b.bufferDeadline = nowMs + b.bufTm;
        if (onDeadline_)
            onDeadline_();
    }
}

int Reporting::tick(std::uint64_t nowMs)
{
    std::int64_t next = -1;
    auto consider = [&](std::uint64_t deadline) {
        if (deadline == 0)
            return;
        auto left = static_cast<std::int64_t>(deadline > nowMs ? deadline - nowMs : 0);
        if (next < 0 || left < next)
            next = left;
    };
    for (auto& p : blocks_) {
        Block& b = *p;
        if (!b.enabled)
            continue;
        if (b.bufferDeadline != 0 && nowMs >= b.bufferDeadline)
            sendPending(b);
        if (b.nextIntegrity != 0 && nowMs >= b.nextIntegrity) {
            sendPending(b);
            sendAll(b, TRG_OPT_INTEGRITY);
            b.nextIntegrity = std::max(b.nextIntegrity + b.intgPd, nowMs + 1);
        }
        consider(b.bufferDeadline);
        consider(b.nextIntegrity);
    }
    return static_cast<int>(std::min<std::int64_t>(next, 60000));
}

void Reporting::sendAll(Block& b, std::uint8_t reason)
{
    send(b, std::vector<std::uint8_t>(b.members.size(), reason));
}

void Reporting::sendPending(Block& b)
{
    b.bufferDeadline = 0;
    if (std::none_of(b.pending.begin(), b.pending.end(), [](std::uint8_t r) { return r != 0; }))
        return;
    std::vector<std::uint8_t> reasons(b.members.size(), 0);
    reasons.swap(b.pending);
    send(b, reasons);
}

// A report before it is cut into segments: the fields up to ConfRev and,
// per included member, its data reference, value and reason code (the
// first and last only when OptFlds selects them).
struct Reporting::Contents {
    std::vector<Value> header;
    std::vector<std::size_t> members;  // positions in the data set
    std::vector<Value> references, values, reasons;
    std::size_t memberCount = 0;       // of the data set
};

Reporting::Contents Reporting::compose(const Block& b, const std::vector<std::uint8_t>& reasons) const
{
    Contents c;
    c.memberCount = b.members.size();
    c.header.push_back(Value::visibleString(b.rptId));
    c.header.push_back(optFldsValue(b.optFlds));
    if (b.optFlds & RPT_OPT_SEQ_NUM)
        c.header.push_back(Value::unsignedInteger(b.sqNum));
    if (b.optFlds & RPT_OPT_TIME_STAMP)
        c.header.push_back(Value::binaryTimeMs(platform::wallTimeMs()));
    if (b.optFlds & RPT_OPT_DATA_SET)
        c.header.push_back(Value::visibleString(b.datSet));
    if (b.optFlds & RPT_OPT_BUFFER_OVERFLOW)
        c.header.push_back(Value::boolean(false));
    if (b.optFlds & RPT_OPT_ENTRY_ID) {
        std::array<std::uint8_t, 8> id{};
        c.header.push_back(Value::octetString(ByteView(id.data(), id.size())));
    }
    if (b.optFlds & RPT_OPT_CONF_REV)
        c.header.push_back(Value::unsignedInteger(b.confRev));
    const server::ClientContext reader{};
    for (std::size_t i = 0; i < reasons.size(); ++i) {
        if (!reasons[i])
            continue;
        const ResolvedMember& m = b.members[i];
        c.members.push_back(i);
        if (b.optFlds & RPT_OPT_DATA_REFERENCE)
            c.references.push_back(Value::visibleString(m.domain + "/" + m.item));
        c.values.push_back(mapping_.read(reader, m.domain, m.item));
        if (b.optFlds & RPT_OPT_REASON_FOR_INCLUSION)
            c.reasons.push_back(reasonCode(reasons[i]));
    }
    return c;
}

// The fields of the report with members [first, last) of the contents; a
// segment also carries SubSeqNum and MoreSegmentsFollow after ConfRev.
std::vector<Value> Reporting::fieldsOf(const Contents& c, std::size_t first, std::size_t last,
                                       std::optional<Segment> segment)
{
    std::vector<Value> fields = c.header;
    if (segment) {
        fields[1].setBit(kSegmentationBit, true);
        fields.push_back(Value::unsignedInteger(segment->subSeqNum));
        fields.push_back(Value::boolean(segment->moreFollows));
    }
    Value inclusion = Value::bitString(c.memberCount);
    for (std::size_t i = first; i < last; ++i)
        inclusion.setBit(c.members[i], true);
    fields.push_back(std::move(inclusion));
    for (const std::vector<Value>* part : {&c.references, &c.values, &c.reasons})
        if (!part->empty())
            fields.insert(fields.end(), part->begin() + static_cast<std::ptrdiff_t>(first),
                          part->begin() + static_cast<std::ptrdiff_t>(last));
    return fields;
}

bool Reporting::deliver(const Block& b, const std::vector<Value>& fields)
{
    return sink_ && sink_(*b.owner, reportAccess(), pointersTo(fields));
}

// Members in order, as many to a segment as fit the owner's PDU size.
// Counts the segments delivered; false when one could not be.
bool Reporting::deliverSegments(const Block& b, const Contents& c, std::size_t& delivered)
{
    const std::size_t limit = b.ownerPduSize;
    std::vector<std::size_t> cost(c.members.size(), 0);
    for (const std::vector<Value>* part : {&c.references, &c.values, &c.reasons})
        for (std::size_t i = 0; i < part->size(); ++i)
            cost[i] += encodedSize((*part)[i]);
    const std::size_t base = encodedSize(fieldsOf(c, 0, 0, Segment{0xffff, true})) + kLengthGrowth;
    for (std::size_t first = 0; first < c.members.size();) {
        std::size_t last = first;
        for (std::size_t total = base; last < c.members.size() && total + cost[last] <= limit; ++last)
            total += cost[last];
        std::vector<Value> fields;
        for (; last > first; --last) {  // the estimate is checked against the encoding
            fields = fieldsOf(c, first, last, Segment{static_cast<std::uint16_t>(delivered), last < c.members.size()});
            if (encodedSize(fields) <= limit)
                break;
        }
        if (last == first || !deliver(b, fields))
            return false;  // one member alone does not fit, or the owner takes no more
        ++delivered;
        first = last;
    }
    return true;
}

void Reporting::send(Block& b, const std::vector<std::uint8_t>& reasons)
{
    if (!b.owner || b.members.empty())
        return;
    const Contents c = compose(b, reasons);
    const std::vector<Value> whole = fieldsOf(c, 0, c.members.size(), std::nullopt);
    std::size_t delivered = 0;
    bool sent = false;
    if (b.ownerPduSize == 0 || encodedSize(whole) <= b.ownerPduSize) {
        sent = deliver(b, whole);
        delivered = sent ? 1 : 0;
    } else {
        sent = deliverSegments(b, c, delivered);
    }
    if (delivered > 0)  // one sequence number for all segments of a report
        b.sqNum = (b.sqNum + 1) & 0xff;
    account(b, sent);
}

// Every report that could not be sent (whole) is counted; the first of a
// run is told.
void Reporting::account(Block& b, bool sent)
{
    if (sent) {
        b.unsentRun = false;
        return;
    }
    ++unsentReports_;
    if (std::exchange(b.unsentRun, true))
        return;
    const LogicalNode& ln = *b.ln;
    platform::notice("Report not sent: " + std::string(mapping_.model().name ? mapping_.model().name : "") +
                     ln.parent->name + "/" + ln.name + "$RP$" + b.cb->name + " to " + b.ownerPeer + " (" +
                     std::to_string(unsentReports_ - 1) + " unsent before)");
}

}  // namespace iec61850::ied
