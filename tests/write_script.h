// SPDX-License-Identifier: ISC
// tests/write_script.h - counting and scripting the library's write calls
//
// Include in exactly one file of a test executable linked with
// -Wl,--wrap=write: every call to write from the library (which is static)
// then comes here. Calls on the watched descriptor are logged; while a script
// is armed, each such call takes the next step: fail with an errno without
// writing, or pass on at most some bytes (a short write). Without a script,
// or once it is used up, calls pass through unchanged. Nothing here
// allocates, so a signal handler may meet it.
#ifndef KESTRIX_TESTS_WRITE_SCRIPT_H
#define KESTRIX_TESTS_WRITE_SCRIPT_H
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <sys/types.h>

namespace write_script {

struct step {
    int error;         // non-zero: fail with this errno, write nothing
    std::size_t most;  // otherwise: pass on at most this many bytes
};

constexpr int max_steps = 16;
constexpr int max_calls = 256;

inline int watched = -1;  // the descriptor that is logged and scripted
inline step steps[max_steps];
inline int step_count = 0;
inline int step_next = 0;
inline std::size_t call_sizes[max_calls];  // the count each logged call asked for
inline int calls = 0;

// Watches fd with an empty log and no script.
inline void watch(int fd)
{
    watched = fd;
    step_count = 0;
    step_next = 0;
    calls = 0;
}

inline void add(int error, std::size_t most)
{
    if (step_count < max_steps)
        steps[step_count++] = step{error, most};
}

inline void stop()
{
    watch(-1);
}

}  // namespace write_script

extern "C" ssize_t __real_write(int fd, const void* data, std::size_t n);
extern "C" ssize_t __wrap_write(int fd, const void* data, std::size_t n)
{
    if (fd != write_script::watched || fd < 0)
        return __real_write(fd, data, n);
    if (write_script::calls < write_script::max_calls)
        write_script::call_sizes[write_script::calls] = n;
    ++write_script::calls;
    if (write_script::step_next < write_script::step_count) {
        write_script::step s = write_script::steps[write_script::step_next++];
        if (s.error != 0) {
            errno = s.error;
            return -1;
        }
        n = std::min(n, s.most);
    }
    return __real_write(fd, data, n);
}

#endif
