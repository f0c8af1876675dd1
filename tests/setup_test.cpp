// SPDX-License-Identifier: ISC
// tests/setup_test.cpp - confinement, descriptor flags, locks, pauses and the
// wake-up pipe
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "setup.h"
#include "unit_support.h"

namespace kestrix {
const char* program_name = "hoodwain";
const char* usage_text = "Usage: hoodwain [OPTIONS]\nA simple anonymous identd server.\n\n"
                         "-n        Return a HIDDEN-USER response\n"
                         "-c ID     Return a USERID:UNIX ID response\n";
}  // namespace kestrix

using namespace kestrix;

namespace {

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int closed_descriptor()
{
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}

// ---- numbers ----

TEST(setup, scan_int32_reads_numbers_by_the_atoi_rules)
{
    struct row {
        const char* text;
        int result;
        std::int32_t value;
    };
    const row rows[] = {
        {"100", 1, 100},
        {" 7", 1, 7},
        {"\t\n\v\f\r 3", 1, 3},
        {"+5", 1, 5},
        {"12abc", 1, 12},
        {"-1", 1, -1},
        {"-0", 1, 0},
        {"007", 1, 7},
        {"0x10", 1, 0},
        {"2147483647", 1, INT32_MAX},
        {"-2147483648", 1, INT32_MIN},
        {"nobody", 0, 0},
        {"", 0, 0},
        {"   ", 0, 0},
        {"-", 0, 0},
        {"+-3", 0, 0},
        {"- 3", 0, 0},
        {"2147483648", -1, 0},
        {"-2147483649", -1, 0},
        {"4294967296", -1, 0},
        {"4294967297", -1, 0},
        {"99999999999999999999", -1, 0},
        {"-99999999999999999999999999999", -1, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string("\"") + r.text + "\"");
        std::int32_t value = 12345;
        EXPECT_EQ(scan_int32(r.text, &value), r.result);
        EXPECT_EQ(value, r.value);
        if (r.result >= 0) {
            EXPECT_EQ(value, std::atoi(r.text)) << "agrees with atoi where atoi is defined";
        }
    }
}

// ---- confinement ----

// The ids the kernel reports for this process, and whether the root and
// working directory are a test directory (it holds a file named "marker").
std::string ids_now()
{
    uid_t ru = 0, eu = 0, su = 0;
    gid_t rg = 0, eg = 0, sg = 0;
    getresuid(&ru, &eu, &su);
    getresgid(&rg, &eg, &sg);
    std::string s = "uid=" + std::to_string(ru) + "," + std::to_string(eu) + "," + std::to_string(su) +
                    " gid=" + std::to_string(rg) + "," + std::to_string(eg) + "," + std::to_string(sg) + " groups=";
    int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(n > 0 ? n : 0));
    n = getgroups(n, groups.data());
    for (int i = 0; i < n; ++i)
        s += (i ? "," : "") + std::to_string(groups[static_cast<std::size_t>(i)]);
    struct stat st {};
    if (stat("/marker", &st) == 0 && stat("marker", &st) == 0)
        s += " confined";
    return s;
}

void report_ids()
{
    harness::write_all(1, ids_now());
}

void report_ids_at_exit()
{
    harness::write_all(1, "at exit " + ids_now());
}

// The environment of one drop_privileges call; null leaves a variable unset.
struct confinement {
    const char* root;
    const char* gid;
    const char* uid;
};

