// SPDX-License-Identifier: ISC
/*
 * gen_input: writes a fixed benchmark input on standard output, the same
 * bytes on every machine (a private xorshift generator with a fixed starting state).
 *
 *   gen_input lines N   N lines of 60 to 100 bytes, newline included, of
 *                       printable ASCII
 *   gen_input blob N    N bytes of printable ASCII without any newline
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t state = 0x9e3779b97f4a7c15u;

static uint64_t next(void)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

static char printable(void)
{
    return (char)(' ' + next() % 95);
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    unsigned long long n = strtoull(argv[2], NULL, 10);
    static char out[1 << 16];
    size_t used = 0;
    if (strcmp(argv[1], "lines") == 0) {
        for (unsigned long long i = 0; i < n; ++i) {
            size_t len = 59 + (size_t)(next() % 41);
            if (used + len + 1 > sizeof out) {
                fwrite(out, 1, used, stdout);
                used = 0;
            }
            for (size_t k = 0; k < len; ++k)
                out[used++] = printable();
            out[used++] = '\n';
        }
    } else if (strcmp(argv[1], "blob") == 0) {
        for (unsigned long long i = 0; i < n; ++i) {
            if (used == sizeof out) {
                fwrite(out, 1, used, stdout);
                used = 0;
            }
            out[used++] = printable();
        }
    } else {
        return 2;
    }
    fwrite(out, 1, used, stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}
