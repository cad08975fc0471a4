// Case tables for the units, shared by the GoogleTest suite and by the
// self-check that runs on targets without a C++ runtime. C headers only.
#ifndef IP4ADD_UNIT_CASES_HPP
#define IP4ADD_UNIT_CASES_HPP

#include "address_math.hpp"

#include <stdint.h>

struct offset_case {
    const char *text;
    int32_t expected;
};

// atoi's reading rules, and modulo 2^32 where atoi would be undefined: a
// saturating or 64-bit reading fails the long rows.
inline constexpr offset_case OFFSET_CASES[] = {
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
    {"2147483648", INT32_MIN},
    {"4294967295", -1},
    {"4294967296", 0},
    {"-4294967295", 1},
    {"-2147483648", INT32_MIN},
    {"-2147483649", INT32_MAX},
    {"3355443200", -939524096},
    {"18446744073709551617", 1},
    {"99999999999999999999999", -159383553},
    {"999999999999999999999999999999", 1073741823},
    {"-999999999999999999999999999999", -1073741823},
    {"00000000000000000000000000000042", 42},
};

struct quad_case {
    const char *text;
    int32_t expected[4];
};

inline constexpr quad_case READ_QUAD_CASES[] = {
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
    {"99999999999.1.1.1", {1215752191, 1, 1, 1}},
    {"1.-99999999999.1.1", {1, -1215752191, 1, 1}},
    {"4294967297.0.0.4294967295", {1, 0, 0, -1}},
};

// Texts whose start does not yield four numbers, even where a quad stands
// further on.
inline constexpr const char *UNREADABLE_QUADS[] = {
    "ip=10.0.0.1", "x1.2.3.4y", ".1.2.3.4", "1.2.x.1.2.3.4", "1 .2.3.4", "1.2.3",    "1.2.3.",
    "1..2.3.4",    "",          "-.1.2.3",  "1.2.3.+",       "1,2,3,4",  "0x1.2.3.4"};

struct compose_case {
    int32_t numbers[4];
    int32_t offset;
    uint32_t expected;
};

inline constexpr compose_case COMPOSE_CASES[] = {
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

struct split_case {
    uint32_t value;
    int expected[4]; // least significant first, as in octets
};

inline constexpr split_case SPLIT_CASES[] = {
    {0U, {0, 0, 0, 0}},
    {0x0A000006U, {6, 0, 0, 10}},
    {0x7FFFFFFFU, {255, 255, 255, 127}},
    {0x80000000U, {0, 0, 0, 128}},
    {0xFFFFFFFFU, {255, 255, 255, 255}},
    {0xFEFDFCFBU, {251, 252, 253, 254}},
};

// A stride prime to 2^32 visits values with every octet pattern, both
// halves of the range included.
inline constexpr uint32_t SWEEP_STRIDE = 2654435761U;
inline constexpr int SWEEP_STEPS = 100000;

// True when the octets of `value` are each 0..255 and give `value` back.
inline bool split_round_trips(uint32_t value) {
    octets o = split_address(value);
    uint32_t back = 0;
    for (int i = 3; i >= 0; --i) {
        if (o.number[i] < 0 || o.number[i] > 255)
            return false;
        back = back * 256U + static_cast<uint32_t>(o.number[i]);
    }
    return back == value;
}

inline constexpr const char *TEXTS_WITH_QUAD[] = {
    "1.2.3.4",    "x1.2.3.4y",       "1.2.3.4.5",     " 1.2.3.4",           "1.2.3.4 ",
    "1.2.3.4\n",  "ip=10.0.0.1",     "-1.2.3.4",      "999.999.999.999",    "1234.5.6.7",
    "1.2.3.4567", "a b 1.2.3.4 c d", "1.2.x.1.2.3.4", "\xff\x31.2.3.4\x80",
};

inline constexpr const char *TEXTS_WITHOUT_QUAD[] = {
    "1.2.3",   "1..2.3.4", "1.2345.6.7", "1. 2.3.4",       "1,2,3,4",  "1.2.3.-4",
    "a.b.c.d", "",         "1.2.3.",     "\xd9\xa1.2.3.4", "1\n.2.3.4"};

// A pattern that regcomp must refuse: the group is never closed.
inline constexpr char BROKEN_PATTERN[] = "([0-9]";

#endif
