// The driver: reads the command line, runs the compile, run and write phases
// one after another, and decides the exit status.
#include <sys/stat.h>
#include <sys/uio.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "builtin.hpp"
#include "compile.hpp"
#include "dump_php.hpp"
#include "exception.hpp"
#include "execute.hpp"
#include "memory_pool.hpp"

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
    compile_forget_input_files();
    return EXIT_FAILED;
}

// Writing PHP over a definition or initializer file the run has just read
// would destroy the user's source.
bool output_is_an_input(const char* output_filename) {
    struct stat status {};
    if (stat(output_filename, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    return compile_is_input_file(status.st_dev, status.st_ino);
}

// The rendered file is a list of chunks rather than one growing buffer, so
// that nothing is copied as the text grows. A chunk is a block of just under
// 8 KiB, which the pool serves eight to a slab: the chunks reuse the slabs
// that the released program left empty.
constexpr size_t RENDER_CHUNK_BLOCK = 8 * 1024 - 128 - 16;

struct rendered_chunk_t {
    rendered_chunk_t* next;
    size_t length;
    char* text() { return reinterpret_cast<char*>(this + 1); }
    const char* text() const { return reinterpret_cast<const char*>(this + 1); }
};

constexpr size_t RENDER_CHUNK_TEXT = RENDER_CHUNK_BLOCK - sizeof(rendered_chunk_t);

struct rendered_php_t {
    rendered_chunk_t* first = nullptr;
    rendered_chunk_t* last = nullptr;
};

rendered_chunk_t* add_render_chunk(rendered_php_t* rendered) {
    auto* chunk = static_cast<rendered_chunk_t*>(memory_pool_alloc(RENDER_CHUNK_BLOCK));
    chunk->next = nullptr;
    chunk->length = 0;
    (rendered->last != nullptr ? rendered->last->next : rendered->first) = chunk;
    rendered->last = chunk;
    return chunk;
}

ssize_t render_write(void* cookie, const char* data, size_t size) {
    auto* rendered = static_cast<rendered_php_t*>(cookie);
    for (size_t done = 0; done < size;) {
        rendered_chunk_t* chunk = rendered->last;
        if (chunk == nullptr || chunk->length == RENDER_CHUNK_TEXT) chunk = add_render_chunk(rendered);
        const size_t part = std::min(size - done, RENDER_CHUNK_TEXT - chunk->length);
        std::memcpy(chunk->text() + chunk->length, data + done, part);
        chunk->length += part;
        done += part;
    }
    return static_cast<ssize_t>(size);
}

void release_rendered(rendered_php_t* rendered) {
    while (rendered_chunk_t* chunk = rendered->first) {
        rendered->first = chunk->next;
        memory_pool_free(chunk);
    }
    rendered->last = nullptr;
}

// The whole file is built in memory first, so that an error while writing
// it out can never leave a half-written file behind unnoticed, and an
// abnormal end while building it never touches the output at all.
rendered_php_t render_php(program_output_t* output) {
    rendered_php_t rendered;
    FILE* memory = fopencookie(&rendered, "w", {nullptr, render_write, nullptr, nullptr});
    if (memory == nullptr) fatal_error("Failed to allocate the PHP output buffer");
    dump_php_code(memory, output);
    if (std::fclose(memory) != 0) fatal_error("Failed to allocate the PHP output buffer");
    return rendered;
}

// Removes the output after a failed write, but only when the path still
// names the regular file that was opened: never a device such as /dev/full.
void remove_failed_output(const char* filename, const struct stat& opened) {
    struct stat now {};
    if (!S_ISREG(opened.st_mode) || stat(filename, &now) != 0) return;
    if (now.st_dev == opened.st_dev && now.st_ino == opened.st_ino) std::remove(filename);
}

// Gathers up to IOV_MAX chunks, starting `skip` bytes into the first one, for
// one write call; returns how many it gathered.
int gather_chunks(const rendered_chunk_t* chunk, size_t skip, struct iovec* pieces) {
    int count = 0;
    for (; chunk != nullptr && count < IOV_MAX; chunk = chunk->next, skip = 0) {
        pieces[count].iov_base = const_cast<char*>(chunk->text() + skip);
        pieces[count].iov_len = chunk->length - skip;
        ++count;
    }
    return count;
}

// Writes the chunks straight from where they lie, many to a call: a write
// call per chunk would cost the file system far more, and a stream buffer
// would only copy them once more. Returns 0 when the file was written and
// closed, else the error number.
int write_php_file(FILE* file, const rendered_php_t& rendered) {
    struct iovec pieces[IOV_MAX];
    const int descriptor = fileno(file);
    int error = 0;
    const rendered_chunk_t* chunk = rendered.first;
    size_t skip = 0;  // bytes of `chunk` already written
    while (chunk != nullptr && error == 0) {
        const int count = gather_chunks(chunk, skip, pieces);
        const ssize_t written = writev(descriptor, pieces, count);
        if (written < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        if (written == 0) error = EIO;
        // Step past what went out; a short write resumes inside a chunk.
        auto left = static_cast<size_t>(written);
        while (chunk != nullptr && left >= chunk->length - skip) {
            left -= chunk->length - skip;
            chunk = chunk->next;
            skip = 0;
        }
        skip += left;
    }
    if (std::fclose(file) != 0 && error == 0) error = errno;
    return error;
}

int write_output(const cmd_line_t& cmd_line, program_output_t* output) {
    const char* filename = cmd_line.output_filename;
    if (output_is_an_input(filename)) {
        std::fprintf(stderr, "Refusing to write PHP output over \"%s\", a file this run has read\n", filename);
        return -1;
    }
    rendered_php_t rendered = render_php(output);
    FILE* file = std::fopen(filename, "w");
    if (file == nullptr) {
        const int error = errno;
        exception_print_errno(error, "Failed to open PHP output file \"%s\": %d(%m)", filename, error);
        release_rendered(&rendered);
        return -1;
    }
    struct stat opened {};
    fstat(fileno(file), &opened);
    const int error = write_php_file(file, rendered);
    release_rendered(&rendered);
    if (error != 0) {
        exception_print_errno(error, "Failed to close PHP output file \"%s\": %d(%m)", filename, error);
        remove_failed_output(filename, opened);
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    cmd_line_t cmd_line;
    if (!cmd_line_parse(argc, argv, &cmd_line)) return EXIT_USAGE;

    compiled_program_t program;
    if (compile_program(&program, cmd_line.input_filename) != 0) return failed();

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
    compile_forget_input_files();
    return EXIT_WRITTEN;
}
