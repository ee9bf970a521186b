// The two error mechanisms: fatal_error for broken invariants, exhausted
// memory and unreadable input, and the bail-out that ends the compile or the
// run phase at an error in the user's input.
//
// A bail-out reports the message as an error diagnostic with its location
// (diagnostic_report: the command-line programs print "MESSAGE in FILE:LINE",
// or the message alone when there is no location) and throws
// bailout_exception. Each phase has its own bail-out entry, which gives the
// one bail-out the location where that phase is. The phase entries
// (compile_on_this_stack in compile.cpp, execute_on_this_stack in
// execute.cpp) catch it and make the phase return -1; code that runs a
// scanner outside a phase catches it itself.
//
// fatal_error reports its message, without a place, the same way and throws
// fatal_exception, a kind of bail-out, so that every catcher of a bail-out
// ends its phase on it too; what runs outside the phases (the writing of the
// output) is covered by the program's main function. Library code never ends
// the process: the main functions alone decide the exit status.
#pragma once

#include <cstdarg>

#include "diagnostic.hpp"

// Thrown by a bail-out after the message has been reported.
struct bailout_exception {};
// Thrown by fatal_error after the message has been printed.
struct fatal_exception : bailout_exception {};

// The place a bail-out names: a file and a line, or a null pathname for none,
// and the byte range [column_start, column_end) on that line of the token
// being read where the scanner knows it (both 0 otherwise); and the name the
// message is about, where the reporter gives one (see diagnostic_subject_t).
struct exception_location_t {
    const char* pathname;
    unsigned line;
    unsigned column_start = 0;
    unsigned column_end = 0;
    diagnostic_subject_t subject_kind = SUBJECT_NONE;
    const char* subject = nullptr;
};

[[noreturn]] void fatal_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The one bail-out. `saved_errno` is restored right before formatting so that
// "%m" names the error of the failing call.
[[noreturn]] void exception_bailout(exception_location_t location, int saved_errno, const char* format, va_list args);

// The entries of the two phases, declared here so that a module reports an
// error through this header alone. compile_bailout (compile.cpp) names the
// definition file being read and its current line; execute_bailout
// (execute.cpp) names the top-level statement being run.
// The _errno forms take the error number for "%m" from the caller. They have
// no format attribute: "%m" is a GNU extension that -Wpedantic rejects.
[[noreturn]] void compile_bailout(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void compile_bailout_errno(int saved_errno, const char* format, ...);
[[noreturn]] void execute_bailout(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void execute_bailout_errno(int saved_errno, const char* format, ...);
// execute_bailout for a message about the name `subject` of kind `kind`.
[[noreturn]] void execute_bailout_about(diagnostic_subject_t kind, const char* subject, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Reports an error without a place (a driver's own failure, such as a file it
// cannot write) through the current diagnostic sink, with "%m" standing for
// the text of `saved_errno`.
// No format attribute: "%m" is a GNU extension that -Wpedantic rejects.
void exception_print_errno(int saved_errno, const char* format, ...);
