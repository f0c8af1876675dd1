// SPDX-License-Identifier: ISC
// tests/scrivel_torture_test.cpp - the logger under rotation storms, signals
// at random moments and a full disk
//
// Every test feeds numbered or random lines through a real pipe and checks
// the files byte for byte: every line exactly once, whole, in order within
// each file. The sizes shrink under the sanitizers (see reliability::scaled)
// but every test runs.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"
#include "reliability.h"

namespace {

// A writer must not die when the logger stops reading.
[[maybe_unused]] const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// Every record is a synchronous write: on tmpfs that costs nothing.
std::string fast_temp_dir()
{
    std::string pattern = "/dev/shm/kestrix-torture-XXXXXX";
    if (access("/dev/shm", W_OK) == 0 && mkdtemp(pattern.data()) != nullptr)
        return pattern;
    return harness::make_temp_dir();
}

// The logger has installed both handlers.
bool catches_signals(pid_t pid)
{
    std::string status = harness::read_file("/proc/" + std::to_string(pid) + "/status");
    std::size_t at = status.find("SigCgt:");
    if (at == std::string::npos)
        return false;
    unsigned long long mask = std::strtoull(status.c_str() + at + 7, nullptr, 16);
    return (mask >> (SIGHUP - 1) & 1) != 0 && (mask >> (SIGTERM - 1) & 1) != 0;
}

// Some descriptor of the process is the file now at path.
bool holds_open(pid_t pid, const std::string& path)
{
    struct stat want {};
    if (stat(path.c_str(), &want) != 0)
        return false;
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        struct stat st {};
        if (e->d_name[0] != '.' && stat((fds + "/" + e->d_name).c_str(), &st) == 0 && st.st_dev == want.st_dev &&
            st.st_ino == want.st_ino)
            found = true;
    }
    closedir(d);
    return found;
}

std::string numbered_line(long i)
{
    std::string line = "line " + std::to_string(1000000 + i) + " ";
    line.append(static_cast<std::size_t>(i % 61), static_cast<char>('a' + i % 26));
    return line + "\n";
}

harness::child start_scrivel(const std::vector<std::string>& args)
{
    harness::spawn_options o;
    o.argv = {SCRIVEL_PATH};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    harness::child c = harness::spawn(o);
    EXPECT_TRUE(harness::eventually(10, [&] { return catches_signals(c.pid); }));
    return c;
}

// scrivel ARGS... LOG on a pipe whose write end does not block, started
// once LOG is there. ends[0] stays open here as well, so that what scrivel
// never read can be counted when it has gone.
harness::child start_on_pipe(const std::vector<std::string>& args, const std::string& log, int ends[2])
{
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    harness::spawn_options o;
    o.argv = {SCRIVEL_PATH};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.argv.push_back(log);
    o.stdin_fd = ends[0];
    harness::child c = harness::spawn(o);
    EXPECT_TRUE(harness::eventually(10, [&] { return harness::file_exists(log); }));
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    return c;
}

// Whole lines only: a file that does not end in a newline has a torn line.
bool whole_lines(const std::string& text)
{
    return text.empty() || text.back() == '\n';
}

struct storm {
    long lines = 0;
    int rotations = 0;
    int done = 0;           // rotations made
    int while_feeding = 0;  // of them, made while the writer was in the middle of a piece run
    std::string input;
    harness::outcome result;
};

