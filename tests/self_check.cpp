// Self-check of the units for targets without a C++ runtime (uClibc-ng
// routers), where GoogleTest cannot run: the same case tables, reported
// with printf, so strtol, regex and pow of that C library are checked there.
#include "address_math.hpp"
#include "quad_pattern.hpp"
#include "unit_cases.hpp"

#include <stdio.h>

namespace {

int failures = 0;
int checks = 0;

void expect(bool ok, const char *what, const char *text) {
    ++checks;
    if (!ok) {
        ++failures;
        printf("FAIL %s: \"%s\"\n", what, text);
    }
}

} // namespace

int main() {
    for (const auto &c : OFFSET_CASES)
        expect(convert_offset(c.text) == c.expected, "convert_offset", c.text);
    for (const auto &c : READ_QUAD_CASES) {
        quad q{};
        bool same = read_quad(c.text, &q);
        for (int i = 0; i < 4; ++i)
            same = same && q.number[i] == c.expected[i];
        expect(same, "read_quad", c.text);
    }
    for (const char *text : UNREADABLE_QUADS) {
        quad q{};
        expect(!read_quad(text, &q), "read_quad refuses", text);
    }
    for (const auto &c : COMPOSE_CASES) {
        quad q{{c.numbers[0], c.numbers[1], c.numbers[2], c.numbers[3]}};
        expect(compose_address(q, c.offset) == c.expected, "compose_address", "");
    }
    for (const auto &c : SPLIT_CASES) {
        octets o = split_address(c.value);
        bool same = true;
        for (int i = 0; i < 4; ++i)
            same = same && o.number[i] == c.expected[i];
        expect(same, "split_address", "");
    }
    uint32_t value = 0;
    bool round_trips = true;
    for (int step = 0; step < SWEEP_STEPS; ++step, value += SWEEP_STRIDE)
        round_trips = round_trips && split_round_trips(value);
    expect(round_trips, "split_address sweep", "");
    for (const char *text : TEXTS_WITH_QUAD)
        expect(contains_dotted_quad(text) == quad_search::found, "found", text);
    for (const char *text : TEXTS_WITHOUT_QUAD)
        expect(contains_dotted_quad(text) == quad_search::not_found, "not found", text);
    expect(contains_dotted_quad("1.2.3.4", BROKEN_PATTERN) == quad_search::pattern_error,
           "pattern error", BROKEN_PATTERN);

    printf("self-check: %d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
