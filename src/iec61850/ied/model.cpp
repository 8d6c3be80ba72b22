#include "iec61850/ied/model.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr const char* kFcNames[] = {"ST", "MX", "SP", "SV", "CF", "DC", "SG", "SE", "SR", "OR", "BL", "EX", "CO", "RP", "LG", "BR"};

std::string_view nameOf(const ModelNode* n)
{
    return n->name ? std::string_view(n->name) : std::string_view();
}

// The next part of a path separated by '$' or '.'.
std::string_view nextPart(std::string_view& path)
{
    std::size_t end = path.find_first_of("$.");
    std::string_view part = path.substr(0, end);
    path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    return part;
}

ModelNode* childNamed(ModelNode* node, std::string_view name)
{
    for (ModelNode* c = node ? node->firstChild : nullptr; c; c = c->sibling)
        if (nameOf(c) == name)
            return c;
    return nullptr;
}

ModelNode* childNamedWithFc(ModelNode* node, std::string_view name, FunctionalConstraint fc)
{
    for (ModelNode* c = node ? node->firstChild : nullptr; c; c = c->sibling) {
        if (nameOf(c) != name)
            continue;
        if (c->modelType != DataAttributeModelType || static_cast<DataAttribute*>(c)->fc == fc)
            return c;
    }
    return nullptr;
}

template <class T>
void appendTo(T*& head, T* item)
{
    T** link = &head;
    while (*link)
        link = &(*link)->sibling;
    *link = item;
}

}  // namespace

const char* FunctionalConstraint_toString(FunctionalConstraint fc)
{
    auto i = static_cast<int>(fc);
    return i >= 0 && i < static_cast<int>(std::size(kFcNames)) ? kFcNames[i] : nullptr;
}

FunctionalConstraint FunctionalConstraint_fromString(const char* text)
{
    if (!text)
        return IEC61850_FC_NONE;
    for (std::size_t i = 0; i < std::size(kFcNames); ++i)
        if (std::strcmp(text, kFcNames[i]) == 0)
            return static_cast<FunctionalConstraint>(i);
    return IEC61850_FC_NONE;
}

LogicalDevice* IedModel_getDeviceByInst(IedModel* model, const char* ldInst)
{
    if (!model || !ldInst)
        return nullptr;
    for (LogicalDevice* d = model->firstChild; d; d = static_cast<LogicalDevice*>(d->sibling))
        if (nameOf(d) == ldInst)
            return d;
    return nullptr;
}

LogicalDevice* IedModel_getDeviceByIndex(IedModel* model, int index)
{
    if (!model || index < 0)
        return nullptr;
    LogicalDevice* d = model->firstChild;
    for (; d && index > 0; --index)
        d = static_cast<LogicalDevice*>(d->sibling);
    return d;
}

int IedModel_getLogicalDeviceCount(IedModel* model)
{
    int n = 0;
    for (LogicalDevice* d = model ? model->firstChild : nullptr; d; d = static_cast<LogicalDevice*>(d->sibling))
        ++n;
    return n;
}

LogicalNode* LogicalDevice_getLogicalNode(LogicalDevice* device, const char* lnName)
{
    return lnName ? static_cast<LogicalNode*>(childNamed(device, lnName)) : nullptr;
}

ModelNode* ModelNode_getChild(ModelNode* node, const char* name)
{
    return name ? childNamed(node, name) : nullptr;
}

ModelNode* ModelNode_getChildWithFc(ModelNode* node, const char* path, FunctionalConstraint fc)
{
    if (!path)
        return nullptr;
    std::string_view rest(path);
    while (node && !rest.empty()) {
        std::string_view part = nextPart(rest);
        node = rest.empty() ? childNamedWithFc(node, part, fc) : childNamed(node, part);
    }
    return node;
}

ModelNode* ModelNode_getByPath(ModelNode* node, const char* path)
{
    if (!path)
        return nullptr;
    std::string_view rest(path);
    while (node && !rest.empty())
        node = childNamed(node, nextPart(rest));
    return node;
}

