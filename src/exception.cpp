#include "exception.hpp"

#include <cerrno>
#include <cstdio>

namespace {

void print_message(int saved_errno, const char* format, va_list args) {
    errno = saved_errno;
    std::vfprintf(stderr, format, args);
}

}  // namespace

void exception_bailout(exception_location_t location, int saved_errno, const char* format, va_list args) {
    print_message(saved_errno, format, args);
    if (location.pathname != nullptr) {
        std::fprintf(stderr, " in %s:%u\n", location.pathname, location.line);
    } else {
        std::fputc('\n', stderr);
    }
    throw bailout_exception{};
}

void exception_print_errno(int saved_errno, const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_message(saved_errno, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void fatal_error(const char* format, ...) {
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    print_message(saved_errno, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    throw fatal_exception{};
}
