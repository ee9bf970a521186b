// The export driver: reads the command line, runs the compile and run phases
// as tabula does, keeping each object's declaration beside the output, and
// writes the schema as JSON or as a diagram to standard output or, whole or
// not at all, to a file.
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "builtin.hpp"
#include "compile.hpp"
#include "exception.hpp"
#include "execute.hpp"
#include "export_diagram.hpp"
#include "export_json.hpp"
#include "export_sql.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"
#include "output_file.hpp"
#include "schema_model.hpp"

namespace {

constexpr int EXIT_WRITTEN = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_FAILED = 2;

enum export_format_t { FORMAT_JSON, FORMAT_MERMAID, FORMAT_DOT, FORMAT_SQL };

struct export_cmd_line_t {
    const char* input_filename;
    const char* output_filename;  // null: standard output
    export_format_t format;
    sql_options_t sql;  // FORMAT_SQL
};

void print_usage() {
    std::puts(
        "Usage: tabula-export [OPTION] ... FILE\n"
        "\n"
        "--                     stop processing command-line options,\n"
        "                       should be followed by an input filename\n"
        "--format format        write json (the default), mermaid, dot,\n"
        "                       or a script for postgresql, mariadb or sqlite\n"
        "--help                 display this help and exit\n"
        "--omit kind            leave rows, views, plsql, sequences, indexes or\n"
        "                       foreign-keys out of a script; may be repeated\n"
        "--output filename      write to filename instead of standard output\n");
}

bool parse_format(const char* name, export_cmd_line_t* cmd_line) {
    export_format_t* format = &cmd_line->format;
    if (sql_dialect_parse(name, &cmd_line->sql.dialect)) {
        *format = FORMAT_SQL;
    } else if (std::strcmp(name, "json") == 0) {
        *format = FORMAT_JSON;
    } else if (std::strcmp(name, "mermaid") == 0) {
        *format = FORMAT_MERMAID;
    } else if (std::strcmp(name, "dot") == 0) {
        *format = FORMAT_DOT;
    } else {
        return false;
    }
    return true;
}

// Returns true when the arguments are accepted; prints the usage otherwise.
// Options come before the input file name, as for tabula; each option that
// takes a value takes the next argument whatever it looks like.
bool cmd_line_parse(int argc, char** argv, export_cmd_line_t* cmd_line) {
    *cmd_line = {nullptr, nullptr, FORMAT_JSON, {}};
    int index = 1;
    while (index < argc) {
        const char* argument = argv[index];
        if (std::strcmp(argument, "--help") == 0) {
            print_usage();
            return false;
        }
        if (std::strcmp(argument, "--omit") == 0) {
            const unsigned kind = ++index < argc ? sql_omit_parse(argv[index]) : 0;
            if (kind == 0) {
                print_usage();
                return false;
            }
            cmd_line->sql.omit |= kind;
            ++index;
            continue;
        }
        const bool output = std::strcmp(argument, "--output") == 0;
        if (output || std::strcmp(argument, "--format") == 0) {
            if (++index >= argc || (!output && !parse_format(argv[index], cmd_line))) {
                print_usage();
                return false;
            }
            if (output) cmd_line->output_filename = argv[index];
            ++index;
            continue;
        }
        if (std::strcmp(argument, "--") == 0) ++index;
        break;
    }
    if (index != argc - 1) {
        print_usage();
        return false;
    }
    cmd_line->input_filename = argv[index];
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
    const char* bytes = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(descriptor, bytes, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes += written;
        left -= static_cast<size_t>(written);
    }
    return 0;
}

int write_to_stdout(const export_chunks_t& text) {
    int error = 0;
    for (size_t i = 0; i < text.size() && error == 0; ++i) error = write_all(STDOUT_FILENO, text[i]);
    if (error != 0) {
        exception_print_errno(error, "Failed to write to standard output: %d(%m)", error);
        return -1;
    }
    return 0;
}

int write_to_file(const char* filename, const export_chunks_t& text) {
    if (input_file_names_read(filename)) {
        std::fprintf(stderr, "Refusing to write the export over \"%s\", a file this run has read\n", filename);
        return -1;
    }
    output_file_t file;
    int error = output_file_open(&file, filename);
    if (error != 0) {
        exception_print_errno(error, "Failed to open output file \"%s\": %d(%m)", filename, error);
        return -1;
    }
    for (size_t i = 0; i < text.size() && error == 0; ++i) {
        error = output_file_write(&file, text[i].data(), text[i].size());
    }
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

// The text in *text, made from the model; a diagram or a script is held in
// *diagram. 0, or -1 after a message.
int render(const export_cmd_line_t& cmd_line, const schema_t& schema, export_chunks_t* text, std::string* diagram) {
    const export_format_t format = cmd_line.format;
    if (format == FORMAT_JSON) return export_json(schema, text);
    if (format == FORMAT_SQL) {
        if (export_sql(schema, cmd_line.sql, diagnostic_report, diagram) != 0) return -1;
        text->assign(1, *diagram);
        return 0;
    }
    if (format == FORMAT_MERMAID) {
        export_mermaid(schema, diagram);
        // Mermaid would draw only its own error message, and still succeed.
        const size_t length = export_mermaid_length(*diagram);
        if (length > EXPORT_MERMAID_MAX_LENGTH) {
            std::fprintf(stderr,
                         "Cannot export the schema as Mermaid: the diagram has %zu characters, more than the %zu "
                         "Mermaid draws\n",
                         length, EXPORT_MERMAID_MAX_LENGTH);
            return -1;
        }
    } else {
        export_dot(schema, diagram);
    }
    text->assign(1, *diagram);
    return 0;
}

// Runs the program into `output` with its declarations kept; 0 or -1. This
// and the building of the model are the only reading of the run's records.
int run(compiled_program_t* program, program_output_t* output, program_declarations_t* declarations) {
    program_declarations_init(declarations);
    builtin_declarations = declarations;
    const int result = execute_program(output, program);
    builtin_declarations = nullptr;
    return result;
}

}  // namespace

int main(int argc, char** argv) try {
    // A reader that has gone away is a failed write, reported as such.
    std::signal(SIGPIPE, SIG_IGN);
    export_cmd_line_t cmd_line;
    if (!cmd_line_parse(argc, argv, &cmd_line)) return EXIT_USAGE;

    compiled_program_t program;
    if (compile_program(&program, cmd_line.input_filename, handlers_builtin, COMPILE_TABLE_LINES) != 0) return failed();

    program_output_t output;
    program_declarations_t declarations;
    if (run(&program, &output, &declarations) != 0) {
        compiled_program_shutdown(&program);
        return failed();
    }

    // The declarations name their files with the compiled program's
    // pathnames, so the program is kept until the model is made. The model
    // is released with the process: freeing its many small texts one by one
    // would cost about as much as writing them.
    static schema_t* const schema = new schema_t;
    schema_model_build(schema, &output, &declarations);
    compiled_program_shutdown(&program);
    export_chunks_t text;
    std::string diagram;
    const int rendered = render(cmd_line, *schema, &text, &diagram);
    if (rendered != 0) return failed();
    const int written =
        cmd_line.output_filename != nullptr ? write_to_file(cmd_line.output_filename, text) : write_to_stdout(text);
    if (written != 0) return failed();
    // The output and the declarations go with the rest of the pool.
    memory_pool_free_all();
    input_file_forget_all();
    return EXIT_WRITTEN;
} catch (const bailout_exception&) {
    return failed();  // a fatal error, its message printed
}
