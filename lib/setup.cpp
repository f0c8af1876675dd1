// SPDX-License-Identifier: ISC
// lib/setup.cpp - process set-up: confinement, descriptor flags, locks, pauses,
// the wake-up pipe of the signal handlers
#include "setup.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <time.h>
#include <unistd.h>

#include "diag.h"

namespace kestrix {

namespace {
// The one thing of the library that signal handlers touch.
int wake_write = -1;
}  // namespace

int scan_int32(const char* text, std::int32_t* value)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    *value = 0;
    if (*p < '0' || *p > '9')
        return 0;
    // The magnitude stops growing once it is past any 32-bit value.
    std::int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (magnitude <= INT32_MAX + std::int64_t{1})
            magnitude = magnitude * 10 + (*p - '0');
    std::int64_t n = negative ? -magnitude : magnitude;
    if (n < INT32_MIN || n > INT32_MAX)
        return -1;
    *value = static_cast<std::int32_t>(n);
    return 1;
}

void drop_privileges()
{
    if (const char* root = std::getenv("ROOT")) {
        if (chroot(root) < 0)
            fatal_about(root, "unable to chroot");
        if (chdir("/") < 0)
            fatal_about(root, "unable to chdir");
    }
    if (const char* text = std::getenv("GID")) {
        std::int32_t id;
        if (scan_int32(text, &id) != 1 || setgid(static_cast<gid_t>(id)) < 0)
            fatal("unable to setgid");
        gid_t list[1] = {static_cast<gid_t>(id)};
        if (setgroups(1, list) < 0)
            fatal("unable to setgroups");
    }
    if (const char* text = std::getenv("UID")) {
        std::int32_t id;
        if (scan_int32(text, &id) != 1 || setuid(static_cast<uid_t>(id)) < 0)
            fatal("unable to setuid");
    }
}

void fd_change_flags(int fd, int set, int clear)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        fatal("unable to read FD flags");
    if (fcntl(fd, F_SETFL, (flags | set) & ~clear) < 0)
        fatal("unable to set FD flags");
}

void fd_set_cloexec(int fd)
{
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
        fatal("unable to set FD_CLOEXEC");
}

void sleep_fully(int seconds)
{
    if (seconds <= 0)
        return;
    // sleep() hands back what is left in whole seconds rounded down, so every
    // interruption would cut up to a second off the pause; nanosleep hands
    // back the exact rest.
    timespec left = {seconds, 0};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

int fd_lock(int fd, int wait)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    int r;
    do
        r = fcntl(fd, wait != 0 ? F_SETLKW : F_SETLK, &lock);
    while (r < 0 && errno == EINTR);
    return r;
}

int fd_lift_above_standard(int fd)
{
    if (fd > 2)
        return fd;
    int lifted = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    close(fd);
    errno = saved;
    return lifted;
}

int wake_pipe_make()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) < 0)
        return -1;
    int read_end = fd_lift_above_standard(ends[0]);
    int write_end = fd_lift_above_standard(ends[1]);
    if (read_end < 0 || write_end < 0) {
        int saved = errno;
        if (read_end >= 0)
            close(read_end);
        if (write_end >= 0)
            close(write_end);
        errno = saved;
        return -1;
    }
    wake_write = write_end;
    return read_end;
}

void wake_pipe_note()
{
    int saved = errno;
    char byte = 0;
    if (write(wake_write, &byte, 1) < 0) {
        // A full pipe already holds a wake-up.
    }
    errno = saved;
}

void wake_pipe_drain(int read_end)
{
    char bytes[64];
    while (read(read_end, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace kestrix
