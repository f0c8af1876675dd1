// SPDX-License-Identifier: ISC
// ident/responder.h - the request loop of one ident connection
#ifndef KESTRIX_IDENT_RESPONDER_H
#define KESTRIX_IDENT_RESPONDER_H
#include <cstdint>

#include "buffer.h"

// The longest request line, its newline included.
constexpr std::uint64_t request_limit = 1000;

// Answers ident requests read from fd_in on fd_out, logging on fd_err, until
// the connection ends; then logs "<pid>: closed" and returns. The caller has
// already logged the connection and decides how the process ends.
//
// A request is a line "first,second" (at most request_limit bytes with its
// newline). Each number is read by the atoi rules (white space, one sign,
// digits up to the first other byte) and must lie in 1..65535; a number
// beyond the signed 32-bit range is out of range, never wrapped. A valid
// request is logged as "<pid>: request first,second" and answered with
// " first , second : USERID : UNIX : <reply_user>\r\n", or with
// " first , second : ERROR : HIDDEN-USER\r\n" when reply_user is null. The
// user id goes out byte for byte as given.
//
// The loop ends, after the log line in brackets where there is one, at end of
// input, at request_limit bytes without a newline (at once, without waiting
// for more), on a read failure ["read from client failed"], a line without a
// comma ["request without comma"], a port out of range ["port out of range
// in request"] or a write failure ["write to client failed"]. An invalid
// request never gets a reply, and bytes of an unfinished request are dropped.
// Log lines are written whole and their results ignored. No signal
// disposition is touched: a write to a peer that has gone away raises
// SIGPIPE as the caller's disposition decides.
//
// pending is the read-ahead of fd_in: all-zero before the first call, never
// holding more than request_limit bytes, and left to the caller afterwards.
// Nothing else outlives the call.
void serve_requests(std::int32_t pid, const char* reply_user, kestrix::buffer* pending);

#endif
