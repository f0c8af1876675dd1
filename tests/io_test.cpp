// SPDX-License-Identifier: ISC
// tests/io_test.cpp - descriptor I/O on buffers
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/time.h>
#include <unistd.h>

#include "io.h"
#include "unit_support.h"
#include "write_script.h"

using namespace kestrix;
using unit::buffer_is_sane;
using unit::content;

// The library's reads and searches come here too (-Wl,--wrap=read and
// -Wl,--wrap=memchr): reads on the watched descriptor are logged and may be
// failed by a script; searches are counted in bytes while counting is on.
namespace read_script {
constexpr int max_calls = 1024;
inline int watched = -1;
inline std::size_t call_sizes[max_calls];
inline int calls = 0;
inline int fail_at = -1;  // the logged call that fails instead of reading
inline int fail_errno = 0;

void watch(int fd)
{
    watched = fd;
    calls = 0;
    fail_at = -1;
}
}  // namespace read_script

namespace memchr_count {
inline bool on = false;
inline std::uint64_t bytes = 0;
inline std::uint64_t calls = 0;
}  // namespace memchr_count

extern "C" ssize_t __real_read(int fd, void* data, std::size_t n);
extern "C" ssize_t __wrap_read(int fd, void* data, std::size_t n)
{
    if (fd != read_script::watched || fd < 0)
        return __real_read(fd, data, n);
    int call = read_script::calls++;
    if (call < read_script::max_calls)
        read_script::call_sizes[call] = n;
    if (call == read_script::fail_at) {
        errno = read_script::fail_errno;
        return -1;
    }
    return __real_read(fd, data, n);
}

extern "C" void* __real_memchr(const void* s, int c, std::size_t n);
extern "C" void* __wrap_memchr(const void* s, int c, std::size_t n)
{
    if (memchr_count::on) {
        memchr_count::bytes += n;
        ++memchr_count::calls;
    }
    return __real_memchr(s, c, n);
}

namespace {

struct pipe_ends {
    int r = -1;
    int w = -1;
};

pipe_ends make_pipe(const std::string& data = "")
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        std::abort();
    pipe_ends p{fds[0], fds[1]};
    if (!harness::write_all(p.w, data))
        std::abort();
    return p;
}

void close_pipe(pipe_ends* p)
{
    harness::close_fd(&p->r);
    harness::close_fd(&p->w);
}

// What the pipe holds right now, without waiting for more.
std::string left_in(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string got;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        got.append(chunk, static_cast<std::size_t>(n));
    fcntl(fd, F_SETFL, flags);
    return got;
}

std::string drain(pipe_ends* p)
{
    harness::close_fd(&p->w);
    std::string got = left_in(p->r);
    harness::close_fd(&p->r);
    return got;
}

int closed_descriptor()
{
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}

// ---- writing ----

TEST(io, writes_of_nothing_make_no_call)
{
    int fd = closed_descriptor();
    write_script::watch(fd);
    EXPECT_EQ(fd_write_all(fd, "x", 0), 0);
    buffer b = {};
    EXPECT_EQ(buffer_write_all(fd, &b), 0);
    buffer_append_cstr(&b, "x");
    buffer_consume(&b, 1, nullptr);
    EXPECT_EQ(buffer_write_all(fd, &b), 0) << "length 0 with storage";
    EXPECT_EQ(write_script::calls, 0);
    write_script::stop();
    buffer_free(&b);
}

