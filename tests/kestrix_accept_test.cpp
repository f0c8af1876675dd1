// SPDX-License-Identifier: ISC
// tests/kestrix_accept_test.cpp - the accept loop end to end on loopback:
// sockets passed as a service manager passes them, hoodwain behind
// kestrix-deadline behind it, its limits, its log, SIGTERM and its faults
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "reliability.h"

namespace {

[[maybe_unused]] const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

const std::string version_line = "kestrix-accept from kestrix version 24\n";
const std::string query = "6193, 23\r\n";
const std::string answer = " 6193 , 23 : ERROR : HIDDEN-USER\r\n";

// A TCP socket for host and port; "::" is dual-stack, another IPv6 address
// IPv6 only. Bound and listening when listen_too, else connected; -1 when
// that fails.
int tcp_socket(const std::string& host, int port, bool listen_too)
{
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    bool is_v4 = inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1;
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));
    v6.sin6_family = AF_INET6;
    v6.sin6_port = v4.sin_port;
    inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr);
    auto* a = is_v4 ? reinterpret_cast<sockaddr*>(&v4) : reinterpret_cast<sockaddr*>(&v6);
    socklen_t length = is_v4 ? sizeof v4 : sizeof v6;
    int fd = socket(a->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int v6only = host != "::";
    if (!is_v4)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    if (listen_too ? bind(fd, a, length) < 0 || listen(fd, 64) < 0 : connect(fd, a, length) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int listening(const std::string& host)
{
    return tcp_socket(host, 0, true);
}

int connect_to(const std::string& host, int port)
{
    return tcp_socket(host, port, false);
}

const bool have_ipv6 = [] {
    int fd = listening("::1");
    close(fd);
    return fd >= 0;
}();

int port_of(int fd)
{
    sockaddr_in6 a{};  // the port lies at the same place in both families
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin6_port);
}

// Sends the query and reads until "\r\n", the end, or 10 s; the connection
// stays open.
std::string ask(int fd)
{
    send(fd, query.data(), query.size(), MSG_NOSIGNAL);
    return harness::read_until(fd, 10, "\r\n");
}

// One whole exchange: the query, a half-close, everything up to the end
// ("<open>" after it when the end did not come within 10 s).
std::string ask_once(const std::string& host, int port)
{
    int fd = connect_to(host, port);
    send(fd, query.data(), query.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    std::string got = harness::read_for(fd, 10);
    if (harness::idle(fd, 0))
        got += "<open>";
    close(fd);
    return got;
}

// The same from the IPv4 address from.
std::string ask_once_from(const std::string& from, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
        return "<no bind>";
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        close(fd);
        return "<no connection>";
    }
    send(fd, query.data(), query.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    std::string got = harness::read_for(fd, 10);
    close(fd);
    return got;
}

harness::spawn_options loop(const std::vector<int>& sockets, const std::vector<std::string>& args)
{
    harness::spawn_options o;
    o.argv = {KESTRIX_ACCEPT_PATH};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.listen_fds = sockets;
    return o;
}

// The options, then hoodwain behind kestrix-deadline.
std::vector<std::string> serving(std::vector<std::string> options)
{
    options.insert(options.end(), {KESTRIX_DEADLINE_PATH, "20", HOODWAIN_PATH, "-n"});
    return options;
}

harness::outcome stop(harness::child* c)
{
    kill(c->pid, SIGTERM);
    return harness::finish(c, 20);
}

TEST(kestrix_accept, misuse_prints_the_usage_and_exits_1)
{
    const std::string usage = version_line + "\n"
                                             "Usage: kestrix-accept [-c MAX] [-C PER_SOURCE] [-d SECONDS] PROGRAM "
                                             "[ARG...]\n"
                                             "Run PROGRAM for each connection on the sockets a service manager "
                                             "passes.\n\n"
                                             "-c MAX    At most MAX connections at once (1 to 65535, default 20)\n"
                                             "-C PER_SOURCE\n"
                                             "          At most PER_SOURCE of them from one source (default 4)\n"
                                             "-d SECONDS\n"
                                             "          End each program by SIGALRM after SECONDS (1 to 86400; "
                                             "default\n"
                                             "          none)\n"
                                             "-V        Show version information\n"
                                             "-?        Show usage information\n";
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"-?"},
        {"-c", "5"},
        {"--"},
        {"-c", "0", "true"},
        {"-c", "65536", "true"},
        {"-C", "0", "true"},
        {"-c", "", "true"},
        {"-c", " 5", "true"},
        {"-C", "+5", "true"},
        {"-C", "4x", "true"},
        {"-d", "0", "true"},
        {"-d", "86401", "true"},
        {"-d", "1s", "true"},
        {"-x", "true"},
    };
    for (const auto& args : rows) {
        harness::outcome o = harness::run(loop({}, args), "", 10);
        EXPECT_TRUE(o.exited && o.status == 1 && o.out == usage) << args.size() << " " << o.out;
    }
    harness::outcome o = harness::run(loop({}, {"-V", "true"}), "", 10);
    EXPECT_TRUE(o.exited && o.status == 1 && o.out == version_line && o.err.empty());
}

