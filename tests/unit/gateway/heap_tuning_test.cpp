// What the C library does with a large block once freed, with the gateway's
// heap limits and with the defaults. Each case runs in a child process of its
// own, as the limits are process-wide and cannot be taken back.
#include "gateway/heap_tuning.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

using namespace vnx;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kOwnAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kOwnAllocator = true;
#else
constexpr bool kOwnAllocator = false;
#endif
#else
constexpr bool kOwnAllocator = false;
#endif

// Below kHeapBlockMax and far above the defaults' first mapping threshold.
constexpr size_t kBlock = size_t{24} << 20;

// Allocates and touches a block of kBlock bytes, frees it; exit status 0
// when the mapped bytes while it lived and the free heap kept after it are
// as `tuned` says, 1 when mapped wrongly, 2 when the heap was given back
// wrongly.
[[noreturn]] void large_block_round(bool tuned) {
    if (tuned && !keep_result_heap()) _exit(3);
    char *p = static_cast<char *>(malloc(kBlock));
    if (p == nullptr) _exit(4);
    memset(p, 'x', kBlock);
    size_t mapped = mallinfo2().hblkhd;
    free(p);
    size_t kept = mallinfo2().fordblks;
    if (tuned ? mapped >= kBlock : mapped < kBlock) _exit(1);
    if (tuned ? kept < kBlock : kept >= kBlock) _exit(2);
    _exit(0);
}

TEST(HeapTuning, LargeBlockComesFromHeapAndStaysAfterFree) {
    if (kOwnAllocator) GTEST_SKIP() << "the sanitizer's allocator takes no C library limits";
    EXPECT_EXIT(large_block_round(true), ::testing::ExitedWithCode(0), "");
}

TEST(HeapTuning, DefaultsMapLargeBlockAndGiveItBack) {
    if (kOwnAllocator) GTEST_SKIP() << "the sanitizer's allocator takes no C library limits";
    EXPECT_EXIT(large_block_round(false), ::testing::ExitedWithCode(0), "");
}

}  // namespace
