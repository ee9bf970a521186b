#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "memory_pool.hpp"
#include "utils.hpp"

namespace {

bool is_aligned(const void* ptr) { return reinterpret_cast<uintptr_t>(ptr) % alignof(std::max_align_t) == 0; }

// A block is preceded by its list links (to the newer block, to the older
// one) at the start of a header padded to the maximal alignment.
struct block_links {
    block_links* prev;
    block_links* next;
};

constexpr size_t HEADER_SIZE = (sizeof(block_links) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

// `ptr` heads the list, and the block after it links back to it.
void expect_head(void* ptr) {
    const auto* links = reinterpret_cast<block_links*>(static_cast<char*>(ptr) - HEADER_SIZE);
    EXPECT_EQ(links->prev, nullptr);
    if (links->next != nullptr) {
        EXPECT_EQ(links->next->prev, links);
    }
}

TEST(MemoryPool, AllocationsOfAnySizeAreAlignedAndFreeable) {
    const size_t start = memory_pool_block_count();
    for (size_t size : {0u, 1u, 7u, 16u, 33u, 4096u}) {
        void* ptr = memory_pool_alloc(size);
        ASSERT_NE(ptr, nullptr);
        EXPECT_TRUE(is_aligned(ptr)) << "size " << size;
        EXPECT_EQ(memory_pool_block_count(), start + 1);
        std::memset(ptr, 0xAB, size);
        memory_pool_free(ptr);
        EXPECT_EQ(memory_pool_block_count(), start);
    }
}

// Every block sits in one list that free_all walks from the newest block.
// Freeing the newest, a middle and the oldest block, each next to one freed
// before, and reallocating must keep that list whole: the head links back
// correctly, and free_all leaves nothing counted (a block cut off would stay
// counted, one freed but still linked would be freed twice). The test releases
// every block of the process: nothing may be held across it.
TEST(MemoryPool, FreeAllReleasesExactlyWhatFreesAndReallocationsLeft) {
    memory_pool_free_all();
    EXPECT_EQ(memory_pool_block_count(), 0u);
    memory_pool_free_all();  // on an empty pool
    void* block[6];
    for (void*& ptr : block) ptr = memory_pool_alloc(8);
    memory_pool_free(block[2]);  // middle ones
    memory_pool_free(block[3]);
    memory_pool_free(block[5]);  // the newest
    memory_pool_free(block[4]);  // the new newest
    memory_pool_free(block[0]);  // the oldest
    expect_head(block[1]);

    std::memcpy(block[1], "abcdefg", 8);
    block[1] = memory_pool_realloc(block[1], 100000);
    EXPECT_STREQ(static_cast<char*>(block[1]), "abcdefg");
    EXPECT_TRUE(is_aligned(block[1]));
    void* other = memory_pool_alloc(8);
    block[1] = memory_pool_realloc(block[1], 3);
    EXPECT_EQ(std::memcmp(block[1], "abc", 3), 0);
    expect_head(block[1]);
    memory_pool_free(other);
    memory_pool_alloc(0);
    EXPECT_EQ(memory_pool_block_count(), 2u);
    memory_pool_free_all();
    EXPECT_EQ(memory_pool_block_count(), 0u);

    void* again = memory_pool_alloc(16);
    EXPECT_EQ(memory_pool_block_count(), 1u);
    memory_pool_free(again);
    EXPECT_EQ(memory_pool_block_count(), 0u);
}

TEST(MemoryPoolDeathTest, ExhaustedMemoryAndSizeOverflowEndTheProcess) {
    // The reported size is the caller's, not the caller's plus the header.
    EXPECT_DEATH(memory_pool_alloc(SIZE_MAX - 8),
                 "Failed to allocate " + std::to_string(SIZE_MAX - 8) + " bytes for memory block");
    EXPECT_DEATH(memory_pool_realloc(memory_pool_alloc(8), SIZE_MAX),
                 "Failed to reallocate the memory block at 0x[0-9A-F]{8,} to " + std::to_string(SIZE_MAX) + " bytes");
    EXPECT_EQ(size_add(SIZE_MAX - 1, 1), SIZE_MAX);
    EXPECT_DEATH(size_add(SIZE_MAX, 1), "Size overflow");
}

}  // namespace