// IPv4, IPv6-only and dual-stack sockets and a FIFO passed to one loop,
// which starts with SIGPIPE and SIGALRM ignored, SIGALRM blocked and stale
// variables. The program, awk, shows its signal state and environment, then
// lists its descriptors.
TEST(kestrix_accept, each_program_gets_the_connection_its_addresses_and_a_clean_start)
{
    struct row {
        std::string listen, peer;
    };
    std::vector<row> rows = {{"127.0.0.1", "127.0.0.1"}};
    if (have_ipv6)
        rows.insert(rows.end(), {{"::1", "::1"}, {"::", "127.0.0.1"}, {"::", "::1"}});
    std::vector<int> sockets;
    std::string start = "kestrix-accept: accepting on ";
    for (std::size_t i = 0; i < rows.size() && i < 3; ++i) {
        sockets.push_back(listening(rows[i].listen));
        start += (i > 0 ? ", " : "") + rows[i].listen + " port " + std::to_string(port_of(sockets[i]));
    }
    std::string dir = harness::make_temp_dir();
    ASSERT_EQ(mkfifo((dir + "/log").c_str(), 0600), 0);
    std::vector<int> passed = sockets;
    passed.push_back(open((dir + "/log").c_str(), O_RDWR | O_CLOEXEC));
    harness::spawn_options o =
        loop(passed, {"awk", "BEGIN { while ((getline l < \"/proc/self/status\") > 0) if (l ~ /^Sig(Blk|Ign)/) print l;"
                             " close(\"/proc/self/status\"); for (k in ENVIRON) print k \"=\" ENVIRON[k];"
                             " getline s < \"/proc/self/stat\"; close(\"/proc/self/stat\"); split(s, f, \" \");"
                             " system(\"ls /proc/\" f[1] \"/fd\") }"});
    o.set_env = {"ROOT=/nonexistent",
                 "GID=12",
                 "UID=34",
                 "TCPREMOTEHOST=stale",
                 "TCPREMOTEINFO=stale",
                 "TCPLOCALHOST=stale",
                 "PROTO=UDP",
                 "LISTEN_FDNAMES=" + std::string(passed.size() == 4 ? "a:b:c:log" : "a:log")};
    o.ignore_sigpipe = true;
    o.hold_sigalrm = true;
    harness::child c = harness::spawn(o);
    EXPECT_EQ(harness::read_until(c.err, 10, "\n"), start + "; at most 20 connections, 4 per source\n");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        int port = port_of(sockets[std::min<std::size_t>(i, 2)]);
        int fd = connect_to(rows[i].peer, port);
        shutdown(fd, SHUT_WR);
        std::string got = harness::read_for(fd, 10);
        std::vector<std::string> seen, expected = {"GID=12",
                                                   "PROTO=TCP",
                                                   "ROOT=/nonexistent",
                                                   "SigBlk:\t0000000000000000",
                                                   "SigIgn:\t0000000000000000",
                                                   "UID=34",
                                                   "TCPLOCALIP=" + rows[i].peer,
                                                   "TCPLOCALPORT=" + std::to_string(port),
                                                   "TCPREMOTEIP=" + rows[i].peer,
                                                   "TCPREMOTEPORT=" + std::to_string(port_of(fd))};
        std::regex wanted("(GID|LISTEN|PROTO|ROOT|TCP|UID)[A-Z_]*=.*|Sig(Blk|Ign):.*");
        for (std::size_t at = 0, end; (end = got.find('\n', at)) != std::string::npos; at = end + 1)
            if (std::regex_match(got.substr(at, end - at), wanted))
                seen.push_back(got.substr(at, end - at));
        std::sort(seen.begin(), seen.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(seen, expected) << rows[i].listen << " " << rows[i].peer;
        EXPECT_TRUE(got.size() > 6 && got.substr(got.size() - 7) == "\n0\n1\n2\n") << "descriptors:\n" << got;
        close(fd);
    }
    harness::outcome out = stop(&c);
    EXPECT_TRUE(out.exited && out.status == 0) << out.err;
    for (int fd : passed)
        close(fd);
    harness::remove_tree(dir);
}