// Feeds s->lines numbered lines to the logger in pieces of varied sizes (so
// lines are split across reads) and calls rotate(k) for k = 1 to
// s->rotations, spread over the feeding: the input is cut into segments, the
// kth rotation comes once the writer is into segment k, and the writer waits
// at the start of segment k + 2 until it is done. rotate returns false to
// stop. The writer slows down to spread each segment over about two
// rotations' time, however long a rotation takes (logrotate starts
// processes; the sanitizers slow the logger). A rotation counts as made while
// feeding when the writer is busy or the logger has input waiting as it begins.
void rotate_while_feeding(harness::child* c, storm* s, const std::function<bool(int)>& rotate)
{
    for (long i = 0; i < s->lines; ++i)
        s->input += numbered_line(i);
    const long segment = s->lines / (s->rotations + 3);
    std::atomic<long> fed{0};
    std::atomic<int> rotated{0};
    std::atomic<bool> writing{false};
    std::atomic<long> rotation_us{0};
    std::thread writer([&] {
        static const std::size_t sizes[] = {1, 700, 4096, 13, 9000, 64, 3, 2500};
        const long pieces_per_segment = std::max(1L, static_cast<long>(s->input.size()) / (s->rotations + 3) / 2047);
        std::size_t at = 0;
        for (unsigned n = 0; at < s->input.size(); ++n) {
            long k = fed / segment;
            writing = false;
            harness::eventually(60, [&] { return rotated >= k - 2 || rotated == s->rotations; });
            writing = true;
            std::size_t size = std::min(sizes[n % 8], s->input.size() - at);
            if (!harness::write_all(c->in, s->input.substr(at, size)))
                break;
            fed += std::count(s->input.begin() + static_cast<long>(at), s->input.begin() + static_cast<long>(at + size),
                              '\n');
            at += size;
            usleep(static_cast<useconds_t>(std::max(200L, 2 * rotation_us / pieces_per_segment)));
        }
        writing = false;
    });
    for (int k = 1; k <= s->rotations; ++k) {
        harness::eventually(60, [&] { return fed >= segment * k + segment / 4; });
        int waiting = 0;
        if (fed < s->lines && (writing || (ioctl(c->in, FIONREAD, &waiting) == 0 && waiting > 0)))
            ++s->while_feeding;
        double began = reliability::now();
        bool ok = rotate(k);
        rotation_us = static_cast<long>((reliability::now() - began) * 1e6);
        rotated = k;
        if (!ok)
            break;
        ++s->done;
    }
    rotated = s->rotations;
    writer.join();
    s->result = harness::finish(c, 60);
}

TEST(scrivel_torture, a_storm_of_renames_and_sighups_loses_tears_and_repeats_no_line)
{
    storm s;
    s.lines = reliability::scaled(200000, 2);
    s.rotations = 100;
    std::string dir = fast_temp_dir(), log = dir + "/log";
    harness::child c = start_scrivel({log});
    ASSERT_TRUE(harness::eventually(10, [&] { return harness::file_exists(log); }));
    pid_t pid = c.pid;
    // Each rotation waits until the logger writes to the path again, so the
    // files hold the input in the order of their names.
    rotate_while_feeding(&c, &s, [&](int k) {
        std::string moved = log + "." + std::to_string(k);
        if (rename(log.c_str(), moved.c_str()) != 0 || kill(pid, SIGHUP) != 0) {
            ADD_FAILURE() << "rotation " << k << " failed: " << std::strerror(errno);
            return false;
        }
        if (!harness::eventually(20, [&] { return holds_open(pid, log); })) {
            ADD_FAILURE() << "no reopen after rotation " << k;
            return false;
        }
        return true;
    });
    EXPECT_FALSE(s.result.timed_out);
    EXPECT_EQ(s.result.status, 0);
    EXPECT_EQ(s.result.err, "");

    std::string all;
    for (int k = 1; k <= s.done; ++k) {
        std::string part = harness::read_file(log + "." + std::to_string(k));
        EXPECT_TRUE(whole_lines(part)) << "torn line at the end of file " << k;
        all += part;
    }
    all += harness::read_file(log);
    EXPECT_TRUE(all == s.input) << "the files hold " << all.size() << " of " << s.input.size() << " bytes";
    EXPECT_EQ(s.done, s.rotations);
    EXPECT_GE(s.while_feeding, s.rotations * 3 / 4);
    harness::remove_tree(dir);
    reliability::report_figure("rotation storm: " + std::to_string(s.lines) + " lines checked across " +
                               std::to_string(s.done + 1) + " files, " + std::to_string(s.done) +
                               " renames and SIGHUPs (" + std::to_string(s.while_feeding) + " while feeding)");
}

