// Pool copies of texts, escape decoding, size arithmetic that cannot wrap,
// and the count of the bytes a run reads.
#pragma once

#include <cstddef>
#include <cstdint>

char* copy_strlen(const char* string, size_t length);
char* copy_string(const char* string);

// Decodes the backslash escapes of a quoted literal in place. Returns 0, or
// -1 with *error set to the offset of the character after the bad backslash.
int unescape_string(char* string, unsigned* error);

// a + b, or a fatal error when the sum overflows.
size_t size_add(size_t a, size_t b);

// The bytes one run reads from its definition and initializer files in all,
// far above any real schema: a file without end (such as /proc/self/pagemap)
// or a huge one ends the run with "Input files exceed 268435456 bytes in
// all" before memory runs out.
constexpr uint64_t INPUT_BYTES_MAX = 256 * 1024 * 1024;
// Starts the count of a run.
void input_bytes_reset();
// Counts `size` more bytes read; false once the run's total would pass
// INPUT_BYTES_MAX.
bool input_bytes_take(uint64_t size);
