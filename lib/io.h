// SPDX-License-Identifier: ISC
// lib/io.h - descriptor I/O on buffers
#ifndef KESTRIX_LIB_IO_H
#define KESTRIX_LIB_IO_H
#include <cstdint>
#include <sys/types.h>

#include "buffer.h"

namespace kestrix {

// Nothing here prints, opens, closes or changes the flags of a descriptor.
// A failure returns -1 with errno as the failing read or write left it.
//
// Writes are complete: a short write is continued from where it stopped and
// a write interrupted by a signal (EINTR) is repeated. Reads are never
// retried: an interrupted read is a failure with errno EINTR, and the caller
// decides what it means.

// Writes all n bytes of data. 0 when done (no write call at all for n == 0).
int fd_write_all(int fd, const char* data, std::uint64_t n);

// Exactly one write of b's content, even an empty one; its result unchanged.
ssize_t buffer_write(int fd, const buffer* b);

// Writes all of b's content as fd_write_all does. b is not changed.
int buffer_write_all(int fd, const buffer* b);

// One read of at most n bytes appended to b (reserved first when it does not
// fit). Bytes appended (> 0), 0 at end of input or when n is 0, -1 on failure.
ssize_t buffer_read(int fd, buffer* b, std::uint64_t n);

// Appends everything up to end of input, reading 4096 bytes at a time.
// 0 at end of input; -1 on failure, keeping what was appended before.
int buffer_read_all(int fd, buffer* b);

// Line reading through a read-ahead buffer, `pending`, that the caller owns,
// starts empty and passes to every call on one descriptor, always with the
// same limit. Between calls pending holds the bytes read and not delivered,
// starting at the next record.
//
// A record is the bytes up to the first delimiter. When pending holds one, it
// is delivered without any read; otherwise one read at a time is made (4096
// bytes, or with a limit only the room left below it) until one arrives.
// Delivery appends the record, without its delimiter, to out (after what out
// held) and removes it from pending.
//
// Result 1: a record was delivered. 0: end of input (pending keeps the
// unterminated tail), or pending already holds limit bytes without the
// delimiter, which no later call can change (the record is over-long; pending
// then holds exactly limit bytes). -1: a read failed, EINTR included; out is
// unchanged and pending keeps every byte read, so a later call resumes.
//
// limit 0 means none. With a limit, pending is sized once and never holds more
// than limit bytes. Bytes held are searched once per call and new bytes once
// per read, so a record of any length costs time in proportion to its length.
// out and pending are two different buffers.
int buffer_read_until(int fd, buffer* out, std::uint64_t limit, int delimiter, buffer* pending);

// buffer_read_until with the newline as delimiter.
int buffer_read_line(int fd, buffer* out, std::uint64_t limit, buffer* pending);

}  // namespace kestrix
#endif
