#include "sample_model.hpp"

#include <cstdio>
#include <string>

namespace test_support {

using iec61850::mms::ObjectName;
using iec61850::mms::TypeSpec;

namespace {

TypeSpec field(const char* name, TypeSpec type)
{
    return std::move(type).named(name);
}

TypeSpec quality()
{
    return TypeSpec::bitString(13);
}

TypeSpec measured()
{
    return TypeSpec::structure({
        field("mag", TypeSpec::structure({field("f", TypeSpec::float32())})),
        field("q", quality()),
        field("t", TypeSpec::utcTime()),
    });
}

TypeSpec lln0(bool withReport)
{
    std::vector<TypeSpec> fcs = {
        field("ST", TypeSpec::structure({field(
                        "Mod", TypeSpec::structure({field("stVal", TypeSpec::integer(8)), field("q", quality()),
                                                    field("t", TypeSpec::utcTime())}))})),
        field("CF", TypeSpec::structure({field("Mod", TypeSpec::structure({field("ctlModel", TypeSpec::integer(8))}))})),
        field("DC", TypeSpec::structure({field(
                        "NamPlt", TypeSpec::structure({field("vendor", TypeSpec::visibleString(255)),
                                                       field("swRev", TypeSpec::visibleString(255))}))})),
    };
    if (withReport) {
        const TypeSpec rcb = TypeSpec::structure({
            field("RptID", TypeSpec::visibleString(129)), field("RptEna", TypeSpec::boolean()),
            field("DatSet", TypeSpec::visibleString(129)), field("ConfRev", TypeSpec::unsignedInteger(32)),
            field("OptFlds", TypeSpec::bitString(10)), field("BufTm", TypeSpec::unsignedInteger(32)),
            field("SqNum", TypeSpec::unsignedInteger(8)), field("TrgOps", TypeSpec::bitString(6)),
            field("IntgPd", TypeSpec::unsignedInteger(32)), field("GI", TypeSpec::boolean()),
            field("Owner", TypeSpec::octetString(64)),
        });
        fcs.push_back(field("RP", TypeSpec::structure({field("reportControl0101", rcb)})));
    }
    return TypeSpec::structure(std::move(fcs));
}

TypeSpec mmxu()
{
    return TypeSpec::structure({field("MX", TypeSpec::structure({field("TotW", measured())}))});
}

TypeSpec schedule()
{
    const TypeSpec oper = TypeSpec::structure({
        field("ctlVal", TypeSpec::boolean()),
        field("origin", TypeSpec::structure({field("orCat", TypeSpec::integer(8)),
                                             field("orIdent", TypeSpec::octetString(-64))})),
        field("ctlNum", TypeSpec::unsignedInteger(8)),
        field("T", TypeSpec::utcTime()),
        field("Test", TypeSpec::boolean()),
        field("Check", TypeSpec::bitString(2)),
    });
    std::vector<TypeSpec> settings = {field("SchdPrio", TypeSpec::structure({field("setVal", TypeSpec::integer(32))}))};
    for (int i = 1; i <= 5; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ValASG%03d", i);
        settings.push_back(field(name, TypeSpec::structure({field(
                                           "setMag", TypeSpec::structure({field("f", TypeSpec::float32())}))})));
    }
    for (int i = 1; i <= 2; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "StrTm%02d", i);
        settings.push_back(field(name, TypeSpec::structure({field("setTm", TypeSpec::utcTime())})));
    }
    return TypeSpec::structure({
        field("ST", TypeSpec::structure({field(
                        "EnaReq", TypeSpec::structure({field("stVal", TypeSpec::boolean()), field("q", quality()),
                                                       field("t", TypeSpec::utcTime())}))})),
        field("CO", TypeSpec::structure({field("EnaReq", TypeSpec::structure({field("Oper", oper)}))})),
        field("SP", TypeSpec::structure(std::move(settings))),
        field("CF", TypeSpec::structure({field("EnaReq", TypeSpec::structure({field("ctlModel", TypeSpec::integer(8))}))})),
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
