// SPDX-License-Identifier: ISC
// tests/scrivel_test.cpp - scrivel end to end: command line, records, the log
// file, start-up and read failures
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "reliability.h"

namespace {

const std::string scrivel = SCRIVEL_PATH;

const std::string version_line = "scrivel from kestrix version 24\n";
const std::string usage_output = version_line + "\n"
                                                "Usage: scrivel [OPTIONS] logfile\n"
                                                "Log standard input to a file.\n"
                                                "\n"
                                                "-c        Prepend a timestamp to each line\n"
                                                "-V        Show version information\n"
                                                "-?        Show usage information\n";

struct scrivel_files : ::testing::Test {
    std::string dir;
    std::string log;
    void SetUp() override
    {
        dir = harness::make_temp_dir();
        log = dir + "/log";
    }
    void TearDown() override { harness::remove_tree(dir); }
};

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (const dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

// "Www Mmm dd hh:mm:ss yyyy " and the time it names lies near now.
bool stamp_is_recent(const std::string& text)
{
    static const std::regex shape("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
                                  "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                  "( [1-9]|[12][0-9]|3[01]) ([01][0-9]|2[0-3]):[0-5][0-9]:[0-6][0-9] [0-9]{4} ");
    if (text.size() != 25 || !std::regex_match(text, shape))
        return false;
    std::tm parts{};
    if (strptime(text.c_str(), "%a %b %d %H:%M:%S %Y", &parts) == nullptr)
        return false;
    parts.tm_isdst = -1;
    double off = std::difftime(std::mktime(&parts), std::time(nullptr));
    return off > -120 && off < 5;
}

// Splits a stamped log into its records and checks each stamp; returns the
// lines without their stamps.
std::vector<std::string> unstamped(const std::string& log)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < log.size()) {
        std::size_t end = log.find('\n', at);
        if (end == std::string::npos) {
            ADD_FAILURE() << "record without a newline at " << at;
            break;
        }
        std::string record = log.substr(at, end - at);
        EXPECT_TRUE(record.size() > 25 && stamp_is_recent(record.substr(0, 25))) << record.substr(0, 40);
        lines.push_back(record.size() > 25 ? record.substr(25) : "");
        at = end + 1;
    }
    return lines;
}

TEST_F(scrivel_files, command_line_misuse_prints_usage_and_creates_nothing)
{
    struct misuse {
        std::vector<std::string> args;
        std::string out;
    };
    const misuse cases[] = {
        {{}, usage_output},
        {{"-c"}, usage_output},
        {{"a", "b"}, usage_output},
        {{"log", "-c"}, usage_output},
        {{"-?"}, usage_output},
        {{"-?", "log"}, usage_output},
        {{"-x", "log"}, usage_output},
        {{"-c", "-?", "log"}, usage_output},
        {{"-V"}, version_line},
        {{"-V", "log"}, version_line},
        {{"-c", "-V", "log"}, version_line},
        {{"log", "-V"}, usage_output},
    };
    for (const misuse& m : cases) {
        harness::spawn_options o;
        o.argv = {scrivel};
        o.argv.insert(o.argv.end(), m.args.begin(), m.args.end());
        o.cwd = dir;
        harness::outcome r = harness::run(o, "never read\n", 10);
        std::string shown = m.args.empty() ? "(none)" : m.args[0] + " ...";
        EXPECT_TRUE(r.exited) << shown;
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_EQ(r.out, m.out) << shown;
        EXPECT_TRUE(entries(dir).empty()) << shown;
    }
}

TEST_F(scrivel_files, records_hold_each_nonempty_line_exactly)
{
    const std::string mib(1 << 20, 'm');
    struct record_case {
        const char* name;
        std::string input;
        std::string logged;
    };
    const record_case cases[] = {
        {"empty input", "", ""},
        {"empty lines only", "\n\n\n", ""},
        {"unterminated line", "abc", "abc\n"},
        {"empty lines dropped", "a\n\nb\n\n", "a\nb\n"},
        {"carriage return and nul", std::string("a\r\n\0b\0\n\r", 8), std::string("a\r\n\0b\0\n\r\n", 9)},
        {"mebibyte line between short ones", "x\n" + mib + "\ny", "x\n" + mib + "\ny\n"},
        {"unterminated mebibyte", mib, mib + "\n"},
    };
    for (const record_case& c : cases) {
        unlink(log.c_str());
        harness::spawn_options o;
        o.argv = {scrivel, log};
        harness::outcome r = harness::run(o, c.input, 20);
        EXPECT_TRUE(r.exited) << c.name;
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_TRUE(harness::file_exists(log)) << c.name;
        EXPECT_TRUE(harness::read_file(log) == c.logged) << c.name;
    }
}

TEST_F(scrivel_files, each_record_carries_its_own_ctime_stamp)
{
    for (const auto& args : {std::vector<std::string>{"-c"}, std::vector<std::string>{"-c", "-c"}}) {
        unlink(log.c_str());
        harness::spawn_options o;
        o.argv = {scrivel};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.argv.push_back(log);
        harness::outcome r = harness::run(o, "hello\n\n two\r\nlast", 10);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(unstamped(harness::read_file(log)), (std::vector<std::string>{"hello", " two\r", "last"}));
    }
}

TEST_F(scrivel_files, lone_dash_and_words_after_double_dash_are_file_names)
{
    struct name_case {
        std::vector<std::string> args;
        const char* file;
    };
    const name_case cases[] = {{{"-"}, "-"}, {{"--", "-c"}, "-c"}, {{"-c", "--", "-V"}, "-V"}};
    for (const name_case& c : cases) {
        harness::spawn_options o;
        o.argv = {scrivel};
        o.argv.insert(o.argv.end(), c.args.begin(), c.args.end());
        o.cwd = dir;
        harness::outcome r = harness::run(o, "line\n", 10);
        EXPECT_EQ(r.status, 0) << c.file;
        EXPECT_EQ(r.out, "") << c.file;
        std::string logged = harness::read_file(dir + "/" + c.file);
        if (c.args[0] == "-c")
            EXPECT_EQ(unstamped(logged), std::vector<std::string>{"line"});
        else
            EXPECT_EQ(logged, "line\n") << c.file;
    }
}

TEST_F(scrivel_files, new_file_mode_follows_umask_and_existing_content_stays)
{
    const std::pair<mode_t, mode_t> modes[] = {{022, 0644}, {077, 0600}, {0, 0644}};
    for (const auto& [mask, expected] : modes) {
        unlink(log.c_str());
        mode_t old = umask(mask);
        harness::spawn_options o;
        o.argv = {scrivel, log};
        harness::outcome r = harness::run(o, "x\n", 10);
        umask(old);
        EXPECT_EQ(r.status, 0);
        struct stat st {};
        ASSERT_EQ(stat(log.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, expected) << "umask " << mask;
    }

    harness::write_file(log, "old\npartial");
    chmod(log.c_str(), 0600);
    harness::spawn_options o;
    o.argv = {scrivel, log};
    harness::outcome r = harness::run(o, "new\n", 10);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(harness::read_file(log), "old\npartialnew\n");
    struct stat st {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(scrivel_files, environment_confinement_variables_change_nothing)
{
    harness::spawn_options o;
    o.argv = {scrivel, log};
    o.set_env = {"ROOT=/nonexistent", "GID=4242", "UID=4242"};
    harness::outcome r = harness::run(o, "kept\n", 10);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(harness::read_file(log), "kept\n");
}

// A log that cannot be opened, a wake-up pipe that cannot be made (it comes
// before the log: below a limit of 5 descriptors only 4 is left free,
// whatever the test inherited, and a pipe needs two), and a handler that
// cannot be installed (the first sigaction is for SIGHUP, the second for
// SIGTERM).
TEST_F(scrivel_files, start_up_failures_end_with_111_and_leave_input_unread)
{
    struct row {
        std::string path;
        std::string err;
        std::string shell;     // run through sh -c with this in front of the program
        long sigaction_fails;  // this sigaction call fails (0: none)
    };
    const row rows[] = {
        {dir + "/missing/log", "scrivel: " + dir + "/missing/log: unable to open logfile\n", "", 0},
        {dir, "scrivel: " + dir + ": unable to open logfile\n", "", 0},
        {log, "scrivel: unable to create wake-up pipe\n", "exec 3</dev/null 4<&- && ulimit -n 5 && exec ", 0},
        {log, "scrivel: unable to install sighup handler\n", "", 1},
        {log, "scrivel: unable to install sigterm handler\n", "", 2},
    };
    for (const row& w : rows) {
        SCOPED_TRACE(w.err);
        int in[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_TRUE(harness::write_all(in[1], "waiting\n"));
        harness::spawn_options o;
        o.argv = {scrivel, w.path};
        if (!w.shell.empty())
            o.argv = {"/bin/sh", "-c", w.shell + "\"$0\" \"$1\"", scrivel, w.path};
        if (w.sigaction_fails != 0) {
            o.argv = {SCRIVEL_DYNAMIC_PATH, w.path};
            o.set_env = reliability::fault_env({"sigaction", "fail", "EINVAL", w.sigaction_fails}, dir + "/fault");
        }
        o.stdin_fd = in[0];
        harness::child c = harness::spawn(o);
        harness::outcome r = harness::finish(&c, 10);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 111);
        EXPECT_EQ(r.err, w.err);
        EXPECT_EQ(r.out, "");
        int unread = -1;
        ASSERT_EQ(ioctl(in[0], FIONREAD, &unread), 0);
        EXPECT_EQ(unread, 8);
        close(in[0]);
        close(in[1]);
    }
    EXPECT_FALSE(harness::file_exists(dir + "/missing"));
    EXPECT_FALSE(harness::file_exists(log));
}

TEST_F(scrivel_files, input_that_cannot_be_read_ends_with_status_1)
{
    int sink[2];
    ASSERT_EQ(pipe(sink), 0);
    int write_only_file = open((dir + "/input").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(write_only_file, 0);
    int directory = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    const std::pair<const char*, int> inputs[] = {{"write end of a pipe", sink[1]},
                                                  {"file open for writing", write_only_file},
                                                  {"directory", directory},
                                                  {"closed", -1}};
    for (const auto& [name, fd] : inputs) {
        unlink(log.c_str());
        harness::spawn_options o;
        o.argv = {scrivel, log};
        if (fd < 0)
            o.argv = {"/bin/sh", "-c", "exec <&- \"$0\" \"$1\"", scrivel, log};
        o.stdin_fd = fd;
        harness::child c = harness::spawn(o);
        harness::outcome r = harness::finish(&c, 10);
        EXPECT_FALSE(r.timed_out) << name;
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, "scrivel: unable to read from stdin\n") << name;
        EXPECT_TRUE(harness::file_exists(log)) << name;
        EXPECT_EQ(harness::read_file(log), "") << name;
    }
    close(sink[0]);
    close(sink[1]);
    close(write_only_file);
    close(directory);
}

// Only a hang-up makes the logger open the path again: a log renamed or
// removed meanwhile keeps receiving the lines, and no new file appears.
TEST_F(scrivel_files, without_sighup_a_moved_or_removed_log_keeps_receiving_the_lines)
{
    for (bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "removed" : "renamed");
        const std::string moved = log + ".1";
        unlink(moved.c_str());
        harness::spawn_options o;
        o.argv = {scrivel, log};
        harness::child c = harness::spawn(o);
        ASSERT_TRUE(harness::write_all(c.in, "one\n"));
        ASSERT_TRUE(harness::eventually(10, [&] { return harness::read_file(log) == "one\n"; }));
        int kept = open(log.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(kept, 0);
        ASSERT_EQ(removed ? unlink(log.c_str()) : rename(log.c_str(), moved.c_str()), 0);
        ASSERT_TRUE(harness::write_all(c.in, "two\nthree\n"));
        harness::outcome r = harness::finish(&c, 10);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(harness::file_exists(log)) << "the path was opened again";
        std::string held;
        char chunk[256];
        for (ssize_t n; (n = read(kept, chunk, sizeof chunk)) > 0;)
            held.append(chunk, static_cast<std::size_t>(n));
        close(kept);
        EXPECT_EQ(held, "one\ntwo\nthree\n");
    }
}

// Started with standard output and error closed, the log file must not take
// their numbers: diagnostics would land in it.
TEST_F(scrivel_files, log_never_takes_a_closed_standard_descriptor)
{
    harness::spawn_options o;
    o.argv = {"/bin/sh", "-c", "exec 1>&- 2>&- \"$0\" \"$1\"", scrivel, log};
    harness::child c = harness::spawn(o);
    ASSERT_TRUE(harness::write_all(c.in, "first\n"));
    ASSERT_TRUE(harness::eventually(10, [&] { return harness::read_file(log) == "first\n"; }));
    const std::string proc = "/proc/" + std::to_string(c.pid) + "/fd/";
    char target[4096];
    for (const char* fd : {"1", "2"}) {
        ssize_t n = readlink((proc + fd).c_str(), target, sizeof target - 1);
        EXPECT_TRUE(n < 0 || std::string(target, static_cast<std::size_t>(n)) != log) << "descriptor " << fd;
    }
    harness::outcome r = harness::finish(&c, 10);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(harness::read_file(log), "first\n");
}

}  // namespace
