#include "settings_store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <syslog.h>
#include <unistd.h>

namespace persistence {

namespace {

using iec61850::Bytes;
using iec61850::ByteView;
using iec61850::mms::Value;

constexpr const char* kHeader = "IecServer settings 1";
constexpr std::uintmax_t kLargestFile = 4u << 20;

bool isSetting(const DataAttribute& attribute)
{
    return attribute.fc == IEC61850_FC_SP || attribute.fc == IEC61850_FC_CF;
}

// Attributes right below a data object hold their value whole (components
// point into it): those are what the store keeps.
template <class Visit>
void forEachTopAttribute(ModelNode* node, const Visit& visit)
{
    for (ModelNode* child = node ? node->firstChild : nullptr; child; child = child->sibling) {
        if (child->modelType == DataAttributeModelType) {
            if (node->modelType == DataObjectModelType)
                visit(static_cast<DataAttribute*>(child));
        } else {
            forEachTopAttribute(child, visit);
        }
    }
}

std::uint32_t crc32(std::string_view text)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : text) {
        crc ^= c;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string toHex(ByteView bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

std::optional<Bytes> fromHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (char c : text.substr(i, 2)) {
            const char* digit = std::strchr("0123456789abcdef", c);
            if (!digit || c == '\0')
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit - "0123456789abcdef");
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

// The entries of a file that is whole: header, entries, and the end line
// whose count and CRC match what stands above it. Empty with why otherwise.
struct Parsed {
    std::vector<std::pair<std::string, std::string>> entries;  // reference, hex
    std::string damage;
};

Parsed parse(const std::string& text)
{
    Parsed p;
    const std::size_t endLine = text.rfind("\nend ");
    if (text.rfind(std::string(kHeader) + "\n", 0) != 0 || endLine == std::string::npos || text.back() != '\n') {
        p.damage = "incomplete";
        return p;
    }
    const std::string_view body(text.data(), endLine + 1);
    unsigned long count = 0;
    unsigned long crc = 0;
    char extra = 0;
    if (std::sscanf(text.c_str() + endLine + 1, "end %lu %lx%c", &count, &crc, &extra) != 3 || extra != '\n' ||
        text.find('\n', endLine + 1) != text.size() - 1) {
        p.damage = "no valid end line";
        return p;
    }
    if (crc32(body) != crc) {
        p.damage = "checksum mismatch";
        return p;
    }
    std::istringstream lines{std::string(body.substr(std::strlen(kHeader) + 1))};
    std::string reference;
    std::string hex;
    while (lines >> reference >> hex)
        p.entries.emplace_back(reference, hex);
    if (p.entries.size() != count) {
        p.entries.clear();
        p.damage = "entry count mismatch";
    }
    return p;
}

bool syncDirectory(const std::string& path)
{
    const std::string directory = std::filesystem::path(path).parent_path().string();
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string objectReference(const ModelNode* node)
{
    std::string reference;
    for (; node; node = node->parent) {
        const bool device = node->parent == nullptr;
        reference.insert(0, std::string(node->name) + (reference.empty() ? "" : device ? "/" : "."));
    }
    return reference;
}

SettingsStore::SettingsStore(IedServer server, IedModel* model, std::string path)
    : server_(server), model_(model), path_(std::move(path))
{
    DataModelLock lock(server_);
    for (ModelNode* device = model_ ? model_->firstChild : nullptr; device; device = device->sibling)
        forEachTopAttribute(device, [&](DataAttribute* attribute) {
            const MmsValue* value = IedServer_getAttributeValue(server_, attribute);
            if (!isSetting(*attribute) || !value)
                return;
            const Bytes encoded = value->encode();
            settings_.push_back({attribute, static_cast<std::uint32_t>(startValues_.size()),
                                 static_cast<std::uint32_t>(encoded.size())});
            startValues_.insert(startValues_.end(), encoded.begin(), encoded.end());
        });
}

SettingsStore::~SettingsStore()
{
    if (watching_)
        iec61850::ied::setUpdateListener(server_, nullptr);
}

void SettingsStore::report(const std::string& line) const
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    syslog(LOG_NOTICE, "%s", line.c_str());
}

const SettingsStore::Setting* SettingsStore::settingAt(std::string_view reference) const
{
    ModelNode* node = IedModel_getModelNodeByObjectReference(model_, std::string(reference).c_str());
    auto it = std::find_if(settings_.begin(), settings_.end(),
                           [node](const Setting& s) { return s.attribute == node; });
    return node && it != settings_.end() ? &*it : nullptr;
}

SettingsStore::Loaded SettingsStore::load()
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path_, error);
    if (error) {
        report("Settings: no " + path_ + ", start values in use");
        return Loaded::Missing;
    }
    std::string text;
    if (size <= kLargestFile) {
        std::ifstream file(path_, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(file), {});
    }
    Parsed parsed = size > kLargestFile ? Parsed{{}, "too large"} : parse(text);
    if (!parsed.damage.empty()) {
        std::filesystem::rename(path_, path_ + ".damaged", error);
        report("Settings: " + path_ + " is damaged (" + parsed.damage + "), kept as " + path_ +
               ".damaged; start values in use");
        return Loaded::Damaged;
    }
    int applied = 0;
    {
        DataModelLock lock(server_);
        for (const auto& [reference, hex] : parsed.entries) {
            const Setting* setting = settingAt(reference);
            const auto bytes = fromHex(hex);
            Value value;
            if (!setting || !bytes || Value::decodeData(ByteView(*bytes), value) != iec61850::mms::Status::Ok)
                continue;
            // A value that does not fit the attribute (the model changed) is left out.
            IedServer_updateAttributeValue(server_, setting->attribute, &value);
            applied += *IedServer_getAttributeValue(server_, setting->attribute) == value ? 1 : 0;
        }
    }
    const int skipped = static_cast<int>(parsed.entries.size()) - applied;
    report("Settings: " + std::to_string(applied) + " restored from " + path_ +
           (skipped > 0 ? ", " + std::to_string(skipped) + " not applicable to this model" : ""));
    return Loaded::Restored;
}

void SettingsStore::watch(std::function<void()> onChange)
{
    onChange_ = std::move(onChange);
    watching_ = true;
    iec61850::ied::setUpdateListener(server_, this);
}

void SettingsStore::attributeUpdated(DataAttribute* attribute, iec61850::ied::Change, bool changed)
{
    if (!changed || !attribute || !isSetting(*attribute))
        return;
    changed_ = true;
    if (onChange_)
        onChange_();
}

bool SettingsStore::startValueHeld(const Setting& setting, const Bytes& encoded) const
{
    return encoded.size() == setting.startLength &&
           std::equal(encoded.begin(), encoded.end(), startValues_.begin() + setting.startOffset);
}

bool SettingsStore::holdsStartValues(std::string_view ld, std::string_view ln) const
{
    const std::string prefix = std::string(ld) + "/" + std::string(ln) + ".";
    DataModelLock lock(server_);
    for (const Setting& setting : settings_) {
        if (objectReference(setting.attribute).rfind(prefix, 0) != 0)
            continue;
        if (!startValueHeld(setting, IedServer_getAttributeValue(server_, setting.attribute)->encode()))
            return false;
    }
    return true;
}

std::string SettingsStore::changedSettingsText() const
{
    std::string text = std::string(kHeader) + "\n";
    std::size_t count = 0;
    DataModelLock lock(server_);
    for (const Setting& setting : settings_) {
        const Bytes encoded = IedServer_getAttributeValue(server_, setting.attribute)->encode();
        if (startValueHeld(setting, encoded))
            continue;
        text += objectReference(setting.attribute) + " " + toHex(encoded) + "\n";
        ++count;
    }
    char end[48];
    std::snprintf(end, sizeof end, "end %zu %08lx\n", count, static_cast<unsigned long>(crc32(text)));
    return text + end;
}

bool SettingsStore::saveIfChanged()
{
    if (!changed_.exchange(false))
        return true;
    if (writeFile(changedSettingsText())) {
        failing_ = false;
        return true;
    }
    const bool firstFailure = !failing_;
    failing_ = true;
    changed_ = true;
    if (firstFailure)
        report("Settings: saving " + path_ + " failed: " + std::strerror(errno));
    return false;
}

bool SettingsStore::writeFile(const std::string& text)
{
    const std::string temporary = path_ + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written) {
        errno = savedErrno;
        return false;
    }
    if (saveHook_)
        saveHook_(SaveStep::TemporaryWritten);
    if (::rename(temporary.c_str(), path_.c_str()) != 0)
        return false;
    if (saveHook_)
        saveHook_(SaveStep::Renamed);
    return syncDirectory(path_);
}

}  // namespace persistence