// -d 1 in front of hoodwain alone, the loop started with SIGALRM ignored
// and blocked: a query is answered at once; a silent peer's hoodwain is
// ended by the alarm, no sooner than a second and within a few, its
// connection closed without a byte and its log without a "closed" line;
// the loop itself goes on.
TEST(kestrix_accept, a_deadline_ends_each_program_by_sigalrm)
{
    int s = listening("127.0.0.1");
    int port = port_of(s);
    harness::spawn_options o = loop({s}, {"-d", "1", HOODWAIN_PATH, "-n"});
    o.hold_sigalrm = true;
    harness::child c = harness::spawn(o);
    EXPECT_EQ(ask_once("127.0.0.1", port), answer);
    int silent = connect_to("127.0.0.1", port);
    std::string silent_port = std::to_string(port_of(silent));
    auto start = std::chrono::steady_clock::now();
    std::string got = harness::read_for(silent, 10);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got, "");
    EXPECT_GE(took.count(), 0.9);
    EXPECT_LE(took.count(), 5.0);
    EXPECT_EQ(ask_once("127.0.0.1", port), answer) << "the loop did not go on";
    std::string log = harness::read_until(c.err, 10, "port " + silent_port + "\n");
    close(silent);
    harness::outcome out = stop(&c);
    log += out.err;
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(log, m, std::regex("([0-9]+): connect from 127\\.0\\.0\\.1 port " + silent_port + "\n")))
        << log;
    EXPECT_EQ(log.find(m[1].str() + ": closed\n"), std::string::npos) << log;
    EXPECT_TRUE(out.exited && out.status == 0) << log;
    close(s);
}

std::uint64_t refusals_logged(const std::string& err)
{
    std::uint64_t n = 0;
    std::smatch m;
    for (auto at = err.cbegin(); std::regex_search(at, err.cend(), m, std::regex("refused ([0-9]+ more|127)"));
         at = m.suffix().first)
        n += m[1] == "127" ? 1 : std::stoull(m[1]);
    return n;
}

// Two held from 127.0.0.1, at most two per source: its other connections
// are closed unanswered, one from ::1 is served, and the log names the
// first refusal and counts the rest, however many, in a line or two.
TEST(kestrix_accept, a_source_at_its_limit_is_refused_in_few_lines)
{
    bool v6 = have_ipv6;
    int s = listening(v6 ? "::" : "127.0.0.1");
    int port = port_of(s);
    auto start = std::chrono::steady_clock::now();
    harness::child c = harness::spawn(loop({s}, serving({"-C", "2"})));
    int held[2] = {connect_to("127.0.0.1", port), connect_to("127.0.0.1", port)};
    for (int fd : held)
        EXPECT_EQ(ask(fd), answer);
    std::uint64_t refused = 0;
    for (int i = 0; i < 200; ++i)
        refused += ask_once("127.0.0.1", port).empty();
    EXPECT_EQ(refused, 200U);
    if (v6) {
        EXPECT_EQ(ask_once("::1", port), answer);
    }
    close(held[0]);
    for (int i = 0; i < 100; ++i) {
        if (ask_once("127.0.0.1", port) == answer)
            break;
        ++refused;
    }
    EXPECT_EQ(ask(held[1]), answer) << "a held connection was cut";
    close(held[1]);
    harness::outcome o = stop(&c);
    EXPECT_TRUE(std::regex_search(o.err, std::regex("\nkestrix-accept: refused 127\\.0\\.0\\.1 port [0-9]+: "
                                                    "its source is at its limit of 2\n")));
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(refusals_logged(o.err), refused) << o.err;
    std::regex refusal("refused");
    std::ptrdiff_t lines =
        std::distance(std::sregex_iterator(o.err.begin(), o.err.end(), refusal), std::sregex_iterator());
    EXPECT_LE(lines, 2 + static_cast<std::ptrdiff_t>(took.count())) << o.err;
    close(s);
}

// A client that makes one connection at a time is not refused, even while
// another source keeps the loop accepting: programs that have ended are
// reaped before a source is found at its limit, not only between batches.
TEST(kestrix_accept, one_connection_at_a_time_is_never_refused_while_the_loop_is_busy)
{
    int s = listening("127.0.0.1");
    int port = port_of(s);
    harness::child c = harness::spawn(loop({s}, serving({"-C", "3"})));
    std::atomic<bool> done{false};
    std::thread busy([&] {
        while (!done)
            ask_once_from("127.0.0.2", port);
    });
    int refused = 0;
    for (int i = 0; i < 300; ++i)
        refused += ask_once_from("127.0.0.1", port) != answer;
    done = true;
    busy.join();
    harness::outcome o = stop(&c);
    std::size_t line = o.err.find("kestrix-accept: refused");
    EXPECT_EQ(refused, 0) << o.err.substr(line == std::string::npos ? 0 : line, 200);
    close(s);
}

// The processor time a process has used, in clock ticks.
long cpu_ticks(pid_t pid)
{
    std::string stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stol(field);
    return ticks;
}

