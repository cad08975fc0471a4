// libFuzzer target: arbitrary (offset text, address text) pairs, split at
// the first NUL byte, through the driver's path. Checks that the outcome is
// a result or a refusal, that every octet is 0..255, that the printed line
// reads back to the same value, and that the value agrees with the
// independent model's 64-bit computation.
#include "address_math.hpp"
#include "model.hpp"
#include "quad_pattern.hpp"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

void require(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Arguments are C strings: the first NUL ends the offset text, the next
    // one (or the end) the address text.
    char *copy = static_cast<char *>(malloc(size + 2));
    if (!copy)
        return 0;
    memcpy(copy, data, size);
    copy[size] = copy[size + 1] = '\0';
    const char *offset_text = copy;
    const char *address_text = copy + strlen(copy) + 1;

    model::run want = model::shift(offset_text, address_text);
    quad_search search = contains_dotted_quad(address_text);
    require(search != quad_search::pattern_error, "the pattern compiles");
    quad q;
    bool readable = search == quad_search::found && read_quad(address_text, &q);
    require(readable == (want.kind == model::outcome::result), "result or refusal as modelled");
    if (readable) {
        uint32_t value = compose_address(q, convert_offset(offset_text));
        octets o = split_address(value);
        for (int n : o.number)
            require(n >= 0 && n <= 255, "octet in 0..255");
        char line[32];
        snprintf(line, sizeof line, "%d.%d.%d.%d\n", o.number[3], o.number[2], o.number[1],
                 o.number[0]);
        unsigned a, b, c, d;
        require(sscanf(line, "%u.%u.%u.%u", &a, &b, &c, &d) == 4, "line reads back");
        require(((a << 24) | (b << 16) | (c << 8) | d) == value, "line gives the value back");
        require(value == want.value, "value as the 64-bit model computes it");
    }
    free(copy);
    return 0;
}
