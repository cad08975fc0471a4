// An independent model of the whole tool for differential testing, written
// apart from src/ on purpose: a hand-written search instead of regex, a
// scanner that masks a 64-bit value to 32 bits after every digit instead of
// letting 32-bit arithmetic wrap, 64-bit composition and a shift-based split
// instead of pow. C headers only, so it
// runs on every target.
#ifndef IP4ADD_MODEL_HPP
#define IP4ADD_MODEL_HPP

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace model {

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Four groups of 1-3 digits joined by single dots, starting anywhere.
inline bool has_dotted_quad(const char *text) {
    for (const char *start = text; *start; ++start) {
        const char *p = start;
        int group = 0;
        for (; group < 4; ++group) {
            int digits = 0;
            while (digits < 3 && is_digit(p[digits]))
                ++digits;
            if (digits == 0)
                break;
            p += digits;
            if (group < 3) {
                if (*p != '.')
                    break;
                ++p;
            }
        }
        if (group == 4)
            return true;
    }
    return false;
}

// One number: white space, one sign, digits, modulo 2^32. Returns the
// position after it, or nullptr when there is no digit.
inline const char *scan(const char *p, int64_t *value) {
    p += strspn(p, " \t\n\v\f\r");
    const int64_t sign = *p == '-' ? -1 : 1;
    p += *p == '+' || *p == '-';
    const size_t digits = strspn(p, "0123456789");
    if (digits == 0)
        return nullptr;
    const int64_t MASK = (int64_t{1} << 32) - 1;
    int64_t magnitude = 0;
    for (size_t i = 0; i < digits; ++i)
        magnitude = (magnitude * 10 + (p[i] - '0')) & MASK;
    *value = sign * magnitude;
    return p + digits;
}

enum class outcome { result, refused };

struct run {
    outcome kind;
    uint32_t value; // with kind == result
};

inline run shift(const char *offset_text, const char *address_text) {
    if (!has_dotted_quad(address_text))
        return {outcome::refused, 0};
    int64_t offset = 0;
    if (!scan(offset_text, &offset))
        offset = 0;
    int64_t sum = offset;
    const char *p = address_text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.')
            return {outcome::refused, 0};
        int64_t number = 0;
        p = scan(p, &number);
        if (!p)
            return {outcome::refused, 0};
        sum += number * (int64_t{1} << (8 * (3 - i)));
    }
    const int64_t SPACE = int64_t{1} << 32;
    return {outcome::result, static_cast<uint32_t>(((sum % SPACE) + SPACE) % SPACE)};
}

// What the tool writes for two arguments: stdout, stderr and status.
struct transcript {
    char out[32];
    char *err; // malloc'd: the refusal message carries the whole text
    int status;
};

inline transcript render(const char *offset_text, const char *address_text) {
    transcript t{};
    run r = shift(offset_text, address_text);
    if (r.kind == outcome::refused) {
        static const char HEAD[] = "Error - `";
        static const char TAIL[] = "'; not a ip4 dotted quad..\n";
        size_t length = strlen(HEAD) + strlen(address_text) + strlen(TAIL);
        t.err = static_cast<char *>(malloc(length + 1));
        if (!t.err)
            abort();
        snprintf(t.err, length + 1, "%s%s%s", HEAD, address_text, TAIL);
        t.status = 3;
        return t;
    }
    snprintf(t.out, sizeof t.out, "%u.%u.%u.%u\n", (r.value >> 24) & 0xFFU, (r.value >> 16) & 0xFFU,
             (r.value >> 8) & 0xFFU, r.value & 0xFFU);
    t.err = static_cast<char *>(calloc(1, 1));
    if (!t.err)
        abort();
    t.status = 0;
    return t;
}

} // namespace model

#endif
