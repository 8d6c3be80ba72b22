#include "iec61850/ied/name_index.hpp"

#include <algorithm>

namespace iec61850::ied {

namespace {

std::string_view nameOf(const ModelNode* n)
{
    return n->name ? std::string_view(n->name) : std::string_view();
}

// Takes "$part" off the end of `path`; false when it does not end so.
bool dropLastPart(std::string_view& path, std::string_view part)
{
    if (path.size() <= part.size() || !path.ends_with(part) || path[path.size() - part.size() - 1] != '$')
        return false;
    path.remove_suffix(part.size() + 1);
    return true;
}

}  // namespace

void NameIndex::add(const NameHash& name, ModelNode* node, FunctionalConstraint fc)
{
    entries_.push_back({name.value(), fc, node});
}

void NameIndex::seal()
{
    std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.hash < b.hash; });
    entries_.shrink_to_fit();
}

std::optional<NameIndex::Target> NameIndex::find(std::string_view domain, std::string_view item) const
{
    const std::uint32_t hash = NameHash().add(domain).add("/").add(item).value();
    auto it = std::lower_bound(entries_.begin(), entries_.end(), hash,
                               [](const Entry& e, std::uint32_t h) { return e.hash < h; });
    for (; it != entries_.end() && it->hash == hash; ++it)
        if (names(*it, domain, item))
            return Target{it->node, it->fc};
    return std::nullopt;
}

// Whether the entry's node, read from the tree, has this domain and name.
bool NameIndex::names(const Entry& e, std::string_view domain, std::string_view item) const
{
    const ModelNode* n = e.node;
    for (; n->modelType != LogicalNodeModelType; n = n->parent)
        if (!dropLastPart(item, nameOf(n)))
            return false;
    if (e.fc != IEC61850_FC_NONE && !dropLastPart(item, FunctionalConstraint_toString(e.fc)))
        return false;
    const std::string_view ied = model_.name ? model_.name : "";
    return item == nameOf(n) && domain.starts_with(ied) && domain.substr(ied.size()) == nameOf(n->parent);
}

}  // namespace iec61850::ied
