#include "iec61850/mms/file_service.hpp"

#include "iec61850/mms/wire.hpp"

namespace iec61850::mms {

namespace {

using namespace wire;
using ber::context;

namespace st = service_tag;

const Tag kGraphicString = ber::universal(ber::universal_tag::GraphicString);
const Tag kSequence = ber::universal(ber::universal_tag::Sequence, true);

// ---- Pieces ----------------------------------------------------------------------------

Status readFileName(const Element& e, std::string& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    std::string name;
    Element part;
    if (r.atEnd())
        return Status::BadValue;
    while (!r.atEnd()) {
        MMS_TRY(nextWithTag(r, kGraphicString, part));
        std::string piece;
        MMS_TRY(readText(part, piece));
        name += piece;
    }
    out = std::move(name);
    return Status::Ok;
}

void putFileName(ber::Writer& w, Tag tag, const std::string& name)
{
    const auto m = w.begin(tag);
    w.string(kGraphicString, name);
    w.end(m);
}

Status readAttributes(const Element& e, FileAttributes& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    Element f;
    FileAttributes a;
    MMS_TRY(nextWithTag(r, context(0), f));
    MMS_TRY(readInt(f, a.size));
    if (nextIf(r, context(1), f)) {
        std::string time;
        MMS_TRY(readString(f, time));
        a.lastModified = std::move(time);
    }
    MMS_TRY(atEnd(r));
    out = std::move(a);
    return Status::Ok;
}

void putAttributes(ber::Writer& w, Tag tag, const FileAttributes& a)
{
    const auto m = w.begin(tag);
    w.unsignedInteger(context(0), a.size);
    if (a.lastModified)
        w.string(context(1), *a.lastModified);
    w.end(m);
}

Status readTimeOfDay(const Element& e, std::optional<Value>& out)
{
    if (e.tag.constructed || (e.content.size() != 4 && e.content.size() != 6))
        return Status::BadValue;
    out = Value::binaryTime(e.content);
    return Status::Ok;
}

Status readOctets(const Element& e, std::optional<Bytes>& out)
{
    if (e.tag.constructed || e.content.size() > 64)
        return Status::BadValue;
    out = Bytes(e.content.begin(), e.content.end());
    return Status::Ok;
}

// The one element of an explicitly tagged CHOICE.
Status readChoice(const Element& e, Element& choice) { return inner(e, choice); }

Status readBody(const UnrecognizedService& s, Element& e)
{
    MMS_TRY(ber::decodeElement(s.encoded, e));
    if (e.whole.size() != s.encoded.size() || e.tag.cls != ber::TagClass::Context || e.tag.number != s.tag)
        return Status::BadTag;
    return Status::Ok;
}

// ---- Requests ---------------------------------------------------------------------------

Status readJournalRequest(const Element& e, ReadJournalRequest& out, const DecodeLimits& limits)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    ReadJournalRequest req;
    Element f, choice;
    MMS_TRY(nextWithTag(r, context(0, true), f));
    MMS_TRY(readChoice(f, choice));
    MMS_TRY(decodeObjectName(choice, req.journal));
    if (nextIf(r, context(1, true), f)) {
        MMS_TRY(readChoice(f, choice));
        if (choice.tag == context(0))
            MMS_TRY(readTimeOfDay(choice, req.startingTime));
        else if (choice.tag == context(1))
            MMS_TRY(readOctets(choice, req.startingEntry));
        else
            return Status::BadTag;
    }
    if (nextIf(r, context(2, true), f)) {
        MMS_TRY(readChoice(f, choice));
        if (choice.tag == context(0)) {
            MMS_TRY(readTimeOfDay(choice, req.endingTime));
        } else {
            MMS_TRY(expectTag(choice, context(1)));
            std::int32_t n = 0;
            MMS_TRY(readInt(choice, n));
            req.numberOfEntries = n;
        }
    }
    if (nextIf(r, context(4, true), f)) {
        Reader list(ByteView{});
        MMS_TRY(open(f, list));
        while (!list.atEnd()) {
            if (req.variables.size() >= limits.maxListItems)
                return Status::BadLength;
            Element item;
            std::string name;
            MMS_TRY(nextWithTag(list, ber::universal(ber::universal_tag::VisibleString), item));
            MMS_TRY(readString(item, name));
            req.variables.push_back(std::move(name));
        }
    }
    if (nextIf(r, context(5, true), f)) {
        Reader after(ByteView{});
        Element part;
        MMS_TRY(open(f, after));
        MMS_TRY(nextWithTag(after, context(0), part));
        MMS_TRY(readTimeOfDay(part, req.startAfterTime));
        MMS_TRY(nextWithTag(after, context(1), part));
        MMS_TRY(readOctets(part, req.startAfterEntry));
        MMS_TRY(atEnd(after));
    }
    MMS_TRY(atEnd(r));
    out = std::move(req);
    return Status::Ok;
}

Status fileRequest(const Element& e, ExtraRequest& out, const DecodeLimits& limits)
{
    Reader r(ByteView{});
    Element f;
    switch (e.tag.number) {
    case st::FileOpen: {
        FileOpenRequest req;
        MMS_TRY(open(e, r));
        MMS_TRY(nextWithTag(r, context(0, true), f));
        MMS_TRY(readFileName(f, req.fileName));
        MMS_TRY(nextWithTag(r, context(1), f));
        MMS_TRY(readInt(f, req.initialPosition));
        MMS_TRY(atEnd(r));
        out = std::move(req);
        return Status::Ok;
    }
    case st::FileRead:
    case st::FileClose: {
        std::int32_t frsm = 0;
        MMS_TRY(readInt(e, frsm));
        if (e.tag.number == st::FileRead)
            out = FileReadRequest{frsm};
        else
            out = FileCloseRequest{frsm};
        return Status::Ok;
    }
    case st::FileDelete: {
        FileDeleteRequest req;
        MMS_TRY(readFileName(e, req.fileName));
        out = std::move(req);
        return Status::Ok;
    }
    case st::FileRename: {
        FileRenameRequest req;
        MMS_TRY(open(e, r));
        MMS_TRY(nextWithTag(r, context(0, true), f));
        MMS_TRY(readFileName(f, req.currentName));
        MMS_TRY(nextWithTag(r, context(1, true), f));
        MMS_TRY(readFileName(f, req.newName));
        MMS_TRY(atEnd(r));
        out = std::move(req);
        return Status::Ok;
    }
    case st::FileDirectory: {
        FileDirectoryRequest req;
        MMS_TRY(open(e, r));
        std::string name;
        if (nextIf(r, context(0, true), f)) {
            MMS_TRY(readFileName(f, name));
            req.fileName = name;
        }
        if (nextIf(r, context(1, true), f)) {
            MMS_TRY(readFileName(f, name));
            req.continueAfter = name;
        }
        MMS_TRY(atEnd(r));
        out = std::move(req);
        return Status::Ok;
    }
    case st::ObtainFile: {
        ObtainFileRequest req;
        MMS_TRY(open(e, r));
        nextIf(r, context(0, true), f);  // sourceFileServer: not used
        MMS_TRY(nextWithTag(r, context(1, true), f));
        MMS_TRY(readFileName(f, req.sourceFile));
        MMS_TRY(nextWithTag(r, context(2, true), f));
        MMS_TRY(readFileName(f, req.destinationFile));
        MMS_TRY(atEnd(r));
        out = std::move(req);
        return Status::Ok;
    }
    case st::ReadJournal: {
        ReadJournalRequest req;
        MMS_TRY(readJournalRequest(e, req, limits));
        out = std::move(req);
        return Status::Ok;
    }
    default: return Status::BadTag;
    }
}

// ---- Responses --------------------------------------------------------------------------

Status journalVariables(const Element& e, std::vector<JournalVariable>& out, const DecodeLimits& limits)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    std::vector<JournalVariable> vars;
    while (!r.atEnd()) {
        if (vars.size() >= limits.maxListItems)
            return Status::BadLength;
        Element seq, f, data;
        Reader fields(ByteView{});
        JournalVariable v;
        MMS_TRY(nextWithTag(r, kSequence, seq));
        MMS_TRY(open(seq, fields));
        MMS_TRY(nextWithTag(fields, context(0), f));
        MMS_TRY(readString(f, v.tag));
        MMS_TRY(nextWithTag(fields, context(1, true), f));
        MMS_TRY(inner(f, data));
        MMS_TRY(Value::decodeData(data, v.value, limits.maxDepth));
        MMS_TRY(atEnd(fields));
        vars.push_back(std::move(v));
    }
    out = std::move(vars);
    return Status::Ok;
}

