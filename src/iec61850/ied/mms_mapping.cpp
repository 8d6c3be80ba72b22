#include "iec61850/ied/mms_mapping.hpp"

#include "iec61850/ied/control.hpp"

#include <algorithm>
#include <string>

namespace iec61850::ied {

using mms::DataAccessError;
using mms::TypeDescription;
using mms::Value;

namespace {

// The order of the functional constraints inside a logical node.
constexpr FunctionalConstraint kFcOrder[] = {
    IEC61850_FC_MX, IEC61850_FC_ST, IEC61850_FC_CO, IEC61850_FC_CF, IEC61850_FC_DC, IEC61850_FC_SP, IEC61850_FC_SG,
    IEC61850_FC_RP, IEC61850_FC_LG, IEC61850_FC_BR, IEC61850_FC_SV, IEC61850_FC_SE, IEC61850_FC_EX, IEC61850_FC_SR, IEC61850_FC_OR, IEC61850_FC_BL,
};

std::string_view nameOf(const ModelNode* n)
{
    return n->name ? std::string_view(n->name) : std::string_view();
}

bool isAttribute(const ModelNode* n)
{
    return n->modelType == DataAttributeModelType;
}

const DataAttribute* asAttribute(const ModelNode* n)
{
    return static_cast<const DataAttribute*>(n);
}

bool hasFc(const ModelNode* n, FunctionalConstraint fc)
{
    if (isAttribute(n))
        return asAttribute(n)->fc == fc;
    for (const ModelNode* c = n->firstChild; c; c = c->sibling)
        if (hasFc(c, fc))
            return true;
    return false;
}

// The children of a node as seen under one functional constraint, in model order.
template <class F>
void forEachChild(const ModelNode* n, FunctionalConstraint fc, F&& f)
{
    bool all = isAttribute(n) || n->modelType == LogicalDeviceModelType;
    for (ModelNode* c = n->firstChild; c; c = c->sibling)
        if (all || hasFc(c, fc))
            f(c);
}

bool isArray(const ModelNode* n)
{
    return isAttribute(n) && asAttribute(n)->elementCount > 0;
}

// An attribute of a basic type that is itself a structure (PHYCOMADDR).
bool isStructuredBasic(const ModelNode* n)
{
    return isAttribute(n) && !n->firstChild && asAttribute(n)->type == IEC61850_PHYCOMADDR;
}

TypeDescription typeOfNode(const ModelNode* n, FunctionalConstraint fc)
{
    TypeDescription type;
    if (isAttribute(n) && !n->firstChild && asAttribute(n)->type != IEC61850_CONSTRUCTED) {
        type = basicTypeOf(asAttribute(n)->type);
    } else {
        std::vector<TypeDescription> components;
        forEachChild(n, fc, [&](const ModelNode* c) { components.push_back(typeOfNode(c, fc).named(c->name)); });
        type = TypeDescription::structure(std::move(components));
    }
    if (isArray(n))
        type = TypeDescription::array(static_cast<std::uint32_t>(asAttribute(n)->elementCount), std::move(type));
    return type;
}

Value valueOfNode(const ModelNode* n, FunctionalConstraint fc)
{
    if (isAttribute(n))
        return asAttribute(n)->mmsValue ? *asAttribute(n)->mmsValue : typeOfNode(n, fc).defaultValue();
    std::vector<Value> members;
    forEachChild(n, fc, [&](const ModelNode* c) { members.push_back(valueOfNode(c, fc)); });
    return Value::structure(std::move(members));
}

std::vector<FunctionalConstraint> modelFcsOf(const LogicalNode* ln)
{
    std::vector<FunctionalConstraint> fcs;
    for (FunctionalConstraint fc : kFcOrder)
        if (hasFc(ln, fc))
            fcs.push_back(fc);
    return fcs;
}

// The stored value of a component of a structured basic type; nullptr if none.
Value* componentValue(const ModelNode* n, std::string_view component)
{
    const auto* a = asAttribute(n);
    TypeDescription type = basicTypeOf(a->type);
    Value* v = a->mmsValue;
    while (v && !component.empty()) {
        std::size_t end = component.find('$');
        int i = type.componentIndex(component.substr(0, end));
        if (i < 0 || static_cast<std::size_t>(i) >= v->size())
            return nullptr;
        v = &(*v)[static_cast<std::size_t>(i)];
        TypeDescription next = type.components()[static_cast<std::size_t>(i)];
        type = std::move(next);
        component = end == std::string_view::npos ? std::string_view() : component.substr(end + 1);
    }
    return v;
}

// The value at a `$` path inside a value of the given type; nullptr if none.
const Value* valueAt(const Value& v, const TypeDescription& type, std::string_view path)
{
    const Value* at = &v;
    const TypeDescription* t = &type;
    while (at && !path.empty()) {
        std::size_t end = path.find('$');
        int i = t->kind() == TypeDescription::Kind::Structure ? t->componentIndex(path.substr(0, end)) : -1;
        if (i < 0 || static_cast<std::size_t>(i) >= at->size())
            return nullptr;
        at = &(*at)[static_cast<std::size_t>(i)];
        t = &t->components()[static_cast<std::size_t>(i)];
        path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    }
    return at;
}

TypeDescription typeOfTarget(const MmsMapping& m, const MmsMapping::Target& t)
{
    if (t.block) {
        TypeDescription whole = t.block->type(t.ln);
        if (t.component.empty())
            return whole;
        const TypeDescription* part = whole.find(t.component);
        return part ? *part : TypeDescription();
    }
    if (!t.component.empty())
        return *typeOfNode(t.node, t.fc).find(t.component);
    if (t.node != t.ln)
        return typeOfNode(t.node, t.fc);
    if (t.fc != IEC61850_FC_NONE)
        return typeOfNode(t.ln, t.fc);
    std::vector<TypeDescription> components;
    for (FunctionalConstraint fc : m.fcsOf(t.ln)) {
        BlockService* block = m.blockService(fc);
        components.push_back((block ? block->type(t.ln) : typeOfNode(t.ln, fc)).named(FunctionalConstraint_toString(fc)));
    }
    return TypeDescription::structure(std::move(components));
}

Value valueOfTarget(const MmsMapping& m, const server::ClientContext& client, const MmsMapping::Target& t)
{
    if (t.block) {
        Value whole = t.block->value(&client, t.ln);
        if (t.component.empty())
            return whole;
        const Value* part = valueAt(whole, t.block->type(t.ln), t.component);
        return part ? *part : Value::error(DataAccessError::ObjectNonExistent);
    }
    if (!t.component.empty()) {
        const Value* v = componentValue(t.node, t.component);
        return v ? *v : Value::error(DataAccessError::ObjectNonExistent);
    }
    if (t.node != t.ln || t.fc != IEC61850_FC_NONE)
        return valueOfNode(t.node, t.fc);
    std::vector<Value> members;
    for (FunctionalConstraint fc : m.fcsOf(t.ln)) {
        BlockService* block = m.blockService(fc);
        members.push_back(block ? block->value(&client, t.ln) : valueOfNode(t.ln, fc));
    }
    return Value::structure(std::move(members));
}

// valueOfNode() and valueOfTarget() written straight into w.
void encodeNode(const ModelNode* n, FunctionalConstraint fc, ber::Writer& w)
{
    if (isAttribute(n)) {
        if (const Value* v = asAttribute(n)->mmsValue)
            v->encode(w);
        else
            typeOfNode(n, fc).defaultValue().encode(w);
        return;
    }
    const auto members = mms::beginStructure(w);
    forEachChild(n, fc, [&](const ModelNode* c) { encodeNode(c, fc, w); });
    w.end(members);
}

void encodeTarget(const MmsMapping& m, const server::ClientContext& client, const MmsMapping::Target& t,
                  ber::Writer& w)
{
    if (t.block || !t.component.empty()) {
        valueOfTarget(m, client, t).encode(w);
    } else if (t.node != t.ln || t.fc != IEC61850_FC_NONE) {
        encodeNode(t.node, t.fc, w);
    } else {
        const auto members = mms::beginStructure(w);
        for (FunctionalConstraint fc : m.fcsOf(t.ln)) {
            if (BlockService* block = m.blockService(fc))
                block->value(&client, t.ln).encode(w);
            else
                encodeNode(t.ln, fc, w);
        }
        w.end(members);
    }
}

// Calls f(attribute, value) for every attribute a value of the node covers,
// the node first when it is one.
template <class F>
void forEachCovered(ModelNode* n, FunctionalConstraint fc, const Value& v, F&& f)
{
    if (isAttribute(n)) {
        f(static_cast<DataAttribute*>(n), v);
        if (isArray(n))
            return;
    }
    std::size_t i = 0;
    forEachChild(n, fc, [&](ModelNode* c) {
        if (i < v.size())
            forEachCovered(c, fc, v[i], f);
        ++i;
    });
}

template <class F>
void forEachCoveredByTarget(const MmsMapping::Target& t, const Value& v, F&& f)
{
    if (t.node != t.ln || t.fc != IEC61850_FC_NONE) {
        forEachCovered(t.node, t.fc, v, f);
        return;
    }
    std::size_t i = 0;
    for (FunctionalConstraint fc : modelFcsOf(t.ln))
        if (i < v.size())
            forEachCovered(t.ln, fc, v[i++], f);
}


// Same kinds all the way down, sizes aside.
bool sameKinds(const Value& v, const TypeDescription& t)
{
    using K = TypeDescription::Kind;
    using VK = Value::Kind;
    switch (t.kind()) {
    case K::Array:
    case K::Structure: {
        if (!v.is(t.kind() == K::Array ? VK::Array : VK::Structure))
            return false;
        if (t.kind() == K::Structure && v.size() != t.components().size())
            return false;
        for (std::size_t i = 0; i < v.size(); ++i)
            if (!sameKinds(v[i], t.kind() == K::Array ? t.elementType() : t.components()[i]))
                return false;
        return true;
    }
    case K::Boolean: return v.is(VK::Boolean);
    case K::BitString: return v.is(VK::BitString);
    case K::Integer: return v.is(VK::Integer);
    case K::Unsigned: return v.is(VK::Unsigned);
    case K::FloatingPoint: return v.is(VK::Float) && v.isDouble() == (t.formatWidth() == 64);
    case K::OctetString: return v.is(VK::OctetString);
    case K::VisibleString: return v.is(VK::VisibleString);
    case K::GeneralizedTime: return v.is(VK::GeneralizedTime);
    case K::BinaryTime: return v.is(VK::BinaryTime);
    case K::MmsString: return v.is(VK::MmsString);
    case K::UtcTime: return v.is(VK::UtcTime);
    }
    return false;
}

std::optional<DataAccessError> toWireError(MmsDataAccessError e)
{
    if (e == DATA_ACCESS_ERROR_SUCCESS)
        return std::nullopt;
    if (e < 0 || e > DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID)
        return DataAccessError::TemporarilyUnavailable;
    return static_cast<DataAccessError>(e);
}

bool isOperOf(const ModelNode* n, FunctionalConstraint fc)
{
    return fc == IEC61850_FC_CO && isAttribute(n) && nameOf(n) == "Oper" && n->parent &&
           n->parent->modelType == DataObjectModelType;
}

// Names of one level of the getNameList walk, sorted.
struct Entry {
    std::string_view name;
    ModelNode* node;
    FunctionalConstraint fc;  // NONE at the logical node level
    bool fcLevel;
    BlockService* block = nullptr;
};

std::vector<Entry> sortedChildren(const MmsMapping& m, const Entry& e)
{
    std::vector<Entry> out;
    if (e.node->modelType == LogicalNodeModelType && !e.fcLevel) {
        for (FunctionalConstraint fc : m.fcsOf(static_cast<LogicalNode*>(e.node)))
            out.push_back({FunctionalConstraint_toString(fc), e.node, fc, true, m.blockService(fc)});
    } else {
        forEachChild(e.node, e.fc, [&](ModelNode* c) { out.push_back({nameOf(c), c, e.fc, false}); });
    }
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return server::nameLess(a.name, b.name); });
    return out;
}

