// SPDX-License-Identifier: ISC
/*
 * ref_ident: the least work an anonymous ident responder for one connection
 * can do with the same observable behaviour: the same replies on descriptor
 * 1, the same connection log on descriptor 2 (one write per line), requests
 * of at most 1000 bytes read with at most the room left below that limit,
 * ROOT/GID/UID looked up before anything is read. Plain C, fixed arrays, no
 * allocation, no stdio; linked statically by the benchmark. A yardstick, not
 * a server: confinement itself is left out (the benchmarks never ask for it).
 *
 *   ref_ident [-n] [-c ID]
 */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { request_limit = 1000 };

static char* put_text(char* at, const char* s)
{
    size_t n = strlen(s);
    memcpy(at, s, n);
    return at + n;
}

static char* put_number(char* at, long v)
{
    char digits[24];
    int n = 0;
    unsigned long u = v < 0 ? 0UL - (unsigned long)v : (unsigned long)v;
    if (v < 0)
        *at++ = '-';
    do
        digits[n++] = (char)('0' + u % 10);
    while ((u /= 10) != 0);
    while (n != 0)
        *at++ = digits[--n];
    return at;
}

static void write_all(int fd, const char* p, size_t n)
{
    while (n != 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0)
            return;
        p += w;
        n -= (size_t)w;
    }
}

static long pid;

static void log_line(const char* text)
{
    char line[64];
    char* at = put_number(line, pid);
    at = put_text(at, text);
    write_all(2, line, (size_t)(at - line));
}

/* atoi's rules, refusing what does not fit 32 bits as out of range. */
static long port_of(const char* s)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    int negative = *s == '-';
    if (*s == '+' || *s == '-')
        ++s;
    long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s)
        if (v <= 1L << 32)
            v = v * 10 + (*s - '0');
    return negative ? -v : v;
}

int main(int argc, char** argv)
{
    pid = (long)getpid();
    const char* user = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "+nc:")) != -1) {
        if (opt == 'n')
            user = NULL;
        else if (opt == 'c')
            user = optarg;
        else
            return 1;
    }
    if (optind != argc)
        return 1;
    if (getenv("ROOT") != NULL || getenv("GID") != NULL || getenv("UID") != NULL)
        return 111;
    const char* ip = getenv("TCPREMOTEIP");
    const char* port = getenv("TCPREMOTEPORT");
    if (ip == NULL || port == NULL)
        return 111;
    {
        char line[600];
        char* at = put_number(line, pid);
        size_t ni = strlen(ip), np = strlen(port);
        if (ni + np < 500) {
            at = put_text(at, ": connect from ");
            at = put_text(at, ip);
            at = put_text(at, " port ");
            at = put_text(at, port);
            *at++ = '\n';
            write_all(2, line, (size_t)(at - line));
        }
    }

    /* pending[0, held) is read and not yet answered; pending[0, scanned)
       holds no newline. */
    char pending[request_limit + 1];
    size_t held = 0, scanned = 0;
    for (;;) {
        char* nl = memchr(pending + scanned, '\n', held - scanned);
        if (nl == NULL) {
            scanned = held;
            if (held == request_limit)
                break;
            ssize_t r = read(0, pending + held, request_limit - held);
            if (r < 0)
                log_line(": read from client failed\n");
            if (r <= 0)
                break;
            held += (size_t)r;
            continue;
        }
        *nl = '\0';
        char* comma = memchr(pending, ',', (size_t)(nl - pending));
        if (comma == NULL) {
            log_line(": request without comma\n");
            break;
        }
        long first = port_of(pending), second = port_of(comma + 1);
        if (first < 1 || first > 65535 || second < 1 || second > 65535) {
            log_line(": port out of range in request\n");
            break;
        }
        char line[64];
        char* at = put_number(line, pid);
        at = put_text(at, ": request ");
        at = put_number(at, first);
        *at++ = ',';
        at = put_number(at, second);
        *at++ = '\n';
        write_all(2, line, (size_t)(at - line));

        char reply[1100];
        at = reply;
        *at++ = ' ';
        at = put_number(at, first);
        at = put_text(at, " , ");
        at = put_number(at, second);
        at = put_text(at, " : ");
        if (user != NULL && strlen(user) < 1000) {
            at = put_text(at, "USERID : UNIX : ");
            at = put_text(at, user);
            at = put_text(at, "\r\n");
        } else {
            at = put_text(at, "ERROR : HIDDEN-USER\r\n");
        }
        ssize_t want = at - reply;
        const char* p = reply;
        while (want > 0) {
            ssize_t w = write(1, p, (size_t)want);
            if (w < 0) {
                log_line(": write to client failed\n");
                goto closed;
            }
            p += w;
            want -= w;
        }
        size_t used = (size_t)(nl - pending) + 1;
        memmove(pending, pending + used, held - used);
        held -= used;
        scanned = 0;
    }
closed:
    log_line(": closed\n");
    return 0;
}
