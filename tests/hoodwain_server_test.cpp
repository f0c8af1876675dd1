// SPDX-License-Identifier: ISC
// tests/hoodwain_server_test.cpp - the ident responder confined as root and
// started by a real TCP super-server
#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

[[maybe_unused]] const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

std::string log_of(pid_t pid, const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += std::to_string(pid) + ": " + line + "\n";
    return text;
}

// The fields after "name:" in /proc/<pid>/status.
std::vector<std::string> status_fields(pid_t pid, const std::string& name)
{
    std::istringstream status(harness::read_file("/proc/" + std::to_string(pid) + "/status"));
    std::vector<std::string> fields;
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, name.size() + 1, name + ":") != 0)
            continue;
        std::istringstream rest(line.substr(name.size() + 1));
        for (std::string f; rest >> f;)
            fields.push_back(f);
    }
    return fields;
}

TEST(hoodwain_confinement, serves_inside_its_root_as_the_given_user_and_only_group)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "confinement needs root";
    std::string dir = harness::make_temp_dir();
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.c_str(), real), nullptr);

    harness::spawn_options o;
    o.argv = {HOODWAIN_PATH, "-c", "someone"};
    o.set_env = {"TCPREMOTEIP=192.0.2.7", "TCPREMOTEPORT=40312", "ROOT=" + dir, "GID=65534", "UID=65534"};
    // A sanitized build cannot inspect itself for leaks once it has given up
    // root inside an empty directory; a plain build ignores the variable.
    const char* asan = std::getenv("ASAN_OPTIONS");
    o.set_env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0");
    harness::child c = harness::spawn(o);
    pid_t pid = c.pid;

    // Confinement is complete once the connection has been logged.
    std::string log = harness::read_until(c.err, 5, "port 40312\n");
    EXPECT_EQ(log, log_of(pid, {"connect from 192.0.2.7 port 40312"}));
    char link[PATH_MAX];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/root").c_str(), link, sizeof link - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(link, static_cast<std::size_t>(n)), real);
    const std::vector<std::string> ids(4, "65534");
    EXPECT_EQ(status_fields(pid, "Uid"), ids);
    EXPECT_EQ(status_fields(pid, "Gid"), ids);
    EXPECT_EQ(status_fields(pid, "Groups"), std::vector<std::string>{"65534"});

    // It still answers from inside.
    ASSERT_TRUE(harness::write_all(c.in, "6193, 23\r\n"));
    harness::outcome out = harness::finish(&c, 10);
    EXPECT_TRUE(out.exited);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.out, " 6193 , 23 : USERID : UNIX : someone\r\n");
    EXPECT_EQ(out.err, log_of(pid, {"request 6193,23", "closed"}));
    harness::remove_tree(dir);
}

