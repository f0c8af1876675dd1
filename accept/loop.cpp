// SPDX-License-Identifier: ISC
// accept/loop.cpp - the parts of the accept loop
#include "loop.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include "diag.h"
#include "format.h"
#include "setup.h"

using namespace kestrix;

namespace {

// A plain decimal number without sign or white space; -1 for anything else.
std::int32_t plain_number(const char* text)
{
    std::int32_t value = -1;
    for (const char* p = text; *p != '\0'; ++p)
        if (*p < '0' || *p > '9')
            return -1;
    if (*text == '\0' || scan_int32(text, &value) != 1)
        return -1;
    return value;
}

bool listening_stream(int fd)
{
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) < 0 || value != SOCK_STREAM)
        return false;
    length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &length) < 0 || value == 0)
        return false;
    sockaddr_storage a{};
    length = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) < 0)
        return false;
    return a.ss_family == AF_INET || a.ss_family == AF_INET6;
}

const in6_addr* v6_of(const sockaddr_storage* a)
{
    return &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
}

// The four bytes of an IPv4 address, or of the IPv4 address an IPv6 one maps;
// null for a plain IPv6 address.
const unsigned char* v4_bytes(const sockaddr_storage* a)
{
    if (a->ss_family == AF_INET)
        return reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(a)->sin_addr);
    if (IN6_IS_ADDR_V4MAPPED(v6_of(a)))
        return v6_of(a)->s6_addr + 12;
    return nullptr;
}

void append_hex(buffer* b, unsigned int group)
{
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned int digit = (group >> shift) & 15U;
        if (digit == 0 && !started && shift > 0)
            continue;
        started = true;
        buffer_append_char(b, "0123456789abcdef"[digit]);
    }
}

const char* const dropped_names[] = {"PROTO",        "TCPREMOTEIP",   "TCPREMOTEPORT", "TCPLOCALIP",
                                     "TCPLOCALPORT", "TCPREMOTEHOST", "TCPREMOTEINFO", "TCPLOCALHOST"};
const char* const address_names[] = {"TCPREMOTEIP", "TCPREMOTEPORT", "TCPLOCALIP", "TCPLOCALPORT"};

// Where a child whose exec failed leaves the error number.
volatile int exec_error = 0;

}  // namespace

std::uint32_t take_listeners(buffer* polls)
{
    const char* pid_text = std::getenv("LISTEN_PID");
    const char* count_text = std::getenv("LISTEN_FDS");
    if (pid_text == nullptr || count_text == nullptr)
        fatal("no LISTEN_PID or LISTEN_FDS set");
    if (plain_number(pid_text) != getpid())
        fatal("LISTEN_PID is not this process");
    // No descriptor lies at or beyond the process's limit.
    std::int64_t count = plain_number(count_text);
    std::int64_t limit = sysconf(_SC_OPEN_MAX);
    if (limit > 0 && count > limit - 3)
        count = limit - 3;
    std::uint32_t served = 0;
    for (int fd = 3; fd < 3 + count; ++fd) {
        if (fcntl(fd, F_GETFD) < 0)
            continue;
        fd_set_cloexec(fd);
        if (!listening_stream(fd))
            continue;
        fd_change_flags(fd, O_NONBLOCK, 0);
        pollfd p = {fd, POLLIN, 0};
        buffer_append(polls, reinterpret_cast<const char*>(&p), sizeof p);
        ++served;
    }
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (served == 0)
        fatal("no listening socket passed");
    return served;
}

void buffer_append_address(buffer* b, const sockaddr_storage* a)
{
    if (const unsigned char* v4 = v4_bytes(a)) {
        std::uint32_t bits =
            v4[0] | std::uint32_t{v4[1]} << 8 | std::uint32_t{v4[2]} << 16 | std::uint32_t{v4[3]} << 24;
        buffer_format(b, "@a", bits);
        return;
    }
    const unsigned char* x = v6_of(a)->s6_addr;
    unsigned int groups[8];
    for (std::size_t i = 0; i < 8; ++i)
        groups[i] = static_cast<unsigned int>(x[2 * i] << 8 | x[2 * i + 1]);
    int run = -1, run_length = 1;
    for (int i = 0; i < 8;) {
        int end = i;
        while (end < 8 && groups[end] == 0)
            ++end;
        if (end - i > run_length) {
            run = i;
            run_length = end - i;
        }
        i = end == i ? i + 1 : end;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == run) {
            buffer_append(b, "::", 2);
            i += run_length - 1;
            continue;
        }
        if (i > 0 && i != run + run_length)
            buffer_append_char(b, ':');
        append_hex(b, groups[i]);
    }
}

