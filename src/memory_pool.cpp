// Every block handed out carries a two-link header and sits in one doubly
// linked list, newest first, so memory_pool_free_all can release it all.
//
// The compiler makes millions of small blocks (texts, value arrays, hash
// items) and releases most of them soon after, so blocks are not taken from
// the system allocator one by one. Small blocks come from 64 KiB slabs, each
// holding blocks of one size class; a released block goes on its slab's free
// list and is handed out again, and a slab whose blocks are all released
// returns to a list of empty slabs that any size class may take. Slabs are
// cut from larger regions mapped from the system. A large block has a region
// of its own. Both kinds of region are aligned to 64 KiB and start with a
// header, so the header of any block's region is found by rounding its
// address down. Once a run has needed a few regions, a helper thread maps
// and touches the next ones ahead, so that the kernel clears their pages on
// another processor.
//
// Under AddressSanitizer or valgrind every block comes from the system
// allocator instead, so that their checks see each block on its own.
#include "memory_pool.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exception.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define MEMORY_POOL_SYSTEM_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define MEMORY_POOL_SYSTEM_ONLY 1
#endif
#endif

// MEMORY_POOL_IGNORE_VALGRIND keeps the slabs under valgrind, for profiling.
#if !defined(MEMORY_POOL_SYSTEM_ONLY) && !defined(MEMORY_POOL_IGNORE_VALGRIND) && __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define MEMORY_POOL_CHECK_VALGRIND 1
#endif

namespace {

struct memory_block_t {
    memory_block_t* prev;  // towards the head (newer); the free list's link while released
    memory_block_t* next;  // away from the head (older)
};

// The header occupies a whole alignment unit so that the storage after it is
// aligned for any record.
constexpr size_t HEADER_SIZE =
    (sizeof(memory_block_t) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);

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

memory_block_t* block_of(void* ptr) { return reinterpret_cast<memory_block_t*>(static_cast<char*>(ptr) - HEADER_SIZE); }

void* storage_of(memory_block_t* block) { return reinterpret_cast<char*>(block) + HEADER_SIZE; }

// --- regions, slabs and size classes ---------------------------------------

constexpr size_t SLAB_SIZE = 64 * 1024;
constexpr uintptr_t SLAB_MASK = ~static_cast<uintptr_t>(SLAB_SIZE - 1);
constexpr size_t REGION_HEADER_SIZE = 64;
constexpr size_t HUGE_PAGE_SIZE = 2 * 1024 * 1024;
constexpr size_t SLABS_PER_MAPPING = HUGE_PAGE_SIZE / SLAB_SIZE;

// Size classes cover whole blocks, header included: 16-byte steps up to
// 1 KiB, then 128-byte steps up to 8 KiB.
constexpr size_t FINE_STEP = 16;
constexpr size_t FINE_LIMIT = 1024;
constexpr size_t COARSE_STEP = 128;
constexpr size_t SMALL_LIMIT = 8192;
constexpr size_t FINE_CLASSES = FINE_LIMIT / FINE_STEP;  // 1..64
constexpr size_t CLASS_COUNT = FINE_CLASSES + (SMALL_LIMIT - FINE_LIMIT) / COARSE_STEP + 1;
constexpr uint32_t LARGE_CLASS = 0;

// At the start of every region. A slab's header keeps its free list and its
// place in its class's list of slabs with room; a large block's header keeps
// the size of its mapping.
struct region_t {
    uint32_t size_class;  // LARGE_CLASS for a large block's region
    uint32_t live;        // blocks handed out from a slab
    uint32_t block_size;  // a slab's blocks, header included
    uint32_t reserved;
    memory_block_t* free;      // released blocks of a slab
    char* unused;              // a slab's never-used tail starts here
    char* last_start;          // and has room for a block while it is not past this
    region_t* prev_with_room;  // the class's slabs with room, the empty slabs,
    region_t* next_with_room;  // or the large blocks
    size_t mapping_size;       // a large block's mapping
};
static_assert(sizeof(region_t) <= REGION_HEADER_SIZE);

struct mapping_t {
    void* base;
    size_t size;
    mapping_t* next;
};

region_t* slabs_with_room[CLASS_COUNT] = {};
region_t* empty_slabs = nullptr;
region_t* large_regions = nullptr;
char* uncut_slabs = nullptr;  // slabs of the newest mapping not yet cut
char* uncut_end = nullptr;
mapping_t* slab_mappings = nullptr;

size_t class_of(size_t total) {
    if (total <= FINE_LIMIT) return (total + FINE_STEP - 1) / FINE_STEP;
    return FINE_CLASSES + (total - FINE_LIMIT + COARSE_STEP - 1) / COARSE_STEP;
}

size_t class_size(size_t size_class) {
    if (size_class <= FINE_CLASSES) return size_class * FINE_STEP;
    return FINE_LIMIT + (size_class - FINE_CLASSES) * COARSE_STEP;
}

region_t* region_of(memory_block_t* block) {
    return reinterpret_cast<region_t*>(reinterpret_cast<uintptr_t>(block) & SLAB_MASK);
}

// Maps `size` bytes aligned to `alignment` (a power of two, at least a
// page), or returns null.
void* map_aligned(size_t size, size_t alignment) {
    if (size > SIZE_MAX - alignment) return nullptr;
    size_t padded = size + alignment;
    void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (start + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1);
    if (aligned > start) munmap(raw, aligned - start);
    uintptr_t tail = aligned + size;
    if (start + padded > tail) munmap(reinterpret_cast<void*>(tail), start + padded - tail);
    return reinterpret_cast<void*>(aligned);
}

// Touching fresh memory a page at a time costs more than the work done in
// it, so large mappings ask for huge pages: one fault per 2 MiB.
void* map_huge(size_t size) {
    void* base = map_aligned(size, HUGE_PAGE_SIZE);
#if defined(MADV_HUGEPAGE)
    if (base != nullptr) madvise(base, size, MADV_HUGEPAGE);
#endif
    return base;
}

// --- slab mappings made ahead -----------------------------------------------

// The kernel clears a fresh mapping on its first touch, and a large run maps
// a new one every few milliseconds: about a tenth of its time. Once a run has
// needed a few, a helper thread maps and touches the next ones ahead, on
// another processor, and hands them over ready. It only ever holds mappings
// nobody else sees yet; the lock guards the hand-over.
constexpr size_t MAPPINGS_BEFORE_SUPPLY = 4;
constexpr size_t SUPPLY_AHEAD = 4;
constexpr size_t TOUCH_STRIDE = 4096;

struct mapping_supply_t {
    pthread_mutex_t lock;
    pthread_cond_t wanted;  // signalled when a mapping is taken, or to stop
    pthread_t thread;
    void* ready[SUPPLY_AHEAD];
    size_t ready_count;
    bool running;
    bool stopping;
};

mapping_supply_t supply = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, {}, {}, 0, false, false};
size_t slab_mappings_made = 0;

