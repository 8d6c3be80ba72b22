#include "iec61850/scl/scl_export.hpp"

#include "iec61850/ied/mms_value_api.hpp"
#include "iec61850/scl/data_types.hpp"
#include "iec61850/scl/xml_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <sstream>

namespace iec61850::scl {

namespace {

std::vector<std::string_view> splitPath(std::string_view path, char separator)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = path.find(separator, start);
        parts.push_back(path.substr(start, end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

std::string join(std::span<const std::string_view> parts, char separator)
{
    std::string text;
    for (std::string_view p : parts) {
        if (!text.empty())
            text += separator;
        text += p;
    }
    return text;
}

void lnAttributes(Element& e, const LnName& name, const char* instAttribute)
{
    if (!name.prefix.empty())
        e.attribute("prefix", name.prefix);
    e.attribute("lnClass", name.lnClass);
    if (!name.inst.empty())
        e.attribute(instAttribute, name.inst);
}

class Document {
public:
    Document(std::ostream& out, IedModel& model, const ExportOptions& options)
        : xml_(out), model_(model), options_(options), types_(options)
    {
    }

    void write()
    {
        xml_.declaration();
        Element scl(xml_, "SCL");
        scl.attribute("xmlns", "http://www.iec.ch/61850/2003/SCL")
            .attribute("version", "2007")
            .attribute("revision", "B")
            .attribute("release", 4);
        header();
        communication();
        ied();
        types_.write(xml_);
    }

private:
    void header()
    {
        Element h(xml_, "Header");
        h.attribute("id", model_.name)
            .attribute("version", options_.configVersion)
            .attribute("toolID", options_.toolId)
            .attribute("nameStructure", "IEDName");
    }

    void communication()
    {
        Element c(xml_, "Communication");
        Element net(xml_, "SubNetwork");
        net.attribute("name", options_.subNetwork).attribute("type", "8-MMS");
        Element ap(xml_, "ConnectedAP");
        ap.attribute("iedName", model_.name).attribute("apName", options_.accessPoint);
        Element address(xml_, "Address");
        xml_.open("P").attribute("type", "IP").text(options_.ipAddress);
        xml_.close();
        xml_.open("P").attribute("type", "MMS-Port").text(std::to_string(options_.mmsPort));
        xml_.close();
    }

    void ied()
    {
        Element ied(xml_, "IED");
        ied.attribute("name", model_.name);
        if (!options_.description.empty())
            ied.attribute("desc", options_.description);
        if (!options_.iedType.empty())
            ied.attribute("type", options_.iedType);
        if (!options_.manufacturer.empty())
            ied.attribute("manufacturer", options_.manufacturer);
        ied.attribute("configVersion", options_.configVersion);
        services();
        Element ap(xml_, "AccessPoint");
        ap.attribute("name", options_.accessPoint);
        Element server(xml_, "Server");
        Element(xml_, "Authentication").flag("none", true);
        for (LogicalDevice* ld = model_.firstChild; ld; ld = static_cast<LogicalDevice*>(ld->sibling))
            device(*ld);
    }

    void services()
    {
        int dataSets = 0, maxMembers = 0, reports = 0, logs = 0;
        for (const DataSet* s = model_.dataSets; s; s = s->sibling, ++dataSets)
            maxMembers = std::max(maxMembers, s->elementCount);
        for (const ReportControlBlock* r = model_.rcbs; r; r = r->sibling)
            ++reports;
        for (const LogControlBlock* l = model_.lcbs; l; l = l->sibling)
            ++logs;
        Element services(xml_, "Services");
        Element(xml_, "DynAssociation");
        Element(xml_, "GetDirectory");
        Element(xml_, "GetDataObjectDefinition");
        Element(xml_, "DataObjectDirectory");
        Element(xml_, "GetDataSetValue");
        Element(xml_, "DataSetDirectory");
        Element(xml_, "ConfDataSet").attribute("max", dataSets).attribute("maxAttributes", maxMembers);
        Element(xml_, "ReadWrite");
        Element(xml_, "ConfReportControl").attribute("max", reports);
        Element(xml_, "GetCBValues");
        Element(xml_, "ConfLogControl").attribute("max", logs);
        Element(xml_, "ReportSettings")
            .attribute("cbName", "Fix")
            .attribute("datSet", "Fix")
            .attribute("rptID", "Dyn")
            .attribute("optFields", "Dyn")
            .attribute("bufTime", "Dyn")
            .attribute("trgOps", "Dyn")
            .attribute("intgPd", "Dyn");
        Element(xml_, "LogSettings")
            .attribute("cbName", "Fix")
            .attribute("datSet", "Fix")
            .attribute("logEna", "Dyn")
            .attribute("trgOps", "Dyn")
            .attribute("intgPd", "Dyn");
        Element(xml_, "FileHandling");
        Element(xml_, "ConfLNs").flag("fixPrefix", true).flag("fixLnInst", true);
    }

    void device(LogicalDevice& ld)
    {
        Element d(xml_, "LDevice");
        d.attribute("inst", ld.name);
        for (ModelNode* n = ld.firstChild; n; n = n->sibling)
            node(ld, *static_cast<LogicalNode*>(n));
    }

    void node(LogicalDevice& ld, LogicalNode& ln)
    {
        const LnName name = splitLnName(ln.name);
        const bool zero = name.lnClass == "LLN0";
        const std::string type = types_.nodeType(ln);
        Element e(xml_, zero ? "LN0" : "LN");
        if (!name.prefix.empty())
            e.attribute("prefix", name.prefix);
        e.attribute("lnClass", name.lnClass).attribute("inst", name.inst).attribute("lnType", type);
        dataSets(ld, ln);
        reportControls(ln);
        logControls(ld, ln);
        if (options_.values)
            for (ModelNode* o = ln.firstChild; o; o = o->sibling)
                objectValues(*o);
        for (const Log* log = model_.logs; log; log = log->sibling)
            if (log->parent == &ln)
                Element(xml_, "Log").attribute("name", log->name);
    }

    void dataSets(LogicalDevice& ld, LogicalNode& ln)
    {
        const std::string prefix = std::string(ln.name) + "$";
        for (const DataSet* s = model_.dataSets; s; s = s->sibling) {
            const std::string_view name = s->name;
            if (std::strcmp(s->logicalDeviceName, ld.name) != 0 || !name.starts_with(prefix))
                continue;
            Element set(xml_, "DataSet");
            set.attribute("name", name.substr(prefix.size()));
            for (const DataSetEntry* e = s->fcdas; e; e = e->sibling)
                member(*e);
        }
    }

    // "LN$FC$DO[$SDO...][$DA...]": the data object part ends where the
    // model's attributes begin.
    void member(const DataSetEntry& entry)
    {
        const std::vector<std::string_view> parts = splitPath(entry.variableName, '$');
        Element fcda(xml_, "FCDA");
        fcda.attribute("ldInst", entry.logicalDeviceName);
        lnAttributes(fcda, splitLnName(parts[0]), "lnInst");
        if (parts.size() < 3) {
            fcda.attribute("fc", parts.size() > 1 ? parts[1] : "");
            return;
        }
        std::size_t objectParts = 1;
        ModelNode* n = nodeOf(entry.logicalDeviceName, parts[0]);
        n = n ? ModelNode_getChild(n, std::string(parts[2]).c_str()) : nullptr;
        for (std::size_t i = 3; n && i < parts.size(); ++i) {
            n = ModelNode_getChild(n, std::string(parts[i]).c_str());
            if (!n || n->modelType != DataObjectModelType)
                break;
            ++objectParts;
        }
        const auto tail = std::span(parts).subspan(2);
        fcda.attribute("doName", join(tail.first(objectParts), '.'));
        if (tail.size() > objectParts)
            fcda.attribute("daName", join(tail.subspan(objectParts), '.'));
        fcda.attribute("fc", parts[1]);
        if (entry.index >= 0)
            fcda.attribute("ix", entry.index);
    }

    ModelNode* nodeOf(const char* ldInst, std::string_view lnName)
    {
        LogicalDevice* ld = IedModel_getDeviceByInst(&model_, ldInst);
        return ld ? LogicalDevice_getLogicalNode(ld, std::string(lnName).c_str()) : nullptr;
    }

    static void trgOps(XmlWriter& xml, std::uint8_t options)
    {
        Element(xml, "TrgOps")
            .flag("dchg", options & TRG_OPT_DATA_CHANGED)
            .flag("qchg", options & TRG_OPT_QUALITY_CHANGED)
            .flag("dupd", options & TRG_OPT_DATA_UPDATE)
            .flag("period", options & TRG_OPT_INTEGRITY)
            .flag("gi", options & TRG_OPT_GI);
    }

    void reportControls(LogicalNode& ln)
    {
        for (const ReportControlBlock* r = model_.rcbs; r; r = r->sibling) {
            if (r->parent != &ln)
                continue;
            Element rc(xml_, "ReportControl");
            rc.attribute("name", r->name);
            if (r->dataSetName && *r->dataSetName)
                rc.attribute("datSet", r->dataSetName);
            rc.attribute("intgPd", r->intPeriod)
                .attribute("rptID", r->rptId ? r->rptId : "")
                .attribute("confRev", r->confRef)
                .flag("buffered", r->buffered)
                .attribute("bufTime", r->bufferTime)
                .flag("indexed", false);
            trgOps(xml_, r->trgOps);
            const std::uint8_t o = r->options;
            Element(xml_, "OptFields")
                .flag("seqNum", o & RPT_OPT_SEQ_NUM)
                .flag("timeStamp", o & RPT_OPT_TIME_STAMP)
                .flag("dataSet", o & RPT_OPT_DATA_SET)
                .flag("reasonCode", o & RPT_OPT_REASON_FOR_INCLUSION)
                .flag("dataRef", o & RPT_OPT_DATA_REFERENCE)
                .flag("entryID", o & RPT_OPT_ENTRY_ID)
                .flag("configRef", o & RPT_OPT_CONF_REV)
                .flag("bufOvfl", o & RPT_OPT_BUFFER_OVERFLOW);
            Element(xml_, "RptEnabled").attribute("max", 1);
        }
    }

    // logRef "LD/LN$Log": the log's node is named when it is not this one.
    void logControls(LogicalDevice& ld, LogicalNode& ln)
    {
        for (const LogControlBlock* l = model_.lcbs; l; l = l->sibling) {
            if (l->parent != &ln)
                continue;
            Element lc(xml_, "LogControl");
            lc.attribute("name", l->name);
            if (l->dataSetName && *l->dataSetName)
                lc.attribute("datSet", l->dataSetName);
            lc.attribute("intgPd", l->intPeriod);
            const std::string_view ref = l->logRef ? l->logRef : "";
            const std::size_t slash = ref.find('/');
            const std::size_t dollar = ref.find('$', slash == std::string_view::npos ? 0 : slash);
            const std::string_view logLd = slash == std::string_view::npos ? ld.name : ref.substr(0, slash);
            const std::string_view logLn = ref.substr(slash + 1, dollar - slash - 1);
            if (logLd != ld.name)
                lc.attribute("ldInst", logLd);
            if (dollar != std::string_view::npos && logLn != ln.name)
                lnAttributes(lc, splitLnName(logLn), "lnInst");
            lc.attribute("logName", dollar == std::string_view::npos ? ref : ref.substr(dollar + 1))
                .flag("logEna", l->logEna)
                .flag("reasonCode", l->reasonCode);
            trgOps(xml_, l->trgOps);
        }
    }

    static bool configured(FunctionalConstraint fc)
    {
        return fc == IEC61850_FC_CF || fc == IEC61850_FC_DC || fc == IEC61850_FC_EX || fc == IEC61850_FC_SP;
    }

    // The value text of an attribute, or nothing for a default or unset one.
    std::optional<std::string> valueText(const DataAttribute& a)
    {
        const MmsValue* v = a.mmsValue;
        if (!v || !configured(a.fc))
            return std::nullopt;
        switch (a.type) {
        case IEC61850_BOOLEAN:
            return MmsValue_getBoolean(v) ? std::optional<std::string>("true") : std::nullopt;
        case IEC61850_INT8:
        case IEC61850_INT16:
        case IEC61850_INT32:
        case IEC61850_INT64:
            return nonZero(MmsValue_toInt64(v));
        case IEC61850_INT8U:
        case IEC61850_INT16U:
        case IEC61850_INT24U:
        case IEC61850_INT32U:
            return nonZero(MmsValue_toUint32(v));
        case IEC61850_FLOAT32:
        case IEC61850_FLOAT64:
            return floatText(MmsValue_toDouble(v), a.type == IEC61850_FLOAT32);
        case IEC61850_ENUMERATED: {
            const std::int32_t ordinal = MmsValue_toInt32(v);
            if (ordinal == 0)
                return std::nullopt;
            return types_.literal(types_.enumKindOf(a), ordinal);
        }
        case IEC61850_VISIBLE_STRING_32:
        case IEC61850_VISIBLE_STRING_64:
        case IEC61850_VISIBLE_STRING_65:
        case IEC61850_VISIBLE_STRING_129:
        case IEC61850_VISIBLE_STRING_255:
        case IEC61850_UNICODE_STRING_255: {
            const char* text = MmsValue_toString(v);
            return text && *text ? std::optional<std::string>(text) : std::nullopt;
        }
        default:
            return std::nullopt;
        }
    }

    template <class T>
    static std::optional<std::string> nonZero(T value)
    {
        return value == 0 ? std::nullopt : std::optional<std::string>(std::to_string(value));
    }

    static std::optional<std::string> floatText(double value, bool single)
    {
        if (value == 0.0)
            return std::nullopt;
        char text[32];
        const auto r = single ? std::to_chars(text, text + sizeof text, static_cast<float>(value))
                              : std::to_chars(text, text + sizeof text, value);
        return std::string(text, r.ptr);
    }

    bool hasValues(const ModelNode& n)
    {
        if (n.modelType == DataAttributeModelType && !n.firstChild)
            return valueText(static_cast<const DataAttribute&>(n)).has_value();
        for (const ModelNode* c = n.firstChild; c; c = c->sibling)
            if (hasValues(*c))
                return true;
        return false;
    }

    // DOI for a data object, SDI for sub objects and constructed attributes,
    // DAI for each attribute holding a configured value.
    void objectValues(const ModelNode& n, const char* element = "DOI")
    {
        if (!hasValues(n))
            return;
        if (n.modelType == DataAttributeModelType && !n.firstChild) {
            Element dai(xml_, "DAI");
            dai.attribute("name", n.name);
            xml_.textElement("Val", *valueText(static_cast<const DataAttribute&>(n)));
            return;
        }
        Element e(xml_, element);
        e.attribute("name", n.name);
        for (const ModelNode* c = n.firstChild; c; c = c->sibling)
            objectValues(*c, "SDI");
    }

    XmlWriter xml_;
    IedModel& model_;
    const ExportOptions& options_;
    DataTypes types_;
};

}  // namespace

void writeScl(std::ostream& out, IedModel& model, const ExportOptions& options)
{
    Document(out, model, options).write();
}

std::string sclDocument(IedModel& model, const ExportOptions& options)
{
    std::ostringstream out;
    writeScl(out, model, options);
    return out.str();
}

}  // namespace iec61850::scl
