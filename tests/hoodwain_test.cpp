// SPDX-License-Identifier: ISC
// tests/hoodwain_test.cpp - the ident responder end to end on pipes and sockets
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

const std::string version_line = "hoodwain from kestrix version 24\n";
const std::string usage_output = version_line + "\n"
                                                "Usage: hoodwain [OPTIONS]\n"
                                                "A simple anonymous identd server.\n"
                                                "\n"
                                                "-n        Return a HIDDEN-USER response\n"
                                                "-c ID     Return a USERID:UNIX ID response\n"
                                                "-V        Show version information\n"
                                                "-?        Show usage information\n";
const std::string hidden = "ERROR : HIDDEN-USER\r\n";

// The test writes to children that may already have gone; that must fail the
// write, not end the test. Children start with SIGPIPE at its default.
[[maybe_unused]] const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

harness::spawn_options hoodwain(const std::vector<std::string>& args = {})
{
    harness::spawn_options o;
    o.argv.push_back(HOODWAIN_PATH);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.set_env = {"TCPREMOTEIP=192.0.2.7", "TCPREMOTEPORT=40312"};
    o.unset_env = {"ROOT", "GID", "UID"};
    return o;
}

// The log a connection of process pid should leave, one line per entry.
std::string log_of(pid_t pid, const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += std::to_string(pid) + ": " + line + "\n";
    return text;
}

std::string connected = "connect from 192.0.2.7 port 40312";

struct session {
    pid_t pid = -1;
    harness::outcome o;
};

// Starts the responder, hands it all of input at once, ends its input and
// collects both of its outputs.
session converse(const harness::spawn_options& options, const std::string& input)
{
    session s;
    harness::child c = harness::spawn(options);
    s.pid = c.pid;
    if (c.in >= 0)
        harness::write_all(c.in, input);
    s.o = harness::finish(&c, 10);
    return s;
}

std::string reply(int first, int second, const std::string& user_part = hidden)
{
    return " " + std::to_string(first) + " , " + std::to_string(second) + " : " + user_part;
}

void expect_clean_exit(const harness::outcome& o)
{
    EXPECT_FALSE(o.timed_out);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0);
}

TEST(hoodwain_protocol, worked_example_is_reproduced_byte_for_byte)
{
    session s = converse(hoodwain({"-c", "nobody"}), "6193, 23\r\n6195,25\n");
    expect_clean_exit(s.o);
    EXPECT_EQ(s.o.out, " 6193 , 23 : USERID : UNIX : nobody\r\n"
                       " 6195 , 25 : USERID : UNIX : nobody\r\n");
    EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "request 6193,23", "request 6195,25", "closed"}));

    for (const auto& args : std::vector<std::vector<std::string>>{{"-n"}, {}}) {
        s = converse(hoodwain(args), "6193, 23\r\n6195,25\n");
        expect_clean_exit(s.o);
        EXPECT_EQ(s.o.out, " 6193 , 23 : ERROR : HIDDEN-USER\r\n"
                           " 6195 , 25 : ERROR : HIDDEN-USER\r\n");
        EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "request 6193,23", "request 6195,25", "closed"}));
    }
}

TEST(hoodwain_protocol, last_user_option_decides_the_reply_form)
{
    struct row {
        std::vector<std::string> args;
        std::string user_part;
    };
    const std::vector<row> rows = {
        {{"-c", "nobody"}, "USERID : UNIX : nobody\r\n"},
        {{"-n"}, hidden},
        {{}, hidden},
        {{"-c", ""}, "USERID : UNIX : \r\n"},
        {{"-c", "a", "-n"}, hidden},
        {{"-n", "-c", "a"}, "USERID : UNIX : a\r\n"},
        {{"-c", "a", "-c", "b"}, "USERID : UNIX : b\r\n"},
        {{"-cjoined"}, "USERID : UNIX : joined\r\n"},
        {{"-nc", "grouped"}, "USERID : UNIX : grouped\r\n"},
        {{"-c", "@c %s\t:x"}, "USERID : UNIX : @c %s\t:x\r\n"},
        {{"--"}, hidden},
        {{"-c", "a", "--"}, "USERID : UNIX : a\r\n"},
    };
    for (const auto& r : rows) {
        std::string shown;
        for (const auto& a : r.args)
            shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        session s = converse(hoodwain(r.args), "6193, 23\r\n");
        expect_clean_exit(s.o);
        EXPECT_EQ(s.o.out, reply(6193, 23, r.user_part));
        EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "request 6193,23", "closed"}));
    }
}

