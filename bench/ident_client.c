// SPDX-License-Identifier: ISC
/*
 * ident_client: drives ident responders for the benchmarks and the tests,
 * and prints what it measured on one line ("seconds count"):
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
 *   ident_client burst HOST PORT N    N connections opened at once, each
 *                                     sending one request; prints
 *                                     "seconds-to-open answered refused
 *                                     failed" once every connection has
 *                                     ended, or after 60 s: refused, closed
 *                                     or reset without a reply once made;
 *                                     failed, never made (refused or timed
 *                                     out by the kernel), or still open
 *                                     after 60 s
 *   ident_client ask HOST PORT        one connection sending "6193, 23\r\n"
 *                                     and half-closing; copies what comes
 *                                     back, up to the end of the connection
 *                                     (at most 30 s), to standard output
 *   ident_client hold HOST PORT N     N connections that send nothing; prints
 *                                     "held N" once all are connected and
 *                                     keeps them until it is killed
 *
 * HOST is an IPv4 or IPv6 address. With IDENT_SOURCE set to an address,
 * every connection is made from it. The requests vary deterministically;
 * every port is in 1..65535.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
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

/* The numeric address HOST, port PORT. */
static struct sockaddr_storage address_of(const char* host, int port, socklen_t* len)
{
    struct addrinfo hints, *found;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    if (getaddrinfo(host, service, &hints, &found) != 0) {
        fprintf(stderr, "address: %s\n", host);
        exit(2);
    }
    struct sockaddr_storage a;
    memcpy(&a, found->ai_addr, found->ai_addrlen);
    *len = found->ai_addrlen;
    freeaddrinfo(found);
    return a;
}

/* A TCP socket for HOST, bound to IDENT_SOURCE if that is set. */
static int socket_for(const char* host, int port, struct sockaddr_storage* a, socklen_t* len, int flags)
{
    *a = address_of(host, port, len);
    int s = socket(a->ss_family, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (s < 0)
        die("socket");
    const char* source = getenv("IDENT_SOURCE");
    if (source && *source) {
        socklen_t source_len;
        struct sockaddr_storage from = address_of(source, 0, &source_len);
        if (bind(s, (struct sockaddr*)&from, source_len) < 0)
            die("bind");
    }
    return s;
}

static int connect_to(const char* host, int port)
{
    struct sockaddr_storage a;
    socklen_t len;
    int s = socket_for(host, port, &a, &len, 0);
    if (connect(s, (struct sockaddr*)&a, len) < 0)
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

/* As many descriptors as the hard limit allows. */
static void raise_descriptor_limit(void)
{
    struct rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

/* A connect that ended in an error of its own, not a connection closed or
   reset by the server once made. */
static int never_connected(int fd)
{
    int e = 0;
    socklen_t len = sizeof e;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) < 0)
        return 1;
    return e == ECONNREFUSED || e == ETIMEDOUT || e == EHOSTUNREACH || e == ENETUNREACH;
}

static void run_burst(const char* host, int port, unsigned long n)
{
    raise_descriptor_limit();
    struct pollfd* p = calloc(n, sizeof *p);
    unsigned char* answered = calloc(n, 1);
    if (!p || !answered)
        die("calloc");
    double t0 = now();
    for (unsigned long i = 0; i < n; ++i) {
        struct sockaddr_storage a;
        socklen_t len;
        p[i].fd = socket_for(host, port, &a, &len, SOCK_NONBLOCK);
        p[i].events = POLLOUT;
        if (connect(p[i].fd, (struct sockaddr*)&a, len) < 0 && errno != EINPROGRESS)
            die("connect");
    }
    double opened = now() - t0;
    unsigned long open = n, replies = 0, failed = 0;
    while (open > 0 && now() - t0 < 60) {
        if (poll(p, n, 1000) < 0 && errno != EINTR)
            die("poll");
        for (unsigned long i = 0; i < n; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            if (p[i].events == POLLOUT && never_connected(p[i].fd)) {
                ++failed;
                close(p[i].fd);
                p[i].fd = -1;
                --open;
                continue;
            }
            if (p[i].events == POLLOUT) {
                char q[32];
                int qlen = request(q, i);
                send(p[i].fd, q, (size_t)qlen, MSG_NOSIGNAL);
                shutdown(p[i].fd, SHUT_WR);
                p[i].events = POLLIN;
                continue;
            }
            char buf[512];
            ssize_t r = read(p[i].fd, buf, sizeof buf);
            if (r > 0) {
                answered[i] = 1;
                continue;
            }
            if (r < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            replies += answered[i];
            close(p[i].fd);
            p[i].fd = -1;
            --open;
        }
    }
    printf("%.6f %lu %lu %lu\n", opened, replies, n - open - replies - failed, failed + open);
}

static void run_ask(const char* host, int port)
{
    int s = connect_to(host, port);
    static const char query[] = "6193, 23\r\n";
    send(s, query, sizeof query - 1, MSG_NOSIGNAL);
    shutdown(s, SHUT_WR);
    double t0 = now();
    char buf[4096];
    for (;;) {
        struct pollfd p = {s, POLLIN, 0};
        int left = (int)((30 - (now() - t0)) * 1000);
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        ssize_t r = read(s, buf, sizeof buf);
        if (r <= 0)
            break;
        fwrite(buf, 1, (size_t)r, stdout);
    }
}

static void run_hold(const char* host, int port, unsigned long n)
{
    raise_descriptor_limit();
    for (unsigned long i = 0; i < n; ++i)
        connect_to(host, port);
    printf("held %lu\n", n);
    fflush(stdout);
    for (;;)
        pause();
}

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "seq") == 0)
        run_seq(argv[2], atoi(argv[3]), strtoul(argv[4], NULL, 10));
    else if (argc == 5 && strcmp(argv[1], "pipe") == 0)
        run_pipe(argv[2], atoi(argv[3]), strtoul(argv[4], NULL, 10));
    else if (argc == 5 && strcmp(argv[1], "burst") == 0)
        run_burst(argv[2], atoi(argv[3]), strtoul(argv[4], NULL, 10));
    else if (argc == 4 && strcmp(argv[1], "ask") == 0)
        run_ask(argv[2], atoi(argv[3]));
    else if (argc == 5 && strcmp(argv[1], "hold") == 0)
        run_hold(argv[2], atoi(argv[3]), strtoul(argv[4], NULL, 10));
    else if (argc >= 4 && strcmp(argv[1], "spawn") == 0)
        run_spawn(strtoul(argv[2], NULL, 10), argv + 3);
    else {
        fprintf(stderr,
                "usage: ident_client seq|pipe|burst|hold HOST PORT N, ask HOST PORT, or spawn N PROGRAM ARGS...\n");
        return 2;
    }
    return 0;
}