std::uint32_t port_of(const sockaddr_storage* a)
{
    if (a->ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(a)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(a)->sin6_port);
}

source source_of(const sockaddr_storage* a)
{
    source s{};
    if (const unsigned char* v4 = v4_bytes(a)) {
        s.bytes[10] = 0xff;
        s.bytes[11] = 0xff;
        std::memcpy(s.bytes + 12, v4, 4);
    } else {
        std::memcpy(s.bytes, v6_of(a)->s6_addr, 8);
    }
    return s;
}

std::uint32_t table_count_from(const slot_table* t, const source* from)
{
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i < t->size; ++i)
        if (t->slots[i].pid != 0 && std::memcmp(t->slots[i].from.bytes, from->bytes, sizeof from->bytes) == 0)
            ++count;
    return count;
}

bool table_add(slot_table* t, pid_t pid, const source* from)
{
    for (std::uint32_t i = 0; i < t->size; ++i) {
        if (t->slots[i].pid == 0) {
            t->slots[i] = {pid, *from};
            ++t->alive;
            return true;
        }
    }
    return false;
}

bool table_remove(slot_table* t, pid_t pid)
{
    for (std::uint32_t i = 0; i < t->size; ++i) {
        if (t->slots[i].pid == pid) {
            t->slots[i].pid = 0;
            --t->alive;
            return true;
        }
    }
    return false;
}

void environment_prepare(child_environment* e)
{
    for (const char* name : dropped_names)
        unsetenv(name);
    std::uint64_t inherited = 0;
    while (environ[inherited] != nullptr)
        ++inherited;
    // The inherited entries, PROTO=TCP, the four addresses and the null.
    buffer_set_length(&e->store, (inherited + 6) * sizeof(char*));
    e->list = reinterpret_cast<char**>(e->store.storage);
    std::memcpy(e->list, environ, inherited * sizeof(char*));
    static char proto[] = "PROTO=TCP";
    e->list[inherited] = proto;
    e->first_address = inherited + 1;
    for (std::uint64_t i = 0; i < 4; ++i)
        e->list[e->first_address + i] = nullptr;
    e->list[inherited + 5] = nullptr;
}

void environment_fill(child_environment* e, const sockaddr_storage* remote, const sockaddr_storage* local)
{
    for (int i = 0; i < 4; ++i) {
        buffer* b = &e->texts[i];
        buffer_consume(b, buffer_length(b), nullptr);  // the storage stays for the next
        buffer_format(b, "@c=", address_names[i]);
        const sockaddr_storage* a = i < 2 ? remote : local;
        if (i % 2 == 0)
            buffer_append_address(b, a);
        else
            buffer_format(b, "@I", port_of(a));
        e->list[e->first_address + static_cast<std::uint64_t>(i)] = const_cast<char*>(buffer_cstr(b));
    }
}

void ignored_signals(sigset_t* set)
{
    sigemptyset(set);
    for (int s = 1; s < NSIG; ++s) {
        struct sigaction action {};
        if (sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            sigaddset(set, s);
    }
}

// The child shares this process's memory until its exec, while this one
// waits, so nothing is copied: measured against fork, and against
// posix_spawn (which makes its child the same way but leaves the C library's
// two internal signals ignored in it, and sets every disposition on the way),
// it costs the least. With every signal blocked no handler runs in the child;
// it only calls what is safe in a signal handler, and leaves its error number
// in exec_error if the exec fails.
// NOLINTBEGIN(clang-analyzer-security.insecureAPI.vfork,clang-analyzer-unix.Vfork)
int start_program(char* const* program, char* const* envp, int connection, const sigset_t* ignored, unsigned deadline,
                  pid_t* pid)
{
    sigset_t all, before, none;
    sigfillset(&all);
    sigemptyset(&none);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigprocmask(SIG_SETMASK, &all, &before);
    exec_error = 0;
    pid_t child = vfork();
    if (child == 0) {
        for (int s = 1; s < NSIG; ++s)
            if (sigismember(ignored, s) == 1)
                sigaction(s, &default_action, nullptr);
        if (dup2(connection, 0) < 0 || dup2(connection, 1) < 0) {
            exec_error = errno;
            _exit(127);
        }
        if (deadline != 0)
            alarm(deadline);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvpe(program[0], program, envp);
        exec_error = errno;
        _exit(127);
    }
    int r = child < 0 ? errno : exec_error;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (r == 0)
        *pid = child;
    return r;
}
// NOLINTEND(clang-analyzer-security.insecureAPI.vfork,clang-analyzer-unix.Vfork)
