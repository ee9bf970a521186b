#include "utils.hpp"

#include <cstring>

#include "exception.hpp"
#include "memory_pool.hpp"

size_t size_add(size_t a, size_t b) {
    size_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) fatal_error("Size overflow adding %zu and %zu bytes", a, b);
    return sum;
}

namespace {

uint64_t input_bytes_read = 0;

}  // namespace

void input_bytes_reset() { input_bytes_read = 0; }

bool input_bytes_take(uint64_t size) {
    if (size > INPUT_BYTES_MAX - input_bytes_read) return false;
    input_bytes_read += size;
    return true;
}

char* copy_strlen(const char* string, size_t length) {
    auto* copy = static_cast<char*>(memory_pool_alloc(size_add(length, 1)));
    if (length > 0) std::memcpy(copy, string, length);
    copy[length] = '\0';
    return copy;
}

char* copy_string(const char* string) { return copy_strlen(string, std::strlen(string)); }

namespace {

// The character an escape stands for, or 0 when the escape is not known.
char unescaped_char(char after_backslash) {
    switch (after_backslash) {
    case '"': return '"';
    case '\\': return '\\';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'v': return '\v';
    default: return 0;
    }
}

}  // namespace

int unescape_string(char* string, unsigned* error) {
    size_t source = 0;
    size_t dest = 0;
    for (;;) {
        const char c = string[source];
        if (c == '\0') {
            string[dest] = '\0';
            return 0;
        }
        if (c != '\\') {
            string[dest++] = c;
            ++source;
            continue;
        }
        const char decoded = unescaped_char(string[source + 1]);
        if (decoded == 0) {
            *error = static_cast<unsigned>(source + 1);
            return -1;
        }
        string[dest++] = decoded;
        source += 2;
    }
}
