// SPDX-License-Identifier: ISC
// lib/diag.cpp - diagnostics, version and usage, the standard descriptors
#include "diag.h"

#include <cstdlib>
#include <unistd.h>

#include "format.h"

// The build passes the project's version (CMakeLists.txt) as a string.
#ifndef KESTRIX_VERSION
#error "KESTRIX_VERSION is not defined"
#endif

namespace kestrix {

extern const int fd_in = 0;
extern const int fd_out = 1;
extern const int fd_err = 2;

int warn(const char* message)
{
    return fd_print(fd_err, "@c: @c\n", program_name, message);
}

int warn_about(const char* subject, const char* message)
{
    return fd_print(fd_err, "@c: @c: @c\n", program_name, subject, message);
}

void fatal(const char* message)
{
    warn(message);
    std::exit(exit_fatal);
}

void fatal_about(const char* subject, const char* message)
{
    warn_about(subject, message);
    std::exit(exit_fatal);
}

int print_version()
{
    return fd_print(fd_out, "@c from kestrix version " KESTRIX_VERSION "\n", program_name);
}

void version_exit()
{
    print_version();
    std::exit(exit_version_or_usage);
}

void usage_exit()
{
    print_version();
    fd_print(fd_out, "\n@c-V        Show version information\n-?        Show usage information\n", usage_text);
    std::exit(exit_version_or_usage);
}

void parse_standard_options(int argc, char** argv)
{
    // Every option ends the process, so one call decides the command line.
    int c = getopt(argc, argv, "+V?");
    if (c == -1)
        return;
    if (c == 'V')
        version_exit();
    usage_exit();
}

}  // namespace kestrix