int ModelNode_getChildCount(ModelNode* node)
{
    int n = 0;
    for (ModelNode* c = node ? node->firstChild : nullptr; c; c = c->sibling)
        ++n;
    return n;
}

ModelNode* IedModel_getModelNodeByObjectReference(IedModel* model, const char* objectReference)
{
    if (!model || !objectReference)
        return nullptr;
    std::string_view ref(objectReference);
    std::size_t slash = ref.find('/');
    if (slash == std::string_view::npos)
        return nullptr;
    std::string ld(ref.substr(0, slash));
    ModelNode* node = IedModel_getDeviceByInst(model, ld.c_str());
    std::string_view rest = ref.substr(slash + 1);
    while (node && !rest.empty())
        node = childNamed(node, nextPart(rest));
    return node;
}

DataSet* IedModel_lookupDataSet(IedModel* model, const char* ldInst, const char* name)
{
    if (!model || !ldInst || !name)
        return nullptr;
    for (DataSet* s = model->dataSets; s; s = s->sibling)
        if (std::strcmp(s->logicalDeviceName, ldInst) == 0 && std::strcmp(s->name, name) == 0)
            return s;
    return nullptr;
}

namespace iec61850::ied {

// Bump allocation in chunks; nothing is freed before the builder goes away.
struct ModelBuilder::Arena {
    static constexpr std::size_t kChunk = 16 * 1024;
    std::vector<std::unique_ptr<std::byte[]>> chunks;
    std::size_t used = kChunk;
    std::size_t total = 0;

