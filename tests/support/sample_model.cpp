#include "sample_model.hpp"

#include <cstdio>
#include <string>

namespace test_support {

using iec61850::mms::ObjectName;
using T = iec61850::mms::TypeDescription;

namespace {

// A structure of named components.
T st(const std::vector<std::pair<const char*, T>>& components)
{
    std::vector<T> named;
    for (const auto& [name, type] : components)
        named.push_back(T(type).named(name));
    return T::structure(std::move(named));
}

T quality()
{
    return T::bitString(13);
}

T lln0(bool withReport)
{
    std::vector<std::pair<const char*, T>> fcs = {
        {"ST", st({{"Mod", st({{"stVal", T::integer(8)}, {"q", quality()}, {"t", T::utcTime()}})}})},
        {"CF", st({{"Mod", st({{"ctlModel", T::integer(8)}})}})},
        {"DC", st({{"NamPlt", st({{"vendor", T::visibleString(255)}, {"swRev", T::visibleString(255)}})}})},
    };
    if (withReport) {
        const T rcb = st({{"RptID", T::visibleString(129)}, {"RptEna", T::boolean()}, {"DatSet", T::visibleString(129)},
                          {"ConfRev", T::unsignedInteger(32)}, {"OptFlds", T::bitString(10)},
                          {"BufTm", T::unsignedInteger(32)}, {"SqNum", T::unsignedInteger(8)}, {"TrgOps", T::bitString(6)},
                          {"IntgPd", T::unsignedInteger(32)}, {"GI", T::boolean()}, {"Owner", T::octetString(64)}});
        fcs.push_back({"RP", st({{"reportControl0101", rcb}})});
    }
    return st(fcs);
}

T mmxu()
{
    return st({{"MX", st({{"TotW", st({{"mag", st({{"f", T::float32()}})}, {"q", quality()}, {"t", T::utcTime()}})}})}});
}

T schedule()
{
    const T oper = st({{"ctlVal", T::boolean()},
                       {"origin", st({{"orCat", T::integer(8)}, {"orIdent", T::octetString(-64)}})},
                       {"ctlNum", T::unsignedInteger(8)},
                       {"T", T::utcTime()},
                       {"Test", T::boolean()},
                       {"Check", T::bitString(2)}});
    std::vector<T> settings = {st({{"setVal", T::integer(32)}}).named("SchdPrio")};
    for (int i = 1; i <= 5; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ValASG%03d", i);
        settings.push_back(st({{"setMag", st({{"f", T::float32()}})}}).named(name));
    }
    for (int i = 1; i <= 2; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "StrTm%02d", i);
        settings.push_back(st({{"setTm", T::utcTime()}}).named(name));
    }
    return st({{"ST", st({{"EnaReq", st({{"stVal", T::boolean()}, {"q", quality()}, {"t", T::utcTime()}})}})},
               {"CO", st({{"EnaReq", st({{"Oper", oper}})}})},
               {"SP", T::structure(std::move(settings))},
               {"CF", st({{"EnaReq", st({{"ctlModel", T::integer(8)}})}})}});
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
