// Growable NUL-terminated text in the pool; starts at 1024 bytes, doubles.
#pragma once

#include <cstddef>

struct dyn_string_t {
    char* buffer;
    size_t size;  // bytes allocated for buffer
    size_t used;  // bytes in use, the terminating NUL included
};

void dyn_string_init(dyn_string_t* obj);
void dyn_string_shutdown(dyn_string_t* obj);
char* dyn_string_get(dyn_string_t* obj);
size_t dyn_string_length(const dyn_string_t* obj);
void dyn_string_append_char(dyn_string_t* obj, char c);
void dyn_string_append_string(dyn_string_t* obj, const char* string);
void dyn_string_append_strlen(dyn_string_t* obj, const char* string, size_t length);
void dyn_string_set(dyn_string_t* obj, const char* string);
