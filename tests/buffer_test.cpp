// SPDX-License-Identifier: ISC
// tests/buffer_test.cpp - the growable byte buffer
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "buffer.h"
#include "unit_support.h"

using namespace kestrix;
using unit::buffer_is_sane;
using unit::content;

// The library's calls to realloc come here (the test links with
// --wrap=realloc), so every resize can be counted and its size seen.
namespace {
std::uint64_t realloc_calls = 0;
std::size_t last_realloc_size = 0;
}  // namespace

extern "C" void* __real_realloc(void* p, std::size_t n);
extern "C" void* __wrap_realloc(void* p, std::size_t n)
{
    ++realloc_calls;
    last_realloc_size = n;
    return __real_realloc(p, n);
}

// The "out of memory" test needs a huge realloc to fail rather than abort.
#ifdef KESTRIX_TEST_ASAN
extern "C" __attribute__((used)) const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif

namespace {

constexpr std::uint64_t size_max = UINT64_MAX;

void fill(buffer* b, std::uint64_t n, char first = 'a')
{
    for (std::uint64_t i = 0; i < n; ++i)
        buffer_append_char(b, static_cast<char>(first + static_cast<char>(i % 26)));
}

TEST(buffer, all_zero_record_is_an_empty_buffer)
{
    buffer b = {};
    EXPECT_TRUE(buffer_is_sane(b));
    EXPECT_EQ(buffer_length(&b), 0u);
    EXPECT_STREQ(buffer_cstr(&b), "");
    EXPECT_EQ(buffer_find_char(&b, '\0'), -1);
    buffer_replace_char(&b, '\0', 'x');
    buffer_free(&b);
    EXPECT_EQ(b.storage, nullptr);
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(b.capacity, 0u);
}

TEST(buffer, reserve_makes_capacity_the_next_multiple_of_256_above_n)
{
    struct row {
        std::uint64_t n;
        std::uint64_t capacity;
    };
    const row rows[] = {{1, 256},   {255, 256},   {256, 512},   {257, 512},   {511, 512},
                        {512, 768}, {1000, 1024}, {4095, 4096}, {4096, 4352}, {65536, 65792}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.n);
        buffer b = {};
        std::uint64_t before = realloc_calls;
        buffer_reserve(&b, r.n);
        EXPECT_EQ(b.capacity, r.capacity);
        EXPECT_EQ(realloc_calls - before, 1u);
        EXPECT_EQ(last_realloc_size, r.capacity + 1) << "storage is capacity + 1 bytes";
        EXPECT_EQ(b.length, 0u);
        EXPECT_TRUE(buffer_is_sane(b));
        buffer_free(&b);
    }
}

TEST(buffer, reserve_to_the_same_capacity_does_not_resize)
{
    buffer b = {};
    buffer_reserve(&b, 300);
    ASSERT_EQ(b.capacity, 512u);
    char* storage = b.storage;
    std::uint64_t before = realloc_calls;
    for (std::uint64_t n = 256; n < 512; ++n)
        buffer_reserve(&b, n);
    EXPECT_EQ(realloc_calls, before);
    EXPECT_EQ(b.storage, storage);
    EXPECT_EQ(b.capacity, 512u);
    buffer_free(&b);
}

TEST(buffer, reserve_below_the_capacity_shrinks_and_keeps_content_and_length)
{
    buffer b = {};
    fill(&b, 10);
    buffer_reserve(&b, 1000);
    ASSERT_EQ(b.capacity, 1024u);
    std::uint64_t before = realloc_calls;
    buffer_reserve(&b, 10);
    EXPECT_EQ(realloc_calls - before, 1u);
    EXPECT_EQ(last_realloc_size, 257u);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_EQ(content(b), "abcdefghij");
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);

    // The length is never touched, even when it no longer fits: the caller
    // that reserves below it sets it afterwards.
    fill(&b, 600);
    ASSERT_EQ(b.capacity, 768u);
    std::string first(b.storage, 257);
    buffer_reserve(&b, 10);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_EQ(b.length, 600u);
    EXPECT_EQ(std::string(b.storage, 257), first);
    b.length = 10;
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);
}