TEST(io, buffer_write_makes_exactly_one_call_and_returns_its_result)
{
    pipe_ends p = make_pipe();
    buffer b = {};
    write_script::watch(p.w);
    EXPECT_EQ(buffer_write(p.w, &b), 0);
    EXPECT_EQ(write_script::calls, 1) << "one call even when empty";
    EXPECT_EQ(write_script::call_sizes[0], 0u);

    buffer_append_cstr(&b, "abcdef");
    write_script::watch(p.w);
    write_script::add(0, 2);
    EXPECT_EQ(buffer_write(p.w, &b), 2);
    EXPECT_EQ(write_script::calls, 1) << "a short write is not continued";
    EXPECT_EQ(content(b), "abcdef");

    write_script::watch(p.w);
    write_script::add(EINTR, 0);
    errno = 0;
    EXPECT_EQ(buffer_write(p.w, &b), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(write_script::calls, 1) << "an interrupted write is not repeated";
    write_script::stop();

    int fd = closed_descriptor();
    EXPECT_EQ(buffer_write(fd, &b), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(drain(&p), "ab");
    buffer_free(&b);
}

TEST(io, write_all_rides_out_interruptions_and_short_writes)
{
    std::string data;
    for (int i = 0; i < 5000; ++i)
        data += static_cast<char>('a' + i % 26);
    struct row {
        const char* what;
        std::vector<write_script::step> steps;
        std::vector<std::size_t> sizes;
    };
    const row rows[] = {
        {"whole", {}, {5000}},
        {"interrupted", {{EINTR, 0}, {EINTR, 0}}, {5000, 5000, 5000}},
        {"short", {{0, 1000}, {0, 1}}, {5000, 4000, 3999}},
        {"mixed", {{0, 4096}, {EINTR, 0}, {0, 3}}, {5000, 904, 904, 901}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        for (int through_buffer = 0; through_buffer < 2; ++through_buffer) {
            pipe_ends p = make_pipe();
            buffer b = {};
            buffer_append(&b, data.data(), data.size());
            write_script::watch(p.w);
            for (const write_script::step& s : r.steps)
                write_script::add(s.error, s.most);
            int result = through_buffer ? buffer_write_all(p.w, &b) : fd_write_all(p.w, data.data(), data.size());
            EXPECT_EQ(result, 0);
            ASSERT_EQ(write_script::calls, static_cast<int>(r.sizes.size()));
            for (std::size_t i = 0; i < r.sizes.size(); ++i) {
                EXPECT_EQ(write_script::call_sizes[i], r.sizes[i]) << "call " << i;
            }
            write_script::stop();
            EXPECT_EQ(drain(&p), data);
            EXPECT_EQ(content(b), data) << "the buffer is not changed";
            buffer_free(&b);
        }
    }
}

TEST(io, write_all_fails_at_once_on_other_errors)
{
    pipe_ends p = make_pipe();
    write_script::watch(p.w);
    write_script::add(0, 3);
    write_script::add(EPIPE, 0);
    errno = 0;
    EXPECT_EQ(fd_write_all(p.w, "abcdefgh", 8), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(write_script::calls, 2);
    write_script::stop();
    EXPECT_EQ(drain(&p), "abc");

    buffer b = {};
    buffer_append_cstr(&b, "x");
    EXPECT_EQ(buffer_write_all(closed_descriptor(), &b), -1);
    EXPECT_EQ(errno, EBADF);
    buffer_free(&b);
}

// ---- reading ----

TEST(io, read_of_zero_bytes_reads_nothing)
{
    int fd = closed_descriptor();
    read_script::watch(fd);
    buffer b = {};
    EXPECT_EQ(buffer_read(fd, &b, 0), 0);
    EXPECT_EQ(read_script::calls, 0);
    EXPECT_EQ(b.storage, nullptr);
    read_script::watch(-1);
}

TEST(io, read_reserves_only_when_the_bytes_do_not_fit)
{
    pipe_ends p = make_pipe(std::string(300, 'r'));
    buffer b = {};
    EXPECT_EQ(buffer_read(p.r, &b, 100), 100);
    EXPECT_EQ(b.capacity, 256u);
    char* storage = b.storage;
    EXPECT_EQ(buffer_read(p.r, &b, 100), 100);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_EQ(b.storage, storage) << "200 bytes fit in 256: no resize";
    EXPECT_EQ(buffer_read(p.r, &b, 100), 100);
    EXPECT_EQ(b.capacity, 512u);
    EXPECT_EQ(content(b), std::string(300, 'r'));
    EXPECT_TRUE(buffer_is_sane(b));

    harness::close_fd(&p.w);
    EXPECT_EQ(buffer_read(p.r, &b, 100), 0) << "end of input";
    EXPECT_EQ(b.length, 300u);
    buffer_free(&b);

    // A read that fills the storage exactly.
    pipe_ends q = make_pipe(std::string(300, 'q'));
    EXPECT_EQ(buffer_read(q.r, &b, 256), 256);
    EXPECT_EQ(b.capacity, 512u);
    buffer_free(&b);
    buffer_reserve(&b, 1);
    EXPECT_EQ(buffer_read(q.r, &b, 256), 44);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);
    close_pipe(&p);
    close_pipe(&q);
}

TEST(io, read_failure_returns_minus_one_and_keeps_the_content)
{
    buffer b = {};
    buffer_append_cstr(&b, "kept");
    errno = 0;
    EXPECT_EQ(buffer_read(closed_descriptor(), &b, 10), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(content(b), "kept");
    buffer_free(&b);
}

TEST(io, read_all_reads_to_the_end_in_pieces_of_4096)
{
    buffer b = {};
    pipe_ends p = make_pipe();
    harness::close_fd(&p.w);
    EXPECT_EQ(buffer_read_all(p.r, &b), 0);
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(b.capacity, 4352u) << "reserved before the first read";
    buffer_free(&b);
    close_pipe(&p);

    std::string data;
    for (int i = 0; i < 10000; ++i)
        data += static_cast<char>(i % 251);
    p = make_pipe(data);
    harness::close_fd(&p.w);
    buffer_append_cstr(&b, "head:");
    read_script::watch(p.r);
    EXPECT_EQ(buffer_read_all(p.r, &b), 0);
    EXPECT_EQ(content(b), "head:" + data);
    EXPECT_TRUE(buffer_is_sane(b));
    ASSERT_GE(read_script::calls, 4);
    for (int i = 0; i < read_script::calls; ++i) {
        EXPECT_EQ(read_script::call_sizes[i], 4096u) << "read " << i;
    }
    read_script::watch(-1);
    buffer_free(&b);
    close_pipe(&p);
}

TEST(io, read_all_failure_keeps_what_came_before)
{
    pipe_ends p = make_pipe("first");
    buffer b = {};
    read_script::watch(p.r);
    read_script::fail_at = 1;
    read_script::fail_errno = EINTR;
    errno = 0;
    EXPECT_EQ(buffer_read_all(p.r, &b), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(read_script::calls, 2) << "an interrupted read is not repeated";
    EXPECT_EQ(content(b), "first");
    read_script::watch(-1);
    buffer_free(&b);
    close_pipe(&p);
}

// ---- reading records ----

TEST(io, read_line_delivers_records_already_read_without_reading)
{
    pipe_ends p = make_pipe("ab\ncd\n");
    buffer out = {}, pending = {};
    read_script::watch(p.r);
    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 1);
    EXPECT_EQ(content(out), "ab");
    EXPECT_EQ(content(pending), "cd\n");
    EXPECT_EQ(read_script::calls, 1);
    EXPECT_EQ(read_script::call_sizes[0], 4096u);
    EXPECT_TRUE(buffer_is_sane(out));
    EXPECT_TRUE(buffer_is_sane(pending));
    buffer_free(&out);

    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 1);
    EXPECT_EQ(content(out), "cd");
    EXPECT_EQ(read_script::calls, 1) << "no read while pending holds a record";
    buffer_free(&out);

    harness::close_fd(&p.w);
    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 0);
    EXPECT_EQ(read_script::calls, 2);
    EXPECT_EQ(pending.length, 0u);
    EXPECT_NE(pending.storage, nullptr) << "pending keeps its storage";
    EXPECT_EQ(out.storage, nullptr) << "out unchanged";
    EXPECT_EQ(out.length, 0u);
    read_script::watch(-1);
    buffer_free(&pending);
    close_pipe(&p);
}

TEST(io, read_line_leaves_an_unterminated_tail_in_pending)
{
    pipe_ends p = make_pipe("ab\ncd");
    harness::close_fd(&p.w);
    buffer out = {}, pending = {};
    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 1);
    EXPECT_EQ(content(out), "ab");
    buffer_free(&out);
    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 0);
    EXPECT_EQ(content(pending), "cd");
    EXPECT_EQ(out.storage, nullptr);
    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 0) << "still at the end";
    EXPECT_EQ(content(pending), "cd");
    buffer_free(&pending);
    close_pipe(&p);
}

