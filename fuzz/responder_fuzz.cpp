// SPDX-License-Identifier: ISC
// fuzz/responder_fuzz.cpp - the ident request loop on arbitrary byte streams
//
// serve_requests runs in process. read and write are interposed: descriptor 0
// yields the stream in pieces whose sizes the input chooses, then end of input
// or a read failure; descriptors 1 and 2 are captured, with short writes,
// interruptions and (on 1) a peer that stops taking bytes at a chosen offset.
// A plain model of the rules predicts the exact bytes on both, and every read
// is checked against the request limit.
//
// Input layout: flags, counts, pid choice, write pattern, short-write size,
// peer capacity (2 bytes), the piece sizes, the user id, then the stream.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "responder.h"

namespace kestrix {  // the library reads these two
const char* program_name = "hoodwain";
const char* usage_text = "";
}  // namespace kestrix

using kestrix::buffer;

namespace {

struct scene {
    // what descriptor 0 delivers
    std::string stream;
    std::vector<std::size_t> pieces;
    bool ends_in_failure = false;
    // how descriptors 1 and 2 take bytes
    std::uint8_t interrupt_mask = 0;  // bit (call % 8) set: that write is interrupted
    std::size_t short_size = 0;       // at most this many bytes per write; 0: all
    bool peer_stops = false;
    std::size_t peer_capacity = 0;  // bytes descriptor 1 takes before it fails
};

struct play {
    bool active = false;
    const scene* s = nullptr;
    const buffer* pending = nullptr;
    std::size_t consumed = 0;
    std::size_t reads = 0;
    std::size_t writes = 0;
    bool read_after_end = false;
    std::string out, err;
};

play now;

std::size_t piece_size(std::uint8_t b)
{
    return b < 128 ? std::size_t{b} + 1u : std::size_t{b - 127u} * 16u;
}

}  // namespace