TEST(buffer, reserve_zero_releases_storage_but_keeps_length)
{
    buffer b = {};
    fill(&b, 5);
    buffer_reserve(&b, 0);
    EXPECT_EQ(b.storage, nullptr);
    EXPECT_EQ(b.capacity, 0u);
    EXPECT_EQ(b.length, 5u);
    b.length = 0;
    EXPECT_TRUE(buffer_is_sane(b));
}

TEST(buffer, set_length_resizes_and_zero_leaves_the_all_zero_record)
{
    buffer b = {};
    buffer_set_length(&b, 300);
    EXPECT_EQ(b.length, 300u);
    EXPECT_EQ(b.capacity, 512u);
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_set_length(&b, 100);
    EXPECT_EQ(b.length, 100u);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_set_length(&b, 0);
    EXPECT_EQ(b.storage, nullptr);
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(b.capacity, 0u);
}

TEST(buffer, appends_size_storage_to_the_new_length)
{
    buffer b = {};
    std::string run(300, 'r');
    buffer_append(&b, run.data(), run.size());
    EXPECT_EQ(b.length, 300u);
    EXPECT_EQ(b.capacity, 512u);
    EXPECT_EQ(content(b), run);
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);

    buffer_append_char(&b, 'z');
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_EQ(content(b), "z");
    buffer_append_cstr(&b, "ab@c");
    EXPECT_EQ(content(b), "zab@c");
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);

    // Content is raw bytes.
    buffer_append(&b, "a\0b\xff", 4);
    EXPECT_EQ(content(b), std::string("a\0b\xff", 4));
    buffer_free(&b);
}

TEST(buffer, appending_256_single_bytes_allocates_exactly_twice)
{
    buffer b = {};
    std::uint64_t before = realloc_calls;
    for (int i = 0; i < 256; ++i) {
        buffer_append_char(&b, static_cast<char>(i));
        EXPECT_EQ(b.capacity, i < 255 ? 256u : 512u) << "after byte " << i + 1;
        EXPECT_TRUE(buffer_is_sane(b));
    }
    EXPECT_EQ(realloc_calls - before, 2u);
    ASSERT_EQ(b.length, 256u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(static_cast<unsigned char>(b.storage[i]), i);
    }
    buffer_free(&b);
}

TEST(buffer, append_after_consume_shrinks_to_fit)
{
    buffer b = {};
    fill(&b, 600);
    buffer_consume(&b, 500, nullptr);
    ASSERT_EQ(b.capacity, 768u);
    buffer_append_char(&b, '!');
    EXPECT_EQ(b.length, 101u);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_EQ(b.storage[100], '!');
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);
}

TEST(buffer, append_of_nothing_leaves_no_storage_and_releases_it_after_consume)
{
    buffer b = {};
    std::uint64_t before = realloc_calls;
    buffer_append(&b, "", 0);
    buffer_append_cstr(&b, "");
    EXPECT_EQ(b.storage, nullptr);
    EXPECT_EQ(realloc_calls, before);
    EXPECT_TRUE(buffer_is_sane(b));

    buffer_append_cstr(&b, "abc");
    buffer_consume(&b, 3, nullptr);
    ASSERT_NE(b.storage, nullptr);
    EXPECT_EQ(b.length, 0u);
    buffer_append(&b, "", 0);
    EXPECT_EQ(b.storage, nullptr);
    EXPECT_EQ(b.capacity, 0u);
    EXPECT_EQ(b.length, 0u);
}

TEST(buffer, assign_cstr_replaces_the_content)
{
    buffer b = {};
    buffer_assign_cstr(&b, "abc");
    EXPECT_EQ(content(b), "abc");
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_TRUE(buffer_is_sane(b));

    fill(&b, 600);
    buffer_assign_cstr(&b, "xy");
    EXPECT_EQ(content(b), "xy");
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_TRUE(buffer_is_sane(b));

    buffer_assign_cstr(&b, "");
    EXPECT_EQ(b.storage, nullptr);
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(b.capacity, 0u);
}

