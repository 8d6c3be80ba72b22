// The process-wide context: debug flag, label, and the table of set-point
// listeners that schedule handling calls with the CLS number.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

using SetpointListener = std::function<void(std::int32_t cls)>;
using CallbackTable = std::unordered_map<std::string, SetpointListener>;

class ServerContext {
public:
    explicit ServerContext(std::string label);

    // Adds the listener under key, replacing one registered before.
    void registerCallback(const std::string& key, SetpointListener listener);

    const std::string& label() const { return label_; }

    bool debugMode = false;
    CallbackTable callbackTable;
    std::vector<std::int32_t> spare;  // kept for extensions; nothing fills it

private:
    std::string label_;
};
