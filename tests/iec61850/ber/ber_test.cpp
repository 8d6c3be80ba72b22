#include "iec61850/ber/ber.hpp"

#include <gtest/gtest.h>

using namespace iec61850;

TEST(Ber, IntegerRoundTrip)
{
    for (std::int64_t v : {0LL, 127LL, 128LL, -128LL, -129LL, 65535LL, -1LL}) {
        ber::Writer w;
        w.integer(ber::universal(ber::universal_tag::Integer), v);
        ber::Element e;
        ASSERT_EQ(ber::decodeElement(w.bytes(), e), ber::Status::Ok);
        std::int64_t back = 0;
        ASSERT_EQ(ber::expectInteger(e, back), ber::Status::Ok);
        EXPECT_EQ(back, v);
    }
}