Status journalEntry(const Element& e, JournalEntry& out, const DecodeLimits& limits)
{
    Reader r(ByteView{}), content(ByteView{});
    Element f;
    JournalEntry entry;
    std::optional<Bytes> id;
    std::optional<Value> time;
    MMS_TRY(expectTag(e, kSequence));
    MMS_TRY(open(e, r));
    MMS_TRY(nextWithTag(r, context(0), f));
    MMS_TRY(readOctets(f, id));
    MMS_TRY(nextWithTag(r, context(1, true), f));  // originatingApplication: not kept
    MMS_TRY(nextWithTag(r, context(2, true), f));
    MMS_TRY(atEnd(r));
    MMS_TRY(open(f, content));
    MMS_TRY(nextWithTag(content, context(0), f));
    MMS_TRY(readTimeOfDay(f, time));
    nextIf(content, context(1, true), f);  // additionalDetail: not kept
    MMS_TRY(content.next(f));
    if (f.tag == context(2, true)) {
        Reader data(ByteView{});
        Element part;
        MMS_TRY(open(f, data));
        nextIf(data, context(0, true), part);  // event: not kept
        if (nextIf(data, context(1, true), part))
            MMS_TRY(journalVariables(part, entry.variables, limits));
        MMS_TRY(atEnd(data));
    } else if (f.tag != context(3)) {  // annotation: not kept
        return Status::BadTag;
    }
    MMS_TRY(atEnd(content));
    entry.entryId = std::move(*id);
    entry.occurrenceTime = std::move(*time);
    out = std::move(entry);
    return Status::Ok;
}

