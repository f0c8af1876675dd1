// SPDX-License-Identifier: ISC
// tests/hoodwain_hostile_test.cpp - the responder against hostile and broken peers
//
// Each test hands the responder one end of a real connection (TCP on
// 127.0.0.1, or a pipe pair) and plays the peer: endless bytes without a
// newline, a long pipeline of requests, one byte at a time, a peer that goes
// away. Memory is read from /proc while the responder runs.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "harness.h"
#include "reliability.h"

namespace {

// The peer's writes may meet a responder that has gone: that must fail the
// write, not end the test.
[[maybe_unused]] const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

harness::spawn_options hoodwain()
{
    harness::spawn_options o;
    o.argv = {HOODWAIN_PATH};
    o.set_env = {"TCPREMOTEIP=127.0.0.1", "TCPREMOTEPORT=40312"};
    o.unset_env = {"ROOT", "GID", "UID"};
    return o;
}

std::string logged(pid_t pid, const std::string& line)
{
    return std::to_string(pid) + ": " + line + "\n";
}

std::string hidden_reply(int first, int second)
{
    return " " + std::to_string(first) + " , " + std::to_string(second) + " : ERROR : HIDDEN-USER\r\n";
}

// A connected TCP pair on 127.0.0.1: *peer is the test's end, *served the one
// for the responder. A buffer size above 0 is set on both before connecting,
// which keeps the kernel from growing them.
void tcp_pair(int* peer, int* served, int buffer_size = 0)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (buffer_size > 0)
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        FAIL() << "socket: " << std::strerror(errno);
    *peer = fd;
    if (buffer_size > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    *served = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(*served, 0);
    close(listener);
}

int socket_buffer(int fd, int option)
{
    int size = 0;
    socklen_t length = sizeof size;
    getsockopt(fd, SOL_SOCKET, option, &size, &length);
    return size;
}

TEST(hoodwain_hostile, a_gigabyte_without_a_newline_is_cut_off_after_1000_bytes)
{
    int peer = -1, served = -1;
    tcp_pair(&peer, &served, 16384);
    ASSERT_FALSE(HasFatalFailure());
    harness::spawn_options o = hoodwain();
    o.stdin_fd = served;
    o.stdout_fd = served;
    harness::child c = harness::spawn(o);
    // What the connection can hold without the responder reading anything:
    // the peer's send buffer and the responder's receive buffer.
    long buffered = socket_buffer(peer, SO_SNDBUF) + socket_buffer(served, SO_RCVBUF);
    close(served);

    fcntl(peer, F_SETFL, O_NONBLOCK);
    const std::string chunk(65536, 'x');
    const long gigabyte = 1L << 30;
    long taken = 0;
    double deadline = reliability::now() + 20;
    bool refused = false;
    while (taken < gigabyte && reliability::now() < deadline) {
        pollfd p = {peer, POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t w = write(peer, chunk.data(), chunk.size());
        if (w < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (w < 0) {
            refused = true;  // the responder's end is gone
            break;
        }
        taken += w;
    }
    pid_t pid = c.pid;
    harness::outcome r = harness::finish(&c, 10);
    std::string answer = harness::read_for(peer, 1);
    close(peer);

    EXPECT_TRUE(refused) << "the connection was still open after " << taken << " bytes";
    EXPECT_GE(taken, 1000);
    EXPECT_LE(taken, 1000 + buffered) << "the responder took more than its limit";
    EXPECT_EQ(answer, "");
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, logged(pid, "connect from 127.0.0.1 port 40312") + logged(pid, "closed"));
    reliability::report_figure("hoodwain took " + std::to_string(taken) +
                               " bytes of a newline-free stream (connection buffers " + std::to_string(buffered) + ")");
}

// The pipeline is written in two parts: after the first thousand requests
// are answered, and again after the last, the responder's peak resident
// size is read while it waits for more.
TEST(hoodwain_hostile, a_hundred_thousand_pipelined_requests_keep_memory_flat)
{
    const long total = reliability::scaled(100000), first_part = 1000;
    std::string dir = harness::make_temp_dir();
    int log_fd = open((dir + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(log_fd, 0);
    harness::spawn_options o = hoodwain();
    o.stderr_fd = log_fd;
    harness::child c = harness::spawn(o);
    close(log_fd);

    auto request = [](long i) { return std::to_string(1 + i % 65535) + "," + std::to_string(65535 - i % 65535); };
    std::mutex m;
    std::condition_variable cv;
    int stage = 0;  // 1: the first part is answered; 2: all are answered
    std::thread writer([&] {
        auto part = [&](long from, long to) {
            std::string text;
            for (long i = from; i < to; ++i) {
                text += request(i) + (i % 2 != 0 ? "\r\n" : "\n");
                if (text.size() > 60000 || i + 1 == to) {
                    harness::write_all(c.in, text);
                    text.clear();
                }
            }
        };
        part(0, first_part);
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait_for(lock, std::chrono::seconds(60), [&] { return stage >= 1; });
        }
        part(first_part, total);
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(120), [&] { return stage >= 2; });
    });

    std::string replies;
    long lines = 0, peak_at_first = -1, peak_at_end = -1, resident_at_end = -1;
    double deadline = reliability::now() + 120;
    while (lines < total && reliability::now() < deadline) {
        std::string got = harness::read_for(c.out, 1, 1 << 20);
        for (char ch : got)
            lines += ch == '\n';
        replies += got;
        if (peak_at_first < 0 && lines >= first_part) {
            peak_at_first = reliability::proc_status_kb(c.pid, "VmHWM");
            std::lock_guard<std::mutex> lock(m);
            stage = 1;
            cv.notify_all();
        }
    }
    peak_at_end = reliability::proc_status_kb(c.pid, "VmHWM");
    resident_at_end = reliability::proc_status_kb(c.pid, "VmRSS");
    {
        std::lock_guard<std::mutex> lock(m);
        stage = 2;
        cv.notify_all();
    }
    writer.join();
    pid_t pid = c.pid;
    harness::outcome r = harness::finish(&c, 20);

    ASSERT_EQ(lines, total);
    std::string expected;
    for (long i = 0; i < total; ++i)
        expected += hidden_reply(static_cast<int>(1 + i % 65535), static_cast<int>(65535 - i % 65535));
    EXPECT_TRUE(replies == expected) << "the replies differ from the requests";
    std::string log = harness::read_file(dir + "/log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), total + 2);
    EXPECT_TRUE(log.ends_with(logged(pid, "closed")));
    EXPECT_TRUE(r.exited && r.status == 0);
    harness::remove_tree(dir);

    reliability::report_figure("hoodwain peak resident after " + std::to_string(first_part) +
                               " requests: " + std::to_string(peak_at_first) + " kB, after " + std::to_string(total) +
                               ": " + std::to_string(peak_at_end) + " kB (resident " + std::to_string(resident_at_end) +
                               " kB)");
    ASSERT_GT(peak_at_first, 0);
    if (reliability::sanitized)
        return;  // the sanitizer keeps freed memory in quarantine
    EXPECT_LE(peak_at_end - peak_at_first, 16) << "memory grew with the number of requests";
}

TEST(hoodwain_hostile, a_peer_sending_one_byte_at_a_time_is_answered_exactly)
{
    harness::child c = harness::spawn(hoodwain());
    const std::string input = "6193, 23\r\n1,2\n+006193 ,\t23 trailing text\r\n65535,65535\n";
    std::string replies;
    for (char ch : input) {
        ASSERT_TRUE(harness::write_all(c.in, std::string(1, ch)));
        usleep(1000);
        if (ch == '\n')
            replies += harness::read_until(c.out, 5, "\r\n");
    }
    pid_t pid = c.pid;
    harness::outcome r = harness::finish(&c, 10);
    EXPECT_EQ(replies,
              hidden_reply(6193, 23) + hidden_reply(1, 2) + hidden_reply(6193, 23) + hidden_reply(65535, 65535));
    EXPECT_EQ(r.err, logged(pid, "connect from 127.0.0.1 port 40312") + logged(pid, "request 6193,23") +
                         logged(pid, "request 1,2") + logged(pid, "request 6193,23") +
                         logged(pid, "request 65535,65535") + logged(pid, "closed"));
    EXPECT_TRUE(r.exited && r.status == 0);
}

// The peer pipelines many requests and hangs up without reading a reply.
harness::outcome serve_a_peer_that_hangs_up(bool ignore_sigpipe, pid_t* pid)
{
    int peer = -1, served = -1;
    tcp_pair(&peer, &served);
    harness::spawn_options o = hoodwain();
    o.stdin_fd = served;
    o.stdout_fd = served;
    o.ignore_sigpipe = ignore_sigpipe;
    harness::child c = harness::spawn(o);
    *pid = c.pid;
    close(served);
    std::string text;
    for (int i = 1; i <= 2000; ++i)
        text += std::to_string(i) + "," + std::to_string(i) + "\r\n";
    harness::write_all(peer, text);
    close(peer);
    return harness::finish(&c, 10);
}

TEST(hoodwain_hostile, a_peer_that_hangs_up_ends_the_responder_with_the_closed_line_or_sigpipe)
{
    pid_t pid = -1;
    harness::outcome ignored = serve_a_peer_that_hangs_up(true, &pid);
    EXPECT_FALSE(ignored.timed_out);
    EXPECT_TRUE(ignored.exited && ignored.status == 0);
    std::string failed_write = logged(pid, "write to client failed") + logged(pid, "closed");
    std::string failed_read = logged(pid, "read from client failed") + logged(pid, "closed");
    EXPECT_TRUE(ignored.err.ends_with(failed_write) || ignored.err.ends_with(failed_read)) << ignored.err;

    harness::outcome by_default = serve_a_peer_that_hangs_up(false, &pid);
    EXPECT_FALSE(by_default.timed_out);
    if (by_default.exited) {
        EXPECT_EQ(by_default.status, 0);
        EXPECT_TRUE(by_default.err.ends_with(logged(pid, "read from client failed") + logged(pid, "closed")));
    } else {
        EXPECT_EQ(by_default.signal, SIGPIPE);
        EXPECT_EQ(by_default.err.find("closed"), std::string::npos);
    }
}

}  // namespace
