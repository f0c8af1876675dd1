// SPDX-License-Identifier: ISC
// tests/format_test.cpp - the '@' formatter
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "format.h"
#include "unit_support.h"
#include "write_script.h"

using namespace kestrix;
using unit::buffer_is_sane;
using unit::content;

namespace {

// A pipe whose both ends the test holds.
struct pipe_ends {
    int r = -1;
    int w = -1;
};

pipe_ends make_pipe()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        std::abort();
    return {fds[0], fds[1]};
}

// Everything the pipe holds right now (the write end must be closed first).
std::string drain(pipe_ends* p)
{
    harness::close_fd(&p->w);
    std::string got = harness::read_for(p->r, 5);
    harness::close_fd(&p->r);
    return got;
}

int closed_descriptor()
{
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}

struct format_row {
    const char* what;
    std::string expected;
    void (*fill)(buffer*);
};

TEST(format, every_directive_gives_its_text)
{
    static buffer three = {};
    buffer_append(&three, "a\0b", 3);
    static buffer nothing = {};
    const format_row rows[] = {
        {"@i -5", "-5", [](buffer* b) { buffer_format(b, "@i", std::int32_t{-5}); }},
        {"@i 0", "0", [](buffer* b) { buffer_format(b, "@i", std::int32_t{0}); }},
        {"@i max", "2147483647", [](buffer* b) { buffer_format(b, "@i", INT32_MAX); }},
        {"@i min", "-2147483648", [](buffer* b) { buffer_format(b, "@i", INT32_MIN); }},
        {"@I 0", "0", [](buffer* b) { buffer_format(b, "@I", std::uint32_t{0}); }},
        {"@I max", "4294967295", [](buffer* b) { buffer_format(b, "@I", UINT32_MAX); }},
        {"@l -1", "-1", [](buffer* b) { buffer_format(b, "@l", std::int64_t{-1}); }},
        {"@l max", "9223372036854775807", [](buffer* b) { buffer_format(b, "@l", INT64_MAX); }},
        {"@l min", "-9223372036854775808", [](buffer* b) { buffer_format(b, "@l", INT64_MIN); }},
        {"@L 0", "0", [](buffer* b) { buffer_format(b, "@L", std::uint64_t{0}); }},
        {"@L max", "18446744073709551615", [](buffer* b) { buffer_format(b, "@L", UINT64_MAX); }},
        {"@x 255", "FF", [](buffer* b) { buffer_format(b, "@x", std::int32_t{255}); }},
        {"@x -255", "-FF", [](buffer* b) { buffer_format(b, "@x", std::int32_t{-255}); }},
        {"@x 0", "0", [](buffer* b) { buffer_format(b, "@x", std::int32_t{0}); }},
        {"@x min", "-80000000", [](buffer* b) { buffer_format(b, "@x", INT32_MIN); }},
        {"@x max", "7FFFFFFF", [](buffer* b) { buffer_format(b, "@x", INT32_MAX); }},
        {"@X 255", "FF", [](buffer* b) { buffer_format(b, "@X", std::uint32_t{255}); }},
        {"@X 10", "A", [](buffer* b) { buffer_format(b, "@X", std::uint32_t{10}); }},
        {"@X max", "FFFFFFFF", [](buffer* b) { buffer_format(b, "@X", UINT32_MAX); }},
        {"@X abcdef", "ABCDEF", [](buffer* b) { buffer_format(b, "@X", std::uint32_t{0xabcdef}); }},
        {"@a loopback", "127.0.0.1", [](buffer* b) { buffer_format(b, "@a", std::uint32_t{0x0100007f}); }},
        {"@a 0", "0.0.0.0", [](buffer* b) { buffer_format(b, "@a", std::uint32_t{0}); }},
        {"@a 1.2.3.4", "1.2.3.4", [](buffer* b) { buffer_format(b, "@a", std::uint32_t{0x04030201}); }},
        {"@a max", "255.255.255.255", [](buffer* b) { buffer_format(b, "@a", UINT32_MAX); }},
        {"@a 10.0.0.1", "10.0.0.1", [](buffer* b) { buffer_format(b, "@a", std::uint32_t{0x0100000a}); }},
        {"@@", "@", [](buffer* b) { buffer_format(b, "@@"); }},
        {"100@@", "100@", [](buffer* b) { buffer_format(b, "100@@"); }},
        {"@@c", "@c", [](buffer* b) { buffer_format(b, "@@c"); }},
        {"@@@c", "@x", [](buffer* b) { buffer_format(b, "@@@c", "x"); }},
        {"@@@@", "@@", [](buffer* b) { buffer_format(b, "@@@@"); }},
        {"[@c]", "[ab]", [](buffer* b) { buffer_format(b, "[@c]", "ab"); }},
        {"@c empty", "", [](buffer* b) { buffer_format(b, "@c", ""); }},
        {"@c not interpreted", "50@x", [](buffer* b) { buffer_format(b, "@c", "50@x"); }},
        {"@c printf text", "%s%n\\n", [](buffer* b) { buffer_format(b, "@c", "%s%n\\n"); }},
        {"@c@c adjacent", "ab", [](buffer* b) { buffer_format(b, "@c@c", "a", "b"); }},
        {"@b with NUL", std::string("<a\0b>", 5), [](buffer* b) { buffer_format(b, "<@b>", &three); }},
        {"@b empty", "", [](buffer* b) { buffer_format(b, "@b", &nothing); }},
        {"no directive", "plain %d \\n text", [](buffer* b) { buffer_format(b, "plain %d \\n text"); }},
        {"empty format", "", [](buffer* b) { buffer_format(b, ""); }},
        {"in order", "-1 x 7",
         [](buffer* b) { buffer_format(b, "@i @c @I", std::int32_t{-1}, "x", std::uint32_t{7}); }},
        {"high bytes", "\xc3\xa9=1", [](buffer* b) { buffer_format(b, "\xc3\xa9=@i", std::int32_t{1}); }},
    };
    for (const format_row& r : rows) {
        SCOPED_TRACE(r.what);
        buffer b = {};
        r.fill(&b);
        EXPECT_EQ(content(b), r.expected);
        EXPECT_TRUE(buffer_is_sane(b));
        if (r.expected.empty()) {
            EXPECT_EQ(b.storage, nullptr) << "nothing appended leaves no storage";
        }
        buffer_free(&b);
    }
    buffer_free(&three);
}

