// Address arithmetic: turns the offset text and the address text into the
// four octets of the shifted address, with carries and 32-bit wrap-round.
#ifndef IP4ADD_ADDRESS_MATH_HPP
#define IP4ADD_ADDRESS_MATH_HPP

#include <stdint.h>

// The four numbers of the address text in the order written, not yet
// limited to 0..255: a larger or negative number carries or borrows.
struct quad {
    int32_t number[4];
};

// number[0] is the least significant octet, number[3] the most significant.
struct octets {
    int number[4];
};

// Offset text to offset, as atoi would read it (leading white space, one
// sign, decimal digits; no digits give 0), but with any number of digits
// taken modulo 2^32, the same on every platform: 4294967295 is -1.
int32_t convert_offset(const char *text);

// Reads four numbers separated by dots from the start of `text`, each under
// the offset's rules, modulo 2^32; a dot must follow its number at once and
// anything after the fourth number is ignored. Returns false, leaving `out`
// untouched, when the text does not yield all four.
bool read_quad(const char *text, quad *out);

// q[0]*2^24 + q[1]*2^16 + q[2]*2^8 + q[3] + offset, modulo 2^32.
uint32_t compose_address(const quad &q, int32_t offset);

// The address value's octets, most significant in number[3].
octets split_address(uint32_t value);

#endif
