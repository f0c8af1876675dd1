// SPDX-License-Identifier: ISC
// tests/unit_support.h - shared pieces of the support library's unit tests
#ifndef KESTRIX_TESTS_UNIT_SUPPORT_H
#define KESTRIX_TESTS_UNIT_SUPPORT_H
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "buffer.h"
#include "harness.h"

#if defined(__SANITIZE_ADDRESS__)
#define KESTRIX_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRIX_TEST_ASAN 1
#endif
#endif
#ifdef KESTRIX_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace unit {

// The invariants every buffer keeps between two operations: no storage means
// capacity and length 0; storage means a positive multiple of 256 as capacity
// and a length that fits.
inline testing::AssertionResult buffer_is_sane(const kestrix::buffer& b)
{
    if (b.storage == nullptr) {
        if (b.capacity == 0 && b.length == 0)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "no storage, but capacity " << b.capacity << " and length " << b.length;
    }
    if (b.capacity == 0 || b.capacity % 256 != 0)
        return testing::AssertionFailure() << "capacity " << b.capacity << " is not a positive multiple of 256";
    if (b.length > b.capacity)
        return testing::AssertionFailure() << "length " << b.length << " exceeds capacity " << b.capacity;
    return testing::AssertionSuccess();
}

// The content of b as a string (NUL bytes included).
inline std::string content(const kestrix::buffer& b)
{
    if (b.storage == nullptr)
        return std::string();
    return std::string(b.storage, b.length);
}

// A child ends with this status when its body returns instead of exiting.
constexpr int body_returned = 86;

// Runs body in a forked child whose descriptors 0, 1 and 2 are fresh pipes,
// returned as c.in, c.out and c.err (the test's ends). When body returns, the
// child ends with _exit(body_returned) and so never runs the test framework's
// code; when it exits, its status and its bytes on 1 and 2 are what it did.
// Checks made inside the child are not seen by the framework: the child
// reports through its output and status.
inline harness::child start(const std::function<void()>& body)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
        std::abort();
    // Text buffered by the test must not be written a second time when the
    // child exits through exit().
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        std::abort();
    if (pid == 0) {
        if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
            _exit(127);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        body();
        _exit(body_returned);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    harness::child c;
    c.pid = pid;
    c.in = in[1];
    c.out = out[0];
    c.err = err[0];
    return c;
}

// start, then collect everything the child writes on 1 and 2 and its end;
// a child still running after `seconds` is killed (timed_out).
inline harness::outcome run(const std::function<void()>& body, double seconds = 10)
{
    harness::child c = start(body);
    return harness::finish(&c, seconds);
}

// The leak check that AddressSanitizer runs at exit must inspect the process
// under its original ids. A child that changes its ids and may then exit
// calls this first: the check runs at once, and not again at exit.
inline void check_leaks_now()
{
#ifdef KESTRIX_TEST_ASAN
    __lsan_do_leak_check();
#endif
}

// What a child wrote on 2 without the warning AddressSanitizer prints (even
// when allowed to return null) before it refuses an allocation.
inline std::string without_allocation_warning(std::string err)
{
#ifdef KESTRIX_TEST_ASAN
    std::string::size_type at = err.find("WARNING: AddressSanitizer failed to allocate");
    if (at != std::string::npos) {
        std::string::size_type start = err.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        std::string::size_type end = err.find('\n', at);
        err.erase(start, end == std::string::npos ? std::string::npos : end + 1 - start);
    }
#endif
    return err;
}

inline std::string describe(const harness::outcome& o)
{
    std::string d = o.timed_out ? "timed out"
                    : o.exited  ? "exit " + std::to_string(o.status)
                                : "signal " + std::to_string(o.signal);
    return d + ", out \"" + o.out + "\", err \"" + o.err + "\"";
}

// The child exited with exactly this status and wrote exactly these bytes.
inline testing::AssertionResult ended(const harness::outcome& o, int status, const std::string& out,
                                      const std::string& err)
{
    if (!o.timed_out && o.exited && o.status == status && o.out == out && o.err == err)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "child ended with " << describe(o) << "; expected exit " << status
                                       << ", out \"" << out << "\", err \"" << err << "\"";
}

// The child's body returned (it did not exit) after writing these bytes.
inline testing::AssertionResult returned(const harness::outcome& o, const std::string& out, const std::string& err)
{
    return ended(o, body_returned, out, err);
}

}  // namespace unit
#endif
