// SPDX-License-Identifier: ISC
// fuzz/read_until_fuzz.cpp - buffer_read_until against a plain model
//
// A stream is read record by record through one read-ahead buffer with a
// limit (none, small, or around the 256-byte steps) and a delimiter that the
// input chooses. read is interposed: it hands out the stream in pieces whose
// sizes the input decides, and fails (EINTR or EIO) at the reads the input
// marks; the next call resumes. Before every call the model works out which
// reads the call must make (their sizes, in order) and what it must return;
// the interposed read checks each one as it comes. After every call the
// result, out, the read-ahead and their storage are compared with the model.
//
// Input layout: limit choice, delimiter, counts, flags, the piece bytes (bit 7:
// the read fails, bit 6: with EIO rather than EINTR, bits 0-5: size, 0 for all
// that is asked), the starting content of out, then the stream.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "io.h"

namespace kestrix {  // the library reads these two
const char* program_name = "fuzz";
const char* usage_text = "";
}  // namespace kestrix

using kestrix::buffer;

namespace {

constexpr std::uint64_t unlimited_read = 4096;
constexpr int call_limit = 5000;

struct expected_read {
    std::uint64_t n;
    ssize_t result;
    int error;
    std::size_t from;  // stream offset of the bytes handed out
};

struct play {
    bool active = false;
    const std::string* stream = nullptr;
    const buffer* pending = nullptr;
    std::vector<expected_read> reads;
    std::size_t next = 0;
};

play now;

}  // namespace

extern "C" ssize_t __wrap_read(int fd, void* data, std::size_t n)
{
    if (!now.active)
        return __real_read(fd, data, n);
    FUZZ_CHECK(fd == 7);
    FUZZ_CHECK(now.next < now.reads.size());
    const expected_read& e = now.reads[now.next++];
    FUZZ_CHECK(n == e.n);
    const buffer* p = now.pending;
    FUZZ_CHECK(p->storage != nullptr && static_cast<char*>(data) == p->storage + p->length);
    FUZZ_CHECK(p->capacity >= p->length + n);
    if (e.result < 0) {
        errno = e.error;
        return -1;
    }
    std::copy_n(now.stream->data() + e.from, static_cast<std::size_t>(e.result), static_cast<char*>(data));
    return e.result;
}

extern "C" ssize_t __wrap_write(int fd, const void* data, std::size_t n)
{
    return __real_write(fd, data, n);
}

namespace {

struct model {
    std::string out, pending;
    std::size_t taken = 0;  // stream bytes handed out so far
    std::size_t reads = 0;  // reads made so far, failed ones included
};

struct piece {
    bool fails;
    int error;
    std::size_t size;  // 0: all that is asked
};

// One call as the rules describe it: deliver from what is held, else read
// the room left (or 4096 without a limit) until a record is complete, the
// limit is full, the input ends or a read fails.
int model_call(model* m, const std::string& stream, std::uint64_t limit, char delimiter,
               const std::vector<piece>& pieces, std::vector<expected_read>* reads)
{
    for (;;) {
        std::size_t at = m->pending.find(delimiter);
        if (at != std::string::npos) {
            m->out += m->pending.substr(0, at);
            m->pending.erase(0, at + 1);
            return 1;
        }
        std::uint64_t want = limit == 0 ? unlimited_read : limit - m->pending.size();
        if (want == 0)
            return 0;
        const piece& p = pieces[m->reads++ % pieces.size()];
        if (p.fails) {
            reads->push_back({want, -1, p.error, 0});
            return -1;
        }
        std::size_t left = stream.size() - m->taken;
        std::size_t k = std::min<std::size_t>({p.size == 0 ? want : p.size, want, left});
        reads->push_back({want, static_cast<ssize_t>(k), 0, m->taken});
        if (k == 0)
            return 0;
        m->pending += stream.substr(m->taken, k);
        m->taken += k;
    }
}

const std::uint64_t larger_limits[] = {255, 256, 257, 511, 512, 1000, 4095, 4096};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::reader r{data, size, 0};
    std::uint8_t limit_choice = fuzz::take_byte(&r);
    std::uint64_t limit = limit_choice < 200 ? limit_choice % 41 : larger_limits[limit_choice % 8];
    char delimiter = static_cast<char>(fuzz::take_byte(&r));
    std::uint8_t counts = fuzz::take_byte(&r);
    bool empty_out_after_record = fuzz::take_byte(&r) & 1;
    std::vector<piece> pieces;
    for (int i = 0, n = (counts & 15) + 1; i < n; ++i) {
        std::uint8_t b = fuzz::take_byte(&r);
        pieces.push_back({(b & 0x80) != 0, (b & 0x40) != 0 ? EIO : EINTR, std::size_t{b & 0x3fu}});
    }
    std::string start = fuzz::take_string(&r, counts >> 4);
    std::string stream = fuzz::take_rest(&r);

    buffer out = {}, pending = {};
    kestrix::buffer_append(&out, start.data(), start.size());
    model m;
    m.out = start;
    now = play{};
    now.stream = &stream;
    now.pending = &pending;

    int zeros = 0;
    for (int call = 0; call < call_limit && zeros < 2; ++call) {
        std::uint64_t out_capacity = out.capacity;
        now.reads.clear();
        now.next = 0;
        int expected = model_call(&m, stream, limit, delimiter, pieces, &now.reads);
        now.active = true;
        int result = delimiter == '\n' ? kestrix::buffer_read_line(7, &out, limit, &pending)
                                       : kestrix::buffer_read_until(7, &out, limit, delimiter, &pending);
        now.active = false;

        FUZZ_CHECK(result == expected);
        FUZZ_CHECK(now.next == now.reads.size());
        FUZZ_CHECK(fuzz::buffer_is_sane(out) && fuzz::buffer_is_sane(pending));
        FUZZ_CHECK(fuzz::content(out) == m.out);
        FUZZ_CHECK(fuzz::content(pending) == m.pending);
        // Delivery sizes out by the growth rule for its new length (no
        // storage when it is empty); anything else leaves it as it was.
        if (result == 1)
            FUZZ_CHECK(out.capacity == fuzz::capacity_for(out.length));
        else
            FUZZ_CHECK(out.capacity == out_capacity);
        // With a limit the read-ahead is sized once, for the limit itself.
        if (limit != 0 && pending.storage != nullptr)
            FUZZ_CHECK(pending.capacity == fuzz::capacity_for(limit) && pending.length <= limit);
        if (result == 0)
            ++zeros;
        if (result == 1 && empty_out_after_record) {
            kestrix::buffer_free(&out);
            m.out.clear();
        }
    }
    kestrix::buffer_free(&out);
    kestrix::buffer_free(&pending);
    return 0;
}
