// Digits written directly: the decimal and hexadecimal texts the modules
// produce (identifiers, timestamps, the text form of a document, JSON).
#pragma once

#include <cstdint>

namespace kst::text {

// `v`, below 10**width, as exactly `width` decimal digits, zero-padded, at
// `p`; returns the end.  (One division per digit but the first.)
template <class Char = char>
inline Char* fixed(Char* p, unsigned long long v, int width) {
    for (int i = width - 1; i > 0; --i) {
        const unsigned long long q = v / 10;
        p[i] = static_cast<Char>('0' + (v - q * 10));
        v = q;
    }
    p[0] = static_cast<Char>('0' + v);
    return p + width;
}

// `v` in decimal (with '-' when negative), written backwards so that it
// ends at `end`; returns its first character.
template <class Char = char>
inline Char* decimal(long long v, Char* end) {
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do *--end = static_cast<Char>('0' + u % 10);
    while (u /= 10);
    if (v < 0) *--end = '-';
    return end;
}

// The length of decimal(v).
inline int decimal_width(long long v) {
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    int n = 1;
    for (unsigned long long p = 10; n < 20 && u >= p; p *= 10) ++n;
    return n + (v < 0);
}

// `v` as exactly `width` upper-case hexadecimal digits at `p` (its lowest
// digits); returns the end.
inline char* hex_upper(char* p, unsigned long long v, int width) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (int i = width - 1; i >= 0; --i, v >>= 4) p[i] = digits[v & 15];
    return p + width;
}

}  // namespace kst::text
