// SPDX-License-Identifier: ISC
// scrivel: appends standard input, line by line, to one log file
//
// Lines are taken where they lie in the read-ahead, and the bytes already
// logged are dropped from its front once per read rather than once per line:
// a line costs one search and one write, and a copy only when it is stamped.
//
// The signal handlers only note the signal and wake the main loop through a
// self-pipe; the loop itself reopens the file or writes everything out, always
// between two records. It checks the notes before every record (a memory read,
// no system call), and before every read that could block it waits in poll on
// both standard input and the self-pipe, so a signal that arrives just after
// the check still ends the wait.
//
// SIGTERM does not split the line in hand. A supervisor keeps the log pipe
// open across a restart, so the rest of that line is still coming, and the
// next logger would take it for a line of its own: the loop reads on to the
// newline, and not one byte beyond it, before it writes everything out. It
// peeks at what a pipe or a stream socket holds and takes exactly the bytes up
// to the newline; a datagram socket gives one whole datagram per read, and
// any other input is read one byte at a time. The hot path never sees any of
// this.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "buffer.h"
#include "diag.h"
#include "io.h"
#include "setup.h"

namespace kestrix {  // the library reads these two
const char* program_name = "scrivel";
const char* usage_text = "Usage: scrivel [OPTIONS] logfile\nLog standard input to a file.\n\n"
                         "-c        Prepend a timestamp to each line\n";
}  // namespace kestrix

using namespace kestrix;

namespace {

constexpr std::uint64_t read_size = 4096;
constexpr int retry_pause = 5;
// How long SIGTERM waits for the newline of the line in hand. A line written
// in one piece arrives in far less, so a line still unfinished then comes
// from a writer that stopped or hung; and runit's sv waits 7 seconds before
// it reports that a service would not stop, which leaves time for the writes.
constexpr std::int64_t line_end_wait_ms = 3000;

// Everything the main loop works on. The signal handlers never touch it.
struct logger {
    const char* path;  // the operand, borrowed from argv
    int timestamp_lines;
    int exit_status;
    int fd;         // the open log file
    int wake_read;  // the end of the self-pipe that the waits watch
    bool input_never_blocks;
    buffer pending;  // the read-ahead of standard input
    // pending[0, taken) is logged already; the line in hand starts there.
    // Bytes of pending before searched hold no newline, and
    // taken <= searched.
    std::uint64_t taken;
    std::uint64_t searched;
};

// What the handlers touch: their notes (and the self-pipe's write end, which
// the library keeps). terminations counts SIGTERMs up to 2: a second one ends
// the wait for the line in hand.
volatile sig_atomic_t hangup_seen = 0;
volatile sig_atomic_t terminations = 0;

void on_hangup(int)
{
    hangup_seen = 1;
    wake_pipe_note();
}

void on_terminate(int)
{
    // SIGTERM is held back while this runs, so nothing else changes the count.
    if (terminations < 2)
        terminations = terminations + 1;
    wake_pipe_note();
}

// Continues from the first byte not yet written, so a record that failed
// part-way ends up in the file exactly once and whole.
void write_record(const logger* lg, const char* bytes, std::uint64_t n)
{
    std::uint64_t done = 0;
    while (done < n) {
        ssize_t w = write(lg->fd, bytes + done, n - done);
        if (w >= 0) {
            done += static_cast<std::uint64_t>(w);
            continue;
        }
        if (errno == EINTR)
            continue;
        warn_about(lg->path, "unable to write to logfile");
        sleep_fully(retry_pause);
    }
}

// The record of a line under -c, built in a buffer of its own: the stamp and
// a space, the line, a newline. Kept out of line, so that the unstamped path
// of every record saves no registers for it.
[[gnu::noinline]] void write_stamped(const logger* lg, const char* line, std::uint64_t n)
{
    buffer record = {};
    std::time_t now = std::time(nullptr);
    const char* stamp = std::ctime(&now);
    // A time ctime cannot express costs the stamp, never the line.
    if (stamp != nullptr && stamp[0] != '\0') {
        buffer_append(&record, stamp, std::strlen(stamp) - 1);
        buffer_append_char(&record, ' ');
    }
    buffer_append(&record, line, n);
    buffer_append_char(&record, '\n');
    write_record(lg, record.storage, record.length);
    buffer_free(&record);
}

// One record for the n bytes of a line, which a newline follows where it
// lies. An empty line makes none. Unstamped, the line and the newline after
// it are the record as it stands and are written from there.
void flush_line(const logger* lg, const char* line, std::uint64_t n)
{
    if (n == 0)
        return;
    if (lg->timestamp_lines)
        write_stamped(lg, line, n);
    else
        write_record(lg, line, n + 1);
}

// The log file opened by its path, above the standard descriptors, or -1.
int open_path(const char* path)
{
    for (;;) {
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_SYNC | O_CLOEXEC, 0644);
        // Started with a standard descriptor closed, the log would take its
        // number and receive the diagnostics meant for standard error.
        if (fd >= 0)
            return fd_lift_above_standard(fd);
        if (errno != EINTR)
            return -1;
    }
}

