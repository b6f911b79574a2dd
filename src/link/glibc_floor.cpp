// Two definitions that keep the modules loadable on glibc 2.17 and later.
//
// Each module carries the parts of the C++ runtime it uses (linked with
// -static-libstdc++, unused sections dropped with --gc-sections).  The
// runtime's archive was compiled against a recent glibc, and its exception
// support refers to two symbols that only recent versions export:
//
//   __libc_single_threaded (glibc 2.32)  read before reference-count updates;
//   __isoc23_strtoul       (glibc 2.38)  what the headers now call strtoul.
//
// Defined here (hidden, like everything the modules do not export), the
// runtime inside each module binds to these instead, so the modules ask of
// glibc no more than the code's own calls do.  The same holds on aarch64,
// where the runtime of the cross toolchain refers to the same two symbols
// and every older one is of GLIBC_2.17, that machine's first glibc.
namespace {
extern "C" unsigned long glibc_strtoul(const char* text, char** end, int base) __asm__("strtoul");
}

extern "C" {

// Non-zero would let the runtime update reference counts without atomic
// instructions while the process has one thread; 0 keeps them atomic, which
// is always correct.
char __libc_single_threaded = 0;

// strtoul as C23 defines it: base 0 or 2 also reads a "0b" prefix.  (The
// runtime's one caller reads decimal numbers from GLIBCXX_TUNABLES.)
unsigned long __isoc23_strtoul(const char* text, char** end, int base) {
    if (base == 0 || base == 2) {
        const char* p = text;
        while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
            ++p;
        }
        const bool minus = *p == '-';
        if (*p == '+' || *p == '-') {
            ++p;
        }
        if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B') && (p[2] == '0' || p[2] == '1')) {
            const unsigned long value = glibc_strtoul(p + 2, end, 2);
            return minus ? 0 - value : value;
        }
    }
    return glibc_strtoul(text, end, base);
}

}  // extern "C"