bool walkType(std::string& path, const TypeDescription& type, std::string_view after,
              const server::MmsDataModel::NameVisitor& visit);

// Visits the names below `path` in getNameList order, skipping whole subtrees
// that sort before `after`. False once the visitor stops.
bool walk(const MmsMapping& m, std::string& path, const std::vector<Entry>& level, std::string_view after,
          const server::MmsDataModel::NameVisitor& visit)
{
    for (const Entry& e : level) {
        const std::size_t mark = path.size();
        if (!path.empty())
            path += '$';
        path += e.name;
        const bool emit = after.empty() || server::nameLess(after, path);
        const bool inside = !emit && after.size() > path.size() && after.starts_with(path) && after[path.size()] == '$';
        bool go = true;
        if (emit)
            go = visit(path);
        if (go && (emit || inside || after == path) && !isArray(e.node)) {
            if (e.block)
                go = walkType(path, e.block->type(static_cast<LogicalNode*>(e.node)), after, visit);
            else if (isStructuredBasic(e.node))
                go = walkType(path, basicTypeOf(asAttribute(e.node)->type), after, visit);
            else
                go = walk(m, path, sortedChildren(m, e), after, visit);
        }
        path.resize(mark);
        if (!go)
            return false;
    }
    return true;
}

// The same walk over the components of a structured basic type.
bool walkType(std::string& path, const TypeDescription& type, std::string_view after,
              const server::MmsDataModel::NameVisitor& visit)
{
    std::vector<const TypeDescription*> sorted;
    for (const TypeDescription& c : type.components())
        sorted.push_back(&c);
    std::sort(sorted.begin(), sorted.end(),
              [](const TypeDescription* a, const TypeDescription* b) { return server::nameLess(a->name(), b->name()); });
    for (const TypeDescription* c : sorted) {
        const std::size_t mark = path.size();
        path += '$';
        path += c->name();
        const bool emit = after.empty() || server::nameLess(after, path);
        const bool inside = !emit && after.starts_with(path) && after.size() > path.size() && after[path.size()] == '$';
        bool go = !emit || visit(path);
        if (go && (emit || inside || after == path) && c->kind() == TypeDescription::Kind::Structure)
            go = walkType(path, *c, after, visit);
        path.resize(mark);
        if (!go)
            return false;
    }
    return true;
}

}  // namespace