void* map_touched_slab_mapping() {
    void* base = map_huge(SLABS_PER_MAPPING * SLAB_SIZE);
    if (base == nullptr) return nullptr;
    auto* bytes = static_cast<volatile char*>(base);
    for (size_t offset = 0; offset < SLABS_PER_MAPPING * SLAB_SIZE; offset += TOUCH_STRIDE) bytes[offset] = 0;
    return base;
}

// When the system has no memory left the helper ends; the main thread then
// maps for itself and reports the failure where it happens.
void* supply_main(void*) {
    pthread_mutex_lock(&supply.lock);
    while (!supply.stopping) {
        if (supply.ready_count == SUPPLY_AHEAD) {
            pthread_cond_wait(&supply.wanted, &supply.lock);
            continue;
        }
        pthread_mutex_unlock(&supply.lock);
        void* base = map_touched_slab_mapping();
        pthread_mutex_lock(&supply.lock);
        if (base == nullptr) break;
        supply.ready[supply.ready_count++] = base;
    }
    pthread_mutex_unlock(&supply.lock);
    return nullptr;
}

void start_supply() {
    supply.stopping = false;
    supply.ready_count = 0;
    supply.running = pthread_create(&supply.thread, nullptr, supply_main, nullptr) == 0;
}

// Stops the helper and returns the mappings it made that nobody took.
void stop_supply() {
    if (!supply.running) return;
    pthread_mutex_lock(&supply.lock);
    supply.stopping = true;
    pthread_cond_signal(&supply.wanted);
    pthread_mutex_unlock(&supply.lock);
    pthread_join(supply.thread, nullptr);
    for (size_t i = 0; i < supply.ready_count; ++i) munmap(supply.ready[i], SLABS_PER_MAPPING * SLAB_SIZE);
    supply.ready_count = 0;
    supply.running = false;
}

void* take_supplied_mapping() {
    if (!supply.running) return nullptr;
    void* base = nullptr;
    pthread_mutex_lock(&supply.lock);
    if (supply.ready_count > 0) base = supply.ready[--supply.ready_count];
    pthread_cond_signal(&supply.wanted);
    pthread_mutex_unlock(&supply.lock);
    return base;
}

void* new_slab_mapping() {
    if (void* base = take_supplied_mapping()) return base;
    if (++slab_mappings_made == MAPPINGS_BEFORE_SUPPLY) start_supply();
    return map_huge(SLABS_PER_MAPPING * SLAB_SIZE);
}

void list_insert(region_t*& head, region_t* slab) {
    slab->prev_with_room = nullptr;
    slab->next_with_room = head;
    if (head != nullptr) head->prev_with_room = slab;
    head = slab;
}