void set_or_unset(const char* name, const char* value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

// In a child: optional set-up, then the environment, then drop_privileges;
// the ids are reported when it returns and when the process exits.
harness::outcome confine(const confinement& c, void (*before)() = nullptr)
{
    return unit::run([&c, before] {
        unit::check_leaks_now();
        if (before)
            before();
        std::atexit(report_ids_at_exit);
        set_or_unset("ROOT", c.root);
        set_or_unset("GID", c.gid);
        set_or_unset("UID", c.uid);
        drop_privileges();
        report_ids();
    });
}

// The groups of this process as ids_now shows them.
std::string own_groups()
{
    std::string s = ids_now();
    return s.substr(s.find("groups="));
}

// Whether this process may confine children: root, and chroot and the id
// calls not refused (a container may refuse them).
bool may_confine(std::string* why)
{
    if (getuid() != 0 || geteuid() != 0 || getgid() != 0 || getegid() != 0) {
        *why = "needs root (user and group 0)";
        return false;
    }
    std::string dir = harness::make_temp_dir();
    harness::outcome o = unit::run([&dir] {
        gid_t one = 100;
        if (chroot(dir.c_str()) < 0 || setgroups(1, &one) < 0 || setresgid(100, 100, 100) < 0 ||
            setresuid(1000, 1000, 1000) < 0)
            _exit(1);
        _exit(0);
    });
    harness::remove_tree(dir);
    if (!o.exited || o.status != 0) {
        *why = "chroot, setgroups or the id calls are refused here";
        return false;
    }
    return true;
}

#define REQUIRE_CONFINEMENT()                                                                                          \
    do {                                                                                                               \
        std::string why;                                                                                               \
        if (!may_confine(&why))                                                                                        \
            GTEST_SKIP() << why;                                                                                       \
    } while (0)

TEST(setup, drop_privileges_without_variables_changes_nothing)
{
    harness::outcome o = unit::run([] {
        std::string before = ids_now();
        unsetenv("ROOT");
        unsetenv("GID");
        unsetenv("UID");
        drop_privileges();
        harness::write_all(1, before == ids_now() ? "same" : "changed: " + before + " -> " + ids_now());
    });
    EXPECT_TRUE(unit::returned(o, "same", ""));
}

TEST(setup, drop_privileges_sets_the_group_and_the_only_supplementary_group)
{
    REQUIRE_CONFINEMENT();
    struct row {
        const char* gid;
        const char* expected;
    };
    const row rows[] = {
        {"100", "uid=0,0,0 gid=100,100,100 groups=100"},
        {"12abc", "uid=0,0,0 gid=12,12,12 groups=12"},
        {" 7", "uid=0,0,0 gid=7,7,7 groups=7"},
        {"+5", "uid=0,0,0 gid=5,5,5 groups=5"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.gid);
        EXPECT_TRUE(unit::returned(confine({nullptr, r.gid, nullptr}), r.expected, ""));
    }
}

TEST(setup, drop_privileges_with_uid_only_changes_only_the_user)
{
    REQUIRE_CONFINEMENT();
    std::string groups = own_groups();
    EXPECT_TRUE(unit::returned(confine({nullptr, nullptr, "1000"}), "uid=1000,1000,1000 gid=0,0,0 " + groups, ""));
    EXPECT_TRUE(unit::returned(confine({nullptr, nullptr, "12abc"}), "uid=12,12,12 gid=0,0,0 " + groups, ""));
}

TEST(setup, drop_privileges_confines_root_then_group_then_user)
{
    REQUIRE_CONFINEMENT();
    std::string dir = harness::make_temp_dir();
    chmod(dir.c_str(), 0755);  // the new user looks around inside it
    harness::write_file(dir + "/marker", "");
    harness::outcome o = confine({dir.c_str(), "100", "1000"});
    EXPECT_TRUE(unit::returned(o, "uid=1000,1000,1000 gid=100,100,100 groups=100 confined", ""));
    harness::remove_tree(dir);
}

TEST(setup, drop_privileges_ends_with_the_root_as_subject_when_chroot_fails)
{
    REQUIRE_CONFINEMENT();
    std::string dir = harness::make_temp_dir();
    std::string file = dir + "/plain";
    harness::write_file(file, "");
    std::string groups = own_groups();
    const char* roots[] = {"", "/nonexistent/kestrix-root", file.c_str()};
    for (const char* root : roots) {
        SCOPED_TRACE(root);
        // GID is set too: nothing after the refused step may happen.
        harness::outcome o = confine({root, "100", "1000"});
        EXPECT_TRUE(unit::ended(o, 111, "at exit uid=0,0,0 gid=0,0,0 " + groups,
                                std::string("hoodwain: ") + root + ": unable to chroot\n"));
    }
    harness::remove_tree(dir);
}

void become_group_50()
{
    gid_t one = 50;
    if (setgroups(1, &one) < 0 || setresgid(50, 50, 50) < 0)
        _exit(126);
}

void become_user_50_for_now()
{
    if (seteuid(50) < 0)
        _exit(126);
}

TEST(setup, drop_privileges_refuses_ids_that_are_not_numbers_before_using_them)
{
    REQUIRE_CONFINEMENT();
    // A value without digits or out of range must never become id 0: the
    // process ends before any setgid or setuid, so ids it held stay.
    for (const char* text : {"nobody", "", "4294967296", "-2147483649", "99999999999999999999"}) {
        SCOPED_TRACE(std::string("\"") + text + "\"");
        EXPECT_TRUE(unit::ended(confine({nullptr, text, "1000"}, become_group_50), 111,
                                "at exit uid=0,0,0 gid=50,50,50 groups=50", "hoodwain: unable to setgid\n"));
        harness::outcome o = confine({nullptr, nullptr, text}, become_user_50_for_now);
        EXPECT_TRUE(
            unit::ended(o, 111, "at exit uid=0,50,0 gid=0,0,0 " + own_groups(), "hoodwain: unable to setuid\n"));
    }
}

void become_nobody()
{
    gid_t one = 65534;
    if (setgroups(1, &one) < 0 || setresgid(65534, 65534, 65534) < 0 || setresuid(65534, 65534, 65534) < 0)
        _exit(126);
}

TEST(setup, drop_privileges_without_privilege_ends_at_the_refused_step)
{
    REQUIRE_CONFINEMENT();
    const std::string nobody = "uid=65534,65534,65534 gid=65534,65534,65534 groups=65534";
    EXPECT_TRUE(unit::ended(confine({nullptr, nullptr, "0"}, become_nobody), 111, "at exit " + nobody,
                            "hoodwain: unable to setuid\n"));
    EXPECT_TRUE(unit::ended(confine({nullptr, "0", nullptr}, become_nobody), 111, "at exit " + nobody,
                            "hoodwain: unable to setgid\n"));
    // Its own group is allowed; the group list is not.
    EXPECT_TRUE(unit::ended(confine({nullptr, "65534", nullptr}, become_nobody), 111, "at exit " + nobody,
                            "hoodwain: unable to setgroups\n"));
    std::string dir = harness::make_temp_dir();
    EXPECT_TRUE(unit::ended(confine({dir.c_str(), nullptr, nullptr}, become_nobody), 111, "at exit " + nobody,
                            "hoodwain: " + dir + ": unable to chroot\n"));
    harness::remove_tree(dir);
}

// ---- descriptor flags ----

TEST(setup, change_flags_sets_first_and_clears_last)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int w = fds[1];
    auto flags = [w] { return fcntl(w, F_GETFL) & (O_APPEND | O_NONBLOCK | O_ACCMODE); };
    ASSERT_EQ(flags(), O_WRONLY);

    struct row {
        int set;
        int clear;
        int expected;
    };
    const row rows[] = {
        {O_APPEND | O_NONBLOCK, 0, O_WRONLY | O_APPEND | O_NONBLOCK},
        {0, O_APPEND, O_WRONLY | O_NONBLOCK},
        {O_APPEND, O_APPEND, O_WRONLY | O_NONBLOCK},
        {O_NONBLOCK, O_NONBLOCK, O_WRONLY},
        {0, 0, O_WRONLY},
        {O_APPEND, O_NONBLOCK | O_APPEND, O_WRONLY},
        {O_NONBLOCK, 0, O_WRONLY | O_NONBLOCK},
        {0, O_APPEND | O_NONBLOCK, O_WRONLY},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "set " << r.set << " clear " << r.clear);
        fd_change_flags(w, r.set, r.clear);
        EXPECT_EQ(flags(), r.expected);
    }
    close(fds[0]);
    close(fds[1]);
}

