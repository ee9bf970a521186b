#include "diagnostic.hpp"

#include <cstdio>
#include <utility>

namespace {

// The sink of the run in progress; a null function stands for diagnostic_print.
diagnostic_sink_t current_sink;

}  // namespace

std::string diagnostic_text(const diagnostic_t& diagnostic) {
    std::string text;
    if (diagnostic.severity == SEVERITY_WARNING) text = "Warning: ";
    text += diagnostic.message;
    if (!diagnostic.file.empty()) {
        text += " in ";
        text += diagnostic.file;
        text += ':';
        text += std::to_string(diagnostic.line);
    }
    return text;
}

void diagnostic_print(const diagnostic_t& diagnostic) {
    const std::string text = diagnostic_text(diagnostic) + '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void diagnostic_report(const diagnostic_t& diagnostic) {
    if (current_sink) {
        current_sink(diagnostic);
    } else {
        diagnostic_print(diagnostic);
    }
}

void diagnostic_warn(const char* file, unsigned line, const std::string& message) {
    diagnostic_t diagnostic;
    diagnostic.severity = SEVERITY_WARNING;
    diagnostic.message = message;
    if (file != nullptr) {
        diagnostic.file = file;
        diagnostic.line = line;
    }
    diagnostic_report(diagnostic);
}

diagnostic_sink_scope_t::diagnostic_sink_scope_t(diagnostic_sink_t sink) : previous_(std::move(current_sink)) {
    current_sink = std::move(sink);
}

diagnostic_sink_scope_t::~diagnostic_sink_scope_t() { current_sink = std::move(previous_); }
