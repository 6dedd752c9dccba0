// Memory for large data: heap or mapped (huge pages preferred) by size, each
// freed the way it was had, and a body's kept part intact when its tail goes
// back to the system.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "platform/Memory.h"

namespace {

constexpr size_t kMiB = 1 << 20;

TEST(LargeMemory, BlocksOfEverySizeAreUsableAndFreedTheirWay) {
    for (size_t size : {size_t{0}, size_t{1}, kMiB - 1, kMiB, 8 * kMiB - 1, 8 * kMiB, 9 * kMiB + 5}) {
        SCOPED_TRACE(size);
        zk::LargeBlock block = zk::AllocateLarge(size);
        ASSERT_TRUE(block);
        if (size) {
            block[0] = 1;
            block[size - 1] = 2;
        }
        zk::LargeBlock moved = std::move(block);  // the deleter travels with the memory
        EXPECT_FALSE(block);
        if (size) {
            EXPECT_EQ(moved[size - 1], 2);
        }
    }
}

TEST(LargeMemory, KeptPartOfABodySurvivesItsTailGoingBack) {
    for (size_t size : {2 * kMiB, 16 * kMiB}) {  // small pages, and huge pages where offered
        SCOPED_TRACE(size);
        zk::BodyMemory body(size);
        for (size_t i = 0; i < size; ++i) body.data()[i] = static_cast<char>(i * 7 + 3);
        const size_t kept = 3 * kMiB / 2 + 123;  // inside a huge page, not on a page boundary
        body.KeepOnly(kept);
        size_t wrong = 0;
        for (size_t i = 0; i < kept; ++i) wrong += body.data()[i] != static_cast<char>(i * 7 + 3);
        EXPECT_EQ(wrong, 0u);
    }
}

}  // namespace
