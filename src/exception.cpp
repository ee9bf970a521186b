#include "exception.hpp"

#include <cerrno>
#include <cstdio>
#include <string>

#include "diagnostic.hpp"

namespace {

// The formatted message. errno is set to `saved_errno` before each pass, so
// that "%m" names the error of the failing call.
std::string format_message(int saved_errno, const char* format, va_list args) {
    char small[256];
    va_list again;
    va_copy(again, args);
    errno = saved_errno;
    const int length = std::vsnprintf(small, sizeof small, format, args);
    std::string message;
    if (length < 0) {
        message = format;
    } else if (static_cast<size_t>(length) < sizeof small) {
        message.assign(small, static_cast<size_t>(length));
    } else {
        message.resize(static_cast<size_t>(length) + 1);
        errno = saved_errno;
        std::vsnprintf(message.data(), message.size(), format, again);
        message.resize(static_cast<size_t>(length));
    }
    va_end(again);
    return message;
}

void report_error(exception_location_t location, std::string message) {
    diagnostic_t diagnostic;
    diagnostic.severity = SEVERITY_ERROR;
    diagnostic.message = std::move(message);
    if (location.pathname != nullptr) {
        diagnostic.file = location.pathname;
        diagnostic.line = location.line;
        diagnostic.column_start = location.column_start;
        diagnostic.column_end = location.column_end;
    }
    if (location.subject_kind != SUBJECT_NONE && location.subject != nullptr) {
        diagnostic.subject_kind = location.subject_kind;
        diagnostic.subject = location.subject;
    }
    diagnostic_report(diagnostic);
}

}  // namespace

void exception_bailout(exception_location_t location, int saved_errno, const char* format, va_list args) {
    report_error(location, format_message(saved_errno, format, args));
    throw bailout_exception{};
}

void exception_print_errno(int saved_errno, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = format_message(saved_errno, format, args);
    va_end(args);
    report_error({nullptr, 0}, std::move(message));
}

void fatal_error(const char* format, ...) {
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    std::string message = format_message(saved_errno, format, args);
    va_end(args);
    report_error({nullptr, 0}, std::move(message));
    throw fatal_exception{};
}
