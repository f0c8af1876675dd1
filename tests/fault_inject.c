// SPDX-License-Identifier: ISC
/* tests/fault_inject.c - a preloadable library that makes one call fail
 *
 * LD_PRELOAD=libfault_inject.so with
 *   KESTRIX_FAULT_CALL   read, write, close, open (open and openat counted
 *                        together), poll, chdir, sigaction, strdup,
 *                        realloc, accept (accept and accept4 counted
 *                        together) or vfork (every vfork that is not hit
 *                        is made a fork)
 *   KESTRIX_FAULT_AT     N: the Nth call of it (from 1) is the one hit
 *   KESTRIX_FAULT_MODE   fail        it fails with KESTRIX_FAULT_ERRNO, doing
 *                                    nothing (the default)
 *                        after       it is done, then reported as failed (a
 *                                    close that releases the descriptor and
 *                                    still says EIO, as Linux does)
 *                        short       a write takes only the first half (a
 *                                    one-byte write is taken whole)
 *                        short_fail  as short, and the next write fails
 *                        eintr       it fails with EINTR, doing nothing
 *                        stall       only reads that would block are counted
 *                                    (a blocking descriptor with nothing to
 *                                    read yet); SIGTERM is raised just
 *                                    before the Nth, which then goes ahead:
 *                                    a program that reads without waiting in
 *                                    poll first sleeps through that signal
 *                        sighup      (poll only) SIGHUP or SIGTERM is raised
 *                        sigterm     just before the Nth poll, which then goes
 *                                    ahead: a program whose handlers do not
 *                                    wake that poll waits through the signal
 *   KESTRIX_FAULT_ERRNO  EIO, ENOSPC, EBADF, EPIPE, EACCES, ENOMEM, EINTR,
 *                        EAGAIN, EDQUOT, EINVAL, EMFILE, ENFILE, ENOBUFS,
 *                        ECONNABORTED or a number (default EIO)
 *   KESTRIX_FAULT_LOG    a file that gets one line "call descriptor size" for
 *                        every call the library changed, so a test can tell
 *                        whether its point was reached
 *
 * Every other call goes straight to the system (or to the C library's own
 * realloc). It reaches only dynamically linked programs.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

extern void* __libc_realloc(void* p, size_t n);

enum call {
    call_none,
    call_read,
    call_write,
    call_close,
    call_open,
    call_poll,
    call_chdir,
    call_sigaction,
    call_strdup,
    call_realloc,
    call_accept,
    call_vfork,
    call_end
};
enum mode { mode_fail, mode_after, mode_short, mode_short_fail, mode_eintr, mode_stall, mode_sighup, mode_sigterm };

static int configured;
static enum call target = call_none;
static enum mode how = mode_fail;
static long at;
static int error_number = EIO;
static const char* log_path;
static long counts[call_end];
static int fail_next_write;

static const struct {
    const char* name;
    int value;
} errno_names[] = {
    {"EIO", EIO},         {"ENOSPC", ENOSPC},
    {"EBADF", EBADF},     {"EPIPE", EPIPE},
    {"EACCES", EACCES},   {"ENOMEM", ENOMEM},
    {"EINTR", EINTR},     {"EAGAIN", EAGAIN},
    {"EDQUOT", EDQUOT},   {"EINVAL", EINVAL},
    {"EMFILE", EMFILE},   {"ENFILE", ENFILE},
    {"ENOBUFS", ENOBUFS}, {"ECONNABORTED", ECONNABORTED},
};

static void configure(void)
{
    const char* text;
    size_t i;
    if (configured)
        return;
    /* A sanitizer runtime calls sigaction before the environment can be
     * read: look again at the next call. */
    text = getenv("KESTRIX_FAULT_CALL");
    if (text == NULL)
        return;
    configured = 1;
    if (strcmp(text, "read") == 0)
        target = call_read;
    else if (strcmp(text, "write") == 0)
        target = call_write;
    else if (strcmp(text, "close") == 0)
        target = call_close;
    else if (strcmp(text, "open") == 0)
        target = call_open;
    else if (strcmp(text, "poll") == 0)
        target = call_poll;
    else if (strcmp(text, "chdir") == 0)
        target = call_chdir;
    else if (strcmp(text, "sigaction") == 0)
        target = call_sigaction;
    else if (strcmp(text, "strdup") == 0)
        target = call_strdup;
    else if (strcmp(text, "realloc") == 0)
        target = call_realloc;
    else if (strcmp(text, "accept") == 0)
        target = call_accept;
    else if (strcmp(text, "vfork") == 0)
        target = call_vfork;
    text = getenv("KESTRIX_FAULT_AT");
    at = text != NULL ? strtol(text, NULL, 10) : 0;
    text = getenv("KESTRIX_FAULT_MODE");
    if (text != NULL) {
        if (strcmp(text, "after") == 0)
            how = mode_after;
        else if (strcmp(text, "short") == 0)
            how = mode_short;
        else if (strcmp(text, "short_fail") == 0)
            how = mode_short_fail;
        else if (strcmp(text, "eintr") == 0)
            how = mode_eintr;
        else if (strcmp(text, "stall") == 0)
            how = mode_stall;
        else if (strcmp(text, "sighup") == 0)
            how = mode_sighup;
        else if (strcmp(text, "sigterm") == 0)
            how = mode_sigterm;
    }
    text = getenv("KESTRIX_FAULT_ERRNO");
    if (text != NULL) {
        error_number = (int)strtol(text, NULL, 10);
        for (i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i)
            if (strcmp(text, errno_names[i].name) == 0)
                error_number = errno_names[i].value;
    }
    log_path = getenv("KESTRIX_FAULT_LOG");
}

