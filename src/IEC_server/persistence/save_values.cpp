#include "box_model.hpp"
#include "value_store.hpp"
#include "value_text.hpp"

#include <tinyxml2.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace persistence {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Streams the model's tree as the value file: device, node, data object and
// attribute elements in model order.
class ValueWriter {
public:
    ValueWriter(std::FILE* file, IedServer server, std::ostream& out) : printer_(file), server_(server), out_(out) {}

    void write(IedModel* model)
    {
        printer_.PushDeclaration("xml version=\"1.0\" encoding=\"UTF-8\"");
        printer_.OpenElement("Root");
        for (ModelNode* device = IedModel_getDeviceByIndex(model, 0); device; device = device->sibling)
            writeBranch(device, 2);
        printer_.CloseElement();
    }

private:
    // depth: levels below this node that are written (2 for a device: nodes, objects).
    void writeBranch(ModelNode* node, int depth)
    {
        printer_.OpenElement(node->name);
        for (ModelNode* child = node->firstChild; child; child = child->sibling) {
            if (depth > 0)
                writeBranch(child, depth - 1);
            else if (child->modelType == DataAttributeModelType)
                writeAttribute(static_cast<DataAttribute*>(child));
        }
        printer_.CloseElement();
    }

    void writeAttribute(DataAttribute* attribute)
    {
        printer_.OpenElement(attribute->name);
        const MmsValue* value = IedServer_getAttributeValue(server_, attribute);
        if (MmsValue_getType(value) == MMS_STRUCTURE)
            value = MmsValue_getElement(value, 0);
        if (value)
            writeValue(value);
        printer_.CloseElement();
    }

    void writeValue(const MmsValue* value)
    {
        const MmsType type = MmsValue_getType(value);
        if (type == MMS_DATA_ACCESS_ERROR) {
            out_ << "Failed to read value (error code: " << MmsValue_getDataAccessError(value) << std::endl;
            return;
        }
        if (const char* unit = unitOf(type)) {
            printer_.PushAttribute("unit", unit);
            printer_.PushAttribute("value", valueText(value).c_str());
        }
    }

    tinyxml2::XMLPrinter printer_;
    IedServer server_;
    std::ostream& out_;
};

bool writeValues(std::FILE* file, IedServer server, std::ostream& out)
{
    {
        DataModelLock lock(server);
        ValueWriter(file, server, out).write(box::staticModel());
    }
    return std::fflush(file) == 0 && !std::ferror(file) && fsync(fileno(file)) == 0;
}

// Writes the file beside its place and moves it there.
bool replaceFile(const std::string& fileName, IedServer server, std::ostream& out)
{
    const std::string temporary = fileName + ".tmp";
    File file(std::fopen(temporary.c_str(), "w"));
    if (!file)
        return false;
    const bool written = writeValues(file.get(), server, out);
    if (std::fclose(file.release()) == 0 && written && std::rename(temporary.c_str(), fileName.c_str()) == 0)
        return true;
    std::remove(temporary.c_str());
    return false;
}

}  // namespace

StoreStreams standardStreams()
{
    return {std::cout, std::cerr};
}

bool save_all_IEC_values_in_XML(IedServer server, const std::string& fileName, StoreStreams streams)
{
    streams.out << "-- Saving all the data --" << std::endl;
    if (!server || !replaceFile(fileName, server, streams.out)) {
        streams.err << "Error: Could not save XML file:" << fileName << std::endl;
        return false;
    }
    streams.out << "save_all_IEC_values_in_XML is done" << std::endl;
    return true;
}

}  // namespace persistence
