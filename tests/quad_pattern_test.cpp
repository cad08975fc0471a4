// Unit tests of the dotted-quad check: what the unanchored search accepts
// and refuses, and the compile-failure outcome.
#include "quad_pattern.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ContainsDottedQuad, FindsAQuadAnywhereInTheText) {
    const char *texts[] = {
        "1.2.3.4",
        "x1.2.3.4y",
        "1.2.3.4.5",
        " 1.2.3.4",
        "1.2.3.4 ",
        "1.2.3.4\n",
        "ip=10.0.0.1",
        "-1.2.3.4",
        "999.999.999.999",
        "1234.5.6.7",
        "1.2.3.4567",
        "a b 1.2.3.4 c d",
        "1.2.x.1.2.3.4",
        "\xff"
        "1.2.3.4\x80",
    };
    for (const char *text : texts)
        EXPECT_EQ(contains_dotted_quad(text), quad_search::found) << '"' << text << '"';
}

TEST(ContainsDottedQuad, RefusesTextsWithoutOne) {
    const char *texts[] = {"1.2.3",   "1..2.3.4",       "1.2345.6.7", "1. 2.3.4",
                           "1,2,3,4", "1.2.3.-4",       "a.b.c.d",    "",
                           "1.2.3.",  "\xd9\xa1.2.3.4", "1\n.2.3.4"};
    for (const char *text : texts)
        EXPECT_EQ(contains_dotted_quad(text), quad_search::not_found) << '"' << text << '"';
}

TEST(ContainsDottedQuad, ReportsAPatternThatDoesNotCompile) {
    EXPECT_EQ(contains_dotted_quad("1.2.3.4", "([0-9]"), quad_search::pattern_error);
    // A later call with the real pattern is not disturbed by the failure.
    EXPECT_EQ(contains_dotted_quad("1.2.3.4"), quad_search::found);
}

} // namespace
