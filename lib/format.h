// SPDX-License-Identifier: ISC
// lib/format.h - '@' formatter
#ifndef KESTRIX_LIB_FORMAT_H
#define KESTRIX_LIB_FORMAT_H
#include <cstdint>
#include <type_traits>
#include <utility>

#include "buffer.h"

namespace kestrix {

// A format is a constant text of the program. Every byte but '@' is copied as
// it stands; '@' and the character after it form a directive, and each
// directive but "@@" takes exactly one argument, left to right:
//
//   @@  none            one '@'
//   @c  const char*     the string's bytes (never interpreted)
//   @b  const buffer*   the buffer's length bytes, NUL included
//   @i  std::int32_t    decimal, '-' before a negative magnitude
//   @I  std::uint32_t   decimal
//   @l  std::int64_t    decimal, '-' before a negative magnitude
//   @L  std::uint64_t   decimal
//   @x  std::int32_t    hexadecimal, capital digits, '-' before a negative one
//   @X  std::uint32_t   hexadecimal, capital digits
//   @a  std::uint32_t   dotted quad, bits 0-7 first
//
// No widths, no flags, no leading zeros. Outside texts are only ever passed
// as "@c" arguments, so an '@' inside them is output like any other byte.
//
// buffer_format and fd_print check their arguments against a literal format
// when they are compiled: a directive whose argument has another type, or a
// count of arguments that differs from the count of directives, does not
// compile. A malformed format is left to run time and ends the process with
// status 20 after one write of the bare text on descriptor 2: "unexpected end
// of format" for an '@' at the end, "unknown format character" for an '@'
// before any other character. A buffer that cannot grow ends it the same way
// (see buffer.h).

enum class format_kind : unsigned char { string, buf, int32, uint32, int64, uint64 };

// One argument of a format, tagged with its kind.
struct format_arg {
    format_kind kind;
    union {
        const char* string;
        const buffer* buf;
        std::int32_t int32;
        std::uint32_t uint32;
        std::int64_t int64;
        std::uint64_t uint64;
    };
};

// The arguments a format runs over; each directive takes the one at next and
// advances past it.
struct format_args {
    const format_arg* next;
    std::uint64_t left;
};

// Appends the formatted text to b; never clears b first. Called directly (with
// a format known only at run time), a directive that finds no argument left,
// or one of another kind, ends the process like a malformed format, with the
// bare text "format argument mismatch".
void buffer_vformat(buffer* b, const char* format, format_args* args);

// Formats into a buffer of its own and hands the whole text to one write (a
// short write is continued, an interrupted one repeated). 0 when all was
// written or there was nothing to write (no write call then); -1 when a write
// failed, with errno as it left it. Prints no diagnostic of its own.
int fd_vprint(int fd, const char* format, format_args* args);

// Appends value's digits in base (2 to 36; the system uses 10 and 16): most
// significant first, capital letters above 9, no sign, prefix or leading
// zeros, at least one digit. Another base ends the process with status 20 and
// the bare text "invalid number base".
void buffer_append_unsigned(buffer* b, std::uint64_t value, std::uint32_t base);

// What follows turns typed arguments into format_arg records and checks a
// literal format against them when it is compiled.
namespace format_detail {

template <format_kind k>
using kind_tag = std::integral_constant<format_kind, k>;

kind_tag<format_kind::string> kind_of(const char*);
kind_tag<format_kind::buf> kind_of(const buffer*);
kind_tag<format_kind::int32> kind_of(std::int32_t);
kind_tag<format_kind::uint32> kind_of(std::uint32_t);
kind_tag<format_kind::int64> kind_of(std::int64_t);
kind_tag<format_kind::uint64> kind_of(std::uint64_t);

template <typename T>
inline constexpr format_kind kind_v = decltype(kind_of(std::declval<const T&>()))::value;

inline format_arg make(const char* v)
{
    format_arg a{format_kind::string, {}};
    a.string = v;
    return a;
}
inline format_arg make(const buffer* v)
{
    format_arg a{format_kind::buf, {}};
    a.buf = v;
    return a;
}
inline format_arg make(std::int32_t v)
{
    format_arg a{format_kind::int32, {}};
    a.int32 = v;
    return a;
}
inline format_arg make(std::uint32_t v)
{
    format_arg a{format_kind::uint32, {}};
    a.uint32 = v;
    return a;
}
inline format_arg make(std::int64_t v)
{
    format_arg a{format_kind::int64, {}};
    a.int64 = v;
    return a;
}
inline format_arg make(std::uint64_t v)
{
    format_arg a{format_kind::uint64, {}};
    a.uint64 = v;
    return a;
}

// Never defined and not constexpr: reaching one of these while a format is
// checked stops the compilation, and the compiler names the function.
void format_argument_has_the_wrong_type();
void format_has_more_directives_than_arguments();
void format_has_more_arguments_than_directives();

constexpr bool directive_kind(char c, format_kind* k)
{
    switch (c) {
    case 'c':
        *k = format_kind::string;
        return true;
    case 'b':
        *k = format_kind::buf;
        return true;
    case 'i':
    case 'x':
        *k = format_kind::int32;
        return true;
    case 'I':
    case 'X':
    case 'a':
        *k = format_kind::uint32;
        return true;
    case 'l':
        *k = format_kind::int64;
        return true;
    case 'L':
        *k = format_kind::uint64;
        return true;
    default:
        return false;
    }
}

// Walks the format as the formatter will. A malformed directive ends the
// walk: what follows it is never reached at run time, where it fails.
template <typename... A>
consteval void check(const char* f)
{
    constexpr format_kind kinds[] = {kind_v<A>..., format_kind::string};
    std::size_t used = 0;
    for (; *f != '\0'; ++f) {
        if (*f != '@')
            continue;
        ++f;
        if (*f == '@')
            continue;
        format_kind k{};
        if (!directive_kind(*f, &k))
            return;
        if (used == sizeof...(A))
            format_has_more_directives_than_arguments();
        if (kinds[used] != k)
            format_argument_has_the_wrong_type();
        ++used;
    }
    if (used != sizeof...(A))
        format_has_more_arguments_than_directives();
}

template <typename... A>
struct checked_format {
    const char* text;
    template <std::size_t n>
    consteval checked_format(const char (&f)[n]) : text(f)
    {
        check<A...>(f);
    }
};

}  // namespace format_detail

template <typename... A>
using format_string = format_detail::checked_format<std::type_identity_t<A>...>;

// Appends to b; repeated calls build a text piece by piece.
template <typename... A>
void buffer_format(buffer* b, format_string<A...> format, const A&... a)
{
    const format_arg list[] = {format_detail::make(a)..., format_detail::make(std::int32_t{0})};
    format_args args{list, sizeof...(A)};
    buffer_vformat(b, format.text, &args);
}

// Formats and writes to fd as fd_vprint does.
template <typename... A>
int fd_print(int fd, format_string<A...> format, const A&... a)
{
    const format_arg list[] = {format_detail::make(a)..., format_detail::make(std::int32_t{0})};
    format_args args{list, sizeof...(A)};
    return fd_vprint(fd, format.text, &args);
}

}  // namespace kestrix
#endif