std::string find_tcpserver()
{
    for (const char* path : {"/usr/bin/tcpserver", "/usr/local/bin/tcpserver", "/bin/tcpserver"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

// A client connection to 127.0.0.1; fd -1 when it could not be made.
struct client {
    int fd = -1;
    int port = 0;  // the client's own port
};

client connect_to(int port)
{
    client cl;
    cl.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (cl.fd < 0)
        return cl;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (connect(cl.fd, reinterpret_cast<sockaddr*>(&address), size) < 0 ||
        getsockname(cl.fd, reinterpret_cast<sockaddr*>(&address), &size) < 0) {
        harness::close_fd(&cl.fd);
        return cl;
    }
    cl.port = ntohs(address.sin_port);
    return cl;
}

// The log of the responders that tcpserver starts, all on one pipe: lines of
// concurrent connections interleave, each headed by its own process id.
struct server_log {
    int fd = -1;
    std::string text;
};

// Reads until the log holds needle; false after 5 seconds without it.
bool await(server_log* log, const std::string& needle)
{
    for (int i = 0; i < 50 && log->text.find(needle) == std::string::npos; ++i)
        log->text += harness::read_until(log->fd, 0.1, needle);
    return log->text.find(needle) != std::string::npos;
}

// The process id that logged the client's connection, or -1.
long connection_pid(const server_log& log, const client& cl)
{
    std::smatch m;
    std::regex connect("(^|\n)([0-9]+): connect from 127\\.0\\.0\\.1 port " + std::to_string(cl.port) + "\n");
    return std::regex_search(log.text, m, connect) ? std::stol(m[2]) : -1;
}

// The lines logged by one process, in order, without their heading.
std::vector<std::string> lines_of(const server_log& log, long pid)
{
    std::vector<std::string> lines;
    std::istringstream all(log.text);
    const std::string head = std::to_string(pid) + ": ";
    for (std::string line; std::getline(all, line);)
        if (line.compare(0, head.size(), head) == 0)
            lines.push_back(line.substr(head.size()));
    return lines;
}

TEST(hoodwain_tcpserver, answers_real_connections_and_logs_the_peer)
{
    std::string tcpserver = find_tcpserver();
    if (tcpserver.empty())
        GTEST_SKIP() << "tcpserver is not installed";

    // Port 0: the system picks a free port, which -1 prints.
    harness::spawn_options o;
    o.argv = {tcpserver, "-1", "-H", "-R", "-l", "0", "127.0.0.1", "0", HOODWAIN_PATH, "-c", "someone"};
    o.unset_env = {"ROOT", "GID", "UID", "TCPREMOTEIP", "TCPREMOTEPORT"};
    harness::child server = harness::spawn(o);
    std::string port_line = harness::read_until(server.out, 5, "\n");
    int port = std::atoi(port_line.c_str());
    ASSERT_GT(port, 0) << "tcpserver printed no port: " << port_line;

    server_log log;
    log.fd = server.err;
    const std::string someone = " : USERID : UNIX : someone\r\n";
    const std::string connected = "connect from 127.0.0.1 port ";

    // One request, then the client ends its side.
    client one = connect_to(port);
    ASSERT_GE(one.fd, 0);
    ASSERT_TRUE(harness::write_all(one.fd, "6193, 23\r\n"));
    const std::string reply = " 6193 , 23" + someone;
    EXPECT_EQ(harness::read_for(one.fd, 5, reply.size()), reply);
    ASSERT_EQ(shutdown(one.fd, SHUT_WR), 0);
    EXPECT_EQ(harness::read_for(one.fd, 5), "");  // the responder is gone
    EXPECT_TRUE(await(&log, ": closed\n")) << log.text;
    long first_pid = connection_pid(log, one);
    EXPECT_EQ(log.text.rfind(std::to_string(first_pid) + ": ", 0), 0u) << log.text;
    EXPECT_EQ(lines_of(log, first_pid),
              (std::vector<std::string>{connected + std::to_string(one.port), "request 6193,23", "closed"}));
    harness::close_fd(&one.fd);

    // Two connections at once, each its own process: pipelined requests on
    // one, an invalid request that makes the responder hang up on the other.
    log.text.clear();
    client two = connect_to(port);
    client three = connect_to(port);
    ASSERT_GE(two.fd, 0);
    ASSERT_GE(three.fd, 0);
    ASSERT_TRUE(harness::write_all(two.fd, "1,2\n3,4\n"));
    const std::string replies = " 1 , 2" + someone + " 3 , 4" + someone;
    EXPECT_EQ(harness::read_for(two.fd, 5, replies.size()), replies);
    ASSERT_TRUE(harness::write_all(three.fd, "0,1\n5,6\n"));
    EXPECT_EQ(harness::read_for(three.fd, 5), "");  // closed with no reply
    EXPECT_TRUE(await(&log, ": closed\n")) << log.text;
    EXPECT_TRUE(await(&log, ": request 3,4\n")) << log.text;
    long second_pid = connection_pid(log, two);
    long third_pid = connection_pid(log, three);
    EXPECT_GT(second_pid, 0) << log.text;
    EXPECT_GT(third_pid, 0) << log.text;
    EXPECT_NE(second_pid, third_pid);
    EXPECT_NE(first_pid, second_pid);
    EXPECT_EQ(lines_of(log, third_pid), (std::vector<std::string>{connected + std::to_string(three.port),
                                                                  "port out of range in request", "closed"}));

    // The pipelined connection is still served until its client ends it.
    ASSERT_TRUE(harness::write_all(two.fd, "7,8\n"));
    const std::string last = " 7 , 8" + someone;
    EXPECT_EQ(harness::read_for(two.fd, 5, last.size()), last);
    harness::close_fd(&two.fd);
    harness::close_fd(&three.fd);
    EXPECT_TRUE(await(&log, std::to_string(second_pid) + ": closed\n")) << log.text;
    EXPECT_EQ(lines_of(log, second_pid), (std::vector<std::string>{connected + std::to_string(two.port), "request 1,2",
                                                                   "request 3,4", "request 7,8", "closed"}));

    kill(server.pid, SIGTERM);
    harness::outcome end = harness::finish(&server, 5);
    EXPECT_FALSE(end.timed_out);
}

}  // namespace
