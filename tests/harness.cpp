// SPDX-License-Identifier: ISC
// tests/harness.cpp - running the built programs as real processes
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace harness {

namespace {

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

[[noreturn]] void child_fail(const char* what)
{
    ssize_t ignored = write(2, what, std::strlen(what));
    (void)ignored;
    _exit(127);
}

void place(int from, int to)
{
    if (from == to) {
        fcntl(to, F_SETFD, 0);
        return;
    }
    if (dup2(from, to) < 0)
        child_fail("harness: dup2 failed\n");
}

}  // namespace

child spawn(const spawn_options& options)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (options.stdin_fd < 0 && pipe2(in, O_CLOEXEC) < 0)
        std::abort();
    if (options.stdout_fd < 0 && pipe2(out, O_CLOEXEC) < 0)
        std::abort();
    if (options.stderr_fd < 0 && pipe2(err, O_CLOEXEC) < 0)
        std::abort();

    std::vector<std::string> env;
    if (!options.clear_env)
        for (char** e = environ; *e != nullptr; ++e)
            env.emplace_back(*e);
    auto drop = [&env](const std::string& name) {
        for (auto it = env.begin(); it != env.end();) {
            if (it->compare(0, name.size() + 1, name + "=") == 0)
                it = env.erase(it);
            else
                ++it;
        }
    };
    for (const auto& name : options.unset_env)
        drop(name);
    for (const auto& kv : options.set_env) {
        drop(kv.substr(0, kv.find('=')));
        env.push_back(kv);
    }
    // LISTEN_PID gets its digits after the fork, in room left for them.
    std::size_t listen_pid = ~std::size_t{0};
    auto given = [&options](const std::string& name) {
        for (const auto& kv : options.set_env)
            if (kv.compare(0, name.size() + 1, name + "=") == 0)
                return true;
        return false;
    };
    if (!options.listen_fds.empty() && !given("LISTEN_FDS")) {
        drop("LISTEN_FDS");
        env.push_back("LISTEN_FDS=" + std::to_string(options.listen_fds.size()));
    }
    if (!options.listen_fds.empty() && !given("LISTEN_PID")) {
        drop("LISTEN_PID");
        listen_pid = env.size();
        env.emplace_back("LISTEN_PID=                    ");
    }
    std::vector<char*> envp, argv;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = options.argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        std::abort();
    if (pid == 0) {
        // Descriptors of the test's own (an argument may name one that stands
        // at 0, 1 or 2) are lifted out of the way before any is placed.
        int fds[3] = {options.stdin_fd < 0 ? in[0] : options.stdin_fd,
                      options.stdout_fd < 0 ? out[1] : options.stdout_fd,
                      options.stderr_fd < 0 ? err[1] : options.stderr_fd};
        for (int& fd : fds) {
            if (fd >= 0 && fd <= 2) {
                int lifted = fcntl(fd, F_DUPFD_CLOEXEC, 3);
                if (lifted < 0)
                    child_fail("harness: dup failed\n");
                fd = lifted;
            }
        }
        for (int i = 0; i < 3; ++i)
            place(fds[i], i);
        std::vector<int> passed = options.listen_fds;
        for (int& fd : passed)
            if ((fd = fcntl(fd, F_DUPFD_CLOEXEC, 3 + static_cast<int>(passed.size()))) < 0)
                child_fail("harness: dup failed\n");
        for (std::size_t i = 0; i < passed.size(); ++i)
            place(passed[i], 3 + static_cast<int>(i));
        // A service manager passes nothing else.
        if (!passed.empty())
            close_range(3 + static_cast<unsigned int>(passed.size()), ~0U, 0);
        if (listen_pid < env.size()) {
            char* digits = envp[listen_pid] + std::strlen("LISTEN_PID=");
            char* end = digits;
            for (unsigned long id = static_cast<unsigned long>(getpid()); id != 0; id /= 10)
                *end++ = static_cast<char>('0' + id % 10);
            *end = '\0';
            std::reverse(digits, end);
        }
        if (options.ignore_sigpipe)
            signal(SIGPIPE, SIG_IGN);
        else
            signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (options.hold_sigalrm) {
            sigset_t alarm_only;
            sigemptyset(&alarm_only);
            sigaddset(&alarm_only, SIGALRM);
            signal(SIGALRM, SIG_IGN);
            sigprocmask(SIG_BLOCK, &alarm_only, nullptr);
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) < 0)
            child_fail("harness: chdir failed\n");
        execve(argv[0], argv.data(), envp.data());
        child_fail("harness: exec failed\n");
    }
    child c;
    c.pid = pid;
    if (options.stdin_fd < 0) {
        close(in[0]);
        c.in = in[1];
    }
    if (options.stdout_fd < 0) {
        close(out[1]);
        c.out = out[0];
    }
    if (options.stderr_fd < 0) {
        close(err[1]);
        c.err = err[0];
    }
    return c;
}