void list_remove(region_t*& head, region_t* slab) {
    if (head == slab) head = slab->next_with_room;
    if (slab->prev_with_room != nullptr) slab->prev_with_room->next_with_room = slab->next_with_room;
    if (slab->next_with_room != nullptr) slab->next_with_room->prev_with_room = slab->prev_with_room;
    slab->prev_with_room = nullptr;
    slab->next_with_room = nullptr;
}

// An empty slab, a fresh one from the current mapping, or one from a new
// mapping; null when the system has no memory left.
region_t* take_slab() {
    if (empty_slabs != nullptr) {
        region_t* slab = empty_slabs;
        list_remove(empty_slabs, slab);
        return slab;
    }
    if (uncut_slabs == uncut_end) {
        auto* record = static_cast<mapping_t*>(std::malloc(sizeof(mapping_t)));
        if (record == nullptr) return nullptr;
        void* base = new_slab_mapping();
        if (base == nullptr) {
            std::free(record);
            return nullptr;
        }
        *record = {base, SLABS_PER_MAPPING * SLAB_SIZE, slab_mappings};
        slab_mappings = record;
        uncut_slabs = static_cast<char*>(base);
        uncut_end = uncut_slabs + SLABS_PER_MAPPING * SLAB_SIZE;
    }
    auto* slab = reinterpret_cast<region_t*>(uncut_slabs);
    uncut_slabs += SLAB_SIZE;
    return slab;
}

region_t* new_slab(size_t size_class) {
    region_t* slab = take_slab();
    if (slab == nullptr) return nullptr;
    slab->size_class = static_cast<uint32_t>(size_class);
    slab->live = 0;
    slab->block_size = static_cast<uint32_t>(class_size(size_class));
    slab->free = nullptr;
    slab->unused = reinterpret_cast<char*>(slab) + REGION_HEADER_SIZE;
    slab->last_start = reinterpret_cast<char*>(slab) + SLAB_SIZE - slab->block_size;
    list_insert(slabs_with_room[size_class], slab);
    return slab;
}

bool slab_is_full(const region_t* slab) { return slab->free == nullptr && slab->unused > slab->last_start; }

// A block of a slab with room: a released one, or the next of its never-used tail.
inline memory_block_t* take_from_slab(region_t* slab, size_t size_class) {
    memory_block_t* block = slab->free;
    if (block != nullptr) {
        slab->free = block->prev;
    } else {
        block = reinterpret_cast<memory_block_t*>(slab->unused);
        slab->unused += slab->block_size;
    }
    ++slab->live;
    if (slab_is_full(slab)) list_remove(slabs_with_room[size_class], slab);
    return block;
}

memory_block_t* slab_block(size_t size_class) {
    region_t* slab = slabs_with_room[size_class];
    if (slab == nullptr && (slab = new_slab(size_class)) == nullptr) return nullptr;
    return take_from_slab(slab, size_class);
}

// A slab left empty goes back to the shared empty slabs, unless it is the
// only one its class has room in: a block made and released over and over
// would otherwise move a slab back and forth.
void release_slab_block(region_t* slab, memory_block_t* block) {
    size_t size_class = slab->size_class;
    if (slab_is_full(slab)) list_insert(slabs_with_room[size_class], slab);
    block->prev = slab->free;
    slab->free = block;
    if (--slab->live != 0) return;
    if (slabs_with_room[size_class] == slab && slab->next_with_room == nullptr) return;
    list_remove(slabs_with_room[size_class], slab);
    list_insert(empty_slabs, slab);
}

memory_block_t* large_block(size_t size) {
    if (size > SIZE_MAX - REGION_HEADER_SIZE - HEADER_SIZE - SLAB_SIZE) return nullptr;
    size_t mapping_size = (REGION_HEADER_SIZE + HEADER_SIZE + size + 4095) & ~static_cast<size_t>(4095);
    auto* region = static_cast<region_t*>(mapping_size >= HUGE_PAGE_SIZE ? map_huge(mapping_size)
                                                                         : map_aligned(mapping_size, SLAB_SIZE));
    if (region == nullptr) return nullptr;
    region->size_class = LARGE_CLASS;
    region->mapping_size = mapping_size;
    list_insert(large_regions, region);
    return reinterpret_cast<memory_block_t*>(reinterpret_cast<char*>(region) + REGION_HEADER_SIZE);
}

size_t usable_size(memory_block_t* block) {
    region_t* region = region_of(block);
    if (region->size_class == LARGE_CLASS) return region->mapping_size - REGION_HEADER_SIZE - HEADER_SIZE;
    return region->block_size - HEADER_SIZE;
}