TEST(hoodwain_protocol, ports_are_read_by_the_atoi_rules_and_echoed_as_numbers)
{
    struct row {
        std::string request;
        int first;
        int second;
    };
    const std::vector<row> rows = {
        {"6193, 23\r\n", 6193, 23},
        {"6193,23\n", 6193, 23},
        {"+006193 ,\t23 trailing text\r\n", 6193, 23},
        {std::string("61\0"
                     "93,23\n",
                     9),
         61, 23},
        {"1,2,3\n", 1, 2},
        {"1,1\n", 1, 1},
        {"65535,65535\n", 65535, 65535},
        {" \t\v\f\r7,\v\f +8x\n", 7, 8},
        {"0000000000000000000042,00000000000000000000017\n", 42, 17},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.request);
        session s = converse(hoodwain(), r.request);
        expect_clean_exit(s.o);
        EXPECT_EQ(s.o.out, reply(r.first, r.second));
        std::string request = "request " + std::to_string(r.first) + "," + std::to_string(r.second);
        EXPECT_EQ(s.o.err, log_of(s.pid, {connected, request, "closed"}));
    }
}

TEST(hoodwain_protocol, invalid_request_ends_the_connection_without_reply)
{
    const std::string range = "port out of range in request";
    const std::string no_comma = "request without comma";
    struct row {
        std::string request;
        std::string reason;
    };
    const std::vector<row> rows = {
        {"0,23\n", range},
        {"6193,0\n", range},
        {"65536,23\n", range},
        {"6193,65536\n", range},
        {"-1,23\n", range},
        {",23\n", range},
        {",\n", range},
        {"abc,23\n", range},
        {"6193,\n", range},
        {"6193,\r\n", range},
        {"- 5,23\n", range},
        // Beyond 32 bits: wrapping would make these 1 and 23.
        {"4294967297,23\n", range},
        {"6193,4294967319\n", range},
        {"-4294967295,23\n", range},
        {"2147483648,1\n", range},
        {"6193 23\n", no_comma},
        {"\n", no_comma},
        {"\r\n", no_comma},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.request);
        // The valid request behind the invalid one is never reached.
        session s = converse(hoodwain({"-c", "someone"}), r.request + "1,2\n");
        expect_clean_exit(s.o);
        EXPECT_EQ(s.o.out, "");
        EXPECT_EQ(s.o.err, log_of(s.pid, {connected, r.reason, "closed"}));
    }
}

TEST(hoodwain_protocol, pipelined_requests_are_answered_in_order_then_it_waits)
{
    harness::child c = harness::spawn(hoodwain());
    ASSERT_TRUE(harness::write_all(c.in, "1,2\n3,4\n"));
    const std::string replies = reply(1, 2) + reply(3, 4);
    EXPECT_EQ(harness::read_for(c.out, 5, replies.size()), replies);
    std::string log = harness::read_until(c.err, 5, "request 3,4\n");
    EXPECT_EQ(log, log_of(c.pid, {connected, "request 1,2", "request 3,4"}));

    // Nothing more comes while the peer keeps its side open.
    EXPECT_TRUE(harness::idle(c.out, 0.3));
    EXPECT_TRUE(harness::idle(c.err, 0.05));
    EXPECT_EQ(waitpid(c.pid, nullptr, WNOHANG), 0);

    // It still answers, and ends when the peer ends.
    ASSERT_TRUE(harness::write_all(c.in, "5,6\n"));
    pid_t pid = c.pid;
    harness::outcome o = harness::finish(&c, 10);
    expect_clean_exit(o);
    EXPECT_EQ(o.out, reply(5, 6));
    EXPECT_EQ(o.err, log_of(pid, {"request 5,6", "closed"}));
}

