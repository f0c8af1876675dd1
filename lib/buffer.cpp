// SPDX-License-Identifier: ISC
// lib/buffer.cpp - growable byte buffer
#include "buffer.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "diag.h"

namespace kestrix {

namespace {
const char empty_string[] = "";
constexpr std::uint64_t step = 256;
}  // namespace

void fail_bare(const char* text)
{
    // Descriptor 2 itself, one write, result ignored: this runs when memory or
    // the formatter has failed, so nothing here may allocate or format.
    ssize_t ignored = write(2, text, std::strlen(text));
    (void)ignored;
    std::exit(exit_bare_failure);
}

void buffer_reserve(buffer* b, std::uint64_t n)
{
    if (n == 0) {
        std::free(b->storage);
        b->storage = nullptr;
        b->capacity = 0;
        return;
    }
    if (n >= UINT64_MAX - (step - 1))
        fail_bare("buffer size too large");
    std::uint64_t c = (n & ~(step - 1)) + step;
    if (c == b->capacity)
        return;
    void* s = std::realloc(b->storage, c + 1);
    if (s == nullptr)
        fail_bare("out of memory");
    b->storage = static_cast<char*>(s);
    b->capacity = c;
}

void buffer_set_length(buffer* b, std::uint64_t n)
{
    buffer_reserve(b, n);
    b->length = n;
}

void buffer_free(buffer* b)
{
    std::free(b->storage);
    b->storage = nullptr;
    b->length = 0;
    b->capacity = 0;
}

void buffer_assign_cstr(buffer* b, const char* s)
{
    buffer_free(b);
    std::uint64_t k = std::strlen(s);
    buffer_reserve(b, k);
    b->length = k;
    if (b->storage != nullptr)
        std::memcpy(b->storage, s, k);
}

namespace {
[[gnu::noinline]] void append_resizing(buffer* b, const char* bytes, std::uint64_t n)
{
    std::uint64_t old = b->length;
    buffer_reserve(b, old + n);
    b->length = old + n;
    if (b->storage != nullptr && n != 0)
        std::memcpy(b->storage + old, bytes, n);
}
}  // namespace

void buffer_append(buffer* b, const char* bytes, std::uint64_t n)
{
    // Most appends leave the capacity where the growth rule already has it;
    // those take the short way, without a resize to consider.
    std::uint64_t length = b->length + n;
    if (n == 0 || ((length & ~(step - 1)) + step != b->capacity)) {
        append_resizing(b, bytes, n);
        return;
    }
    std::memcpy(b->storage + b->length, bytes, n);
    b->length = length;
}

void buffer_append_cstr(buffer* b, const char* s)
{
    buffer_append(b, s, std::strlen(s));
}

void buffer_append_char(buffer* b, char c)
{
    std::uint64_t length = b->length + 1;
    if ((length & ~(step - 1)) + step != b->capacity) {
        append_resizing(b, &c, 1);
        return;
    }
    b->storage[b->length] = c;
    b->length = length;
}

void buffer_append_buffer(buffer* b, const buffer* source)
{
    buffer_append(b, source->storage, source->length);
}

std::uint64_t buffer_length(const buffer* b)
{
    return b->length;
}

const char* buffer_cstr(buffer* b)
{
    if (b->length == 0)
        return empty_string;
    b->storage[b->length] = '\0';
    return b->storage;
}

std::int64_t buffer_find_char(const buffer* b, char c)
{
    if (b->length == 0)
        return -1;
    const void* at = std::memchr(b->storage, static_cast<unsigned char>(c), b->length);
    if (at == nullptr)
        return -1;
    return static_cast<const char*>(at) - b->storage;
}

void buffer_replace_char(buffer* b, char from, char to)
{
    for (std::uint64_t i = 0; i < b->length; ++i)
        if (b->storage[i] == from)
            b->storage[i] = to;
}

void buffer_consume(buffer* source, std::uint64_t n, buffer* destination)
{
    if (destination != nullptr)
        buffer_append(destination, source->storage, n);
    source->length -= n;
    if (source->length != 0)
        std::memmove(source->storage, source->storage + n, source->length);
}

}  // namespace kestrix