void open_log(logger* lg)
{
    lg->fd = open_path(lg->path);
    if (lg->fd < 0)
        fatal_about(lg->path, "unable to open logfile");
}

// On Linux a close that fails has released the descriptor anyway; the next
// attempt then reports EBADF, and retrying further would never end.
void close_log(logger* lg)
{
    for (;;) {
        if (close(lg->fd) == 0 || errno == EBADF)
            break;
        if (errno == EINTR)
            continue;
        warn_about(lg->path, "unable to close logfile");
        sleep_fully(retry_pause);
    }
    lg->fd = -1;
}

std::int64_t monotonic_ms()
{
    timespec now{};
    // CLOCK_MONOTONIC always exists on Linux: the call cannot fail.
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Waits for the retry pause to pass, cut short by a signal: true for
// SIGTERM; a further SIGHUP means try again now.
bool pause_before_reopen(const logger* lg)
{
    const std::int64_t deadline = monotonic_ms() + std::int64_t{retry_pause} * 1000;
    for (;;) {
        if (terminations != 0)
            return true;
        if (hangup_seen) {
            hangup_seen = 0;
            return false;
        }
        std::int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        pollfd wake = {lg->wake_read, POLLIN, 0};
        if (poll(&wake, 1, static_cast<int>(left)) > 0)
            wake_pipe_drain(lg->wake_read);
    }
}

// The old file stays open until the path can be opened again, so a path that
// has gone away costs no line: the logger warns and tries every 5 seconds,
// reading nothing meanwhile, and SIGTERM still writes everything held into
// the old file.
void reopen_log(logger* lg)
{
    int fresh = open_path(lg->path);
    while (fresh < 0) {
        warn_about(lg->path, "unable to open logfile");
        if (pause_before_reopen(lg))
            return;
        fresh = open_path(lg->path);
    }
    close_log(lg);
    lg->fd = fresh;
}

// Logs the next complete line held in pending, if there is one. No read.
bool log_held_line(logger* lg)
{
    buffer* p = &lg->pending;
    if (p->length <= lg->searched)
        return false;
    const void* at = std::memchr(p->storage + lg->searched, '\n', p->length - lg->searched);
    if (at == nullptr) {
        lg->searched = p->length;
        return false;
    }
    std::uint64_t end = static_cast<std::uint64_t>(static_cast<const char*>(at) - p->storage);
    flush_line(lg, p->storage + lg->taken, end - lg->taken);
    lg->taken = lg->searched = end + 1;
    return true;
}

// Makes the line in hand start pending again before more is read into it.
void drop_logged(logger* lg)
{
    if (lg->taken == 0)
        return;
    buffer_consume(&lg->pending, lg->taken, nullptr);
    lg->searched -= lg->taken;
    lg->taken = 0;
}

// Every complete line held becomes its own record, the unterminated tail the
// last one; then the file is closed.
void write_out_and_close(logger* lg)
{
    while (log_held_line(lg)) {
    }
    // The tail gets its newline and goes out as any other line.
    buffer_append_char(&lg->pending, '\n');
    log_held_line(lg);
    buffer_free(&lg->pending);
    lg->taken = lg->searched = 0;
    close_log(lg);
}

void read_failed(logger* lg)
{
    warn("unable to read from stdin");
    lg->exit_status = exit_read_failure;
}

// A regular file never blocks a read, and neither does a descriptor that
// cannot be read at all (closed, or open for writing only): its first read
// fails at once, where poll might never report it.
bool input_never_blocks()
{
    int flags = fcntl(fd_in, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY)
        return true;
    struct stat st {};
    return fstat(fd_in, &st) == 0 && S_ISREG(st.st_mode);
}

// again: a signal came, or the time ran out; look at the notes and the clock.
enum class wait_result : std::uint8_t { input, again, failure };

wait_result wait_for_input(const logger* lg, int timeout_ms)
{
    pollfd watched[2] = {{fd_in, POLLIN, 0}, {lg->wake_read, POLLIN, 0}};
    if (poll(watched, 2, timeout_ms) < 0)
        return errno == EINTR ? wait_result::again : wait_result::failure;
    if (watched[1].revents != 0) {
        wake_pipe_drain(lg->wake_read);
        return wait_result::again;
    }
    // POLLHUP and POLLERR count as input: the read reports them.
    return watched[0].revents != 0 ? wait_result::input : wait_result::again;
}

// How the line in hand is read to its end without taking a byte beyond it.
enum class input_kind : std::uint8_t {
    pipe,      // tee copies what the pipe holds into a pipe of our own, taking nothing
    stream,    // recv with MSG_PEEK shows what the socket holds, taking nothing
    datagram,  // a read takes one whole datagram, so nothing can stay behind
    bytewise,  // anything else: one byte per read
};

input_kind kind_of_input()
{
    struct stat st {};
    if (fstat(fd_in, &st) != 0)
        return input_kind::bytewise;
    if (S_ISFIFO(st.st_mode))
        return input_kind::pipe;
    if (!S_ISSOCK(st.st_mode))
        return input_kind::bytewise;
    int type = 0;
    socklen_t size = sizeof type;
    if (getsockopt(fd_in, SOL_SOCKET, SO_TYPE, &type, &size) != 0)
        return input_kind::bytewise;
    return type == SOCK_STREAM ? input_kind::stream : input_kind::datagram;
}

// Takes from standard input the next bytes of the line in hand, up to its
// newline and no further: bytes taken (> 0), 0 at end of input, -1 with errno
// (EAGAIN: nothing there after all). peek is the pipe of our own for tee; if
// it fails us, the rest goes a byte at a time.
ssize_t take_toward_line_end(logger* lg, input_kind* kind, const int peek[2])
{
    if (*kind == input_kind::datagram)
        return buffer_read(fd_in, &lg->pending, read_size);
    if (*kind == input_kind::bytewise)
        return buffer_read(fd_in, &lg->pending, 1);
    char seen[read_size];
    ssize_t n = 0;
    if (*kind == input_kind::pipe) {
        n = tee(fd_in, peek[1], sizeof seen, SPLICE_F_NONBLOCK);
        // The copy only shows where the newline lies; it must leave our pipe
        // empty for the next look.
        if ((n < 0 && errno != EAGAIN) || (n > 0 && read(peek[0], seen, static_cast<std::size_t>(n)) != n)) {
            *kind = input_kind::bytewise;
            errno = EAGAIN;
            return -1;
        }
    } else {
        n = recv(fd_in, seen, sizeof seen, MSG_PEEK | MSG_DONTWAIT);
    }
    if (n <= 0)
        return n;
    std::uint64_t want = static_cast<std::uint64_t>(n);
    if (const void* newline = std::memchr(seen, '\n', want))
        want = static_cast<std::uint64_t>(static_cast<const char*>(newline) - seen) + 1;
    return buffer_read(fd_in, &lg->pending, want);
}

// After SIGTERM, with the start of a line in hand: reads on to that line's
// newline, and not one byte beyond, and logs the line whole. What follows
// stays in the input for whoever reads it next. The wait ends at end of
// input, on a read failure or a second SIGTERM, and after line_end_wait_ms at
// the latest; the line in hand then stays as it is. A SIGHUP meanwhile
// reopens the log as ever.
void finish_line_in_hand(logger* lg)
{
    if (lg->pending.length == lg->taken)
        return;
    input_kind kind = kind_of_input();
    int peek[2] = {-1, -1};
    if (kind == input_kind::pipe && pipe2(peek, O_CLOEXEC | O_NONBLOCK) < 0)
        kind = input_kind::bytewise;
    const std::int64_t deadline = monotonic_ms() + line_end_wait_ms;
    for (;;) {
        if (terminations > 1)
            break;
        if (hangup_seen) {
            hangup_seen = 0;
            reopen_log(lg);
        }
        std::int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            break;
        if (!lg->input_never_blocks) {
            wait_result w = wait_for_input(lg, static_cast<int>(left));
            if (w == wait_result::again)
                continue;
            if (w == wait_result::failure) {
                read_failed(lg);
                break;
            }
        }
        ssize_t r = take_toward_line_end(lg, &kind, peek);
        if (r == 0)
            break;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            read_failed(lg);
            break;
        }
        if (log_held_line(lg))
            break;
    }
    if (peek[0] >= 0) {
        close(peek[0]);
        close(peek[1]);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    logger lg = {};
    lg.fd = -1;
    int option;
    while ((option = getopt(argc, argv, "+V?c")) != -1) {
        if (option == 'V')
            version_exit();
        if (option != 'c')
            usage_exit();
        lg.timestamp_lines = 1;
    }
    if (argc - optind != 1)
        usage_exit();
    lg.path = argv[optind];

    lg.wake_read = wake_pipe_make();
    if (lg.wake_read < 0)
        fatal("unable to create wake-up pipe");
    struct sigaction action {};
    action.sa_handler = on_hangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGHUP, &action, nullptr) < 0)
        fatal("unable to install sighup handler");
    action.sa_handler = on_terminate;
    if (sigaction(SIGTERM, &action, nullptr) < 0)
        fatal("unable to install sigterm handler");
    open_log(&lg);
    lg.input_never_blocks = input_never_blocks();

    bool terminated = false;
    for (;;) {
        if (hangup_seen) {
            hangup_seen = 0;
            reopen_log(&lg);
        }
        if (terminations != 0) {
            terminated = true;
            break;
        }
        if (log_held_line(&lg))
            continue;
        drop_logged(&lg);
        if (!lg.input_never_blocks) {
            wait_result w = wait_for_input(&lg, -1);
            if (w == wait_result::again)
                continue;
            if (w == wait_result::failure) {
                read_failed(&lg);
                break;
            }
        }
        ssize_t r = buffer_read(fd_in, &lg.pending, read_size);
        if (r == 0)
            break;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            read_failed(&lg);
            break;
        }
    }
    if (terminated) {
        // Complete lines held go out first, each its own record.
        while (log_held_line(&lg)) {
        }
        finish_line_in_hand(&lg);
    }
    write_out_and_close(&lg);
    return lg.exit_status;
}
