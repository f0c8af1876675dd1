// SPDX-License-Identifier: ISC
// lib/format.cpp - '@' formatter
#include "format.h"

#include <cstring>

#include "io.h"

namespace kestrix {

namespace {

const format_arg& take(format_args* args, format_kind kind)
{
    if (args->left == 0 || args->next->kind != kind)
        fail_bare("format argument mismatch");
    --args->left;
    return *args->next++;
}

void append_signed(buffer* b, std::int64_t value, std::uint32_t base)
{
    if (value >= 0) {
        buffer_append_unsigned(b, static_cast<std::uint64_t>(value), base);
        return;
    }
    // Negating in unsigned arithmetic gives the magnitude of every value,
    // the most negative one included.
    buffer_append_char(b, '-');
    buffer_append_unsigned(b, 0 - static_cast<std::uint64_t>(value), base);
}

char digit_char(std::uint64_t d)
{
    return static_cast<char>(d < 10 ? '0' + d : 'A' + (d - 10));
}

template <std::uint32_t base>
void append_digits(buffer* b, std::uint64_t value)
{
    if (value >= base)
        append_digits<base>(b, value / base);
    buffer_append_char(b, digit_char(value % base));
}

}  // namespace

void buffer_append_unsigned(buffer* b, std::uint64_t value, std::uint32_t base)
{
    if (base < 2 || base > 36)
        fail_bare("invalid number base");
    // Divisors known when compiling cost multiplications, not divisions; the
    // formats only ever ask for these two bases.
    if (base == 10) {
        append_digits<10>(b, value);
        return;
    }
    if (base == 16) {
        append_digits<16>(b, value);
        return;
    }
    if (value >= base)
        buffer_append_unsigned(b, value / base, base);
    buffer_append_char(b, digit_char(value % base));
}

void buffer_vformat(buffer* b, const char* format, format_args* args)
{
    const char* at = format;
    for (;;) {
        const char* mark = std::strchr(at, '@');
        if (mark == nullptr) {
            buffer_append(b, at, std::strlen(at));
            return;
        }
        buffer_append(b, at, static_cast<std::uint64_t>(mark - at));
        switch (mark[1]) {
        case '\0':
            fail_bare("unexpected end of format");
        case '@':
            buffer_append_char(b, '@');
            break;
        case 'c':
            buffer_append_cstr(b, take(args, format_kind::string).string);
            break;
        case 'b':
            buffer_append_buffer(b, take(args, format_kind::buf).buf);
            break;
        case 'i':
            append_signed(b, take(args, format_kind::int32).int32, 10);
            break;
        case 'x':
            append_signed(b, take(args, format_kind::int32).int32, 16);
            break;
        case 'I':
            buffer_append_unsigned(b, take(args, format_kind::uint32).uint32, 10);
            break;
        case 'X':
            buffer_append_unsigned(b, take(args, format_kind::uint32).uint32, 16);
            break;
        case 'l':
            append_signed(b, take(args, format_kind::int64).int64, 10);
            break;
        case 'L':
            buffer_append_unsigned(b, take(args, format_kind::uint64).uint64, 10);
            break;
        case 'a': {
            std::uint32_t v = take(args, format_kind::uint32).uint32;
            for (int shift = 0; shift < 32; shift += 8) {
                if (shift != 0)
                    buffer_append_char(b, '.');
                buffer_append_unsigned(b, (v >> shift) & 0xff, 10);
            }
            break;
        }
        default:
            fail_bare("unknown format character");
        }
        at = mark + 2;
    }
}

int fd_vprint(int fd, const char* format, format_args* args)
{
    buffer text = {};
    buffer_vformat(&text, format, args);
    int r = fd_write_all(fd, text.storage, text.length);
    buffer_free(&text);
    return r;
}

}  // namespace kestrix
