// Unit tests of the dotted-quad check: what the unanchored search accepts
// and refuses, and the compile-failure outcome.
#include "quad_pattern.hpp"
#include "unit_cases.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ContainsDottedQuad, FindsAQuadAnywhereInTheText) {
    for (const char *text : TEXTS_WITH_QUAD)
        EXPECT_EQ(contains_dotted_quad(text), quad_search::found) << '"' << text << '"';
}

TEST(ContainsDottedQuad, RefusesTextsWithoutOne) {
    for (const char *text : TEXTS_WITHOUT_QUAD)
        EXPECT_EQ(contains_dotted_quad(text), quad_search::not_found) << '"' << text << '"';
}

TEST(ContainsDottedQuad, ReportsAPatternThatDoesNotCompile) {
    EXPECT_EQ(contains_dotted_quad("1.2.3.4", BROKEN_PATTERN), quad_search::pattern_error);
    // A later call with the real pattern is not disturbed by the failure.
    EXPECT_EQ(contains_dotted_quad("1.2.3.4"), quad_search::found);
}

} // namespace