TypeDescription basicTypeOf(DataAttributeType type)
{
    switch (type) {
    case IEC61850_BOOLEAN: return TypeDescription::boolean();
    case IEC61850_INT8: return TypeDescription::integer(8);
    case IEC61850_INT16: return TypeDescription::integer(16);
    case IEC61850_INT32: return TypeDescription::integer(32);
    case IEC61850_INT64: return TypeDescription::integer(64);
    case IEC61850_INT8U: return TypeDescription::unsignedInteger(8);
    case IEC61850_INT16U: return TypeDescription::unsignedInteger(16);
    case IEC61850_INT24U: return TypeDescription::unsignedInteger(24);
    case IEC61850_INT32U: return TypeDescription::unsignedInteger(32);
    case IEC61850_FLOAT32: return TypeDescription::float32();
    case IEC61850_FLOAT64: return TypeDescription::float64();
    case IEC61850_ENUMERATED: return TypeDescription::integer(8);
    case IEC61850_CODEDENUM: return TypeDescription::bitString(2);
    case IEC61850_OCTET_STRING_6: return TypeDescription::octetString(-6);
    case IEC61850_OCTET_STRING_8: return TypeDescription::octetString(-8);
    case IEC61850_OCTET_STRING_64: return TypeDescription::octetString(-64);
    case IEC61850_VISIBLE_STRING_32: return TypeDescription::visibleString(-32);
    case IEC61850_VISIBLE_STRING_64: return TypeDescription::visibleString(-64);
    case IEC61850_VISIBLE_STRING_65: return TypeDescription::visibleString(-65);
    case IEC61850_VISIBLE_STRING_129: return TypeDescription::visibleString(-129);
    case IEC61850_VISIBLE_STRING_255: return TypeDescription::visibleString(-255);
    case IEC61850_UNICODE_STRING_255: return TypeDescription::mmsString(-255);
    case IEC61850_TIMESTAMP: return TypeDescription::utcTime();
    case IEC61850_QUALITY: return TypeDescription::bitString(-13);
    case IEC61850_CHECK: return TypeDescription::bitString(-2);
    case IEC61850_GENERIC_BITSTRING: return TypeDescription::bitString(-32);
    case IEC61850_ENTRY_TIME: return TypeDescription::binaryTime(true);
    case IEC61850_PHYCOMADDR:
        return TypeDescription::structure({TypeDescription::octetString(6).named("Addr"),
                                    TypeDescription::unsignedInteger(8).named("PRIORITY"),
                                    TypeDescription::unsignedInteger(16).named("VID"),
                                    TypeDescription::unsignedInteger(16).named("APPID")});
    case IEC61850_CURRENCY: return TypeDescription::visibleString(3);
    case IEC61850_OPTFLDS: return TypeDescription::bitString(10);
    case IEC61850_TRGOPS: return TypeDescription::bitString(6);
    case IEC61850_CONSTRUCTED:
    case IEC61850_UNKNOWN_TYPE: break;
    }
    return TypeDescription::structure({});
}

