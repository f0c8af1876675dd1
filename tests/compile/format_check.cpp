// SPDX-License-Identifier: ISC
// tests/compile/format_check.cpp - calls of the formatter that must, or must
// not, compile. Built only with -fsyntax-only by the format_check tests; each
// FORMAT_CHECK_ macro adds one call that the compile-time check must refuse.
#include <cstdint>

#include "format.h"

using namespace kestrix;

void correct_calls(buffer* b, const buffer* other, const char* text)
{
    std::int32_t i = -1;
    std::uint32_t u = 1;
    std::int64_t l = -1;
    std::uint64_t big = 1;
    buffer_format(b, "@c @b @i @I @l @L @x @X @a @@", text, other, i, u, l, big, i, u, u);
    buffer_format(b, "no directive");
    buffer_format(b, "@@c");
    fd_print(2, "@c: @c\n", "prog", text);
    fd_print(1, "");
    // Each mismatch stands after one directive of every kind, so a check that
    // stopped early at any of them would let it compile.
#if defined(FORMAT_CHECK_WRONG_TYPE)
    buffer_format(b, "@c @b @i @I @l @L @x @X @a @@ @i", text, other, i, u, l, big, i, u, u, u);
#endif
#if defined(FORMAT_CHECK_TOO_FEW_ARGUMENTS)
    fd_print(2, "@c @b @i @I @l @L @x @X @a @@ @c\n", text, other, i, u, l, big, i, u, u);
#endif
#if defined(FORMAT_CHECK_TOO_MANY_ARGUMENTS)
    buffer_format(b, "@c @b @i @I @l @L @x @X @a @@", text, other, i, u, l, big, i, u, u, i);
#endif
}
