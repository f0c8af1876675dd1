// SPDX-License-Identifier: ISC
// ident/responder.cpp - the request loop of one ident connection
#include "responder.h"

#include "diag.h"
#include "format.h"
#include "io.h"
#include "setup.h"

using namespace kestrix;

namespace {

constexpr std::int32_t port_min = 1;
constexpr std::int32_t port_max = 65535;

// A number too large for 32 bits is refused by the scan and counts as out of
// range, so it can never wrap round to a port that looks valid.
bool scan_port(const char* text, std::int32_t* port)
{
    return scan_int32(text, port) == 1 && *port >= port_min && *port <= port_max;
}

}  // namespace

void serve_requests(std::int32_t pid, const char* reply_user, buffer* pending)
{
    buffer request_line = {}, reply_line = {};
    for (;;) {
        int r = buffer_read_line(fd_in, &request_line, request_limit, pending);
        if (r == 0)
            break;
        if (r < 0) {
            fd_print(fd_err, "@i: read from client failed\n", pid);
            break;
        }
        std::int64_t comma = buffer_find_char(&request_line, ',');
        if (comma < 0) {
            fd_print(fd_err, "@i: request without comma\n", pid);
            break;
        }
        // A NUL inside the line ends the first number like any other byte;
        // the comma was found over the whole line all the same.
        const char* text = buffer_cstr(&request_line);
        std::int32_t first = 0, second = 0;
        if (!scan_port(text, &first) || !scan_port(text + comma + 1, &second)) {
            fd_print(fd_err, "@i: port out of range in request\n", pid);
            break;
        }
        fd_print(fd_err, "@i: request @i,@i\n", pid, first, second);
        buffer_format(&reply_line, " @i , @i : ", first, second);
        if (reply_user != nullptr)
            buffer_format(&reply_line, "USERID : UNIX : @c\r\n", reply_user);
        else
            buffer_format(&reply_line, "ERROR : HIDDEN-USER\r\n");
        if (buffer_write_all(fd_out, &reply_line) < 0) {
            fd_print(fd_err, "@i: write to client failed\n", pid);
            break;
        }
        buffer_free(&request_line);
        buffer_free(&reply_line);
    }
    fd_print(fd_err, "@i: closed\n", pid);
    buffer_free(&request_line);
    buffer_free(&reply_line);
}