bool write_all(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

void close_fd(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

namespace {

void reap(child* c, outcome* o, double deadline)
{
    for (;;) {
        int status = 0;
        pid_t r = waitpid(c->pid, &status, WNOHANG);
        if (r == c->pid) {
            if (WIFEXITED(status)) {
                o->exited = true;
                o->status = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                o->signal = WTERMSIG(status);
            }
            c->pid = -1;
            return;
        }
        if (r < 0 && errno != EINTR) {
            c->pid = -1;
            return;
        }
        if (now() > deadline && !o->timed_out) {
            o->timed_out = true;
            kill(c->pid, SIGKILL);
        }
        usleep(2000);
    }
}

}  // namespace

outcome wait_for(child* c, double seconds)
{
    outcome o;
    reap(c, &o, now() + seconds);
    return o;
}

outcome finish(child* c, double seconds)
{
    outcome o;
    double deadline = now() + seconds;
    close_fd(&c->in);
    std::string* sinks[2] = {&o.out, &o.err};
    int* fds[2] = {&c->out, &c->err};
    while (c->out >= 0 || c->err >= 0) {
        pollfd p[2];
        int n = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (*fds[i] >= 0) {
                p[n] = {*fds[i], POLLIN, 0};
                which[n++] = i;
            }
        }
        double left = deadline - now();
        if (left <= 0) {
            if (!o.timed_out) {
                o.timed_out = true;
                kill(c->pid, SIGKILL);
                deadline = now() + 5;
                continue;
            }
            break;
        }
        int r = poll(p, static_cast<nfds_t>(n), static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno != EINTR)
            break;
        for (int k = 0; k < n && r > 0; ++k) {
            if (p[k].revents == 0)
                continue;
            char chunk[65536];
            ssize_t got = read(p[k].fd, chunk, sizeof chunk);
            if (got > 0)
                sinks[which[k]]->append(chunk, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                close_fd(fds[which[k]]);
        }
    }
    close_fd(&c->out);
    close_fd(&c->err);
    bool timed = o.timed_out;
    reap(c, &o, timed ? now() : deadline);
    o.timed_out = o.timed_out || timed;
    return o;
}

outcome run(const spawn_options& options, const std::string& input, double seconds)
{
    child c = spawn(options);
    if (c.in >= 0) {
        // A child that stops reading early must not stop the test.
        void (*old)(int) = signal(SIGPIPE, SIG_IGN);
        write_all(c.in, input);
        signal(SIGPIPE, old);
    }
    return finish(&c, seconds);
}

namespace {

// Reads from fd while room(got) allows more bytes (at most that many per
// read), until the other side ends, a read fails or time runs out.
std::string read_while(int fd, double seconds, const std::function<std::size_t(const std::string&)>& room)
{
    std::string got;
    double deadline = now() + seconds;
    for (std::size_t want; (want = room(got)) != 0;) {
        double left = deadline - now();
        if (left <= 0)
            break;
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char chunk[65536];
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, want));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

}  // namespace

std::string read_for(int fd, double seconds, std::size_t until)
{
    return read_while(fd, seconds, [until](const std::string& got) { return until - got.size(); });
}

std::string read_until(int fd, double seconds, const std::string& needle)
{
    return read_while(fd, seconds, [&needle](const std::string& got) {
        return got.find(needle) == std::string::npos ? std::size_t{4096} : std::size_t{0};
    });
}

bool idle(int fd, double seconds)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(seconds * 1000)) == 0;
}

std::string make_temp_dir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kestrix-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    return pattern;
}

void remove_tree(const std::string& path)
{
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path)
{
    std::string data;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        data.append(chunk, static_cast<std::size_t>(n));
    close(fd);
    return data;
}

void write_file(const std::string& path, const std::string& data)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        std::abort();
    write_all(fd, data);
    close(fd);
}

bool file_exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool eventually(double seconds, const std::function<bool()>& check)
{
    double deadline = now() + seconds;
    for (;;) {
        if (check())
            return true;
        if (now() > deadline)
            return false;
        usleep(5000);
    }
}

}  // namespace harness
