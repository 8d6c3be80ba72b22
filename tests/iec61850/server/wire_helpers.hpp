// Test helpers: hex vectors, a model builder from `$` paths, and a reader
// that pulls the MMS PDUs out of what the server sends.
#pragma once

#include "iec61850/ber/ber.hpp"
#include "iec61850/mms/pdu.hpp"
#include "iec61850/server/memory_model.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace test {

using iec61850::Bytes;
using iec61850::ByteView;
namespace ber = iec61850::ber;
namespace mms = iec61850::mms;

inline Bytes hex(std::string_view text)
{
    auto nibble = [](char c) {
        return static_cast<std::uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    return out;
}

// One MMS PDU as a client sends it: TPKT, COTP DT, session give-tokens + DT,
// presentation fully-encoded data on context 3.
inline Bytes clientTpkt(ByteView mmsPdu)
{
    ber::Writer w;
    auto userData = w.begin(ber::application(1, true));
    auto pdv = w.begin(ber::universal(ber::universal_tag::Sequence, true));
    w.integer(ber::universal(ber::universal_tag::Integer), 3);
    auto single = w.begin(ber::context(0, true));
    w.raw(mmsPdu);
    w.end(single);
    w.end(pdv);
    w.end(userData);
    static constexpr std::uint8_t header[] = {0x03, 0x00, 0x00, 0x00, 0x02, 0xF0, 0x80, 0x01, 0x00, 0x01, 0x00};
    Bytes out(sizeof header + w.size());
    std::copy(std::begin(header), std::end(header), out.begin());
    std::copy(w.bytes().begin(), w.bytes().end(), out.begin() + sizeof header);
    out[2] = static_cast<std::uint8_t>(out.size() >> 8);
    out[3] = static_cast<std::uint8_t>(out.size());
    return out;
}

inline std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

// Builds named variables from `$` paths: every path becomes a component;
// paths nobody extends get the leaf type.
class ModelBuilder {
public:
    void add(std::string_view domain, std::string_view path, const mms::TypeDescription& leaf = mms::TypeDescription::boolean())
    {
        Node* node = &domains_[std::string(domain)];
        while (!path.empty()) {
            std::size_t dollar = path.find('$');
            std::string name(path.substr(0, dollar));
            path = dollar == std::string_view::npos ? std::string_view() : path.substr(dollar + 1);
            node = &node->child(name);
        }
        node->leaf = leaf;
    }

    void buildInto(iec61850::server::InMemoryModel& model) const
    {
        for (const auto& [domain, root] : domains_) {
            model.addDomain(domain);
            for (const auto& [name, child] : root.children)
                model.addVariable(domain, name, child.type());
        }
    }

private:
    struct Node {
        std::vector<std::pair<std::string, Node>> children;
        mms::TypeDescription leaf;

        Node& child(const std::string& name)
        {
            for (auto& c : children)
                if (c.first == name)
                    return c.second;
            children.emplace_back(name, Node{});
            return children.back().second;
        }
        mms::TypeDescription type() const
        {
            if (children.empty())
                return leaf;
            std::vector<mms::TypeDescription> components;
            for (const auto& [name, c] : children)
                components.push_back(c.type().named(name));
            return mms::TypeDescription::structure(std::move(components));
        }
    };
    std::map<std::string, Node> domains_;
};

// What one server TPDU (or a run of DT TPDUs up to EOT) carried.
struct ServerFrame {
    std::uint8_t cotp = 0;      // COTP code: 0xD0 CC, 0xF0 DT, 0x80 DR ...
    std::uint8_t spdu = 0;      // first SPDU type for DT: 0x0E AC, 0x01 give tokens, 0x0A DN ...
    Bytes mms;                  // the MMS PDU, when one was found
    std::size_t tpduCount = 0;  // DT TPDUs that made it up
};

// Finds the innermost trailing BER element that starts with `tag` and ends
// exactly at the end of `data` (how the MMS PDU sits in an AC/CP SPDU).
inline Bytes trailingElement(ByteView data, std::uint8_t tag)
{
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != tag)
            continue;
        ber::Element e;
        if (ber::decodeElement(data.subspan(i), e) == ber::Status::Ok && e.whole.size() == data.size() - i)
            return Bytes(e.whole.begin(), e.whole.end());
    }
    return {};
}

// The presentation user data of a session DT: 61 { 30 { 02 ctx, a0 { MMS } } }.
inline Bytes mmsFromPresentation(ByteView data)
{
    ber::Element e;
    ber::Reader r(data);
    if (r.next(e) != ber::Status::Ok || !e.tag.is(ber::TagClass::Application, 1))
        return {};
    ber::Reader seq({}), inner({});
    if (r.enter(e, seq) != ber::Status::Ok || seq.next(e) != ber::Status::Ok || seq.enter(e, inner) != ber::Status::Ok)
        return {};
    while (inner.next(e) == ber::Status::Ok)
        if (e.tag.is(ber::TagClass::Context, 0))
            return Bytes(e.content.begin(), e.content.end());
    return {};
}

// Splits a server byte stream into frames; false if the TPKT framing is broken.
inline bool splitServerOutput(ByteView stream, std::vector<ServerFrame>& frames)
{
    Bytes userData;
    std::size_t dtCount = 0;
    while (!stream.empty()) {
        if (stream.size() < 4 || stream[0] != 3)
            return false;
        std::size_t length = std::size_t(stream[2]) << 8 | stream[3];
        if (length < 7 || length > stream.size())
            return false;
        ByteView tpdu = stream.subspan(4, length - 4);
        stream = stream.subspan(length);
        std::uint8_t code = tpdu[1] & 0xF0;
        if (code != 0xF0) {
            frames.push_back({code, 0, {}, 0});
            continue;
        }
        userData.insert(userData.end(), tpdu.begin() + 3, tpdu.end());
        ++dtCount;
        if ((tpdu[2] & 0x80) == 0)
            continue;
        ServerFrame f{0xF0, userData.empty() ? std::uint8_t(0) : userData[0], {}, dtCount};
        if (f.spdu == 0x01 && userData.size() > 4)
            f.mms = mmsFromPresentation(ByteView(userData).subspan(4));
        else if (f.spdu == 0x0E)
            f.mms = trailingElement(userData, 0xA9);
        frames.push_back(std::move(f));
        userData.clear();
        dtCount = 0;
    }
    return userData.empty();
}

inline mms::Pdu decode(const Bytes& bytes)
{
    mms::Pdu pdu;
    EXPECT_EQ(mms::decodePdu(bytes, pdu), ber::Status::Ok);
    return pdu;
}

}  // namespace test
