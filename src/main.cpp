// ip4add: prints the IPv4 address that lies <int> addresses after (or, for a
// negative <int>, before) <ip>, wrapping round at both ends of the space.
#include "address_math.hpp"
#include "quad_pattern.hpp"

#include <stdio.h>

// Test builds compile this file with a broken pattern text so that the
// compile-failure path is exercised end to end.
#ifndef IP4ADD_PATTERN
#define IP4ADD_PATTERN DOTTED_QUAD_PATTERN
#endif

namespace {
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_PATTERN = 2;
constexpr int EXIT_NOT_QUAD = 3;
constexpr int EXIT_WRITE = 4;

constexpr char USAGE_FORMAT[] = "Syntax: %s <int> <ip>\n";
constexpr char COMPILE_MESSAGE[] = "Error - compiling regular expression...\n";
constexpr char REFUSAL_FORMAT[] = "Error - `%s'; not a ip4 dotted quad..\n";
constexpr char RESULT_FORMAT[] = "%d.%d.%d.%d\n";
constexpr char WRITE_MESSAGE[] = "Error - writing result...\n";

// Stands in for the program name when there is none to show: an empty
// argument vector (which newer Linux kernels turn into one empty name).
constexpr char FALLBACK_NAME[] = "ip4add";
} // namespace

// Failed writes of the usage line and of the error messages are not
// examined: their statuses already tell the caller what happened, and there
// is nowhere left to report a broken standard error.
int main(int argc, char *argv[]) {
    if (argc != 3) {
        printf(USAGE_FORMAT, argc > 0 && argv[0] && argv[0][0] ? argv[0] : FALLBACK_NAME);
        return EXIT_USAGE;
    }
    const char *offset_text = argv[1];
    const char *address_text = argv[2];

    switch (contains_dotted_quad(address_text, IP4ADD_PATTERN)) {
    case quad_search::pattern_error:
        (void)fputs(COMPILE_MESSAGE, stderr);
        return EXIT_PATTERN;
    case quad_search::not_found:
        (void)fprintf(stderr, REFUSAL_FORMAT, address_text);
        return EXIT_NOT_QUAD;
    case quad_search::found:
        break;
    }

    int32_t offset = convert_offset(offset_text);
    quad q;
    // A quad somewhere in the text is not enough: the numbers are read from
    // its start, and a text that does not begin with one is refused alike.
    if (!read_quad(address_text, &q)) {
        (void)fprintf(stderr, REFUSAL_FORMAT, address_text);
        return EXIT_NOT_QUAD;
    }
    octets o = split_address(compose_address(q, offset));

    printf(RESULT_FORMAT, o.number[3], o.number[2], o.number[1], o.number[0]);
    // A lost result line must not look like success to the calling script.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        (void)fputs(WRITE_MESSAGE, stderr);
        return EXIT_WRITE;
    }
    return 0;
}
