#include "test_server.hpp"

#include <cstdio>
#include <stdexcept>

namespace client_test {

using namespace iec61850;
using mms::TypeDescription;
using mms::Value;

std::string bigName(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "Var%04d", i);
    return name;
}

namespace {

TypeDescription typesType()
{
    return TypeDescription::structure({
        TypeDescription::boolean().named("b"),
        TypeDescription::bitString(13).named("bs"),
        TypeDescription::integer(32).named("i"),
        TypeDescription::unsignedInteger(32).named("u"),
        TypeDescription::float32().named("f"),
        TypeDescription::float64().named("d"),
        TypeDescription::octetString(-16).named("o"),
        TypeDescription::visibleString(-32).named("s"),
        TypeDescription::utcTime().named("t"),
        TypeDescription::binaryTime(true).named("bt"),
        TypeDescription::structure({TypeDescription::integer(8).named("a"), TypeDescription::boolean().named("z")}).named("st"),
        TypeDescription::array(3, TypeDescription::integer(16)).named("ar"),
    });
}

TypeDescription lln0Type()
{
    const TypeDescription rcb = TypeDescription::structure({
        TypeDescription::visibleString(-65).named("RptID"),
        TypeDescription::boolean().named("RptEna"),
        TypeDescription::boolean().named("GI"),
    });
    return TypeDescription::structure({
        TypeDescription::structure({TypeDescription::structure({TypeDescription::integer(8).named("stVal")}).named("Mod")}).named("ST"),
        TypeDescription::structure({rcb.named("rcb01")}).named("RP"),
    });
}

void require(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("test model: ") + what);
}

}  // namespace

std::unique_ptr<server::InMemoryModel> makeModel()
{
    auto model = std::make_unique<server::InMemoryModel>();
    model->addDomain(kDevice);
    model->addDomain(kBig);
    require(model->addVariable(kDevice, "Types", typesType()), "Types");
    require(model->addVariable(kDevice, "LLN0", lln0Type()), "LLN0");
    require(model->addVariableList(kDevice, "LLN0$ds",
                                   {mms::ObjectName::inDomain(kDevice, "Types$i"),
                                    mms::ObjectName::inDomain(kDevice, "Types$f"),
                                    mms::ObjectName::inDomain(kDevice, "Missing")}),
            "LLN0$ds");
    require(model->addJournal(kDevice, "LLN0$log"), "journal");
    for (int i = 0; i < kBigNames; ++i)
        require(model->addVariable(kBig, bigName(i), TypeDescription::integer(32)), "BIG");
    *model->value(kDevice, "Types$i") = Value::integer(-42);
    *model->value(kDevice, "Types$f") = Value::float32(12.5f);
    *model->value(kDevice, "LLN0$RP$rcb01$RptID") = Value::visibleString("DEV/report01");
    return model;
}

TestServer::TestServer(server::ServerConfig config) : model(makeModel())
{
    server = std::make_unique<server::MmsServer>(*model, config);
    if (server->listen("127.0.0.1", 0) != platform::NetStatus::Ok || !server->start())
        throw std::runtime_error("test server does not start");
    port = server->port();
}

TestServer::~TestServer()
{
    server->stop();
    server->close();
}

client::ConnectOptions TestServer::options(std::int32_t maxPduSize) const
{
    client::ConnectOptions o;
    o.host = "127.0.0.1";
    o.port = port;
    o.maxPduSize = maxPduSize;
    return o;
}

}  // namespace client_test