TEST(io, read_line_delivery_shapes_out)
{
    struct row {
        const char* what;
        std::string input;
        std::string out_before;
        std::string expected;
        std::uint64_t capacity;  // of out afterwards
    };
    const row rows[] = {
        {"empty record", "\n", "", "", 0},
        {"empty record after text", "\n", "x", "x", 256},
        {"255 bytes", std::string(255, 'L') + "\n", "", std::string(255, 'L'), 256},
        {"511 bytes", std::string(511, 'L') + "\n", "", std::string(511, 'L'), 512},
        {"appended", "ab\n", "x", "xab", 256},
        {"carriage return kept", "ab\r\n", "", "ab\r", 256},
        {"NUL inside", std::string("a\0b\n", 4), "", std::string("a\0b", 3), 256},
        {"across reads", std::string(10000, 'z') + "\nrest", "", std::string(10000, 'z'), 10240},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        pipe_ends p = make_pipe(r.input);
        buffer out = {}, pending = {};
        buffer_append(&out, r.out_before.data(), r.out_before.size());
        EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 1);
        EXPECT_EQ(content(out), r.expected);
        EXPECT_EQ(out.capacity, r.capacity);
        EXPECT_TRUE(buffer_is_sane(out));
        EXPECT_TRUE(buffer_is_sane(pending));
        if (r.expected.empty()) {
            EXPECT_EQ(out.storage, nullptr) << "an empty record leaves the all-zero record";
            EXPECT_STREQ(buffer_cstr(&out), "");
            buffer empty = {};
            EXPECT_EQ(buffer_cstr(&out), buffer_cstr(&empty));
            EXPECT_EQ(buffer_find_char(&out, '\0'), -1);
        }
        buffer_free(&out);
        buffer_free(&pending);
        close_pipe(&p);
    }
}

