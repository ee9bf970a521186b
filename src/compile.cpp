// The compile phase: compiles the input file and, recursively, every file it
// includes into one compiled program; the grammar builds the program through
// the operations of program.cpp.
//
// Invariants: the phase runs on the phase stack; the include chain is at
// most COMPILE_MAX_INCLUDE_DEPTH files deep and one run compiles at most
// COMPILE_MAX_FILES files; a file named inside a definition file is read
// only when it is a regular file; compiler_globals.file is the file being
// read, and its scanner, while it has one, counts its lines.
#include "compile.hpp"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "definition_parser.hpp"
#include "definition_scanner.hpp"
#include "exception.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"
#include "path_info.hpp"
#include "phase_stack.hpp"
#include "utils.hpp"

compiler_globals_t compiler_globals = {nullptr, nullptr};

namespace {

// Files compiled so far in this run, the input file included.
unsigned file_compilations = 0;

// Closes the stream and destroys the scanner of a file whose compilation is
// abandoned by a bail-out, so that nothing stays open after the phase ends.
struct open_definition_t {
    FILE* handle = nullptr;
    def_scanner_t* scanner = nullptr;

    open_definition_t() = default;
    open_definition_t(const open_definition_t&) = delete;
    open_definition_t& operator=(const open_definition_t&) = delete;
    ~open_definition_t() {
        if (scanner != nullptr) deflex_destroy(scanner);
        if (handle != nullptr) std::fclose(handle);
    }
};

// A compile error is located in the file being read, at its scanner's line
// and the token the scanner read last; before any file is open there is no
// location.
exception_location_t compile_location() {
    const compiled_file_t* file = compiler_globals.file;
    if (file == nullptr) return {nullptr, 0};
    exception_location_t location{file->pathname, file->line};
    if (file->scanner != nullptr) {
        location.line = deflex_line(file->scanner);
        deflex_token_columns(file->scanner, &location.column_start, &location.column_end);
    }
    return location;
}

// The directory a name is resolved against: the directory of the file being
// compiled, or the working directory for the input file.
void base_directory(char* buffer, size_t size) {
    if (compiler_globals.file != nullptr) {
        if (path_native_dir(buffer, size, compiler_globals.file->pathname) != 0) {
            compile_bailout("Failed to get directory of currently compiled file");
        }
        return;
    }
    if (getcwd(buffer, size) == nullptr) {
        const int error = errno;
        compile_bailout_errno(error, "Failed to get current working directory: %d(%m)", error);
    }
}

// The resolved path as kept for the whole run by the `pathnames` table.
const char* lasting_pathname(const char* resolved) {
    hash_iterator_t item = nullptr;
    _hash_add_string(&compiler_globals.program->pathnames, resolved, nullptr, 0, &item);
    return hash_item_key(item);
}

// The input file may be a pipe or a device (/dev/stdin); a file that a
// definition names must be a regular file.
FILE* open_definition(const char* pathname, struct stat* status) {
    int error = 0;
    FILE* handle = compiler_globals.file == nullptr ? input_file_open(pathname, status, &error)
                                                    : input_file_open_named(pathname, status, &error);
    if (handle != nullptr) return handle;
    if (error == INPUT_NOT_REGULAR) {
        compile_bailout("Failed to open compiled file \"%s\": not a regular file", pathname);
    }
    compile_bailout_errno(error, "Failed to open compiled file \"%s\": %d(%m)", pathname, error);
}

// Each file including the next one twice would compile 2^N files.
void count_compilation(const char* pathname) {
    if (file_compilations >= COMPILE_MAX_FILES) {
        compile_bailout("Includes compile more than %u files in all at \"%s\"", COMPILE_MAX_FILES, pathname);
    }
    ++file_compilations;
}

// A file that includes itself, directly or through others, would never end.
void check_include_chain(const char* pathname, const struct stat& status) {
    for (const compiled_file_t* file = compiler_globals.file; file != nullptr; file = file->prev) {
        if (file->device == status.st_dev && file->inode == status.st_ino) {
            compile_bailout("Include cycle: \"%s\" is already being compiled", pathname);
        }
    }
    if (compiler_globals.file != nullptr && compiler_globals.file->depth >= COMPILE_MAX_INCLUDE_DEPTH) {
        compile_bailout("Includes nested deeper than %u files at \"%s\"", COMPILE_MAX_INCLUDE_DEPTH, pathname);
    }
}

void parse_definition(program_builder_t* builder, compiled_file_t* record, open_definition_t* open) {
    if (deflex_init(&open->scanner) != 0) compile_bailout("Failed to initialize the definition scanner");
    defset_in(record->handle, open->scanner);
    defset_pathname(record->pathname, open->scanner);
    record->scanner = open->scanner;
    if (defparse(open->scanner, builder) != 0) compile_bailout("Definition parsing has failed");
    def_scanner_t* scanner = open->scanner;
    open->scanner = nullptr;
    record->line = deflex_line(scanner);
    record->scanner = nullptr;
    if (deflex_destroy(scanner) != 0) compile_bailout("Failed to destroy the definition scanner");
}

void compile_definition(program_builder_t* builder, const char* filename);

}  // namespace

