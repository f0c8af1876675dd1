// SPDX-License-Identifier: ISC
// tests/scrivel_fault_test.cpp - the logger with one system call failing
//
// A fixed input (lines short and long, empty ones, an unterminated tail) is
// logged by the dynamically linked logger while a preloaded library makes the
// Nth read, poll, write, close, open or realloc misbehave. N is swept over every
// call the run makes. Each point must end without a crash or a hang, with the
// documented message and status, and with a log file that holds exactly the
// records of what was read: none lost, torn or written twice. Points that
// meet the 5-second retry pause run side by side.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "harness.h"
#include "reliability.h"

namespace {

using reliability::fault;

std::string make_input()
{
    const std::size_t lengths[] = {10, 300, 5000, 4, 0, 80};
    std::string text;
    for (int i = 0; i < 24; ++i) {
        std::size_t n = lengths[i % 6];
        std::string line = n == 0 ? std::string() : std::to_string(1000 + i) + ":";
        line.resize(n, static_cast<char>('a' + i % 26));
        text += line + "\n";
    }
    return text + "unterminated tail";
}

const std::string input = make_input();
const std::string all_records = reliability::records_of(input);
const int record_count = static_cast<int>(reliability::lines_of(all_records).size());

struct point {
    fault f;
    std::string path;
    harness::outcome o;
    std::string fired;
    std::string file;
    bool file_exists = false;
    std::size_t taken = 0;
    double seconds = 0;
};

void run_point(point* p)
{
    std::string dir = harness::make_temp_dir();
    p->path = dir + "/log";
    reliability::filled_pipe in = reliability::fill_pipe(input);
    harness::spawn_options o;
    o.argv = {SCRIVEL_DYNAMIC_PATH, p->path};
    o.set_env = reliability::fault_env(p->f, dir + "/fault");
    o.stdin_fd = in.read_end;
    double start = reliability::now();
    harness::child c = harness::spawn(o);
    p->o = harness::finish(&c, 30);
    p->seconds = reliability::now() - start;
    p->taken = input.size() - reliability::unread_bytes(&in);
    p->fired = harness::read_file(dir + "/fault");
    p->file_exists = harness::file_exists(p->path);
    p->file = harness::read_file(p->path);
    harness::remove_tree(dir);
}

void expect_warnings(const point& p, const std::string& message, int count)
{
    std::string one = "scrivel: " + p.path + ": " + message + "\n", all;
    for (int i = 0; i < count; ++i)
        all += one;
    EXPECT_EQ(p.o.err, all);
    // Each failed attempt is followed by the whole pause before the next.
    EXPECT_GE(p.seconds, 4.5 * count);
}

void check_point(const point& p)
{
    SCOPED_TRACE(p.f.call + " " + p.f.mode + " " + p.f.error + " at call " + std::to_string(p.f.at) + ": " + p.fired);
    ASSERT_FALSE(p.o.timed_out);
    ASSERT_TRUE(p.o.exited) << "ended by signal " << p.o.signal;
    const std::string& call = p.f.call;
    const std::string& mode = p.f.mode;
    bool harmless = p.fired.empty() || mode == "eintr" || (call == "write" && mode == "short");
    if (harmless) {
        EXPECT_EQ(p.o.status, 0);
        EXPECT_EQ(p.o.err, "");
        EXPECT_EQ(p.taken, input.size());
        EXPECT_TRUE(p.file == all_records) << p.file.size() << " bytes in the file";
        return;
    }
    if (call == "open") {
        EXPECT_EQ(p.o.status, 111);
        EXPECT_EQ(p.o.err, "scrivel: " + p.path + ": unable to open logfile\n");
        EXPECT_EQ(p.taken, 0u);
        EXPECT_FALSE(p.file_exists);
        return;
    }
    if (call == "read" || call == "poll") {
        // A wait for input that fails is a failed read: what was read before
        // it is written, its tail included, and the status says so.
        EXPECT_EQ(p.o.status, 1);
        EXPECT_EQ(p.o.err, "scrivel: unable to read from stdin\n");
        EXPECT_TRUE(p.file == reliability::records_of(input.substr(0, p.taken)))
            << "after " << p.taken << " bytes read the file holds " << p.file.size();
        return;
    }
    if (call == "realloc") {
        // The process ends at once; what reached the file are whole records.
        EXPECT_EQ(p.o.status, 20);
        EXPECT_EQ(p.o.err, "out of memory");
        EXPECT_TRUE(all_records.compare(0, p.file.size(), p.file) == 0 && (p.file.empty() || p.file.back() == '\n'))
            << "the file is not a run of whole records";
        return;
    }
    EXPECT_EQ(p.o.status, 0);
    EXPECT_EQ(p.taken, input.size());
    EXPECT_TRUE(p.file == all_records) << p.file.size() << " bytes in the file";
    if (call == "write") {
        expect_warnings(p, "unable to write to logfile", 1);
    } else if (call == "close") {
        // A close refused with EBADF is not retried; any other failure is,
        // once, and a retry that finds the descriptor already gone stops.
        expect_warnings(p, "unable to close logfile", p.f.error == "EBADF" ? 0 : 1);
    } else {
        ADD_FAILURE() << "no rule for this fault";
    }
}

int sweep(const fault& f)
{
    return reliability::sweep<point>(f, 32, 2000, run_point, check_point);
}

TEST(scrivel_faults, a_log_that_cannot_be_opened_ends_with_111_before_reading)
{
    int points = sweep({"open", "fail", "EACCES"}) + sweep({"open", "eintr", "EINTR"});
    EXPECT_EQ(points, 2);
    reliability::report_figure("scrivel open fault points: " + std::to_string(points));
}

TEST(scrivel_faults, a_read_or_poll_that_fails_ends_with_status_1_after_writing_everything_read)
{
    int points = sweep({"read", "fail", "EIO"}) + sweep({"read", "eintr", "EINTR"});
    EXPECT_GE(points, 6);
    int polls = sweep({"poll", "fail", "ENOMEM"}) + sweep({"poll", "eintr", "EINTR"});
    EXPECT_GE(polls, 6);
    reliability::report_figure("scrivel read fault points: " + std::to_string(points) +
                               ", poll fault points: " + std::to_string(polls));
}

TEST(scrivel_faults, every_failed_record_write_is_retried_to_exactly_one_whole_record)
{
    int points = sweep({"write", "fail", "ENOSPC"}) + sweep({"write", "short_fail", "ENOSPC"});
    EXPECT_EQ(points, 2 * record_count);
    reliability::report_figure("scrivel write failure points: " + std::to_string(points));
}

TEST(scrivel_faults, short_and_interrupted_record_writes_change_nothing)
{
    int points = sweep({"write", "short", "EIO"}) + sweep({"write", "eintr", "EINTR"});
    EXPECT_EQ(points, 2 * record_count);
    reliability::report_figure("scrivel short or interrupted write points: " + std::to_string(points));
}

TEST(scrivel_faults, a_failed_close_is_retried_unless_the_descriptor_is_gone)
{
    int points = sweep({"close", "fail", "EIO"}) + sweep({"close", "after", "EIO"}) +
                 sweep({"close", "fail", "EBADF"}) + sweep({"close", "eintr", "EINTR"});
    EXPECT_EQ(points, 4);
    reliability::report_figure("scrivel close fault points: " + std::to_string(points));
}

TEST(scrivel_faults, memory_that_cannot_be_had_ends_with_status_20_and_whole_records)
{
    if (reliability::sanitized)
        GTEST_SKIP() << "the sanitizer's allocator cannot be reached by a preloaded realloc";
    int points = sweep({"realloc", "fail", "ENOMEM"});
    EXPECT_GE(points, 2);
    reliability::report_figure("scrivel realloc fault points: " + std::to_string(points));
}

}  // namespace
