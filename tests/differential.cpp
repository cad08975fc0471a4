// Differential test: generated (offset, address) pairs, biased to the hard
// places, checked against the independent model. All cases run in-process
// through the units along the driver's path; the first few thousand also
// run through the built binary, comparing stdout, stderr and status.
//
// usage: ip4add_differential CASES [BINARY BINARY_CASES]
#include "address_math.hpp"
#include "model.hpp"
#include "quad_pattern.hpp"

#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Fixed, so that a mismatch found once is found again.
constexpr uint64_t SEED = 20261208;
constexpr size_t TEXT_SIZE = 256;

// splitmix64: tiny, and the same sequence on every platform.
uint64_t state = SEED;
uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}
uint32_t below(uint32_t n) {
    return static_cast<uint32_t>(next() % n);
}
bool one_in(uint32_t n) {
    return below(n) == 0;
}
template <size_t N> const char *pick(const char *const (&choices)[N]) {
    return choices[below(N)];
}

struct text {
    char bytes[TEXT_SIZE];
    size_t length;
    void append(const char *s) {
        while (*s && length + 1 < TEXT_SIZE)
            bytes[length++] = *s++;
        bytes[length] = '\0';
    }
    void append_number(int64_t n) {
        char buffer[32];
        snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(n));
        append(buffer);
    }
    void append_digits(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            char digit[2] = {static_cast<char>('0' + below(10)), '\0'};
            append(digit);
        }
    }
};

const char *const SPACES[] = {" ", "\t", "\n", "  \v\f\r "};
const char *const SIGNS[] = {"+", "-", "--", "+-", "-+"};
const char *const JUNK[] = {"",    "abc", "0x10", "x",        "-",       "+",     " ",
                            "ip=", ".",   "1.",   "\xff\x80", "\x1b[0m", "12abc", "1.2.3"};

// A number of the kind that stresses scanning and composition. Only the
// outer groups of a quad may be longer than three digits and still pass the
// pattern, so inner ones are mostly short.
void number(text *t, bool short_mostly) {
    if (short_mostly && !one_in(8)) {
        t->append_number(below(one_in(4) ? 1000 : 256));
        return;
    }
    switch (below(8)) {
    case 0:
    case 1:
        t->append_number(below(256));
        break;
    case 2:
        t->append_number(256 + below(9744));
        break;
    case 3: // near the ends of int32
        t->append_number((one_in(2) ? INT64_C(2147483647) : INT64_C(-2147483648)) +
                         static_cast<int64_t>(below(5)) - 2);
        break;
    case 4: // near and beyond 2^32
        t->append_number((one_in(2) ? 1 : -1) * ((INT64_C(1) << 32) + below(5) - 2));
        break;
    case 5:
        t->append_digits(10 + below(40));
        break;
    case 6:
        t->append("000");
        t->append_number(below(1000));
        break;
    default:
        t->append_number(static_cast<int64_t>(below(600)) - 300);
        break;
    }
}

void make_offset(text *t) {
    t->length = 0;
    t->bytes[0] = '\0';
    if (one_in(8)) {
        t->append(pick(JUNK));
        return;
    }
    if (one_in(6))
        t->append(pick(SPACES));
    if (one_in(6))
        t->append(pick(SIGNS));
    number(t, false);
    if (one_in(8))
        t->append(pick(JUNK));
}

void make_address(text *t) {
    t->length = 0;
    t->bytes[0] = '\0';
    if (one_in(20)) { // raw bytes from a small, quad-prone alphabet
        static const char ALPHABET[] = "0123456789.......+- \ta\xff";
        for (uint32_t n = below(24); n > 0; --n) {
            char c[2] = {ALPHABET[below(sizeof ALPHABET - 1)], '\0'};
            t->append(c);
        }
        return;
    }
    if (one_in(6))
        t->append(one_in(2) ? pick(SPACES) : pick(JUNK));
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            t->append(one_in(30) ? pick(JUNK) : ".");
        if (one_in(16))
            t->append(pick(SPACES));
        if (one_in(16))
            t->append(pick(SIGNS));
        if (!one_in(40))
            number(t, i == 1 || i == 2);
    }
    if (one_in(4)) {
        const char *const TAILS[] = {".5", "/24", "\n", " 5.6.7.8", "x", "\xff", ".1.2.3.4"};
        t->append(pick(TAILS));
    }
}

