// SPDX-License-Identifier: ISC
/*
 * measure: runs one command with its standard descriptors redirected and
 * prints its wall time in seconds, its peak resident set in KiB, its exit
 * status and the processor time (user and system) it used in seconds, the
 * last from the child's own rusage, as the peak resident set:
 *
 *   measure [-i in] [-o out] [-a out] [-e err] [-d dir] -- command args...
 *
 * -i: standard input from a file (else /dev/null); -o: standard output to a
 * file, truncated; -a: appended (as the shell's >>); -e: standard error (else
 * /dev/null); -d: run in that directory. The clock runs from just before fork
 * to just after the child is reaped.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void redirect(const char* path, int flags, int fd)
{
    int f = open(path, flags, 0644);
    if (f < 0 || dup2(f, fd) < 0) {
        perror(path);
        _exit(126);
    }
    if (f != fd)
        close(f);
}

int main(int argc, char** argv)
{
    const char *in = "/dev/null", *out = "/dev/null", *err = "/dev/null", *dir = NULL;
    int out_flags = O_WRONLY;
    int c;
    while ((c = getopt(argc, argv, "+i:o:a:e:d:")) != -1) {
        switch (c) {
        case 'i':
            in = optarg;
            break;
        case 'o':
            out = optarg;
            out_flags = O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case 'a':
            out = optarg;
            out_flags = O_WRONLY | O_CREAT | O_APPEND;
            break;
        case 'e':
            err = optarg;
            break;
        case 'd':
            dir = optarg;
            break;
        default:
            return 2;
        }
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: measure [-i in] [-o out] [-a out] [-e err] [-d dir] -- command args...\n");
        return 2;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0) {
        if (dir != NULL && chdir(dir) < 0) {
            perror(dir);
            _exit(126);
        }
        redirect(in, O_RDONLY, 0);
        redirect(out, out_flags, 1);
        redirect(err, O_WRONLY | O_CREAT | O_APPEND, 2);
        execvp(argv[optind], argv + optind);
        _exit(127);
    }
    int status;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) < 0) {
        perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double wall = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    double cpu =
        (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    printf("%.6f %ld %d %.6f\n", wall, ru.ru_maxrss, code, cpu);
    return 0;
}
