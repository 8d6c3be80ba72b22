#include "iec61850/scl/xml_writer.hpp"

#include <cstdint>

namespace iec61850::scl {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], 0 if there is none.
std::size_t utf8Length(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t lead = byte(i);
    std::size_t length = 0;
    std::uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    const bool invalid = cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF;
    return overlong || invalid ? 0 : length;
}

}  // namespace

std::string xmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<std::uint8_t>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8Length(text, i);
            if (length == 0) {
                out += '?';
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default:
            if (c >= 0x20 && c != 0x7F)
                out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

XmlWriter::XmlWriter(std::ostream& out) : out_(out) {}

void XmlWriter::declaration()
{
    out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
}

void XmlWriter::endStartTag()
{
    if (startTagOpen_) {
        out_ << '>';
        startTagOpen_ = false;
    }
}

void XmlWriter::indent()
{
    out_ << '\n' << std::string(2 * open_.size(), ' ');
}

XmlWriter& XmlWriter::open(std::string_view element)
{
    endStartTag();
    if (!open_.empty())
        indent();
    out_ << '<' << element;
    open_.emplace_back(element);
    inlineText_ = false;
    startTagOpen_ = true;
    return *this;
}

XmlWriter& XmlWriter::attribute(std::string_view name, std::string_view value)
{
    out_ << ' ' << name << "=\"" << xmlEscape(value) << '"';
    return *this;
}

XmlWriter& XmlWriter::attribute(std::string_view name, long long value)
{
    out_ << ' ' << name << "=\"" << value << '"';
    return *this;
}

XmlWriter& XmlWriter::flag(std::string_view name, bool value)
{
    return attribute(name, value ? "true" : "false");
}

XmlWriter& XmlWriter::text(std::string_view text)
{
    endStartTag();
    out_ << xmlEscape(text);
    inlineText_ = true;
    return *this;
}

void XmlWriter::textElement(std::string_view element, std::string_view text)
{
    open(element).text(text);
    close();
}

void XmlWriter::close()
{
    if (open_.empty())
        return;
    const std::string name = std::move(open_.back());
    open_.pop_back();
    if (startTagOpen_) {
        out_ << "/>";
        startTagOpen_ = false;
    } else if (inlineText_) {
        out_ << "</" << name << '>';
    } else {
        indent();
        out_ << "</" << name << '>';
    }
    inlineText_ = false;
    if (open_.empty())
        out_ << '\n';
}

void XmlWriter::finish()
{
    while (!open_.empty())
        close();
}

}  // namespace iec61850::scl
