// Address arithmetic: the number scanner, composition and splitting.
#include "address_math.hpp"

#include <math.h>
#include <stdlib.h>

namespace {

constexpr int OCTET_COUNT = 4;
constexpr int BITS_PER_OCTET = 8;

// strtol's own range differs between hosts (64-bit long on x86-64, 32-bit on
// the routers), so clamp explicitly to make every platform agree.
int32_t clamp_to_int32(long value) {
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// One number as atoi/"%d" would take it. Returns false when no digit
// follows the optional white space and sign; `*end` is then unchanged.
bool scan_number(const char *text, int32_t *value, const char **end) {
    char *stop = nullptr;
    long parsed = strtol(text, &stop, 10);
    if (stop == text)
        return false;
    *value = clamp_to_int32(parsed);
    *end = stop;
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
