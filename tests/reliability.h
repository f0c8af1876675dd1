// SPDX-License-Identifier: ISC
// tests/reliability.h - shared pieces of the fault, load and memcheck tests
#ifndef KESTRIX_TESTS_RELIABILITY_H
#define KESTRIX_TESTS_RELIABILITY_H
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace reliability {

// Built with AddressSanitizer: the programs cannot run under valgrind, their
// realloc is the sanitizer's own (a preloaded one never sees it), and they
// hold on to freed memory, so resident sizes say nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

inline double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Heavy tests run at full size in the plain build and at 1/divisor of it
// under the sanitizers; KESTRIX_TORTURE_SCALE multiplies either (a longer run
// by hand, say 10).
inline long scaled(long full, long divisor = 10)
{
    long n = sanitized ? full / divisor : full;
    if (const char* text = std::getenv("KESTRIX_TORTURE_SCALE")) {
        long factor = std::atol(text);
        if (factor > 0)
            n *= factor;
    }
    return n;
}

// One line for docs/RELIABILITY.md: ctest -V shows it.
inline void report_figure(const std::string& text)
{
    std::printf("[figures] %s\n", text.c_str());
    std::fflush(stdout);
}

// A pipe whose read end is handed to a child as its standard input after the
// whole input was put in, the write end closed: the child meets end of input
// exactly after it. The test keeps the read end, so it can count afterwards
// what the child left unread.
struct filled_pipe {
    int read_end = -1;
};

inline filled_pipe fill_pipe(const std::string& input)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0)
        std::abort();
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    if (!harness::write_all(ends[1], input))
        std::abort();
    close(ends[1]);
    return {ends[0]};
}

// Bytes still waiting in the pipe; closes it.
inline std::size_t unread_bytes(filled_pipe* p)
{
    fcntl(p->read_end, F_SETFL, O_NONBLOCK);
    std::size_t n = 0;
    char chunk[65536];
    ssize_t got;
    while ((got = read(p->read_end, chunk, sizeof chunk)) > 0)
        n += static_cast<std::size_t>(got);
    harness::close_fd(&p->read_end);
    return n;
}

// Runs job(i) for i in [0, count), up to `width` at a time on threads of
// their own: most fault points spend their time in a 5-second pause.
inline void in_parallel(std::size_t count, std::size_t width, const std::function<void(std::size_t)>& job)
{
    for (std::size_t first = 0; first < count; first += width) {
        std::vector<std::thread> batch;
        for (std::size_t i = first; i < count && i < first + width; ++i)
            batch.emplace_back(job, i);
        for (auto& t : batch)
            t.join();
    }
}

// What scrivel without -c must put in its file for this input: every
// non-empty line with its newline, then the unterminated tail with one added.
inline std::string records_of(const std::string& input)
{
    std::string file;
    std::size_t at = 0;
    for (;;) {
        std::size_t nl = input.find('\n', at);
        std::string line = input.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        if (!line.empty())
            file += line + "\n";
        if (nl == std::string::npos)
            return file;
        at = nl + 1;
    }
}

// Every complete line of input, in order.
inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0, nl;
    while ((nl = text.find('\n', at)) != std::string::npos) {
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

// A fault the preloaded library injects: the `at`th call of `call` (read,
// write, close, open, realloc) behaves as `mode` says (fail, after, short,
// short_fail, eintr), with errno `error`.
struct fault {
    std::string call;
    std::string mode = "fail";
    std::string error = "EIO";
    long at = 1;
};

// Runs one program under the fault at call N = 1, 2, ..., `width` points side
// by side, and checks every point, until a batch holds a point the fault no
// longer reached (the run made fewer calls). Returns how many points it
// reached. A point records its fault in `f` and what the injector changed in
// `fired` (empty: nothing).
template <typename point>
int sweep(const fault& f, std::size_t width, long limit, void (*run)(point*), void (*check)(const point&))
{
    int reached = 0;
    for (long first = 1; first < limit; first += static_cast<long>(width)) {
        std::vector<point> points(width);
        in_parallel(width, width, [&](std::size_t i) {
            points[i].f = f;
            points[i].f.at = first + static_cast<long>(i);
            run(&points[i]);
        });
        bool beyond = false;
        for (const auto& p : points) {
            check(p);
            if (p.fired.empty())
                beyond = true;
            else
                ++reached;
        }
        if (beyond || testing::Test::HasFatalFailure())
            return reached;
    }
    ADD_FAILURE() << "the sweep did not end";
    return reached;
}

#ifdef FAULT_INJECT_PATH
// The environment that arms the fault for a child; `log` receives one line
// per call the library changed.
inline std::vector<std::string> fault_env(const fault& f, const std::string& log)
{
    return {"LD_PRELOAD=" FAULT_INJECT_PATH,
            "KESTRIX_FAULT_CALL=" + f.call,
            "KESTRIX_FAULT_MODE=" + f.mode,
            "KESTRIX_FAULT_ERRNO=" + f.error,
            "KESTRIX_FAULT_AT=" + std::to_string(f.at),
            "KESTRIX_FAULT_LOG=" + log};
}
#endif

// valgrind, if it is installed: its path, else empty.
inline std::string valgrind_path()
{
    for (const char* p : {"/usr/bin/valgrind", "/usr/local/bin/valgrind"})
        if (access(p, X_OK) == 0)
            return p;
    return std::string();
}

// The value of a field ("VmHWM", "VmRSS") of /proc/<pid>/status in kB, or -1.
inline long proc_status_kb(pid_t pid, const std::string& field)
{
    std::string text = harness::read_file("/proc/" + std::to_string(pid) + "/status");
    std::size_t at = text.find(field + ":");
    if (at == std::string::npos)
        return -1;
    return std::atol(text.c_str() + at + field.size() + 1);
}

}  // namespace reliability
#endif
