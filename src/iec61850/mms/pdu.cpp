#include "iec61850/mms/pdu.hpp"

#include "iec61850/mms/wire.hpp"

#include <limits>

namespace iec61850::mms {

namespace {

using ber::Element;
using ber::Reader;
using ber::Tag;
using ber::context;
using namespace wire;

namespace pdu_tag {
constexpr std::uint32_t ConfirmedRequest = 0, ConfirmedResponse = 1, ConfirmedError = 2, Unconfirmed = 3, Reject = 4,
                        CancelRequest = 5, CancelResponse = 6, CancelError = 7, InitiateRequest = 8,
                        InitiateResponse = 9, InitiateError = 10, ConcludeRequest = 11, ConcludeResponse = 12,
                        ConcludeError = 13;
}

const Tag kInteger = ber::universal(ber::universal_tag::Integer);
const Tag kVisibleString = ber::universal(ber::universal_tag::VisibleString);
const Tag kSequence = ber::universal(ber::universal_tag::Sequence, true);

// ---- Field readers ---------------------------------------------------------------------

Status readBits(const Element& e, Bytes& bits, std::uint32_t& count)
{
    if (e.tag.constructed)
        return Status::BadTag;
    if (e.content.size() > 64)
        return Status::BadValue;
    std::size_t n = 0;
    MMS_TRY(ber::decodeBitString(e.content, bits, n));
    count = static_cast<std::uint32_t>(n);
    return Status::Ok;
}

// ---- Names and variable access, as views -----------------------------------------------

Status readIdentifier(const Element& e, std::string_view& out)
{
    if (e.tag.constructed)
        return Status::BadTag;
    if (e.content.size() > kMaxIdentifier)
        return Status::BadValue;
    out = asString(e.content);
    return Status::Ok;
}

Status objectNameView(const Element& e, ObjectNameView& out)
{
    if (e.tag == context(0) || e.tag == context(2)) {
        out.scope = e.tag.number == 0 ? ObjectName::Scope::Vmd : ObjectName::Scope::Association;
        out.domain = {};
        return readIdentifier(e, out.item);
    }
    MMS_TRY(expectTag(e, context(1, true)));
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    Element f;
    ObjectNameView n{ObjectName::Scope::Domain, {}, {}};
    MMS_TRY(nextWithTag(r, kVisibleString, f));
    MMS_TRY(readIdentifier(f, n.domain));
    MMS_TRY(nextWithTag(r, kVisibleString, f));
    MMS_TRY(readIdentifier(f, n.item));
    MMS_TRY(atEnd(r));
    out = n;
    return Status::Ok;
}

Status variableSpecView(const Element& item, VariableSpecView& v)
{
    MMS_TRY(expectTag(item, kSequence));
    Reader r(ByteView{});
    MMS_TRY(open(item, r));
    Element f, name;
    MMS_TRY(nextWithTag(r, context(0, true), f));  // only variables named by ObjectName
    MMS_TRY(inner(f, name));
    MMS_TRY(objectNameView(name, v.name));
    v.alternateAccess = nextIf(r, context(5, true), f) ? f.content : ByteView{};
    return atEnd(r);
}

// The VariableAccessSpecification CHOICE: a list name, or the variables.
Status accessSpecView(const Element& e, std::optional<ObjectNameView>& listName,
                      std::vector<VariableSpecView>& variables, std::size_t maxItems)
{
    listName.reset();
    variables.clear();
    if (e.tag == context(1, true)) {
        Element name;
        ObjectNameView n;
        MMS_TRY(inner(e, name));
        MMS_TRY(objectNameView(name, n));
        listName = n;
        return Status::Ok;
    }
    MMS_TRY(expectTag(e, context(0, true)));
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    while (!r.atEnd()) {
        if (variables.size() >= maxItems)
            return Status::BadLength;
        Element item;
        VariableSpecView v;
        MMS_TRY(r.next(item));
        MMS_TRY(variableSpecView(item, v));
        variables.push_back(v);
    }
    return Status::Ok;
}

VariableSpec owned(const VariableSpecView& v)
{
    return {v.name.owned(), Bytes(v.alternateAccess.begin(), v.alternateAccess.end())};
}

VariableAccessSpec owned(const std::optional<ObjectNameView>& listName, const std::vector<VariableSpecView>& variables)
{
    VariableAccessSpec s;
    if (listName)
        s.listName = listName->owned();
    s.variables.reserve(variables.size());
    for (const VariableSpecView& v : variables)
        s.variables.push_back(owned(v));
    return s;
}

// The read service element [4]; invokeId is left alone.
Status readView(const Element& e, ReadRequestView& out, std::size_t maxItems)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    Element f, access;
    out.specificationWithResult = false;
    if (nextIf(r, context(0), f))
        MMS_TRY(readBool(f, out.specificationWithResult));
    MMS_TRY(nextWithTag(r, context(1, true), f));
    MMS_TRY(inner(f, access));
    MMS_TRY(accessSpecView(access, out.listName, out.variables, maxItems));
    out.accessSpecification = access.whole;
    return atEnd(r);
}

// The invoke ID and service element of a confirmed request.
Status confirmedEnvelope(const Element& e, std::uint32_t& invokeId, Element& service)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    Element f;
    MMS_TRY(nextWithTag(r, kInteger, f));
    MMS_TRY(readInt(f, invokeId));
    MMS_TRY(r.next(service));
    if (service.tag == kSequence)
        return Status::BadValue;  // modifiers are not supported
    return Status::Ok;
}

