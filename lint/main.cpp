// The lint driver: reads the command line, checks the schema exactly as
// tabula does, runs the lint rules on its model and writes the findings as
// lines or as a SARIF log to standard output or, whole or not at all, to a
// file. The exit status tells whether anything was found.
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "exception.hpp"
#include "input_file.hpp"
#include "lint.hpp"
#include "lint_sarif.hpp"
#include "memory_pool.hpp"
#include "output_file.hpp"
#include "schema_model.hpp"

namespace {

constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_FAILED = 2;
constexpr int EXIT_FOUND = 3;

enum lint_format_t { FORMAT_TEXT, FORMAT_SARIF };

struct lint_cmd_line_t {
    const char* input_filename = nullptr;
    const char* output_filename = nullptr;  // null: standard output
    lint_format_t format = FORMAT_TEXT;
    lint_options_t options;
};

void print_usage() {
    std::puts(
        "Usage: tabula-lint [OPTION] ... FILE\n"
        "\n"
        "--                     stop processing command-line options,\n"
        "                       should be followed by an input filename\n"
        "--disable rule         do not check the rule (may be given more than once)\n"
        "--format format        write text (the default) or sarif\n"
        "--help                 display this help and exit\n"
        "--output filename      write to filename instead of standard output\n"
        "\n"
        "Rules:");
    for (const lint_rule_t& rule : lint_rules()) {
        std::printf("  %-20.*s %.*s\n", static_cast<int>(rule.name.size()), rule.name.data(),
                    static_cast<int>(rule.summary.size()), rule.summary.data());
    }
    std::puts("");
}

bool parse_format(const char* name, lint_format_t* format) {
    if (std::strcmp(name, "text") == 0) {
        *format = FORMAT_TEXT;
    } else if (std::strcmp(name, "sarif") == 0) {
        *format = FORMAT_SARIF;
    } else {
        return false;
    }
    return true;
}

bool parse_disable(const char* name, lint_options_t* options) {
    if (lint_find_rule(name) == nullptr) {
        std::fprintf(stderr, "Unknown lint rule \"%s\"\n", name);
        return false;
    }
    options->disabled.emplace_back(name);
    return true;
}

// Returns true when the arguments are accepted; prints the usage otherwise.
// Options come before the input file name, as for tabula; each option that
// takes a value takes the next argument whatever it looks like.
bool cmd_line_parse(int argc, char** argv, lint_cmd_line_t* cmd_line) {
    int index = 1;
    while (index < argc) {
        const char* argument = argv[index];
        if (std::strcmp(argument, "--help") == 0) break;
        const bool output = std::strcmp(argument, "--output") == 0;
        const bool format = std::strcmp(argument, "--format") == 0;
        const bool disable = std::strcmp(argument, "--disable") == 0;
        if (output || format || disable) {
            if (++index >= argc) break;
            const char* value = argv[index++];
            if (output) cmd_line->output_filename = value;
            if (format && !parse_format(value, &cmd_line->format)) break;
            if (disable && !parse_disable(value, &cmd_line->options)) break;
            continue;
        }
        if (std::strcmp(argument, "--") == 0) ++index;
        if (index == argc - 1) {
            cmd_line->input_filename = argv[index];
            return true;
        }
        break;
    }
    print_usage();
    return false;
}

int failed() {
    std::fputs("Failed to compile the SQL code.\n", stderr);
    memory_pool_free_all();
    input_file_forget_all();
    return EXIT_FAILED;
}

// 0, or the error number of the failed write.
int write_all(int descriptor, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(descriptor, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}

int write_to_file(const char* filename, const std::string& text) {
    if (input_file_names_read(filename)) {
        std::fprintf(stderr, "Refusing to write the findings over \"%s\", a file this run has read\n", filename);
        return -1;
    }
    output_file_t file;
    int error = output_file_open(&file, filename);
    if (error != 0) {
        exception_print_errno(error, "Failed to open output file \"%s\": %d(%m)", filename, error);
        return -1;
    }
    error = output_file_write(&file, text.data(), text.size());
    if (error != 0) {
        output_file_abandon(&file);
        exception_print_errno(error, "Failed to write output file \"%s\": %d(%m)", filename, error);
        return -1;
    }
    error = output_file_commit(&file);
    if (error != 0) {
        exception_print_errno(error, "Failed to write output file \"%s\": %d(%m)", filename, error);
        return -1;
    }
    return 0;
}

int write_findings(const lint_cmd_line_t& cmd_line, const std::vector<lint_finding_t>& findings) {
    std::string text;
    if (cmd_line.format == FORMAT_SARIF) {
        text = lint_sarif(findings, TABULA_VERSION);
    } else {
        size_t size = 0;
        for (const lint_finding_t& finding : findings) {
            size += finding.file.size() + finding.message.size() + finding.rule.size() + 32;
        }
        text.reserve(size);
        for (const lint_finding_t& finding : findings) text.append(lint_text(finding)).append(1, '\n');
    }
    if (cmd_line.output_filename != nullptr) return write_to_file(cmd_line.output_filename, text);
    const int error = write_all(STDOUT_FILENO, text);
    if (error != 0) {
        exception_print_errno(error, "Failed to write to standard output: %d(%m)", error);
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) try {
    memory_pool_tune_heap();
    lint_cmd_line_t cmd_line;
    if (!cmd_line_parse(argc, argv, &cmd_line)) return EXIT_USAGE;

    schema_t model;
    if (schema_model_load(&model, cmd_line.input_filename) != 0) return failed();
    cmd_line.options.lines = lint_file_lines();
    const std::vector<lint_finding_t> findings = lint_check(model, cmd_line.options);
    if (write_findings(cmd_line, findings) != 0) return failed();
    input_file_forget_all();
    return findings.empty() ? EXIT_CLEAN : EXIT_FOUND;
} catch (const bailout_exception&) {
    return failed();  // a fatal error, its message printed
}
