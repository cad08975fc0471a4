// Unit tests of the dotted-quad check: what the unanchored search accepts
// and refuses, and the compile-failure outcome.
#include "quad_pattern.hpp"
#include "unit_cases.hpp"

#include <gtest/gtest.h>

#include <string>

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

namespace {

// Texts of 1 MiB: far more than one argument can carry, so the search must
// stay linear-ish and sound on anything a caller can hand over.
constexpr size_t MIB = 1 << 20;

TEST(ContainsDottedQuad, HandlesMegabyteTexts) {
    EXPECT_EQ(contains_dotted_quad(std::string(MIB, 'a').c_str()), quad_search::not_found);
    EXPECT_EQ(contains_dotted_quad((std::string(MIB, 'a') + "1.2.3.4").c_str()),
              quad_search::found);
    EXPECT_EQ(contains_dotted_quad(std::string(MIB, '9').c_str()), quad_search::not_found);
    std::string dots;
    while (dots.size() < MIB)
        dots += "1234.";
    EXPECT_EQ(contains_dotted_quad(dots.c_str()), quad_search::not_found);
    EXPECT_EQ(contains_dotted_quad(std::string(MIB, '\xff').c_str()), quad_search::not_found);
}

} // namespace