Status fileResponse(const Element& e, ExtraResponse& out, const DecodeLimits& limits)
{
    Reader r(ByteView{});
    Element f;
    switch (e.tag.number) {
    case st::FileOpen: {
        FileOpenResponse rsp;
        MMS_TRY(open(e, r));
        MMS_TRY(nextWithTag(r, context(0), f));
        MMS_TRY(readInt(f, rsp.frsmId));
        MMS_TRY(nextWithTag(r, context(1, true), f));
        MMS_TRY(readAttributes(f, rsp.attributes));
        MMS_TRY(atEnd(r));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::FileRead: {
        FileReadResponse rsp;
        MMS_TRY(open(e, r));
        MMS_TRY(nextWithTag(r, context(0), f));
        rsp.data.assign(f.content.begin(), f.content.end());
        if (nextIf(r, context(1), f))
            MMS_TRY(readBool(f, rsp.moreFollows));
        MMS_TRY(atEnd(r));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::FileDirectory: {
        FileDirectoryResponse rsp;
        MMS_TRY(open(e, r));
        Element listElement;
        MMS_TRY(nextWithTag(r, context(0, true), f));  // explicit tag around the SEQUENCE OF
        MMS_TRY(inner(f, listElement));
        MMS_TRY(expectTag(listElement, kSequence));
        Reader list(ByteView{});
        MMS_TRY(open(listElement, list));
        while (!list.atEnd()) {
            if (rsp.entries.size() >= limits.maxListItems)
                return Status::BadLength;
            Element seq, part;
            Reader fields(ByteView{});
            DirectoryEntry entry;
            MMS_TRY(nextWithTag(list, kSequence, seq));
            MMS_TRY(open(seq, fields));
            MMS_TRY(nextWithTag(fields, context(0, true), part));
            MMS_TRY(readFileName(part, entry.fileName));
            MMS_TRY(nextWithTag(fields, context(1, true), part));
            MMS_TRY(readAttributes(part, entry.attributes));
            MMS_TRY(atEnd(fields));
            rsp.entries.push_back(std::move(entry));
        }
        if (nextIf(r, context(1), f))
            MMS_TRY(readBool(f, rsp.moreFollows));
        MMS_TRY(atEnd(r));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::FileClose:
    case st::FileDelete:
    case st::FileRename:
    case st::ObtainFile:
        MMS_TRY(readNull(e));
        out = FileDoneResponse{e.tag.number};
        return Status::Ok;
    case st::ReadJournal: {
        ReadJournalResponse rsp;
        MMS_TRY(open(e, r));
        MMS_TRY(nextWithTag(r, context(0, true), f));
        Reader list(ByteView{});
        MMS_TRY(open(f, list));
        while (!list.atEnd()) {
            if (rsp.entries.size() >= limits.maxListItems)
                return Status::BadLength;
            Element item;
            JournalEntry entry;
            MMS_TRY(list.next(item));
            MMS_TRY(journalEntry(item, entry, limits));
            rsp.entries.push_back(std::move(entry));
        }
        if (nextIf(r, context(1), f))
            MMS_TRY(readBool(f, rsp.moreFollows));
        MMS_TRY(atEnd(r));
        out = std::move(rsp);
        return Status::Ok;
    }
    default: return Status::BadTag;
    }
}

// ---- Encoding -------------------------------------------------------------------------------

struct ExtraEncoder {
    ber::Writer& w;

    static Tag tag(std::uint32_t service, bool constructed = true) { return context(service, constructed); }

    void operator()(const FileOpenRequest& r) const
    {
        const auto m = w.begin(tag(st::FileOpen));
        putFileName(w, context(0, true), r.fileName);
        w.unsignedInteger(context(1), r.initialPosition);
        w.end(m);
    }
    void operator()(const FileReadRequest& r) const { w.integer(tag(st::FileRead, false), r.frsmId); }
    void operator()(const FileCloseRequest& r) const { w.integer(tag(st::FileClose, false), r.frsmId); }
    void operator()(const FileDeleteRequest& r) const { putFileName(w, tag(st::FileDelete), r.fileName); }
    void operator()(const FileRenameRequest& r) const
    {
        const auto m = w.begin(tag(st::FileRename));
        putFileName(w, context(0, true), r.currentName);
        putFileName(w, context(1, true), r.newName);
        w.end(m);
    }
    void operator()(const FileDirectoryRequest& r) const
    {
        const auto m = w.begin(tag(st::FileDirectory));
        if (r.fileName)
            putFileName(w, context(0, true), *r.fileName);
        if (r.continueAfter)
            putFileName(w, context(1, true), *r.continueAfter);
        w.end(m);
    }
    void operator()(const ObtainFileRequest& r) const
    {
        const auto m = w.begin(tag(st::ObtainFile));
        putFileName(w, context(1, true), r.sourceFile);
        putFileName(w, context(2, true), r.destinationFile);
        w.end(m);
    }
    void operator()(const ReadJournalRequest& r) const
    {
        const auto m = w.begin(tag(st::ReadJournal));
        const auto name = w.begin(context(0, true));
        encodeObjectName(w, r.journal);
        w.end(name);
        if (r.startingTime || r.startingEntry) {
            const auto s = w.begin(context(1, true));
            if (r.startingTime)
                w.octets(context(0), r.startingTime->timeOctets());
            else
                w.octets(context(1), *r.startingEntry);
            w.end(s);
        }
        if (r.endingTime || r.numberOfEntries) {
            const auto s = w.begin(context(2, true));
            if (r.endingTime)
                w.octets(context(0), r.endingTime->timeOctets());
            else
                w.integer(context(1), *r.numberOfEntries);
            w.end(s);
        }
        if (!r.variables.empty()) {
            const auto s = w.begin(context(4, true));
            for (const std::string& v : r.variables)
                w.string(ber::universal(ber::universal_tag::VisibleString), v);
            w.end(s);
        }
        if (r.startAfterTime && r.startAfterEntry) {
            const auto s = w.begin(context(5, true));
            w.octets(context(0), r.startAfterTime->timeOctets());
            w.octets(context(1), *r.startAfterEntry);
            w.end(s);
        }
        w.end(m);
    }

    void operator()(const FileOpenResponse& r) const
    {
        const auto m = w.begin(tag(st::FileOpen));
        w.integer(context(0), r.frsmId);
        putAttributes(w, context(1, true), r.attributes);
        w.end(m);
    }
    void operator()(const FileReadResponse& r) const
    {
        const auto m = w.begin(tag(st::FileRead));
        w.octets(context(0), r.data);
        if (!r.moreFollows)
            putBoolean(w, context(1), false);
        w.end(m);
    }
    void operator()(const FileDirectoryResponse& r) const
    {
        const auto m = w.begin(tag(st::FileDirectory));
        const auto outer = w.begin(context(0, true));
        const auto list = w.begin(kSequence);
        for (const DirectoryEntry& e : r.entries) {
            const auto seq = w.begin(kSequence);
            putFileName(w, context(0, true), e.fileName);
            putAttributes(w, context(1, true), e.attributes);
            w.end(seq);
        }
        w.end(list);
        w.end(outer);
        if (r.moreFollows)
            putBoolean(w, context(1), true);
        w.end(m);
    }
    void operator()(const FileDoneResponse& r) const { w.null(tag(r.service, false)); }
    void operator()(const ReadJournalResponse& r) const
    {
        const auto m = w.begin(tag(st::ReadJournal));
        const auto list = w.begin(context(0, true));
        for (const JournalEntry& e : r.entries) {
            const auto seq = w.begin(kSequence);
            w.octets(context(0), e.entryId);
            const auto origin = w.begin(context(1, true));  // originatingApplication: an empty ApplicationReference
            w.end(w.begin(kSequence));
            w.end(origin);
            const auto content = w.begin(context(2, true));
            w.octets(context(0), e.occurrenceTime.timeOctets());
            const auto data = w.begin(context(2, true));
            if (!e.variables.empty()) {
                const auto vars = w.begin(context(1, true));
                for (const JournalVariable& v : e.variables) {
                    const auto item = w.begin(kSequence);
                    w.string(context(0), v.tag);
                    const auto value = w.begin(context(1, true));
                    v.value.encode(w);
                    w.end(value);
                    w.end(item);
                }
                w.end(vars);
            }
            w.end(data);
            w.end(content);
            w.end(seq);
        }
        w.end(list);
        if (r.moreFollows)
            putBoolean(w, context(1), true);
        w.end(m);
    }
};

template <typename Variant>
UnrecognizedService encodeVariant(const Variant& v)
{
    ber::Writer w;
    std::visit(ExtraEncoder{w}, v);
    Element e;
    UnrecognizedService s;
    if (ber::decodeElement(w.bytes(), e) == Status::Ok)
        s.tag = e.tag.number;
    s.encoded = w.take();
    return s;
}

}  // namespace

Status decodeExtraRequest(const UnrecognizedService& s, ExtraRequest& out, const DecodeLimits& limits)
{
    Element e;
    MMS_TRY(readBody(s, e));
    ExtraRequest r;
    MMS_TRY(fileRequest(e, r, limits));
    out = std::move(r);
    return Status::Ok;
}

Status decodeExtraResponse(const UnrecognizedService& s, ExtraResponse& out, const DecodeLimits& limits)
{
    Element e;
    MMS_TRY(readBody(s, e));
    ExtraResponse r;
    MMS_TRY(fileResponse(e, r, limits));
    out = std::move(r);
    return Status::Ok;
}

UnrecognizedService encodeExtra(const ExtraRequest& r) { return encodeVariant(r); }
UnrecognizedService encodeExtra(const ExtraResponse& r) { return encodeVariant(r); }

}  // namespace iec61850::mms
