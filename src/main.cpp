// The driver: reads the command line, runs the compile, run and write phases
// one after another, and decides the exit status.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "builtin.hpp"
#include "compile.hpp"
#include "dump_php.hpp"
#include "exception.hpp"
#include "execute.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"
#include "output_file.hpp"

namespace {

constexpr int EXIT_WRITTEN = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_FAILED = 2;

struct cmd_line_t {
    const char* input_filename;
    const char* output_filename;
};

void print_usage() {
    std::puts(
        "Usage: tabula [OPTION] ... FILE\n"
        "\n"
        "--                     stop processing command-line options,\n"
        "                       should be followed by an input filename\n"
        "--help                 display this help and exit\n"
        "--output filename      output PHP definitions to filename\n");
}

// Returns true when the arguments are accepted; prints the usage otherwise.
bool cmd_line_parse(int argc, char** argv, cmd_line_t* cmd_line) {
    cmd_line->input_filename = nullptr;
    cmd_line->output_filename = nullptr;
    int index = 1;
    while (index < argc) {
        const char* argument = argv[index];
        if (std::strcmp(argument, "--help") == 0) {
            print_usage();
            return false;
        }
        if (std::strcmp(argument, "--output") == 0) {
            if (++index >= argc) {
                print_usage();
                return false;
            }
            cmd_line->output_filename = argv[index++];
            continue;
        }
        if (std::strcmp(argument, "--") == 0) ++index;
        break;
    }
    if (cmd_line->output_filename == nullptr || index != argc - 1) {
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

// The text is written as it is rendered: output_file keeps it out of sight
// until it is complete, and leaves the earlier file as it was on failure.
int write_output(const cmd_line_t& cmd_line, program_output_t* output) {
    const char* filename = cmd_line.output_filename;
    if (input_file_names_read(filename)) {
        std::fprintf(stderr, "Refusing to write PHP output over \"%s\", a file this run has read\n", filename);
        return -1;
    }
    output_file_t file;
    int error = output_file_open(&file, filename);
    if (error != 0) {
        exception_print_errno(error, "Failed to open PHP output file \"%s\": %d(%m)", filename, error);
        return -1;
    }
    try {
        FILE* stream = output_file_stream(&file);
        if (stream == nullptr) fatal_error("Failed to allocate the PHP output buffer");
        dump_php_code(stream, output);
        error = output_file_commit(&file);
    } catch (...) {
        output_file_abandon(&file);  // the earlier file stays as it was
        throw;
    }
    if (error != 0) {
        exception_print_errno(error, "Failed to close PHP output file \"%s\": %d(%m)", filename, error);
        return -1;
    }
    return 0;
}

// Runs the three phases; a fatal error on the way (exhausted memory, an input
// that cannot be read, a broken invariant) has printed its message and ends
// here, as any other failure does.
int run_phases(const cmd_line_t& cmd_line) try {
    compiled_program_t program;
    if (compile_program(&program, cmd_line.input_filename, handlers_builtin, COMPILE_NO_LINES) != 0) return failed();

    program_output_t output;
    if (execute_program(&output, &program) != 0) {
        compiled_program_shutdown(&program);
        return failed();
    }

    // The output holds copies of all it needs, so the program is released
    // before the PHP text is built: the text never shares memory with both.
    compiled_program_shutdown(&program);
    if (write_output(cmd_line, &output) != 0) return failed();
    // The output goes with the rest of the pool, released whole.
    memory_pool_free_all();
    input_file_forget_all();
    return EXIT_WRITTEN;
} catch (const bailout_exception&) {
    return failed();
} catch (const std::bad_alloc&) {
    std::fputs("Failed to allocate memory\n", stderr);
    return failed();
}

}  // namespace

int main(int argc, char** argv) {
    cmd_line_t cmd_line;
    if (!cmd_line_parse(argc, argv, &cmd_line)) return EXIT_USAGE;
    return run_phases(cmd_line);
}