TEST(io, read_line_delivers_every_record_of_one_read_in_order)
{
    std::string input;
    for (int i = 0; i < 300; ++i)
        input += std::to_string(i) + (i % 7 == 0 ? "" : " text") + "\n";
    pipe_ends p = make_pipe(input);
    harness::close_fd(&p.w);
    buffer out = {}, pending = {};
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(buffer_read_line(p.r, &out, 0, &pending), 1) << "record " << i;
        ASSERT_EQ(content(out), std::to_string(i) + (i % 7 == 0 ? "" : " text"));
        ASSERT_TRUE(buffer_is_sane(pending));
        buffer_free(&out);
    }
    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 0);
    EXPECT_EQ(pending.length, 0u);
    buffer_free(&pending);
    close_pipe(&p);
}

TEST(io, read_line_with_a_limit_reads_only_the_room_left)
{
    pipe_ends p = make_pipe("ab");
    buffer out = {}, pending = {};
    read_script::watch(p.r);
    // The second read asks only for the 3 bytes left below the limit.
    harness::child feeder = unit::start([&p] {
        usleep(100000);
        harness::write_all(p.w, "cd\n");
        _exit(0);
    });
    EXPECT_EQ(buffer_read_line(p.r, &out, 5, &pending), 1);
    EXPECT_EQ(content(out), "abcd");
    ASSERT_EQ(read_script::calls, 2);
    EXPECT_EQ(read_script::call_sizes[0], 5u);
    EXPECT_EQ(read_script::call_sizes[1], 3u);
    EXPECT_EQ(pending.capacity, 256u);
    harness::finish(&feeder, 10);
    read_script::watch(-1);
    buffer_free(&out);
    buffer_free(&pending);
    close_pipe(&p);
}

TEST(io, read_line_refuses_records_longer_than_the_limit)
{
    pipe_ends p = make_pipe("abcd\nabcde\nmore\n");
    buffer out = {}, pending = {};
    read_script::watch(p.r);
    EXPECT_EQ(buffer_read_line(p.r, &out, 5, &pending), 1) << "four bytes and the newline fit";
    EXPECT_EQ(content(out), "abcd");
    buffer_free(&out);

    int before = read_script::calls;
    EXPECT_EQ(buffer_read_line(p.r, &out, 5, &pending), 0);
    EXPECT_EQ(content(pending), "abcde");
    EXPECT_EQ(out.storage, nullptr);
    EXPECT_EQ(read_script::calls, before + 1);
    EXPECT_EQ(read_script::call_sizes[before], 5u);

    EXPECT_EQ(buffer_read_line(p.r, &out, 5, &pending), 0) << "a further call";
    EXPECT_EQ(read_script::calls, before + 1) << "returns at once without reading";
    EXPECT_EQ(content(pending), "abcde");
    EXPECT_EQ(out.storage, nullptr);
    read_script::watch(-1);
    EXPECT_EQ(left_in(p.r), "\nmore\n") << "the newline stays unread";
    buffer_free(&pending);
    close_pipe(&p);
}

TEST(io, read_line_with_a_limit_never_resizes_pending)
{
    std::string input;
    for (int i = 1; i <= 42; ++i)
        input += std::string(static_cast<std::size_t>(i * 24), 'q') + "\n";
    pipe_ends p = make_pipe(input);
    harness::close_fd(&p.w);
    buffer out = {}, pending = {};
    ASSERT_EQ(buffer_read_line(p.r, &out, 1000, &pending), 1);
    char* storage = pending.storage;
    EXPECT_EQ(pending.capacity, 1024u);
    int delivered = 1;
    for (;;) {
        buffer_free(&out);
        int r = buffer_read_line(p.r, &out, 1000, &pending);
        if (r != 1)
            break;
        ++delivered;
        EXPECT_EQ(pending.storage, storage);
        EXPECT_EQ(pending.capacity, 1024u);
        EXPECT_LE(pending.length, 1000u);
    }
    // Records of 24 to 984 bytes plus the newline fit; 1008 does not.
    EXPECT_EQ(delivered, 41);
    EXPECT_EQ(pending.length, 1000u);
    EXPECT_EQ(pending.storage, storage);
    buffer_free(&out);
    buffer_free(&pending);
    close_pipe(&p);
}

