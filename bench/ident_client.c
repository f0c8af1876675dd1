// SPDX-License-Identifier: ISC
/*
 * ident_client: drives ident responders for the benchmarks and prints what
 * it measured on one line ("seconds count"):
 *
 *   ident_client seq HOST PORT N      N connections one after another, each
 *                                     sending one request, half-closing,
 *                                     and reading the reply up to the end
 *                                     of the connection (the responder's
 *                                     exit); count = replies received
 *   ident_client pipe HOST PORT N     one connection carrying N requests
 *                                     sent without waiting, then a
 *                                     half-close; count = replies received
 *   ident_client spawn N PROGRAM ARGS...
 *                                     N times fork, exec PROGRAM with
 *                                     /dev/null as descriptors 0, 1 and 2,
 *                                     and wait; count = runs that exited 0
 *
 * The requests vary deterministically; every port is in 1..65535.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void die(const char* what)
{
    perror(what);
    exit(2);
}

static int connect_to(const char* host, int port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1)
        die("address");
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        die("socket");
    if (connect(s, (struct sockaddr*)&a, sizeof a) < 0)
        die("connect");
    return s;
}

static int request(char* out, unsigned long i)
{
    return sprintf(out, "%lu,%lu\r\n", i % 65535 + 1, (i * 7919) % 65535 + 1);
}

/* Counts newlines read until the end of the connection (a reset counts as
   the end: a responder that exits without reading resets it). */
static unsigned long drain(int s)
{
    char buf[65536];
    unsigned long lines = 0;
    for (;;) {
        ssize_t r = read(s, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return lines;
        for (ssize_t k = 0; k < r; ++k)
            lines += buf[k] == '\n';
    }
}

static void run_seq(const char* host, int port, unsigned long n)
{
    unsigned long replies = 0;
    double t0 = now();
    for (unsigned long i = 0; i < n; ++i) {
        int s = connect_to(host, port);
        char q[32];
        int len = request(q, i);
        if (send(s, q, (size_t)len, MSG_NOSIGNAL) != len && errno != EPIPE && errno != ECONNRESET)
            die("send");
        shutdown(s, SHUT_WR);
        replies += drain(s);
        close(s);
    }
    printf("%.6f %lu\n", now() - t0, replies);
}

static void run_pipe(const char* host, int port, unsigned long n)
{
    double t0 = now();
    int s = connect_to(host, port);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fcntl(s, F_SETFL, O_NONBLOCK) < 0)
        die("fcntl");
    char out[65536], in[65536];
    size_t out_len = 0, out_done = 0;
    unsigned long sent = 0, replies = 0;
    int writing = 1;
    for (;;) {
        if (writing && out_done == out_len) {
            out_len = out_done = 0;
            while (sent < n && out_len + 32 < sizeof out)
                out_len += (size_t)request(out + out_len, sent++);
            if (out_len == 0) {
                shutdown(s, SHUT_WR);
                writing = 0;
            }
        }
        struct pollfd p = {s, (short)(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t r = read(s, in, sizeof in);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
                break;
            for (ssize_t k = 0; k < r; ++k)
                replies += in[k] == '\n';
        }
        if (writing && (p.revents & POLLOUT)) {
            ssize_t w = send(s, out + out_done, out_len - out_done, MSG_NOSIGNAL);
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                die("send");
            if (w > 0)
                out_done += (size_t)w;
        }
    }
    close(s);
    printf("%.6f %lu\n", now() - t0, replies);
}

static void run_spawn(unsigned long n, char** argv)
{
    unsigned long clean = 0;
    double t0 = now();
    for (unsigned long i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid < 0)
            die("fork");
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2)
                close(null);
            execv(argv[0], argv);
            _exit(127);
        }
        int status;
        if (waitpid(pid, &status, 0) < 0)
            die("waitpid");
        clean += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    printf("%.6f %lu\n", now() - t0, clean);
}

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "seq") == 0)
        run_seq(argv[2], atoi(argv[3]), strtoul(argv[4], NULL, 10));
    else if (argc == 5 && strcmp(argv[1], "pipe") == 0)
        run_pipe(argv[2], atoi(argv[3]), strtoul(argv[4], NULL, 10));
    else if (argc >= 4 && strcmp(argv[1], "spawn") == 0)
        run_spawn(strtoul(argv[2], NULL, 10), argv + 3);
    else {
        fprintf(stderr, "usage: ident_client seq|pipe HOST PORT N, or spawn N PROGRAM ARGS...\n");
        return 2;
    }
    return 0;
}