// At most two at once: the third connection waits in the backlog, unanswered,
// until one of the two ends; SIGTERM then leaves the other serving.
TEST(kestrix_accept, at_the_limit_the_rest_wait_and_sigterm_leaves_the_programs_serving)
{
    int s = listening("127.0.0.1");
    int port = port_of(s);
    harness::child c = harness::spawn(loop({s}, serving({"-c", "2", "-C", "5"})));
    int held[2] = {connect_to("127.0.0.1", port), connect_to("127.0.0.1", port)};
    for (int fd : held)
        EXPECT_EQ(ask(fd), answer);
    int waiting = connect_to("127.0.0.1", port);
    send(waiting, query.data(), query.size(), MSG_NOSIGNAL);
    std::string log = harness::read_until(c.err, 10, "full: 2 of 2 connections alive, waiting for one to end\n");
    long used = cpu_ticks(c.pid);
    EXPECT_TRUE(harness::idle(waiting, 1)) << "answered while full";
    EXPECT_LT(cpu_ticks(c.pid) - used, sysconf(_SC_CLK_TCK) / 10) << "the loop spins while full";
    close(held[0]);
    EXPECT_EQ(harness::read_until(waiting, 10, "\r\n"), answer);
    // More than a second after the line that it went full: the next state
    // line is not held back.
    log += harness::read_until(c.err, 10, "accepting again: 1 of 2 connections alive\n");
    EXPECT_NE(log.find("accepting again"), std::string::npos) << log;
    kill(c.pid, SIGTERM);
    harness::outcome o = harness::wait_for(&c, 20);
    EXPECT_TRUE(o.exited && o.status == 0);
    EXPECT_EQ(ask(held[1]), answer);
    EXPECT_EQ(ask(waiting), answer);
    close(held[1]);
    close(waiting);
    log += harness::read_for(c.err, 20);  // to its end, when the programs have ended
    EXPECT_NE(log.find("\nkestrix-accept: stopped; 2 of 2 connections still alive\n"), std::string::npos) << log;
    harness::close_fd(&c.err);
    harness::close_fd(&c.out);
    harness::close_fd(&c.in);
    close(s);
}

// One call failing: the loop warns (or, for a peer's error, says nothing),
// closes what it must, pauses and serves the next connection.
TEST(kestrix_accept, faults_are_warned_about_and_the_loop_goes_on)
{
    struct row {
        std::string call, error;
        bool first_answered;
        std::string warning;
    };
    const std::vector<row> rows = {
        {"accept", "EMFILE", true, "kestrix-accept: unable to accept connection\n"},
        {"accept", "ENFILE", true, "kestrix-accept: unable to accept connection\n"},
        {"accept", "ENOBUFS", true, "kestrix-accept: unable to accept connection\n"},
        {"accept", "ENOMEM", true, "kestrix-accept: unable to accept connection\n"},
        {"accept", "ECONNABORTED", true, ""},
        {"accept", "EINTR", true, ""},
        {"poll", "ENOMEM", true, "kestrix-accept: unable to accept connection\n"},
        {"vfork", "EAGAIN", false, "kestrix-accept: unable to start program\n"},
        {"vfork", "ENOMEM", false, "kestrix-accept: unable to start program\n"},
        {"", "", false, "kestrix-accept: /nonexistent/program: unable to run program\n"},
    };
    for (const row& r : rows) {
        int s = listening("127.0.0.1");
        std::string dir = harness::make_temp_dir();
        harness::spawn_options o = loop({s}, {HOODWAIN_PATH, "-n"});
        o.argv[0] = KESTRIX_ACCEPT_DYNAMIC_PATH;
        if (r.call.empty())
            o.argv[1] = "/nonexistent/program";
        else
            o.set_env = reliability::fault_env({r.call, "fail", r.error, 1}, dir + "/log");
        harness::child c = harness::spawn(o);
        std::string early = harness::read_until(c.err, 10, "\n");
        EXPECT_EQ(ask_once("127.0.0.1", port_of(s)), r.first_answered ? answer : "") << r.call << " " << r.error;
        EXPECT_EQ(ask_once("127.0.0.1", port_of(s)), r.call.empty() ? "" : answer) << r.call << " " << r.error;
        harness::outcome out = stop(&c);
        std::string warnings = std::regex_replace(
            early + out.err, std::regex("[0-9]+: [^\n]*\n|kestrix-accept: (accepting on|stopped)[^\n]*\n"), "");
        EXPECT_EQ(warnings,
                  r.warning + (r.call.empty() ? "kestrix-accept: 1 more failures to start the program\n" : ""))
            << r.call << " " << r.error;
        EXPECT_EQ(harness::read_file(dir + "/log").substr(0, r.call.size()), r.call);
        harness::remove_tree(dir);
        close(s);
    }
}

}  // namespace
