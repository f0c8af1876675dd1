// SPDX-License-Identifier: ISC
// tests/scrivel_signal_test.cpp - scrivel end to end: reopening on SIGHUP,
// writing out on SIGTERM, rotation, a full file system, system call counts
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "reliability.h"

namespace {

const std::string scrivel = SCRIVEL_PATH;

// The logger's temporary files live on tmpfs where there is one: every record
// is a synchronous write.
std::string make_fast_temp_dir()
{
    std::string pattern = "/dev/shm/kestrix-test-XXXXXX";
    if (access("/dev/shm", W_OK) == 0 && mkdtemp(pattern.data()) != nullptr)
        return pattern;
    return harness::make_temp_dir();
}

struct scrivel_signals : ::testing::Test {
    std::string dir;
    std::string log;
    std::string mounted;
    void (*old_sigpipe)(int) = nullptr;
    void SetUp() override
    {
        dir = make_fast_temp_dir();
        char* real = realpath(dir.c_str(), nullptr);
        if (real != nullptr) {
            dir = real;
            std::free(real);
        }
        log = dir + "/log";
        // A writer must not die when the logger stops reading.
        old_sigpipe = signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override
    {
        if (!mounted.empty())
            umount2(mounted.c_str(), MNT_DETACH);
        harness::remove_tree(dir);
        signal(SIGPIPE, old_sigpipe);
    }
};

// The logger has installed its handlers: a signal now reaches them.
bool catches_hangup_and_terminate(pid_t pid)
{
    std::string status = harness::read_file("/proc/" + std::to_string(pid) + "/status");
    std::size_t at = status.find("SigCgt:");
    if (at == std::string::npos)
        return false;
    unsigned long long mask = std::strtoull(status.c_str() + at + 7, nullptr, 16);
    return (mask >> (SIGHUP - 1) & 1) != 0 && (mask >> (SIGTERM - 1) & 1) != 0;
}

// With env, the dynamically linked twin runs, so that env can preload the
// fault injector into it.
harness::child start(const std::vector<std::string>& args, int stdin_fd = -1, const std::vector<std::string>& env = {})
{
    harness::spawn_options o;
    o.argv = {env.empty() ? scrivel : SCRIVEL_DYNAMIC_PATH};
    o.set_env = env;
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.stdin_fd = stdin_fd;
    harness::child c = harness::spawn(o);
    EXPECT_TRUE(harness::eventually(10, [&] { return catches_hangup_and_terminate(c.pid); }));
    return c;
}

int unread(int fd)
{
    int n = -1;
    if (ioctl(fd, FIONREAD, &n) < 0)
        return -1;
    return n;
}

// The logger has read everything written to its standard input so far.
bool input_taken(int fd)
{
    return harness::eventually(10, [fd] { return unread(fd) == 0; });
}

// The process sleeps in the kernel; in the tests below, once its input is
// taken, only a write to a full FIFO can hold it there.
bool sleeping(pid_t pid)
{
    std::string stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(") ");
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
}

// The processor time the process has used so far, user and system.
double cpu_seconds(pid_t pid)
{
    std::string stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(") ");
    if (paren == std::string::npos)
        return -1;
    // After the name: state, then ten fields up to utime and stime.
    std::istringstream fields(stat.substr(paren + 2));
    std::string skipped;
    for (int i = 0; i < 11; ++i)
        fields >> skipped;
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::uint64_t size_of(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// Some descriptor of the process names path (a renamed file no longer does).
bool holds_open(pid_t pid, const std::string& path)
{
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (const dirent* e = readdir(d)) {
        char target[4096];
        ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path)
            found = true;
    }
    closedir(d);
    return found;
}

// "line 0000000" up to count - 1, each padded with 0 to `padding` dots.
std::string numbered_lines(unsigned count, unsigned padding = 0)
{
    std::string text;
    char line[32];
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "line %07u", i);
        text += line;
        text.append(padding == 0 ? 0 : i % (padding + 1), '.');
        text += '\n';
    }
    return text;
}

// Everything the logger took from input (through offset) as the records it
// writes at the end: the unterminated tail gains a newline.
std::string logged_prefix(const std::string& input, std::uint64_t offset)
{
    std::string prefix = input.substr(0, offset);
    if (!prefix.empty() && prefix.back() != '\n')
        prefix += '\n';
    return prefix;
}

std::vector<std::string> unstamped(const std::string& log)
{
    static const std::regex stamp("(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
                                  "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                  "( [1-9]|[12][0-9]|3[01]) [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} ");
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < log.size()) {
        std::size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        std::string record = log.substr(at, end - at);
        EXPECT_TRUE(record.size() >= 25 && std::regex_match(record.substr(0, 25), stamp)) << record.substr(0, 30);
        lines.push_back(record.size() >= 25 ? record.substr(25) : record);
        at = end + 1;
    }
    return lines;
}

constexpr int fifo_size = 65536;
// How long SIGTERM waits for the end of the line in hand.
constexpr double line_end_limit = 3;
constexpr int longest_busy_line = 21;

int open_fifo(const std::string& path)
{
    if (mkfifo(path.c_str(), 0600) != 0)
        return -1;
    return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Reads until every writer has closed the FIFO.
std::string drain(int fd)
{
    std::string got;
    harness::eventually(20, [&] {
        char chunk[65536];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0)
            got.append(chunk, static_cast<std::size_t>(n));
        return n == 0;
    });
    return got;
}

std::string error_output(harness::child* c)
{
    std::string err = harness::read_for(c->err, 5);
    harness::close_fd(&c->in);
    harness::close_fd(&c->out);
    harness::close_fd(&c->err);
    return err;
}

// The logger waits for input in poll, together with its wake-up pipe, and
// reads only what poll reported. Were it to enter a read that can block, a
// signal arriving just before that read would wait for more input: the fault
// injector raises SIGTERM right before any such read, and notes it.
TEST_F(scrivel_signals, sigterm_while_idle_writes_out_what_is_held)
{
    struct held_case {
        std::vector<std::string> options;
        std::string input;
        std::vector<std::string> lines;
    };
    const held_case cases[] = {
        {{}, "", {}},
        {{}, "abc", {"abc"}},
        {{}, "one\n\nabc", {"one", "abc"}},
        {{"-c"}, "abc", {"abc"}},
        {{"-c"}, "one\ntwo\nabc", {"one", "two", "abc"}},
    };
    for (const held_case& h : cases) {
        unlink(log.c_str());
        std::vector<std::string> args = h.options;
        args.push_back(log);
        const std::string stalled = dir + "/stalled";
        unlink(stalled.c_str());
        harness::child c = start(args, -1, reliability::fault_env({"read", "stall", "EIO", 1}, stalled));
        ASSERT_TRUE(harness::write_all(c.in, h.input));
        ASSERT_TRUE(input_taken(c.in));
        ASSERT_TRUE(harness::eventually(10, [&] { return sleeping(c.pid); }));
        EXPECT_EQ(harness::read_file(stalled), "") << "a read that could block was made";
        kill(c.pid, SIGTERM);
        harness::outcome r = harness::wait_for(&c, 10);
        EXPECT_TRUE(r.exited) << h.input;
        EXPECT_EQ(r.status, 0) << h.input;
        EXPECT_EQ(error_output(&c), "");
        std::string logged = harness::read_file(log);
        if (h.options.empty()) {
            std::string expected;
            for (const std::string& line : h.lines)
                expected += line + "\n";
            EXPECT_EQ(logged, expected);
        } else {
            EXPECT_EQ(unstamped(logged), h.lines);
        }
    }
}

// A signal that comes after the logger looked at its notes and before it
// waits must still end the wait at once: the handler's byte in the wake-up
// pipe does that. The fault injector raises the signal just before the Nth
// poll, in each of the three waits: for input, in the pause between attempts
// to reopen the log, and for the end of the line in hand after SIGTERM. A
// bounded wait that slept through the signal would end only at its limit.
TEST_F(scrivel_signals, a_signal_just_before_a_wait_takes_effect_at_once)
{
    enum class wait : std::uint8_t { input, reopen_pause, line_end };
    struct wake_case {
        const char* name;
        wait in;
        int sig;
        long poll_at;
    };
    // Input: poll 1 is the first wait, poll 2 the wait after "one" is logged.
    // Pause: poll 1 waits for input until the test's SIGHUP, poll 2 pauses.
    // Line end: poll 2 waits for input until the test's SIGTERM, poll 3 for
    // the rest of the line.
    const wake_case cases[] = {
        {"sigterm before the wait for input", wait::input, SIGTERM, 1},
        {"sighup before the wait for input", wait::input, SIGHUP, 2},
        {"sigterm before the pause", wait::reopen_pause, SIGTERM, 2},
        {"sighup before the pause", wait::reopen_pause, SIGHUP, 2},
        {"second sigterm before the wait for the line's end", wait::line_end, SIGTERM, 3},
        {"sighup before the wait for the line's end", wait::line_end, SIGHUP, 3},
    };
    for (const wake_case& w : cases) {
        SCOPED_TRACE(w.name);
        std::string sub = dir + "/" + std::to_string(&w - cases);
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        const std::string path = sub + "/log", moved = sub + "/log.1";
        const std::string fired = sub + ".fired";
        reliability::fault f = {"poll", w.sig == SIGHUP ? "sighup" : "sigterm", "EIO", w.poll_at};
        harness::outcome r;
        if (w.in == wait::input && w.sig == SIGTERM) {
            // The very first wait: the logger ends before it could be watched.
            harness::spawn_options o;
            o.argv = {SCRIVEL_DYNAMIC_PATH, path};
            o.set_env = reliability::fault_env(f, fired);
            harness::child c = harness::spawn(o);
            r = harness::wait_for(&c, 10);
            EXPECT_TRUE(r.exited) << "the wait slept through SIGTERM";
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(error_output(&c), "");
            EXPECT_EQ(harness::read_file(path), "");
            EXPECT_FALSE(harness::read_file(fired).empty()) << "the signal was never raised";
            continue;
        }
        harness::child c = start({path}, -1, reliability::fault_env(f, fired));
        ASSERT_TRUE(harness::eventually(10, [&] { return harness::file_exists(path) && sleeping(c.pid); }));
        if (w.in == wait::input) {
            ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
            ASSERT_TRUE(harness::write_all(c.in, "one\n"));
            EXPECT_TRUE(harness::eventually(10, [&] { return harness::file_exists(path); })) << "no reopen";
            EXPECT_EQ(harness::read_file(moved), "one\n");
            harness::close_fd(&c.in);
            r = harness::wait_for(&c, 10);
        } else if (w.in == wait::reopen_pause) {
            const std::string warning = "scrivel: " + path + ": unable to open logfile\n";
            const std::string gone = sub + ".gone";
            ASSERT_EQ(rename(sub.c_str(), gone.c_str()), 0);
            kill(c.pid, SIGHUP);
            std::string err = harness::read_until(c.err, 10, warning);
            double warned = reliability::now();
            if (w.sig == SIGTERM) {
                r = harness::wait_for(&c, 10);
                EXPECT_LT(reliability::now() - warned, 2.5) << "the pause slept through SIGTERM";
            } else {
                // The first read may have brought the second warning too.
                for (std::string more = "-"; err.size() < 2 * warning.size() && !more.empty();)
                    err += more = harness::read_until(c.err, 10, warning);
                EXPECT_LT(reliability::now() - warned, 2.5) << "the pause slept through SIGHUP";
                kill(c.pid, SIGTERM);
                r = harness::wait_for(&c, 10);
            }
            err += error_output(&c);
            EXPECT_EQ(err.substr(0, warning.size()), warning);
            ASSERT_EQ(rename(gone.c_str(), sub.c_str()), 0);
        } else {
            ASSERT_TRUE(harness::write_all(c.in, "whole\npart"));
            ASSERT_TRUE(harness::eventually(10, [&] { return size_of(path) > 0 && sleeping(c.pid); }));
            if (w.sig == SIGHUP) {
                ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
            }
            double signalled = reliability::now();
            kill(c.pid, SIGTERM);
            if (w.sig == SIGTERM) {
                r = harness::wait_for(&c, 10);
                EXPECT_LT(reliability::now() - signalled, line_end_limit / 2) << "the wait slept through SIGTERM";
                EXPECT_EQ(harness::read_file(path), "whole\npart\n");
            } else {
                // The reopen comes at once, so the rest of the line arrives
                // well before the limit and the line goes to the new file.
                EXPECT_TRUE(harness::eventually(10, [&] { return harness::file_exists(path); })) << "no reopen";
                ASSERT_TRUE(harness::write_all(c.in, "ial\n"));
                r = harness::wait_for(&c, 10);
                EXPECT_EQ(harness::read_file(moved), "whole\n");
                EXPECT_EQ(harness::read_file(path), "partial\n");
            }
        }
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(harness::read_file(fired).empty()) << "the signal was never raised";
        if (c.err >= 0) {
            EXPECT_EQ(error_output(&c), "");
        }
    }
}

// The log is a FIFO that nobody drains, so the logger blocks inside the write
// of a long record while short lines wait behind it.
TEST_F(scrivel_signals, sigterm_during_a_blocked_write_ends_after_it_with_every_line_its_own_record)
{
    std::string fifo = dir + "/fifo";
    int reader = open_fifo(fifo);
    ASSERT_GE(reader, 0);
    harness::child c = start({"-c", fifo});
    const std::string long_line(70000, 'x');
    ASSERT_TRUE(harness::write_all(c.in, long_line));
    ASSERT_TRUE(input_taken(c.in));
    ASSERT_TRUE(harness::write_all(c.in, "\nb\nc\n\nd\ne"));
    ASSERT_TRUE(input_taken(c.in));
    EXPECT_TRUE(harness::eventually(10, [&] { return unread(reader) > 0 && sleeping(c.pid); }));
    kill(c.pid, SIGTERM);

    std::string got = drain(reader);
    harness::outcome r = harness::wait_for(&c, 10);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(error_output(&c), "");
    EXPECT_EQ(unstamped(got), (std::vector<std::string>{long_line, "b", "c", "d", "e"}));
    close(reader);
}

// SIGTERM while the writer is in the middle of a line: the logger reads on to
// that line's newline and writes it whole, and leaves what follows in the
// pipe for the next reader. A writer that never ends the line, or trickles
// it, costs at most the limit; end of input ends the wait at once.
TEST_F(scrivel_signals, sigterm_in_the_middle_of_a_line_waits_for_its_end_and_reads_no_further)
{
    enum class then : std::uint8_t { rest_arrives, writer_stops, input_ends, writer_trickles };
    struct finish_case {
        const char* name;
        std::vector<std::string> options;
        std::string held;
        std::string rest;    // written 0.3 s after the signal, in one piece
        std::string record;  // the last record, without its stamp
        std::size_t stays;   // bytes the logger leaves unread
        then next;
        bool socket = false;  // input from a stream socket rather than a pipe
    };
    const std::string long_half(200000, 'h');
    const std::string whole_half = long_half + long_half;
    const finish_case cases[] = {
        {"rest arrives", {}, "part", "ial\nnext\n", "partial", 5, then::rest_arrives},
        {"rest arrives, stamped", {"-c"}, "part", "ial\nnext\n", "partial", 5, then::rest_arrives},
        {"long line", {}, long_half, long_half + "\nnext\n", whole_half, 5, then::rest_arrives},
        {"writer stops", {}, "part", "", "part", 0, then::writer_stops},
        {"input ends", {}, "part", "", "part", 0, then::input_ends},
        {"writer trickles", {}, "part", "", "part", 0, then::writer_trickles},
        {"rest arrives on a socket", {}, "part", "ial\nnext\n", "partial", 5, then::rest_arrives, true},
        {"long line on a socket", {}, long_half, long_half + "\nnext\n", whole_half, 5, then::rest_arrives, true},
    };
    for (const finish_case& f : cases) {
        SCOPED_TRACE(f.name);
        unlink(log.c_str());
        std::vector<std::string> args = f.options;
        args.push_back(log);
        int ends[2] = {-1, -1};
        if (f.socket) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        }
        harness::child c = start(args, ends[0]);
        if (f.socket)
            c.in = ends[1];
        // What waits unread: a socket counts it at the logger's end.
        const int waiting = f.socket ? ends[0] : c.in;
        ASSERT_TRUE(harness::write_all(c.in, "whole\n" + f.held));
        ASSERT_TRUE(harness::eventually(10, [&] { return unread(waiting) == 0 && size_of(log) > 0; }));
        ASSERT_TRUE(harness::eventually(10, [&] { return sleeping(c.pid); }));
        double signalled = reliability::now();
        kill(c.pid, SIGTERM);
        std::thread writer([&] {
            if (f.next == then::rest_arrives) {
                usleep(300000);
                harness::write_all(c.in, f.rest);
            } else if (f.next == then::input_ends) {
                harness::close_fd(&c.in);
            } else if (f.next == then::writer_trickles) {
                for (int i = 0; i < 100 && harness::write_all(c.in, "."); ++i)
                    usleep(50000);
            }
        });
        harness::outcome r = harness::wait_for(&c, 15);
        double took = reliability::now() - signalled;
        writer.join();
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_LT(took, line_end_limit + 2);
        bool bounded = f.next == then::writer_stops || f.next == then::writer_trickles;
        EXPECT_TRUE(!bounded || took >= line_end_limit - 0.5) << "the line's end was not waited for";
        EXPECT_TRUE(f.next != then::input_ends || took < line_end_limit - 0.5) << "end of input did not end the wait";
        // A trickled byte may come after the last read.
        if (f.next != then::writer_trickles) {
            EXPECT_EQ(c.in < 0 ? 0 : unread(waiting), static_cast<int>(f.stays));
        }
        EXPECT_EQ(error_output(&c), "");
        if (f.socket)
            close(ends[0]);
        std::vector<std::string> records = reliability::lines_of(harness::read_file(log));
        if (!f.options.empty())
            records = unstamped(harness::read_file(log));
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0], "whole");
        if (f.next == then::writer_trickles)
            EXPECT_EQ(records[1].substr(0, f.record.size()), f.record);
        else
            EXPECT_TRUE(records[1] == f.record) << records[1].size() << " bytes";
    }
}

