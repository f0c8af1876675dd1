// SPDX-License-Identifier: ISC
/*
 * line_writer: numbered lines for the tests and benchmarks of the logger
 * behind a supervisor's pipe, each line written with one write(2) (a pipe
 * takes up to 4096 bytes in one piece):
 *
 *   line_writer print FROM TO        lines FROM to TO on standard output,
 *                                    as fast as it takes them
 *   line_writer flow MIN RATE FILE   lines 1, 2, ... at about RATE a second
 *                                    (0: as fast as the output takes them)
 *                                    until SIGTERM has come and at least MIN
 *                                    are written; then their number, and a
 *                                    newline, in FILE
 *
 * Line N is N in seven digits, a space and letters that follow from N, 10
 * to 3000 bytes with its newline, the same on every machine: every 50th from
 * 200 bytes up, the others up to 120. A line cut in two, or two run
 * together, is none of these.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop_asked = 0;

static void on_term(int sig)
{
    (void)sig;
    stop_asked = 1;
}

static size_t make_line(unsigned long n, char* out)
{
    size_t len = n % 50 == 0 ? 200 + (size_t)((n * 7919) % 2801) : 10 + (size_t)((n * 31) % 111);
    int head = snprintf(out, len + 1, "%07lu ", n);
    for (size_t i = (size_t)head; i + 1 < len; ++i)
        out[i] = (char)('a' + (n + i) % 26);
    out[len - 1] = '\n';
    return len;
}

static void write_line(unsigned long n)
{
    char line[3001];
    size_t len = make_line(n, line);
    size_t done = 0;
    while (done < len) {
        ssize_t w = write(1, line + done, len - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0) {
            perror("line_writer: write");
            exit(1);
        }
        done += (size_t)w;
    }
}

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int flow(unsigned long min, double rate, const char* file)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_term;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, NULL);
    double start = now();
    unsigned long n = 0;
    while (!stop_asked || n < min) {
        write_line(++n);
        if (rate > 0) {
            double ahead = start + (double)n / rate - now();
            if (ahead > 0.001) {
                struct timespec pause = {(time_t)ahead, (long)((ahead - (double)(time_t)ahead) * 1e9)};
                nanosleep(&pause, NULL);
            }
        }
    }
    FILE* out = fopen(file, "w");
    if (out == NULL || fprintf(out, "%lu\n", n) < 0 || fclose(out) != 0) {
        perror("line_writer: count file");
        return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "print") == 0) {
        unsigned long to = strtoul(argv[3], NULL, 10);
        for (unsigned long n = strtoul(argv[2], NULL, 10); n <= to; ++n)
            write_line(n);
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "flow") == 0)
        return flow(strtoul(argv[2], NULL, 10), strtod(argv[3], NULL), argv[4]);
    fputs("usage: line_writer print FROM TO | flow MIN RATE FILE\n", stderr);
    return 2;
}
