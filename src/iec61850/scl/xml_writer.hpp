// A small streaming XML writer: elements with attributes and text, indented,
// with everything escaped so that the output is always well-formed.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace iec61850::scl {

// Text made safe for XML 1.0: markup characters escaped, control characters
// other than tab, line feed and carriage return dropped, and every byte that
// is not part of a valid UTF-8 sequence replaced by '?'.
std::string xmlEscape(std::string_view text);

class XmlWriter {
public:
    explicit XmlWriter(std::ostream& out);

    void declaration();
    XmlWriter& open(std::string_view element);
    XmlWriter& attribute(std::string_view name, std::string_view value);
    XmlWriter& attribute(std::string_view name, long long value);
    XmlWriter& flag(std::string_view name, bool value);  // "true" / "false"
    // Text content of the element just opened; it closes on the same line.
    XmlWriter& text(std::string_view text);
    // A text-only element: <name>text</name>.
    void textElement(std::string_view element, std::string_view text);
    void close();
    // Closes every element still open.
    void finish();

private:
    void endStartTag();
    void indent();

    std::ostream& out_;
    std::vector<std::string> open_;
    bool startTagOpen_ = false;
    bool inlineText_ = false;
};

// Opens an element on construction and closes it at the end of the scope.
class Element {
public:
    Element(XmlWriter& xml, std::string_view name) : xml_(xml) { xml_.open(name); }
    ~Element() { xml_.close(); }
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;

    Element& attribute(std::string_view name, std::string_view value)
    {
        xml_.attribute(name, value);
        return *this;
    }
    Element& attribute(std::string_view name, long long value)
    {
        xml_.attribute(name, value);
        return *this;
    }
    Element& flag(std::string_view name, bool value)
    {
        xml_.flag(name, value);
        return *this;
    }

private:
    XmlWriter& xml_;
};

}  // namespace iec61850::scl
