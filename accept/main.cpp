// SPDX-License-Identifier: ISC
// kestrix-accept: runs a program for each connection on the listening
// sockets that a service manager passes, at most MAX at once and at most
// PER_SOURCE from one source, each ended by SIGALRM after SECONDS with -d
//
// One loop waits in poll on the listening sockets and on a self-pipe that the
// SIGCHLD and SIGTERM handlers write to; the handlers only note the signal.
// Children are reaped, limits applied and lines logged in the loop alone.
// While the table is full, or while the loop backs off after a fault, only
// the self-pipe is watched: the kernel's backlog holds the connections, and
// children are still reaped. Log lines of a kind go out at most once a
// second, with a count of those held back.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "buffer.h"
#include "diag.h"
#include "format.h"
#include "loop.h"
#include "setup.h"

namespace kestrix {  // the library reads these two
const char* program_name = "kestrix-accept";
const char* usage_text = "Usage: kestrix-accept [-c MAX] [-C PER_SOURCE] [-d SECONDS] PROGRAM [ARG...]\n"
                         "Run PROGRAM for each connection on the sockets a service manager passes.\n"
                         "\n"
                         "-c MAX    At most MAX connections at once (1 to 65535, default 20)\n"
                         "-C PER_SOURCE\n"
                         "          At most PER_SOURCE of them from one source (default 4)\n"
                         "-d SECONDS\n"
                         "          End each program by SIGALRM after SECONDS (1 to 86400; default\n"
                         "          none)\n";
}  // namespace kestrix
using namespace kestrix;

namespace {

constexpr std::uint32_t largest_limit = 65535;
constexpr std::uint32_t longest_deadline = 86400;
constexpr std::int64_t log_interval = 1000;  // ms between two lines of a kind
constexpr std::int64_t first_pause = 10;     // ms of the first back-off; it doubles
constexpr std::int64_t longest_pause = 1000;
constexpr int accept_batch = 64;  // accepts on one socket before the others get a turn

// What the signal handlers touch; everything else is in the acceptor.
volatile sig_atomic_t child_seen = 0;
volatile sig_atomic_t terminate_seen = 0;

enum log_kind { refused_kind, accept_kind, start_kind, kinds };
struct log_limit {
    std::int64_t last;   // when the last line of the kind went out
    std::uint64_t held;  // events since then without a line
};

// The loop's state, made in main and passed by address.
struct acceptor {
    slot_table table;
    std::uint32_t per_source;
    std::uint32_t deadline;  // seconds; 0 for none
    char** program;
    child_environment environment;
    sigset_t ignored;
    // The descriptors poll watches: the self-pipe, then the listening sockets.
    buffer polls;
    std::uint32_t listeners;
    int wake_read;
    // Faults back off: nothing is accepted before pause_end.
    std::int64_t pause_length;
    std::int64_t pause_end;
    log_limit limits[kinds];
    bool full_shown;
    std::int64_t state_shown;
};

void on_child(int)
{
    child_seen = 1;
    wake_pipe_note();
}

void on_terminate(int)
{
    terminate_seen = 1;
    wake_pipe_note();
}

std::int64_t now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Plain decimal digits only, from 1 to largest; 0 when the text is not that.
std::uint32_t limit_of(const char* text, std::uint32_t largest = largest_limit)
{
    for (const char* p = text; *p != '\0'; ++p)
        if (*p < '0' || *p > '9')
            return 0;
    std::int32_t value = 0;
    if (scan_int32(text, &value) != 1 || value < 1 || value > static_cast<std::int32_t>(largest))
        return 0;
    return static_cast<std::uint32_t>(value);
}

pollfd* poll_list(acceptor* a)
{
    return reinterpret_cast<pollfd*>(a->polls.storage);
}

// True when a line of this kind may go out now; otherwise it is counted.
bool may_log(acceptor* a, log_kind kind, std::int64_t now)
{
    log_limit* l = &a->limits[kind];
    if (l->held == 0 && now - l->last >= log_interval) {
        l->last = now;
        return true;
    }
    ++l->held;
    return false;
}

// The count held back of each kind once its interval is over (or at once, at
// the end), and the state when it has changed since the last state line.
void show_held(acceptor* a, std::int64_t now, bool at_end)
{
    for (int kind = 0; kind < kinds; ++kind) {
        log_limit* l = &a->limits[kind];
        if (l->held == 0 || (!at_end && now - l->last < log_interval))
            continue;
        if (kind == refused_kind)
            fd_print(fd_err, "@c: refused @L more connections from sources at their limit\n", program_name, l->held);
        else if (kind == accept_kind)
            fd_print(fd_err, "@c: @L more failures to accept a connection\n", program_name, l->held);
        else
            fd_print(fd_err, "@c: @L more failures to start the program\n", program_name, l->held);
        l->last = now;
        l->held = 0;
    }
    bool full = a->table.alive >= a->table.size;
    if (full == a->full_shown || now - a->state_shown < log_interval)
        return;
    a->full_shown = full;
    a->state_shown = now;
    if (full)
        fd_print(fd_err, "@c: full: @I of @I connections alive, waiting for one to end\n", program_name, a->table.alive,
                 a->table.size);
    else
        fd_print(fd_err, "@c: accepting again: @I of @I connections alive\n", program_name, a->table.alive,
                 a->table.size);
}

// How long poll may sleep: until the pause ends or a held line is due.
int poll_timeout(const acceptor* a, std::int64_t now)
{
    std::int64_t due = -1;
    auto consider = [&due](std::int64_t t) {
        if (due < 0 || t < due)
            due = t;
    };
    if (now < a->pause_end)
        consider(a->pause_end);
    for (const log_limit& l : a->limits)
        if (l.held > 0)
            consider(l.last + log_interval);
    if ((a->table.alive >= a->table.size) != a->full_shown)
        consider(a->state_shown + log_interval);
    if (due < 0)
        return -1;
    return static_cast<int>(due > now ? due - now : 0);
}

void back_off(acceptor* a, std::int64_t now)
{
    a->pause_length = a->pause_length == 0 ? first_pause : a->pause_length * 2;
    if (a->pause_length > longest_pause)
        a->pause_length = longest_pause;
    a->pause_end = now + a->pause_length;
}

void reap(acceptor* a)
{
    child_seen = 0;
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;)
        table_remove(&a->table, pid);
}