void print_quoted(const char *s) {
    putchar('\'');
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '\'')
            fputs("'\\''", stdout);
        else if (c < 0x20 || c >= 0x7F)
            printf("'$'\\x%02x''", c);
        else
            putchar(c);
    }
    putchar('\'');
}

void report(const char *what, const char *offset, const char *address) {
    printf("mismatch (%s): ip4add ", what);
    print_quoted(offset);
    putchar(' ');
    print_quoted(address);
    putchar('\n');
}

// The units along the driver's path, with the model's kind of answer.
model::run through_units(const char *offset_text, const char *address_text) {
    switch (contains_dotted_quad(address_text)) {
    case quad_search::pattern_error:
        abort(); // the real pattern always compiles
    case quad_search::not_found:
        return {model::outcome::refused, 0};
    case quad_search::found:
        break;
    }
    int32_t offset = convert_offset(offset_text);
    quad q;
    if (!read_quad(address_text, &q))
        return {model::outcome::refused, 0};
    octets o = split_address(compose_address(q, offset));
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        if (o.number[i] < 0 || o.number[i] > 255)
            return {model::outcome::result, ~0U}; // cannot match the model
        value = value * 256U + static_cast<uint32_t>(o.number[i]);
    }
    return {model::outcome::result, value};
}

size_t read_all(int fd, char *buffer, size_t size) {
    size_t total = 0;
    ssize_t n;
    while (total + 1 < size && (n = read(fd, buffer + total, size - 1 - total)) > 0)
        total += static_cast<size_t>(n);
    buffer[total] = '\0';
    return total;
}

// Runs the binary and compares its stdout, stderr and status with the model.
bool through_binary(const char *binary, const char *offset, const char *address) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        perror("pipe");
        exit(2);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    char name[] = "ip4add";
    char *argv[] = {name, const_cast<char *>(offset), const_cast<char *>(address), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, binary, &actions, nullptr, argv, environ) != 0) {
        perror(binary);
        exit(2);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    // Each stream carries one short line, well under a pipe's capacity.
    char got_out[64], got_err[2 * TEXT_SIZE + 64];
    read_all(out[0], got_out, sizeof got_out);
    read_all(err[0], got_err, sizeof got_err);
    close(out[0]);
    close(err[0]);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);

    model::transcript want = model::render(offset, address);
    bool same = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == want.status &&
                strcmp(got_out, want.out) == 0 && strcmp(got_err, want.err) == 0;
    free(want.err);
    return same;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 2 && argc != 4) {
        fputs("usage: ip4add_differential CASES [BINARY BINARY_CASES]\n", stderr);
        return 2;
    }
    long cases = strtol(argv[1], nullptr, 10);
    const char *binary = argc == 4 ? argv[2] : nullptr;
    long binary_cases = argc == 4 ? strtol(argv[3], nullptr, 10) : 0;

    long mismatches = 0, results = 0;
    text offset{}, address{};
    for (long i = 0; i < cases; ++i) {
        make_offset(&offset);
        make_address(&address);
        model::run want = model::shift(offset.bytes, address.bytes);
        model::run got = through_units(offset.bytes, address.bytes);
        results += want.kind == model::outcome::result;
        if (got.kind != want.kind || got.value != want.value) {
            ++mismatches;
            report("units", offset.bytes, address.bytes);
        }
        if (i < binary_cases && !through_binary(binary, offset.bytes, address.bytes)) {
            ++mismatches;
            report("binary", offset.bytes, address.bytes);
        }
    }
    printf("differential: %ld cases (%ld results, %ld refused), %ld through the binary, "
           "%ld mismatches\n",
           cases, results, cases - results, binary_cases < cases ? binary_cases : cases,
           mismatches);
    return mismatches == 0 ? 0 : 1;
}