void assignInPlace(Value& to, const Value& from)
{
    if (to.isConstructed() && from.isConstructed() && to.size() == from.size()) {
        for (std::size_t i = 0; i < to.size(); ++i)
            assignInPlace(to[i], from[i]);
        return;
    }
    to = from;
}

TypeDescription typeOfAttribute(const DataAttribute& attribute)
{
    return typeOfNode(&attribute, attribute.fc);
}

namespace {

void linkComponents(DataAttribute* a)
{
    if (isArray(a) || !a->mmsValue || !a->mmsValue->is(Value::Kind::Structure))
        return;
    std::size_t i = 0;
    for (ModelNode* c = a->firstChild; c && i < a->mmsValue->size(); c = c->sibling, ++i) {
        auto* component = static_cast<DataAttribute*>(c);
        component->mmsValue = &(*a->mmsValue)[i];
        linkComponents(component);
    }
}

// Calls f for every attribute directly below a data object.
template <class F>
void forEachTopAttribute(ModelNode* n, F&& f)
{
    for (ModelNode* c = n->firstChild; c; c = c->sibling) {
        if (isAttribute(c))
            f(static_cast<DataAttribute*>(c));
        else
            forEachTopAttribute(c, f);
    }
}

template <class F>
void forEachTopAttribute(IedModel& model, F&& f)
{
    for (ModelNode* d = model.firstChild; d; d = d->sibling)
        forEachTopAttribute(d, f);
}

}  // namespace

