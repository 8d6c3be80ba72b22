// Fuzz target: arbitrary client bytes, cut into arbitrary chunks, fed to one
// server connection over the sample model. The first input byte picks the
// chunking: 0 feeds everything at once, any other value seeds the chunk sizes.
#include "iec61850/server/server_connection.hpp"
#include "sample_model.hpp"

#include "chunker.hpp"

#include <cstddef>
#include <cstdint>

namespace {

using namespace iec61850;

void reportSomething(server::ServerConnection& connection, server::InMemoryModel& model)
{
    const mms::Value* value = model.value(test_support::kCls1, "MMXU001$MX$TotW");
    if (!value)
        return;
    const auto access = mms::VariableAccessSpec::single(mms::ObjectName::inDomain(test_support::kCls1, "MMXU001$MX$TotW"));
    const mms::Value* values[] = {value};
    connection.sendInformationReport(access, values);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    auto model = test_support::makeSampleModel();
    server::ServerConfig config;
    config.maxPduSize = 4096 + 512 * (data[0] & 0x0f);
    server::ServerConnection connection(*model, config);
    Chunker chunker(data[0]);
    ByteView rest(data + 1, size - 1);
    while (!rest.empty() && !connection.closed()) {
        const std::size_t n = chunker.next(rest.size());
        connection.receive(rest.first(n));
        rest = rest.subspan(n);
        connection.output().clear();
    }
    if (connection.associated())
        reportSomething(connection, *model);
    connection.output().clear();
    return 0;
}
