// SPDX-License-Identifier: ISC
// tests/harness.h - running the built programs as real processes
#ifndef KESTRIX_TESTS_HARNESS_H
#define KESTRIX_TESTS_HARNESS_H
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

// How to start a child. Each of the three standard descriptors is a fresh
// pipe unless a descriptor of the test's own is given for it (it is dup2'd,
// and the test keeps its copy).
struct spawn_options {
    std::vector<std::string> argv;       // argv[0] is the program's path
    std::vector<std::string> set_env;    // "NAME=value", added or replacing
    std::vector<std::string> unset_env;  // names removed from the environment
    bool clear_env = false;              // start from an empty environment
    int stdin_fd = -1;
    int stdout_fd = -1;
    int stderr_fd = -1;
    std::string cwd;              // empty: the test's own
    bool ignore_sigpipe = false;  // the child starts with SIGPIPE ignored
    bool hold_sigalrm = false;    // the child starts with SIGALRM ignored and blocked
    // Placed at 3, 4, ... with LISTEN_FDS set to their count and LISTEN_PID
    // to the child's own id, as a service manager passes sockets (set_env
    // may name either variable to give it another value); every descriptor
    // above them is closed.
    std::vector<int> listen_fds;
};

// A running child. in/out/err are the test's ends of the pipes, or -1.
struct child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
};

// What a finished child did.
struct outcome {
    bool exited = false;  // ended by exit: status is valid
    int status = -1;
    int signal = 0;          // ended by this signal
    bool timed_out = false;  // killed by the harness after the time limit
    std::string out;
    std::string err;
};

child spawn(const spawn_options& options);

// Writes all of data to fd (the test's end of a pipe); false on failure.
bool write_all(int fd, const std::string& data);

// Closes fd if it is open and sets it to -1.
void close_fd(int* fd);

// Reads out and err of c until both end, and waits for the child; after
// `seconds` the child is killed (SIGKILL) and timed_out is set.
outcome finish(child* c, double seconds = 20);

// Waits for the child only (its pipes are left alone); kills it after `seconds`.
outcome wait_for(child* c, double seconds = 20);

// Starts the child, writes input to its stdin, closes it and finishes.
outcome run(const spawn_options& options, const std::string& input, double seconds = 20);

// Reads whatever fd yields within `seconds`, until `until` bytes arrived, the
// other side ends, or time runs out.
std::string read_for(int fd, double seconds, std::size_t until = ~std::size_t{0});

// Reads from fd until the text read so far contains `needle`, the other side
// ends, or `seconds` pass; returns everything read (it may run past needle).
std::string read_until(int fd, double seconds, const std::string& needle);

// True when the pipe fd has nothing to read right now and is not at its end:
// the child is still waiting.
bool idle(int fd, double seconds);

// A fresh directory under TMPDIR (or /tmp), removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);

// Polls `check` every few milliseconds for up to `seconds`.
bool eventually(double seconds, const std::function<bool()>& check);

}  // namespace harness
#endif