MmsMapping::MmsMapping(IedModel& model) : model_(model), names_(model)
{
    for (FunctionalConstraint fc : {IEC61850_FC_SP, IEC61850_FC_SV, IEC61850_FC_SE})
        writable_[fc] = true;
    forEachTopAttribute(model_, [](DataAttribute* a) {
        a->mmsValue = new Value(typeOfNode(a, a->fc).defaultValue());
        linkComponents(a);
    });
    indexNames();
}

namespace {

// Names below a node under one FC, as resolve() finds them: not inside
// arrays, and not the components of structured basic types.
void indexChildren(NameIndex& index, const NameHash& parent, ModelNode* n, FunctionalConstraint fc)
{
    if (isArray(n) || isStructuredBasic(n))
        return;
    forEachChild(n, fc, [&](ModelNode* c) {
        NameHash name = parent;
        name.add("$").add(nameOf(c));
        index.add(name, c, fc);
        indexChildren(index, name, c, fc);
    });
}

}  // namespace

void MmsMapping::indexNames()
{
    for (ModelNode* d = model_.firstChild; d; d = d->sibling) {
        NameHash domain;
        domain.add(domainOf(*static_cast<LogicalDevice*>(d))).add("/");
        for (ModelNode* ln = d->firstChild; ln; ln = ln->sibling) {
            NameHash lnName = domain;
            lnName.add(nameOf(ln));
            names_.add(lnName, ln, IEC61850_FC_NONE);
            for (FunctionalConstraint fc : modelFcsOf(static_cast<LogicalNode*>(ln))) {
                NameHash fcName = lnName;
                fcName.add("$").add(FunctionalConstraint_toString(fc));
                names_.add(fcName, ln, fc);
                indexChildren(names_, fcName, ln, fc);
            }
        }
    }
    names_.seal();
}

