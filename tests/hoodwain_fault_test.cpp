// SPDX-License-Identifier: ISC
// tests/hoodwain_fault_test.cpp - the responder with one system call failing
//
// A real connection's worth of requests is served by the dynamically linked
// responder while a preloaded library makes the Nth read, write or realloc
// misbehave. N is swept over every call the run makes; each point must end
// without a crash or a hang, with exactly the replies and log lines the rules
// give for that failure, and with the documented status.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "harness.h"
#include "reliability.h"

namespace {

using reliability::fault;

struct request {
    std::string text;  // the line as sent, newline included
    std::string log;   // "request a,b"
    std::string reply;
};

// Thirty requests of varied shapes; one is padded to the longest line there
// is, so the reads are cut by the request limit.
std::vector<request> make_requests()
{
    std::vector<request> list;
    for (int i = 0; i < 30; ++i) {
        int first = 1 + (i * 2741) % 65535, second = 65535 - (i * 37) % 65535;
        std::string line = std::to_string(first) + (i % 3 == 0 ? ", " : ",") + std::to_string(second);
        if (i == 11)
            line += std::string(999 - 1 - line.size(), ' ') + "\r";
        else if (i % 4 == 1)
            line += "\r";
        list.push_back(
            {line + "\n", "request " + std::to_string(first) + "," + std::to_string(second),
             " " + std::to_string(first) + " , " + std::to_string(second) + " : USERID : UNIX : nobody\r\n"});
    }
    return list;
}

const std::vector<request> requests = make_requests();

std::string all_input()
{
    std::string text;
    for (const auto& r : requests)
        text += r.text;
    return text;
}

const std::string input = all_input();

// One write of the responder in a run without faults.
struct write_call {
    int fd;
    std::string text;
};

std::string logged(pid_t pid, const std::string& line)
{
    return std::to_string(pid) + ": " + line + "\n";
}

std::vector<write_call> clean_writes(pid_t pid)
{
    std::vector<write_call> w = {{2, logged(pid, "connect from 192.0.2.7 port 40312")}};
    for (const auto& r : requests) {
        w.push_back({2, logged(pid, r.log)});
        w.push_back({1, r.reply});
    }
    w.push_back({2, logged(pid, "closed")});
    return w;
}

// The two streams the writes in [0, n) produce, less the one at `skip`.
void streams_of(const std::vector<write_call>& w, std::size_t n, std::size_t skip, std::string* out, std::string* err)
{
    for (std::size_t i = 0; i < n && i < w.size(); ++i)
        if (i != skip)
            (w[i].fd == 1 ? *out : *err) += w[i].text;
}

struct point {
    fault f;
    pid_t pid = -1;
    harness::outcome o;
    std::string fired;      // the preloaded library's note, empty if never reached
    std::size_t taken = 0;  // input bytes the responder read
};

void run_point(point* p)
{
    std::string dir = harness::make_temp_dir();
    std::string log = dir + "/fault";
    reliability::filled_pipe in = reliability::fill_pipe(input);
    harness::spawn_options o;
    o.argv = {HOODWAIN_DYNAMIC_PATH, "-c", "nobody"};
    o.set_env = reliability::fault_env(p->f, log);
    o.set_env.push_back("TCPREMOTEIP=192.0.2.7");
    o.set_env.push_back("TCPREMOTEPORT=40312");
    o.unset_env = {"ROOT", "GID", "UID"};
    o.stdin_fd = in.read_end;
    harness::child c = harness::spawn(o);
    p->pid = c.pid;
    p->o = harness::finish(&c, 20);
    p->taken = input.size() - reliability::unread_bytes(&in);
    p->fired = harness::read_file(log);
    harness::remove_tree(dir);
}

// What the point must have done, from the writes of a clean run and the
// nature of the fault.
void check_point(const point& p)
{
    SCOPED_TRACE(p.f.call + " " + p.f.mode + " " + p.f.error + " at call " + std::to_string(p.f.at) + ": " + p.fired);
    ASSERT_FALSE(p.o.timed_out);
    ASSERT_TRUE(p.o.exited) << "ended by signal " << p.o.signal;
    std::vector<write_call> w = clean_writes(p.pid);
    std::string out, err;
    const std::size_t none = ~std::size_t{0};
    if (p.fired.empty() || p.f.mode == "short" || (p.f.mode == "eintr" && p.f.call == "write")) {
        streams_of(w, w.size(), none, &out, &err);
        EXPECT_EQ(p.o.status, 0);
        EXPECT_EQ(p.o.out, out);
        EXPECT_EQ(p.o.err, err);
        return;
    }
    if (p.f.call == "read") {
        // Every request wholly read before the failure is answered, then the
        // failure is logged.
        std::size_t answered = 0, end = 0;
        while (answered < requests.size() && end + requests[answered].text.size() <= p.taken)
            end += requests[answered++].text.size();
        streams_of(w, 1 + 2 * answered, none, &out, &err);
        err += logged(p.pid, "read from client failed") + logged(p.pid, "closed");
        EXPECT_EQ(p.o.status, 0);
        EXPECT_EQ(p.o.out, out);
        EXPECT_EQ(p.o.err, err);
        return;
    }
    if (p.f.call == "write") {
        std::size_t hit = static_cast<std::size_t>(p.f.at - 1);
        ASSERT_LT(hit, w.size());
        if (w[hit].fd == 2) {
            // A log line that cannot be written is lost; nothing else changes.
            streams_of(w, w.size(), hit, &out, &err);
        } else {
            streams_of(w, hit, none, &out, &err);
            err += logged(p.pid, "write to client failed") + logged(p.pid, "closed");
        }
        EXPECT_EQ(p.o.status, 0);
        EXPECT_EQ(p.o.out, out);
        EXPECT_EQ(p.o.err, err);
        return;
    }
    // Memory that cannot be had ends the process at once: what went out
    // before is whole, and nothing follows the bare message.
    ASSERT_EQ(p.f.call, "realloc");
    EXPECT_EQ(p.o.status, 20);
    const std::string message = "out of memory";
    ASSERT_GE(p.o.err.size(), message.size());
    EXPECT_EQ(p.o.err.substr(p.o.err.size() - message.size()), message);
    std::string err_before = p.o.err.substr(0, p.o.err.size() - message.size());
    bool matched = false;
    for (std::size_t n = 0; n <= w.size() && !matched; ++n) {
        out.clear();
        err.clear();
        streams_of(w, n, none, &out, &err);
        matched = out == p.o.out && err == err_before;
    }
    EXPECT_TRUE(matched) << "out:\n" << p.o.out << "err:\n" << p.o.err;
}

// Sweeps N from 1 until the fault is no longer reached; returns the points
// at which it was.
int sweep(const fault& f)
{
    return reliability::sweep<point>(f, 16, 4000, run_point, check_point);
}

TEST(hoodwain_faults, every_read_that_fails_ends_the_connection_after_the_replies_so_far)
{
    int points = sweep({"read", "fail", "EIO"}) + sweep({"read", "eintr", "EINTR"});
    EXPECT_GE(points, 4);
    reliability::report_figure("hoodwain read fault points: " + std::to_string(points));
}

TEST(hoodwain_faults, every_write_that_fails_loses_only_its_line_or_ends_at_its_reply)
{
    int points = sweep({"write", "fail", "EPIPE"});
    EXPECT_EQ(points, static_cast<int>(2 + 2 * requests.size()));
    reliability::report_figure("hoodwain write failure points: " + std::to_string(points));
}

TEST(hoodwain_faults, short_and_interrupted_writes_change_nothing)
{
    int points = sweep({"write", "short", "EIO"}) + sweep({"write", "eintr", "EINTR"});
    EXPECT_EQ(points, static_cast<int>(2 * (2 + 2 * requests.size())));
    reliability::report_figure("hoodwain short or interrupted write points: " + std::to_string(points));
}

TEST(hoodwain_faults, memory_that_cannot_be_had_ends_with_status_20_and_nothing_torn)
{
    if (reliability::sanitized)
        GTEST_SKIP() << "the sanitizer's allocator cannot be reached by a preloaded realloc";
    int points = sweep({"realloc", "fail", "ENOMEM"});
    EXPECT_GE(points, static_cast<int>(requests.size()));
    reliability::report_figure("hoodwain realloc fault points: " + std::to_string(points));
}

// The copy of the -c argument is the only memory taken before the connection
// is served: without it the process ends as any memory failure does.
TEST(hoodwain_faults, a_copy_of_the_id_that_cannot_be_had_ends_with_status_20_before_serving)
{
    if (reliability::sanitized)
        GTEST_SKIP() << "the sanitizer's strdup cannot be reached by a preloaded one";
    std::string dir = harness::make_temp_dir();
    harness::spawn_options o;
    o.argv = {HOODWAIN_DYNAMIC_PATH, "-c", "nobody"};
    o.set_env = reliability::fault_env({"strdup", "fail", "ENOMEM", 1}, dir + "/fault");
    o.set_env.push_back("TCPREMOTEIP=192.0.2.7");
    o.set_env.push_back("TCPREMOTEPORT=40312");
    o.unset_env = {"ROOT", "GID", "UID"};
    harness::outcome r = harness::run(o, "1,2\n", 10);
    EXPECT_FALSE(harness::read_file(dir + "/fault").empty()) << "strdup was never called";
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 20);
    EXPECT_EQ(r.err, "out of memory");
    EXPECT_EQ(r.out, "");
    harness::remove_tree(dir);
}

}  // namespace