TEST(hoodwain_protocol, valid_request_then_line_without_comma)
{
    session s = converse(hoodwain(), "6193,23\nx\n");
    expect_clean_exit(s.o);
    EXPECT_EQ(s.o.out, reply(6193, 23));
    EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "request 6193,23", "request without comma", "closed"}));
}

TEST(hoodwain_protocol, request_of_999_bytes_and_its_newline_is_answered)
{
    const std::string longest = "1,2" + std::string(996, ' ') + "\n";
    ASSERT_EQ(longest.size(), 1000u);
    session s = converse(hoodwain(), longest);
    expect_clean_exit(s.o);
    EXPECT_EQ(s.o.out, reply(1, 2));
    EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "request 1,2", "closed"}));

    // The count starts afresh at every request, also inside one packet.
    s = converse(hoodwain(), "7,8\n" + longest + "9,10\n");
    expect_clean_exit(s.o);
    EXPECT_EQ(s.o.out, reply(7, 8) + reply(1, 2) + reply(9, 10));
    EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "request 7,8", "request 1,2", "request 9,10", "closed"}));
}

TEST(hoodwain_protocol, thousand_bytes_without_newline_end_the_connection_at_once)
{
    const std::string too_long = "1,2" + std::string(997, ' ');
    ASSERT_EQ(too_long.size(), 1000u);
    for (const std::string& input : {too_long, too_long + "\n3,4\n", "5,6\n" + too_long}) {
        SCOPED_TRACE(input.size());
        harness::child c = harness::spawn(hoodwain());
        ASSERT_TRUE(harness::write_all(c.in, input));
        // The peer keeps its side open: the process must end by itself.
        std::string out = harness::read_for(c.out, 5);
        std::string err = harness::read_for(c.err, 5);
        pid_t pid = c.pid;
        harness::outcome o = harness::wait_for(&c, 5);
        harness::close_fd(&c.in);
        harness::close_fd(&c.out);
        harness::close_fd(&c.err);
        expect_clean_exit(o);
        if (input.compare(0, 4, "5,6\n") == 0) {
            EXPECT_EQ(out, reply(5, 6));
            EXPECT_EQ(err, log_of(pid, {connected, "request 5,6", "closed"}));
        } else {
            EXPECT_EQ(out, "");
            EXPECT_EQ(err, log_of(pid, {connected, "closed"}));
        }
    }
}

TEST(hoodwain_protocol, end_of_input_drops_an_unfinished_request)
{
    for (const std::string& input : {std::string("6193, 23"), std::string()}) {
        SCOPED_TRACE(input);
        session s = converse(hoodwain({"-c", "x"}), input);
        expect_clean_exit(s.o);
        EXPECT_EQ(s.o.out, "");
        EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "closed"}));
    }
}

