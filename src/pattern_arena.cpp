// The heap of a router build: malloc and friends over a fixed arena in
// .bss, for regcomp and regexec, the only callers.
//
// The C library's allocator costs a router more than the memory: musl's
// makes a dozen brk, mmap and munmap calls for the compiled pattern, each a
// mapping for the kernel to set up, fault in and tear down, and it is 9 KB
// of code in every static file. The arena is .bss, which exec maps anyway:
// a call then costs the kernel about what an empty program's does. A
// request that does not fit still gets its own mapping, so a larger need
// (another C library's regcomp) fails no sooner than with malloc. The
// arena rewinds when its last block is freed, and when nothing is left in
// it, so repeated compilations in one process reuse it.
//
// Only router builds link this (static ones, and dynamic ones against
// musl, whose libc.so calls the program's malloc): elsewhere the C
// library's allocator is the one that valgrind and the sanitizers watch.
// No <stdlib.h> here: its declarations of these functions differ by C
// library in their exception specifications.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

namespace {

// The compiled dotted-quad pattern and a match take 16 KiB with musl,
// never freeing; twice that leaves room for any C library's regex.
constexpr size_t ARENA_BYTES = size_t{32} * 1024;
constexpr size_t ALIGN = 16; // every fundamental type's alignment, and more
constexpr size_t HEADER = ALIGN;

struct Header {
    size_t size;   // as requested
    size_t mapped; // bytes of its own mapping; 0 for a block in the arena
};
static_assert(sizeof(Header) <= HEADER, "the header keeps blocks aligned");

alignas(ALIGN) unsigned char arena[ARENA_BYTES];
size_t arena_used;
size_t arena_blocks; // blocks of the arena not freed yet

Header *header_of(void *block) {
    return reinterpret_cast<Header *>(static_cast<unsigned char *>(block) - HEADER);
}

// What a block of `size` bytes takes, header included, keeping the next
// one aligned.
size_t block_bytes(size_t size) {
    return HEADER + ((size + ALIGN - 1) & ~(ALIGN - 1));
}

void *allocate(size_t size) {
    if (size > SIZE_MAX - HEADER - ALIGN) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t need = block_bytes(size);
    unsigned char *start;
    size_t mapped = 0;
    if (need <= ARENA_BYTES - arena_used) {
        start = arena + arena_used;
        arena_used += need;
        ++arena_blocks;
    } else {
        void *map = mmap(nullptr, need, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            errno = ENOMEM;
            return nullptr;
        }
        start = static_cast<unsigned char *>(map);
        mapped = need;
    }
    Header *header = reinterpret_cast<Header *>(start);
    header->size = size;
    header->mapped = mapped;
    return start + HEADER;
}

} // namespace

extern "C" {

void *malloc(size_t size) {
    return allocate(size);
}

void free(void *block) {
    if (block == nullptr)
        return;
    Header *header = header_of(block);
    if (header->mapped != 0) {
        munmap(header, header->mapped);
        return;
    }
    unsigned char *start = reinterpret_cast<unsigned char *>(header);
    size_t need = block_bytes(header->size);
    if (start + need == arena + arena_used) // the last block: give it back
        arena_used -= need;
    if (--arena_blocks == 0)
        arena_used = 0;
}

void *calloc(size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = allocate(count * size);
    if (block != nullptr)
        memset(block, 0, count * size);
    return block;
}

void *realloc(void *block, size_t size) {
    if (block == nullptr)
        return allocate(size);
    size_t old_size = header_of(block)->size;
    void *moved = allocate(size);
    if (moved == nullptr)
        return nullptr; // the old block stays, as realloc promises
    memcpy(moved, block, old_size < size ? old_size : size);
    free(block);
    return moved;
}

} // extern "C"
