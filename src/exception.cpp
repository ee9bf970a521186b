#include "exception.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

void exception_vprint(int saved_errno, const char* format, va_list args) {
    errno = saved_errno;
    std::vfprintf(stderr, format, args);
}

void exception_print_errno(int saved_errno, const char* format, ...) {
    va_list args;
    va_start(args, format);
    exception_vprint(saved_errno, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void fatal_error(const char* format, ...) {
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    exception_vprint(saved_errno, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}