bool use_system_allocator() {
#if defined(MEMORY_POOL_SYSTEM_ONLY)
    return true;
#elif defined(MEMORY_POOL_CHECK_VALGRIND)
    static const bool under_valgrind = RUNNING_ON_VALGRIND != 0;
    return under_valgrind;
#else
    return false;
#endif
}

// A block of `size` usable bytes, not yet linked; null when there is no
// memory for it.
memory_block_t* raw_block(size_t size) {
    if (use_system_allocator()) {
        return size > SIZE_MAX - HEADER_SIZE ? nullptr : static_cast<memory_block_t*>(std::malloc(HEADER_SIZE + size));
    }
    if (size <= SMALL_LIMIT - HEADER_SIZE) return slab_block(class_of(HEADER_SIZE + size));
    return large_block(size);
}

void release_raw_block(memory_block_t* block) {
    if (use_system_allocator()) {
        std::free(block);
        return;
    }
    region_t* region = region_of(block);
    if (region->size_class == LARGE_CLASS) {
        list_remove(large_regions, region);
        munmap(region, region->mapping_size);
    } else {
        release_slab_block(region, block);
    }
}

// Every region goes back to the system at once: nothing in a slab needs
// releasing block by block.
void release_all_regions() {
    stop_supply();
    slab_mappings_made = 0;
    while (large_regions != nullptr) {
        region_t* region = large_regions;
        large_regions = region->next_with_room;
        munmap(region, region->mapping_size);
    }
    while (slab_mappings != nullptr) {
        mapping_t* mapping = slab_mappings;
        slab_mappings = mapping->next;
        munmap(mapping->base, mapping->size);
        std::free(mapping);
    }
    for (region_t*& head : slabs_with_room) head = nullptr;
    empty_slabs = nullptr;
    uncut_slabs = nullptr;
    uncut_end = nullptr;
}

[[gnu::noinline]] void* alloc_any(size_t size) {
    memory_block_t* block = raw_block(size);
    if (block == nullptr) fatal_error("Failed to allocate %zu bytes for memory block", size);
    memory_pool_link(block);
    return storage_of(block);
}

}  // namespace

// The common case, in a few instructions: a small block from a slab of its
// class that still has room. Everything else takes the general way, kept
// out of line so that this one does not pay for its registers.
void* memory_pool_alloc(size_t size) {
    if (size <= SMALL_LIMIT - HEADER_SIZE && !use_system_allocator()) {
        const size_t size_class = class_of(HEADER_SIZE + size);
        if (region_t* slab = slabs_with_room[size_class]) {
            memory_block_t* block = take_from_slab(slab, size_class);
            memory_pool_link(block);
            return storage_of(block);
        }
    }
    return alloc_any(size);
}

// A block that keeps its size class stays where it is; otherwise the
// contents move to a new block. Either way the block becomes the newest.
void* memory_pool_realloc(void* ptr, size_t size) {
    memory_block_t* block = block_of(ptr);
    if (use_system_allocator()) {
        memory_pool_unlink(block);
        void* raw = size > SIZE_MAX - HEADER_SIZE ? nullptr : std::realloc(block, HEADER_SIZE + size);
        if (raw == nullptr) {
            memory_pool_link(block);
            fatal_error("Failed to reallocate the memory block at 0x%08" PRIXPTR " to %zu bytes",
                        reinterpret_cast<uintptr_t>(ptr), size);
        }
        block = static_cast<memory_block_t*>(raw);
        memory_pool_link(block);
        return storage_of(block);
    }
    region_t* region = region_of(block);
    if (region->size_class != LARGE_CLASS && size <= SMALL_LIMIT - HEADER_SIZE &&
        class_of(HEADER_SIZE + size) == region->size_class) {
        memory_pool_unlink(block);
        memory_pool_link(block);
        return ptr;
    }
    memory_block_t* moved = raw_block(size);
    if (moved == nullptr) {
        fatal_error("Failed to reallocate the memory block at 0x%08" PRIXPTR " to %zu bytes",
                    reinterpret_cast<uintptr_t>(ptr), size);
    }
    size_t kept = usable_size(block);
    std::memcpy(storage_of(moved), ptr, kept < size ? kept : size);
    memory_pool_unlink(block);
    release_raw_block(block);
    memory_pool_link(moved);
    return storage_of(moved);
}

void memory_pool_free(void* ptr) {
    memory_block_t* block = block_of(ptr);
    memory_pool_unlink(block);
    release_raw_block(block);
}

// From the system allocator the blocks are released newest first; regions of
// the pool's own are all released whole.
void memory_pool_free_all() {
    if (!use_system_allocator()) {
        release_all_regions();
        first_memory_block = nullptr;
        live_blocks = 0;
        return;
    }
    while (first_memory_block != nullptr) {
        memory_block_t* block = first_memory_block;
        memory_pool_unlink(block);
        std::free(block);
    }
}

size_t memory_pool_block_count() { return live_blocks; }