TEST(format, appends_and_never_resets)
{
    buffer b = {};
    buffer_append_cstr(&b, "ab");
    buffer_format(&b, "c@i", std::int32_t{1});
    EXPECT_EQ(content(b), "abc1");
    buffer_format(&b, " @c", "more");
    EXPECT_EQ(content(b), "abc1 more");
    buffer_format(&b, "");
    EXPECT_EQ(content(b), "abc1 more");
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);
}

TEST(format, long_output_grows_the_buffer_by_its_rule)
{
    buffer src = {}, b = {};
    for (int i = 0; i < 1000; ++i)
        buffer_append_char(&src, static_cast<char>('a' + i % 26));
    buffer_format(&b, "@b|@b", &src, &src);
    EXPECT_EQ(b.length, 2001u);
    EXPECT_EQ(b.capacity, 2048u);
    EXPECT_EQ(content(b), content(src) + "|" + content(src));
    buffer_free(&src);
    buffer_free(&b);
}

TEST(format, malformed_formats_end_the_process_with_status_20)
{
    struct row {
        const char* what;
        const char* message;
        void (*act)();
    };
    const row rows[] = {
        {"trailing @", "unexpected end of format",
         [] {
             buffer b = {};
             buffer_format(&b, "abc@");
         }},
        {"lone @", "unexpected end of format",
         [] {
             buffer b = {};
             buffer_format(&b, "@");
         }},
        {"@q", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "@q");
         }},
        {"@d", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "x@d");
         }},
        {"@s", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "@s");
         }},
        {"@ ", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "@ ");
         }},
        {"@%", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "@%");
         }},
        {"@C", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "@C");
         }},
        {"@0", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "@0");
         }},
        {"@ high byte", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "@\xe9");
         }},
        {"after good directives", "unknown format character",
         [] {
             buffer b = {};
             buffer_format(&b, "@c @i @q", "ok", std::int32_t{1});
         }},
        {"fd_print trailing @", "unexpected end of format", [] { fd_print(1, "text before@"); }},
        {"fd_print unknown", "unknown format character", [] { fd_print(1, "@c: @z", "scrivel"); }},
        {"fd_print on 2", "unknown format character", [] { fd_print(2, "partial text @c @?", "x"); }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        harness::outcome o = unit::run(r.act);
        // Exactly the 24 bytes, one write, nothing formatted before them.
        EXPECT_TRUE(unit::ended(o, 20, "", r.message));
        EXPECT_EQ(o.err.size(), 24u);
    }
}