TEST(scrivel_torture, rotation_by_logrotate_while_feeding_keeps_every_line_exactly_once)
{
    const std::string logrotate = "/usr/sbin/logrotate";
    if (access(logrotate.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no logrotate";
    storm s;
    s.lines = reliability::scaled(100000, 2);
    s.rotations = 30;
    std::string dir = fast_temp_dir(), log = dir + "/app.log";
    harness::child c = start_scrivel({log});
    pid_t pid = c.pid;
    std::string config = dir + "/rotate.conf";
    harness::write_file(config,
                        log + " {\n    rotate 1000\n    create 0644\n    missingok\n    nocompress\n    postrotate\n" +
                            "        kill -HUP " + std::to_string(pid) + "\n    endscript\n}\n");
    rotate_while_feeding(&c, &s, [&](int k) {
        harness::spawn_options o;
        o.argv = {logrotate, "-f", "-s", dir + "/state", config};
        harness::outcome rotated = harness::run(o, "", 30);
        if (rotated.status != 0) {
            ADD_FAILURE() << "logrotate failed: " << rotated.err;
            return false;
        }
        // logrotate creates the new file itself: wait until the logger has
        // reopened it before the next round moves it.
        if (!harness::eventually(20, [&] { return holds_open(pid, log); })) {
            ADD_FAILURE() << "no reopen after rotation " << k;
            return false;
        }
        return true;
    });
    EXPECT_EQ(s.result.status, 0);
    EXPECT_EQ(s.result.err, "");

    // logrotate gives the oldest file the highest number.
    std::string all;
    for (int k = s.done; k >= 1; --k) {
        std::string part = harness::read_file(log + "." + std::to_string(k));
        EXPECT_TRUE(whole_lines(part)) << "torn line at the end of " << log << "." << k;
        all += part;
    }
    all += harness::read_file(log);
    EXPECT_TRUE(all == s.input) << "the files hold " << all.size() << " of " << s.input.size() << " bytes";
    EXPECT_EQ(s.done, s.rotations);
    EXPECT_GE(s.while_feeding, s.rotations * 3 / 4);
    harness::remove_tree(dir);
    reliability::report_figure("logrotate: " + std::to_string(s.lines) + " lines checked across " +
                               std::to_string(s.done + 1) + " files, " + std::to_string(s.done) + " rotations (" +
                               std::to_string(s.while_feeding) + " while feeding)");
}

// Random lines, empty and long ones among them.
std::string random_text(std::mt19937* random, std::size_t size)
{
    std::string text;
    std::uniform_int_distribution<int> length(0, 200), rare(0, 40), letter('a', 'z');
    while (text.size() < size) {
        int n = rare(*random) == 0 ? 7000 : length(*random);
        text.append(static_cast<std::size_t>(n), static_cast<char>(letter(*random)));
        text += '\n';
    }
    return text;
}

// A record of -c starts with the 24 characters of ctime and a space.
bool strip_stamps(const std::string& file, std::string* lines)
{
    for (const std::string& record : reliability::lines_of(file)) {
        if (record.size() < 26 || record[3] != ' ' || record[7] != ' ' || record[13] != ':' || record[16] != ':' ||
            record[24] != ' ')
            return false;
        *lines += record.substr(25) + "\n";
    }
    return whole_lines(file);
}

TEST(scrivel_torture, sigterm_at_random_moments_writes_everything_read_exactly_once)
{
    const int runs = 50;
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> delay_us(0, 30000), piece(1, 5000);
    const std::string input = random_text(&random, 8 << 20);
    std::string dir = fast_temp_dir();
    long lines_checked = 0;
    std::size_t bytes_checked = 0;
    int held_a_partial_line = 0;
    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        bool stamped = run % 2 == 1;
        std::string log = dir + "/log" + std::to_string(run);
        // Feed without blocking until the moment comes, signal, and keep
        // feeding until the logger has gone: bytes still in the pipe then
        // were never read.
        int ends[2] = {-1, -1};
        harness::child c =
            start_on_pipe(stamped ? std::vector<std::string>{"-c"} : std::vector<std::string>{}, log, ends);
        ASSERT_FALSE(HasFailure());
        std::size_t written = 0;
        double signal_at = reliability::now() + delay_us(random) / 1e6;
        bool signalled = false;
        harness::outcome r;
        for (;;) {
            if (!signalled && reliability::now() >= signal_at) {
                kill(c.pid, SIGTERM);
                signalled = true;
            }
            if (written < input.size()) {
                std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(piece(random)), input.size() - written);
                ssize_t w = write(ends[1], input.data() + written, n);
                if (w > 0)
                    written += static_cast<std::size_t>(w);
            }
            if (signalled) {
                int status = 0;
                pid_t gone = waitpid(c.pid, &status, WNOHANG);
                if (gone == c.pid) {
                    r.exited = WIFEXITED(status);
                    r.status = r.exited ? WEXITSTATUS(status) : -1;
                    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
                    c.pid = -1;
                    break;
                }
            }
            pollfd p = {ends[1], POLLOUT, 0};
            poll(&p, 1, 1);
        }
        close(ends[1]);
        reliability::filled_pipe rest{ends[0]};
        std::size_t taken = written - reliability::unread_bytes(&rest);
        std::string err = harness::read_for(c.err, 5);
        harness::close_fd(&c.out);
        harness::close_fd(&c.err);

        EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(err, "");
        std::string file = harness::read_file(log), lines;
        if (stamped)
            EXPECT_TRUE(strip_stamps(file, &lines)) << "a record without its stamp";
        else
            lines = file;
        std::string expected = reliability::records_of(input.substr(0, taken));
        EXPECT_TRUE(lines == expected) << "read " << taken << " bytes, the file holds " << lines.size() << " of "
                                       << expected.size() << " bytes expected";
        if (taken > 0 && input[taken - 1] != '\n')
            ++held_a_partial_line;
        lines_checked += static_cast<long>(reliability::lines_of(lines).size());
        bytes_checked += taken;
        unlink(log.c_str());
        if (HasFailure())
            break;
    }
    harness::remove_tree(dir);
    reliability::report_figure("sigterm: " + std::to_string(runs) + " runs, " + std::to_string(lines_checked) +
                               " records checked over " + std::to_string(bytes_checked) + " bytes read, " +
                               std::to_string(held_a_partial_line) + " runs ended holding part of a line");
}

