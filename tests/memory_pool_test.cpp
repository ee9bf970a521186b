#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "memory_pool.hpp"
#include "test_values.hpp"
#include "utils.hpp"

namespace {

bool is_aligned(const void* ptr) { return reinterpret_cast<uintptr_t>(ptr) % alignof(std::max_align_t) == 0; }

TEST(MemoryPool, AllocationsOfAnySizeAreAlignedAndFreeable) {
    const size_t start = memory_pool_block_count();
    for (size_t size : {0u, 1u, 7u, 16u, 33u, 4096u}) {
        void* ptr = memory_pool_alloc(size);
        ASSERT_NE(ptr, nullptr);
        EXPECT_TRUE(is_aligned(ptr)) << "size " << size;
        EXPECT_EQ(memory_pool_block_count(), start + 1);
        std::memset(ptr, 0xAB, size);
        EXPECT_TRUE(memory_pool_check());
        memory_pool_free(ptr);
        EXPECT_EQ(memory_pool_block_count(), start);
        EXPECT_TRUE(memory_pool_check());
    }
}

// Every block sits in one list that free_all walks from the newest block.
// Freeing the newest, a middle and the oldest block, each next to one freed
// before, and reallocating must keep that list and the slabs whole, and
// free_all must leave nothing counted. The test releases
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
    EXPECT_TRUE(memory_pool_check());

    std::memcpy(block[1], "abcdefg", 8);
    block[1] = memory_pool_realloc(block[1], 100000);
    EXPECT_STREQ(static_cast<char*>(block[1]), "abcdefg");
    EXPECT_TRUE(is_aligned(block[1]));
    void* other = memory_pool_alloc(8);
    block[1] = memory_pool_realloc(block[1], 3);
    EXPECT_EQ(std::memcmp(block[1], "abc", 3), 0);
    EXPECT_TRUE(memory_pool_check());
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
    EXPECT_TRUE(memory_pool_check());
    EXPECT_EQ(memory_pool_block_count(), start + blocks.size());
    for (const live_block& block : blocks) memory_pool_free(block.data);
    EXPECT_EQ(memory_pool_block_count(), start);
}

// Enough blocks to need many slab regions, each filled with a pattern of its
// own, must stay intact and apart (a region handed out twice would overlap
// them), and after free_all, which unmaps every region, a second round must
// do the same.
TEST(MemoryPool, ManyRegionsServeLargeRunsAgainAfterFreeAll) {
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
        EXPECT_TRUE(memory_pool_check());
    }
    memory_pool_free_all();
    EXPECT_EQ(memory_pool_block_count(), 0u);
}

// A released large block's mapping serves the next large block of about its
// size, within a run and after free_all, and holds only what it is given;
// what the pool keeps stays bounded however much is released.
TEST(MemoryPool, ReleasedLargeMappingsAreReusedWithinABound) {
    memory_pool_free_all();
    auto* first = static_cast<unsigned char*>(memory_pool_alloc(100000));
    std::memset(first, 0x5A, 100000);
    memory_pool_free(first);
    auto* again = static_cast<unsigned char*>(memory_pool_alloc(90000));
    EXPECT_EQ(again, first);
    again[89999] = 1;
    void* other = memory_pool_alloc(100000);  // none kept now: a mapping of its own
    EXPECT_NE(other, again);
    EXPECT_TRUE(memory_pool_check());
    memory_pool_free_all();
    void* after = memory_pool_alloc(100000);
    EXPECT_TRUE(after == first || after == other);
    EXPECT_NE(memory_pool_alloc(300000), after == first ? other : first) << "too large for a kept 100 kB mapping";

    std::vector<void*> blocks;
    for (int i = 0; i < 80; ++i) blocks.push_back(memory_pool_alloc(1024 * 1024));
    for (void* block : blocks) memory_pool_free(block);
    EXPECT_TRUE(memory_pool_check()) << "kept mappings past the bound";
    memory_pool_free_all();
    EXPECT_TRUE(memory_pool_check());
}

TEST(MemoryPoolTest, ExhaustedMemoryAndSizeOverflowAreFatalErrors) {
    // The reported size is the caller's, not the caller's plus the header.
    EXPECT_TRUE(fatal_error_matches([] { memory_pool_alloc(SIZE_MAX - 8); },
                                    "^Failed to allocate " + std::to_string(SIZE_MAX - 8) + " bytes for memory block"));
    void* block = memory_pool_alloc(8);
    EXPECT_TRUE(fatal_error_matches(
        [&] { memory_pool_realloc(block, SIZE_MAX); },
        "^Failed to reallocate the memory block at 0x[0-9A-F]{8,} to " + std::to_string(SIZE_MAX) + " bytes"));
    EXPECT_TRUE(memory_pool_check());
    memory_pool_free(block);
    EXPECT_EQ(size_add(SIZE_MAX - 1, 1), SIZE_MAX);
    EXPECT_TRUE(fatal_error_matches([] { size_add(SIZE_MAX, 1); }, "^Size overflow"));
}

// The sizes a module asks for when it cuts records out of blocks of its own:
// each fills its size class and packs its slabs, so a slightly larger block
// would waste room; past the slabs, a mapping's whole pages.
TEST(MemoryPool, FittingSizesFillTheirBlocksAndTheirSlabs) {
    const size_t chunk = memory_pool_fitting_size(8 * 1024);
    EXPECT_LE(chunk, 8u * 1024);
    EXPECT_GT(chunk, 7u * 1024);
    EXPECT_EQ(memory_pool_fitting_size(chunk), chunk);
    EXPECT_EQ(memory_pool_fitting_size(chunk + 1), chunk);  // the next class wastes a block per slab
    EXPECT_LT(memory_pool_fitting_size(4096), 4096u);
    const size_t small = memory_pool_fitting_size(100);
    EXPECT_LE(small, 100u);
    EXPECT_EQ(small % 16, 0u);
    EXPECT_GT(small, 80u);
    EXPECT_EQ(memory_pool_fitting_size(0), 0u);
    const size_t large = memory_pool_fitting_size(100000);
    EXPECT_LE(large, 100000u);
    EXPECT_GT(large, 100000u - 4096);
    EXPECT_EQ(memory_pool_fitting_size(large + 4095), large);
}

// Deliberate misuse of slab blocks, for the checkers to catch: a write into a
// released block, and a write just past a block's end, towards the next block.
void write_after_free() {
    auto* block = static_cast<volatile char*>(memory_pool_alloc(40));
    memory_pool_free(const_cast<char*>(block));
    block[8] = 1;
}

void write_past_end() {
    auto* first = static_cast<volatile char*>(memory_pool_alloc(40));
    memory_pool_alloc(40);  // the next block of the same slab
    first[40] = 1;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool ADDRESS_SANITIZER = true;
#elif defined(__has_feature)
constexpr bool ADDRESS_SANITIZER = __has_feature(address_sanitizer);
#else
constexpr bool ADDRESS_SANITIZER = false;
#endif

TEST(MemoryPoolDeathTest, AddressSanitizerCatchesUseAfterFreeAndOverflowOfSlabBlocks) {
    if (!ADDRESS_SANITIZER) GTEST_SKIP() << "not built with AddressSanitizer";
    EXPECT_DEATH(write_after_free(), "AddressSanitizer: use-after-poison");
    EXPECT_DEATH(write_past_end(), "AddressSanitizer: use-after-poison");
}

// Run by tests/hostile/memcheck.sh under valgrind, which must report it.
TEST(MemoryPoolMisuse, DISABLED_UseAfterFreeForMemcheck) { write_after_free(); }

}  // namespace