TEST(format, argument_of_the_wrong_kind_ends_the_process_with_status_20)
{
    struct row {
        const char* what;
        void (*act)();
    };
    const row rows[] = {
        {"string for @i",
         [] {
             format_arg a = format_detail::make("text");
             format_args args{&a, 1};
             buffer b = {};
             buffer_vformat(&b, "@i", &args);
         }},
        {"int32 for @I",
         [] {
             format_arg a = format_detail::make(std::int32_t{1});
             format_args args{&a, 1};
             buffer b = {};
             buffer_vformat(&b, "@I", &args);
         }},
        {"int32 for @L",
         [] {
             format_arg a = format_detail::make(std::int32_t{1});
             format_args args{&a, 1};
             buffer b = {};
             buffer_vformat(&b, "@L", &args);
         }},
        {"missing argument",
         [] {
             format_arg a = format_detail::make("one");
             format_args args{&a, 1};
             buffer b = {};
             buffer_vformat(&b, "@c @c", &args);
         }},
        {"no arguments at all",
         [] {
             format_args args{nullptr, 0};
             buffer b = {};
             buffer_vformat(&b, "x@b", &args);
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_TRUE(unit::ended(unit::run(r.act), 20, "", "format argument mismatch"));
    }
}

TEST(format, vformat_advances_past_the_arguments_it_takes)
{
    format_arg list[] = {format_detail::make("a"), format_detail::make(std::int32_t{2}),
                         format_detail::make(std::uint64_t{3})};
    format_args args{list, 3};
    buffer b = {};
    buffer_vformat(&b, "@c@@", &args);
    EXPECT_EQ(args.left, 2u);
    EXPECT_EQ(args.next, list + 1);
    buffer_vformat(&b, "@i@L", &args);
    EXPECT_EQ(args.left, 0u);
    EXPECT_EQ(content(b), "a@23");
    buffer_free(&b);
}

TEST(format, append_unsigned_writes_digits_in_any_base)
{
    struct row {
        std::uint64_t value;
        std::uint32_t base;
        std::string expected;
    };
    const row rows[] = {
        {0, 10, "0"},
        {1000, 10, "1000"},
        {UINT64_MAX, 10, "18446744073709551615"},
        {255, 16, "FF"},
        {0, 16, "0"},
        {0x1000, 16, "1000"},
        {UINT64_MAX, 16, "FFFFFFFFFFFFFFFF"},
        {5, 2, "101"},
        {0, 2, "0"},
        {UINT64_MAX, 2, std::string(64, '1')},
        {35, 36, "Z"},
        {36, 36, "10"},
        {UINT64_MAX, 36, "3W5E11264SGSF"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.expected);
        buffer b = {};
        buffer_append_cstr(&b, ">");
        buffer_append_unsigned(&b, r.value, r.base);
        EXPECT_EQ(content(b), ">" + r.expected);
        buffer_free(&b);
    }
}

TEST(format, append_unsigned_refuses_bases_outside_2_to_36)
{
    for (std::uint32_t base : {0u, 1u, 37u}) {
        SCOPED_TRACE(base);
        harness::outcome o = unit::run([base] {
            buffer b = {};
            buffer_append_unsigned(&b, 7, base);
        });
        EXPECT_TRUE(unit::ended(o, 20, "", "invalid number base"));
    }
}

TEST(format, fd_print_makes_no_write_for_empty_text)
{
    pipe_ends p = make_pipe();
    write_script::watch(p.w);
    EXPECT_EQ(fd_print(p.w, ""), 0);
    EXPECT_EQ(fd_print(p.w, "@c", ""), 0);
    EXPECT_EQ(write_script::calls, 0);

    // Even a descriptor that is not open gives 0: no write was attempted.
    int fd = closed_descriptor();
    write_script::watch(fd);
    EXPECT_EQ(fd_print(fd, "@c@c", "", ""), 0);
    EXPECT_EQ(write_script::calls, 0);
    write_script::stop();
    EXPECT_EQ(drain(&p), "");
}

TEST(format, fd_print_to_a_closed_descriptor_returns_minus_one)
{
    int fd = closed_descriptor();
    errno = 0;
    EXPECT_EQ(fd_print(fd, "@c\n", "lost"), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(format, fd_print_writes_a_whole_line_in_one_write)
{
    pipe_ends p = make_pipe();
    std::string subject(3000, 's');
    write_script::watch(p.w);
    EXPECT_EQ(fd_print(p.w, "@c: @c: @c @i\n", "scrivel", subject.c_str(), "unable to write", std::int32_t{-3}), 0);
    std::string expected = "scrivel: " + subject + ": unable to write -3\n";
    EXPECT_EQ(write_script::calls, 1);
    EXPECT_EQ(write_script::call_sizes[0], expected.size());
    write_script::stop();
    EXPECT_EQ(drain(&p), expected);
}

TEST(format, fd_print_continues_short_writes_and_repeats_interrupted_ones)
{
    const std::string text = "0123456789abcdef\n";
    pipe_ends p = make_pipe();
    write_script::watch(p.w);
    write_script::add(EINTR, 0);
    write_script::add(0, 5);
    write_script::add(EINTR, 0);
    write_script::add(0, 1);
    EXPECT_EQ(fd_print(p.w, "@c", text.c_str()), 0);
    ASSERT_EQ(write_script::calls, 5);
    const std::size_t sizes[] = {17, 17, 12, 12, 11};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(write_script::call_sizes[i], sizes[i]) << "call " << i;
    }
    write_script::stop();
    EXPECT_EQ(drain(&p), text);
}

TEST(format, fd_print_gives_up_on_other_errors)
{
    pipe_ends p = make_pipe();
    write_script::watch(p.w);
    write_script::add(0, 4);
    write_script::add(EIO, 0);
    errno = 0;
    EXPECT_EQ(fd_print(p.w, "@c", "abcdefgh"), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(write_script::calls, 2);
    write_script::stop();
    EXPECT_EQ(drain(&p), "abcd");
}

}  // namespace
