// SPDX-License-Identifier: ISC
// fuzz/fuzz_support.h - shared pieces of the fuzz targets
#ifndef KESTRIX_FUZZ_FUZZ_SUPPORT_H
#define KESTRIX_FUZZ_FUZZ_SUPPORT_H
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "buffer.h"

// The real calls behind the --wrap interposition.
extern "C" ssize_t __real_read(int fd, void* data, std::size_t n);
extern "C" ssize_t __real_write(int fd, const void* data, std::size_t n);

namespace fuzz {

// A broken rule ends the run with a message; libFuzzer keeps the input.
[[noreturn]] inline void broken(const char* file, int line, const char* what)
{
    std::fprintf(stderr, "%s:%d: rule broken: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : fuzz::broken(__FILE__, __LINE__, #condition))

// Reads a fuzz input front to back; past its end every byte is 0.
struct reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at;
};

inline std::uint8_t take_byte(reader* r)
{
    return r->at < r->size ? r->data[r->at++] : 0;
}

inline std::uint64_t take_bytes_le(reader* r, int count)
{
    std::uint64_t v = 0;
    for (int i = 0; i < count; ++i)
        v |= std::uint64_t{take_byte(r)} << (8 * i);
    return v;
}

inline std::string take_string(reader* r, std::size_t n)
{
    std::string s;
    while (n-- > 0 && r->at < r->size)
        s.push_back(static_cast<char>(r->data[r->at++]));
    return s;
}

inline std::string take_rest(reader* r)
{
    return take_string(r, r->size - r->at);
}

// The rules every buffer keeps between two operations.
inline bool buffer_is_sane(const kestrix::buffer& b)
{
    if (b.storage == nullptr)
        return b.capacity == 0 && b.length == 0;
    return b.capacity != 0 && b.capacity % 256 == 0 && b.length <= b.capacity;
}

inline std::string content(const kestrix::buffer& b)
{
    return b.storage == nullptr ? std::string() : std::string(b.storage, b.length);
}

// The capacity the growth rule gives for a content of n bytes.
inline std::uint64_t capacity_for(std::uint64_t n)
{
    return n == 0 ? 0 : (n / 256 + 1) * 256;
}

}  // namespace fuzz
#endif
