// SPDX-License-Identifier: ISC
// tests/accept_loop_test.cpp - the accept loop's parts: taking the passed
// sockets, the address texts and the per-source rule
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "loop.h"
#include "unit_support.h"

namespace kestrix {
const char* program_name = "kestrix-accept";
const char* usage_text = "";
}  // namespace kestrix

using namespace kestrix;

namespace {

sockaddr_storage address(const std::string& text, std::uint16_t port = 0)
{
    sockaddr_storage a{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr), 1) << text;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
    }
    return a;
}

std::string text_of(const sockaddr_storage& a)
{
    buffer b = {};
    buffer_append_address(&b, &a);
    std::string t = unit::content(b);
    buffer_free(&b);
    return t;
}

TEST(accept_loop, addresses_are_written_as_tcpserver_writes_them)
{
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"192.0.2.7", "192.0.2.7"},
        {"0.0.0.0", "0.0.0.0"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"::", "::"},
        {"::1", "::1"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
        {"2001:db8:0:1:0:0:0:1", "2001:db8:0:1::1"},
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"fe80::", "fe80::"},
        {"0:0:1::", "0:0:1::"},
        {"::102:304", "::102:304"},
        {"abcd:ef01:2345:6789:abcd:ef01:2345:6789", "abcd:ef01:2345:6789:abcd:ef01:2345:6789"},
        {"1:20:300:4000::", "1:20:300:4000::"},
    };
    for (const auto& [in, out] : rows)
        EXPECT_EQ(text_of(address(in)), out) << in;
    sockaddr_storage a = address("::1", 65535);
    EXPECT_EQ(port_of(&a), 65535U);
    a = address("192.0.2.7", 113);
    EXPECT_EQ(port_of(&a), 113U);
}

TEST(accept_loop, a_source_is_an_ipv4_address_or_an_ipv6_64)
{
    auto same = [](const std::string& x, const std::string& y) {
        sockaddr_storage a = address(x), b = address(y);
        source s = source_of(&a), t = source_of(&b);
        return std::memcmp(s.bytes, t.bytes, sizeof s.bytes) == 0;
    };
    EXPECT_TRUE(same("192.0.2.7", "::ffff:192.0.2.7"));
    EXPECT_FALSE(same("192.0.2.7", "192.0.2.8"));
    EXPECT_TRUE(same("2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:ffff"));
    EXPECT_FALSE(same("2001:db8:1:2::1", "2001:db8:1:3::1"));
    EXPECT_FALSE(same("::", "0.0.0.0"));
    EXPECT_FALSE(same("::ffff:0:0", "::"));
}

int listening(int domain, int type, bool listen_too)
{
    int fd = socket(domain, type | SOCK_CLOEXEC, 0);
    if (domain == AF_UNIX) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path + 1, "kestrix-accept-test", 19);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
            ADD_FAILURE() << "cannot bind a unix socket";
    }
    if (listen_too)
        listen(fd, 8);
    return fd;
}

std::string flags_of(int fd)
{
    int d = fcntl(fd, F_GETFD), s = fcntl(fd, F_GETFL);
    return std::string((d & FD_CLOEXEC) != 0 ? "c" : "-") + ((s & O_NONBLOCK) != 0 ? "n" : "-");
}

// Descriptors 3 to 10 as a service manager might pass them (8 is closed),
// and 11 beyond them: the three listening TCP sockets, one of them
// dual-stack, are served; all eight are close-on-exec, 11 is left alone.
TEST(accept_loop, passed_listening_tcp_sockets_are_served_and_the_rest_left_alone)
{
    std::string dir = harness::make_temp_dir();
    std::string fifo = dir + "/log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    harness::outcome o = unit::run([&] {
        std::vector<int> fds = {listening(AF_INET, SOCK_STREAM, true),
                                listening(AF_INET6, SOCK_STREAM, true),
                                open(fifo.c_str(), O_RDWR),
                                listening(AF_INET, SOCK_DGRAM, false),
                                listening(AF_INET, SOCK_STREAM, false),
                                -1,
                                listening(AF_UNIX, SOCK_STREAM, true),
                                listening(AF_INET6, SOCK_STREAM, true),
                                listening(AF_INET, SOCK_STREAM, true)};
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (fds[i] >= 0)
                dup2(fds[i], 20 + static_cast<int>(i));
        for (int i = 0; i < static_cast<int>(fds.size()); ++i)
            if (fds[static_cast<std::size_t>(i)] < 0 || dup2(20 + i, 3 + i) < 0)
                close(3 + i);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        setenv("LISTEN_FDS", "8", 1);
        setenv("LISTEN_FDNAMES", "a:b:c:d:e:f:g:h", 1);
        buffer polls = {};
        std::uint32_t n = take_listeners(&polls);
        std::string seen = std::to_string(n) + ":";
        for (std::uint32_t i = 0; i < n; ++i)
            seen += " " + std::to_string(reinterpret_cast<pollfd*>(polls.storage)[i].fd);
        for (int fd = 3; fd <= 11; ++fd)
            seen += " " + (fcntl(fd, F_GETFD) < 0 ? "x" : flags_of(fd));
        for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"})
            seen += std::getenv(name) != nullptr ? std::string(" ") + name : "";
        harness::write_all(1, seen);
    });
    harness::remove_tree(dir);
    EXPECT_TRUE(unit::returned(o, "3: 3 4 10 cn cn c- c- c- x c- cn --", ""));
}

TEST(accept_loop, no_socket_to_serve_is_fatal)
{
    struct row {
        const char* pid;  // "self" for this process's id; null for unset
        const char* fds;
        std::string err;
    };
    const std::vector<row> rows = {
        {nullptr, "1", "kestrix-accept: no LISTEN_PID or LISTEN_FDS set\n"},
        {"self", nullptr, "kestrix-accept: no LISTEN_PID or LISTEN_FDS set\n"},
        {"1", "1", "kestrix-accept: LISTEN_PID is not this process\n"},
        {"", "1", "kestrix-accept: LISTEN_PID is not this process\n"},
        {"self", "0", "kestrix-accept: no listening socket passed\n"},
        {"self", "-1", "kestrix-accept: no listening socket passed\n"},
        {"self", "1x", "kestrix-accept: no listening socket passed\n"},
        {"self", "2", "kestrix-accept: no listening socket passed\n"},  // 3: not listening, 4: closed
    };
    for (const row& r : rows) {
        harness::outcome o = unit::run([&] {
            dup2(listening(AF_INET, SOCK_STREAM, false), 3);
            close(4);
            unsetenv("LISTEN_PID");
            unsetenv("LISTEN_FDS");
            if (r.pid != nullptr)
                setenv("LISTEN_PID", std::strcmp(r.pid, "self") == 0 ? std::to_string(getpid()).c_str() : r.pid, 1);
            if (r.fds != nullptr)
                setenv("LISTEN_FDS", r.fds, 1);
            buffer polls = {};
            take_listeners(&polls);
        });
        EXPECT_TRUE(unit::ended(o, 111, "", r.err)) << (r.pid ? r.pid : "-") << " " << (r.fds ? r.fds : "-");
    }
}

}  // namespace