TEST(hoodwain_environment, missing_peer_variables_are_fatal_before_any_log_line)
{
    struct row {
        std::vector<std::string> unset;
        std::string err;
    };
    const std::vector<row> rows = {
        {{"TCPREMOTEIP"}, "hoodwain: no TCPREMOTEIP set\n"},
        {{"TCPREMOTEPORT"}, "hoodwain: no TCPREMOTEPORT set\n"},
        {{"TCPREMOTEIP", "TCPREMOTEPORT"}, "hoodwain: no TCPREMOTEIP set\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.err);
        harness::spawn_options o = hoodwain({"-c", "x"});
        o.set_env.clear();
        for (const auto& name : r.unset)
            o.unset_env.push_back(name);
        if (r.unset.size() == 1)
            o.set_env.push_back(r.unset[0] == "TCPREMOTEIP" ? "TCPREMOTEPORT=1" : "TCPREMOTEIP=127.0.0.1");
        session s = converse(o, "1,2\n");
        EXPECT_FALSE(s.o.timed_out);
        EXPECT_TRUE(s.o.exited);
        EXPECT_EQ(s.o.status, 111);
        EXPECT_EQ(s.o.out, "");
        EXPECT_EQ(s.o.err, r.err);
    }
}

TEST(hoodwain_environment, empty_peer_variables_are_logged_empty)
{
    harness::spawn_options o = hoodwain();
    o.set_env = {"TCPREMOTEIP=", "TCPREMOTEPORT="};
    session s = converse(o, "1,2\n");
    expect_clean_exit(s.o);
    EXPECT_EQ(s.o.out, reply(1, 2));
    EXPECT_EQ(s.o.err, log_of(s.pid, {"connect from  port ", "request 1,2", "closed"}));
}

TEST(hoodwain_command_line, misuse_prints_version_and_usage_and_serves_nothing)
{
    const std::vector<std::vector<std::string>> rows = {
        {"x"}, {"x", "-n"}, {"-n", "x"}, {"x", "-V"}, {"-q"}, {"-nq"}, {"-c"}, {"-n", "-c"}, {"-?"}, {"--", "-n"},
    };
    for (const auto& args : rows) {
        std::string shown;
        for (const auto& a : args)
            shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        session s = converse(hoodwain(args), "1,2\n");
        EXPECT_FALSE(s.o.timed_out);
        EXPECT_TRUE(s.o.exited);
        EXPECT_EQ(s.o.status, 1);
        EXPECT_EQ(s.o.out, usage_output);
        // getopt may complain in its own words, but nothing is served.
        EXPECT_EQ(s.o.err.find("connect from"), std::string::npos);
    }

    session s = converse(hoodwain({"-V"}), "1,2\n");
    EXPECT_TRUE(s.o.exited);
    EXPECT_EQ(s.o.status, 1);
    EXPECT_EQ(s.o.out, version_line);
    EXPECT_EQ(s.o.err, "");

    // An option after -V is never looked at.
    s = converse(hoodwain({"-V", "-q"}), "");
    EXPECT_EQ(s.o.status, 1);
    EXPECT_EQ(s.o.out, version_line);
}

TEST(hoodwain_write_failure, reply_to_a_descriptor_it_cannot_write_is_logged)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    for (int fd : {p[0], file}) {
        SCOPED_TRACE(fd);
        harness::spawn_options o = hoodwain();
        o.stdout_fd = fd;
        session s = converse(o, "1,2\n3,4\n");
        expect_clean_exit(s.o);
        EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "request 1,2", "write to client failed", "closed"}));
    }
    EXPECT_TRUE(harness::idle(p[0], 0));  // not a byte went into the pipe
    close(p[0]);
    close(p[1]);
    close(file);
}

TEST(hoodwain_read_failure, input_it_cannot_read_is_logged_and_closed)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    for (int fd : {p[1], dir}) {
        SCOPED_TRACE(fd);
        harness::spawn_options o = hoodwain();
        o.stdin_fd = fd;
        session s = converse(o, "");
        expect_clean_exit(s.o);
        EXPECT_EQ(s.o.out, "");
        EXPECT_EQ(s.o.err, log_of(s.pid, {connected, "read from client failed", "closed"}));
    }
    close(p[0]);
    close(p[1]);
    close(dir);
}

TEST(hoodwain_write_failure, peer_gone_gives_sigpipe_unless_the_caller_ignores_it)
{
    for (bool ignore : {true, false}) {
        SCOPED_TRACE(ignore);
        // The request is already waiting when the peer has gone: the read
        // succeeds and the reply meets a closed connection.
        int s[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s), 0);
        ASSERT_TRUE(harness::write_all(s[1], "1,2\n"));
        close(s[1]);
        harness::spawn_options o = hoodwain();
        o.stdin_fd = s[0];
        o.stdout_fd = s[0];
        o.ignore_sigpipe = ignore;
        harness::child c = harness::spawn(o);
        close(s[0]);
        pid_t pid = c.pid;
        harness::outcome out = harness::finish(&c, 10);
        EXPECT_FALSE(out.timed_out);
        if (ignore) {
            expect_clean_exit(out);
            EXPECT_EQ(out.err, log_of(pid, {connected, "request 1,2", "write to client failed", "closed"}));
        } else {
            EXPECT_FALSE(out.exited);
            EXPECT_EQ(out.signal, SIGPIPE);
            EXPECT_EQ(out.err, log_of(pid, {connected, "request 1,2"}));
        }
    }
}

