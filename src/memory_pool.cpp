// Every block handed out carries a two-link header and sits in one doubly
// linked list, newest first, so memory_pool_free_all can release it all.
// Small blocks are cut from 64 KiB slabs, each of one size class; larger
// ones get a mapping of their own. Slabs are cut from 2 MiB mappings, and
// every slab and large mapping is aligned to 64 KiB and starts with a region
// header, so rounding a block's address down finds its region.
//
// Invariants. A block is in the live list exactly while it is handed out,
// and live_blocks counts that list. A slab's blocks lie at whole multiples of
// its block_size past its region header; those below `unused` have been
// handed out at least once, and each of them is either live or on the slab's
// free list (linked through the header's `prev`), so `live` plus the free
// list's length is the number of blocks cut. A slab with room (a free block
// or room below last_start) is on its class's list of slabs with room or, if
// it has no live block, possibly on the shared list of empty slabs instead; a
// full slab is on neither. Every large mapping is on large_regions while its
// block is handed out; once released it is unmapped or kept on kept_large,
// whose mappings add up to kept_large_bytes, at most KEPT_LARGE_LIMIT. Nothing
// handed out overlaps anything else handed out or a region header.
//
// The checkers see the blocks as the program uses them. Under AddressSanitizer
// a block is followed by a red zone, and everything of a slab or mapping that
// is not a live block's header or storage is poisoned, so a write past a
// block's end or into a released block is reported. Under valgrind, each
// block (header and all) is described to memcheck as allocated while it is
// handed out and as freed, and then inaccessible, once released.
#include "memory_pool.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exception.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define MEMORY_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEMORY_POOL_ASAN 1
#endif
#endif

#if defined(MEMORY_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

// Without the header the client requests are no-ops.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define RUNNING_ON_VALGRIND 0
#define VALGRIND_MALLOCLIKE_BLOCK(addr, size, red_zone, zeroed) ((void)0)
#define VALGRIND_FREELIKE_BLOCK(addr, red_zone) ((void)0)
#define VALGRIND_MAKE_MEM_NOACCESS(addr, size) ((void)0)
#define VALGRIND_MAKE_MEM_DEFINED(addr, size) ((void)0)
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

#if defined(MEMORY_POOL_ASAN)
constexpr size_t RED_ZONE = 16;  // poisoned bytes after every block's storage
#else
constexpr size_t RED_ZONE = 0;
#endif
constexpr size_t BLOCK_OVERHEAD = HEADER_SIZE + RED_ZONE;

bool running_on_valgrind() { return RUNNING_ON_VALGRIND != 0; }

// Read once: the client requests cost a few instructions even outside valgrind.
const bool under_memcheck = running_on_valgrind();

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

char* storage_of(memory_block_t* block) { return reinterpret_cast<char*>(block) + HEADER_SIZE; }

// --- what the checkers are told ----------------------------------------------

// A block of `block_bytes` (header included) is handed out with `size` bytes
// of storage; the rest of it is the red zone.
inline void show_handed_out(memory_block_t* block, size_t size, size_t block_bytes) {
    if (under_memcheck) VALGRIND_MALLOCLIKE_BLOCK(block, block_bytes, 0, 0);
    ASAN_UNPOISON_MEMORY_REGION(block, HEADER_SIZE + size);
    ASAN_POISON_MEMORY_REGION(storage_of(block) + size, block_bytes - HEADER_SIZE - size);
    (void)size;
    (void)block_bytes;
}

// A released block keeps only its header, the free list's link, accessible.
inline void show_released(memory_block_t* block, size_t block_bytes) {
    if (under_memcheck) {
        VALGRIND_FREELIKE_BLOCK(block, 0);
        VALGRIND_MAKE_MEM_NOACCESS(block, block_bytes);
        VALGRIND_MAKE_MEM_DEFINED(block, HEADER_SIZE);
    }
    ASAN_POISON_MEMORY_REGION(storage_of(block), block_bytes - HEADER_SIZE);
    (void)block_bytes;
}

// Memory given back to the system may come back for anything; AddressSanitizer
// keeps its poison until told otherwise.
void unmap(void* base, size_t size) {
    ASAN_UNPOISON_MEMORY_REGION(base, size);
#if defined(MEMORY_POOL_ASAN)
    __lsan_unregister_root_region(base, size);
#endif
    munmap(base, size);
}

