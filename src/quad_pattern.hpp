// Dotted-quad check: tells whether an address text holds four dot-separated
// groups of one to three ASCII digits anywhere in it.
#ifndef IP4ADD_QUAD_PATTERN_HPP
#define IP4ADD_QUAD_PATTERN_HPP

// Unanchored on purpose: the check is a search, so "ip=10.0.0.1" and
// "1.2.3.4.5" pass it; what is then read from the text is decided elsewhere.
inline constexpr char DOTTED_QUAD_PATTERN[] =
    "([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})";

enum class quad_search { found, not_found, pattern_error };

// Compiles `pattern` (POSIX extended syntax) and searches `text` for it. The
// pattern parameter exists so that tests can drive the compile-failure path
// with a broken pattern; the tool itself always passes DOTTED_QUAD_PATTERN.
quad_search contains_dotted_quad(const char *text, const char *pattern = DOTTED_QUAD_PATTERN);

#endif