class Decoder {
public:
    explicit Decoder(const DecodeLimits& limits) : limits_(limits) {}

    Status pdu(const Element& e, Pdu& out);
    Status objectName(const Element& e, ObjectName& out);

private:
    template <typename T, typename F>
    Status list(const Element& e, std::vector<T>& out, F&& decodeOne);

    Status variableSpecs(const Element& e, std::vector<VariableSpec>& out);
    Status variableAccessSpec(const Element& e, VariableAccessSpec& out);
    Status accessResults(const Element& e, std::vector<Value>& out);
    Status serviceError(const Element& e, ServiceError& out);
    Status initiate(const Element& e, InitiateParameters& out);

    Status confirmedRequest(const Element& e, ConfirmedRequest& out);
    Status confirmedResponse(const Element& e, ConfirmedResponse& out);
    Status requestService(const Element& e, ConfirmedRequestService& out);
    Status responseService(const Element& e, ConfirmedResponseService& out);

    Status getNameList(const Element& e, GetNameListRequest& out);
    Status getNameList(const Element& e, GetNameListResponse& out);
    Status identify(const Element& e, IdentifyResponse& out);
    Status read(const Element& e, ReadRequest& out);
    Status read(const Element& e, ReadResponse& out);
    Status write(const Element& e, WriteRequest& out);
    Status write(const Element& e, WriteResponse& out);
    Status status(const Element& e, StatusResponse& out);
    Status getVariableAccessAttributes(const Element& e, GetVariableAccessAttributesResponse& out);
    Status defineNamedVariableList(const Element& e, DefineNamedVariableListRequest& out);
    Status getNamedVariableListAttributes(const Element& e, GetNamedVariableListAttributesResponse& out);
    Status deleteNamedVariableList(const Element& e, DeleteNamedVariableListRequest& out);
    Status deleteNamedVariableList(const Element& e, DeleteNamedVariableListResponse& out);
    Status informationReport(const Element& e, InformationReport& out);
    Status reject(const Element& e, RejectPdu& out);

    const DecodeLimits& limits_;
};

template <typename T, typename F>
Status Decoder::list(const Element& e, std::vector<T>& out, F&& decodeOne)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    std::vector<T> items;
    while (!r.atEnd()) {
        if (items.size() >= limits_.maxListItems)
            return Status::BadLength;
        Element item;
        MMS_TRY(r.next(item));
        T value{};
        MMS_TRY(decodeOne(item, value));
        items.push_back(std::move(value));
    }
    out = std::move(items);
    return Status::Ok;
}

Status Decoder::objectName(const Element& e, ObjectName& out)
{
    ObjectNameView n;
    MMS_TRY(objectNameView(e, n));
    out = n.owned();
    return Status::Ok;
}

Status Decoder::variableSpecs(const Element& e, std::vector<VariableSpec>& out)
{
    return list(e, out, [](const Element& item, VariableSpec& v) {
        VariableSpecView view;
        MMS_TRY(variableSpecView(item, view));
        v = owned(view);
        return Status::Ok;
    });
}

Status Decoder::variableAccessSpec(const Element& e, VariableAccessSpec& out)
{
    std::optional<ObjectNameView> listName;
    std::vector<VariableSpecView> variables;
    MMS_TRY(accessSpecView(e, listName, variables, limits_.maxListItems));
    out = owned(listName, variables);
    return Status::Ok;
}

Status Decoder::accessResults(const Element& e, std::vector<Value>& out)
{
    return list(e, out, [this](const Element& item, Value& v) {
        return Value::decodeAccessResult(item, v, limits_.maxDepth);
    });
}

Status Decoder::serviceError(const Element& e, ServiceError& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    Element f, cls;
    ServiceError err;
    MMS_TRY(nextWithTag(r, context(0, true), f));
    MMS_TRY(inner(f, cls));
    if (cls.tag.cls != ber::TagClass::Context || cls.tag.number > 12)
        return Status::BadTag;
    err.errorClass = static_cast<ErrorClass>(cls.tag.number);
    MMS_TRY(readInt(cls, err.code));
    if (nextIf(r, context(1), f)) {
        std::int64_t code = 0;
        MMS_TRY(ber::expectInteger(f, code));
        err.additionalCode = code;
    }
    if (nextIf(r, context(2), f)) {
        std::string text;
        MMS_TRY(readText(f, text));
        err.additionalDescription = std::move(text);
    }
    nextIf(r, context(3, true), f);  // serviceSpecificInfo: not kept
    MMS_TRY(atEnd(r));
    out = std::move(err);
    return Status::Ok;
}

Status Decoder::initiate(const Element& e, InitiateParameters& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    InitiateParameters p;
    Element f;
    if (nextIf(r, context(0), f)) {
        std::int32_t v = 0;
        MMS_TRY(readInt(f, v));
        p.localDetail = v;
    }
    MMS_TRY(nextWithTag(r, context(1), f));
    MMS_TRY(readInt(f, p.maxServOutstandingCalling));
    MMS_TRY(nextWithTag(r, context(2), f));
    MMS_TRY(readInt(f, p.maxServOutstandingCalled));
    if (nextIf(r, context(3), f)) {
        std::int8_t v = 0;
        MMS_TRY(readInt(f, v));
        p.dataStructureNestingLevel = v;
    }
    Element detail;
    MMS_TRY(nextWithTag(r, context(4, true), detail));
    MMS_TRY(atEnd(r));
    Reader d(ByteView{});
    MMS_TRY(open(detail, d));
    MMS_TRY(nextWithTag(d, context(0), f));
    MMS_TRY(readInt(f, p.version));
    MMS_TRY(nextWithTag(d, context(1), f));
    MMS_TRY(readBits(f, p.parameterCbb, p.parameterCbbBits));
    MMS_TRY(nextWithTag(d, context(2), f));
    MMS_TRY(readBits(f, p.servicesSupported, p.servicesSupportedBits));
    // Extensions (e.g. additional CBBs) may follow; they are not used here.
    out = std::move(p);
    return Status::Ok;
}