TEST(hoodwain_confinement, refusals_are_fatal_before_the_connection_is_served)
{
    struct row {
        std::vector<std::string> env;
        std::string err;
    };
    const std::string root = harness::make_temp_dir();
    const std::string missing = root + "/missing";
    const std::vector<row> rows = {
        {{"ROOT="}, "hoodwain: : unable to chroot\n"},
        {{"ROOT=" + missing}, "hoodwain: " + missing + ": unable to chroot\n"},
        // Root entered, but not its "/": the working directory would stay
        // outside it. The fault injector refuses the chdir (as root only; a
        // sanitized build cannot look for leaks inside the empty root).
        {{"ROOT=" + root, "chdir fails"}, "hoodwain: " + root + ": unable to chdir\n"},
        // An id that is no number, or beyond 32 bits, never means root.
        {{"UID=nobody"}, "hoodwain: unable to setuid\n"},
        {{"UID="}, "hoodwain: unable to setuid\n"},
        {{"UID=4294967296"}, "hoodwain: unable to setuid\n"},
        {{"GID=nobody", "UID=65534"}, "hoodwain: unable to setgid\n"},
        {{"GID=-4294967296"}, "hoodwain: unable to setgid\n"},
        // Confinement comes before the environment is checked.
        {{"ROOT=", "TCPREMOTEIP"}, "hoodwain: : unable to chroot\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.err);
        harness::spawn_options o = hoodwain({"-c", "x"});
        bool skipped = false;
        for (const auto& kv : r.env) {
            if (kv == "chdir fails") {
                skipped = geteuid() != 0;
                o.argv[0] = HOODWAIN_DYNAMIC_PATH;
                o.set_env.insert(o.set_env.end(), {"LD_PRELOAD=" FAULT_INJECT_PATH, "KESTRIX_FAULT_CALL=chdir",
                                                   "KESTRIX_FAULT_ERRNO=EACCES", "KESTRIX_FAULT_AT=1"});
                const char* asan = std::getenv("ASAN_OPTIONS");
                o.set_env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0");
            } else if (kv == "TCPREMOTEIP") {
                std::erase_if(o.set_env, [](const std::string& e) { return e.rfind("TCPREMOTEIP=", 0) == 0; });
            } else {
                o.set_env.push_back(kv);
            }
        }
        if (skipped)
            continue;
        session s = converse(o, "1,2\n");
        EXPECT_FALSE(s.o.timed_out);
        EXPECT_TRUE(s.o.exited);
        EXPECT_EQ(s.o.status, 111);
        EXPECT_EQ(s.o.out, "");
        EXPECT_EQ(s.o.err, r.err);
    }
    harness::remove_tree(root);
}

TEST(hoodwain_confinement, unprivileged_process_cannot_become_root)
{
    harness::spawn_options o = hoodwain();
    o.set_env.push_back("UID=0");
    if (geteuid() == 0) {
        // Start it as an ordinary user, as a super-server without privileges would.
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "setpriv is not installed";
        o.argv.insert(o.argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    session s = converse(o, "1,2\n");
    if (s.o.err.find("setpriv") != std::string::npos)
        GTEST_SKIP() << "setpriv refused: " << s.o.err;
    EXPECT_TRUE(s.o.exited);
    EXPECT_EQ(s.o.status, 111);
    EXPECT_EQ(s.o.out, "");
    EXPECT_EQ(s.o.err, "hoodwain: unable to setuid\n");
}

}  // namespace
