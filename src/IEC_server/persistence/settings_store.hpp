// What clients configure survives restarts and power cuts: every attribute
// with FC SP or CF that differs from its start value is kept in a small
// file, one line per attribute (object reference and the value's MMS Data
// encoding in hex), closed by a line with the count and a CRC-32. A save
// goes through a temporary file, fsync, rename and an fsync of the directory,
// so a power cut leaves the old file or the new one, never a mix.
#pragma once

#include "iec61850/ied/iec61850_server.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace persistence {

inline constexpr const char* kSettingsFileName = "IecServer_settings.txt";

class SettingsStore : public iec61850::ied::UpdateListener {
public:
    // Takes the server's values of the model as they stand as the start values.
    SettingsStore(IedServer server, IedModel* model, std::string path);
    ~SettingsStore() override;
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    enum class Loaded { Restored, Missing, Damaged };
    // Applies the file; a missing or damaged one applies nothing. Reports in
    // one line on standard output and syslog.
    Loaded load();

    // From now on every changed setting marks the store for the next save;
    // onChange is called then (under the data-model lock: keep it short).
    void watch(std::function<void()> onChange);
    bool changed() const { return changed_; }
    // Writes the file when a setting changed since the last save. False when
    // it could not be written (reported once per run of failures; tried again
    // at the next save).
    bool saveIfChanged();

    // True when none of the node's settings differs from its start value.
    bool holdsStartValues(std::string_view ld, std::string_view ln) const;

    // Lets tests stop a save between its steps, as a power cut would.
    enum class SaveStep { TemporaryWritten, Renamed };
    void setSaveHook(std::function<void(SaveStep)> hook) { saveHook_ = std::move(hook); }

    void attributeUpdated(DataAttribute* attribute, iec61850::ied::Change what, bool changed) override;

private:
    struct Setting {
        DataAttribute* attribute;
        std::uint32_t startOffset;  // into startValues_
        std::uint32_t startLength;
    };

    std::string changedSettingsText() const;
    bool startValueHeld(const Setting& setting, const iec61850::Bytes& encoded) const;
    bool writeFile(const std::string& text);
    const Setting* settingAt(std::string_view reference) const;
    void report(const std::string& line) const;

    IedServer server_;
    IedModel* model_;
    std::string path_;
    std::vector<Setting> settings_;
    iec61850::Bytes startValues_;
    std::function<void()> onChange_;
    std::function<void(SaveStep)> saveHook_;
    std::atomic<bool> changed_{false};
    bool watching_ = false;
    bool failing_ = false;
};

// The object reference of an attribute: "CLS1/EmpSPrg_FSCH020001.SchdIntv.setVal".
std::string objectReference(const ModelNode* node);

}  // namespace persistence