TEST(setup, change_flags_failures_end_the_process)
{
    int fd = closed_descriptor();
    EXPECT_TRUE(unit::ended(unit::run([fd] { fd_change_flags(fd, O_NONBLOCK, 0); }), 111, "",
                            "hoodwain: unable to read FD flags\n"));

    // A path descriptor shows its flags but refuses to change them.
    int path = open("/", O_PATH | O_CLOEXEC);
    ASSERT_GE(path, 0);
    if (fcntl(path, F_SETFL, O_NONBLOCK) == 0 || fcntl(path, F_GETFL) < 0) {
        close(path);
        GTEST_SKIP() << "this system changes the flags of a path descriptor";
    }
    EXPECT_TRUE(unit::ended(unit::run([path] { fd_change_flags(path, O_NONBLOCK, 0); }), 111, "",
                            "hoodwain: unable to set FD flags\n"));
    close(path);
}

TEST(setup, set_cloexec_makes_the_descriptor_flags_exactly_close_on_exec)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_GETFD), 0);
    fd_set_cloexec(fds[0]);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), FD_CLOEXEC);
    fd_set_cloexec(fds[0]);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(fcntl(fds[0], F_GETFL) & O_ACCMODE, O_RDONLY) << "status flags untouched";
    close(fds[0]);
    close(fds[1]);

    int fd = closed_descriptor();
    EXPECT_TRUE(unit::ended(unit::run([fd] { fd_set_cloexec(fd); }), 111, "", "hoodwain: unable to set FD_CLOEXEC\n"));
}