// ---- Confirmed services -----------------------------------------------------------------

Status Decoder::getNameList(const Element& e, GetNameListRequest& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    GetNameListRequest req;
    Element f, choice;
    MMS_TRY(nextWithTag(r, context(0, true), f));
    MMS_TRY(inner(f, choice));
    MMS_TRY(expectTag(choice, context(0)));
    std::uint8_t cls = 0;
    MMS_TRY(readInt(choice, cls));
    req.objectClass = static_cast<ObjectClass>(cls);
    MMS_TRY(nextWithTag(r, context(1, true), f));
    MMS_TRY(inner(f, choice));
    if (choice.tag == context(0) || choice.tag == context(2)) {
        MMS_TRY(readNull(choice));
        req.scope = choice.tag.number == 0 ? GetNameListRequest::Scope::Vmd : GetNameListRequest::Scope::Association;
    } else {
        MMS_TRY(expectTag(choice, context(1)));
        req.scope = GetNameListRequest::Scope::Domain;
        MMS_TRY(readString(choice, req.domain));
    }
    if (nextIf(r, context(2), f)) {
        std::string after;
        MMS_TRY(readString(f, after));
        req.continueAfter = std::move(after);
    }
    MMS_TRY(atEnd(r));
    out = std::move(req);
    return Status::Ok;
}

Status Decoder::getNameList(const Element& e, GetNameListResponse& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    GetNameListResponse rsp;
    Element f;
    MMS_TRY(nextWithTag(r, context(0, true), f));
    MMS_TRY(list(f, rsp.identifiers, [](const Element& item, std::string& s) {
        MMS_TRY(expectTag(item, kVisibleString));
        return readString(item, s);
    }));
    if (nextIf(r, context(1), f))
        MMS_TRY(readBool(f, rsp.moreFollows));
    MMS_TRY(atEnd(r));
    out = std::move(rsp);
    return Status::Ok;
}

Status Decoder::identify(const Element& e, IdentifyResponse& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    IdentifyResponse rsp;
    Element f;
    MMS_TRY(nextWithTag(r, context(0), f));
    MMS_TRY(readText(f, rsp.vendor));
    MMS_TRY(nextWithTag(r, context(1), f));
    MMS_TRY(readText(f, rsp.model));
    MMS_TRY(nextWithTag(r, context(2), f));
    MMS_TRY(readText(f, rsp.revision));
    nextIf(r, context(3, true), f);  // listOfAbstractSyntaxes: not kept
    MMS_TRY(atEnd(r));
    out = std::move(rsp);
    return Status::Ok;
}

Status Decoder::read(const Element& e, ReadRequest& out)
{
    ReadRequestView view;
    MMS_TRY(readView(e, view, limits_.maxListItems));
    out = ReadRequest{view.specificationWithResult, owned(view.listName, view.variables)};
    return Status::Ok;
}

Status Decoder::read(const Element& e, ReadResponse& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    ReadResponse rsp;
    Element f;
    if (nextIf(r, context(0, true), f)) {
        Element access;
        VariableAccessSpec s;
        MMS_TRY(inner(f, access));
        MMS_TRY(variableAccessSpec(access, s));
        rsp.access = std::move(s);
    }
    MMS_TRY(nextWithTag(r, context(1, true), f));
    MMS_TRY(accessResults(f, rsp.results));
    MMS_TRY(atEnd(r));
    out = std::move(rsp);
    return Status::Ok;
}

Status Decoder::write(const Element& e, WriteRequest& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    WriteRequest req;
    Element f;
    MMS_TRY(r.next(f));
    MMS_TRY(variableAccessSpec(f, req.access));
    MMS_TRY(nextWithTag(r, context(0, true), f));
    MMS_TRY(list(f, req.data, [this](const Element& item, Value& v) {
        return Value::decodeData(item, v, limits_.maxDepth);
    }));
    MMS_TRY(atEnd(r));
    out = std::move(req);
    return Status::Ok;
}

Status Decoder::write(const Element& e, WriteResponse& out)
{
    WriteResponse rsp;
    MMS_TRY(list(e, rsp.results, [](const Element& item, WriteResult& w) {
        if (item.tag == context(1))
            return readNull(item);
        MMS_TRY(expectTag(item, context(0)));
        std::uint8_t code = 0;
        MMS_TRY(readInt(item, code));
        w.failure = static_cast<DataAccessError>(code);
        return Status::Ok;
    }));
    out = std::move(rsp);
    return Status::Ok;
}

Status Decoder::status(const Element& e, StatusResponse& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    StatusResponse rsp;
    Element f;
    MMS_TRY(nextWithTag(r, context(0), f));
    MMS_TRY(readInt(f, rsp.logicalStatus));
    MMS_TRY(nextWithTag(r, context(1), f));
    MMS_TRY(readInt(f, rsp.physicalStatus));
    nextIf(r, context(2), f);  // localDetail: not kept
    MMS_TRY(atEnd(r));
    out = rsp;
    return Status::Ok;
}

