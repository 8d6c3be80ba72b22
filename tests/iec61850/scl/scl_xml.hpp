// Reading an exported SCL document back with tinyxml2.
#pragma once

#include <tinyxml2.h>

#include <string>
#include <string_view>
#include <vector>

namespace scltest {

using tinyxml2::XMLElement;

inline std::vector<XMLElement*> children(XMLElement* parent, const char* name)
{
    std::vector<XMLElement*> found;
    for (XMLElement* e = parent ? parent->FirstChildElement(name) : nullptr; e; e = e->NextSiblingElement(name))
        found.push_back(e);
    return found;
}

// Every element of that name below parent, in document order.
inline std::vector<XMLElement*> all(XMLElement* parent, const char* name)
{
    std::vector<XMLElement*> found;
    for (XMLElement* e = parent ? parent->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
        if (std::string_view(e->Name()) == name)
            found.push_back(e);
        for (XMLElement* below : all(e, name))
            found.push_back(below);
    }
    return found;
}

// The attribute's value, empty when it is absent.
inline std::string attr(const XMLElement* e, const char* name)
{
    const char* v = e ? e->Attribute(name) : nullptr;
    return v ? v : "";
}

inline XMLElement* byAttribute(XMLElement* parent, const char* element, const char* name, const std::string& value)
{
    for (XMLElement* e : all(parent, element))
        if (attr(e, name) == value)
            return e;
    return nullptr;
}

inline std::string lnName(const XMLElement* ln, const char* instAttribute = "inst")
{
    return attr(ln, "prefix") + attr(ln, "lnClass") + attr(ln, instAttribute);
}

}  // namespace scltest
