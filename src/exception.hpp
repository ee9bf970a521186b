// The two error mechanisms: fatal_error for broken invariants and exhausted
// memory, and the bail-out exception that ends a compile or run phase.
#pragma once

#include <cstdarg>

// Thrown by compile_bailout and execute_bailout after the message has been
// printed; caught only at the entry of compile_program and execute_program.
struct bailout_exception {};

[[noreturn]] void fatal_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the formatted message to standard error. `saved_errno` is restored
// right before formatting so that "%m" names the error of the failing call.
void exception_vprint(int saved_errno, const char* format, va_list args);

// Writes a whole message line (message and newline) to standard error, with
// "%m" standing for the text of `saved_errno`.
// No format attribute: "%m" is a GNU extension that -Wpedantic rejects.
void exception_print_errno(int saved_errno, const char* format, ...);
