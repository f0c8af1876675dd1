// SPDX-License-Identifier: ISC
// fuzz/format_fuzz.cpp - the formatter and the buffer operations
//
// The input is a program of operations on two buffers, each mirrored by a
// std::string. Formats are built from directives and literal runs the input
// picks, with argument values it supplies, and every directive's output is
// checked against an independent conversion (snprintf, std::to_chars). After
// every operation both buffers must keep their invariants, hold exactly the
// mirrored content and have the capacity the growth rule gives.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "format.h"
#include "fuzz_support.h"

namespace kestrix {  // the library reads these two
const char* program_name = "fuzz";
const char* usage_text = "";
}  // namespace kestrix

using kestrix::buffer;
using kestrix::format_arg;
using kestrix::format_kind;

namespace {

constexpr int print_fd = 9;
constexpr std::uint64_t size_cap = 3000;

struct capture {
    bool active = false;
    int calls = 0;
    std::string text;
};

capture printed;

}  // namespace

extern "C" ssize_t __wrap_write(int fd, const void* data, std::size_t n)
{
    if (!printed.active)
        return __real_write(fd, data, n);
    FUZZ_CHECK(fd == print_fd);
    ++printed.calls;
    printed.text.append(static_cast<const char*>(data), n);
    return static_cast<ssize_t>(n);
}

extern "C" ssize_t __wrap_read(int fd, void* data, std::size_t n)
{
    return __real_read(fd, data, n);
}

