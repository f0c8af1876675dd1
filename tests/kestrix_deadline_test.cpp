// SPDX-License-Identifier: ISC
// tests/kestrix_deadline_test.cpp - the deadline chainloader end to end: its
// command line, a program it cannot run, the exec in place, and hoodwain
// ended by the kernel at the deadline
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

const std::string version_line = "kestrix-deadline from kestrix version 24\n";
const std::string usage_output = version_line + "\n"
                                                "Usage: kestrix-deadline SECONDS PROGRAM [ARG...]\n"
                                                "Run PROGRAM, ended by SIGALRM after SECONDS (1 to 86400).\n"
                                                "\n"
                                                "-V        Show version information\n"
                                                "-?        Show usage information\n";

harness::spawn_options deadline(const std::vector<std::string>& args)
{
    harness::spawn_options o;
    o.argv.push_back(KESTRIX_DEADLINE_PATH);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    return o;
}

std::string shown(const std::vector<std::string>& args)
{
    std::string text;
    for (const auto& a : args)
        text += " '" + a + "'";
    return text;
}

TEST(kestrix_deadline, misuse_prints_the_usage_and_exits_1)
{
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"-?"},
        {"5"},
        {"--", "5"},
        {"0", "true"},
        {"86401", "true"},
        {"", "true"},
        {"x", "true"},
        {"5s", "true"},
        {" 5", "true"},
        {"+5", "true"},
        {"1.5", "true"},
        {"4294967297", "true"},
        {"-?", "5", "true"},
    };
    for (const auto& args : rows) {
        harness::outcome o = harness::run(deadline(args), "", 10);
        EXPECT_TRUE(o.exited) << shown(args);
        EXPECT_EQ(o.status, 1) << shown(args);
        EXPECT_EQ(o.out, usage_output) << shown(args);
        EXPECT_EQ(o.err, "") << shown(args);
    }
    harness::outcome o = harness::run(deadline({"-V", "5", "true"}), "", 10);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, version_line);
    EXPECT_EQ(o.err, "");
}

TEST(kestrix_deadline, both_ends_of_the_range_run_the_program)
{
    for (const std::string seconds : {"1", "86400", "007"}) {
        harness::outcome o = harness::run(deadline({seconds, "sh", "-c", "exit 7"}), "", 10);
        EXPECT_TRUE(o.exited) << seconds;
        EXPECT_EQ(o.status, 7) << seconds;
        EXPECT_EQ(o.out + o.err, "") << seconds;
    }
}

// Its own image, asleep: after the exec that failed, only the write of the
// diagnostic can put it to sleep.
bool asleep_in_itself(pid_t pid)
{
    std::string proc = "/proc/" + std::to_string(pid);
    char target[4096];
    ssize_t n = readlink((proc + "/exe").c_str(), target, sizeof target);
    if (n <= 0 || std::string(target, static_cast<std::size_t>(n)) != KESTRIX_DEADLINE_PATH)
        return false;
    std::string stat = harness::read_file(proc + "/stat");
    std::size_t paren = stat.rfind(") ");
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
}

TEST(kestrix_deadline, a_program_it_cannot_run_is_fatal)
{
    for (const std::string program : {"/nonexistent/program", "kestrix-no-such-program", "/dev/null"}) {
        harness::outcome o = harness::run(deadline({"5", program, "-n"}), "", 10);
        EXPECT_TRUE(o.exited) << program;
        EXPECT_EQ(o.status, 111) << program;
        EXPECT_EQ(o.out, "") << program;
        EXPECT_EQ(o.err, "kestrix-deadline: " + program + ": unable to run program\n");
    }

    // Standard error a full pipe: the diagnostic waits for a reader past the
    // deadline, and the alarm, cancelled after the failed exec, ends nothing.
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
    std::string held;
    for (char byte = 'f'; write(err[1], &byte, 1) == 1;)
        held += byte;
    ASSERT_EQ(errno, EAGAIN);
    ASSERT_EQ(fcntl(err[1], F_SETFL, 0), 0);
    harness::spawn_options options = deadline({"1", "kestrix-no-such-program"});
    options.stderr_fd = err[1];
    harness::child c = harness::spawn(options);
    close(err[1]);
    EXPECT_TRUE(harness::eventually(10, [&] { return asleep_in_itself(c.pid); }));
    sleep(2);
    std::string got = harness::read_for(err[0], 10);
    close(err[0]);
    harness::outcome o = harness::finish(&c, 10);
    EXPECT_TRUE(o.exited) << "ended by signal " << o.signal;
    EXPECT_EQ(o.status, 111);
    EXPECT_TRUE(got == held + "kestrix-deadline: kestrix-no-such-program: unable to run program\n")
        << got.size() - held.size() << " bytes after the " << held.size() << " held";
}

TEST(kestrix_deadline, the_program_runs_in_its_place_with_its_arguments)
{
    harness::child c =
        harness::spawn(deadline({"5", "sh", "-c", "echo $$; printf '[%s]\\n' \"$@\"", "sh", "-n", "b c", "", "--"}));
    pid_t pid = c.pid;
    harness::outcome o = harness::finish(&c, 10);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, std::to_string(pid) + "\n[-n]\n[b c]\n[]\n[--]\n");
    EXPECT_EQ(o.err, "");
}

// As a super-server hands it over: the connection on 0 and 1, SIGALRM
// ignored and blocked. The request is answered, then the silent peer's
// hoodwain is ended by SIGALRM, not before the second; its log has no
// "closed" line, and the connection is closed.
TEST(kestrix_deadline, hoodwain_is_ended_by_the_kernel_at_the_deadline)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    harness::spawn_options options = deadline({"1", HOODWAIN_PATH, "-n"});
    options.stdin_fd = pair[1];
    options.stdout_fd = pair[1];
    options.set_env = {"TCPREMOTEIP=192.0.2.7", "TCPREMOTEPORT=40312"};
    options.unset_env = {"ROOT", "GID", "UID"};
    options.hold_sigalrm = true;
    auto start = std::chrono::steady_clock::now();
    harness::child c = harness::spawn(options);
    close(pair[1]);
    pid_t pid = c.pid;

    ASSERT_TRUE(harness::write_all(pair[0], "6193, 23\r\n"));
    EXPECT_EQ(harness::read_until(pair[0], 10, "\r\n"), " 6193 , 23 : ERROR : HIDDEN-USER\r\n");
    harness::outcome o = harness::finish(&c, 20);
    std::chrono::duration<double> lived = std::chrono::steady_clock::now() - start;

    EXPECT_FALSE(o.timed_out);
    EXPECT_FALSE(o.exited);
    EXPECT_EQ(o.signal, SIGALRM);
    EXPECT_GE(lived.count(), 0.9);
    std::string p = std::to_string(pid);
    EXPECT_EQ(o.err, p + ": connect from 192.0.2.7 port 40312\n" + p + ": request 6193,23\n");
    EXPECT_FALSE(harness::idle(pair[0], 5)) << "the connection is still open";
    EXPECT_EQ(harness::read_for(pair[0], 5), "");
    close(pair[0]);
}

}  // namespace