Status Decoder::getVariableAccessAttributes(const Element& e, GetVariableAccessAttributesResponse& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    GetVariableAccessAttributesResponse rsp;
    Element f, type;
    MMS_TRY(nextWithTag(r, context(0), f));
    MMS_TRY(readBool(f, rsp.mmsDeletable));
    nextIf(r, context(1, true), f);  // address: not kept
    MMS_TRY(nextWithTag(r, context(2, true), f));
    MMS_TRY(inner(f, type));
    MMS_TRY(TypeDescription::decode(type, rsp.type, limits_.maxDepth));
    MMS_TRY(atEnd(r));
    out = std::move(rsp);
    return Status::Ok;
}

Status Decoder::defineNamedVariableList(const Element& e, DefineNamedVariableListRequest& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    DefineNamedVariableListRequest req;
    Element f;
    MMS_TRY(r.next(f));
    MMS_TRY(objectName(f, req.name));
    MMS_TRY(nextWithTag(r, context(0, true), f));
    MMS_TRY(variableSpecs(f, req.variables));
    MMS_TRY(atEnd(r));
    out = std::move(req);
    return Status::Ok;
}

Status Decoder::getNamedVariableListAttributes(const Element& e, GetNamedVariableListAttributesResponse& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    GetNamedVariableListAttributesResponse rsp;
    Element f;
    MMS_TRY(nextWithTag(r, context(0), f));
    MMS_TRY(readBool(f, rsp.mmsDeletable));
    MMS_TRY(nextWithTag(r, context(1, true), f));
    MMS_TRY(variableSpecs(f, rsp.variables));
    nextIf(r, context(2, true), f);  // accessControlList: not kept
    MMS_TRY(atEnd(r));
    out = std::move(rsp);
    return Status::Ok;
}

Status Decoder::deleteNamedVariableList(const Element& e, DeleteNamedVariableListRequest& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    DeleteNamedVariableListRequest req;
    Element f;
    if (nextIf(r, context(0), f)) {
        std::uint8_t scope = 0;
        MMS_TRY(readInt(f, scope));
        if (scope > 3)
            return Status::BadValue;
        req.scope = static_cast<DeleteNamedVariableListRequest::Scope>(scope);
    }
    if (nextIf(r, context(1, true), f))
        MMS_TRY(list(f, req.names, [this](const Element& item, ObjectName& n) { return objectName(item, n); }));
    if (nextIf(r, context(2), f)) {
        std::string domain;
        MMS_TRY(readString(f, domain));
        req.domain = std::move(domain);
    }
    MMS_TRY(atEnd(r));
    out = std::move(req);
    return Status::Ok;
}

Status Decoder::deleteNamedVariableList(const Element& e, DeleteNamedVariableListResponse& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    DeleteNamedVariableListResponse rsp;
    Element f;
    MMS_TRY(nextWithTag(r, context(0), f));
    MMS_TRY(readInt(f, rsp.numberMatched));
    MMS_TRY(nextWithTag(r, context(1), f));
    MMS_TRY(readInt(f, rsp.numberDeleted));
    MMS_TRY(atEnd(r));
    out = rsp;
    return Status::Ok;
}

Status Decoder::requestService(const Element& e, ConfirmedRequestService& out)
{
    namespace st = service_tag;
    if (e.tag.cls != ber::TagClass::Context)
        return Status::BadTag;
    switch (e.tag.number) {
    case st::Status: {
        StatusRequest req;
        MMS_TRY(expectTag(e, context(0)));
        MMS_TRY(readBool(e, req.extendedDerivation));
        out = req;
        return Status::Ok;
    }
    case st::GetNameList: {
        GetNameListRequest req;
        MMS_TRY(getNameList(e, req));
        out = std::move(req);
        return Status::Ok;
    }
    case st::Identify:
        MMS_TRY(readNull(e));
        out = IdentifyRequest{};
        return Status::Ok;
    case st::Read: {
        ReadRequest req;
        MMS_TRY(read(e, req));
        out = std::move(req);
        return Status::Ok;
    }
    case st::Write: {
        WriteRequest req;
        MMS_TRY(write(e, req));
        out = std::move(req);
        return Status::Ok;
    }
    case st::GetVariableAccessAttributes: {
        GetVariableAccessAttributesRequest req;
        Element choice, name;
        MMS_TRY(inner(e, choice));
        MMS_TRY(expectTag(choice, context(0, true)));  // by address: not supported
        MMS_TRY(inner(choice, name));
        MMS_TRY(objectName(name, req.name));
        out = std::move(req);
        return Status::Ok;
    }
    case st::DefineNamedVariableList: {
        DefineNamedVariableListRequest req;
        MMS_TRY(defineNamedVariableList(e, req));
        out = std::move(req);
        return Status::Ok;
    }
    case st::GetNamedVariableListAttributes: {
        GetNamedVariableListAttributesRequest req;
        Element name;
        MMS_TRY(inner(e, name));
        MMS_TRY(objectName(name, req.name));
        out = std::move(req);
        return Status::Ok;
    }
    case st::DeleteNamedVariableList: {
        DeleteNamedVariableListRequest req;
        MMS_TRY(deleteNamedVariableList(e, req));
        out = std::move(req);
        return Status::Ok;
    }
    default:
        out = UnrecognizedService{e.tag.number, Bytes(e.whole.begin(), e.whole.end())};
        return Status::Ok;
    }
}

