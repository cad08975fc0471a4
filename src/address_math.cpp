// Address arithmetic: the number scanner, composition and splitting.
#include "address_math.hpp"

#include <math.h>

namespace {

constexpr int OCTET_COUNT = 4;
constexpr int BITS_PER_OCTET = 8;
constexpr uint32_t DECIMAL_BASE = 10U;

// The C locale's white space: the tool never sets a locale.
bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The two's-complement reading of a 32-bit pattern, spelled out because a
// plain conversion of values above INT32_MAX is implementation-defined
// before C++20.
int32_t as_int32(uint32_t bits) {
    if (bits <= static_cast<uint32_t>(INT32_MAX))
        return static_cast<int32_t>(bits);
    return -static_cast<int32_t>(~bits) - 1;
}

// One number as atoi/"%d" would take it (white space, one sign, decimal
// digits), but reduced modulo 2^32 instead of saturating or overflowing:
// a script's difference of two addresses, anything from -(2^32-1) to
// 2^32-1, then shifts to exactly the other address. Hand-written rather
// than strtol so that neither long's width nor strtol's saturation can make
// two platforms disagree. Returns false when no digit follows the optional
// white space and sign; `*end` is then unchanged.
bool scan_number(const char *text, int32_t *value, const char **end) {
    const char *p = text;
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!is_digit(*p))
        return false;
    // Unsigned arithmetic wraps by definition, so the running value is the
    // exact residue however many digits follow.
    uint32_t magnitude = 0;
    for (; is_digit(*p); ++p)
        magnitude = magnitude * DECIMAL_BASE + static_cast<uint32_t>(*p - '0');
    *value = as_int32(negative ? 0U - magnitude : magnitude);
    *end = p;
    return true;
}

} // namespace

int32_t convert_offset(const char *text) {
    int32_t offset = 0;
    const char *end = text;
    // Text without digits is not refused: it is the offset 0.
    if (!scan_number(text, &offset, &end))
        return 0;
    return offset;
}

bool read_quad(const char *text, quad *out) {
    quad q{};
    const char *cursor = text;
    for (int i = 0; i < OCTET_COUNT; ++i) {
        if (i > 0) {
            if (*cursor != '.')
                return false;
            ++cursor;
        }
        if (!scan_number(cursor, &q.number[i], &cursor))
            return false;
    }
    // Number by number: a size-optimised build turns the struct assignment
    // into a call of memcpy, which in a dynamic router build first costs a
    // symbol lookup in the loader (about 400 instructions per run).
    for (int i = 0; i < OCTET_COUNT; ++i)
        out->number[i] = q.number[i];
    return true;
}

uint32_t compose_address(const quad &q, int32_t offset) {
    // Unsigned throughout: out-of-range numbers and offsets wrap modulo 2^32
    // by definition instead of overflowing a signed type.
    uint32_t value = 0;
    for (int i = 0; i < OCTET_COUNT; ++i)
        value = value * 256U + static_cast<uint32_t>(q.number[i]);
    return value + static_cast<uint32_t>(offset);
}

octets split_address(uint32_t value) {
    octets result{};
    // Unrolled, every pow call has constant arguments and the compiler folds
    // it: optimised builds then do not load the maths library at all.
#pragma GCC unroll 4
    for (int i = OCTET_COUNT - 1; i >= 0; --i) {
        double divisor = pow(2.0, static_cast<double>(BITS_PER_OCTET * i));
        // Every value below 2^32 is exact in a double and each quotient is
        // below 256, so the truncation loses nothing.
        result.number[i] = static_cast<int>(static_cast<double>(value) / divisor);
        value %= static_cast<uint32_t>(divisor);
    }
    return result;
}
