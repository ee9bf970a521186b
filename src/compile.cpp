// The compile phase: compiles the input file and, recursively, every file it
// includes into one compiled program, and provides the program-building
// operations the grammar's actions call.
//
// Invariants: the phase runs on the phase stack; the include chain is at
// most COMPILE_MAX_INCLUDE_DEPTH files deep and one run compiles at most
// COMPILE_MAX_FILES files; a file named inside a definition file is read
// only when it is a regular file; every file read is remembered once.
#include "compile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "definition_parser.hpp"
#include "definition_scanner.hpp"
#include "exception.hpp"
#include "memory_pool.hpp"
#include "path_info.hpp"
#include "phase_stack.hpp"
#include "utils.hpp"

compiler_globals_t compiler_globals = {nullptr, nullptr};

namespace {

// Device and inode of each file read, once however often it was read.
std::set<std::pair<dev_t, ino_t>> input_files;

// Files compiled so far in this run, the input file included.
unsigned file_compilations = 0;

// Rows hold as many values as the rows before them, and tables often as many
// rows and fields as the table before: a constant list of a table declaration
// starts with room for as many elements as the last list of its kind had, so
// that it seldom has to grow or be packed. The room changes nothing but where
// the items lie; it is capped, so that one huge list does not make every
// later one huge, and every compilation starts with the same room.
constexpr size_t LIST_ROOM_MAX = 64;
constexpr size_t LIST_ROOM_START[] = {1, 0, 0};  // by program_list_t
size_t list_room[] = {1, 0, 0};

// The lines of the fields of the table declaration being read.
std::vector<unsigned> field_lines;

void reset_list_room() { std::copy(std::begin(LIST_ROOM_START), std::end(LIST_ROOM_START), list_room); }

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
    if (file->scanner != nullptr) deflex_token_columns(file->scanner, &location.column_start, &location.column_end);
    return location;
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

// The input file may be a pipe or a device (/dev/stdin); a file that a
// definition names must be a regular file.
FILE* open_definition(const char* pathname, struct stat* status) {
    int error = 0;
    FILE* handle = compiler_globals.file == nullptr ? open_input_file(pathname, status, &error)
                                                    : open_named_input_file(pathname, status, &error);
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

void parse_definition(compiled_file_t* record, open_definition_t* open) {
    if (deflex_init(&open->scanner) != 0) compile_bailout("Failed to initialize the definition scanner");
    defset_in(record->handle, open->scanner);
    record->scanner = open->scanner;
    if (defparse(open->scanner) != 0) compile_bailout("Definition parsing has failed");
    def_scanner_t* scanner = open->scanner;
    open->scanner = nullptr;
    record->scanner = nullptr;
    if (deflex_destroy(scanner) != 0) compile_bailout("Failed to destroy the definition scanner");
}

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

int compile_on_this_stack(compiled_program_t* program, const char* filename) {
    try {
        _hash_init(&program->code, HASH_CHAINS, node_dtor);
        _hash_init(&program->functions, HASH_CHAINS, function_shutdown);
        _hash_init(&program->pathnames, HASH_CHAINS, nullptr);
        _hash_init(&program->table_lines, HASH_CHAINS, nullptr);
        field_lines.clear();
        register_natives(program);
        reset_list_room();
        compiler_globals.file = nullptr;
        compiler_globals.program = program;
        file_compilations = 0;
        input_bytes_reset();
        compile_definition(filename);
        compiler_globals = {nullptr, nullptr};
        return 0;
    } catch (const bailout_exception&) {
        compiler_globals = {nullptr, nullptr};
        return -1;
    }
}

}  // namespace

int compile_program(compiled_program_t* program, const char* filename) {
    int status = -1;
    try {
        phase_stack_call([&] { status = compile_on_this_stack(program, filename); });
    } catch (const bailout_exception&) {
        // no stack for the phase: the fatal error has said so
    }
    return status;
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

// Function bodies are trees as deep as the parser allows: they are released
// on the phase stack too.
void compiled_program_shutdown(compiled_program_t* program) {
    phase_stack_call([program] {
        hash_shutdown(&program->code);
        hash_shutdown(&program->functions);
        hash_shutdown(&program->table_lines);
        hash_shutdown(&program->pathnames);
    });
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

void program_call(sql_node_t* call, const char* name, sql_node_t* args) {
    sql_node_t name_node;
    nv_init_string_copy(&name_node, name);
    node_init_operator(call, OPERATOR_FCALL, &name_node, args);
}

void program_special_fcall(const char* name, sql_node_t* args) {
    sql_node_t call;
    program_call(&call, name, args);
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

void program_initializer_file(sql_node_t* call, sql_node_t* file) {
    sql_node_t directory;
    compiled_file_dir(&directory);
    sql_node_t prefix_args;
    node_init_array(&prefix_args);
    node_push(&prefix_args, &directory);
    node_push(&prefix_args, file);
    sql_node_t prefix_call;
    program_call(&prefix_call, "prefix_pathname", &prefix_args);
    sql_node_t read_args;
    node_init_array(&read_args);
    node_push(&read_args, &prefix_call);
    program_call(call, "read_table_initializer", &read_args);
}

// A list of a table declaration is a call of array() (the field list is
// always a constant array). While every element of the list is a constant,
// the list is kept as the constant array that the call would return:
// array() is a built-in, which no definition may replace and which only
// gathers copies of its arguments. At the first element that is not a
// constant, the list becomes the call's argument list.

namespace {

// The constants gathered so far, as the nodes of an argument list.
void constants_to_arguments(sql_node_t* list) {
    sql_node_t arguments;
    node_init_array(&arguments);
    for (hash_iterator_t it = list->value.hash->first_in_list; it != nullptr; it = it->next_in_list) {
        auto* value = static_cast<sql_value_t*>(hash_item_data(it));
        sql_node_t element;
        nv_init_null(&element);
        element.value = *value;
        value_init_null(value);
        node_push(&arguments, &element);
    }
    node_shutdown(list);
    *list = arguments;
}

}  // namespace

void program_array_start(sql_node_t* list, program_list_t kind, sql_node_t* element) {
    if (element->type == NODE_VALUE) {
        nv_init_list(list, list_room[kind]);
    } else {
        node_init_array(list);
    }
    program_array_add(list, element);
}

void program_array_add(sql_node_t* list, sql_node_t* element) {
    if (list->type == NODE_VALUE && element->type != NODE_VALUE) constants_to_arguments(list);
    if (list->type == NODE_VALUE) {
        nv_push(list, element);
    } else {
        node_push(list, element);
    }
}

void program_array_end(sql_node_t* array, program_list_t kind, sql_node_t* list) {
    if (list->type == NODE_VALUE) {
        list_room[kind] = std::min(hash_count(list->value.hash), LIST_ROOM_MAX);
        *array = *list;
    } else {
        program_call(array, "array", list);
    }
}

void program_table_field(unsigned line) { field_lines.push_back(line); }

void program_table_declared(const char* name, unsigned first_line) {
    std::vector<unsigned> lines{first_line, static_cast<unsigned>(field_lines.size())};
    lines.insert(lines.end(), field_lines.begin(), field_lines.end());
    field_lines.clear();
    _hash_add_string(&compiler_globals.program->table_lines, name, lines.data(), lines.size() * sizeof(unsigned),
                     nullptr);
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

namespace {

FILE* open_stream(int descriptor, const struct stat& status, int* error) {
    FILE* handle = fdopen(descriptor, "r");
    if (handle == nullptr) {
        *error = errno;
        close(descriptor);
        return nullptr;
    }
    compile_remember_input_file(status.st_dev, status.st_ino);
    return handle;
}

}  // namespace

input_open_hook_t input_open_hook = nullptr;

namespace {

// The error number that refuses an opened file, or 0 to read it. A file named
// inside a definition was opened without blocking, so that a FIFO without a
// writer or a device that waits for a line is refused at once instead of
// holding the run; the flag is cleared again for the reads of a regular file.
int check_opened_input(int descriptor, struct stat* status, bool regular_only) {
    if (fstat(descriptor, status) != 0) return errno;
    if (S_ISDIR(status->st_mode)) return EISDIR;
    if (!regular_only) return 0;
    if (!S_ISREG(status->st_mode)) return INPUT_NOT_REGULAR;
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
    return 0;
}

FILE* open_input(const char* pathname, struct stat* status, int* error, bool regular_only) {
    if (input_open_hook != nullptr) return input_open_hook(pathname, status, error);
    const int flags = O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK | O_NOCTTY : 0);
    const int descriptor = open(pathname, flags);
    if (descriptor < 0) {
        *error = errno;
        return nullptr;
    }
    *error = check_opened_input(descriptor, status, regular_only);
    if (*error == 0) return open_stream(descriptor, *status, error);
    close(descriptor);
    return nullptr;
}

}  // namespace

FILE* open_input_file(const char* pathname, struct stat* status, int* error) {
    return open_input(pathname, status, error, false);
}

FILE* open_named_input_file(const char* pathname, struct stat* status, int* error) {
    return open_input(pathname, status, error, true);
}

void compile_remember_input_file(dev_t device, ino_t inode) { input_files.emplace(device, inode); }

bool compile_is_input_file(dev_t device, ino_t inode) { return input_files.count({device, inode}) != 0; }

bool compile_names_input_file(const char* filename) {
    struct stat status {};
    if (stat(filename, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    return compile_is_input_file(status.st_dev, status.st_ino);
}

void compile_forget_input_files() { input_files.clear(); }