// The leak checker is to look for pointers in the pool's blocks too.
void show_mapped(void* base, size_t size) {
#if defined(MEMORY_POOL_ASAN)
    __lsan_register_root_region(base, size);
#endif
    (void)base;
    (void)size;
}

// --- regions, slabs and size classes ---------------------------------------

constexpr size_t SLAB_SIZE = 64 * 1024;
constexpr uintptr_t SLAB_MASK = ~static_cast<uintptr_t>(SLAB_SIZE - 1);
constexpr size_t REGION_HEADER_SIZE = 64;
constexpr size_t SLAB_ROOM = SLAB_SIZE - REGION_HEADER_SIZE;
constexpr size_t PAGE_SIZE = 4096;
constexpr size_t HUGE_PAGE_SIZE = 2 * 1024 * 1024;
constexpr size_t SLABS_PER_MAPPING = HUGE_PAGE_SIZE / SLAB_SIZE;

// Size classes cover whole blocks, header (and red zone) included: 16-byte
// steps up to 1 KiB, then 128-byte steps up to 8 KiB.
constexpr size_t FINE_STEP = 16;
constexpr size_t FINE_LIMIT = 1024;
constexpr size_t COARSE_STEP = 128;
constexpr size_t SMALL_LIMIT = 8192;
constexpr size_t SMALL_MAX_SIZE = SMALL_LIMIT - BLOCK_OVERHEAD;  // largest storage from a slab
constexpr size_t FINE_CLASSES = FINE_LIMIT / FINE_STEP;          // 1..64
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
// Released large mappings, kept for the next large block of about their size:
// a hash index that doubles, or the next run's, finds its pages already
// there instead of faulting them in one by one. Kept across
// memory_pool_free_all, up to a bound.
constexpr size_t KEPT_LARGE_LIMIT = 32 * 1024 * 1024;
region_t* kept_large = nullptr;
size_t kept_large_bytes = 0;
char* uncut_slabs = nullptr;  // slabs of the newest mapping not yet cut
char* uncut_end = nullptr;
mapping_t* slab_mappings = nullptr;

constexpr size_t class_of(size_t total) {
    if (total <= FINE_LIMIT) return (total + FINE_STEP - 1) / FINE_STEP;
    return FINE_CLASSES + (total - FINE_LIMIT + COARSE_STEP - 1) / COARSE_STEP;
}

constexpr size_t class_size(size_t size_class) {
    if (size_class <= FINE_CLASSES) return size_class * FINE_STEP;
    return FINE_LIMIT + (size_class - FINE_CLASSES) * COARSE_STEP;
}

region_t* region_of(const memory_block_t* block) {
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
    show_mapped(reinterpret_cast<void*>(aligned), size);
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
        void* base = map_huge(SLABS_PER_MAPPING * SLAB_SIZE);
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
    char* room = reinterpret_cast<char*>(slab) + REGION_HEADER_SIZE;
    if (under_memcheck) VALGRIND_MAKE_MEM_NOACCESS(room, SLAB_ROOM);
    ASAN_POISON_MEMORY_REGION(room, SLAB_ROOM);
    slab->size_class = static_cast<uint32_t>(size_class);
    slab->live = 0;
    slab->block_size = static_cast<uint32_t>(class_size(size_class));
    slab->free = nullptr;
    slab->unused = room;
    slab->last_start = reinterpret_cast<char*>(slab) + SLAB_SIZE - slab->block_size;
    list_insert(slabs_with_room[size_class], slab);
    return slab;
}

bool slab_is_full(const region_t* slab) { return slab->free == nullptr && slab->unused > slab->last_start; }

// A block of a slab with room: a released one, or the next of its never-used
// tail, with `size` bytes of storage.
inline memory_block_t* take_from_slab(region_t* slab, size_t size_class, size_t size) {
    memory_block_t* block = slab->free;
    if (block != nullptr) {
        slab->free = block->prev;
    } else {
        block = reinterpret_cast<memory_block_t*>(slab->unused);
        slab->unused += slab->block_size;
    }
    ++slab->live;
    if (slab_is_full(slab)) list_remove(slabs_with_room[size_class], slab);
    show_handed_out(block, size, slab->block_size);
    return block;
}

memory_block_t* slab_block(size_t size) {
    const size_t size_class = class_of(BLOCK_OVERHEAD + size);
    region_t* slab = slabs_with_room[size_class];
    if (slab == nullptr && (slab = new_slab(size_class)) == nullptr) return nullptr;
    return take_from_slab(slab, size_class, size);
}

