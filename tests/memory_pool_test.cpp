#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "memory_pool.hpp"

namespace {

// Every block is preceded by its two list links (towards the newer block,
// towards the older one), at the start of a header padded to the maximal
// alignment.
struct block_links {
    void* prev;
    void* next;
};

constexpr size_t HEADER_SIZE = (sizeof(block_links) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

void* header_of(void* ptr) { return static_cast<char*>(ptr) - HEADER_SIZE; }

const block_links& links_of(void* ptr) { return *static_cast<const block_links*>(header_of(ptr)); }

bool is_aligned(const void* ptr) { return reinterpret_cast<uintptr_t>(ptr) % alignof(std::max_align_t) == 0; }

// Three blocks allocated in the order a, b, c: c is the head, a the oldest
// of the three (older blocks of the process may follow it).
struct three_blocks {
    void* a = memory_pool_alloc(8);
    void* b = memory_pool_alloc(8);
    void* c = memory_pool_alloc(8);
};

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

TEST(MemoryPool, FreeingHeadMiddleOrOldestKeepsTheListLinked) {
    const size_t start = memory_pool_block_count();
    {
        three_blocks blocks;
        EXPECT_EQ(links_of(blocks.c).prev, nullptr);
        EXPECT_EQ(links_of(blocks.c).next, header_of(blocks.b));
        EXPECT_EQ(links_of(blocks.b).prev, header_of(blocks.c));
        EXPECT_EQ(links_of(blocks.b).next, header_of(blocks.a));
        EXPECT_EQ(links_of(blocks.a).prev, header_of(blocks.b));
        memory_pool_free(blocks.b);  // the middle one
        EXPECT_EQ(links_of(blocks.c).next, header_of(blocks.a));
        EXPECT_EQ(links_of(blocks.a).prev, header_of(blocks.c));
        memory_pool_free(blocks.a);
        memory_pool_free(blocks.c);
    }
    {
        three_blocks blocks;  // free the head; the next allocation links to the new head
        memory_pool_free(blocks.c);
        EXPECT_EQ(links_of(blocks.b).prev, nullptr);
        void* d = memory_pool_alloc(8);
        EXPECT_EQ(links_of(d).next, header_of(blocks.b));
        EXPECT_EQ(links_of(blocks.b).prev, header_of(d));
        memory_pool_free(d);
        memory_pool_free(blocks.b);
        memory_pool_free(blocks.a);
    }
    {
        three_blocks blocks;  // free the oldest; its older neighbour, if any, is relinked
        void* older = links_of(blocks.a).next;
        memory_pool_free(blocks.a);
        EXPECT_EQ(links_of(blocks.b).next, older);
        if (older != nullptr) {
            EXPECT_EQ(static_cast<block_links*>(older)->prev, header_of(blocks.b));
        }
        memory_pool_free(blocks.c);
        memory_pool_free(blocks.b);
    }
    EXPECT_EQ(memory_pool_block_count(), start);
}

TEST(MemoryPool, ReallocMovesTheBlockToTheHeadAndKeepsItsContents) {
    const size_t start = memory_pool_block_count();
    three_blocks blocks;
    std::memcpy(blocks.a, "abcdefg", 8);
    void* older = links_of(blocks.a).next;

    void* grown = memory_pool_realloc(blocks.a, 100000);
    EXPECT_STREQ(static_cast<char*>(grown), "abcdefg");
    EXPECT_TRUE(is_aligned(grown));
    EXPECT_EQ(memory_pool_block_count(), start + 3);
    EXPECT_EQ(links_of(grown).prev, nullptr);
    EXPECT_EQ(links_of(grown).next, header_of(blocks.c));
    EXPECT_EQ(links_of(blocks.c).prev, header_of(grown));
    EXPECT_EQ(links_of(blocks.b).next, older);

    std::memcpy(blocks.b, "wxyz", 5);
    void* shrunk = memory_pool_realloc(blocks.b, 3);
    EXPECT_EQ(std::memcmp(shrunk, "wxy", 3), 0);
    EXPECT_EQ(links_of(shrunk).prev, nullptr);
    EXPECT_EQ(links_of(shrunk).next, header_of(grown));
    EXPECT_EQ(links_of(blocks.c).next, older);

    memory_pool_free(grown);
    memory_pool_free(shrunk);
    memory_pool_free(blocks.c);
    EXPECT_EQ(memory_pool_block_count(), start);
}

// Releases every block of the process: nothing may be held across it.
TEST(MemoryPool, FreeAllEmptiesThePoolWhichStaysUsable) {
    memory_pool_free_all();
    EXPECT_EQ(memory_pool_block_count(), 0u);
    memory_pool_free_all();  // on an empty pool
    EXPECT_EQ(memory_pool_block_count(), 0u);

    three_blocks blocks;
    memory_pool_realloc(blocks.a, 64);
    memory_pool_free(blocks.b);
    memory_pool_alloc(0);
    EXPECT_EQ(memory_pool_block_count(), 3u);
    memory_pool_free_all();
    EXPECT_EQ(memory_pool_block_count(), 0u);

    void* again = memory_pool_alloc(16);
    EXPECT_EQ(memory_pool_block_count(), 1u);
    EXPECT_EQ(links_of(again).prev, nullptr);
    EXPECT_EQ(links_of(again).next, nullptr);
    memory_pool_free(again);
    EXPECT_EQ(memory_pool_block_count(), 0u);
}

TEST(MemoryPoolDeathTest, ExhaustedMemoryEndsTheProcessWithTheRequestedSize) {
    // The reported size is the caller's, not the caller's plus the header.
    EXPECT_DEATH(memory_pool_alloc(SIZE_MAX - 8),
                 "Failed to allocate " + std::to_string(SIZE_MAX - 8) + " bytes for memory block");
    EXPECT_DEATH(memory_pool_realloc(memory_pool_alloc(8), SIZE_MAX),
                 "Failed to reallocate the memory block at 0x[0-9A-F]{8,} to " + std::to_string(SIZE_MAX) + " bytes");
}

}  // namespace
