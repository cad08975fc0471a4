// Dotted-quad check on top of POSIX regcomp/regexec.
#include "quad_pattern.hpp"

#include <regex.h>

namespace {
// The tool compiles the pattern once and exits right after the search, so the
// compiled form is simply kept until the process ends. It is static rather
// than leaked so that leak checkers see it as still reachable.
regex_t compiled_pattern;
bool have_compiled_pattern = false;
} // namespace

quad_search contains_dotted_quad(const char *text, const char *pattern) {
    // Only callers that check many texts in one process (tests, fuzzing)
    // get here twice; release the earlier pattern so they do not leak.
    if (have_compiled_pattern) {
        regfree(&compiled_pattern);
        have_compiled_pattern = false;
    }
    if (regcomp(&compiled_pattern, pattern, REG_EXTENDED) != 0)
        return quad_search::pattern_error;
    have_compiled_pattern = true;
    // Any failure of the matcher counts as "no quad": the text is refused
    // rather than read on a doubtful answer.
    return regexec(&compiled_pattern, text, 0, nullptr, 0) == 0 ? quad_search::found
                                                                : quad_search::not_found;
}
