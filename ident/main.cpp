// SPDX-License-Identifier: ISC
// hoodwain: an anonymous ident responder for one connection handed over by a
// TCP super-server as descriptors 0 and 1
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "buffer.h"
#include "diag.h"
#include "format.h"
#include "responder.h"
#include "setup.h"

namespace kestrix {  // the library reads these two
const char* program_name = "hoodwain";
const char* usage_text = "Usage: hoodwain [OPTIONS]\n"
                         "A simple anonymous identd server.\n"
                         "\n"
                         "-n        Return a HIDDEN-USER response\n"
                         "-c ID     Return a USERID:UNIX ID response\n";
}  // namespace kestrix
using namespace kestrix;

int main(int argc, char** argv)
{
    std::int32_t pid = static_cast<std::int32_t>(getpid());
    buffer pending = {};

    // The last -c or -n wins. A copy that cannot be had ends the process as
    // any memory failure does, rather than answering HIDDEN-USER unasked.
    char* reply_user = nullptr;
    for (int c; (c = getopt(argc, argv, "+V?nc:")) != -1;) {
        switch (c) {
        case 'V':
            version_exit();
        case 'n':
            std::free(reply_user);
            reply_user = nullptr;
            break;
        case 'c':
            std::free(reply_user);
            reply_user = strdup(optarg);
            if (reply_user == nullptr)
                fail_bare("out of memory");
            break;
        default:
            usage_exit();
        }
    }
    if (optind != argc)
        usage_exit();

    drop_privileges();
    const char* remote_ip = std::getenv("TCPREMOTEIP");
    if (remote_ip == nullptr)
        fatal("no TCPREMOTEIP set");
    const char* remote_port = std::getenv("TCPREMOTEPORT");
    if (remote_port == nullptr)
        fatal("no TCPREMOTEPORT set");
    fd_print(fd_err, "@i: connect from @c port @c\n", pid, remote_ip, remote_port);

    serve_requests(pid, reply_user, &pending);
    std::exit(0);
}