// SIGKILL gives the logger no chance to write what it holds: the lines read
// ahead of the last record and the start of the line in hand. A read comes
// only when no complete line is held, and takes at most 4096 bytes, so that
// is at most one read's worth beyond the line in hand. The file holds a
// prefix of the input: whole records, but for the one being written, which
// the kernel may cut where it crosses a page of the file.
TEST(scrivel_torture, sigkill_at_random_moments_loses_at_most_one_read_beyond_the_line_in_hand)
{
    const long runs = reliability::scaled(200, 2);
    const std::size_t read_size = 4096;
    long torn = 0, torn_at_a_page = 0;
    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> delay_us(0, 20000), piece(1, 5000);
    std::string input;
    for (long i = 0; input.size() < (4 << 20); ++i) {
        input += "line " + std::to_string(10000000 + i).substr(1) + "\n";
    }
    std::string dir = fast_temp_dir();
    std::size_t most_bytes = 0, most_lines = 0, total_lines = 0;
    for (long run = 0; run < runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        std::string log = dir + "/log" + std::to_string(run);
        int ends[2] = {-1, -1};
        harness::child c = start_on_pipe({}, log, ends);
        ASSERT_FALSE(HasFailure());
        std::size_t written = 0;
        double kill_at = reliability::now() + delay_us(random) / 1e6;
        while (reliability::now() < kill_at) {
            std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(piece(random)), input.size() - written);
            ssize_t w = write(ends[1], input.data() + written, n);
            if (w > 0)
                written += static_cast<std::size_t>(w);
            pollfd p = {ends[1], POLLOUT, 0};
            poll(&p, 1, 1);
        }
        kill(c.pid, SIGKILL);
        harness::outcome r = harness::finish(&c, 10);
        EXPECT_EQ(r.signal, SIGKILL);
        close(ends[1]);
        reliability::filled_pipe rest{ends[0]};
        std::size_t taken = written - reliability::unread_bytes(&rest);
        std::string file = harness::read_file(log);
        if (!whole_lines(file)) {
            ++torn;
            torn_at_a_page += file.size() % 4096 == 0 ? 1 : 0;
        }
        ASSERT_LE(file.size(), taken);
        ASSERT_TRUE(input.compare(0, file.size(), file) == 0) << "the file is not a prefix of the input";
        std::size_t lost = taken - file.size();
        // A torn record counts as lost, as does the line in hand.
        std::size_t lost_lines = static_cast<std::size_t>(
            std::count(input.begin() + static_cast<long>(file.size()), input.begin() + static_cast<long>(taken), '\n'));
        if (taken > 0 && input[taken - 1] != '\n')
            ++lost_lines;
        // The line in hand (13 bytes here) and one read.
        EXPECT_LE(lost, read_size + 13);
        most_bytes = std::max(most_bytes, lost);
        most_lines = std::max(most_lines, lost_lines);
        total_lines += lost_lines;
        unlink(log.c_str());
    }
    harness::remove_tree(dir);
    reliability::report_figure("sigkill: " + std::to_string(runs) + " runs on 13-byte lines, at most " +
                               std::to_string(most_bytes) + " bytes (" + std::to_string(most_lines) +
                               " lines) read and not written, " +
                               std::to_string(static_cast<long>(total_lines) / runs) + " lines on average; " +
                               std::to_string(torn) + " runs ended with the last record cut, " +
                               std::to_string(torn_at_a_page) + " of them at a page boundary of the file");
}

