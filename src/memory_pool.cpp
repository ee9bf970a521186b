// Every block handed out carries a two-link header and sits in one doubly
// linked list, newest first, so memory_pool_free_all can release it all.
#include "memory_pool.hpp"

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "exception.hpp"

namespace {

struct memory_block_t {
    memory_block_t* prev;  // towards the head (newer)
    memory_block_t* next;  // away from the head (older)
};

// The header occupies a whole alignment unit so that the storage after it is
// aligned for any record.
constexpr size_t HEADER_SIZE = (sizeof(memory_block_t) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

memory_block_t* first_memory_block = nullptr;
size_t live_blocks = 0;

void memory_pool_link(memory_block_t* block) {
    block->prev = nullptr;
    block->next = first_memory_block;
    if (first_memory_block != nullptr) first_memory_block->prev = block;
    first_memory_block = block;
    ++live_blocks;
}

void memory_pool_unlink(memory_block_t* block) {
    if (block == first_memory_block) first_memory_block = block->next;
    if (block->prev != nullptr) block->prev->next = block->next;
    if (block->next != nullptr) block->next->prev = block->prev;
    block->prev = nullptr;
    block->next = nullptr;
    --live_blocks;
}

memory_block_t* block_of(void* ptr) {
    return reinterpret_cast<memory_block_t*>(static_cast<char*>(ptr) - HEADER_SIZE);
}

void* storage_of(memory_block_t* block) { return reinterpret_cast<char*>(block) + HEADER_SIZE; }

}  // namespace

void* memory_pool_alloc(size_t size) {
    void* raw = size > SIZE_MAX - HEADER_SIZE ? nullptr : std::malloc(HEADER_SIZE + size);
    if (raw == nullptr) fatal_error("Failed to allocate %zu bytes for memory block", size);
    auto* block = static_cast<memory_block_t*>(raw);
    memory_pool_link(block);
    return storage_of(block);
}

void* memory_pool_realloc(void* ptr, size_t size) {
    memory_block_t* block = block_of(ptr);
    memory_pool_unlink(block);
    void* raw = size > SIZE_MAX - HEADER_SIZE ? nullptr : std::realloc(block, HEADER_SIZE + size);
    if (raw == nullptr) {
        fatal_error("Failed to reallocate the memory block at 0x%08" PRIXPTR " to %zu bytes",
                    reinterpret_cast<uintptr_t>(ptr), size);
    }
    block = static_cast<memory_block_t*>(raw);
    memory_pool_link(block);
    return storage_of(block);
}

void memory_pool_free(void* ptr) {
    memory_block_t* block = block_of(ptr);
    memory_pool_unlink(block);
    std::free(block);
}

void memory_pool_free_all() {
    while (first_memory_block != nullptr) {
        memory_block_t* block = first_memory_block;
        memory_pool_unlink(block);
        std::free(block);
    }
}

size_t memory_pool_block_count() { return live_blocks; }
