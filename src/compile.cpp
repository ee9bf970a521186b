// The compile phase: compiles the input file and, recursively, every file it
// includes into one compiled program, and provides the program-building
// operations the grammar's actions call.
#include "compile.hpp"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

#include "definition_parser.hpp"
#include "definition_scanner.hpp"
#include "exception.hpp"
#include "memory_pool.hpp"
#include "path_info.hpp"

compiler_globals_t compiler_globals = {nullptr, nullptr};

namespace {

struct file_identity_t {
    dev_t device;
    ino_t inode;
};

std::vector<file_identity_t> input_files;

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

void print_location_and_newline() {
    if (const compiled_file_t* file = compiler_globals.file) {
        std::fprintf(stderr, " in %s:%u\n", file->pathname, file->line);
    } else {
        std::fputc('\n', stderr);
    }
}

[[noreturn]] void compile_vbailout(int saved_errno, const char* format, va_list args) {
    exception_vprint(saved_errno, format, args);
    print_location_and_newline();
    throw bailout_exception{};
}

void register_natives(compiled_program_t* program) {
    for (const native_info_t* native = handlers_builtin; native->name != nullptr; ++native) {
        func_info_t function{};
        function.is_user = 0;
        function.code_native = native->handler;
        if (_hash_add_string(&program->functions, native->name, &function, sizeof function, nullptr) != 0) {
            fatal_error("Duplicate native function \"%s\"", native->name);
        }
    }
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

FILE* open_definition(const char* pathname, struct stat* status) {
    int error = 0;
    FILE* handle = open_input_file(pathname, status, &error);
    if (handle == nullptr) {
        compile_bailout_errno(error, "Failed to open compiled file \"%s\": %d(%m)", pathname, error);
    }
    return handle;
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

void parse_definition(compiled_file_t* record, open_definition_t* open) {
    if (deflex_init(&open->scanner) != 0) compile_bailout("Failed to initialize the definition scanner");
    defset_in(record->handle, open->scanner);
    if (defparse(open->scanner) != 0) compile_bailout("Definition parsing has failed");
    def_scanner_t* scanner = open->scanner;
    open->scanner = nullptr;
    if (deflex_destroy(scanner) != 0) compile_bailout("Failed to destroy the definition scanner");
}

}  // namespace

void compile_bailout(const char* format, ...) {
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    compile_vbailout(saved_errno, format, args);
}

void compile_bailout_errno(int saved_errno, const char* format, ...) {
    va_list args;
    va_start(args, format);
    compile_vbailout(saved_errno, format, args);
}

int compile_program(compiled_program_t* program, const char* filename) {
    try {
        _hash_init(&program->code, HASH_CHAINS, node_dtor);
        _hash_init(&program->functions, HASH_CHAINS, function_shutdown);
        _hash_init(&program->pathnames, HASH_CHAINS, nullptr);
        register_natives(program);
        compiler_globals.file = nullptr;
        compiler_globals.program = program;
        compile_definition(filename);
        compiler_globals = {nullptr, nullptr};
        return 0;
    } catch (const bailout_exception&) {
        compiler_globals = {nullptr, nullptr};
        return -1;
    }
}

void compile_definition(const char* filename) {
    char base[PATH_NATIVE_BUFFER_SIZE];
    base_directory(base, sizeof base);

    // Names written in definition files may use "\" as a separator too.
    const path_separators_t separators = compiler_globals.file != nullptr ? PATH_SLASH_OR_BACKSLASH : PATH_SLASH_ONLY;
    char resolved[PATH_NATIVE_BUFFER_SIZE];
    if (path_native_prefix(resolved, sizeof resolved, base, filename, separators) != 0) {
        compile_bailout("Failed to prefix compiled pathname");
    }
    const char* pathname = lasting_pathname(resolved);

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
    compiler_globals.file = record;

    parse_definition(record, &open);

    compiler_globals.file = record->prev;
    FILE* handle = open.handle;
    open.handle = nullptr;
    if (std::fclose(handle) != 0) {
        const int error = errno;
        compile_bailout_errno(error, "Failed to close compiled file handle for \"%s\": %d(%m)", pathname, error);
    }
    memory_pool_free(record);
}

void compiled_file_dir(sql_node_t* node) {
    char directory[PATH_NATIVE_BUFFER_SIZE];
    if (path_native_dir(directory, sizeof directory, compiler_globals.file->pathname) != 0) {
        compile_bailout("Failed to get directory prefix of compiled file");
    }
    nv_init_string_copy(node, directory);
}

void compiled_program_shutdown(compiled_program_t* program) {
    hash_shutdown(&program->code);
    hash_shutdown(&program->functions);
    hash_shutdown(&program->pathnames);
}

void function_shutdown(void* data) {
    auto* function = static_cast<func_info_t*>(data);
    if (!function->is_user) return;
    hash_shutdown(&function->user.args);
    node_shutdown(&function->user.code_user);
}

void program_add_statement(sql_node_t* node) {
    _hash_push_integer(&compiler_globals.program->code, node, sizeof *node, nullptr);
}

void program_special_fcall(const char* name, sql_node_t* args) {
    sql_node_t name_node;
    nv_init_string_copy(&name_node, name);
    sql_node_t call;
    node_init_operator(&call, OPERATOR_FCALL, &name_node, args);
    program_add_statement(&call);
}

namespace {

const sql_node_t* list_element(const sql_node_t* list, int32_t index) {
    return static_cast<const sql_node_t*>(hash_find_integer(list->hash, index));
}

void add_function_parameters(func_info_t* function, const char* name, const sql_node_t* parameters) {
    for (hash_iterator_t it = parameters->hash->first_in_list; it != nullptr; it = it->next_in_list) {
        const char* parameter = static_cast<const sql_node_t*>(hash_item_data(it))->variable;
        if (_hash_add_string(&function->user.args, parameter, nullptr, 0, nullptr) != 0) {
            compile_bailout("Function %s has duplicate argument %s", name, parameter);
        }
    }
}

}  // namespace

void program_define_function(sql_node_t* definition) {
    const char* name = list_element(definition, 0)->value.string;
    func_info_t function{};
    function.is_user = 1;
    _hash_init(&function.user.args, HASH_CHAINS, nullptr);
    add_function_parameters(&function, name, list_element(definition, 1));
    node_deep_copy(&function.user.code_user, list_element(definition, 2));
    function.user.pathname = definition->pathname;
    function.user.line = definition->line;

    hash_iterator_t existing = nullptr;
    if (_hash_add_string(&compiler_globals.program->functions, name, &function, sizeof function, &existing) != 0) {
        const auto* earlier = static_cast<const func_info_t*>(hash_item_data(existing));
        if (earlier->is_user) {
            compile_bailout("Redefinition of user function \"%s\" already defined in %s:%u", name,
                            earlier->user.pathname, earlier->user.line);
        }
        compile_bailout("Redefinition of native function \"%s\"", name);
    }
    node_shutdown(definition);
}

void program_include_definition(sql_node_t* path) {
    compile_definition(path->value.string);
    node_shutdown(path);
}

void process_string_newlines(const char* text, size_t length) {
    unsigned breaks = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\r') {
            ++breaks;
            if (i + 1 < length && text[i + 1] == '\n') ++i;
        } else if (text[i] == '\n') {
            ++breaks;
        }
    }
    if (breaks > 0) compiler_globals.file->line += breaks;
}

input_open_hook_t input_open_hook = nullptr;

FILE* open_input_file(const char* pathname, struct stat* status, int* error) {
    if (input_open_hook != nullptr) return input_open_hook(pathname, status, error);
    FILE* handle = std::fopen(pathname, "r");
    *error = errno;
    if (handle == nullptr) return nullptr;
    if (fstat(fileno(handle), status) != 0) {
        *error = errno;
    } else if (S_ISDIR(status->st_mode)) {
        *error = EISDIR;
    } else {
        compile_remember_input_file(status->st_dev, status->st_ino);
        return handle;
    }
    std::fclose(handle);
    return nullptr;
}

void compile_remember_input_file(dev_t device, ino_t inode) { input_files.push_back({device, inode}); }

bool compile_is_input_file(dev_t device, ino_t inode) {
    for (const file_identity_t& file : input_files) {
        if (file.device == device && file.inode == inode) return true;
    }
    return false;
}

void compile_forget_input_files() { input_files.clear(); }