// A slab left empty goes back to the shared empty slabs, unless it is the
// only one its class has room in: a block made and released over and over
// would otherwise move a slab back and forth.
void release_slab_block(region_t* slab, memory_block_t* block) {
    size_t size_class = slab->size_class;
    if (slab_is_full(slab)) list_insert(slabs_with_room[size_class], slab);
    block->prev = slab->free;
    slab->free = block;
    show_released(block, slab->block_size);
    if (--slab->live != 0) return;
    if (slabs_with_room[size_class] == slab && slab->next_with_room == nullptr) return;
    list_remove(slabs_with_room[size_class], slab);
    list_insert(empty_slabs, slab);
}

// A released large mapping goes on kept_large while the bound allows.
void keep_or_unmap_large(region_t* region) {
    if (kept_large_bytes + region->mapping_size > KEPT_LARGE_LIMIT) {
        unmap(region, region->mapping_size);
        return;
    }
    char* room = reinterpret_cast<char*>(region) + REGION_HEADER_SIZE;
    if (under_memcheck) VALGRIND_MAKE_MEM_NOACCESS(room, region->mapping_size - REGION_HEADER_SIZE);
    ASAN_POISON_MEMORY_REGION(room, region->mapping_size - REGION_HEADER_SIZE);
    list_insert(kept_large, region);
    kept_large_bytes += region->mapping_size;
}

void unmap_kept_large() {
    while (kept_large != nullptr) {
        region_t* region = kept_large;
        list_remove(kept_large, region);
        unmap(region, region->mapping_size);
    }
    kept_large_bytes = 0;
}

// The smallest kept mapping of at least `mapping_size` bytes and at most
// twice that, taken off the list; null when there is none.
region_t* take_kept_large(size_t mapping_size) {
    region_t* best = nullptr;
    for (region_t* region = kept_large; region != nullptr; region = region->next_with_room) {
        if (region->mapping_size >= mapping_size && region->mapping_size / 2 <= mapping_size &&
            (best == nullptr || region->mapping_size < best->mapping_size)) {
            best = region;
        }
    }
    if (best != nullptr) {
        list_remove(kept_large, best);
        kept_large_bytes -= best->mapping_size;
    }
    return best;
}

region_t* map_large(size_t mapping_size) {
    return static_cast<region_t*>(mapping_size >= HUGE_PAGE_SIZE ? map_huge(mapping_size)
                                                                 : map_aligned(mapping_size, SLAB_SIZE));
}

memory_block_t* large_block(size_t size) {
    if (size > SIZE_MAX - REGION_HEADER_SIZE - BLOCK_OVERHEAD - SLAB_SIZE) return nullptr;
    size_t mapping_size = (REGION_HEADER_SIZE + BLOCK_OVERHEAD + size + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1);
    region_t* region = take_kept_large(mapping_size);
    if (region != nullptr) {
        mapping_size = region->mapping_size;
    } else {
        region = map_large(mapping_size);
        if (region == nullptr && kept_large != nullptr) {  // the kept ones may be what the system lacks
            unmap_kept_large();
            region = map_large(mapping_size);
        }
        if (region == nullptr) return nullptr;
    }
    region->size_class = LARGE_CLASS;
    region->mapping_size = mapping_size;
    list_insert(large_regions, region);
    auto* block = reinterpret_cast<memory_block_t*>(reinterpret_cast<char*>(region) + REGION_HEADER_SIZE);
    show_handed_out(block, size, mapping_size - REGION_HEADER_SIZE);
    return block;
}

// The bytes of a block from its header to the next block or the mapping's end.
size_t block_bytes(const memory_block_t* block) {
    const region_t* region = region_of(block);
    if (region->size_class == LARGE_CLASS) return region->mapping_size - REGION_HEADER_SIZE;
    return region->block_size;
}

// A block of `size` usable bytes, not yet linked; null when there is no
// memory for it.
memory_block_t* raw_block(size_t size) {
    if (size <= SMALL_MAX_SIZE) return slab_block(size);
    return large_block(size);
}

void release_raw_block(memory_block_t* block) {
    region_t* region = region_of(block);
    if (region->size_class == LARGE_CLASS) {
        if (under_memcheck) VALGRIND_FREELIKE_BLOCK(block, 0);
        list_remove(large_regions, region);
        keep_or_unmap_large(region);
    } else {
        release_slab_block(region, block);
    }
}

