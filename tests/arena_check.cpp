// Checks the arena heap of static router builds (src/pattern_arena.cpp)
// where it is linked: what callers of malloc rely on, the fallback beyond
// the arena, and that repeated compilations of the pattern reuse it.
#include "quad_pattern.hpp"
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int failures = 0;

void check(bool good, const char *what) {
    if (!good) {
        printf("arena_check: %s\n", what);
        ++failures;
    }
}

bool aligned(const void *block) {
    return reinterpret_cast<uintptr_t>(block) % alignof(::max_align_t) == 0;
}

} // namespace

int main() {
    char *first = static_cast<char *>(malloc(1));
    char *second = static_cast<char *>(malloc(3));
    check(first && second && aligned(first) && aligned(second), "blocks aligned");
    check(second >= first + 1 || second + 3 <= first, "blocks apart");
    free(second);
    free(first);
    char *again = static_cast<char *>(malloc(1));
    check(again == first, "the arena rewinds when every block is freed");
    free(again);

    unsigned char *zeroed = static_cast<unsigned char *>(calloc(100, 4));
    bool all_zero = zeroed != nullptr;
    for (int i = 0; zeroed && i < 400; ++i)
        all_zero = all_zero && zeroed[i] == 0;
    check(all_zero, "calloc clears");
    // Through a volatile, or the compiler refuses the call it can see fail.
    volatile size_t huge = SIZE_MAX / 2;
    errno = 0;
    check(calloc(huge, 3) == nullptr && errno == ENOMEM, "calloc refuses overflow");
    errno = 0;
    check(malloc(huge * 2 - 7) == nullptr && errno == ENOMEM, "malloc refuses the impossible");

    char *text = static_cast<char *>(malloc(6));
    memcpy(text, "octet", 6);
    text = static_cast<char *>(realloc(text, 100000)); // beyond the arena: a mapping
    check(text && aligned(text) && strcmp(text, "octet") == 0, "realloc keeps the bytes");
    if (text) {
        memset(text, 'x', 100000);
        text = static_cast<char *>(realloc(text, 3));
        check(text && memcmp(text, "xxx", 3) == 0, "realloc back into the arena");
    }
    free(text);
    free(zeroed);

    // A compilation per check, as in-process callers make them, must not
    // use the arena up (the C library may keep a block of the first).
    check(contains_dotted_quad("10.0.0.1") == quad_search::found, "the pattern matches");
    char *after_one = static_cast<char *>(malloc(1));
    free(after_one);
    for (int i = 0; i < 2000; ++i)
        check(contains_dotted_quad("10.0.0.1") == quad_search::found, "the pattern still matches");
    char *last = static_cast<char *>(malloc(1));
    check(last == after_one, "compilations leave the arena as they found it");
    free(last);
    if (failures == 0)
        puts("arena_check: all passed");
    return failures == 0 ? 0 : 1;
}
