// The getNameList order every model lists its names in. The in-memory model
// serves only tests; its listings are checked against capture 02 and against
// the IED mapping (tests/iec61850/ied).
#include "iec61850/server/data_model.hpp"

#include <gtest/gtest.h>

using iec61850::server::nameLess;

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
}
