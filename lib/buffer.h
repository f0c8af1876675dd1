// SPDX-License-Identifier: ISC
// lib/buffer.h - growable byte buffer
#ifndef KESTRIX_LIB_BUFFER_H
#define KESTRIX_LIB_BUFFER_H
#include <cstdint>

namespace kestrix {

// A buffer owns its storage and nothing else; `buffer b = {};` is empty and
// needs no set-up call. Content is raw bytes (NUL included) at storage[0] to
// storage[length - 1].
//
// Invariants between any two operations:
// - storage is null exactly when capacity is 0; otherwise capacity is a
//   positive multiple of 256 and storage holds capacity + 1 bytes. The extra
//   byte is where buffer_cstr puts its NUL, so it never needs to resize.
// - length <= capacity.
//
// Every size change goes through buffer_reserve, which makes the capacity the
// smallest multiple of 256 strictly above the length asked for and calls
// realloc whenever that capacity differs from the current one (shrinking
// included). There is no geometric growth.
//
// Nothing here returns an error. A size that cannot be represented writes
// "buffer size too large", memory that cannot be had writes "out of memory":
// one write of those bare bytes on descriptor 2 (no name, no newline), then
// exit status 20.
//
// Records are passed by address and never copied: a copy would share storage.
// Bytes appended to a buffer must never lie inside that buffer's own storage,
// which may move before they are copied.
struct buffer {
    char* storage;
    std::uint64_t length;
    std::uint64_t capacity;
};

// Sizes storage for a content of n bytes; n == 0 releases it. Never touches
// length: a caller that reserves below the length sets the length itself.
void buffer_reserve(buffer* b, std::uint64_t n);

// buffer_reserve(n), then length = n. Bytes gained are not initialised.
void buffer_set_length(buffer* b, std::uint64_t n);

// Releases storage; the record is all-zero again and ready for reuse.
void buffer_free(buffer* b);

// Replaces the content by the bytes of s (without its NUL). An empty s
// leaves the all-zero record.
void buffer_assign_cstr(buffer* b, const char* s);

// The appends size the storage to the new length (so an append to a buffer
// whose length fell through buffer_consume shrinks it) and copy the bytes once.
void buffer_append(buffer* b, const char* bytes, std::uint64_t n);
void buffer_append_cstr(buffer* b, const char* s);
void buffer_append_char(buffer* b, char c);
// Appends source's content; source is unchanged and must not be b.
void buffer_append_buffer(buffer* b, const buffer* source);

std::uint64_t buffer_length(const buffer* b);

// The content as a C string, valid until b is next resized or freed. A buffer
// of length 0 gives a shared read-only "" and nothing is written; otherwise a
// NUL goes at storage[length] and storage is returned. Content holding a NUL
// is cut short there by whoever reads the string.
const char* buffer_cstr(buffer* b);

// Index of the first content byte equal to c, or -1. The byte at position
// length is never looked at.
std::int64_t buffer_find_char(const buffer* b, char c);

// Overwrites every content byte equal to from with to; nothing else changes.
void buffer_replace_char(buffer* b, char from, char to);

// Removes the first n bytes of source (n <= its length), appending them to
// destination when one is given (never source itself). Source keeps its
// storage and capacity, even when its length drops to 0.
void buffer_consume(buffer* source, std::uint64_t n, buffer* destination);

// The library's last resort when a buffer or a format fails: one write of the
// bare text on descriptor 2 (not fd_err; no name, no newline, result
// ignored), then exit status 20.
[[noreturn]] void fail_bare(const char* text);

}  // namespace kestrix
#endif
