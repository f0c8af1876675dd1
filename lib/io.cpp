// SPDX-License-Identifier: ISC
// lib/io.cpp - descriptor I/O on buffers
#include "io.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace kestrix {

namespace {
constexpr std::uint64_t chunk = 4096;
}

int fd_write_all(int fd, const char* data, std::uint64_t n)
{
    while (n != 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data += w;
        n -= static_cast<std::uint64_t>(w);
    }
    return 0;
}

ssize_t buffer_write(int fd, const buffer* b)
{
    return write(fd, b->storage, b->length);
}

int buffer_write_all(int fd, const buffer* b)
{
    return fd_write_all(fd, b->storage, b->length);
}

ssize_t buffer_read(int fd, buffer* b, std::uint64_t n)
{
    if (n == 0)
        return 0;
    if (b->capacity < b->length + n)
        buffer_reserve(b, b->length + n);
    ssize_t r = read(fd, b->storage + b->length, n);
    if (r > 0)
        b->length += static_cast<std::uint64_t>(r);
    return r;
}

int buffer_read_all(int fd, buffer* b)
{
    for (;;) {
        if (b->capacity < b->length + chunk)
            buffer_reserve(b, b->length + chunk);
        ssize_t r = read(fd, b->storage + b->length, chunk);
        if (r <= 0)
            return static_cast<int>(r);
        b->length += static_cast<std::uint64_t>(r);
    }
}

int buffer_read_until(int fd, buffer* out, std::uint64_t limit, int delimiter, buffer* pending)
{
    // Bytes before `searched` were looked at and hold no delimiter.
    std::uint64_t searched = 0;
    for (;;) {
        if (pending->length > searched) {
            const void* at = std::memchr(pending->storage + searched, static_cast<unsigned char>(delimiter),
                                         pending->length - searched);
            if (at != nullptr) {
                std::uint64_t i = static_cast<std::uint64_t>(static_cast<const char*>(at) - pending->storage);
                buffer_consume(pending, i + 1, out);
                buffer_reserve(out, out->length - 1);
                out->length -= 1;
                return 1;
            }
            searched = pending->length;
        }
        std::uint64_t want = limit == 0 ? chunk : limit - pending->length;
        if (want == 0)
            return 0;
        if (pending->capacity < pending->length + want)
            buffer_reserve(pending, pending->length + want);
        ssize_t r = read(fd, pending->storage + pending->length, want);
        if (r <= 0)
            return static_cast<int>(r);
        pending->length += static_cast<std::uint64_t>(r);
    }
}

int buffer_read_line(int fd, buffer* out, std::uint64_t limit, buffer* pending)
{
    return buffer_read_until(fd, out, limit, '\n', pending);
}

}  // namespace kestrix
