// SPDX-License-Identifier: ISC
// tests/diag_test.cpp - diagnostics, version and usage, standard options
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "diag.h"
#include "unit_support.h"

namespace kestrix {
const char* program_name = "scrivel";
const char* usage_text = "Usage: scrivel [OPTIONS] logfile\nLog standard input to a file.\n\n"
                         "-c        Prepend a timestamp to each line\n";
}  // namespace kestrix

using namespace kestrix;

namespace {

const char hoodwain_usage[] = "Usage: hoodwain [OPTIONS]\nA simple anonymous identd server.\n\n"
                              "-n        Return a HIDDEN-USER response\n"
                              "-c ID     Return a USERID:UNIX ID response\n";

const std::string scrivel_version = "scrivel from kestrix version 24\n";
const std::string scrivel_usage_output = "scrivel from kestrix version 24\n"
                                         "\n"
                                         "Usage: scrivel [OPTIONS] logfile\n"
                                         "Log standard input to a file.\n"
                                         "\n"
                                         "-c        Prepend a timestamp to each line\n"
                                         "-V        Show version information\n"
                                         "-?        Show usage information\n";

void be_hoodwain()
{
    program_name = "hoodwain";
    usage_text = hoodwain_usage;
}

// Ends the child with the result of a call that returns.
[[noreturn]] void report(int result)
{
    _exit(result == 0 ? unit::body_returned : unit::body_returned + 1);
}

TEST(diag, warnings_print_name_subject_and_message_verbatim)
{
    struct row {
        const char* subject;  // null: warn, else warn_about
        const char* message;
        std::string expected;
    };
    const row rows[] = {
        {nullptr, "unable to read from stdin", "scrivel: unable to read from stdin\n"},
        {"/var/log/x", "unable to write to logfile", "scrivel: /var/log/x: unable to write to logfile\n"},
        {nullptr, "odd @c and %s%n", "scrivel: odd @c and %s%n\n"},
        {"50@x %d", "msg @", "scrivel: 50@x %d: msg @\n"},
        {"", "unable to chroot", "scrivel: : unable to chroot\n"},
        {"tab\there", "bell\a", "scrivel: tab\there: bell\a\n"},
        {nullptr, "", "scrivel: \n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.expected);
        harness::outcome o =
            unit::run([&r] { report(r.subject ? warn_about(r.subject, r.message) : warn(r.message)); });
        EXPECT_TRUE(unit::returned(o, "", r.expected));
    }
}

TEST(diag, warning_to_a_closed_descriptor_returns_minus_one)
{
    harness::outcome o = unit::run([] {
        close(2);
        _exit(warn("lost") == -1 && warn_about("x", "lost") == -1 ? 0 : 1);
    });
    EXPECT_TRUE(unit::ended(o, 0, "", ""));
}

TEST(diag, fatal_errors_print_and_exit_111)
{
    struct row {
        const char* subject;
        const char* message;
        std::string expected;
    };
    const row rows[] = {
        {nullptr, "unable to setuid", "hoodwain: unable to setuid\n"},
        {"/no/such/file", "unable to open logfile", "hoodwain: /no/such/file: unable to open logfile\n"},
        {"", "unable to chroot", "hoodwain: : unable to chroot\n"},
        {"%s", "@c@", "hoodwain: %s: @c@\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.expected);
        harness::outcome o = unit::run([&r] {
            be_hoodwain();
            if (r.subject)
                fatal_about(r.subject, r.message);
            fatal(r.message);
        });
        EXPECT_TRUE(unit::ended(o, 111, "", r.expected));
    }
}

TEST(diag, fatal_exits_111_even_when_descriptor_2_is_closed)
{
    EXPECT_TRUE(unit::ended(unit::run([] {
                                close(2);
                                fatal("unable to setgid");
                            }),
                            111, "", ""));
    EXPECT_TRUE(unit::ended(unit::run([] {
                                close(2);
                                fatal_about("/x", "unable to chdir");
                            }),
                            111, "", ""));
}

TEST(diag, version_line_names_the_program)
{
    EXPECT_TRUE(unit::returned(unit::run([] { report(print_version()); }), scrivel_version, ""));
    EXPECT_TRUE(unit::returned(unit::run([] {
                                   be_hoodwain();
                                   report(print_version());
                               }),
                               "hoodwain from kestrix version 24\n", ""));
    EXPECT_TRUE(unit::ended(unit::run([] { version_exit(); }), 1, scrivel_version, ""));
}

// Runs usage_exit with descriptor 1 a packet socket, which keeps the
// boundaries of writes; returns the packets, one for each write.
std::vector<std::string> usage_writes(bool hoodwain, harness::outcome* o)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0)
        std::abort();
    *o = unit::run([hoodwain, &sv] {
        if (dup2(sv[1], 1) < 0)
            _exit(127);
        if (hoodwain)
            be_hoodwain();
        usage_exit();
    });
    close(sv[1]);
    std::vector<std::string> packets;
    char packet[4096];
    ssize_t n;
    while ((n = recv(sv[0], packet, sizeof packet, MSG_DONTWAIT)) > 0)
        packets.emplace_back(packet, static_cast<std::size_t>(n));
    close(sv[0]);
    return packets;
}

TEST(diag, usage_prints_version_and_usage_in_two_writes_and_exits_1)
{
    harness::outcome o;
    std::vector<std::string> writes = usage_writes(false, &o);
    EXPECT_TRUE(unit::ended(o, 1, "", ""));
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], scrivel_version);
    EXPECT_EQ(writes[0] + writes[1], scrivel_usage_output);

    writes = usage_writes(true, &o);
    EXPECT_TRUE(unit::ended(o, 1, "", ""));
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0] + writes[1], "hoodwain from kestrix version 24\n"
                                     "\n"
                                     "Usage: hoodwain [OPTIONS]\n"
                                     "A simple anonymous identd server.\n"
                                     "\n"
                                     "-n        Return a HIDDEN-USER response\n"
                                     "-c ID     Return a USERID:UNIX ID response\n"
                                     "-V        Show version information\n"
                                     "-?        Show usage information\n");
}

