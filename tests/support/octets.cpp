#include "octets.hpp"

#include <stdexcept>

namespace test_support {
namespace {

namespace ber = iec61850::ber;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void appendLength(OctetPattern& out, std::size_t n)
{
    Bytes length;
    for (std::size_t rest = n; n > 0x7f && rest; rest >>= 8)
        length.insert(length.begin(), static_cast<std::uint8_t>(rest));
    length.insert(length.begin(), static_cast<std::uint8_t>(n > 0x7f ? 0x80 | length.size() : n));
    out.octets.insert(out.octets.end(), length.begin(), length.end());
    out.wild.insert(out.wild.end(), length.size(), false);
}

void append(OctetPattern& out, const OctetPattern& part)
{
    out.octets.insert(out.octets.end(), part.octets.begin(), part.octets.end());
    out.wild.insert(out.wild.end(), part.wild.begin(), part.wild.end());
}

struct Parser {
    std::string_view text;
    std::size_t at = 0;

    [[noreturn]] void fail(const char* why) const
    {
        throw std::invalid_argument(std::string(why) + " at " + std::to_string(at) + " in: " + std::string(text));
    }

    std::string quoted()
    {
        std::string s;
        for (++at; at < text.size() && text[at] != '"'; ++at) {
            if (text[at] != '\\') {
                s += text[at];
                continue;
            }
            if (++at >= text.size())
                fail("escape at the end");
            const char e = text[at];
            if (e == 'n')
                s += '\n';
            else if (e == 'x' && at + 2 < text.size() && hexDigit(text[at + 1]) >= 0 && hexDigit(text[at + 2]) >= 0)
                s += static_cast<char>(hexDigit(text[at + 1]) << 4 | hexDigit(text[at + 2])), at += 2;
            else
                s += e;
        }
        if (at++ >= text.size())
            fail("unclosed text");
        return s;
    }

    // Octets up to the closing brace (or the end, at the top).
    OctetPattern sequence(bool nested)
    {
        OctetPattern out;
        for (;;) {
            while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
                ++at;
            if (at == text.size()) {
                if (nested)
                    fail("missing }");
                return out;
            }
            if (text[at] == '}') {
                if (!nested)
                    fail("stray }");
                ++at;
                return out;
            }
            if (text[at] == '"') {
                const std::string s = quoted();
                out.octets.insert(out.octets.end(), s.begin(), s.end());
                out.wild.insert(out.wild.end(), s.size(), false);
                continue;
            }
            if (text.substr(at, 5) == "tpkt{") {
                at += 5;
                const OctetPattern body = sequence(true);
                const std::size_t n = body.octets.size() + 4;
                append(out, {{3, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)}, {false, false, false, false}});
                append(out, body);
                continue;
            }
            OctetPattern run;
            for (; at + 1 < text.size(); at += 2) {
                if (text[at] == '?' && text[at + 1] == '?') {
                    run.octets.push_back(0);
                    run.wild.push_back(true);
                    continue;
                }
                const int hi = hexDigit(text[at]), lo = hexDigit(text[at + 1]);
                if (hi < 0 || lo < 0)
                    break;
                run.octets.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
                run.wild.push_back(false);
            }
            if (run.octets.empty())
                fail("not an octet");
            if (at < text.size() && (text[at] == '{' || text[at] == '"')) {
                OctetPattern body;
                if (text[at] == '{') {
                    ++at;
                    body = sequence(true);
                } else {
                    const std::string s = quoted();
                    body.octets.assign(s.begin(), s.end());
                    body.wild.assign(s.size(), false);
                }
                append(out, run);
                appendLength(out, body.octets.size());
                append(out, body);
                continue;
            }
            std::size_t times = 1;
            if (at < text.size() && text[at] == '*')
                for (times = 0, ++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
                    times = times * 10 + static_cast<std::size_t>(text[at] - '0');
            if (at < text.size() && text[at] != ' ' && text[at] != '\t' && text[at] != '}')
                fail("odd hex digits or junk");
            for (std::size_t i = 0; i < times; ++i)
                append(out, run);
        }
    }
};

bool printable(ByteView content)
{
    if (content.size() < 2)
        return false;
    for (std::uint8_t c : content)
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            return false;
    return true;
}

// The elements of `bytes` in the notation; false if they do not all decode.
bool formatElements(ByteView bytes, std::string& out, int depth)
{
    std::string s;
    while (!bytes.empty()) {
        ber::Element e;
        if (depth > 40 || ber::decodeElement(bytes, e) != ber::Status::Ok)
            return false;
        const std::size_t header = e.whole.size() - e.content.size();
        std::size_t tagOctets = 1;
        if ((bytes[0] & 0x1f) == 0x1f)
            while (tagOctets < header && (bytes[tagOctets++] & 0x80)) {
            }
        if (!s.empty())
            s += ' ';
        s += toHex(bytes.first(tagOctets));
        std::string inner;
        if (e.tag.constructed && formatElements(e.content, inner, depth + 1))
            s += "{" + (inner.empty() ? "" : " " + inner + " ") + "}";
        else if (!e.tag.constructed && printable(e.content))
            s += "\"" + std::string(e.content.begin(), e.content.end()) + "\"";
        else if (e.tag.constructed)
            return false;
        else
            s += "{" + toHex(e.content) + "}";
        bytes = bytes.subspan(e.whole.size());
    }
    out = s;
    return true;
}

}  // namespace

bool OctetPattern::matches(ByteView bytes) const
{
    if (bytes.size() != octets.size())
        return false;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (!wild[i] && bytes[i] != octets[i])
            return false;
    return true;
}

OctetPattern parseOctets(std::string_view text)
{
    return Parser{text}.sequence(false);
}

Bytes octets(std::string_view text)
{
    OctetPattern p = parseOctets(text);
    for (bool w : p.wild)
        if (w)
            throw std::invalid_argument("a wildcard in octets to send: " + std::string(text));
    return p.octets;
}

std::string formatOctets(ByteView bytes)
{
    std::string s;
    return formatElements(bytes, s, 0) ? s : toHex(bytes);
}

Bytes clientTpkt(ByteView mmsPdu)
{
    return octets("tpkt{ 02f080 0100 0100 61{ 30{ 02{03} a0{" + toHex(mmsPdu) + "} } } }");
}

}  // namespace test_support