// Every region goes back to the system at once: nothing in a slab needs
// releasing block by block, except in what memcheck is told.
void release_all_regions() {
    if (under_memcheck) {
        for (memory_block_t* block = first_memory_block; block != nullptr;) {
            memory_block_t* older = block->next;  // the header is out of reach once freed
            VALGRIND_FREELIKE_BLOCK(block, 0);
            block = older;
        }
    }
    while (large_regions != nullptr) {
        region_t* region = large_regions;
        list_remove(large_regions, region);
        keep_or_unmap_large(region);
    }
    while (slab_mappings != nullptr) {
        mapping_t* mapping = slab_mappings;
        slab_mappings = mapping->next;
        unmap(mapping->base, mapping->size);
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

// --- the check for tests -------------------------------------------------------

size_t list_length(const region_t* head) {
    size_t length = 0;
    for (const region_t* region = head; region != nullptr; region = region->next_with_room) {
        if (region->next_with_room != nullptr && region->next_with_room->prev_with_room != region) return SIZE_MAX;
        ++length;
    }
    return length;
}

bool is_on_list(const region_t* head, const region_t* wanted) {
    for (const region_t* region = head; region != nullptr; region = region->next_with_room) {
        if (region == wanted) return true;
    }
    return false;
}

// A slab's block starts at a whole number of blocks past its region header,
// below the never-used tail.
bool is_cut_block(const region_t* slab, const memory_block_t* block) {
    const auto offset = static_cast<size_t>(reinterpret_cast<const char*>(block) - reinterpret_cast<const char*>(slab));
    return offset >= REGION_HEADER_SIZE && (offset - REGION_HEADER_SIZE) % slab->block_size == 0 &&
           reinterpret_cast<const char*>(block) < slab->unused;
}

// Checks one cut slab; adds its live blocks to `live` and tells whether it
// has room.
bool check_slab(const region_t* slab, size_t& live, bool& has_room) {
    if (slab->size_class == LARGE_CLASS || slab->size_class >= CLASS_COUNT ||
        slab->block_size != class_size(slab->size_class)) {
        return false;
    }
    const char* room = reinterpret_cast<const char*>(slab) + REGION_HEADER_SIZE;
    if (slab->unused < room || (slab->unused - room) % slab->block_size != 0 ||
        slab->unused > reinterpret_cast<const char*>(slab) + SLAB_SIZE) {
        return false;
    }
    const size_t cut = static_cast<size_t>(slab->unused - room) / slab->block_size;
    size_t released = 0;
    for (const memory_block_t* block = slab->free; block != nullptr; block = block->prev) {
        if (!is_cut_block(slab, block) || ++released > cut) return false;
    }
    if (released + slab->live != cut) return false;
    live += slab->live;
    has_room = !slab_is_full(slab);
    return true;
}

// The live list, newest first, each block where its region says blocks are.
bool check_live_list() {
    size_t length = 0;
    const memory_block_t* newer = nullptr;
    for (const memory_block_t* block = first_memory_block; block != nullptr; block = block->next) {
        if (block->prev != newer || ++length > live_blocks) return false;
        const region_t* region = region_of(block);
        if (region->size_class == LARGE_CLASS) {
            if (reinterpret_cast<const char*>(block) != reinterpret_cast<const char*>(region) + REGION_HEADER_SIZE ||
                !is_on_list(large_regions, region)) {
                return false;
            }
        } else if (!is_cut_block(region, block)) {
            return false;
        }
        newer = block;
    }
    return length == live_blocks;
}

}  // namespace

// The common case, in a few instructions: a small block from a slab of its
// class that still has room. Everything else takes the general way, kept
// out of line so that this one does not pay for its registers.
void* memory_pool_alloc(size_t size) {
    if (size <= SMALL_MAX_SIZE) {
        const size_t size_class = class_of(BLOCK_OVERHEAD + size);
        if (region_t* slab = slabs_with_room[size_class]) {
            memory_block_t* block = take_from_slab(slab, size_class, size);
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
    region_t* region = region_of(block);
    if (region->size_class != LARGE_CLASS && size <= SMALL_MAX_SIZE &&
        class_of(BLOCK_OVERHEAD + size) == region->size_class) {
        ASAN_UNPOISON_MEMORY_REGION(ptr, size);
        ASAN_POISON_MEMORY_REGION(static_cast<char*>(ptr) + size, region->block_size - HEADER_SIZE - size);
        memory_pool_unlink(block);
        memory_pool_link(block);
        return ptr;
    }
    memory_block_t* moved = raw_block(size);
    if (moved == nullptr) {
        fatal_error("Failed to reallocate the memory block at 0x%08" PRIXPTR " to %zu bytes",
                    reinterpret_cast<uintptr_t>(ptr), size);
    }
    // The old block's unused tail is copied along with its contents.
    const size_t kept = block_bytes(block) - BLOCK_OVERHEAD;
    ASAN_UNPOISON_MEMORY_REGION(ptr, kept);
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

void memory_pool_free_all() {
    release_all_regions();
    first_memory_block = nullptr;
    live_blocks = 0;
}

size_t memory_pool_fitting_size(size_t wanted) {
    if (wanted > SMALL_MAX_SIZE) {
        const size_t overhead = REGION_HEADER_SIZE + BLOCK_OVERHEAD;
        const size_t pages = wanted > SIZE_MAX - overhead ? SIZE_MAX / PAGE_SIZE : (wanted + overhead) / PAGE_SIZE;
        if (pages * PAGE_SIZE - overhead > SMALL_MAX_SIZE) return pages * PAGE_SIZE - overhead;
        wanted = SMALL_MAX_SIZE;
    }
    for (size_t size_class = class_of(BLOCK_OVERHEAD + wanted);; --size_class) {
        const size_t block = class_size(size_class);
        if (block - BLOCK_OVERHEAD <= wanted && SLAB_ROOM % block < SLAB_ROOM / 32) return block - BLOCK_OVERHEAD;
    }
}

size_t memory_pool_block_count() { return live_blocks; }

bool memory_pool_check() {
    if (!check_live_list()) return false;
    size_t live = 0;
    size_t slabs_with_room_count = 0;
    for (const mapping_t* mapping = slab_mappings; mapping != nullptr; mapping = mapping->next) {
        const char* base = static_cast<const char*>(mapping->base);
        const char* cut_end = mapping == slab_mappings ? uncut_slabs : base + mapping->size;
        for (const char* slab = base; slab < cut_end; slab += SLAB_SIZE) {
            bool has_room = false;
            if (!check_slab(reinterpret_cast<const region_t*>(slab), live, has_room)) return false;
            slabs_with_room_count += has_room ? 1 : 0;
        }
    }
    size_t listed = list_length(empty_slabs);
    for (const region_t* slab = empty_slabs; slab != nullptr; slab = slab->next_with_room) {
        if (slab->live != 0) return false;
    }
    for (size_t size_class = 0; size_class < CLASS_COUNT && listed != SIZE_MAX; ++size_class) {
        const size_t length = list_length(slabs_with_room[size_class]);
        if (length == SIZE_MAX) return false;
        for (const region_t* slab = slabs_with_room[size_class]; slab != nullptr; slab = slab->next_with_room) {
            if (slab->size_class != size_class || slab_is_full(slab)) return false;
        }
        listed += length;
    }
    size_t kept_bytes = 0;
    for (const region_t* region = kept_large; region != nullptr; region = region->next_with_room) {
        if (region->size_class != LARGE_CLASS || is_on_list(large_regions, region)) return false;
        kept_bytes += region->mapping_size;
    }
    if (list_length(kept_large) == SIZE_MAX || kept_bytes != kept_large_bytes || kept_bytes > KEPT_LARGE_LIMIT) {
        return false;
    }
    // Each slab with room is on exactly one list; a large block is one live block.
    const size_t large = list_length(large_regions);
    return listed == slabs_with_room_count && large != SIZE_MAX && live + large == live_blocks;
}

void memory_pool_tune_heap() {
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE) && !defined(MEMORY_POOL_ASAN)
    constexpr size_t STEP = 64 * 1024 * 1024;
    // Large blocks stay in the heap rather than in mappings of their own,
    // and nothing is given back before the end.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 2 * STEP);
    mallopt(M_TOP_PAD, STEP);
    const auto start = reinterpret_cast<uintptr_t>(sbrk(0));
    if (start == static_cast<uintptr_t>(-1)) return;  // no heap to grow: malloc maps instead
    void* volatile probe = std::malloc(256 * 1024);   // grows the heap by a step now
    std::free(probe);
    const auto end = reinterpret_cast<uintptr_t>(sbrk(0));
    const uintptr_t first = (start + HUGE_PAGE_SIZE - 1) & ~(HUGE_PAGE_SIZE - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}