MmsMapping::~MmsMapping()
{
    forEachTopAttribute(model_, [](DataAttribute* a) {
        delete a->mmsValue;
        a->mmsValue = nullptr;
    });
}

void MmsMapping::setWritePolicy(FunctionalConstraint fc, AccessPolicy policy)
{
    if (fc == IEC61850_FC_CF || fc == IEC61850_FC_DC)
        writable_[fc] = policy == ACCESS_POLICY_ALLOW;
}

void MmsMapping::setWriteHandler(DataAttribute* attribute, WriteAccessHandler handler, void* parameter)
{
    if (!handler)
        handlers_.erase(attribute);
    else
        handlers_[attribute] = {handler, parameter};
}

BlockService* MmsMapping::blockService(FunctionalConstraint fc) const
{
    for (BlockService* b : blocks_)
        if (b->fc() == fc)
            return b;
    return nullptr;
}

std::vector<FunctionalConstraint> MmsMapping::fcsOf(const LogicalNode* ln) const
{
    std::vector<FunctionalConstraint> fcs;
    for (FunctionalConstraint fc : kFcOrder) {
        BlockService* block = blockService(fc);
        if (block ? block->has(ln) : hasFc(ln, fc))
            fcs.push_back(fc);
    }
    return fcs;
}

std::string MmsMapping::domainOf(const LogicalDevice& d) const
{
    return std::string(model_.name ? model_.name : "") + std::string(nameOf(&d));
}

void MmsMapping::notify(DataAttribute* attribute, Change what, bool changed)
{
    for (UpdateListener* l : internalListeners_)
        l->attributeUpdated(attribute, changed ? what : Change::Update, changed);
    if (listener_)
        listener_->attributeUpdated(attribute, changed ? what : Change::Update, changed);
}

LogicalDevice* MmsMapping::device(std::string_view domain) const
{
    std::string_view ied(model_.name ? model_.name : "");
    if (!domain.starts_with(ied))
        return nullptr;
    std::string_view inst = domain.substr(ied.size());
    for (ModelNode* d = model_.firstChild; d; d = d->sibling)
        if (nameOf(d) == inst)
            return static_cast<LogicalDevice*>(d);
    return nullptr;
}

std::optional<MmsMapping::Target> MmsMapping::resolve(std::string_view domain, std::string_view item) const
{
    std::optional<NameIndex::Target> hit = names_.find(domain, item);
    if (!hit || blockService(hit->fc))
        return resolveOutsideIndex(domain, item);
    ModelNode* ln = hit->node;
    while (ln->modelType != LogicalNodeModelType)
        ln = ln->parent;
    return Target{static_cast<LogicalNode*>(ln), hit->fc, hit->node, {}, nullptr};
}

std::optional<MmsMapping::Target> MmsMapping::resolveOutsideIndex(std::string_view domain, std::string_view item) const
{
    const std::size_t lnEnd = item.find('$');
    const std::size_t fcEnd = lnEnd == item.npos ? item.npos : item.find('$', lnEnd + 1);
    std::optional<NameIndex::Target> ln = names_.find(domain, item.substr(0, lnEnd));
    if (!ln || ln->fc != IEC61850_FC_NONE || lnEnd == item.npos)
        return std::nullopt;
    Target t{static_cast<LogicalNode*>(ln->node), IEC61850_FC_NONE, ln->node, {}, nullptr};
    t.fc = FunctionalConstraint_fromString(std::string(item.substr(lnEnd + 1, fcEnd - lnEnd - 1)).c_str());
    if (BlockService* block = blockService(t.fc)) {
        t.component = fcEnd == item.npos ? std::string_view() : item.substr(fcEnd + 1);
        if (!block->has(t.ln) || (!t.component.empty() && !block->type(t.ln).find(t.component)))
            return std::nullopt;
        t.block = block;
        return t;
    }
    // A component of a structured basic type: the attribute is the longest
    // indexed name in front of it.
    for (std::size_t cut = item.rfind('$'); cut != item.npos && cut > fcEnd; cut = item.rfind('$', cut - 1)) {
        std::optional<NameIndex::Target> a = names_.find(domain, item.substr(0, cut));
        if (!a)
            continue;
        t.component = item.substr(cut + 1);
        if (!isStructuredBasic(a->node) || isArray(a->node) || !basicTypeOf(asAttribute(a->node)->type).find(t.component))
            return std::nullopt;
        t.node = a->node;
        return t;
    }
    return std::nullopt;
}