// The ith line of a restart storm: its number, a space, filler, a newline;
// 10 to 3,000 bytes in all, so that one write puts it into a pipe whole.
std::string storm_line(long i)
{
    std::string line = std::to_string(1000000 + i) + " ";
    line.append(static_cast<std::size_t>(1 + i * 7919 % 2991), static_cast<char>('a' + i % 26));
    return line + "\n";
}

// What the records of a storm hold: how many are not a line exactly as
// written, and how many lines are missing or there more than once.
struct storm_count {
    long records = 0;
    long malformed = 0;
    long missing = 0;
    long duplicated = 0;
};

storm_count count_storm(const std::string& file, long written, bool stamped)
{
    storm_count n;
    std::vector<int> seen(static_cast<std::size_t>(written), 0);
    for (std::size_t at = 0, end; at < file.size(); at = end + 1) {
        end = file.find('\n', at);
        if (end == std::string::npos)
            end = file.size();
        ++n.records;
        std::string record = file.substr(at, end - at);
        if (stamped) {
            if (record.size() < 25 || record[3] != ' ' || record[13] != ':' || record[24] != ' ') {
                ++n.malformed;
                continue;
            }
            record.erase(0, 25);
        }
        long i = record.size() > 8 && record[7] == ' ' ? std::atol(record.substr(0, 7).c_str()) - 1000000 : -1;
        if (i < 0 || i >= written || record + "\n" != storm_line(i)) {
            ++n.malformed;
            continue;
        }
        ++seen[static_cast<std::size_t>(i)];
    }
    for (int s : seen) {
        n.missing += s == 0 ? 1 : 0;
        n.duplicated += s > 1 ? s - 1 : 0;
    }
    return n;
}

