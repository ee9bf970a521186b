// Process-wide pool that owns every allocation of the compiler, so that a
// bail-out can abandon whole call chains and the driver still releases all.
#pragma once

#include <cstddef>

void* memory_pool_alloc(size_t size);
void* memory_pool_realloc(void* ptr, size_t size);
void memory_pool_free(void* ptr);
void memory_pool_free_all();

// Number of live blocks; used by tests and leak checks.
size_t memory_pool_block_count();