TEST_F(scrivel_signals, sighup_while_idle_reopens_by_path_and_logging_goes_on)
{
    harness::child c = start({log});
    ASSERT_TRUE(harness::write_all(c.in, "one\npar"));
    ASSERT_TRUE(harness::eventually(10, [&] { return harness::read_file(log) == "one\n"; }));
    ASSERT_EQ(rename(log.c_str(), (log + ".old").c_str()), 0);
    kill(c.pid, SIGHUP);
    EXPECT_TRUE(harness::eventually(10, [&] { return harness::file_exists(log); }));
    ASSERT_TRUE(harness::write_all(c.in, "tial\n"));
    kill(c.pid, SIGHUP);
    ASSERT_TRUE(harness::write_all(c.in, "two\n"));
    harness::close_fd(&c.in);
    harness::outcome r = harness::wait_for(&c, 10);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(error_output(&c), "");
    EXPECT_EQ(harness::read_file(log + ".old"), "one\n");
    EXPECT_EQ(harness::read_file(log), "partial\ntwo\n");
}

// A hang-up while the path cannot be opened keeps the old file and loses
// nothing: the logger warns every 5 seconds, reads nothing meanwhile, and
// either goes on in the file that comes back at the path, starting with the
// line it held, or, on SIGTERM, writes everything it read into the old file.
// A further hang-up meanwhile tries again at once, and the pause after it is
// spent asleep.
TEST_F(scrivel_signals, sighup_when_the_path_cannot_be_opened_keeps_the_old_file_and_retries)
{
    enum class ending : std::uint8_t { directory_restored, new_directory, sigterm };
    for (ending e : {ending::directory_restored, ending::new_directory, ending::sigterm}) {
        std::string sub = dir + "/d" + std::to_string(static_cast<int>(e));
        std::string gone = sub + ".gone";
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        std::string path = sub + "/log";
        harness::child c = start({path});
        ASSERT_TRUE(harness::write_all(c.in, "one\ntwo\npartial"));
        ASSERT_TRUE(harness::eventually(10, [&] { return harness::read_file(path) == "one\ntwo\n"; }));
        ASSERT_EQ(rename(sub.c_str(), gone.c_str()), 0);
        kill(c.pid, SIGHUP);
        const std::string warning = "scrivel: " + path + ": unable to open logfile\n";
        std::string err = harness::read_until(c.err, 10, warning);
        // Input written now waits in the pipe until a file is open again.
        ASSERT_TRUE(harness::write_all(c.in, " rest\nthree\n"));
        kill(c.pid, SIGHUP);
        err += harness::read_until(c.err, 10, warning);
        err += harness::read_until(c.err, 10, warning);
        EXPECT_LT(cpu_seconds(c.pid), 0.5) << "the pause was spent awake";
        EXPECT_EQ(unread(c.in), 12) << "input was read while no file could be opened";
        if (e == ending::sigterm) {
            kill(c.pid, SIGTERM);
        } else {
            if (e == ending::directory_restored)
                ASSERT_EQ(rename(gone.c_str(), sub.c_str()), 0);
            else
                ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
            // A further hang-up tries again at once, not at the next pause.
            if (e == ending::new_directory)
                kill(c.pid, SIGHUP);
            ASSERT_TRUE(input_taken(c.in));
            ASSERT_TRUE(harness::write_all(c.in, "four\n"));
            harness::close_fd(&c.in);
        }
        harness::outcome r = harness::wait_for(&c, 15);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        // SIGTERM finishes the line in hand, and what follows it stays in
        // the pipe, for the next logger.
        if (e == ending::sigterm) {
            EXPECT_EQ(unread(c.in), 6);
        }
        err += error_output(&c);
        ASSERT_FALSE(err.empty());
        for (std::size_t at = 0; at < err.size(); at += warning.size())
            ASSERT_EQ(err.compare(at, warning.size(), warning), 0) << err;
        switch (e) {
        case ending::directory_restored:
            EXPECT_EQ(harness::read_file(path), "one\ntwo\npartial rest\nthree\nfour\n");
            break;
        case ending::new_directory:
            EXPECT_EQ(harness::read_file(gone + "/log"), "one\ntwo\n");
            EXPECT_EQ(harness::read_file(path), "partial rest\nthree\nfour\n");
            break;
        case ending::sigterm:
            EXPECT_EQ(harness::read_file(gone + "/log"), "one\ntwo\npartial rest\n");
            EXPECT_FALSE(harness::file_exists(path));
            break;
        }
    }
}

