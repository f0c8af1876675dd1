// SPDX-License-Identifier: ISC
// tests/scrivel_long_line_test.cpp - lines longer than one read of the input,
// with the lines that share their last read, logged exactly once and whole
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "harness.h"

namespace {

const std::string scrivel = SCRIVEL_PATH;
constexpr std::size_t read_size = 4096;

// The records the log must hold for an input: every non-empty line with one
// newline, the unterminated tail included.
std::string records_of(const std::string& input)
{
    std::string records;
    std::size_t at = 0;
    while (at < input.size()) {
        std::size_t end = input.find('\n', at);
        if (end == std::string::npos)
            end = input.size();
        if (end > at)
            records += input.substr(at, end - at) + "\n";
        at = end + 1;
    }
    return records;
}

// Drops the 25-byte stamp in front of every record of a stamped log.
std::string without_stamps(const std::string& log)
{
    std::string lines;
    std::size_t at = 0;
    while (at < log.size()) {
        std::size_t end = log.find('\n', at);
        if (end == std::string::npos || end - at <= 25 || log[at + 24] != ' ') {
            ADD_FAILURE() << "not a stamped record at " << at;
            return lines;
        }
        lines += log.substr(at + 25, end + 1 - at - 25);
        at = end + 1;
    }
    return lines;
}

std::string run_logger(bool stamped, bool from_file, const std::string& input, const std::string& dir)
{
    std::string log = dir + "/log", source = dir + "/input";
    unlink(log.c_str());
    harness::spawn_options o;
    o.argv = {scrivel};
    if (stamped)
        o.argv.push_back("-c");
    o.argv.push_back(log);
    harness::outcome r;
    if (from_file) {
        // A regular file is read in whole pieces, so the lines fall exactly
        // where the case puts them relative to the reads.
        harness::write_file(source, input);
        o.stdin_fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
        harness::child c = harness::spawn(o);
        close(o.stdin_fd);
        r = harness::finish(&c, 30);
    } else {
        r = harness::run(o, input, 30);
    }
    EXPECT_TRUE(r.exited && r.status == 0 && r.err.empty()) << r.status << " " << r.err;
    return harness::read_file(log);
}

TEST(scrivel_long_lines, lines_of_a_read_or_more_and_their_neighbours_are_logged_exactly)
{
    auto line = [](std::size_t n, char c) { return std::string(n, c); };
    struct long_case {
        const char* name;
        std::string input;
    };
    const long_case cases[] = {
        {"just below a read", line(read_size - 1, 'a') + "\nb\n"},
        {"exactly a read", line(read_size, 'a') + "\nb\n"},
        {"just above a read", line(read_size + 1, 'a') + "\nb\nc"},
        {"long line then short and empty lines in its last read",
         line(3 * read_size + 17, 'a') + "\nb\n\ncc\n\n" + line(300, 'd') + "\ne"},
        {"short lines first, two long lines back to back",
         "x\ny\n" + line(2 * read_size, 'a') + "\n" + line(5 * read_size + 3, 'b') + "\nz\n"},
        {"long line ending at the end of a read", line(2 * read_size - 1, 'a') + "\n" + line(100, 'b') + "\n"},
        {"long unterminated tail after a short line", "x\n" + line(10 * read_size + 5, 't')},
        {"mebibyte line with crlf and nul", std::string(1 << 20, '\0') + "\r\n" + line(10, 'q') + "\n"},
    };
    std::string dir = harness::make_temp_dir();
    for (const long_case& c : cases) {
        for (bool from_file : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (from_file ? ", from a file" : ", through a pipe"));
            std::string expected = records_of(c.input);
            EXPECT_TRUE(run_logger(false, from_file, c.input, dir) == expected);
            EXPECT_TRUE(without_stamps(run_logger(true, from_file, c.input, dir)) == expected);
        }
    }
    harness::remove_tree(dir);
}

}  // namespace
