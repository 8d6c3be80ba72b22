// A server on the box model with its start values, and a copy of every value
// in it to compare against.
#pragma once

#include "../box_test_support.hpp"
#include "child_process.hpp"
#include "value_store.hpp"

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace persistence::test {

using boxtest::attributeAt;
using iec61850::mms::Value;

// Each server is created afresh on the one model, so it starts with the start values.
class ModelServer {
public:
    ModelServer() : server_(IedServer_create(box::staticModel())) {}
    ~ModelServer() { IedServer_destroy(server_); }
    ModelServer(const ModelServer&) = delete;
    ModelServer& operator=(const ModelServer&) = delete;
    IedServer get() const { return server_; }

private:
    IedServer server_;
};

// Every attribute and component of the model by "LD/LN.DO.DA[.component]".
using Snapshot = std::map<std::string, Value>;

inline void collect(IedServer server, ModelNode* node, const std::string& path, Snapshot& into)
{
    for (ModelNode* child = node->firstChild; child; child = child->sibling) {
        const std::string childPath = path + (node->parent ? "." : "/") + child->name;
        if (child->modelType == DataAttributeModelType)
            if (const MmsValue* v = IedServer_getAttributeValue(server, static_cast<DataAttribute*>(child)))
                into.emplace(childPath, *v);
        collect(server, child, childPath, into);
    }
}

inline Snapshot snapshot(IedServer server)
{
    Snapshot all;
    for (ModelNode* device = box::staticModel()->firstChild; device; device = device->sibling)
        collect(server, device, device->name, all);
    return all;
}

// Paths whose values differ between two snapshots of the same model.
inline std::vector<std::string> differences(const Snapshot& a, const Snapshot& b)
{
    std::vector<std::string> paths;
    for (const auto& [path, value] : a)
        if (auto it = b.find(path); it == b.end() || !(it->second == value))
            paths.push_back(path);
    return paths;
}

inline void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// What one operation wrote to its two streams.
struct Captured {
    std::ostringstream out;
    std::ostringstream err;
    StoreStreams streams() { return {out, err}; }
};

}  // namespace persistence::test