// The log is a FIFO without a reader, so the logger waits inside its first
// open while the signals arrive.
TEST_F(scrivel_signals, signals_before_the_log_is_open_wait_for_it_and_close_nothing_else)
{
    for (int sig : {SIGHUP, SIGTERM}) {
        std::string fifo = dir + "/fifo" + std::to_string(sig);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int in[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_TRUE(harness::write_all(in[1], "abc\n"));
        harness::child c = start({fifo}, in[0]);
        kill(c.pid, sig);
        int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        if (sig == SIGHUP) {
            close(in[1]);
            harness::outcome r = harness::wait_for(&c, 10);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(harness::read_for(reader, 1), "abc\n");
        } else {
            harness::outcome r = harness::wait_for(&c, 10);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(unread(in[0]), 4);
            EXPECT_EQ(harness::read_for(reader, 0.2), "");
            close(in[1]);
        }
        EXPECT_EQ(error_output(&c), "");
        close(in[0]);
        close(reader);
    }
}

// Input that never runs dry (a regular file) and a log that the test drains
// (a FIFO): the logger is always busy, and it can never run ahead of the test.
struct busy_logger {
    std::string input;
    int input_fd = -1;
    int reader = -1;
    harness::child c;
};

// How far the logger read: it shares the open file description.
std::uint64_t offset_of(int fd)
{
    return static_cast<std::uint64_t>(lseek(fd, 0, SEEK_CUR));
}

void start_busy(busy_logger* b, const std::string& dir, const std::string& log)
{
    b->input = numbered_lines(100000, longest_busy_line - 13);
    harness::write_file(dir + "/input", b->input);
    b->input_fd = open((dir + "/input").c_str(), O_RDONLY | O_CLOEXEC);
    b->reader = open_fifo(log);
    ASSERT_GE(b->input_fd, 0);
    ASSERT_GE(b->reader, 0);
    b->c = start({log}, b->input_fd);
    ASSERT_TRUE(harness::eventually(10, [b] { return unread(b->reader) > 0 && sleeping(b->c.pid); }));
}

TEST_F(scrivel_signals, sigterm_takes_effect_within_a_record_while_input_keeps_coming)
{
    busy_logger b;
    ASSERT_NO_FATAL_FAILURE(start_busy(&b, dir, log));
    kill(b.c.pid, SIGTERM);
    std::string logged = drain(b.reader);
    harness::outcome r = harness::wait_for(&b.c, 10);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(error_output(&b.c), "");
    std::uint64_t taken = offset_of(b.input_fd);
    // A full FIFO, the record in hand and one read ahead: nothing more.
    EXPECT_LT(taken, fifo_size + 2 * 4096);
    EXPECT_TRUE(logged == logged_prefix(b.input, taken)) << logged.size() << " bytes logged, " << taken << " read";
    close(b.input_fd);
    close(b.reader);
}

TEST_F(scrivel_signals, sighup_takes_effect_within_a_record_while_input_keeps_coming)
{
    busy_logger b;
    ASSERT_NO_FATAL_FAILURE(start_busy(&b, dir, log));
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    int second = open_fifo(log);
    ASSERT_GE(second, 0);
    int held = unread(b.reader);
    kill(b.c.pid, SIGHUP);
    std::string before = drain(b.reader);
    EXPECT_TRUE(harness::eventually(10, [&] { return unread(second) > 0 && sleeping(b.c.pid); }));
    kill(b.c.pid, SIGTERM);
    std::string after = drain(second);
    harness::outcome r = harness::wait_for(&b.c, 10);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(error_output(&b.c), "");
    std::uint64_t taken = offset_of(b.input_fd);
    // The record cut short by the full FIFO is finished, and no other.
    EXPECT_LE(before.size(), static_cast<std::size_t>(held + longest_busy_line));
    EXPECT_LT(taken, 2 * fifo_size + 4 * 4096);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.substr(0, 13), "line 0000000\n");
    EXPECT_EQ(before.back(), '\n');
    EXPECT_EQ(after.substr(0, 5), "line ");
    EXPECT_TRUE(before + after == logged_prefix(b.input, taken)) << before.size() << " + " << after.size();
    close(b.input_fd);
    close(b.reader);
    close(second);
}