Status Decoder::responseService(const Element& e, ConfirmedResponseService& out)
{
    namespace st = service_tag;
    if (e.tag.cls != ber::TagClass::Context)
        return Status::BadTag;
    switch (e.tag.number) {
    case st::Status: {
        StatusResponse rsp;
        MMS_TRY(status(e, rsp));
        out = rsp;
        return Status::Ok;
    }
    case st::GetNameList: {
        GetNameListResponse rsp;
        MMS_TRY(getNameList(e, rsp));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::Identify: {
        IdentifyResponse rsp;
        MMS_TRY(identify(e, rsp));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::Read: {
        ReadResponse rsp;
        MMS_TRY(read(e, rsp));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::Write: {
        WriteResponse rsp;
        MMS_TRY(write(e, rsp));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::GetVariableAccessAttributes: {
        GetVariableAccessAttributesResponse rsp;
        MMS_TRY(getVariableAccessAttributes(e, rsp));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::DefineNamedVariableList:
        MMS_TRY(readNull(e));
        out = DefineNamedVariableListResponse{};
        return Status::Ok;
    case st::GetNamedVariableListAttributes: {
        GetNamedVariableListAttributesResponse rsp;
        MMS_TRY(getNamedVariableListAttributes(e, rsp));
        out = std::move(rsp);
        return Status::Ok;
    }
    case st::DeleteNamedVariableList: {
        DeleteNamedVariableListResponse rsp;
        MMS_TRY(deleteNamedVariableList(e, rsp));
        out = rsp;
        return Status::Ok;
    }
    default:
        out = UnrecognizedService{e.tag.number, Bytes(e.whole.begin(), e.whole.end())};
        return Status::Ok;
    }
}

Status Decoder::confirmedRequest(const Element& e, ConfirmedRequest& out)
{
    ConfirmedRequest req;
    Element service;
    MMS_TRY(confirmedEnvelope(e, req.invokeId, service));
    MMS_TRY(requestService(service, req.service));
    out = std::move(req);
    return Status::Ok;
}

Status Decoder::confirmedResponse(const Element& e, ConfirmedResponse& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    ConfirmedResponse rsp;
    Element f;
    MMS_TRY(nextWithTag(r, kInteger, f));
    MMS_TRY(readInt(f, rsp.invokeId));
    MMS_TRY(r.next(f));
    MMS_TRY(responseService(f, rsp.service));
    out = std::move(rsp);
    return Status::Ok;
}

Status Decoder::informationReport(const Element& e, InformationReport& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    Element f;
    MMS_TRY(nextWithTag(r, context(0, true), f));  // informationReport; other unconfirmed services unsupported
    MMS_TRY(atEnd(r));
    Reader body(ByteView{});
    MMS_TRY(open(f, body));
    InformationReport report;
    MMS_TRY(body.next(f));
    MMS_TRY(variableAccessSpec(f, report.access));
    MMS_TRY(nextWithTag(body, context(0, true), f));
    MMS_TRY(accessResults(f, report.results));
    MMS_TRY(atEnd(body));
    out = std::move(report);
    return Status::Ok;
}

Status Decoder::reject(const Element& e, RejectPdu& out)
{
    Reader r(ByteView{});
    MMS_TRY(open(e, r));
    RejectPdu rej;
    Element f;
    if (nextIf(r, context(0), f)) {
        std::uint32_t id = 0;
        MMS_TRY(readInt(f, id));
        rej.invokeId = id;
    }
    MMS_TRY(r.next(f));
    if (f.tag.cls != ber::TagClass::Context || f.tag.number < 1 || f.tag.number > 11)
        return Status::BadTag;
    rej.rejectClass = static_cast<RejectClass>(f.tag.number);
    MMS_TRY(readInt(f, rej.code));
    MMS_TRY(atEnd(r));
    out = rej;
    return Status::Ok;
}

Status Decoder::pdu(const Element& e, Pdu& out)
{
    using namespace pdu_tag;
    if (e.tag.cls != ber::TagClass::Context)
        return Status::BadTag;
    switch (e.tag.number) {
    case ConfirmedRequest: {
        mms::ConfirmedRequest p;
        MMS_TRY(confirmedRequest(e, p));
        out = std::move(p);
        return Status::Ok;
    }
    case ConfirmedResponse: {
        mms::ConfirmedResponse p;
        MMS_TRY(confirmedResponse(e, p));
        out = std::move(p);
        return Status::Ok;
    }
    case ConfirmedError: {
        mms::ConfirmedError p;
        Reader r(ByteView{});
        Element f;
        MMS_TRY(open(e, r));
        MMS_TRY(nextWithTag(r, context(0), f));
        MMS_TRY(readInt(f, p.invokeId));
        nextIf(r, context(1), f);  // modifierPosition
        MMS_TRY(nextWithTag(r, context(2, true), f));
        MMS_TRY(serviceError(f, p.error));
        MMS_TRY(atEnd(r));
        out = std::move(p);
        return Status::Ok;
    }
    case Unconfirmed: {
        UnconfirmedPdu p;
        MMS_TRY(informationReport(e, p.report));
        out = std::move(p);
        return Status::Ok;
    }
    case Reject: {
        RejectPdu p;
        MMS_TRY(reject(e, p));
        out = p;
        return Status::Ok;
    }
    case CancelRequest:
    case CancelResponse: {
        std::uint32_t id = 0;
        MMS_TRY(readInt(e, id));
        if (e.tag.number == CancelRequest)
            out = mms::CancelRequest{id};
        else
            out = mms::CancelResponse{id};
        return Status::Ok;
    }
    case CancelError: {
        mms::CancelError p;
        Reader r(ByteView{});
        Element f;
        MMS_TRY(open(e, r));
        MMS_TRY(nextWithTag(r, context(0), f));
        MMS_TRY(readInt(f, p.invokeId));
        MMS_TRY(nextWithTag(r, context(1, true), f));
        MMS_TRY(serviceError(f, p.error));
        MMS_TRY(atEnd(r));
        out = std::move(p);
        return Status::Ok;
    }
    case InitiateRequest:
    case InitiateResponse: {
        InitiateParameters params;
        MMS_TRY(initiate(e, params));
        if (e.tag.number == InitiateRequest)
            out = mms::InitiateRequest{std::move(params)};
        else
            out = mms::InitiateResponse{std::move(params)};
        return Status::Ok;
    }
    case InitiateError:
    case ConcludeError: {
        ServiceError err;
        MMS_TRY(serviceError(e, err));
        if (e.tag.number == InitiateError)
            out = mms::InitiateError{std::move(err)};
        else
            out = mms::ConcludeError{std::move(err)};
        return Status::Ok;
    }
    case ConcludeRequest:
        MMS_TRY(readNull(e));
        out = mms::ConcludeRequest{};
        return Status::Ok;
    case ConcludeResponse:
        MMS_TRY(readNull(e));
        out = mms::ConcludeResponse{};
        return Status::Ok;
    default: return Status::BadTag;
    }
}

// ---- Encoding ------------------------------------------------------------------------------

void encodeVariableSpecs(ber::Writer& w, Tag tag, const std::vector<VariableSpec>& vars)
{
    const auto m = w.begin(tag);
    for (const VariableSpec& v : vars) {
        const auto seq = w.begin(kSequence);
        const auto name = w.begin(context(0, true));
        encodeObjectName(w, v.name);
        w.end(name);
        if (!v.alternateAccess.empty())
            w.primitive(context(5, true), v.alternateAccess);
        w.end(seq);
    }
    w.end(m);
}

void encodeServiceError(ber::Writer& w, Tag tag, const ServiceError& err)
{
    const auto m = w.begin(tag);
    const auto cls = w.begin(context(0, true));
    w.integer(context(static_cast<std::uint32_t>(err.errorClass)), err.code);
    w.end(cls);
    if (err.additionalCode)
        w.integer(context(1), *err.additionalCode);
    if (err.additionalDescription)
        w.string(context(2), *err.additionalDescription);
    w.end(m);
}

void encodeInitiate(ber::Writer& w, Tag tag, const InitiateParameters& p)
{
    const auto m = w.begin(tag);
    if (p.localDetail)
        w.integer(context(0), *p.localDetail);
    w.integer(context(1), p.maxServOutstandingCalling);
    w.integer(context(2), p.maxServOutstandingCalled);
    if (p.dataStructureNestingLevel)
        w.integer(context(3), *p.dataStructureNestingLevel);
    const auto d = w.begin(context(4, true));
    w.integer(context(0), p.version);
    w.bitString(context(1), p.parameterCbb, p.parameterCbbBits);
    w.bitString(context(2), p.servicesSupported, p.servicesSupportedBits);
    w.end(d);
    w.end(m);
}

void encodeAccessResults(ber::Writer& w, Tag tag, std::span<const Value* const> results)
{
    const auto m = w.begin(tag);
    for (const Value* v : results)
        v->encode(w);
    w.end(m);
}

void encodeAccessResults(ber::Writer& w, Tag tag, const std::vector<Value>& results)
{
    const auto m = w.begin(tag);
    for (const Value& v : results)
        v.encode(w);
    w.end(m);
}

struct ServiceEncoder {
    ber::Writer& w;
    std::uint32_t tag;

    void operator()(const StatusRequest& s) const { wire::putBoolean(w, context(tag), s.extendedDerivation); }
    void operator()(const StatusResponse& s) const
    {
        const auto m = w.begin(context(tag));
        w.integer(context(0), s.logicalStatus);
        w.integer(context(1), s.physicalStatus);
        w.end(m);
    }
    void operator()(const GetNameListRequest& s) const
    {
        const auto m = w.begin(context(tag));
        const auto cls = w.begin(context(0, true));
        w.integer(context(0), static_cast<std::uint8_t>(s.objectClass));
        w.end(cls);
        const auto scope = w.begin(context(1, true));
        if (s.scope == GetNameListRequest::Scope::Domain)
            w.string(context(1), s.domain);
        else
            w.null(context(static_cast<std::uint32_t>(s.scope)));
        w.end(scope);
        if (s.continueAfter)
            w.string(context(2), *s.continueAfter);
        w.end(m);
    }
    void operator()(const GetNameListResponse& s) const
    {
        const auto m = w.begin(context(tag));
        const auto ids = w.begin(context(0, true));
        for (const std::string& id : s.identifiers)
            w.string(kVisibleString, id);
        w.end(ids);
        if (!s.moreFollows)
            wire::putBoolean(w, context(1), false);
        w.end(m);
    }
    void operator()(const IdentifyRequest&) const { w.null(context(tag)); }
    void operator()(const IdentifyResponse& s) const
    {
        const auto m = w.begin(context(tag));
        w.string(context(0), s.vendor);
        w.string(context(1), s.model);
        w.string(context(2), s.revision);
        w.end(m);
    }
    void operator()(const ReadRequest& s) const
    {
        const auto m = w.begin(context(tag));
        if (s.specificationWithResult)
            wire::putBoolean(w, context(0), true);
        const auto access = w.begin(context(1, true));
        encodeVariableAccessSpec(w, s.access);
        w.end(access);
        w.end(m);
    }
    void operator()(const ReadResponse& s) const
    {
        const auto m = w.begin(context(tag));
        if (s.access) {
            const auto access = w.begin(context(0, true));
            encodeVariableAccessSpec(w, *s.access);
            w.end(access);
        }
        encodeAccessResults(w, context(1, true), s.results);
        w.end(m);
    }
    void operator()(const WriteRequest& s) const
    {
        const auto m = w.begin(context(tag));
        encodeVariableAccessSpec(w, s.access);
        const auto data = w.begin(context(0, true));
        for (const Value& v : s.data)
            v.encode(w);
        w.end(data);
        w.end(m);
    }
    void operator()(const WriteResponse& s) const
    {
        const auto m = w.begin(context(tag));
        for (const WriteResult& r : s.results) {
            if (r.failure)
                w.integer(context(0), static_cast<std::uint8_t>(*r.failure));
            else
                w.null(context(1));
        }
        w.end(m);
    }
    void operator()(const GetVariableAccessAttributesRequest& s) const
    {
        const auto m = w.begin(context(tag));
        const auto name = w.begin(context(0, true));
        encodeObjectName(w, s.name);
        w.end(name);
        w.end(m);
    }
    void operator()(const GetVariableAccessAttributesResponse& s) const
    {
        const auto m = w.begin(context(tag));
        wire::putBoolean(w, context(0), s.mmsDeletable);
        const auto type = w.begin(context(2, true));
        s.type.encode(w);
        w.end(type);
        w.end(m);
    }
    void operator()(const DefineNamedVariableListRequest& s) const
    {
        const auto m = w.begin(context(tag));
        encodeObjectName(w, s.name);
        encodeVariableSpecs(w, context(0, true), s.variables);
        w.end(m);
    }
    void operator()(const DefineNamedVariableListResponse&) const { w.null(context(tag)); }
    void operator()(const GetNamedVariableListAttributesRequest& s) const
    {
        const auto m = w.begin(context(tag));
        encodeObjectName(w, s.name);
        w.end(m);
    }
    void operator()(const GetNamedVariableListAttributesResponse& s) const
    {
        const auto m = w.begin(context(tag));
        wire::putBoolean(w, context(0), s.mmsDeletable);
        encodeVariableSpecs(w, context(1, true), s.variables);
        w.end(m);
    }
    void operator()(const DeleteNamedVariableListRequest& s) const
    {
        const auto m = w.begin(context(tag));
        if (s.scope != DeleteNamedVariableListRequest::Scope::Specific)
            w.integer(context(0), static_cast<std::uint8_t>(s.scope));
        if (!s.names.empty()) {
            const auto names = w.begin(context(1, true));
            for (const ObjectName& n : s.names)
                encodeObjectName(w, n);
            w.end(names);
        }
        if (s.domain)
            w.string(context(2), *s.domain);
        w.end(m);
    }
    void operator()(const DeleteNamedVariableListResponse& s) const
    {
        const auto m = w.begin(context(tag));
        w.unsignedInteger(context(0), s.numberMatched);
        w.unsignedInteger(context(1), s.numberDeleted);
        w.end(m);
    }
    void operator()(const UnrecognizedService& s) const { w.raw(s.encoded); }
};

template <typename Service>
std::uint32_t tagOfService(const Service& s)
{
    namespace st = service_tag;
    constexpr std::uint32_t tags[] = {st::Status, st::GetNameList, st::Identify, st::Read, st::Write, st::GetVariableAccessAttributes,
                                      st::DefineNamedVariableList, st::GetNamedVariableListAttributes,
                                      st::DeleteNamedVariableList};
    if (const auto* u = std::get_if<UnrecognizedService>(&s))
        return u->tag;
    return tags[s.index()];
}

struct PduEncoder {
    ber::Writer& w;

    void operator()(const ConfirmedRequest& p) const
    {
        const auto m = w.begin(context(pdu_tag::ConfirmedRequest, true));
        w.unsignedInteger(kInteger, p.invokeId);
        std::visit(ServiceEncoder{w, serviceTag(p.service)}, p.service);
        w.end(m);
    }
    void operator()(const ConfirmedResponse& p) const
    {
        const auto m = w.begin(context(pdu_tag::ConfirmedResponse, true));
        w.unsignedInteger(kInteger, p.invokeId);
        std::visit(ServiceEncoder{w, serviceTag(p.service)}, p.service);
        w.end(m);
    }
    void operator()(const ConfirmedError& p) const
    {
        const auto m = w.begin(context(pdu_tag::ConfirmedError, true));
        w.unsignedInteger(context(0), p.invokeId);
        encodeServiceError(w, context(2, true), p.error);
        w.end(m);
    }
    void operator()(const UnconfirmedPdu& p) const
    {
        const auto m = w.begin(context(pdu_tag::Unconfirmed, true));
        const auto report = w.begin(context(0, true));
        encodeVariableAccessSpec(w, p.report.access);
        encodeAccessResults(w, context(0, true), p.report.results);
        w.end(report);
        w.end(m);
    }
    void operator()(const RejectPdu& p) const
    {
        const auto m = w.begin(context(pdu_tag::Reject, true));
        if (p.invokeId)
            w.unsignedInteger(context(0), *p.invokeId);
        w.integer(context(static_cast<std::uint32_t>(p.rejectClass)), p.code);
        w.end(m);
    }
    void operator()(const CancelRequest& p) const { w.unsignedInteger(context(pdu_tag::CancelRequest), p.invokeId); }
    void operator()(const CancelResponse& p) const { w.unsignedInteger(context(pdu_tag::CancelResponse), p.invokeId); }
    void operator()(const CancelError& p) const
    {
        const auto m = w.begin(context(pdu_tag::CancelError, true));
        w.unsignedInteger(context(0), p.invokeId);
        encodeServiceError(w, context(1, true), p.error);
        w.end(m);
    }
    void operator()(const InitiateRequest& p) const { encodeInitiate(w, context(pdu_tag::InitiateRequest, true), p.params); }
    void operator()(const InitiateResponse& p) const { encodeInitiate(w, context(pdu_tag::InitiateResponse, true), p.params); }
    void operator()(const InitiateError& p) const { encodeServiceError(w, context(pdu_tag::InitiateError, true), p.error); }
    void operator()(const ConcludeRequest&) const { w.null(context(pdu_tag::ConcludeRequest)); }
    void operator()(const ConcludeResponse&) const { w.null(context(pdu_tag::ConcludeResponse)); }
    void operator()(const ConcludeError& p) const { encodeServiceError(w, context(pdu_tag::ConcludeError, true), p.error); }
};

}  // namespace

// ---- Public API ------------------------------------------------------------------------------

std::uint32_t serviceTag(const ConfirmedRequestService& s) { return tagOfService(s); }
std::uint32_t serviceTag(const ConfirmedResponseService& s) { return tagOfService(s); }

Status decodePdu(ByteView bytes, Pdu& out, const DecodeLimits& limits)
{
    Element e;
    MMS_TRY(ber::decodeElement(bytes, e));
    if (e.whole.size() != bytes.size())
        return Status::BadLength;
    Pdu pdu;
    MMS_TRY(Decoder(limits).pdu(e, pdu));
    out = std::move(pdu);
    return Status::Ok;
}

Status decodeObjectName(const ber::Element& e, ObjectName& out)
{
    const DecodeLimits limits;
    return Decoder(limits).objectName(e, out);
}

std::optional<std::uint32_t> peekInvokeId(ByteView bytes)
{
    Element e, f;
    if (ber::decodeElement(bytes, e) != Status::Ok || e.tag != context(pdu_tag::ConfirmedRequest, true))
        return std::nullopt;
    Reader r(e.content);
    std::uint32_t id = 0;
    if (r.next(f) != Status::Ok || f.tag != kInteger || readInt(f, id) != Status::Ok)
        return std::nullopt;
    return id;
}

void encodePdu(ber::Writer& w, const Pdu& pdu)
{
    std::visit(PduEncoder{w}, pdu);
}

Bytes encodePdu(const Pdu& pdu)
{
    ber::Writer w;
    encodePdu(w, pdu);
    return w.take();
}

bool isReadRequest(ByteView pdu)
{
    Element e, service;
    std::uint32_t invokeId = 0;
    return ber::decodeElement(pdu, e) == Status::Ok && e.tag == context(pdu_tag::ConfirmedRequest, true) &&
           confirmedEnvelope(e, invokeId, service) == Status::Ok && service.tag.is(ber::TagClass::Context, service_tag::Read);
}

Status decodeReadRequest(ByteView pdu, ReadRequestView& out, const DecodeLimits& limits)
{
    Element e, service;
    MMS_TRY(ber::decodeElement(pdu, e));
    if (e.whole.size() != pdu.size())
        return Status::BadLength;
    MMS_TRY(expectTag(e, context(pdu_tag::ConfirmedRequest, true)));
    MMS_TRY(confirmedEnvelope(e, out.invokeId, service));
    MMS_TRY(expectTag(service, context(service_tag::Read, true)));
    return readView(service, out, limits.maxListItems);
}

ReadResponseWriter::ReadResponseWriter(ber::Writer& w, std::uint32_t invokeId, ByteView echoedSpec) : w_(w)
{
    pdu_ = w.begin(context(pdu_tag::ConfirmedResponse, true));
    w.unsignedInteger(kInteger, invokeId);
    read_ = w.begin(context(service_tag::Read, true));
    if (!echoedSpec.empty()) {
        const auto access = w.begin(context(0, true));
        w.raw(echoedSpec);
        w.end(access);
    }
    results_ = w.begin(context(1, true));
}

void ReadResponseWriter::close()
{
    w_.end(results_);
    w_.end(read_);
    w_.end(pdu_);
}

void encodeInformationReport(ber::Writer& w, const VariableAccessSpec& access, std::span<const Value* const> results)
{
    const auto m = w.begin(context(pdu_tag::Unconfirmed, true));
    const auto report = w.begin(context(0, true));
    encodeVariableAccessSpec(w, access);
    encodeAccessResults(w, context(0, true), results);
    w.end(report);
    w.end(m);
}

void encodeObjectName(ber::Writer& w, const ObjectName& n)
{
    switch (n.scope) {
    case ObjectName::Scope::Vmd: w.string(context(0), n.item); return;
    case ObjectName::Scope::Association: w.string(context(2), n.item); return;
    case ObjectName::Scope::Domain: {
        const auto m = w.begin(context(1, true));
        w.string(kVisibleString, n.domain);
        w.string(kVisibleString, n.item);
        w.end(m);
        return;
    }
    }
}

void encodeVariableAccessSpec(ber::Writer& w, const VariableAccessSpec& s)
{
    if (s.listName) {
        const auto m = w.begin(context(1, true));
        encodeObjectName(w, *s.listName);
        w.end(m);
        return;
    }
    encodeVariableSpecs(w, context(0, true), s.variables);
}

}  // namespace iec61850::mms
