#include "box_model.hpp"

namespace box {

namespace {

ModelNode* firstNamed(ModelNode* node, std::string_view name)
{
    for (; node; node = node->sibling)
        if (name == node->name)
            return node;
    return nullptr;
}

}  // namespace

DataAttribute* findDataAttribute(std::string_view ldInst, std::string_view lnName, std::string_view doName,
                                 std::string_view daName)
{
    ModelNode* device = firstNamed(staticModel()->firstChild, ldInst);
    if (!device)
        return nullptr;
    for (ModelNode* ln = firstNamed(device->firstChild, lnName); ln; ln = firstNamed(ln->sibling, lnName))
        for (ModelNode* object = firstNamed(ln->firstChild, doName); object;
             object = firstNamed(object->sibling, doName))
            if (ModelNode* attribute = firstNamed(object->firstChild, daName);
                attribute && attribute->modelType == DataAttributeModelType)
                return static_cast<DataAttribute*>(attribute);
    return nullptr;
}

}  // namespace box
