// Pool copies of texts, escape decoding and size arithmetic that cannot wrap.
#pragma once

#include <cstddef>

char* copy_strlen(const char* string, size_t length);
char* copy_string(const char* string);

// Decodes the backslash escapes of a quoted literal in place. Returns 0, or
// -1 with *error set to the offset of the character after the bad backslash.
int unescape_string(char* string, unsigned* error);

// a + b, ending the process through fatal_error when the sum overflows.
size_t size_add(size_t a, size_t b);
