// SPDX-License-Identifier: ISC
// tests/hoodwain_memcheck_test.cpp - the responder under valgrind's memcheck
//
// A handful of whole runs of the dynamically linked responder, each ending in
// a different way: no invalid access anywhere, and nothing definitely lost
// when the process ends.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "harness.h"
#include "reliability.h"

namespace {

struct memcheck_run {
    std::string name;
    std::vector<std::string> args;
    std::string input;
    bool with_environment;
    int status;
    std::string out;  // what the peer must receive
};

std::string many_requests()
{
    std::string text;
    for (int i = 1; i <= 1000; ++i)
        text += std::to_string(i) + "," + std::to_string(i) + "\r\n";
    return text;
}

std::string many_replies()
{
    std::string text;
    for (int i = 1; i <= 1000; ++i)
        text += " " + std::to_string(i) + " , " + std::to_string(i) + " : USERID : UNIX : nobody\r\n";
    return text;
}

TEST(hoodwain_memcheck, no_invalid_access_and_nothing_lost_however_a_run_ends)
{
    std::string valgrind = reliability::valgrind_path();
    if (valgrind.empty())
        GTEST_SKIP() << "valgrind is not installed";
    if (reliability::sanitized)
        GTEST_SKIP() << "a sanitized program cannot run under valgrind";
    const std::vector<memcheck_run> runs = {
        {"answered",
         {"-c", "nobody"},
         "6193, 23\r\n6195,25\n",
         true,
         0,
         " 6193 , 23 : USERID : UNIX : nobody\r\n 6195 , 25 : USERID : UNIX : nobody\r\n"},
        {"hidden and then invalid", {"-n"}, "1,2\nno comma\n3,4\n", true, 0, " 1 , 2 : ERROR : HIDDEN-USER\r\n"},
        // The copy that a later -c or -n replaces is freed.
        {"two ids", {"-c", "first", "-c", "second"}, "1,2\n", true, 0, " 1 , 2 : USERID : UNIX : second\r\n"},
        {"id then hidden", {"-c", "first", "-n"}, "1,2\n", true, 0, " 1 , 2 : ERROR : HIDDEN-USER\r\n"},
        {"out of range", {}, "0,23\n", true, 0, ""},
        {"over-long", {}, std::string(1500, 'x') + "\n", true, 0, ""},
        {"a thousand pipelined", {"-c", "nobody"}, many_requests(), true, 0, many_replies()},
        {"usage", {"-x"}, "", true, 1, "hoodwain from kestrix version 24\n"},
        {"no TCPREMOTEIP", {}, "1,2\n", false, 111, ""},
    };
    std::string dir = harness::make_temp_dir();
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        std::string log = dir + "/memcheck." + std::to_string(&run - runs.data());
        harness::spawn_options o;
        o.argv = {valgrind,
                  "--tool=memcheck",
                  "--leak-check=full",
                  "--show-leak-kinds=definite",
                  "--errors-for-leak-kinds=definite",
                  "--error-exitcode=99",
                  "--log-file=" + log,
                  HOODWAIN_DYNAMIC_PATH};
        o.argv.insert(o.argv.end(), run.args.begin(), run.args.end());
        o.unset_env = {"ROOT", "GID", "UID", "TCPREMOTEIP", "TCPREMOTEPORT"};
        if (run.with_environment)
            o.set_env = {"TCPREMOTEIP=192.0.2.7", "TCPREMOTEPORT=40312"};
        harness::outcome r = harness::run(o, run.input, 120);
        std::string report = harness::read_file(log);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, run.status) << report;
        if (run.status == 1) {
            EXPECT_EQ(r.out.substr(0, run.out.size()), run.out);
        } else {
            EXPECT_TRUE(r.out == run.out) << r.out.size() << " bytes sent";
        }
        EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
        EXPECT_TRUE(report.find("definitely lost: 0 bytes") != std::string::npos ||
                    report.find("no leaks are possible") != std::string::npos)
            << report;
    }
    harness::remove_tree(dir);
    reliability::report_figure("hoodwain under memcheck: " + std::to_string(runs.size()) + " runs clean");
}

}  // namespace