// ---- locks ----

// A process that holds the lock on path: it writes "L" once it holds it and
// lets go (by ending) when a byte arrives on its input or the input ends.
// Other children inherit the test's end of that input, so the byte is what
// releases it.
harness::child hold_lock(const std::string& path)
{
    return unit::start([&path] {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || fd_lock(fd, 0) != 0)
            _exit(1);
        harness::write_all(1, "L");
        char c;
        ssize_t ignored = read(0, &c, 1);
        (void)ignored;
        _exit(0);
    });
}

volatile sig_atomic_t interruptions = 0;

void count_interruption(int)
{
    interruptions = interruptions + 1;
}

TEST(setup, lock_without_wait_fails_at_once_while_another_process_holds_it)
{
    std::string dir = harness::make_temp_dir();
    std::string path = dir + "/lock";
    harness::write_file(path, "");
    harness::child holder = hold_lock(path);
    ASSERT_EQ(harness::read_for(holder.out, 10, 1), "L");

    harness::outcome o = unit::run(
        [&path] {
            int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
            errno = 0;
            int r = fd_lock(fd, 0);
            harness::write_all(1, std::to_string(r) + (errno == EAGAIN || errno == EACCES ? " refused" : " other"));
        },
        5);
    EXPECT_TRUE(unit::returned(o, "-1 refused", ""));

    harness::write_all(holder.in, "x");
    harness::outcome h = harness::finish(&holder, 10);
    EXPECT_TRUE(h.exited && h.status == 0) << unit::describe(h);

    // Free again: taken at once, by this process too.
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(fd_lock(fd, 0), 0);
    EXPECT_EQ(fd_lock(fd, 1), 0);
    close(fd);
    harness::remove_tree(dir);
}

TEST(setup, lock_with_wait_blocks_through_signals_until_released)
{
    std::string dir = harness::make_temp_dir();
    std::string path = dir + "/lock";
    harness::write_file(path, "");
    harness::child holder = hold_lock(path);
    ASSERT_EQ(harness::read_for(holder.out, 10, 1), "L");

    harness::child waiter = unit::start([&path] {
        struct sigaction act = {};
        act.sa_handler = count_interruption;
        sigemptyset(&act.sa_mask);
        act.sa_flags = 0;  // no SA_RESTART: the blocked fcntl sees EINTR
        sigaction(SIGUSR1, &act, nullptr);
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        harness::write_all(1, "W");
        int r = fd_lock(fd, 1);
        harness::write_all(1, " " + std::to_string(r) + " after " + std::to_string(interruptions) + " signal");
        _exit(0);
    });
    EXPECT_EQ(harness::read_for(waiter.out, 10, 1), "W");
    EXPECT_TRUE(harness::idle(waiter.out, 0.5)) << "waits while the lock is held";
    kill(waiter.pid, SIGUSR1);
    EXPECT_TRUE(harness::idle(waiter.out, 0.5)) << "a handled signal does not end the wait";

    harness::write_all(holder.in, "x");
    harness::outcome w = harness::finish(&waiter, 10);
    EXPECT_TRUE(unit::ended(w, 0, " 0 after 1 signal", ""));
    harness::outcome h = harness::finish(&holder, 10);
    EXPECT_TRUE(h.exited && h.status == 0) << unit::describe(h);
    harness::remove_tree(dir);
}

// ---- pausing ----

TEST(setup, sleep_fully_returns_at_once_for_no_time)
{
    // A count taken as unsigned would sleep for ages; the child's time limit
    // catches that.
    harness::outcome o = unit::run(
        [] {
            sleep_fully(0);
            sleep_fully(-3);
            sleep_fully(INT_MIN);
        },
        5);
    EXPECT_TRUE(unit::returned(o, "", ""));
}