    void* allocate(std::size_t size, std::size_t align)
    {
        used = (used + align - 1) & ~(align - 1);
        if (used + size > kChunk) {
            std::size_t n = std::max(size, kChunk);
            chunks.push_back(std::make_unique<std::byte[]>(n));
            total += n;
            used = 0;
        }
        void* p = chunks.back().get() + used;
        used += size;
        return p;
    }
};

ModelBuilder::ModelBuilder(std::string_view iedName) : arena_(std::make_unique<Arena>())
{
    model_ = make<IedModel>();
    model_->name = intern(iedName);
}

ModelBuilder::~ModelBuilder() = default;
ModelBuilder::ModelBuilder(ModelBuilder&&) noexcept = default;
ModelBuilder& ModelBuilder::operator=(ModelBuilder&&) noexcept = default;

template <class T>
T* ModelBuilder::make()
{
    static_assert(std::is_trivially_destructible_v<T>);
    return new (arena_->allocate(sizeof(T), alignof(T))) T{};
}

const char* ModelBuilder::intern(std::string_view text)
{
    auto* p = static_cast<char*>(arena_->allocate(text.size() + 1, 1));
    std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    return p;
}

template <class Node>
static Node* link(Node* node, ModelNodeType type, const char* name, ModelNode* parent)
{
    node->modelType = type;
    node->name = name;
    node->parent = parent;
    if (parent)
        appendTo(parent->firstChild, static_cast<ModelNode*>(node));
    return node;
}

LogicalDevice* ModelBuilder::device(std::string_view ldInst)
{
    auto* d = link(make<LogicalDevice>(), LogicalDeviceModelType, intern(ldInst), nullptr);
    if (!model_->firstChild) {
        model_->firstChild = d;
        return d;
    }
    ModelNode* last = model_->firstChild;
    while (last->sibling)
        last = last->sibling;
    last->sibling = d;
    return d;
}

LogicalNode* ModelBuilder::node(LogicalDevice* device, std::string_view lnName)
{
    return link(make<LogicalNode>(), LogicalNodeModelType, intern(lnName), device);
}

DataObject* ModelBuilder::object(ModelNode* parent, std::string_view name, int elementCount)
{
    auto* o = link(make<DataObject>(), DataObjectModelType, intern(name), parent);
    o->elementCount = elementCount;
    return o;
}

DataObject* ModelBuilder::object(ModelNode* parent, std::string_view name, std::span<const AttributeShape> shape)
{
    DataObject* o = object(parent, name);
    for (const AttributeShape& row : shape)
        attribute(o, row);
    return o;
}

DataAttribute* ModelBuilder::attribute(ModelNode* parent, std::string_view name, FunctionalConstraint fc,
                                       DataAttributeType type, std::uint8_t triggerOptions, int elementCount,
                                       std::uint32_t sAddr)
{
    auto* a = link(make<DataAttribute>(), DataAttributeModelType, intern(name), parent);
    a->fc = fc;
    a->type = type;
    a->triggerOptions = triggerOptions;
    a->elementCount = elementCount;
    a->sAddr = sAddr;
    return a;
}

DataAttribute* ModelBuilder::attribute(DataObject* object, const AttributeShape& row)
{
    ModelNode* parent = object;
    std::string_view rest(row.path ? row.path : "");
    for (;;) {
        std::string_view part = nextPart(rest);
        if (rest.empty())
            return attribute(parent, part, row.fc, row.type, row.triggerOptions, row.elementCount);
        ModelNode* next = childNamedWithFc(parent, part, row.fc);
        if (!next || next->modelType != DataAttributeModelType)
            next = attribute(parent, part, row.fc, IEC61850_CONSTRUCTED);
        parent = next;
    }
}

DataSet* ModelBuilder::dataSet(LogicalNode* node, std::string_view name)
{
    auto* s = make<DataSet>();
    s->logicalDeviceName = node->parent->name;
    s->name = intern(std::string(nameOf(node)) + "$" + std::string(name));
    appendTo(model_->dataSets, s);
    return s;
}

DataSetEntry* ModelBuilder::dataSetEntry(DataSet* set, std::string_view ldInst, std::string_view variableName,
                                         int index, std::string_view component)
{
    auto* e = make<DataSetEntry>();
    e->logicalDeviceName = intern(ldInst);
    e->variableName = intern(variableName);
    e->index = index;
    e->componentName = component.empty() ? nullptr : intern(component);
    appendTo(set->fcdas, e);
    ++set->elementCount;
    return e;
}

ReportControlBlock* ModelBuilder::reportControl(LogicalNode* node, std::string_view name, std::string_view rptId,
                                                bool buffered, std::string_view dataSetName, std::uint32_t confRef,
                                                std::uint8_t trgOps, std::uint8_t options,
                                                std::uint32_t bufferTime, std::uint32_t intPeriod)
{
    auto* r = make<ReportControlBlock>();
    r->parent = node;
    r->name = intern(name);
    r->rptId = intern(rptId);
    r->buffered = buffered;
    r->dataSetName = intern(dataSetName);
    r->confRef = confRef;
    r->trgOps = trgOps;
    r->options = options;
    r->bufferTime = bufferTime;
    r->intPeriod = intPeriod;
    appendTo(model_->rcbs, r);
    return r;
}

LogControlBlock* ModelBuilder::logControl(LogicalNode* node, std::string_view name, std::string_view dataSetName,
                                          std::string_view logRef, std::uint8_t trgOps, std::uint32_t intPeriod,
                                          bool logEna, bool reasonCode)
{
    auto* l = make<LogControlBlock>();
    l->parent = node;
    l->name = intern(name);
    l->dataSetName = intern(dataSetName);
    l->logRef = intern(logRef);
    l->trgOps = trgOps;
    l->intPeriod = intPeriod;
    l->logEna = logEna;
    l->reasonCode = reasonCode;
    appendTo(model_->lcbs, l);
    return l;
}

Log* ModelBuilder::log(LogicalNode* node, std::string_view name)
{
    auto* l = make<Log>();
    l->parent = node;
    l->name = intern(name);
    appendTo(model_->logs, l);
    return l;
}

void ModelBuilder::setInitializer(void (*initializer)(void))
{
    model_->initializer = initializer;
}

IedModel* ModelBuilder::model()
{
    return model_;
}

std::size_t ModelBuilder::arenaBytes() const
{
    return arena_ ? arena_->total : 0;
}

}  // namespace iec61850::ied
