// Unit tests of the address arithmetic: the number scanner's rules and
// clamping, composition with carry and borrow, and splitting.
#include "address_math.hpp"

#include <gtest/gtest.h>

#include <array>

namespace {

struct offset_case {
    const char *text;
    int32_t expected;
};

TEST(ConvertOffset, ReadsLikeAtoiAndClampsToInt32) {
    const offset_case cases[] = {
        {"5", 5},
        {"-5", -5},
        {" \t\n+7", 7},
        {"- 5", 0},
        {"++3", 0},
        {"", 0},
        {"abc", 0},
        {"12abc", 12},
        {"0x10", 0},
        {"010", 10},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"4294967296", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"999999999999999999999999999999", INT32_MAX},
        {"-999999999999999999999999999999", INT32_MIN},
        {"00000000000000000000000000000042", 42},
    };
    for (const auto &c : cases)
        EXPECT_EQ(convert_offset(c.text), c.expected) << "text: \"" << c.text << '"';
}

struct quad_case {
    const char *text;
    std::array<int32_t, 4> expected;
};

TEST(ReadQuad, ScansFourNumbersFromTheStart) {
    const quad_case cases[] = {
        {"1.2.3.4", {1, 2, 3, 4}},
        {" 1.2.3.4", {1, 2, 3, 4}},
        {"+1.2.3.4", {1, 2, 3, 4}},
        {"-1.2.3.4", {-1, 2, 3, 4}},
        {"1.2.3.4\n", {1, 2, 3, 4}},
        {"1. 2.3.4 5.6.7.8", {1, 2, 3, 4}},
        {"1.+2.-3.4", {1, 2, -3, 4}},
        {"1.2.3.4.5", {1, 2, 3, 4}},
        {"1.2.3.4567", {1, 2, 3, 4567}},
        {"1234.5.6.7", {1234, 5, 6, 7}},
        {"010.001.000.009", {10, 1, 0, 9}},
        {"99999999999.1.1.1", {INT32_MAX, 1, 1, 1}},
        {"1.-99999999999.1.1", {1, INT32_MIN, 1, 1}},
    };
    for (const auto &c : cases) {
        quad q{};
        ASSERT_TRUE(read_quad(c.text, &q)) << c.text;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(q.number[i], c.expected[static_cast<size_t>(i)]) << c.text << " #" << i;
    }
}

TEST(ReadQuad, RefusesTextsThatDoNotStartWithFourNumbers) {
    const char *texts[] = {
        "ip=10.0.0.1", "x1.2.3.4y", ".1.2.3.4", "1.2.x.1.2.3.4", "1 .2.3.4", "1.2.3",    "1.2.3.",
        "1..2.3.4",    "",          "-.1.2.3",  "1.2.3.+",       "1,2,3,4",  "0x1.2.3.4"};
    for (const char *text : texts) {
        quad q{{7, 7, 7, 7}};
        EXPECT_FALSE(read_quad(text, &q)) << '"' << text << '"';
        // Nothing half-read may leak out to the caller.
        for (int32_t n : q.number)
            EXPECT_EQ(n, 7) << '"' << text << '"';
    }
}

struct compose_case {
    std::array<int32_t, 4> numbers;
    int32_t offset;
    uint32_t expected;
};

TEST(ComposeAddress, CarriesBorrowsAndWrapsModulo2To32) {
    const compose_case cases[] = {
        {{10, 0, 0, 1}, 5, 0x0A000006U},
        {{10, 0, 0, 1}, -5, 0x09FFFFFCU},
        {{255, 255, 255, 255}, 1, 0U},
        {{0, 0, 0, 0}, -1, 0xFFFFFFFFU},
        {{1, 2, 3, 4}, INT32_MAX, 0x81020303U},
        {{0, 0, 0, 0}, INT32_MIN, 0x80000000U},
        {{1, 2, 3, 300}, 0, 0x0102042CU},
        {{256, 0, 0, 1}, 0, 1U},
        {{-1, 2, 3, 4}, 0, 0xFF020304U},
        {{INT32_MAX, 1, 1, 1}, 0, 0xFF010101U},
        {{INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN}, INT32_MIN, 0U},
        {{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}, INT32_MAX, 0xFEFEFEFEU},
    };
    for (const auto &c : cases) {
        quad q{{c.numbers[0], c.numbers[1], c.numbers[2], c.numbers[3]}};
        EXPECT_EQ(compose_address(q, c.offset), c.expected)
            << c.numbers[0] << '.' << c.numbers[1] << '.' << c.numbers[2] << '.' << c.numbers[3]
            << " + " << c.offset;
    }
}

TEST(SplitAddress, GivesBytesMostSignificantLast) {
    const std::pair<uint32_t, std::array<int, 4>> cases[] = {
        {0U, {0, 0, 0, 0}},
        {0x0A000006U, {6, 0, 0, 10}},
        {0x7FFFFFFFU, {255, 255, 255, 127}},
        {0x80000000U, {0, 0, 0, 128}},
        {0xFFFFFFFFU, {255, 255, 255, 255}},
        {0xFEFDFCFBU, {251, 252, 253, 254}},
    };
    for (const auto &[value, expected] : cases) {
        octets o = split_address(value);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(o.number[i], expected[static_cast<size_t>(i)]) << std::hex << value;
    }
}

TEST(SplitAddress, RecomposesAcrossTheWholeRange) {
    // A stride prime to 2^32 visits values in every octet pattern, both
    // halves of the range included.
    constexpr uint32_t STRIDE = 2654435761U;
    uint32_t value = 0;
    for (int step = 0; step < 100000; ++step, value += STRIDE) {
        octets o = split_address(value);
        uint32_t back = 0;
        for (int i = 3; i >= 0; --i) {
            ASSERT_GE(o.number[i], 0) << value;
            ASSERT_LE(o.number[i], 255) << value;
            back = back * 256U + static_cast<uint32_t>(o.number[i]);
        }
        ASSERT_EQ(back, value);
    }
}

} // namespace
