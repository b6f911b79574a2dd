// Digits written directly: the decimal and hexadecimal texts the modules
// produce (identifiers, timestamps, the text form of a document, JSON).
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>

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

// The most characters float_repr() writes.
inline constexpr int kFloatReprMax = 32;

// repr() of a finite double, as the interpreter writes it: the shortest
// digits that read back as the same double (std::to_chars gives those, the
// nearest of them to the exact value, as the interpreter's own conversion
// does), laid out by the interpreter's rules: the exponent form when the
// decimal point would come 4 or more places before the first digit or more
// than 16 after it, with a sign and at least two digits; otherwise plain
// digits, with ".0" after an integral value.  Writes at most kFloatReprMax
// characters at `p`; returns the end.
Py_NO_INLINE inline char* float_repr(char* p, double d) {
    char sci[kFloatReprMax];
    const auto [end, ec] = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    const char* q = sci;
    if (*q == '-') *p++ = *q++;
    char digits[20];
    int n = 0;
    for (; q < end && *q != 'e'; ++q)
        if (*q != '.') digits[n++] = *q;
    const bool negative = q + 1 < end && q[1] == '-';
    int e = 0;
    for (q += 2; q < end; ++q) e = e * 10 + (*q - '0');
    if (negative) e = -e;
    const int point = e + 1;  // where the decimal point falls, counted from the first digit
    if (point <= -4 || point > 16) {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, static_cast<std::size_t>(n - 1));
            p += n - 1;
        }
        *p++ = 'e';
        *p++ = e < 0 ? '-' : '+';
        const int a = e < 0 ? -e : e;
        if (a >= 100) *p++ = static_cast<char>('0' + a / 100);
        *p++ = static_cast<char>('0' + a / 10 % 10);
        *p++ = static_cast<char>('0' + a % 10);
    } else if (point <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int i = 0; i < -point; ++i) *p++ = '0';
        std::memcpy(p, digits, static_cast<std::size_t>(n));
        p += n;
    } else if (point < n) {
        std::memcpy(p, digits, static_cast<std::size_t>(point));
        p += point;
        *p++ = '.';
        std::memcpy(p, digits + point, static_cast<std::size_t>(n - point));
        p += n - point;
    } else {
        std::memcpy(p, digits, static_cast<std::size_t>(n));
        p += n;
        for (int i = n; i < point; ++i) *p++ = '0';
        *p++ = '.';
        *p++ = '0';
    }
    return p;
}

}  // namespace kst::text