// Writes text to fd in pieces of odd, changing sizes.
void feed_in_pieces(int fd, const std::string& text, unsigned pause_every, useconds_t pause)
{
    static const std::size_t sizes[] = {1, 7, 13, 97, 3, 4099, 29, 61, 2, 511};
    std::size_t at = 0;
    for (unsigned n = 0; at < text.size(); ++n) {
        std::size_t size = std::min(sizes[n % 10], text.size() - at);
        if (!harness::write_all(fd, text.substr(at, size)))
            return;
        at += size;
        if (pause_every != 0 && n % pause_every == 0)
            usleep(pause);
    }
}

TEST_F(scrivel_signals, many_sighups_while_a_pipe_feeds_lose_and_repeat_nothing)
{
    const std::string input = numbered_lines(20000);
    harness::child c = start({log});
    std::atomic<bool> fed{false};
    std::thread writer([&] {
        feed_in_pieces(c.in, input, 5, 1000);
        fed = true;
    });
    std::vector<std::string> moved;
    unsigned signals = 0;
    while (!fed && signals < 5000) {
        // Rename only once the logger writes to the path again, so the files
        // hold the input in the order of their names.
        if (signals % 4 == 0 && holds_open(c.pid, log)) {
            std::string name = log + "." + std::to_string(moved.size() + 1);
            if (rename(log.c_str(), name.c_str()) == 0)
                moved.push_back(name);
        }
        kill(c.pid, SIGHUP);
        ++signals;
        usleep(300);
    }
    writer.join();
    harness::close_fd(&c.in);
    harness::outcome r = harness::wait_for(&c, 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(error_output(&c), "");
    EXPECT_GE(moved.size(), 5u);
    std::printf("%u signals, %zu renames\n", signals, moved.size());
    std::string all;
    for (const std::string& name : moved)
        all += harness::read_file(name);
    all += harness::read_file(log);
    EXPECT_TRUE(all == input) << signals << " signals, " << moved.size() << " files, " << all.size() << " bytes";
}

TEST_F(scrivel_signals, system_calls_are_one_write_per_record_and_none_for_signals)
{
    const std::string strace = "/usr/bin/strace";
    if (access(strace.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no strace";
    const unsigned records = 20000;
    const std::string input = numbered_lines(records);
    std::string trace = dir + "/trace";
    harness::spawn_options o;
    o.argv = {strace, "-o", trace, scrivel, log};
    // The leak checker cannot stop a traced process.
    o.set_env = {"ASAN_OPTIONS=detect_leaks=0"};
    harness::outcome r = harness::run(o, input, 90);
    if (r.status != 0 && r.err.find("strace: ") != std::string::npos)
        GTEST_SKIP() << "strace refused: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(harness::read_file(log) == input);

    // Counts from the log file's opening on.
    std::map<std::string, unsigned> calls;
    std::string log_write, input_read = "read(0,";
    unsigned log_writes = 0, input_reads = 0, others = 0;
    std::string text = harness::read_file(trace);
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        std::size_t paren = line.find('(');
        if (paren == std::string::npos || line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != paren)
            continue;
        std::string name = line.substr(0, paren);
        if (log_write.empty()) {
            std::size_t result = line.rfind(" = ");
            if ((name == "open" || name == "openat") && line.find("\"" + log + "\"") != std::string::npos &&
                result != std::string::npos)
                log_write = "write(" + std::to_string(std::atoi(line.c_str() + result + 3)) + ",";
            continue;
        }
        ++calls[name];
        if (line.compare(0, log_write.size(), log_write) == 0)
            ++log_writes;
        else if (line.compare(0, input_read.size(), input_read) == 0)
            ++input_reads;
        else if (name != "poll" && name != "ppoll")
            ++others;
    }
    ASSERT_FALSE(log_write.empty()) << "no opening of the log in the trace";
    EXPECT_EQ(log_writes, records);
    EXPECT_EQ(calls["rt_sigprocmask"], 0u);
    EXPECT_EQ(calls["rt_sigaction"], 0u);
    EXPECT_EQ(calls["sigaltstack"], 0u);
    EXPECT_GT(input_reads, 0u);
    EXPECT_LE(calls["poll"] + calls["ppoll"], input_reads + 3);
    EXPECT_LT(others, records / 20);
    std::printf("records %u: log writes %u, input reads %u, polls %u, other calls %u\n", records, log_writes,
                input_reads, calls["poll"] + calls["ppoll"], others);
}

TEST_F(scrivel_signals, a_record_cut_short_by_a_full_disk_is_completed_not_repeated)
{
    std::string mnt = dir + "/mnt";
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    mounted = mnt;

    // Fill the file system to the brim, then free exactly one page.
    std::string filler = mnt + "/filler";
    int f = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(f, 0);
    const std::string page(4096, 'f');
    off_t filled = 0;
    while (write(f, page.data(), page.size()) == 4096)
        filled += 4096;
    ASSERT_GT(filled, 4096);
    ASSERT_EQ(ftruncate(f, filled - 4096), 0);
    close(f);

    std::string path = mnt + "/log";
    harness::child c = start({path});
    const std::string record = "first " + std::string(5993, 'r') + "\n";
    ASSERT_TRUE(harness::write_all(c.in, record));
    const std::string warning = "scrivel: " + path + ": unable to write to logfile\n";
    EXPECT_EQ(harness::read_for(c.err, 10, warning.size()), warning);
    ASSERT_TRUE(harness::write_all(c.in, "second\n"));
    usleep(300000);
    EXPECT_EQ(unread(c.in), 7) << "input read while a record waits";
    EXPECT_EQ(size_of(path), 4096u) << "the first attempt did not stop part-way";

    unlink(filler.c_str());
    EXPECT_TRUE(harness::eventually(15, [&] { return size_of(path) >= record.size() + 7; }));
    harness::outcome r = harness::finish(&c, 10);
    EXPECT_EQ(r.status, 0);
    // Any further warning is a further failed attempt, in the same words.
    for (std::size_t at = 0; at < r.err.size(); at += warning.size())
        EXPECT_EQ(r.err.substr(at, warning.size()), warning);
    EXPECT_TRUE(harness::read_file(path) == record + "second\n");
}

TEST_F(scrivel_signals, rotation_by_logrotate_keeps_every_line_exactly_once)
{
    const std::string logrotate = "/usr/sbin/logrotate";
    if (access(logrotate.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no logrotate";
    std::string app = dir + "/app.log";
    harness::child c = start({app});
    std::string config = dir + "/rotate.conf";
    harness::write_file(config, app +
                                    " {\n    rotate 20\n    create\n    missingok\n    postrotate\n        kill -HUP " +
                                    std::to_string(c.pid) + "\n    endscript\n}\n");
    const std::string input = numbered_lines(6000);
    std::atomic<bool> fed{false};
    std::thread writer([&] {
        feed_in_pieces(c.in, input, 1, 6000);
        fed = true;
    });
    int rotations = 0;
    for (int k = 0; k < 8; ++k) {
        usleep(60000);
        harness::spawn_options o;
        o.argv = {logrotate, "-f", "-s", dir + "/state", config};
        harness::outcome rotated = harness::run(o, "", 20);
        EXPECT_EQ(rotated.status, 0) << rotated.err;
        if (rotated.status != 0)
            break;
        ++rotations;
        if (!harness::eventually(10, [&] { return holds_open(c.pid, app); })) {
            ADD_FAILURE() << "the logger did not reopen after rotation " << rotations;
            break;
        }
    }
    bool rotated_while_fed = !fed;
    writer.join();
    harness::close_fd(&c.in);
    harness::outcome r = harness::wait_for(&c, 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(error_output(&c), "");
    EXPECT_TRUE(rotated_while_fed);
    std::string all;
    for (int k = rotations; k >= 1; --k)
        all += harness::read_file(app + "." + std::to_string(k));
    all += harness::read_file(app);
    EXPECT_EQ(rotations, 8);
    EXPECT_TRUE(all == input) << all.size() << " of " << input.size() << " bytes";
}

}  // namespace