static void append_number(char* line, size_t* used, long value)
{
    char digits[24];
    size_t n = 0;
    unsigned long magnitude = value < 0 ? 0UL - (unsigned long)value : (unsigned long)value;
    if (value < 0)
        line[(*used)++] = '-';
    do {
        digits[n++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n > 0)
        line[(*used)++] = digits[--n];
}

/* Raw system calls only: this may run inside realloc or write. */
static void note(const char* name, long fd, long size)
{
    char line[96];
    size_t used = strlen(name);
    long log_fd;
    int saved = errno;
    if (log_path == NULL)
        return;
    memcpy(line, name, used);
    line[used++] = ' ';
    append_number(line, &used, fd);
    line[used++] = ' ';
    append_number(line, &used, size);
    line[used++] = '\n';
    log_fd = syscall(SYS_openat, AT_FDCWD, log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log_fd >= 0) {
        syscall(SYS_write, log_fd, line, used);
        syscall(SYS_close, log_fd);
    }
    errno = saved;
}

/* True when this call of c is the one to change. */
static int hit(enum call c)
{
    configure();
    if (c != target || how == mode_stall)
        return 0;
    return ++counts[c] == at;
}

static int poll_now(struct pollfd* fds, nfds_t n, int timeout)
{
    struct timespec limit = {timeout / 1000, (timeout % 1000) * 1000000L};
    return (int)syscall(SYS_ppoll, fds, n, timeout < 0 ? NULL : &limit, NULL, sizeof(long));
}

/* A read of fd would sleep until something comes: nothing is there yet, and
 * the descriptor does not refuse to wait. */
static int would_block(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0 && poll_now(&p, 1, 0) == 0;
}

/* True when this read is the stalling one the signal comes just before. */
static int stall_hit(int fd)
{
    configure();
    return target == call_read && how == mode_stall && would_block(fd) && ++counts[call_read] == at;
}

static int fault_errno(void)
{
    return how == mode_eintr ? EINTR : error_number;
}

ssize_t read(int fd, void* data, size_t n)
{
    long r;
    if (stall_hit(fd)) {
        note("read", fd, (long)n);
        syscall(SYS_kill, syscall(SYS_getpid), SIGTERM);
    }
    if (hit(call_read)) {
        note("read", fd, (long)n);
        if (how == mode_after) {
            syscall(SYS_read, fd, data, n);
        }
        errno = fault_errno();
        return -1;
    }
    r = syscall(SYS_read, fd, data, n);
    return (ssize_t)r;
}

ssize_t write(int fd, const void* data, size_t n)
{
    if (fail_next_write) {
        fail_next_write = 0;
        note("write", fd, (long)n);
        errno = error_number;
        return -1;
    }
    if (hit(call_write)) {
        note("write", fd, (long)n);
        if (how == mode_short || how == mode_short_fail) {
            if (how == mode_short_fail)
                fail_next_write = 1;
            return (ssize_t)syscall(SYS_write, fd, data, n > 1 ? n / 2 : n);
        }
        if (how == mode_after)
            syscall(SYS_write, fd, data, n);
        errno = fault_errno();
        return -1;
    }
    return (ssize_t)syscall(SYS_write, fd, data, n);
}

int close(int fd)
{
    if (hit(call_close)) {
        note("close", fd, 0);
        if (how == mode_after)
            syscall(SYS_close, fd);
        errno = fault_errno();
        return -1;
    }
    return (int)syscall(SYS_close, fd);
}

static int open_at(int dirfd, const char* path, int flags, mode_t mode)
{
    if (hit(call_open)) {
        note("open", -1, 0);
        errno = fault_errno();
        return -1;
    }
    return (int)syscall(SYS_openat, dirfd, path, flags, mode);
}

static mode_t mode_argument(int flags, va_list list)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return (mode_t)va_arg(list, int);
    return 0;
}

