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
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
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

int timestamp_lines = 0;
int exit_status = 0;
buffer pending = {};
int log_fd = -1;
const char* log_path = nullptr;

// pending[0, pending_taken) is logged already; the line in hand starts there.
// Bytes of pending before pending_searched hold no newline, and
// pending_taken <= pending_searched.
std::uint64_t pending_taken = 0;
std::uint64_t pending_searched = 0;

volatile sig_atomic_t hangup_seen = 0;
volatile sig_atomic_t terminate_seen = 0;
int wake_read = -1;
int wake_write = -1;

void note_signal()
{
    int saved = errno;
    char byte = 0;
    if (write(wake_write, &byte, 1) < 0) {
        // A full pipe already holds a wake-up.
    }
    errno = saved;
}

void on_hangup(int)
{
    hangup_seen = 1;
    note_signal();
}

void on_terminate(int)
{
    terminate_seen = 1;
    note_signal();
}

void drain_wake_pipe()
{
    char bytes[64];
    while (read(wake_read, bytes, sizeof bytes) > 0) {
    }
}

// A pipe end at 0, 1 or 2 would stand in for a standard descriptor.
int lift_above_standard(int fd)
{
    if (fd > 2)
        return fd;
    int lifted = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return lifted;
}

void make_wake_pipe()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0)
        fatal("unable to install sighup handler");
    wake_read = lift_above_standard(ends[0]);
    wake_write = lift_above_standard(ends[1]);
    if (wake_read < 0 || wake_write < 0)
        fatal("unable to install sighup handler");
}

// Continues from the first byte not yet written, so a record that failed
// part-way ends up in the file exactly once and whole.
void write_record(const char* bytes, std::uint64_t n)
{
    std::uint64_t done = 0;
    while (done < n) {
        ssize_t w = write(log_fd, bytes + done, n - done);
        if (w >= 0) {
            done += static_cast<std::uint64_t>(w);
            continue;
        }
        if (errno == EINTR)
            continue;
        warn_about(log_path, "unable to write to logfile");
        sleep_fully(retry_pause);
    }
}

// One record for the n bytes of a line, which a newline follows where it
// lies: the stamp and a space under -c, the line, a newline. An empty line
// makes none. Unstamped, the line and the newline after it are the record as
// it stands and are written from there; a stamped one is built in a buffer
// of its own.
void flush_line(const char* line, std::uint64_t n)
{
    if (n == 0)
        return;
    if (!timestamp_lines) {
        write_record(line, n + 1);
        return;
    }
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
    write_record(record.storage, record.length);
    buffer_free(&record);
}

// The log file opened by its path, above the standard descriptors, or -1.
int open_path()
{
    for (;;) {
        int fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_SYNC | O_CLOEXEC, 0644);
        // Started with a standard descriptor closed, the log would take its
        // number and receive the diagnostics meant for standard error.
        if (fd >= 0)
            return lift_above_standard(fd);
        if (errno != EINTR)
            return -1;
    }
}

void open_log()
{
    log_fd = open_path();
    if (log_fd < 0)
        fatal_about(log_path, "unable to open logfile");
}

// On Linux a close that fails has released the descriptor anyway; the next
// attempt then reports EBADF, and retrying further would never end.
void close_log()
{
    for (;;) {
        if (close(log_fd) == 0 || errno == EBADF)
            break;
        if (errno == EINTR)
            continue;
        warn_about(log_path, "unable to close logfile");
        sleep_fully(retry_pause);
    }
    log_fd = -1;
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
bool pause_before_reopen()
{
    const std::int64_t deadline = monotonic_ms() + std::int64_t{retry_pause} * 1000;
    for (;;) {
        if (terminate_seen)
            return true;
        if (hangup_seen) {
            hangup_seen = 0;
            return false;
        }
        std::int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        pollfd wake = {wake_read, POLLIN, 0};
        if (poll(&wake, 1, static_cast<int>(left)) > 0)
            drain_wake_pipe();
    }
}

// The old file stays open until the path can be opened again, so a path that
// has gone away costs no line: the logger warns and tries every 5 seconds,
// reading nothing meanwhile, and SIGTERM still writes everything held into
// the old file.
void reopen_log()
{
    int fresh = open_path();
    while (fresh < 0) {
        warn_about(log_path, "unable to open logfile");
        if (pause_before_reopen())
            return;
        fresh = open_path();
    }
    close_log();
    log_fd = fresh;
}

// Logs the next complete line held in pending, if there is one. No read.
bool log_held_line()
{
    if (pending.length <= pending_searched)
        return false;
    const void* at = std::memchr(pending.storage + pending_searched, '\n', pending.length - pending_searched);
    if (at == nullptr) {
        pending_searched = pending.length;
        return false;
    }
    std::uint64_t end = static_cast<std::uint64_t>(static_cast<const char*>(at) - pending.storage);
    flush_line(pending.storage + pending_taken, end - pending_taken);
    pending_taken = pending_searched = end + 1;
    return true;
}

// Makes the line in hand start pending again before more is read into it.
void drop_logged()
{
    if (pending_taken == 0)
        return;
    buffer_consume(&pending, pending_taken, nullptr);
    pending_searched -= pending_taken;
    pending_taken = 0;
}

// Every complete line held becomes its own record, the unterminated tail the
// last one; then the file is closed.
void write_out_and_close()
{
    while (log_held_line()) {
    }
    // The tail gets its newline and goes out as any other line.
    buffer_append_char(&pending, '\n');
    log_held_line();
    buffer_free(&pending);
    pending_taken = pending_searched = 0;
    close_log();
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

enum class wait_result : std::uint8_t { input, signal, failure };

wait_result wait_for_input()
{
    pollfd watched[2] = {{fd_in, POLLIN, 0}, {wake_read, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0)
        return errno == EINTR ? wait_result::signal : wait_result::failure;
    if (watched[1].revents != 0) {
        drain_wake_pipe();
        return wait_result::signal;
    }
    // POLLHUP and POLLERR count as input: the read reports them.
    return watched[0].revents != 0 ? wait_result::input : wait_result::signal;
}

}  // namespace

int main(int argc, char** argv)
{
    int option;
    while ((option = getopt(argc, argv, "+V?c")) != -1) {
        if (option == 'V')
            version_exit();
        if (option != 'c')
            usage_exit();
        timestamp_lines = 1;
    }
    if (argc - optind != 1)
        usage_exit();
    log_path = argv[optind];

    make_wake_pipe();
    struct sigaction action {};
    action.sa_handler = on_hangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGHUP, &action, nullptr) < 0)
        fatal("unable to install sighup handler");
    action.sa_handler = on_terminate;
    if (sigaction(SIGTERM, &action, nullptr) < 0)
        fatal("unable to install sigterm handler");
    open_log();
    bool never_blocks = input_never_blocks();

    for (;;) {
        if (hangup_seen) {
            hangup_seen = 0;
            reopen_log();
        }
        if (terminate_seen)
            break;
        if (log_held_line())
            continue;
        drop_logged();
        if (!never_blocks) {
            wait_result w = wait_for_input();
            if (w == wait_result::signal)
                continue;
            if (w == wait_result::failure) {
                warn("unable to read from stdin");
                exit_status = 1;
                break;
            }
        }
        ssize_t r = buffer_read(fd_in, &pending, read_size);
        if (r == 0)
            break;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            warn("unable to read from stdin");
            exit_status = 1;
            break;
        }
    }
    write_out_and_close();
    return exit_status;
}
