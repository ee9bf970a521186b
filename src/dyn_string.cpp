#include "dyn_string.hpp"

#include <cstring>

#include "exception.hpp"
#include "memory_pool.hpp"
#include "utils.hpp"

#include <cstdint>

namespace {

constexpr size_t INITIAL_SIZE = 1024;

// Doubles the buffer until it holds `require` bytes; it never shrinks.
void dyn_string_ensure_size(dyn_string_t* obj, size_t require) {
    if (obj->size >= require) return;
    size_t size = obj->size;
    while (size < require) {
        if (size > SIZE_MAX / 2) fatal_error("Size overflow growing a string to %zu bytes", require);
        size *= 2;
    }
    obj->buffer = static_cast<char*>(memory_pool_realloc(obj->buffer, size));
    obj->size = size;
}

}  // namespace

void dyn_string_init(dyn_string_t* obj) {
    obj->buffer = static_cast<char*>(memory_pool_alloc(INITIAL_SIZE));
    obj->buffer[0] = '\0';
    obj->size = INITIAL_SIZE;
    obj->used = 1;
}

void dyn_string_shutdown(dyn_string_t* obj) {
    memory_pool_free(obj->buffer);
    obj->buffer = nullptr;
}

char* dyn_string_get(dyn_string_t* obj) { return obj->buffer; }

size_t dyn_string_length(const dyn_string_t* obj) { return obj->used - 1; }

void dyn_string_append_char(dyn_string_t* obj, char c) {
    dyn_string_ensure_size(obj, size_add(obj->used, 1));
    obj->buffer[obj->used - 1] = c;
    obj->buffer[obj->used] = '\0';
    ++obj->used;
}

void dyn_string_append_strlen(dyn_string_t* obj, const char* string, size_t length) {
    dyn_string_ensure_size(obj, size_add(obj->used, length));
    std::memcpy(obj->buffer + obj->used - 1, string, length);
    obj->used += length;
    obj->buffer[obj->used - 1] = '\0';
}

void dyn_string_append_string(dyn_string_t* obj, const char* string) {
    dyn_string_append_strlen(obj, string, std::strlen(string));
}

void dyn_string_set(dyn_string_t* obj, const char* string) {
    const size_t length = std::strlen(string);
    dyn_string_ensure_size(obj, size_add(length, 1));
    std::memcpy(obj->buffer, string, length + 1);
    obj->used = length + 1;
}