int open(const char* path, int flags, ...)
{
    va_list list;
    mode_t mode;
    va_start(list, flags);
    mode = mode_argument(flags, list);
    va_end(list);
    return open_at(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list list;
    mode_t mode;
    va_start(list, flags);
    mode = mode_argument(flags, list);
    va_end(list);
    return open_at(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...)
{
    va_list list;
    mode_t mode;
    va_start(list, flags);
    mode = mode_argument(flags, list);
    va_end(list);
    return open_at(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...)
{
    va_list list;
    mode_t mode;
    va_start(list, flags);
    mode = mode_argument(flags, list);
    va_end(list);
    return open_at(dirfd, path, flags, mode);
}

int poll(struct pollfd* fds, nfds_t n, int timeout)
{
    if (hit(call_poll)) {
        note("poll", n > 0 ? fds[0].fd : -1, (long)n);
        if (how == mode_sighup || how == mode_sigterm) {
            /* The handler runs as the kill returns, before the poll. */
            syscall(SYS_kill, syscall(SYS_getpid), how == mode_sighup ? SIGHUP : SIGTERM);
            return poll_now(fds, n, timeout);
        }
        errno = fault_errno();
        return -1;
    }
    return poll_now(fds, n, timeout);
}

int chdir(const char* path)
{
    if (hit(call_chdir)) {
        note("chdir", -1, 0);
        errno = fault_errno();
        return -1;
    }
    return (int)syscall(SYS_chdir, path);
}

int sigaction(int sig, const struct sigaction* action, struct sigaction* old)
{
    static int (*real)(int, const struct sigaction*, struct sigaction*);
    if (hit(call_sigaction)) {
        note("sigaction", sig, 0);
        errno = fault_errno();
        return -1;
    }
    if (real == NULL)
        *(void**)&real = dlsym(RTLD_NEXT, "sigaction");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(sig, action, old);
}

char* strdup(const char* text)
{
    size_t n;
    char* copy;
    if (hit(call_strdup)) {
        note("strdup", -1, 0);
        errno = ENOMEM;
        return NULL;
    }
    n = strlen(text) + 1;
    copy = malloc(n);
    if (copy != NULL)
        memcpy(copy, text, n);
    return copy;
}

void* realloc(void* p, size_t n)
{
    if (hit(call_realloc)) {
        note("realloc", -1, (long)n);
        errno = ENOMEM;
        return NULL;
    }
    return __libc_realloc(p, n);
}

/* The C library declares the address as a transparent union. */
int accept4(int fd, __SOCKADDR_ARG address, socklen_t* restrict length, int flags)
{
    if (hit(call_accept)) {
        note("accept", fd, 0);
        errno = fault_errno();
        return -1;
    }
    return (int)syscall(SYS_accept4, fd, address.__sockaddr__, length, flags);
}

int accept(int fd, __SOCKADDR_ARG address, socklen_t* restrict length)
{
    return accept4(fd, address, length, 0);
}

/* A vfork cannot be passed on: its child would return from this function
 * into a frame the parent still needs. Every call that is not hit is made a
 * fork instead, which returns as any call does; the only difference is that
 * the child does not share the caller's memory until its exec. */
pid_t vfork(void)
{
    if (hit(call_vfork)) {
        note("vfork", -1, 0);
        errno = fault_errno();
        return -1;
    }
    return fork();
}