TEST(setup, sleep_fully_sleeps_the_whole_time_through_a_signal)
{
    harness::outcome o = unit::run(
        [] {
            struct sigaction act = {};
            act.sa_handler = count_interruption;
            sigemptyset(&act.sa_mask);
            sigaction(SIGALRM, &act, nullptr);
            itimerval once = {{0, 0}, {1, 0}};
            setitimer(ITIMER_REAL, &once, nullptr);
            double start = now();
            sleep_fully(2);
            double slept = now() - start;
            harness::write_all(1, std::to_string(static_cast<int>(slept * 1000)) + " " + std::to_string(interruptions));
        },
        20);
    ASSERT_TRUE(o.exited && o.status == unit::body_returned) << unit::describe(o);
    int ms = 0, signals = 0;
    ASSERT_EQ(std::sscanf(o.out.c_str(), "%d %d", &ms, &signals), 2) << o.out;
    EXPECT_EQ(signals, 1) << "the signal arrived during the sleep";
    EXPECT_GE(ms, 1900) << "slept the whole two seconds";
}

// ---- the wake-up pipe ----

// The other end of the pipe that fd reads, found among the open descriptors.
int write_end_of(int fd)
{
    struct stat mine {};
    if (fstat(fd, &mine) < 0)
        return -1;
    for (int other = 3; other < 1024; ++other) {
        struct stat st {};
        if (other != fd && fstat(other, &st) == 0 && st.st_dev == mine.st_dev && st.st_ino == mine.st_ino)
            return other;
    }
    return -1;
}

bool readable(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Made with all, one or none of 0, 1 and 2 closed, so that an end comes
// from pipe2 as it stands or from being lifted; a handler that found the pipe
// full and blocked would hang the child until its time limit.
TEST(setup, wake_pipe_lies_above_the_standard_descriptors_wakes_poll_and_never_blocks)
{
    const std::vector<std::vector<int>> closed = {{0, 1, 2}, {2}, {}};
    for (const std::vector<int>& standard : closed) {
        SCOPED_TRACE(std::to_string(standard.size()) + " standard descriptors closed");
        harness::outcome o = unit::run([&standard] {
            int report = fcntl(1, F_DUPFD_CLOEXEC, 3);
            for (int fd : standard)
                close(fd);
            std::string found;
            int read_end = wake_pipe_make();
            int write_end = write_end_of(read_end);
            for (int fd : standard)
                if (fcntl(fd, F_GETFD) >= 0)
                    found += "descriptor " + std::to_string(fd) + " taken\n";
            if (read_end < 3 || write_end < 3)
                found += "ends at " + std::to_string(read_end) + " and " + std::to_string(write_end) + "\n";
            for (int fd : {read_end, write_end}) {
                if ((fcntl(fd, F_GETFL) & O_NONBLOCK) == 0)
                    found += "end " + std::to_string(fd) + " blocks\n";
                if (fcntl(fd, F_GETFD) != FD_CLOEXEC)
                    found += "end " + std::to_string(fd) + " not close-on-exec\n";
            }

            errno = EDOM;
            wake_pipe_note();
            if (errno != EDOM)
                found += "a note changed errno\n";
            if (!readable(read_end))
                found += "a note does not wake poll\n";
            wake_pipe_drain(read_end);
            if (readable(read_end))
                found += "a drain left the note\n";

            // The last notes find the pipe full: their write fails with EAGAIN.
            int size = fcntl(read_end, F_SETPIPE_SZ, 4096) < 0 ? 65536 : fcntl(read_end, F_GETPIPE_SZ);
            errno = EDOM;
            for (int n = 0; n < size + 10; ++n)
                wake_pipe_note();
            if (errno != EDOM)
                found += "a note on a full pipe changed errno\n";
            int held = 0;
            if (ioctl(read_end, FIONREAD, &held) < 0 || held != size)
                found += "a full pipe holds " + std::to_string(held) + " of " + std::to_string(size) + "\n";
            wake_pipe_drain(read_end);
            if (readable(read_end))
                found += "a drain left notes of a full pipe\n";
            harness::write_all(report, found);
        });
        EXPECT_TRUE(unit::returned(o, "", ""));
    }
}

}  // namespace