namespace {

struct subject {
    buffer b;
    std::string m;
};

// The reference conversions go through snprintf with literal formats.
#define PRINTF_TEXT(...)                                                                                               \
    std::string(reference, static_cast<std::size_t>(std::snprintf(reference, sizeof reference, __VA_ARGS__)))

std::string to_chars_text(std::uint64_t value, int base)
{
    char text[80];
    auto end = std::to_chars(text, text + sizeof text, value, base).ptr;
    std::string s(text, end);
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// A literal run: any bytes but '@' and NUL.
std::string take_literal(fuzz::reader* r)
{
    std::string s = fuzz::take_string(r, fuzz::take_byte(r) % 6);
    std::replace(s.begin(), s.end(), '@', '#');
    std::replace(s.begin(), s.end(), '\0', '0');
    return s;
}

std::string take_cstring(fuzz::reader* r)
{
    std::string s = fuzz::take_string(r, fuzz::take_byte(r) % 24);
    std::replace(s.begin(), s.end(), '\0', '@');
    return s;
}

// Builds a format of up to four directives with literal runs around them,
// its arguments and the text it must produce, then formats into s.
void run_format(fuzz::reader* r, subject* s, bool print)
{
    static const char directives[] = "@cbiIlLxXa";
    std::string format = take_literal(r), expected = format;
    std::vector<format_arg> args;
    char reference[64];
    std::vector<std::string> strings;  // storage behind "@c" arguments
    buffer parts[4] = {};
    strings.reserve(4);
    int count = fuzz::take_byte(r) % 5;
    for (int i = 0; i < count; ++i) {
        char d = directives[fuzz::take_byte(r) % 10];
        format += '@';
        format += d;
        format_arg a{};
        switch (d) {
        case '@':
            expected += '@';
            break;
        case 'c':
            strings.push_back(take_cstring(r));
            a = kestrix::format_detail::make(strings.back().c_str());
            expected += strings.back();
            break;
        case 'b': {
            std::string bytes = fuzz::take_string(r, fuzz::take_byte(r) % 24);
            kestrix::buffer_append(&parts[i], bytes.data(), bytes.size());
            a = kestrix::format_detail::make(static_cast<const buffer*>(&parts[i]));
            expected += bytes;
            break;
        }
        case 'i': {
            auto v = static_cast<std::int32_t>(fuzz::take_bytes_le(r, 4));
            a = kestrix::format_detail::make(v);
            expected += PRINTF_TEXT("%" PRId32, v);
            break;
        }
        case 'x': {
            auto v = static_cast<std::int32_t>(fuzz::take_bytes_le(r, 4));
            a = kestrix::format_detail::make(v);
            std::int64_t wide = v;
            expected += wide < 0 ? PRINTF_TEXT("-%" PRIX64, static_cast<std::uint64_t>(-wide))
                                 : PRINTF_TEXT("%" PRIX64, static_cast<std::uint64_t>(wide));
            break;
        }
        case 'I':
        case 'X':
        case 'a': {
            auto v = static_cast<std::uint32_t>(fuzz::take_bytes_le(r, 4));
            a = kestrix::format_detail::make(v);
            if (d == 'I')
                expected += PRINTF_TEXT("%" PRIu32, v);
            else if (d == 'X')
                expected += PRINTF_TEXT("%" PRIX32, v);
            else
                expected += PRINTF_TEXT("%u.%u.%u.%u", v & 255, (v >> 8) & 255, (v >> 16) & 255, v >> 24);
            break;
        }
        case 'l': {
            auto v = static_cast<std::int64_t>(fuzz::take_bytes_le(r, 8));
            a = kestrix::format_detail::make(v);
            expected += PRINTF_TEXT("%" PRId64, v);
            break;
        }
        case 'L': {
            std::uint64_t v = fuzz::take_bytes_le(r, 8);
            a = kestrix::format_detail::make(v);
            expected += PRINTF_TEXT("%" PRIu64, v);
            break;
        }
        }
        if (d != '@')
            args.push_back(a);
        std::string literal = take_literal(r);
        format += literal;
        expected += literal;
    }
    args.push_back(kestrix::format_detail::make(std::int32_t{0}));
    kestrix::format_args list{args.data(), args.size() - 1};
    if (print) {
        printed = capture{};
        printed.active = true;
        int result = kestrix::fd_vprint(print_fd, format.c_str(), &list);
        printed.active = false;
        // The whole text goes to the system in one write, and nothing at all
        // when there is no text.
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(printed.text == expected);
        FUZZ_CHECK(printed.calls == (expected.empty() ? 0 : 1));
    } else {
        kestrix::buffer_vformat(&s->b, format.c_str(), &list);
        s->m += expected;
    }
    FUZZ_CHECK(list.left == 0);
    for (buffer& p : parts)
        kestrix::buffer_free(&p);
}

bool holds_exactly(const subject& s)
{
    return fuzz::buffer_is_sane(s.b) && fuzz::content(s.b) == s.m;
}

bool sized_for_length(const subject& s)
{
    return s.b.capacity == fuzz::capacity_for(s.b.length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::reader r{data, size, 0};
    subject subjects[2] = {{{}, {}}, {{}, {}}};
    while (r.at < r.size) {
        std::uint8_t op = fuzz::take_byte(&r);
        subject& s = subjects[op >> 7];
        subject& other = subjects[1 - (op >> 7)];
        // Keeps lengths small enough that no operation can run out of memory.
        for (subject& t : subjects)
            if (t.b.length > size_cap) {
                kestrix::buffer_free(&t.b);
                t.m.clear();
            }
        switch (op % 14) {
        case 0:
            run_format(&r, &s, false);
            FUZZ_CHECK(sized_for_length(s));
            break;
        case 1:
            run_format(&r, &s, true);
            break;
        case 2: {
            std::uint64_t value = fuzz::take_bytes_le(&r, 8);
            std::uint32_t base = 2 + fuzz::take_byte(&r) % 35;
            kestrix::buffer_append_unsigned(&s.b, value, base);
            s.m += to_chars_text(value, static_cast<int>(base));
            FUZZ_CHECK(sized_for_length(s));
            break;
        }
        case 3: {
            std::string bytes = fuzz::take_string(&r, fuzz::take_byte(&r));
            kestrix::buffer_append(&s.b, bytes.data(), bytes.size());
            s.m += bytes;
            FUZZ_CHECK(sized_for_length(s));
            break;
        }
        case 4: {
            std::uint64_t n = s.b.length == 0 ? 0 : fuzz::take_bytes_le(&r, 2) % (s.b.length + 1);
            std::uint64_t capacity = s.b.capacity;
            bool to_other = fuzz::take_byte(&r) & 1;
            kestrix::buffer_consume(&s.b, n, to_other ? &other.b : nullptr);
            if (to_other) {
                other.m += s.m.substr(0, n);
                FUZZ_CHECK(sized_for_length(other));
            }
            s.m.erase(0, n);
            FUZZ_CHECK(s.b.capacity == capacity);
            break;
        }
        case 5: {
            std::uint64_t n = s.b.length + fuzz::take_bytes_le(&r, 2) % 1024;
            kestrix::buffer_reserve(&s.b, n);
            FUZZ_CHECK(s.b.capacity == fuzz::capacity_for(n));
            break;
        }
        case 6: {
            std::uint64_t n = s.b.length == 0 ? 0 : fuzz::take_bytes_le(&r, 2) % (s.b.length + 1);
            kestrix::buffer_set_length(&s.b, n);
            s.m.resize(n);
            FUZZ_CHECK(sized_for_length(s));
            break;
        }
        case 7: {
            char from = static_cast<char>(fuzz::take_byte(&r)), to = static_cast<char>(fuzz::take_byte(&r));
            char beyond = s.b.storage != nullptr ? s.b.storage[s.b.length] : 0;
            kestrix::buffer_replace_char(&s.b, from, to);
            std::replace(s.m.begin(), s.m.end(), from, to);
            // The byte after the content is not touched.
            FUZZ_CHECK(s.b.storage == nullptr || s.b.storage[s.b.length] == beyond);
            break;
        }
        case 8: {
            char c = static_cast<char>(fuzz::take_byte(&r));
            std::size_t at = s.m.find(c);
            std::int64_t expected = at == std::string::npos ? -1 : static_cast<std::int64_t>(at);
            FUZZ_CHECK(kestrix::buffer_find_char(&s.b, c) == expected);
            break;
        }
        case 9: {
            const char* text = kestrix::buffer_cstr(&s.b);
            FUZZ_CHECK(std::strcmp(text, s.m.c_str()) == 0);
            FUZZ_CHECK((s.b.length == 0) == (text != s.b.storage || s.b.storage == nullptr));
            break;
        }
        case 10: {
            std::string text = take_cstring(&r);
            kestrix::buffer_assign_cstr(&s.b, text.c_str());
            s.m = text;
            FUZZ_CHECK(sized_for_length(s));
            break;
        }
        case 11:
            kestrix::buffer_free(&s.b);
            s.m.clear();
            FUZZ_CHECK(s.b.storage == nullptr && s.b.capacity == 0);
            break;
        case 12: {
            char c = static_cast<char>(fuzz::take_byte(&r));
            kestrix::buffer_append_char(&s.b, c);
            s.m += c;
            FUZZ_CHECK(sized_for_length(s));
            break;
        }
        case 13: {
            std::string before = other.m;
            kestrix::buffer_append_buffer(&s.b, &other.b);
            s.m += other.m;
            FUZZ_CHECK(sized_for_length(s));
            FUZZ_CHECK(fuzz::content(other.b) == before);
            break;
        }
        }
        FUZZ_CHECK(holds_exactly(s) && holds_exactly(other));
    }
    kestrix::buffer_free(&subjects[0].b);
    kestrix::buffer_free(&subjects[1].b);
    return 0;
}