void MmsMapping::visitDomains(std::string_view after, const NameVisitor& visit) const
{
    std::vector<std::string> names;
    for (ModelNode* d = model_.firstChild; d; d = d->sibling)
        names.push_back(domainOf(*static_cast<LogicalDevice*>(d)));
    std::sort(names.begin(), names.end(), server::nameLess);
    for (const std::string& n : names)
        if ((after.empty() || server::nameLess(after, n)) && !visit(n))
            return;
}

bool MmsMapping::visitNames(std::string_view domain, server::NameClass cls, std::string_view after,
                            const NameVisitor& visit) const
{
    LogicalDevice* ld = device(domain);
    if (!ld)
        return false;
    std::vector<std::string> names;
    switch (cls) {
    case server::NameClass::NamedVariable: {
        std::string path;
        walk(*this, path, sortedChildren(*this, {{}, ld, IEC61850_FC_NONE, false}), after, visit);
        return true;
    }
    case server::NameClass::NamedVariableList:
        for (DataSet* s = model_.dataSets; s; s = s->sibling)
            if (s->logicalDeviceName && nameOf(ld) == s->logicalDeviceName)
                names.emplace_back(s->name);
        break;
    case server::NameClass::Journal:
        for (Log* l = model_.logs; l; l = l->sibling)
            if (l->parent && l->parent->parent == ld)
                names.push_back(std::string(nameOf(l->parent)) + "$" + l->name);
        break;
    }
    std::sort(names.begin(), names.end(), server::nameLess);
    for (const std::string& n : names)
        if ((after.empty() || server::nameLess(after, n)) && !visit(n))
            break;
    return true;
}

const TypeDescription* MmsMapping::typeOf(std::string_view domain, std::string_view item) const
{
    std::optional<Target> t = resolve(domain, item);
    if (!t)
        return nullptr;
    lastType_ = typeOfTarget(*this, *t);
    return &lastType_;
}

Value MmsMapping::read(const server::ClientContext& client, std::string_view domain, std::string_view item)
{
    std::optional<Target> t = resolve(domain, item);
    if (!t)
        return Value::error(DataAccessError::ObjectNonExistent);
    return valueOfTarget(*this, client, *t);
}

void MmsMapping::encodeRead(const server::ClientContext& client, std::string_view domain, std::string_view item,
                            ber::Writer& w)
{
    std::optional<Target> t = resolve(domain, item);
    if (!t)
        Value::error(DataAccessError::ObjectNonExistent).encode(w);
    else
        encodeTarget(*this, client, *t, w);
}

std::optional<DataAccessError> MmsMapping::checkAccess(const Target& t) const
{
    auto allowed = [this](FunctionalConstraint fc) {
        return fc >= 0 && static_cast<std::size_t>(fc) < writable_.size() && writable_[fc];
    };
    if (t.fc == IEC61850_FC_NONE) {
        for (FunctionalConstraint fc : fcsOf(t.ln))
            if (!allowed(fc))
                return DataAccessError::ObjectAccessDenied;
        return std::nullopt;
    }
    if (t.fc == IEC61850_FC_CO && isOperOf(t.node, t.fc))
        return std::nullopt;
    return allowed(t.fc) ? std::nullopt : std::optional(DataAccessError::ObjectAccessDenied);
}

std::optional<DataAccessError> MmsMapping::askHandlers(const Target& t, Value& written,
                                                       const server::ClientContext& client)
{
    auto ask = [&](DataAttribute* a, Value& v) -> std::optional<DataAccessError> {
        auto it = handlers_.find(a);
        if (it == handlers_.end())
            return std::nullopt;
        return toWireError(it->second.handler(a, &v, &client, it->second.parameter));
    };
    for (ModelNode* n = t.node ? t.node->parent : nullptr; n && isAttribute(n); n = n->parent)
        if (auto e = ask(static_cast<DataAttribute*>(n), written))
            return e;
    std::optional<DataAccessError> refused;
    forEachCoveredByTarget(t, written, [&](DataAttribute* a, const Value& v) {
        if (!refused)
            refused = ask(a, const_cast<Value&>(v));
    });
    return refused;
}

