// The migration driver: reads the command line, checks both definition files
// as tabula does and builds their models, compares them, refuses destructive
// changes unless allowed, and writes the migration script to standard output
// or, whole or not at all, to a file.
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "diff_model.hpp"
#include "diff_sql.hpp"
#include "exception.hpp"
#include "export_sql.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"
#include "output_file.hpp"
#include "schema_model.hpp"

namespace {

constexpr int EXIT_WRITTEN = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_FAILED = 2;
constexpr int EXIT_CHANGES = 3;  // --exit-code and the script holds changes

struct diff_cmd_line_t {
    const char* old_filename = nullptr;
    const char* new_filename = nullptr;
    const char* output_filename = nullptr;  // null: standard output
    bool has_dialect = false;
    sql_dialect_t dialect = SQL_DIALECT_POSTGRESQL;
    bool allow_destructive = false;
    bool exit_code = false;
    std::vector<diff_rename_t> renames;
};

void print_usage() {
    std::puts(
        "Usage: tabula-diff --dialect DIALECT [OPTION] ... OLD NEW\n"
        "\n"
        "--                     stop processing command-line options,\n"
        "                       should be followed by the two input filenames\n"
        "--allow-destructive    write changes that drop data or may fail on it\n"
        "--dialect dialect      write the migration for postgresql, mariadb or sqlite\n"
        "--exit-code            exit with 3 when the migration holds changes\n"
        "--help                 display this help and exit\n"
        "--output filename      write to filename instead of standard output\n"
        "--rename table=new     table was renamed to new (its rows kept)\n"
        "--rename table.field=new\n"
        "                       field of table was renamed to new; may be repeated\n");
}

// Returns true when the arguments are accepted; prints the usage otherwise.
// Options come before the two file names, as for tabula; each option that
// takes a value takes the next argument whatever it looks like.
bool cmd_line_parse(int argc, char** argv, diff_cmd_line_t* cmd_line) {
    int index = 1;
    const auto refuse = [] {
        print_usage();
        return false;
    };
    while (index < argc) {
        const std::string_view argument = argv[index];
        if (argument == "--help") return refuse();
        if (argument == "--allow-destructive") {
            cmd_line->allow_destructive = true;
        } else if (argument == "--exit-code") {
            cmd_line->exit_code = true;
        } else if (argument == "--dialect" || argument == "--output" || argument == "--rename") {
            if (++index >= argc) return refuse();
            const char* value = argv[index];
            if (argument == "--dialect") {
                if (!sql_dialect_parse(value, &cmd_line->dialect)) return refuse();
                cmd_line->has_dialect = true;
            } else if (argument == "--output") {
                cmd_line->output_filename = value;
            } else {
                diff_rename_t rename;
                if (!diff_rename_parse(value, &rename)) return refuse();
                cmd_line->renames.push_back(std::move(rename));
            }
        } else {
            if (argument == "--") ++index;
            break;
        }
        ++index;
    }
    if (!cmd_line->has_dialect || index != argc - 2) return refuse();
    cmd_line->old_filename = argv[index];
    cmd_line->new_filename = argv[index + 1];
    return true;
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

int write_script(const char* filename, const std::string& script) {
    if (filename == nullptr) {
        const int error = write_all(STDOUT_FILENO, script);
        if (error != 0) exception_print_errno(error, "Failed to write to standard output: %d(%m)", error);
        return error != 0 ? -1 : 0;
    }
    if (input_file_names_read(filename)) {
        std::fprintf(stderr, "Refusing to write the migration over \"%s\", a file this run has read\n", filename);
        return -1;
    }
    output_file_t file;
    int error = output_file_open(&file, filename);
    if (error != 0) {
        exception_print_errno(error, "Failed to open output file \"%s\": %d(%m)", filename, error);
        return -1;
    }
    error = output_file_write(&file, script.data(), script.size());
    if (error != 0) {
        output_file_abandon(&file);
    } else {
        error = output_file_commit(&file);
    }
    if (error != 0) {
        exception_print_errno(error, "Failed to write output file \"%s\": %d(%m)", filename, error);
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) try {
    memory_pool_tune_heap();
    diff_cmd_line_t cmd_line;
    if (!cmd_line_parse(argc, argv, &cmd_line)) return EXIT_USAGE;

    schema_t old_model;
    schema_t new_model;
    // The files both runs read stay remembered, so that the output replaces none of them.
    if (schema_model_load(&old_model, cmd_line.old_filename) != 0 ||
        schema_model_load(&new_model, cmd_line.new_filename) != 0) {
        return failed();
    }
    // Both versions must be databases the export can write; what the server
    // cannot hold of NEW is left out with the export's warnings.
    const sql_options_t options{cmd_line.dialect, 0};
    std::vector<diagnostic_t> warnings;
    const auto keep_warnings = [&warnings](const diagnostic_t& diagnostic) {
        if (diagnostic.severity == SEVERITY_ERROR) {
            diagnostic_report(diagnostic);
        } else {
            warnings.push_back(diagnostic);
        }
    };
    if (sql_check(old_model, options, keep_warnings) != 0) return failed();
    warnings.clear();  // OLD's are those of its own export
    if (sql_check(new_model, options, keep_warnings) != 0) return failed();

    schema_diff_t diff;
    if (diff_compare(old_model, new_model, cmd_line.renames, &diff, diagnostic_report) != 0) return failed();
    // Only what the migration leaves out is worth a warning here.
    for (const diagnostic_t& warning : warnings) {
        if (warning.file.empty() || diff_touches(diff, warning.file, warning.line)) diagnostic_report(warning);
    }
    if (!cmd_line.allow_destructive) {
        diff_holds_t holds;
        holds.sequences = cmd_line.dialect != SQL_DIALECT_SQLITE;
        holds.plsql = cmd_line.dialect == SQL_DIALECT_POSTGRESQL;
        if (diff_report_destructive(diff, holds, diagnostic_report) != 0) {
            std::fputs("Refusing destructive changes without --allow-destructive; nothing written.\n", stderr);
            input_file_forget_all();
            return EXIT_FAILED;
        }
    }

    std::string script;
    const bool changes = diff_write_sql(old_model, new_model, diff, cmd_line.dialect, &script);
    if (write_script(cmd_line.output_filename, script) != 0) return failed();
    input_file_forget_all();
    return cmd_line.exit_code && changes ? EXIT_CHANGES : EXIT_WRITTEN;
} catch (const bailout_exception&) {
    return failed();  // a fatal error, its message printed
}