void compile_bailout(const char* format, ...) {
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    exception_bailout(compile_location(), saved_errno, format, args);
}

void compile_bailout_errno(int saved_errno, const char* format, ...) {
    va_list args;
    va_start(args, format);
    exception_bailout(compile_location(), saved_errno, format, args);
}

namespace {

int compile_on_this_stack(compiled_program_t* program, const char* filename, const native_info_t* natives,
                          compile_lines_t lines) {
    try {
        program_init(program, natives);
        program_builder_t builder;
        program_builder_init(&builder, program, compile_definition, lines == COMPILE_TABLE_LINES);
        compiler_globals.file = nullptr;
        compiler_globals.program = program;
        file_compilations = 0;
        input_bytes_reset();
        compile_definition(&builder, filename);
        compiler_globals = {nullptr, nullptr};
        return 0;
    } catch (const bailout_exception&) {
        compiler_globals = {nullptr, nullptr};
        return -1;
    }
}

}  // namespace

int compile_program(compiled_program_t* program, const char* filename, const native_info_t* natives,
                    compile_lines_t lines) {
    int status = -1;
    try {
        phase_stack_call([&] { status = compile_on_this_stack(program, filename, natives, lines); });
    } catch (const bailout_exception&) {
        // no stack for the phase: the fatal error has said so
    }
    return status;
}

namespace {

// Compiles one file in place: the input file, or a file an include names
// (then relative to the including file's directory).
void compile_definition(program_builder_t* builder, const char* filename) {
    char base[PATH_NATIVE_BUFFER_SIZE];
    base_directory(base, sizeof base);

    // Names written in definition files may use "\" as a separator too.
    const path_separators_t separators = compiler_globals.file != nullptr ? PATH_SLASH_OR_BACKSLASH : PATH_SLASH_ONLY;
    char resolved[PATH_NATIVE_BUFFER_SIZE];
    if (path_native_prefix(resolved, sizeof resolved, base, filename, separators) != 0) {
        compile_bailout("Failed to prefix compiled pathname");
    }
    const char* pathname = lasting_pathname(resolved);

    count_compilation(pathname);
    auto* record = static_cast<compiled_file_t*>(memory_pool_alloc(sizeof(compiled_file_t)));
    record->pathname = pathname;
    open_definition_t open;
    struct stat status {};
    open.handle = open_definition(pathname, &status);
    check_include_chain(pathname, status);

    record->handle = open.handle;
    record->line = 1;
    record->prev = compiler_globals.file;
    record->device = status.st_dev;
    record->inode = status.st_ino;
    record->depth = record->prev != nullptr ? record->prev->depth + 1 : 1;
    record->scanner = nullptr;
    compiler_globals.file = record;

    parse_definition(builder, record, &open);

    compiler_globals.file = record->prev;
    FILE* handle = open.handle;
    open.handle = nullptr;
    if (std::fclose(handle) != 0) {
        const int error = errno;
        compile_bailout_errno(error, "Failed to close compiled file handle for \"%s\": %d(%m)", pathname, error);
    }
    memory_pool_free(record);
}

}  // namespace
