// SPDX-License-Identifier: ISC
// kestrix-deadline: runs a program with a pending alarm, so that the kernel
// ends it with SIGALRM after a number of seconds
//
// The alarm is armed here and survives execve, chroot and setuid: the program
// carries its own deadline, and nothing stays behind to enforce it. A
// super-server may hand over SIGALRM ignored or blocked, and both would
// survive the exec as well, so both are undone first.
#include <csignal>
#include <cstdint>
#include <unistd.h>

#include "diag.h"
#include "setup.h"

namespace kestrix {  // the library reads these two
const char* program_name = "kestrix-deadline";
const char* usage_text = "Usage: kestrix-deadline SECONDS PROGRAM [ARG...]\n"
                         "Run PROGRAM, ended by SIGALRM after SECONDS (1 to 86400).\n"
                         "\n";
}  // namespace kestrix
using namespace kestrix;

namespace {

// One day: far beyond any connection that a super-server should keep.
constexpr std::int32_t longest = 86400;

// Plain decimal digits only, from 1 to longest; 0 when the text is not that.
unsigned int seconds_of(const char* text)
{
    for (const char* p = text; *p != '\0'; ++p)
        if (*p < '0' || *p > '9')
            return 0;
    std::int32_t value = 0;
    if (scan_int32(text, &value) != 1 || value < 1 || value > longest)
        return 0;
    return static_cast<unsigned int>(value);
}

}  // namespace

int main(int argc, char** argv)
{
    parse_standard_options(argc, argv);
    if (argc - optind < 2)
        usage_exit();
    unsigned int seconds = seconds_of(argv[optind]);
    if (seconds == 0)
        usage_exit();
    char** program = argv + optind + 1;

    // Neither call can fail with these arguments.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGALRM, &default_action, nullptr);
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_only, nullptr);
    alarm(seconds);
    execvp(program[0], program);
    alarm(0);
    fatal_about(program[0], "unable to run program");
}
