// SPDX-License-Identifier: ISC
// tests/scrivel_memcheck_test.cpp - the logger under valgrind's memcheck
//
// A handful of whole runs of the dynamically linked logger, each ending in a
// different way (end of input, SIGTERM, SIGHUP then end of input, read
// failure, a log that cannot be opened, misuse): no invalid access anywhere,
// and nothing definitely lost when the process ends.
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "reliability.h"

namespace {

struct memcheck_run {
    std::string name;
    std::vector<std::string> args;  // "LOG" stands for the log file's path
    // Drives the running logger through its standard input; closes it.
    std::function<void(harness::child*, const std::string& log)> drive;
    int status;
    std::string file;  // what the log must hold afterwards ("?" : not checked)
};

void feed_and_end(harness::child* c, const std::string& text)
{
    harness::write_all(c->in, text);
    harness::close_fd(&c->in);
}

TEST(scrivel_memcheck, no_invalid_access_and_nothing_lost_however_a_run_ends)
{
    std::string valgrind = reliability::valgrind_path();
    if (valgrind.empty())
        GTEST_SKIP() << "valgrind is not installed";
    if (reliability::sanitized)
        GTEST_SKIP() << "a sanitized program cannot run under valgrind";
    const std::string long_line(10000, 'L');
    auto wait_open = [](const std::string& log) {
        // The file is opened after both handlers are in place.
        return harness::eventually(60, [&] { return harness::file_exists(log); });
    };
    const std::vector<memcheck_run> runs = {
        {"lines and a tail",
         {"LOG"},
         [&](harness::child* c, const std::string&) { feed_and_end(c, "one\n\n" + long_line + "\ntail"); },
         0,
         "one\n" + long_line + "\ntail\n"},
        {"stamped", {"-c", "LOG"}, [](harness::child* c, const std::string&) { feed_and_end(c, "a\nb\n"); }, 0, "?"},
        {"sigterm while a line is held",
         {"LOG"},
         [&](harness::child* c, const std::string& log) {
             wait_open(log);
             harness::write_all(c->in, "whole\npart");
             harness::eventually(60, [&] { return harness::read_file(log) == "whole\n"; });
             kill(c->pid, SIGTERM);
         },
         0,
         "whole\npart\n"},
        {"sighup after a rename",
         {"LOG"},
         [&](harness::child* c, const std::string& log) {
             wait_open(log);
             harness::write_all(c->in, "before\n");
             harness::eventually(60, [&] { return harness::read_file(log) == "before\n"; });
             rename(log.c_str(), (log + ".1").c_str());
             kill(c->pid, SIGHUP);
             harness::eventually(60, [&] { return harness::file_exists(log); });
             feed_and_end(c, "after\n");
         },
         0,
         "after\n"},
        {"usage", {"LOG", "extra"}, [](harness::child* c, const std::string&) { harness::close_fd(&c->in); }, 1, ""},
        {"log cannot be opened",
         {"/nonexistent/dir/log"},
         [](harness::child* c, const std::string&) { harness::close_fd(&c->in); },
         111,
         "?"},
    };
    std::string dir = harness::make_temp_dir();
    int index = 0;
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        std::string log = dir + "/log" + std::to_string(index), report_path = dir + "/memcheck" + std::to_string(index);
        ++index;
        harness::spawn_options o;
        o.argv = {valgrind,
                  "--tool=memcheck",
                  "--leak-check=full",
                  "--show-leak-kinds=definite",
                  "--errors-for-leak-kinds=definite",
                  "--error-exitcode=99",
                  "--log-file=" + report_path,
                  SCRIVEL_DYNAMIC_PATH};
        for (const auto& a : run.args)
            o.argv.push_back(a == "LOG" ? log : a);
        harness::child c = harness::spawn(o);
        run.drive(&c, log);
        harness::outcome r = harness::finish(&c, 120);
        std::string report = harness::read_file(report_path);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_EQ(r.status, run.status) << r.err << report;
        if (run.file != "?") {
            EXPECT_EQ(harness::read_file(log), run.file);
        }
        EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
        EXPECT_TRUE(report.find("definitely lost: 0 bytes") != std::string::npos ||
                    report.find("no leaks are possible") != std::string::npos)
            << report;
    }

    // Standard input open for writing only: every read fails.
    std::string log = dir + "/write-only", report_path = dir + "/memcheck-read";
    int write_only = open((dir + "/input").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(write_only, 0);
    harness::spawn_options o;
    o.argv = {valgrind,
              "--tool=memcheck",
              "--leak-check=full",
              "--show-leak-kinds=definite",
              "--errors-for-leak-kinds=definite",
              "--error-exitcode=99",
              "--log-file=" + report_path,
              SCRIVEL_DYNAMIC_PATH,
              log};
    o.stdin_fd = write_only;
    harness::outcome r = harness::run(o, "", 120);
    close(write_only);
    std::string report = harness::read_file(report_path);
    EXPECT_EQ(r.status, 1) << report;
    EXPECT_EQ(r.err, "scrivel: unable to read from stdin\n");
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;

    harness::remove_tree(dir);
    reliability::report_figure("scrivel under memcheck: " + std::to_string(runs.size() + 1) + " runs clean");
}

// The peak resident size of a logger that has logged `lines` short lines from
// a pipe and waits for more, in kB.
long peak_after(long lines, const std::string& dir)
{
    std::string input;
    for (long i = 0; i < lines; ++i)
        input += "line " + std::to_string(10000000 + i).substr(1) + "\n";
    std::string log = dir + "/log" + std::to_string(lines);
    harness::spawn_options o;
    o.argv = {SCRIVEL_PATH, log};
    harness::child c = harness::spawn(o);
    std::thread writer([&] { harness::write_all(c.in, input); });
    bool logged = harness::eventually(600, [&] {
        struct stat st {};
        return stat(log.c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) == input.size();
    });
    writer.join();
    long peak = reliability::proc_status_kb(c.pid, "VmHWM");
    harness::outcome r = harness::finish(&c, 20);
    EXPECT_TRUE(logged) << lines << " lines";
    EXPECT_EQ(r.status, 0);
    unlink(log.c_str());
    return peak;
}

// What is written leaves the read-ahead: a thousand times the lines takes no
// more memory at its peak.
TEST(scrivel_memory, peak_resident_size_does_not_grow_with_the_lines_logged)
{
    if (reliability::sanitized)
        GTEST_SKIP() << "the sanitizer holds on to freed memory";
    std::string dir = "/dev/shm/kestrix-memory-XXXXXX";
    if (access("/dev/shm", W_OK) != 0 || mkdtemp(dir.data()) == nullptr)
        dir = harness::make_temp_dir();
    long short_run = peak_after(1000, dir);
    long long_run = peak_after(1000000, dir);
    harness::remove_tree(dir);
    ASSERT_GT(short_run, 0);
    EXPECT_LE(static_cast<double>(long_run) / static_cast<double>(short_run), 1.25)
        << short_run << " kB after 1,000 lines, " << long_run << " kB after 1,000,000";
    reliability::report_figure("scrivel peak resident: " + std::to_string(short_run) + " kB after 1,000 lines, " +
                               std::to_string(long_run) + " kB after 1,000,000");
}

}  // namespace
