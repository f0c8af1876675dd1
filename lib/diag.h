// SPDX-License-Identifier: ISC
// lib/diag.h - diagnostics, version and usage, the standard descriptors
#ifndef KESTRIX_LIB_DIAG_H
#define KESTRIX_LIB_DIAG_H

namespace kestrix {

// Each program defines these two; the library reads them. The name is fixed
// in the program, never taken from argv[0].
extern const char* program_name;
extern const char* usage_text;  // the program's own paragraph, ending in '\n'

// The descriptors the programs read from, answer on and report to.
extern const int fd_in;   // 0
extern const int fd_out;  // 1
extern const int fd_err;  // 2

// Exit statuses of every program of the toolkit.
constexpr int exit_version_or_usage = 1;
constexpr int exit_read_failure = 1;   // scrivel, after "unable to read from stdin"
constexpr int exit_bare_failure = 20;  // buffer or formatter, see buffer.h
constexpr int exit_fatal = 111;

// "name: message\n" and "name: subject: message\n" on fd_err, in one write.
// Message and subject are printed as they stand ('@' and control bytes
// included); messages are short, lower case and carry no errno text. The
// result is fd_print's; a diagnostic that cannot be written is lost.
int warn(const char* message);
int warn_about(const char* subject, const char* message);

// As warn and warn_about, then exit status 111.
[[noreturn]] void fatal(const char* message);
[[noreturn]] void fatal_about(const char* subject, const char* message);

// "name from kestrix version 24\n" on fd_out; the number is the project's
// version in CMakeLists.txt.
int print_version();

// print_version, then exit status 1.
[[noreturn]] void version_exit();

// print_version, then the usage paragraph followed by the lines for -V and
// -?, in a second write; exit status 1 even when nothing could be written.
[[noreturn]] void usage_exit();

// For a program whose only options are -V and -?: returns, with optind at the
// first operand, only when the command line holds no option. getopt stops at
// the first operand or after "--" and never reorders.
void parse_standard_options(int argc, char** argv);

}  // namespace kestrix
#endif
