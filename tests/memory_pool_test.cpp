#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

constexpr size_t HEADER_SIZE =
    (sizeof(block_links) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);

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

// Blocks of every size, small and large, are filled with a pattern of their
// own; growing, shrinking, releasing and making new ones must never let two
// live blocks overlap or a block lose its contents.
TEST(MemoryPool, BlocksOfEverySizeKeepTheirContentsThroughReuse) {
    const size_t start = memory_pool_block_count();
    struct live_block {
        unsigned char* data;
        size_t size;
        unsigned char fill;
    };
    std::vector<live_block> blocks;
    auto make = [&](size_t size) {
        auto fill = static_cast<unsigned char>(blocks.size() * 7 + 1);
        auto* data = static_cast<unsigned char*>(memory_pool_alloc(size));
        std::memset(data, fill, size);
        blocks.push_back({data, size, fill});
    };
    auto intact = [](const live_block& block) {
        for (size_t i = 0; i < block.size; ++i) {
            if (block.data[i] != block.fill) return false;
        }
        return true;
    };
    for (size_t size = 0; size < 20000; size += 37) make(size);
    for (size_t i = 0; i < blocks.size(); i += 2) {  // every other one grows or shrinks
        live_block& block = blocks[i];
        size_t new_size = i % 4 == 0 ? block.size * 3 + 5 : block.size / 3;
        block.data = static_cast<unsigned char*>(memory_pool_realloc(block.data, new_size));
        if (new_size > block.size) std::memset(block.data + block.size, block.fill, new_size - block.size);
        block.size = new_size;
        EXPECT_TRUE(is_aligned(block.data));
    }
    for (size_t i = 1; i < blocks.size(); i += 4) memory_pool_free(blocks[i].data);
    std::vector<live_block> kept;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (i % 4 != 1) kept.push_back(blocks[i]);
    }
    blocks = kept;
    for (size_t size = 5; size < 20000; size += 101) make(size);
    for (const live_block& block : blocks) EXPECT_TRUE(intact(block)) << "block of " << block.size << " bytes";
    EXPECT_EQ(memory_pool_block_count(), start + blocks.size());
    for (const live_block& block : blocks) memory_pool_free(block.data);
    EXPECT_EQ(memory_pool_block_count(), start);
}

// A large run has its slab regions mapped ahead by a helper thread. Enough
// blocks to need many regions, each filled with a pattern of its own, must
// stay intact and apart (a region handed out twice would overlap them), and
// after free_all, which stops the helper, a second round must do the same.
TEST(MemoryPool, RegionsMappedAheadServeLargeRunsAgainAfterFreeAll) {
    constexpr size_t BLOCK = 4000;
    constexpr size_t BLOCKS = 12000;  // about 48 MB, many 2 MiB regions
    for (int round = 0; round < 2; ++round) {
        memory_pool_free_all();
        std::vector<unsigned char*> blocks;
        for (size_t i = 0; i < BLOCKS; ++i) {
            auto* data = static_cast<unsigned char*>(memory_pool_alloc(BLOCK));
            std::memset(data, static_cast<int>(i % 251), BLOCK);
            blocks.push_back(data);
        }
        size_t damaged = 0;
        for (size_t i = 0; i < BLOCKS; ++i) {
            for (size_t at : {size_t{0}, BLOCK / 2, BLOCK - 1}) {
                if (blocks[i][at] != i % 251) ++damaged;
            }
        }
        EXPECT_EQ(damaged, 0u) << "round " << round;
        EXPECT_EQ(memory_pool_block_count(), BLOCKS);
    }
    memory_pool_free_all();
    EXPECT_EQ(memory_pool_block_count(), 0u);
}

TEST(MemoryPoolDeathTest, ExhaustedMemoryAndSizeOverflowEndTheProcess) {
    // The pool may run a helper thread, and a forked copy of a threaded
    // process has only the thread that forked: the death runs the binary afresh.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The reported size is the caller's, not the caller's plus the header.
    EXPECT_DEATH(memory_pool_alloc(SIZE_MAX - 8),
                 "Failed to allocate " + std::to_string(SIZE_MAX - 8) + " bytes for memory block");
    EXPECT_DEATH(memory_pool_realloc(memory_pool_alloc(8), SIZE_MAX),
                 "Failed to reallocate the memory block at 0x[0-9A-F]{8,} to " + std::to_string(SIZE_MAX) + " bytes");
    EXPECT_EQ(size_add(SIZE_MAX - 1, 1), SIZE_MAX);
    EXPECT_DEATH(size_add(SIZE_MAX, 1), "Size overflow");
}

}  // namespace
