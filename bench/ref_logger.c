// SPDX-License-Identifier: ISC
/*
 * ref_logger: the least work that appending standard input line by line to a
 * log file can take when every record must be on disk before the next line is
 * taken. It makes only the system calls that this requires: reads of 4096
 * bytes, and one O_APPEND|O_SYNC write per non-empty line (with -c, the ctime
 * text and a space in front). An unterminated tail is the last record. Lines
 * are written where they lie in the input buffer, without a copy; a stamped
 * line is copied once behind its stamp. No signals, no diagnostics beyond a
 * status: a yardstick for the benchmarks, not a logger.
 *
 *   ref_logger [-c] logfile < input
 */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { read_size = 4096 };

static int log_fd;
static int stamped;
static char* record;
static size_t record_room;

static void write_all(const char* p, size_t n)
{
    while (n != 0) {
        ssize_t w = write(log_fd, p, n);
        if (w < 0)
            exit(111);
        p += w;
        n -= (size_t)w;
    }
}

/* line[n] is the newline, or room for one. */
static void put_line(char* line, size_t n)
{
    if (n == 0)
        return;
    line[n] = '\n';
    if (!stamped) {
        write_all(line, n + 1);
        return;
    }
    time_t now = time(NULL);
    const char* text = ctime(&now);
    size_t k = text == NULL ? 0 : strlen(text);
    if (record_room < k + n + 1) {
        record_room = k + n + 1;
        record = realloc(record, record_room);
        if (record == NULL)
            exit(20);
    }
    if (k != 0) {
        memcpy(record, text, k - 1);
        record[k - 1] = ' ';
    }
    memcpy(record + k, line, n + 1);
    write_all(record, k + n + 1);
}

int main(int argc, char** argv)
{
    int a = 1;
    if (a < argc && strcmp(argv[a], "-c") == 0) {
        stamped = 1;
        ++a;
    }
    if (a + 1 != argc)
        return 1;
    log_fd = open(argv[a], O_WRONLY | O_APPEND | O_CREAT | O_SYNC | O_CLOEXEC, 0644);
    if (log_fd < 0)
        return 111;

    /* buf[0..held) is input not yet written; the first `scanned` bytes of it
       hold no newline. One spare byte stays free for the tail's newline. */
    size_t room = 2 * read_size, held = 0, scanned = 0;
    char* buf = malloc(room + 1);
    if (buf == NULL)
        return 20;
    for (;;) {
        if (room - held < read_size) {
            room *= 2;
            buf = realloc(buf, room + 1);
            if (buf == NULL)
                return 20;
        }
        ssize_t r = read(0, buf + held, read_size);
        if (r < 0)
            return 1;
        if (r == 0)
            break;
        held += (size_t)r;
        size_t start = 0;
        char* nl;
        while ((nl = memchr(buf + scanned, '\n', held - scanned)) != NULL) {
            size_t end = (size_t)(nl - buf);
            put_line(buf + start, end - start);
            start = scanned = end + 1;
        }
        scanned = held;
        if (start != 0) {
            memmove(buf, buf + start, held - start);
            held -= start;
            scanned -= start;
        }
    }
    put_line(buf, held);
    return close(log_fd) == 0 ? 0 : 111;
}