// The log service of a supervisor restarted again and again while its
// daemon writes: the supervisor holds the log pipe open (here a FIFO open
// for reading and writing), so nothing is lost between two loggers, and each
// logger that is told to stop must hand the next one the input at a line's
// start. Each restart stops the old logger and waits for it before it starts
// the new one, as runsv and systemd do: two loggers reading one pipe at once
// would split lines between them whatever either did.
TEST(scrivel_torture, a_storm_of_restarts_on_a_held_pipe_splits_loses_and_repeats_no_line)
{
    const int restarts = 300;
    for (bool stamped : {false, true}) {
        SCOPED_TRACE(stamped ? "with -c" : "without -c");
        std::string dir = fast_temp_dir(), fifo = dir + "/fifo", log = dir + "/log";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int held = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        int reader = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_GE(reader, 0);
        std::atomic<bool> stop{false};
        std::atomic<long> written{0};
        std::thread writer([&] {
            int w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            for (long i = 0; w >= 0 && !stop; ++i) {
                std::string line = storm_line(i);
                if (write(w, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                    break;
                written = i + 1;
                if (i % 8 == 0)
                    usleep(500);
            }
            close(w);
        });
        std::mt19937 random(20261210);
        std::uniform_int_distribution<int> dwell_us(0, 3000);
        std::vector<std::string> args = {log};
        if (stamped)
            args.insert(args.begin(), "-c");
        harness::outcome last;
        for (int k = 0; k <= restarts; ++k) {
            harness::spawn_options o;
            o.argv = {SCRIVEL_PATH};
            o.argv.insert(o.argv.end(), args.begin(), args.end());
            o.stdin_fd = reader;
            harness::child c = harness::spawn(o);
            ASSERT_TRUE(harness::eventually(10, [&] { return catches_signals(c.pid) && holds_open(c.pid, log); }));
            if (k == restarts) {
                // The last logger takes everything: the writer stops after a
                // whole line, and no line is in hand.
                stop = true;
                writer.join();
                ASSERT_TRUE(harness::eventually(60, [&] {
                    int n = -1;
                    return ioctl(reader, FIONREAD, &n) == 0 && n == 0;
                }));
                usleep(100000);
            } else {
                usleep(static_cast<useconds_t>(dwell_us(random)));
            }
            kill(c.pid, SIGTERM);
            last = harness::finish(&c, 30);
            ASSERT_FALSE(last.timed_out) << "restart " << k;
            ASSERT_TRUE(last.exited) << "restart " << k << ": signal " << last.signal;
            ASSERT_EQ(last.status, 0) << "restart " << k;
            ASSERT_EQ(last.err, "") << "restart " << k;
        }
        storm_count n = count_storm(harness::read_file(log), written, stamped);
        EXPECT_EQ(n.malformed, 0);
        EXPECT_EQ(n.missing, 0);
        EXPECT_EQ(n.duplicated, 0);
        EXPECT_EQ(n.records, written);
        close(held);
        close(reader);
        harness::remove_tree(dir);
        reliability::report_figure(std::string("restart storm") + (stamped ? " with -c: " : ": ") +
                                   std::to_string(restarts) + " restarts, " + std::to_string(written) + " lines, " +
                                   std::to_string(n.records) + " records: " + std::to_string(n.malformed) +
                                   " malformed, " + std::to_string(n.missing) + " missing, " +
                                   std::to_string(n.duplicated) + " duplicated");
    }
}

TEST(scrivel_torture, a_full_disk_delays_records_with_a_warning_every_5_seconds_then_writes_them_once)
{
    std::string dir = harness::make_temp_dir(), mnt = dir + "/mnt";
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
        harness::remove_tree(dir);
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    // Records already in the file end part-way into its only page, so the
    // first new record is cut short where the disk is full.
    std::string log = mnt + "/log", before;
    for (int i = 0; before.size() < 4000; ++i)
        before += "earlier record " + std::to_string(i) + "\n";
    harness::write_file(log, before);
    std::string filler = mnt + "/filler";
    int f = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(f, 0);
    const std::string page(4096, 'f');
    while (write(f, page.data(), page.size()) > 0) {
    }
    close(f);

    harness::child c = start_scrivel({log});
    std::string input;
    for (int i = 0; i < 20; ++i)
        input += "record " + std::to_string(i) + " " + std::string(200, static_cast<char>('a' + i)) + "\n";
    ASSERT_TRUE(harness::write_all(c.in, input));
    const std::string warning = "scrivel: " + log + ": unable to write to logfile\n";
    std::vector<double> warned;
    std::string err;
    while (warned.size() < 3) {
        std::string got = harness::read_until(c.err, 10, warning);
        if (got.empty())
            break;
        err += got;
        while (err.size() >= warning.size() * (warned.size() + 1))
            warned.push_back(reliability::now());
    }
    ASSERT_EQ(warned.size(), 3u) << err;
    EXPECT_EQ(err, warning + warning + warning);
    for (std::size_t i = 1; i < warned.size(); ++i) {
        EXPECT_GE(warned[i] - warned[i - 1], 4.5);
        EXPECT_LE(warned[i] - warned[i - 1], 8.0);
    }
    unlink(filler.c_str());
    harness::close_fd(&c.in);
    harness::outcome r = harness::finish(&c, 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(harness::read_file(log) == before + input) << harness::read_file(log).size() << " bytes";
    umount2(mnt.c_str(), MNT_DETACH);
    harness::remove_tree(dir);
    reliability::report_figure("full disk: " + std::to_string(warned.size()) + " warnings " +
                               std::to_string(warned[2] - warned[0]) +
                               " s apart in all, then 20 records whole and once");
}

}  // namespace
