// Values and times as text, as tabled in tests/data/client/value-text.txt;
// types as text are seen in the iec-client sessions (cli.txt).
#include "iec61850/client/value_text.hpp"

#include "octets.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iomanip>
#include <sstream>

namespace client_test {
namespace {

using namespace iec61850;

std::string timeText(std::optional<std::uint64_t> ms)
{
    return ms ? std::to_string(*ms) : "-";
}

TEST(ValueText, AsTabled)
{
    std::ifstream in(TEST_CLIENT_DATA_DIR "/value-text.txt");
    ASSERT_TRUE(in);
    for (std::string line; std::getline(in, line);) {
        std::istringstream row(line);
        std::string type, text, expected;
        if (line.empty() || line.starts_with("#"))
            continue;
        ASSERT_TRUE(row >> type >> std::quoted(text) && std::getline(row >> std::ws, expected)) << line;
        SCOPED_TRACE(line);
        if (type == "ms" || type == "canonical") {
            EXPECT_EQ(timeText(client::parseUtcTime(text)), expected);
            EXPECT_EQ(type == "canonical" ? client::formatUtcTime(std::stoull(expected)) : text, text);
            continue;
        }
        const auto valueType = client::parseValueType(type);
        const auto value = valueType ? client::parseValue(*valueType, text) : std::nullopt;
        EXPECT_EQ(value ? test_support::toHex(value->encode()) : "-",
                  expected == "-" ? expected : test_support::toHex(test_support::octets(expected)));
    }
}

}  // namespace
}  // namespace client_test
