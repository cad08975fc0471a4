// Checks the arena heap of the router builds (src/pattern_arena.cpp) where
// it is linked: what callers of malloc rely on, the fallback beyond the
// arena, and that repeated compilations of the pattern reuse it. Built with
// -fno-builtin, so that every call below reaches the arena as written.
#include "quad_pattern.hpp"
#include <errno.h>
#include <setjmp.h>
#include <signal.h>
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

bool filled(const unsigned char *block, size_t size, unsigned char value) {
    for (size_t i = 0; i < size; ++i)
        if (block[i] != value)
            return false;
    return true;
}

sigjmp_buf probe;

void on_fault(int) {
    siglongjmp(probe, 1);
}

// Whether reading BLOCK faults, as it must once its mapping is gone: a
// fault is what the kernel, and qemu-user for its guest, answer there.
bool faults(const volatile char *block) {
    struct sigaction fault = {};
    struct sigaction old_segv = {};
    struct sigaction old_bus = {};
    fault.sa_handler = on_fault;
    sigaction(SIGSEGV, &fault, &old_segv);
    sigaction(SIGBUS, &fault, &old_bus);
    volatile bool faulted = true;
    if (sigsetjmp(probe, 1) == 0) {
        (void)*block;
        faulted = false;
    }
    sigaction(SIGSEGV, &old_segv, nullptr);
    sigaction(SIGBUS, &old_bus, nullptr);
    return faulted;
}

void blocks_of_every_small_size() {
    // Each size rounds up so that the block after it is aligned too.
    for (size_t size = 1; size <= 33; ++size) {
        unsigned char *block = static_cast<unsigned char *>(malloc(size));
        if (block != nullptr)
            memset(block, 0xa5, size);
        unsigned char *next = static_cast<unsigned char *>(malloc(1));
        check(block && next && aligned(block) && aligned(next), "blocks aligned after any size");
        if (next != nullptr)
            *next = 0x5a;
        check(block && filled(block, size, 0xa5), "a block keeps every byte of its size");
        free(next);
        free(block);
    }
}

void giving_back() {
    char *a = static_cast<char *>(malloc(8));
    char *b = static_cast<char *>(malloc(8));
    free(b);
    char *c = static_cast<char *>(malloc(8));
    check(c != a, "a block still in use is not handed out again");
    check(c == b, "the last block, freed, is given back while an earlier one lives");
    free(c);
    free(a);
    char *again = static_cast<char *>(malloc(1));
    check(again == a, "the arena rewinds when every block is freed");
    free(again);
}

void beyond_the_arena() {
    // Two blocks that no longer fit side by side: the second one gets a
    // mapping of its own, and neither overwrites the other.
    unsigned char *one = static_cast<unsigned char *>(malloc(20000));
    unsigned char *two = static_cast<unsigned char *>(malloc(20000));
    check(one && two && aligned(two), "a request beyond the arena is served");
    if (one && two) {
        memset(one, 0x11, 20000);
        memset(two, 0x22, 20000);
        check(filled(one, 20000, 0x11) && filled(two, 20000, 0x22), "the two blocks apart");
    }
    free(two);
    free(one);

    // The arena holds its 32 KiB: a request of that, header included,
    // starts where the arena does, not in a mapping of its own.
    char *first = static_cast<char *>(malloc(1));
    free(first);
    char *whole = static_cast<char *>(malloc(size_t{32} * 1024 - 16));
    check(whole != nullptr && whole == first, "the arena holds 32 KiB");
    free(whole);

    // A mapping-backed block goes back to the kernel when freed, every
    // time, and freeing it does not make a live arena block reusable.
    char *live = static_cast<char *>(malloc(16));
    bool unmapped = true;
    for (int i = 0; i < 1000; ++i) {
        char *big = static_cast<char *>(malloc(size_t{1} << 20));
        if (big != nullptr)
            big[0] = 1;
        free(big);
        unmapped = unmapped && big != nullptr && faults(big);
    }
    check(unmapped, "freeing a mapped block unmaps it");
    char *next = static_cast<char *>(malloc(16));
    check(next != live, "a live block stays its caller's after a mapped one is freed");
    free(next);
    free(live);
}

void refusals() {
    // Through a volatile, or the compiler refuses the call it can see fail.
    volatile size_t half = SIZE_MAX / 2;
    errno = 0;
    check(calloc(half, 3) == nullptr && errno == ENOMEM, "calloc refuses overflow");
    errno = 0;
    check(calloc(half + 2, 2) == nullptr && errno == ENOMEM,
          "calloc refuses a product that wraps round to a small one");
    errno = 0;
    check(malloc(half * 2 - 7) == nullptr && errno == ENOMEM, "malloc refuses the impossible");
    // Small enough for a header, too large for any mapping, on 32 bits too.
    errno = 0;
    check(malloc(half * 2 - 100) == nullptr && errno == ENOMEM, "a mapping that fails says ENOMEM");
}

void calloc_and_realloc() {
    char *start = static_cast<char *>(malloc(1));
    free(start);
    free(nullptr);
    free(calloc(4, 0));

    // Where the blocks above wrote: calloc must clear what it hands out.
    unsigned char *zeroed = static_cast<unsigned char *>(calloc(100, 4));
    check(zeroed != nullptr && filled(zeroed, 400, 0), "calloc clears");

    char *fresh = static_cast<char *>(realloc(nullptr, 24));
    check(fresh && aligned(fresh), "realloc of nothing acts as malloc");
    free(fresh);
    char *same = static_cast<char *>(malloc(24));
    check(same == fresh, "realloc of nothing takes its block from the arena");
    free(same);

    char *text = static_cast<char *>(malloc(6));
    memcpy(text, "octet", 6);
    text = static_cast<char *>(realloc(text, 100000)); // beyond the arena: a mapping
    check(text && aligned(text) && strcmp(text, "octet") == 0, "realloc keeps the bytes");
    if (text) {
        memset(text, 'x', 100000);
        text = static_cast<char *>(realloc(text, 3));
        check(text && memcmp(text, "xxx", 3) == 0, "realloc back into the arena");
    }
    volatile size_t impossible = SIZE_MAX - 8;
    check(text && realloc(text, impossible) == nullptr && memcmp(text, "xxx", 3) == 0,
          "a realloc that fails leaves the block as it was");
    free(text);
    free(zeroed);
    char *end = static_cast<char *>(malloc(1));
    check(end == start, "reallocs leave the arena as they found it");
    free(end);
}

void compilations() {
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
}

} // namespace

int main() {
    blocks_of_every_small_size();
    giving_back();
    beyond_the_arena();
    refusals();
    calloc_and_realloc();
    compilations();
    if (failures == 0)
        puts("arena_check: all passed");
    return failures == 0 ? 0 : 1;
}