extern "C" ssize_t __wrap_read(int fd, void* data, std::size_t n)
{
    if (!now.active)
        return __real_read(fd, data, n);
    FUZZ_CHECK(fd == 0);
    const buffer* p = now.pending;
    // The request limit holds at every read, and no read is made while a
    // whole request is already held.
    FUZZ_CHECK(p->length <= request_limit);
    FUZZ_CHECK(n >= 1 && n <= request_limit - p->length);
    FUZZ_CHECK(p->capacity == fuzz::capacity_for(request_limit));
    FUZZ_CHECK(static_cast<char*>(data) == p->storage + p->length);
    FUZZ_CHECK(fuzz::content(*p).find('\n') == std::string::npos);
    FUZZ_CHECK(!now.read_after_end);
    const scene& s = *now.s;
    std::size_t left = s.stream.size() - now.consumed;
    if (left == 0) {
        now.read_after_end = true;
        if (s.ends_in_failure) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
    std::size_t piece = s.pieces.empty() ? left : s.pieces[now.reads % s.pieces.size()];
    ++now.reads;
    std::size_t k = std::min({piece, n, left});
    std::copy_n(s.stream.data() + now.consumed, k, static_cast<char*>(data));
    now.consumed += k;
    return static_cast<ssize_t>(k);
}

extern "C" ssize_t __wrap_write(int fd, const void* data, std::size_t n)
{
    if (!now.active)
        return __real_write(fd, data, n);
    FUZZ_CHECK(fd == 1 || fd == 2);
    FUZZ_CHECK(n > 0);
    const scene& s = *now.s;
    std::size_t call = now.writes++;
    if ((s.interrupt_mask >> (call % 8)) & 1) {
        errno = EINTR;
        return -1;
    }
    std::size_t k = s.short_size == 0 ? n : std::min(n, s.short_size);
    std::string* into = fd == 1 ? &now.out : &now.err;
    if (fd == 1 && s.peer_stops) {
        if (now.out.size() >= s.peer_capacity) {
            errno = EPIPE;
            return -1;
        }
        k = std::min(k, s.peer_capacity - now.out.size());
    }
    into->append(static_cast<const char*>(data), k);
    return static_cast<ssize_t>(k);
}

namespace {

struct prediction {
    std::string out, err;
    std::size_t next_request = 0;  // where the read-ahead must begin afterwards
    bool over_long = false;        // ended on request_limit bytes without a newline
    bool ended_at_input_end = false;
    bool invalid_or_failed = false;
};

// The port rule by an independent conversion: strtoll follows the same atoi
// rules and saturates instead of wrapping, and anything beyond 65535 is out
// of range either way.
bool port_of(const char* text, long long* port)
{
    *port = std::strtoll(text, nullptr, 10);
    return *port >= 1 && *port <= 65535;
}

prediction predict(const scene& s, std::int32_t pid, const char* user)
{
    prediction p;
    const std::string head = std::to_string(pid) + ": ";
    std::size_t at = 0;
    for (;;) {
        std::size_t window = std::min(s.stream.size() - at, std::size_t{request_limit});
        std::size_t nl = s.stream.find('\n', at);
        if (nl == std::string::npos || nl - at >= window) {
            if (window == request_limit) {
                p.over_long = true;
            } else {
                p.ended_at_input_end = true;
                if (s.ends_in_failure)
                    p.err += head + "read from client failed\n";
            }
            p.next_request = at;
            break;
        }
        std::string line = s.stream.substr(at, nl - at);
        at = nl + 1;
        p.next_request = at;
        std::size_t comma = line.find(',');
        if (comma == std::string::npos) {
            p.err += head + "request without comma\n";
            p.invalid_or_failed = true;
            break;
        }
        long long first = 0, second = 0;
        if (!port_of(line.c_str(), &first) || !port_of(line.c_str() + comma + 1, &second)) {
            p.err += head + "port out of range in request\n";
            p.invalid_or_failed = true;
            break;
        }
        p.err += head + "request " + std::to_string(first) + "," + std::to_string(second) + "\n";
        std::string reply = " " + std::to_string(first) + " , " + std::to_string(second) + " : ";
        reply += user != nullptr ? std::string("USERID : UNIX : ") + user + "\r\n" : "ERROR : HIDDEN-USER\r\n";
        if (s.peer_stops && p.out.size() + reply.size() > s.peer_capacity) {
            p.out += reply.substr(0, s.peer_capacity - p.out.size());
            p.err += head + "write to client failed\n";
            p.invalid_or_failed = true;
            break;
        }
        p.out += reply;
    }
    p.err += head + "closed\n";
    return p;
}

const std::int32_t pids[] = {4711, 1, 0, -1, INT32_MAX, INT32_MIN, 99999, 32768};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::reader r{data, size, 0};
    scene s;
    std::uint8_t flags = fuzz::take_byte(&r);
    std::uint8_t counts = fuzz::take_byte(&r);
    std::int32_t pid = pids[fuzz::take_byte(&r) % 8];
    s.interrupt_mask = fuzz::take_byte(&r);
    if (s.interrupt_mask == 0xff)
        s.interrupt_mask = 0x7f;
    s.short_size = fuzz::take_byte(&r);
    s.peer_capacity = static_cast<std::size_t>(fuzz::take_bytes_le(&r, 2));
    bool has_user = flags & 1;
    s.ends_in_failure = flags & 2;
    s.peer_stops = flags & 4;
    std::size_t piece_count = counts & 15;
    for (std::size_t i = 0; i < piece_count; ++i)
        s.pieces.push_back(piece_size(fuzz::take_byte(&r)));
    // The id is sent as it stands, so any byte but NUL may be in it.
    std::string user = fuzz::take_string(&r, counts >> 4);
    if (user.find('\0') != std::string::npos)
        user.resize(user.find('\0'));
    s.stream = fuzz::take_rest(&r);

    buffer pending = {};
    now = play{};
    now.active = true;
    now.s = &s;
    now.pending = &pending;
    serve_requests(pid, has_user ? user.c_str() : nullptr, &pending);
    now.active = false;

    prediction p = predict(s, pid, has_user ? user.c_str() : nullptr);
    FUZZ_CHECK(now.out == p.out);
    FUZZ_CHECK(now.err == p.err);
    // The read-ahead holds exactly what was read beyond the last request taken.
    FUZZ_CHECK(fuzz::buffer_is_sane(pending));
    FUZZ_CHECK(pending.length <= request_limit);
    FUZZ_CHECK(now.consumed >= p.next_request);
    FUZZ_CHECK(fuzz::content(pending) == s.stream.substr(p.next_request, now.consumed - p.next_request));
    // An over-long request ends the loop with exactly the limit held and no
    // wait for more; no read ever reaches beyond the limit.
    if (p.over_long) {
        FUZZ_CHECK(pending.length == request_limit);
        FUZZ_CHECK(!now.read_after_end);
    }
    if (p.ended_at_input_end)
        FUZZ_CHECK(now.read_after_end && now.consumed == s.stream.size());
    FUZZ_CHECK(now.consumed - p.next_request <= request_limit);
    kestrix::buffer_free(&pending);
    return 0;
}
