// Process-wide pool that owns every allocation of the compiler, so that a
// bail-out can abandon whole call chains and the driver still releases all.
#pragma once

#include <cstddef>

void* memory_pool_alloc(size_t size);
void* memory_pool_realloc(void* ptr, size_t size);
void memory_pool_free(void* ptr);
void memory_pool_free_all();

// The largest size not above `wanted` that the pool serves without waste:
// a block of that size fills its size class to the byte, and the slabs of
// that class are used to within a thirty-second. A module that cuts its own
// records out of larger blocks asks for blocks of this size. Sizes past the
// slabs' classes get mappings of their own; there the answer fills whole
// pages.
size_t memory_pool_fitting_size(size_t wanted);

// Number of live blocks; used by tests and leak checks.
size_t memory_pool_block_count();

// Walks every list of the pool and tells whether the invariants stated in
// memory_pool.cpp hold; for tests.
bool memory_pool_check();

// For a tool that keeps much of its own data in the C++ heap (the schema
// model's readers): the heap grows in large steps, on huge pages, and keeps
// what it grew to. A fresh page costs more than most of the work done in it.
// Call once, first thing in main; the compiler itself does not need it.
void memory_pool_tune_heap();
