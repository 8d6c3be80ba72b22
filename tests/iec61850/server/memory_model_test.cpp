#include "wire_helpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace test;
using iec61850::server::ClientContext;
using iec61850::server::InMemoryModel;
using iec61850::server::NameClass;
using iec61850::server::nameLess;
using T = mms::TypeDescription;

namespace {

std::vector<std::string> names(const InMemoryModel& m, std::string_view domain, std::string_view after = {},
                               std::size_t limit = 1000)
{
    std::vector<std::string> out;
    bool exists = m.visitNames(domain, NameClass::NamedVariable, after, [&](std::string_view n) {
        out.emplace_back(n);
        return out.size() < limit;
    });
    EXPECT_TRUE(exists);
    return out;
}

InMemoryModel controlModel()
{
    InMemoryModel m;
    m.addDomain("LD");
    // Components in model order, not name order.
    T oper = T::structure({T::boolean().named("ctlVal"),
                           T::structure({T::integer(8).named("orCat"), T::octetString(-64).named("orIdent")})
                               .named("origin"),
                           T::unsignedInteger(8).named("ctlNum"), T::utcTime().named("T"), T::boolean().named("Test"),
                           T::bitString(2).named("Check")});
    m.addVariable("LD", "LCMS1", T::structure({T::structure({T::structure({oper.named("Oper")}).named("DevCerCrt1")})
                                                   .named("CO")}));
    m.addVariable("LD", "LLN0", T::structure({T::structure({T::integer(8).named("stVal")}).named("ST")}));
    m.addVariable("LD", "CommFail_GGIO1", T::structure({T::boolean().named("q")}));
    return m;
}

}  // namespace

TEST(NameOrder, IsCaseInsensitiveWithComponentsAfterTheirParent)
{
    EXPECT_TRUE(nameLess("Check", "ctlNum"));
    EXPECT_TRUE(nameLess("origin", "T"));
    EXPECT_TRUE(nameLess("T", "Test"));
    EXPECT_TRUE(nameLess("Beh", "Beh$q"));
    EXPECT_TRUE(nameLess("Ind1$t", "Ind10"));
    EXPECT_TRUE(nameLess("LLN0", "LPHD"));
    EXPECT_FALSE(nameLess("abc", "abc"));
    EXPECT_TRUE(nameLess("ABC", "abc") != nameLess("abc", "ABC"));  // a strict order even for case twins

    // The reference's 665 names of FNN_STEUERBOXSTB are in this order.
    auto ref = readLines(std::string(TEST_DATA_DIR) + "/stb_variable_names.txt");
    ASSERT_EQ(ref.size(), 665u);
    EXPECT_TRUE(std::is_sorted(ref.begin(), ref.end(), [](const auto& a, const auto& b) { return nameLess(a, b); }));
}

TEST(InMemoryModel, ListsEveryComponentPathInNameOrder)
{
    InMemoryModel m = controlModel();
    EXPECT_EQ(names(m, "LD"),
              (std::vector<std::string>{
                  "CommFail_GGIO1", "CommFail_GGIO1$q", "LCMS1", "LCMS1$CO", "LCMS1$CO$DevCerCrt1",
                  "LCMS1$CO$DevCerCrt1$Oper", "LCMS1$CO$DevCerCrt1$Oper$Check", "LCMS1$CO$DevCerCrt1$Oper$ctlNum",
                  "LCMS1$CO$DevCerCrt1$Oper$ctlVal", "LCMS1$CO$DevCerCrt1$Oper$origin",
                  "LCMS1$CO$DevCerCrt1$Oper$origin$orCat", "LCMS1$CO$DevCerCrt1$Oper$origin$orIdent",
                  "LCMS1$CO$DevCerCrt1$Oper$T", "LCMS1$CO$DevCerCrt1$Oper$Test", "LLN0", "LLN0$ST", "LLN0$ST$stVal"}));
    EXPECT_EQ(names(m, "LD", "LCMS1$CO$DevCerCrt1$Oper$origin$orIdent", 2),
              (std::vector<std::string>{"LCMS1$CO$DevCerCrt1$Oper$T", "LCMS1$CO$DevCerCrt1$Oper$Test"}));
    // A name that is not in the list continues at the next one after it.
    EXPECT_EQ(names(m, "LD", "LCMS1$CO$DevCerCrt1$Oper$s", 1),
              std::vector<std::string>{"LCMS1$CO$DevCerCrt1$Oper$T"});
    EXPECT_TRUE(names(m, "LD", "LLN0$ST$stVal").empty());
    EXPECT_FALSE(m.visitNames("nope", NameClass::NamedVariable, {}, [](std::string_view) { return true; }));

    // Names added later show up in the list.
    m.addVariable("LD", "Aaa", T::boolean());
    EXPECT_EQ(names(m, "LD", {}, 1), std::vector<std::string>{"Aaa"});
}

TEST(InMemoryModel, ComponentAccessFollowsTheTypeNotTheNameOrder)
{
    InMemoryModel m = controlModel();
    const T* check = m.typeOf("LD", "LCMS1$CO$DevCerCrt1$Oper$Check");
    ASSERT_TRUE(check);
    EXPECT_EQ(check->kind(), T::Kind::BitString);
    ASSERT_TRUE(m.value("LD", "LCMS1$CO$DevCerCrt1$Oper$origin$orCat"));
    m.value("LD", "LCMS1$CO$DevCerCrt1$Oper$origin$orCat")->setInt64(3);
    mms::Value oper = m.read({}, "LD", "LCMS1$CO$DevCerCrt1$Oper");
    ASSERT_EQ(oper.size(), 6u);
    EXPECT_EQ(oper[1][0].toInt64(), 3);

    for (auto bad : {"", "LCMS1$", "$CO", "LCMS1$$CO", "LCMS1$CO$Nope", "LLN0$ST$stVal$x", "Nope"}) {
        EXPECT_EQ(m.typeOf("LD", bad), nullptr) << bad;
        EXPECT_EQ(m.read({}, "LD", bad), mms::Value::error(mms::DataAccessError::ObjectNonExistent)) << bad;
    }
    EXPECT_EQ(m.read({}, "XX", "LLN0"), mms::Value::error(mms::DataAccessError::ObjectNonExistent));
}
