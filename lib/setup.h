// SPDX-License-Identifier: ISC
// lib/setup.h - process set-up: confinement, descriptor flags, locks, pauses,
// the wake-up pipe of the signal handlers
#ifndef KESTRIX_LIB_SETUP_H
#define KESTRIX_LIB_SETUP_H
#include <cstdint>

namespace kestrix {

// Reads a decimal number by the atoi rules of the C locale: white space
// skipped (space, \t, \n, \v, \f, \r), one optional sign, then the digits up to
// the first other byte; what follows is ignored. 1 when there were digits and
// the number fits a signed 32-bit integer (*value is it); 0 when there were no
// digits (*value is 0); -1 when the number does not fit (*value is 0). Unlike
// atoi it never overflows, so a huge number cannot wrap to a small one.
int scan_int32(const char* text, std::int32_t* value);

// Confines the process from the environment, in this order, each step only
// when its variable is set (an empty value counts as set):
//   ROOT  chroot to it, then chdir to "/" inside it
//   GID   setgid, then setgroups to exactly that one group
//   UID   setuid
// Returns only when every requested change was made. A refusal ends the
// process with status 111: "ROOT: unable to chroot", "ROOT: unable to chdir"
// (the ROOT value as subject), "unable to setgid", "unable to setgroups",
// "unable to setuid"; earlier changes stay in force until the end. A GID or
// UID value without digits, or beyond the signed 32-bit range, is refused the
// same way before any call is made for it, so it can never mean id 0.
void drop_privileges();

// Status flags become (old | set) & ~clear: a flag in both ends up clear.
// Failures end the process: "unable to read FD flags", "unable to set FD flags".
void fd_change_flags(int fd, int set, int clear);

// Descriptor flags become exactly FD_CLOEXEC (not read first). Failure ends
// the process: "unable to set FD_CLOEXEC".
void fd_set_cloexec(int fd);

// Sleeps the whole count of seconds however often signal handlers interrupt
// it; 0 or less returns at once.
void sleep_fully(int seconds);

// Exclusive record lock on the whole file, however far it grows. wait != 0
// blocks until granted (interruptions are resumed); wait == 0 fails at once.
// 0 when held, -1 with errno otherwise. Prints nothing.
int fd_lock(int fd, int wait);

// fd itself when it is above 2. Otherwise a duplicate of it at 3 or above,
// close-on-exec (status flags are shared with fd), and fd is closed: a
// descriptor at 0, 1 or 2 would stand in for a standard one, and what is
// written there would reach whoever reads it. -1 with errno when no duplicate
// can be made; fd is closed then all the same. Prints nothing.
int fd_lift_above_standard(int fd);

// The self-pipe through which signal handlers wake a loop that waits in poll:
// a handler notes its signal in a flag of its own, then calls wake_pipe_note;
// the loop watches the read end, drains it when it is readable, and looks at
// the flags after the drain, so no signal goes unseen.
//
// wake_pipe_make makes the pipe, both ends above 2, non-blocking and
// close-on-exec, and keeps the write end for wake_pipe_note. Returns the
// read end, or -1 with errno (nothing is left open then); prints nothing, so
// each program says what the failure means to it. Called once, before the
// handlers are installed.
int wake_pipe_make();

// Writes one byte to the write end, errno kept: async-signal-safe and never
// blocks. A full pipe takes no byte and already holds a wake-up; before
// wake_pipe_make it does nothing.
void wake_pipe_note();

// Takes every byte the pipe holds and returns once it is empty; never blocks.
void wake_pipe_drain(int read_end);

}  // namespace kestrix
#endif