[[noreturn]] void stop(acceptor* a, std::int64_t now)
{
    reap(a);
    show_held(a, now, true);
    fd_print(fd_err, "@c: stopped; @I of @I connections still alive\n", program_name, a->table.alive, a->table.size);
    std::exit(0);
}

// Errors that leave the listening socket as it was: the peer went away
// before its turn, or the network failed it. The next one is tried at once.
bool peer_error(int e)
{
    return e == ECONNABORTED || e == EINTR || e == EPROTO || e == EPERM || e == ENETDOWN || e == ENOPROTOOPT ||
           e == EHOSTDOWN || e == ENONET || e == EHOSTUNREACH || e == EOPNOTSUPP || e == ENETUNREACH;
}

void serve(acceptor* a, int connection, const sockaddr_storage* peer, std::int64_t now)
{
    source from = source_of(peer);
    std::uint32_t alive = table_count_from(&a->table, &from);
    if (alive >= a->per_source) {
        // Programs of that source may have ended since the last reaping
        // (a batch of accepts reaps nothing): count only those alive, so
        // that a peer that waits for each connection to end before it makes
        // the next is not taken for one at its limit.
        reap(a);
        alive = table_count_from(&a->table, &from);
    }
    if (alive >= a->per_source) {
        close(connection);
        if (may_log(a, refused_kind, now)) {
            buffer address = {};
            buffer_append_address(&address, peer);
            fd_print(fd_err, "@c: refused @b port @I: its source is at its limit of @I\n", program_name, &address,
                     port_of(peer), a->per_source);
            buffer_free(&address);
        }
        return;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(connection, reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        close(connection);
        if (may_log(a, accept_kind, now))
            warn("unable to accept connection");
        back_off(a, now);
        return;
    }
    environment_fill(&a->environment, peer, &local);
    pid_t pid = 0;
    int r = start_program(a->program, a->environment.list, connection, &a->ignored, a->deadline, &pid);
    close(connection);
    if (r != 0) {
        if (may_log(a, start_kind, now)) {
            if (r == EAGAIN || r == ENOMEM)
                warn("unable to start program");
            else
                warn_about(a->program[0], "unable to run program");
        }
        back_off(a, now);
        return;
    }
    table_add(&a->table, pid, &from);
    a->pause_length = 0;
}

// Accepts what is waiting on one socket, while there is room and no fault.
void accept_from(acceptor* a, int fd)
{
    for (int n = 0; n < accept_batch && terminate_seen == 0 && a->table.alive < a->table.size; ++n) {
        std::int64_t now = now_ms();
        if (now < a->pause_end)
            return;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int connection = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (connection >= 0) {
            serve(a, connection, &peer, now);
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        if (peer_error(errno))
            continue;
        // EMFILE, ENFILE, ENOBUFS, ENOMEM and the like: the connection stays
        // in the backlog for a later try.
        if (may_log(a, accept_kind, now))
            warn("unable to accept connection");
        back_off(a, now);
        return;
    }
}

// The read end of the wake-up pipe.
int set_up_signals()
{
    int wake_read = wake_pipe_make();
    if (wake_read < 0)
        fatal("unable to create self-pipe");
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    action.sa_handler = on_child;
    if (sigaction(SIGCHLD, &action, nullptr) < 0)
        fatal("unable to install sigchld handler");
    action.sa_handler = on_terminate;
    if (sigaction(SIGTERM, &action, nullptr) < 0)
        fatal("unable to install sigterm handler");
    // A log reader that goes away costs lines, never the loop.
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    return wake_read;
}

void show_start(acceptor* a)
{
    buffer text = {};
    for (std::uint32_t i = 1; i <= a->listeners; ++i) {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        getsockname(poll_list(a)[i].fd, reinterpret_cast<sockaddr*>(&local), &length);
        if (i > 1)
            buffer_append(&text, ", ", 2);
        buffer_append_address(&text, &local);
        buffer_format(&text, " port @I", port_of(&local));
    }
    fd_print(fd_err, "@c: accepting on @b; at most @I connections, @I per source\n", program_name, &text, a->table.size,
             a->per_source);
    buffer_free(&text);
}

}  // namespace

int main(int argc, char** argv)
{
    // Static, for its size: one slot for each connection that may be alive.
    static slot slots[largest_limit];
    acceptor a = {};
    a.table = {slots, 20, 0};
    a.per_source = 4;
    for (log_limit& l : a.limits)
        l.last = -log_interval;
    a.state_shown = -log_interval;
    for (int c; (c = getopt(argc, argv, "+V?c:C:d:")) != -1;) {
        switch (c) {
        case 'V':
            version_exit();
        case 'c':
            if ((a.table.size = limit_of(optarg)) == 0)
                usage_exit();
            break;
        case 'C':
            if ((a.per_source = limit_of(optarg)) == 0)
                usage_exit();
            break;
        case 'd':
            if ((a.deadline = limit_of(optarg, longest_deadline)) == 0)
                usage_exit();
            break;
        default:
            usage_exit();
        }
    }
    if (optind == argc)
        usage_exit();
    a.program = argv + optind;

    // The connection must never land on 0, 1 or 2.
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDWR | O_CLOEXEC);
    a.wake_read = set_up_signals();
    pollfd wake = {a.wake_read, POLLIN, 0};
    buffer_append(&a.polls, reinterpret_cast<const char*>(&wake), sizeof wake);
    a.listeners = take_listeners(&a.polls);
    environment_prepare(&a.environment);
    ignored_signals(&a.ignored);
    show_start(&a);

    for (;;) {
        std::int64_t now = now_ms();
        if (terminate_seen != 0)
            stop(&a, now);
        if (child_seen != 0)
            reap(&a);
        show_held(&a, now, false);
        bool accepting = a.table.alive < a.table.size && now >= a.pause_end;
        nfds_t watched = accepting ? 1 + a.listeners : 1;
        int ready = poll(poll_list(&a), watched, poll_timeout(&a, now));
        if (ready < 0) {
            if (errno != EINTR) {
                if (may_log(&a, accept_kind, now))
                    warn("unable to accept connection");
                back_off(&a, now);
                timespec pause = {static_cast<time_t>(a.pause_length / 1000),
                                  static_cast<long>(a.pause_length % 1000) * 1000000L};
                nanosleep(&pause, nullptr);
            }
            continue;
        }
        if (poll_list(&a)[0].revents != 0)
            wake_pipe_drain(a.wake_read);
        for (std::uint32_t i = 1; i < watched; ++i)
            if (poll_list(&a)[i].revents != 0)
                accept_from(&a, poll_list(&a)[i].fd);
    }
}
