// Unit tests of the address arithmetic: the number scanner's rules and
// reduction modulo 2^32, composition with carry and borrow, and splitting.
#include "address_math.hpp"
#include "unit_cases.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ConvertOffset, ReadsLikeAtoiModulo2To32) {
    for (const auto &c : OFFSET_CASES)
        EXPECT_EQ(convert_offset(c.text), c.expected) << "text: \"" << c.text << '"';
}

TEST(ReadQuad, ScansFourNumbersFromTheStart) {
    for (const auto &c : READ_QUAD_CASES) {
        quad q{};
        ASSERT_TRUE(read_quad(c.text, &q)) << c.text;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(q.number[i], c.expected[i]) << c.text << " #" << i;
    }
}

TEST(ReadQuad, RefusesTextsThatDoNotStartWithFourNumbers) {
    for (const char *text : UNREADABLE_QUADS) {
        quad q{{7, 7, 7, 7}};
        EXPECT_FALSE(read_quad(text, &q)) << '"' << text << '"';
        // Nothing half-read may leak out to the caller.
        for (int32_t n : q.number)
            EXPECT_EQ(n, 7) << '"' << text << '"';
    }
}

TEST(ComposeAddress, CarriesBorrowsAndWrapsModulo2To32) {
    for (const auto &c : COMPOSE_CASES) {
        quad q{{c.numbers[0], c.numbers[1], c.numbers[2], c.numbers[3]}};
        EXPECT_EQ(compose_address(q, c.offset), c.expected)
            << c.numbers[0] << '.' << c.numbers[1] << '.' << c.numbers[2] << '.' << c.numbers[3]
            << " + " << c.offset;
    }
}

TEST(SplitAddress, GivesBytesMostSignificantLast) {
    for (const auto &c : SPLIT_CASES) {
        octets o = split_address(c.value);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(o.number[i], c.expected[i]) << std::hex << c.value;
    }
}

TEST(SplitAddress, RecomposesAcrossTheWholeRange) {
    uint32_t value = 0;
    for (int step = 0; step < SWEEP_STEPS; ++step, value += SWEEP_STRIDE)
        ASSERT_TRUE(split_round_trips(value)) << std::hex << value;
}

} // namespace

namespace {

constexpr size_t MIB = 1 << 20;

// N nines are 10^N - 1, and 10^N is 0 modulo 2^32 from N = 32 on: a run of
// nines of any such length is -1, and its negation 1.
TEST(ConvertOffset, ReducesMegabyteDigitRuns) {
    EXPECT_EQ(convert_offset(std::string(MIB, '9').c_str()), -1);
    EXPECT_EQ(convert_offset(("-" + std::string(MIB, '9')).c_str()), 1);
    EXPECT_EQ(convert_offset((std::string(MIB, '0') + "42").c_str()), 42);
}

TEST(ReadQuad, ReadsPastMegabyteRunsOfSpaceAndDigits) {
    quad q{};
    ASSERT_TRUE(read_quad((std::string(MIB, ' ') + "1.2.3.4").c_str(), &q));
    EXPECT_EQ(q.number[0], 1);
    EXPECT_EQ(q.number[3], 4);
    ASSERT_TRUE(read_quad((std::string(MIB, '9') + ".1.1." + std::string(MIB, '9')).c_str(), &q));
    EXPECT_EQ(q.number[0], -1);
    EXPECT_EQ(q.number[3], -1);
    EXPECT_FALSE(read_quad(std::string(MIB, 'a').c_str(), &q));
}

} // namespace