TEST(io, read_until_takes_any_delimiter_byte)
{
    struct row {
        const char* what;
        std::string input;
        int delimiter;
        std::string first;
        std::string second;
    };
    const row rows[] = {
        {"NUL", std::string("ab\0cd\0", 6), '\0', "ab", "cd"},
        {"comma", "a,b,", ',', "a", "b"},
        {"newline is plain text", "a\nb,c,", ',', "a\nb", "c"},
        {"byte 255", "x\xffy\xff", 255, "x", "y"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        pipe_ends p = make_pipe(r.input);
        harness::close_fd(&p.w);
        buffer out = {}, pending = {};
        EXPECT_EQ(buffer_read_until(p.r, &out, 0, r.delimiter, &pending), 1);
        EXPECT_EQ(content(out), r.first);
        buffer_free(&out);
        EXPECT_EQ(buffer_read_until(p.r, &out, 0, r.delimiter, &pending), 1);
        EXPECT_EQ(content(out), r.second);
        buffer_free(&out);
        EXPECT_EQ(buffer_read_until(p.r, &out, 0, r.delimiter, &pending), 0);
        buffer_free(&pending);
        close_pipe(&p);
    }
}

// An interrupting signal every 200 ms: the handler only counts, and on its
// tenth arrival (which a correct read never waits for) ends the input so that
// a read that wrongly retries cannot hang the test.
volatile sig_atomic_t alarms = 0;
volatile sig_atomic_t alarm_closes = -1;

void on_alarm(int)
{
    alarms = alarms + 1;
    if (alarms == 10 && alarm_closes >= 0) {
        close(alarm_closes);
        alarm_closes = -1;
    }
}

TEST(io, read_line_interrupted_by_a_signal_fails_and_resumes_later)
{
    pipe_ends p = make_pipe("ab");
    buffer out = {}, pending = {};
    buffer_append_cstr(&out, "x");

    struct sigaction act = {}, old = {};
    act.sa_handler = on_alarm;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;  // no SA_RESTART: the blocked read is interrupted
    ASSERT_EQ(sigaction(SIGALRM, &act, &old), 0);
    alarms = 0;
    alarm_closes = p.w;
    itimerval every = {{0, 200000}, {0, 200000}};
    setitimer(ITIMER_REAL, &every, nullptr);

    errno = 0;
    int r = buffer_read_line(p.r, &out, 0, &pending);
    int saved = errno;

    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    alarm_closes = -1;
    sigaction(SIGALRM, &old, nullptr);
    if (alarms >= 10)
        p.w = -1;  // the handler closed it

    EXPECT_EQ(r, -1);
    EXPECT_EQ(saved, EINTR);
    EXPECT_EQ(content(out), "x") << "out unchanged";
    EXPECT_EQ(content(pending), "ab") << "pending keeps the bytes read";

    if (p.w >= 0)
        harness::write_all(p.w, "c\nd\n");
    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 1);
    EXPECT_EQ(content(out), "xabc");
    buffer_free(&out);
    EXPECT_EQ(buffer_read_line(p.r, &out, 0, &pending), 1);
    EXPECT_EQ(content(out), "d");
    buffer_free(&out);
    buffer_free(&pending);
    close_pipe(&p);
}

TEST(io, read_line_searches_each_byte_of_a_long_line_a_bounded_number_of_times)
{
    // A line of N bytes arriving in pieces of at most 4096: a search that
    // starts again at the front after every read would look at about
    // N * N / 8192 bytes, hundreds of times N.
    constexpr std::size_t n = 1 << 20;
    std::string line(n, 'w');
    line += "\n";
    pipe_ends p = make_pipe();
    harness::child writer = unit::start([&p, &line] {
        harness::write_all(p.w, line);
        _exit(0);
    });
    harness::close_fd(&p.w);

    buffer out = {}, pending = {};
    memchr_count::bytes = 0;
    memchr_count::calls = 0;
    memchr_count::on = true;
    int r = buffer_read_line(p.r, &out, 0, &pending);
    memchr_count::on = false;
    harness::outcome o = harness::finish(&writer, 30);

    EXPECT_TRUE(o.exited && o.status == 0) << unit::describe(o);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(out.length, n);
    EXPECT_GE(memchr_count::bytes, n) << "every byte is searched (is memchr wrapped?)";
    EXPECT_LT(memchr_count::bytes, 2 * n)
        << "bytes searched for a line of " << n << " bytes, in " << memchr_count::calls << " searches";
    buffer_free(&out);
    buffer_free(&pending);
    close_pipe(&p);
}

}  // namespace
