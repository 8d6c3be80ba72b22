#include "test_server.hpp"

#include <cstdio>
#include <stdexcept>

namespace client_test {

using namespace iec61850;
using mms::TypeSpec;
using mms::Value;

std::string bigName(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "Var%04d", i);
    return name;
}

namespace {

TypeSpec typesType()
{
    return TypeSpec::structure({
        TypeSpec::boolean().named("b"),
        TypeSpec::bitString(13).named("bs"),
        TypeSpec::integer(32).named("i"),
        TypeSpec::unsignedInteger(32).named("u"),
        TypeSpec::float32().named("f"),
        TypeSpec::float64().named("d"),
        TypeSpec::octetString(-16).named("o"),
        TypeSpec::visibleString(-32).named("s"),
        TypeSpec::utcTime().named("t"),
        TypeSpec::binaryTime(true).named("bt"),
        TypeSpec::structure({TypeSpec::integer(8).named("a"), TypeSpec::boolean().named("z")}).named("st"),
        TypeSpec::array(3, TypeSpec::integer(16)).named("ar"),
    });
}

TypeSpec lln0Type()
{
    const TypeSpec rcb = TypeSpec::structure({
        TypeSpec::visibleString(-65).named("RptID"),
        TypeSpec::boolean().named("RptEna"),
        TypeSpec::boolean().named("GI"),
    });
    return TypeSpec::structure({
        TypeSpec::structure({TypeSpec::structure({TypeSpec::integer(8).named("stVal")}).named("Mod")}).named("ST"),
        TypeSpec::structure({rcb.named("rcb01")}).named("RP"),
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
        require(model->addVariable(kBig, bigName(i), TypeSpec::integer(32)), "BIG");
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