TEST(diag, usage_and_version_exit_1_even_when_nothing_can_be_written)
{
    EXPECT_TRUE(unit::ended(unit::run([] {
                                close(1);
                                usage_exit();
                            }),
                            1, "", ""));
    EXPECT_TRUE(unit::ended(unit::run([] {
                                close(1);
                                version_exit();
                            }),
                            1, "", ""));
}

TEST(diag, standard_options_return_only_without_options)
{
    struct row {
        std::vector<std::string> args;  // after the program name
        int status;                     // unit::body_returned when it returns
        std::string out;                // for a return: the index it left
    };
    const row rows[] = {
        {{}, unit::body_returned, "optind 1"},
        {{"file"}, unit::body_returned, "optind 1"},
        {{"file", "-V"}, unit::body_returned, "optind 1"},
        {{"--"}, unit::body_returned, "optind 2"},
        {{"--", "-V"}, unit::body_returned, "optind 2"},
        {{"-"}, unit::body_returned, "optind 1"},
        {{"-V"}, 1, scrivel_version},
        {{"-V", "-x"}, 1, scrivel_version},
        {{"-V", "file"}, 1, scrivel_version},
        {{"-?"}, 1, scrivel_usage_output},
        {{"-x"}, 1, scrivel_usage_output},
        {{"-?V"}, 1, scrivel_usage_output},
        {{"--long"}, 1, scrivel_usage_output},
    };
    for (const row& r : rows) {
        std::string trace;
        for (const std::string& a : r.args)
            trace += " " + a;
        SCOPED_TRACE(trace);
        harness::outcome o = unit::run([&r] {
            std::vector<std::string> strings = {"scrivel"};
            strings.insert(strings.end(), r.args.begin(), r.args.end());
            std::vector<char*> argv;
            argv.reserve(strings.size());
            for (std::string& s : strings)
                argv.push_back(s.data());
            argv.push_back(nullptr);
            optind = 0;  // glibc starts getopt afresh
            parse_standard_options(static_cast<int>(strings.size()), argv.data());
            std::string index = "optind " + std::to_string(optind);
            harness::write_all(1, index);
        });
        EXPECT_FALSE(o.timed_out);
        EXPECT_TRUE(o.exited);
        EXPECT_EQ(o.status, r.status);
        EXPECT_EQ(o.out, r.out);
        if (r.status == unit::body_returned) {
            EXPECT_EQ(o.err, "");
        }
    }
}

}  // namespace