void MmsMapping::store(const Target& t, const Value& written)
{
    struct Seen {
        DataAttribute* attribute;
        bool changed;
    };
    if (!t.component.empty()) {
        Value* v = componentValue(t.node, t.component);
        const bool changed = v && !(*v == written);
        if (v)
            assignInPlace(*v, written);
        notify(static_cast<DataAttribute*>(t.node), Change::Value, changed);
        return;
    }
    std::vector<Seen> seen;
    forEachCoveredByTarget(t, written, [&](DataAttribute* a, const Value& v) {
        seen.push_back({a, !a->mmsValue || !(*a->mmsValue == v)});
    });
    forEachCoveredByTarget(t, written, [](DataAttribute* a, const Value& v) {
        if (a->mmsValue && (!a->parent || !isAttribute(a->parent)))
            assignInPlace(*a->mmsValue, v);
    });
    if (t.node && isAttribute(t.node) && t.node->parent && isAttribute(t.node->parent))
        assignInPlace(*static_cast<DataAttribute*>(t.node)->mmsValue, written);
    for (const Seen& s : seen)
        notify(s.attribute, s.attribute->type == IEC61850_QUALITY ? Change::Quality : Change::Value, s.changed);
}

std::optional<DataAccessError> MmsMapping::write(const server::ClientContext& client, std::string_view domain,
                                                 std::string_view item, const Value& value)
{
    std::optional<Target> t = resolve(domain, item);
    if (!t)
        return DataAccessError::ObjectNonExistent;
    if (t->block) {
        const TypeDescription type = typeOfTarget(*this, *t);
        if (!mms::conforms(value, type))
            return sameKinds(value, type) ? DataAccessError::ObjectValueInvalid : DataAccessError::TypeInconsistent;
        return t->block->write(client, t->ln, t->component, value);
    }
    if (auto denied = checkAccess(*t))
        return denied;
    // The control decides first how a wrong Oper is answered.
    if (isOperOf(t->node, t->fc)) {
        MmsDataAccessError e = checkOperate(*static_cast<const DataObject*>(t->node->parent), value);
        if (auto refused = toWireError(e))
            return refused;
    }
    const TypeDescription type = typeOfTarget(*this, *t);
    if (!mms::conforms(value, type))
        return sameKinds(value, type) ? DataAccessError::ObjectValueInvalid : DataAccessError::TypeInconsistent;
    Value written = value;
    if (auto refused = askHandlers(*t, written, client))
        return refused;
    if (!mms::conforms(written, type))
        return DataAccessError::ObjectValueInvalid;
    store(*t, written);
    return std::nullopt;
}

bool MmsMapping::variableListMembers(std::string_view domain, std::string_view name,
                                     std::vector<mms::ObjectName>& members) const
{
    LogicalDevice* ld = device(domain);
    if (!ld)
        return false;
    for (DataSet* s = model_.dataSets; s; s = s->sibling) {
        if (!s->logicalDeviceName || nameOf(ld) != s->logicalDeviceName || name != s->name)
            continue;
        members.clear();
        for (DataSetEntry* e = s->fcdas; e; e = e->sibling) {
            std::string entryDomain = std::string(model_.name ? model_.name : "") + e->logicalDeviceName;
            members.push_back(mms::ObjectName::inDomain(std::move(entryDomain), std::string(e->variableName)));
        }
        return true;
    }
    return false;
}

void MmsMapping::connectionOpened(server::ClientContext& client)
{
    if (connectionHandler_)
        connectionHandler_(client, true);
}

void MmsMapping::connectionClosed(const server::ClientContext& client)
{
    for (BlockService* b : blocks_)
        b->connectionClosed(client);
    if (connectionHandler_)
        connectionHandler_(client, false);
}

}  // namespace iec61850::ied
