// The names a model serves as MMS variables, found without walking the tree:
// each logical node ("MMXU1"), each of its functional constraints
// ("MMXU1$MX") and every data object and attribute below one
// ("MMXU1$MX$TotW$mag$f"), in the domain of its device. Built once at
// start-up; it keeps a hash and a node per name, not the names: a hit is
// checked against the node's place in the tree.
#pragma once

#include "iec61850/ied/model.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace iec61850::ied {

// FNV-1a over the domain, a '/' and the name, fed part by part.
class NameHash {
public:
    NameHash& add(std::string_view text)
    {
        for (char c : text)
            value_ = (value_ ^ static_cast<std::uint8_t>(c)) * 16777619u;
        return *this;
    }
    std::uint32_t value() const { return value_; }

private:
    std::uint32_t value_ = 2166136261u;
};

class NameIndex {
public:
    struct Target {
        ModelNode* node;           // the logical node itself for "LN" and "LN$FC"
        FunctionalConstraint fc;   // NONE for "LN"
    };

    explicit NameIndex(const IedModel& model) : model_(model) {}

    // While building: a name with its hash (domain, '/', then the name).
    void add(const NameHash& name, ModelNode* node, FunctionalConstraint fc);
    // Done building; names added twice are found as the first.
    void seal();

    std::optional<Target> find(std::string_view domain, std::string_view item) const;
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::uint32_t hash;
        FunctionalConstraint fc;
        ModelNode* node;
    };

    bool names(const Entry& e, std::string_view domain, std::string_view item) const;

    const IedModel& model_;
    std::vector<Entry> entries_;  // by hash
};

}  // namespace iec61850::ied