TEST(buffer, append_buffer_copies_and_leaves_the_source_alone)
{
    buffer src = {}, dst = {};
    buffer_append(&src, "a\0c", 3);
    buffer_append_cstr(&dst, "x");
    char* storage = src.storage;
    buffer_append_buffer(&dst, &src);
    EXPECT_EQ(content(dst), std::string("xa\0c", 4));
    EXPECT_EQ(src.storage, storage);
    EXPECT_EQ(src.length, 3u);
    EXPECT_EQ(src.capacity, 256u);
    EXPECT_EQ(content(src), std::string("a\0c", 3));
    EXPECT_TRUE(buffer_is_sane(dst));
    buffer_free(&src);
    buffer_free(&dst);

    buffer_append_buffer(&dst, &src);
    EXPECT_EQ(dst.storage, nullptr);
    EXPECT_TRUE(buffer_is_sane(dst));
}

TEST(buffer, cstr_of_empty_buffers_is_one_static_string_and_writes_nothing)
{
    buffer a = {}, b = {};
    const char* sa = buffer_cstr(&a);
    EXPECT_STREQ(sa, "");
    EXPECT_EQ(buffer_cstr(&b), sa);

    // Storage held at length 0: the shared string, and the storage untouched.
    buffer_append_cstr(&b, "xyz");
    buffer_consume(&b, 3, nullptr);
    ASSERT_NE(b.storage, nullptr);
    const char* sb = buffer_cstr(&b);
    EXPECT_EQ(sb, sa);
    EXPECT_NE(sb, b.storage);
    EXPECT_EQ(b.storage[0], 'x') << "nothing may be written at length 0";
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);
}

TEST(buffer, cstr_terminates_the_content_in_place)
{
    buffer b = {};
    buffer_append_cstr(&b, "abc");
    b.storage[3] = 'q';
    const char* s = buffer_cstr(&b);
    EXPECT_EQ(s, b.storage);
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(b.length, 3u);
    buffer_free(&b);

    // Length equal to capacity (a read can fill the storage): the NUL goes in
    // the extra byte, with no resize.
    buffer_reserve(&b, 1);
    ASSERT_EQ(b.capacity, 256u);
    std::memset(b.storage, 'a', 257);
    b.length = 256;
    std::uint64_t before = realloc_calls;
    s = buffer_cstr(&b);
    EXPECT_EQ(realloc_calls, before);
    EXPECT_EQ(s, b.storage);
    EXPECT_EQ(std::strlen(s), 256u);
    EXPECT_EQ(b.capacity, 256u);
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);
}

TEST(buffer, find_char_finds_the_first_match_inside_the_content)
{
    struct row {
        std::string text;
        char c;
        std::int64_t index;
    };
    const row rows[] = {
        {"abcabc", 'b', 1},
        {"abcabc", 'a', 0},
        {"abcabc", 'c', 2},
        {"abcabc", 'z', -1},
        {std::string("ab\0c", 4), '\0', 2},
        {"ab\xff", '\xff', 2},
        {std::string(300, 'x') + ",", ',', 300},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        buffer b = {};
        buffer_append(&b, r.text.data(), r.text.size());
        EXPECT_EQ(buffer_find_char(&b, r.c), r.index);
        buffer_free(&b);
    }

    // Bytes beyond the content are never found, the NUL of cstr included.
    buffer b = {};
    buffer_append_cstr(&b, "abc");
    b.storage[3] = 'z';
    EXPECT_EQ(buffer_find_char(&b, 'z'), -1);
    buffer_cstr(&b);
    EXPECT_EQ(buffer_find_char(&b, '\0'), -1);
    buffer_consume(&b, 3, nullptr);
    EXPECT_EQ(buffer_find_char(&b, 'a'), -1);
    buffer_free(&b);
}

TEST(buffer, replace_char_changes_only_matching_content_bytes)
{
    for (std::uint64_t n : {1u, 7u, 255u, 256u, 700u}) {
        SCOPED_TRACE(n);
        buffer b = {};
        for (std::uint64_t i = 0; i < n; ++i)
            buffer_append_char(&b, i % 3 == 0 ? 'a' : static_cast<char>('b' + static_cast<char>(i % 5)));
        b.storage[n] = 'a';  // the byte at position length is not content
        char* storage = b.storage;
        std::uint64_t capacity = b.capacity;
        buffer_replace_char(&b, 'a', 'Z');
        EXPECT_EQ(b.storage[n], 'a');
        EXPECT_EQ(b.length, n);
        EXPECT_EQ(b.capacity, capacity);
        EXPECT_EQ(b.storage, storage);
        for (std::uint64_t i = 0; i < n; ++i) {
            ASSERT_EQ(b.storage[i], i % 3 == 0 ? 'Z' : static_cast<char>('b' + static_cast<char>(i % 5))) << "at " << i;
        }
        buffer_replace_char(&b, 'b', 'b');
        for (std::uint64_t i = 0; i < n; i += 5)
            if (i % 3 != 0) {
                ASSERT_EQ(b.storage[i], 'b') << "at " << i;
            }
        buffer_free(&b);
    }

    buffer b = {};
    buffer_append_char(&b, 'a');
    buffer_consume(&b, 1, nullptr);
    buffer_replace_char(&b, 'a', 'Z');
    EXPECT_EQ(b.storage[0], 'a') << "an empty buffer with storage is left alone";
    buffer_free(&b);
}

