#include "diagnostic.hpp"

#include <cstdio>

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
