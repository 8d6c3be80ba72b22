#include "box_model.hpp"
#include "value_store.hpp"
#include "value_text.hpp"

#include <tinyxml2.h>

#include <filesystem>
#include <iostream>
#include <string_view>

namespace persistence {

namespace {

using tinyxml2::XMLElement;

// The four names of one attribute entry.
struct EntryPath {
    const char* ld;
    const char* ln;
    const char* dataObject;
    const char* attribute;
};

std::ostream& operator<<(std::ostream& out, const EntryPath& path)
{
    return out << path.ld << '/' << path.ln << '.' << path.dataObject << '.' << path.attribute;
}

class ValueReader {
public:
    ValueReader(IedServer server, std::ostream& out, LoadResult& result) : server_(server), out_(out), result_(result)
    {
    }

    void read(const tinyxml2::XMLDocument& document)
    {
        const XMLElement* root = document.FirstChildElement();
        if (!root) {
            out_ << "root not found" << 5 << std::endl;
            return;
        }
        const XMLElement* firstDevice = root->FirstChildElement();
        if (!firstDevice) {
            out_ << "error LD " << 7 << std::endl;
            return;
        }
        for (const XMLElement* device = firstDevice; device; device = device->NextSiblingElement())
            readDevice(device);
    }

private:
    void readDevice(const XMLElement* device)
    {
        if (!device->FirstChildElement()) {
            out_ << "error LN " << 7 << std::endl;
            return;
        }
        for (const XMLElement* node = device->FirstChildElement(); node; node = node->NextSiblingElement())
            for (const XMLElement* object = node->FirstChildElement(); object; object = object->NextSiblingElement())
                for (const XMLElement* entry = object->FirstChildElement(); entry; entry = entry->NextSiblingElement())
                    readEntry({device->Name(), node->Name(), object->Name(), entry->Name()}, *entry);
    }

    void readEntry(const EntryPath& path, const XMLElement& entry)
    {
        const char* unit = entry.Attribute("unit");
        if (!unit)
            return;
        DataAttribute* attribute = box::findDataAttribute(path.ld, path.ln, path.dataObject, path.attribute);
        if (!attribute) {
            reject() << "load DA not found for: " << path << std::endl;
            return;
        }
        const std::optional<MmsType> type = typeOfUnit(unit);
        if (!type) {
            reject() << "#### unit not found: " << unit << std::endl;
            return;
        }
        if (*type == MMS_FLOAT && std::string_view(path.attribute) != "setMag")
            return;  // measured and set-point floats are saved, not restored
        DataAttribute* holder = entryHolder(server_, attribute);
        if (MmsValue_getType(IedServer_getAttributeValue(server_, holder)) != *type) {
            reject() << "load unit does not fit: " << path << ' ' << unit << std::endl;
            return;
        }
        const char* text = entry.Attribute("value");
        if (!text || !applyValueText(server_, holder, *type, text)) {
            reject() << "load value not valid for: " << path << " \"" << (text ? text : "") << '"' << std::endl;
            return;
        }
        ++result_.applied;
    }

    std::ostream& reject()
    {
        ++result_.rejected;
        return out_;
    }

    IedServer server_;
    std::ostream& out_;
    LoadResult& result_;
};

// About ten times what the whole model takes; anything larger is not a value file.
constexpr std::uintmax_t kMaxFileBytes = 8u << 20;

bool readDocument(const std::string& fileName, tinyxml2::XMLDocument& document)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(fileName, error);
    return !error && size <= kMaxFileBytes && document.LoadFile(fileName.c_str()) == tinyxml2::XML_SUCCESS;
}

}  // namespace

LoadResult load_all_IEC_values_from_XML(IedServer server, const std::string& fileName, StoreStreams streams)
{
    streams.out << "load_all_IEC_values_from_XML" << std::endl;
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (!server || !readDocument(fileName, document)) {
        streams.err << "Error: Could not load XML file:" << fileName << std::endl;
        return {};
    }
    LoadResult result{.fileRead = true};
    {
        DataModelLock lock(server);
        ValueReader(server, streams.out, result).read(document);
    }
    streams.out << "load_all_IEC_values_from_XML done" << std::endl;
    return result;
}

}  // namespace persistence