TEST(buffer, consume_removes_the_front_and_appends_it_to_a_destination)
{
    buffer src = {}, dst = {};
    buffer_append_cstr(&src, "abcdef");
    char* storage = src.storage;
    buffer_consume(&src, 2, nullptr);
    EXPECT_EQ(content(src), "cdef");
    EXPECT_EQ(src.capacity, 256u);
    EXPECT_EQ(src.storage, storage);
    EXPECT_TRUE(buffer_is_sane(src));

    buffer_assign_cstr(&src, "abcdef");
    buffer_append_cstr(&dst, "x");
    buffer_consume(&src, 2, &dst);
    EXPECT_EQ(content(dst), "xab");
    EXPECT_EQ(content(src), "cdef");
    EXPECT_TRUE(buffer_is_sane(dst));

    buffer_consume(&src, 0, &dst);
    EXPECT_EQ(content(src), "cdef");
    EXPECT_EQ(content(dst), "xab");

    storage = src.storage;
    buffer_consume(&src, 4, &dst);
    EXPECT_EQ(content(dst), "xabcdef");
    EXPECT_EQ(src.length, 0u);
    EXPECT_EQ(src.storage, storage) << "storage stays allocated";
    EXPECT_EQ(src.capacity, 256u);
    EXPECT_TRUE(buffer_is_sane(src));
    buffer_free(&src);
    buffer_free(&dst);

    // An overlapping move of a long remainder.
    for (int i = 0; i < 1000; ++i)
        buffer_append_char(&src, static_cast<char>('0' + i % 10));
    buffer_consume(&src, 3, nullptr);
    ASSERT_EQ(src.length, 997u);
    for (std::uint64_t i = 0; i < src.length; ++i) {
        ASSERT_EQ(src.storage[i], static_cast<char>('0' + (i + 3) % 10)) << "at " << i;
    }
    buffer_free(&src);
}

TEST(buffer, freed_record_is_all_zero_and_reusable)
{
    buffer b = {};
    fill(&b, 400);
    buffer_free(&b);
    EXPECT_EQ(b.storage, nullptr);
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(b.capacity, 0u);
    buffer_append_cstr(&b, "again");
    EXPECT_EQ(content(b), "again");
    EXPECT_TRUE(buffer_is_sane(b));
    buffer_free(&b);
}

TEST(buffer, sizes_that_cannot_be_represented_end_the_process_with_status_20)
{
    for (std::uint64_t n : {size_max - 255, size_max - 1, size_max}) {
        SCOPED_TRACE(n);
        harness::outcome o = unit::run([n] {
            buffer b = {};
            buffer_reserve(&b, n);
        });
        EXPECT_TRUE(unit::ended(o, 20, "", "buffer size too large"));
    }
    // The same from a buffer that already holds storage.
    harness::outcome o = unit::run([] {
        buffer b = {};
        buffer_append_cstr(&b, "abc");
        buffer_reserve(&b, size_max - 100);
    });
    EXPECT_TRUE(unit::ended(o, 20, "", "buffer size too large"));
}

TEST(buffer, allocation_failure_ends_the_process_with_status_20)
{
    // 2^64 - 257 is representable: capacity 2^64 - 256, an allocation of
    // 2^64 - 255 bytes, which no system grants.
    harness::outcome o = unit::run([] {
        buffer b = {};
        buffer_reserve(&b, size_max - 256);
    });
    o.err = unit::without_allocation_warning(o.err);
    EXPECT_TRUE(unit::ended(o, 20, "", "out of memory"));
}

}  // namespace
