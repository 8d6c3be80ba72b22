#include "sample_model.hpp"

#include <cstdio>
#include <string>

namespace test_support {

using iec61850::mms::ObjectName;
using iec61850::mms::TypeDescription;

namespace {

TypeDescription field(const char* name, TypeDescription type)
{
    return std::move(type).named(name);
}

TypeDescription quality()
{
    return TypeDescription::bitString(13);
}

TypeDescription measured()
{
    return TypeDescription::structure({
        field("mag", TypeDescription::structure({field("f", TypeDescription::float32())})),
        field("q", quality()),
        field("t", TypeDescription::utcTime()),
    });
}

TypeDescription lln0(bool withReport)
{
    std::vector<TypeDescription> fcs = {
        field("ST", TypeDescription::structure({field(
                        "Mod", TypeDescription::structure({field("stVal", TypeDescription::integer(8)), field("q", quality()),
                                                    field("t", TypeDescription::utcTime())}))})),
        field("CF", TypeDescription::structure({field("Mod", TypeDescription::structure({field("ctlModel", TypeDescription::integer(8))}))})),
        field("DC", TypeDescription::structure({field(
                        "NamPlt", TypeDescription::structure({field("vendor", TypeDescription::visibleString(255)),
                                                       field("swRev", TypeDescription::visibleString(255))}))})),
    };
    if (withReport) {
        const TypeDescription rcb = TypeDescription::structure({
            field("RptID", TypeDescription::visibleString(129)), field("RptEna", TypeDescription::boolean()),
            field("DatSet", TypeDescription::visibleString(129)), field("ConfRev", TypeDescription::unsignedInteger(32)),
            field("OptFlds", TypeDescription::bitString(10)), field("BufTm", TypeDescription::unsignedInteger(32)),
            field("SqNum", TypeDescription::unsignedInteger(8)), field("TrgOps", TypeDescription::bitString(6)),
            field("IntgPd", TypeDescription::unsignedInteger(32)), field("GI", TypeDescription::boolean()),
            field("Owner", TypeDescription::octetString(64)),
        });
        fcs.push_back(field("RP", TypeDescription::structure({field("reportControl0101", rcb)})));
    }
    return TypeDescription::structure(std::move(fcs));
}

TypeDescription mmxu()
{
    return TypeDescription::structure({field("MX", TypeDescription::structure({field("TotW", measured())}))});
}

TypeDescription schedule()
{
    const TypeDescription oper = TypeDescription::structure({
        field("ctlVal", TypeDescription::boolean()),
        field("origin", TypeDescription::structure({field("orCat", TypeDescription::integer(8)),
                                             field("orIdent", TypeDescription::octetString(-64))})),
        field("ctlNum", TypeDescription::unsignedInteger(8)),
        field("T", TypeDescription::utcTime()),
        field("Test", TypeDescription::boolean()),
        field("Check", TypeDescription::bitString(2)),
    });
    std::vector<TypeDescription> settings = {field("SchdPrio", TypeDescription::structure({field("setVal", TypeDescription::integer(32))}))};
    for (int i = 1; i <= 5; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ValASG%03d", i);
        settings.push_back(field(name, TypeDescription::structure({field(
                                           "setMag", TypeDescription::structure({field("f", TypeDescription::float32())}))})));
    }
    for (int i = 1; i <= 2; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "StrTm%02d", i);
        settings.push_back(field(name, TypeDescription::structure({field("setTm", TypeDescription::utcTime())})));
    }
    return TypeDescription::structure({
        field("ST", TypeDescription::structure({field(
                        "EnaReq", TypeDescription::structure({field("stVal", TypeDescription::boolean()), field("q", quality()),
                                                       field("t", TypeDescription::utcTime())}))})),
        field("CO", TypeDescription::structure({field("EnaReq", TypeDescription::structure({field("Oper", oper)}))})),
        field("SP", TypeDescription::structure(std::move(settings))),
        field("CF", TypeDescription::structure({field("EnaReq", TypeDescription::structure({field("ctlModel", TypeDescription::integer(8))}))})),
    });
}

}  // namespace

std::unique_ptr<iec61850::server::InMemoryModel> makeSampleModel()
{
    auto model = std::make_unique<iec61850::server::InMemoryModel>();
    for (const char* domain : {kStb, kCls1, kCls2}) {
        model->addDomain(domain);
        model->addVariable(domain, "LLN0", lln0(domain == kCls1));
        model->addVariable(domain, "MMXU001", mmxu());
        model->value(domain, "LLN0$CF$Mod$ctlModel")->setInt32(1);
        model->value(domain, "MMXU001$MX$TotW$mag$f")->setFloat(1234.5f);
    }
    model->addVariable(kCls1, "EmpSPrg_FSCH020001", schedule());
    model->value(kCls1, "EmpSPrg_FSCH020001$CF$EnaReq$ctlModel")->setInt32(1);
    model->addVariableList(kCls1, "LLN0$dataset01",
                           {ObjectName::inDomain(kCls1, "MMXU001$MX$TotW"),
                            ObjectName::inDomain(kCls1, "LLN0$ST$Mod"),
                            ObjectName::inDomain(kCls1, "EmpSPrg_FSCH020001$ST$EnaReq")});
    model->addJournal(kStb, "LLN0$logSTB");
    return model;
}

}  // namespace test_support
