// SPDX-License-Identifier: ISC
// accept/loop.h - the parts of the accept loop: the passed sockets, the peers'
// addresses and sources, the table of connections alive, the environment and
// the start of each program
#ifndef KESTRIX_ACCEPT_LOOP_H
#define KESTRIX_ACCEPT_LOOP_H
#include <csignal>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

#include "buffer.h"

// Takes the sockets that a service manager passes: LISTEN_PID must be this
// process's id and LISTEN_FDS the count of descriptors from 3 on. Every one
// of them that is a listening stream socket of AF_INET or AF_INET6 (dual-stack
// included) is served: it is made non-blocking and close-on-exec, and a
// record {fd, POLLIN, 0} is appended for it to polls, an array of pollfd held
// in a buffer. Any other passed descriptor (a FIFO for logging, a datagram
// socket) is left as it is but marked close-on-exec. LISTEN_PID, LISTEN_FDS
// and LISTEN_FDNAMES are then removed from the environment. Returns the count
// served, at least 1; nothing served ends the process with status 111: "no
// LISTEN_PID or LISTEN_FDS set", "LISTEN_PID is not this process" or "no
// listening socket passed". Nothing is ever bound.
std::uint32_t take_listeners(kestrix::buffer* polls);

// Appends an address as UCSPI super-servers give it in TCPREMOTEIP and
// TCPLOCALIP: IPv4 and IPv4-mapped IPv6 (a v4 peer on a dual-stack socket) as
// a dotted quad; other IPv6 addresses in the form of RFC 5952 (lower-case
// hexadecimal without leading zeros, the longest run of two or more zero
// groups, the first of equals, as "::"), without a scope. Nothing is looked up.
void buffer_append_address(kestrix::buffer* b, const sockaddr_storage* a);
std::uint32_t port_of(const sockaddr_storage* a);

// What the per-source limit counts as one source: an IPv4 address (whether
// it comes over an IPv4 or a dual-stack socket), or the /64 that an IPv6
// address lies in. A host given a /64 chooses among its 2^64 addresses at
// will, so a narrower source would not limit it.
struct source {
    unsigned char bytes[16];  // IPv4 as ::ffff:a.b.c.d; IPv6 its first 8 bytes, then zeros
};
source source_of(const sockaddr_storage* a);

// The connections alive: a fixed array of size slots, pid 0 marking a free
// one, so that nothing grows with the count of connections served. Lookups
// scan it, which for a few thousand slots costs far less than a process.
struct slot {
    pid_t pid;
    source from;
};
struct slot_table {
    slot* slots;
    std::uint32_t size;
    std::uint32_t alive;
};

std::uint32_t table_count_from(const slot_table* t, const source* from);
// False when every slot is taken.
bool table_add(slot_table* t, pid_t pid, const source* from);
// False when pid is in no slot.
bool table_remove(slot_table* t, pid_t pid);

// The environment of every program: this process's own as take_listeners
// left it, less any PROTO, TCPREMOTEIP, TCPREMOTEPORT, TCPLOCALIP,
// TCPLOCALPORT, TCPREMOTEHOST, TCPREMOTEINFO and TCPLOCALHOST, then PROTO=TCP
// and the four address variables of the connection in hand. The list is made
// once; its four texts are rewritten in place for each connection.
struct child_environment {
    char** list;
    std::uint64_t first_address;  // index in list of TCPREMOTEIP
    kestrix::buffer store;        // the list's storage
    kestrix::buffer texts[4];     // TCPREMOTEIP, TCPREMOTEPORT, TCPLOCALIP, TCPLOCALPORT
};
void environment_prepare(child_environment* e);
void environment_fill(child_environment* e, const sockaddr_storage* remote, const sockaddr_storage* local);

// The signals this process ignores: an exec would pass them on ignored.
void ignored_signals(sigset_t* set);

// Starts program[0], found as execvp finds it, with connection as its
// descriptors 0 and 1 (2 stays this process's), the environment envp, an
// empty signal mask and the signals in ignored back at their default (those
// this process catches are at their default after any exec), and, unless
// deadline is 0, alarm(deadline) pending: the alarm survives the exec, so
// the kernel ends the program by SIGALRM after that many seconds. 0 with the
// child's id in *pid, or the error number: that of vfork (EAGAIN, ENOMEM)
// when no process could be made, that of the exec (ENOENT, EACCES, ...) when
// it failed, and then the child has ended with status 127. Every other
// descriptor of this process must be close-on-exec, and connection not 0 or 1.
int start_program(char* const* program, char* const* envp, int connection, const sigset_t* ignored, unsigned deadline,
                  pid_t* pid);

#endif
