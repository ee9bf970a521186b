#include "fuzz_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compile.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"

namespace {

std::string scratch_dir;
FILE* real_stderr = nullptr;

// Anything larger than this is no definition a fuzzer wrote; reading it only
// slows the run down.
constexpr off_t LARGEST_READ_FILE = 1 << 20;

bool under(const char* path, const char* folder) {
    const size_t length = std::strlen(folder);
    return std::strncmp(path, folder, length) == 0 && (path[length] == '/' || path[length] == '\0');
}

// Empties and removes the scratch folder when the fuzzer ends.
void remove_scratch_dir() {
    if (DIR* dir = opendir(scratch_dir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                unlink((scratch_dir + "/" + entry->d_name).c_str());
            }
        }
        closedir(dir);
    }
    rmdir(scratch_dir.c_str());
}

}  // namespace

// A definition may name any file: include "/dev/zero" or a table rows file
// "/proc/kmsg" would read forever or block. The compiler does not open its
// files with fopen: compile.cpp's open_input uses open(2) and refuses,
// without blocking, whatever a definition names that is not a regular file,
// so such names never come here. The fuzz targets are still linked with
// --wrap=fopen, so that an fopen outside the compiler (the targets and their
// support code) refuses the same special files and over-large regular files
// as unreadable. What this no longer bounds is the size of a regular file
// that a definition names.
extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
    char resolved[PATH_MAX];
    struct stat status {};
    if (realpath(path, resolved) != nullptr && stat(resolved, &status) == 0) {
        const bool special = under(resolved, "/proc") || under(resolved, "/sys") || under(resolved, "/dev");
        const bool allowed =
            S_ISDIR(status.st_mode) || (S_ISREG(status.st_mode) && !special && status.st_size <= LARGEST_READ_FILE);
        if (!allowed) {
            errno = EACCES;
            return nullptr;
        }
    }
    return __real_fopen(path, mode);
}

void fuzz_setup() {
    if (!scratch_dir.empty()) return;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tabula-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    char resolved[PATH_MAX];
    scratch_dir = realpath(pattern.c_str(), resolved) != nullptr ? resolved : pattern;
    std::atexit(remove_scratch_dir);

    // The compiler reports every rejected input on standard error; writing
    // those lines would dominate the run time. The sanitizers and the fuzzer
    // keep the original stream, only the compiler's pointer is redirected.
    real_stderr = stderr;
    const char* verbose = std::getenv("TABULA_FUZZ_VERBOSE");
    if (verbose == nullptr || std::strcmp(verbose, "1") != 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        FILE* quiet = null_fd >= 0 ? fdopen(null_fd, "w") : nullptr;
        if (quiet != nullptr) stderr = quiet;
    }
}

std::string fuzz_path(const char* name) { return scratch_dir + "/" + name; }

void fuzz_write_file(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fuzz_fail("cannot create %s: %s", path.c_str(), std::strerror(errno));
    size_t done = 0;
    while (done < size) {
        const ssize_t written = write(fd, data + done, size - done);
        if (written <= 0) fuzz_fail("cannot write %s: %s", path.c_str(), std::strerror(errno));
        done += static_cast<size_t>(written);
    }
    close(fd);
}

void fuzz_release_run() {
    memory_pool_free_all();
    input_file_forget_all();
}

void fuzz_fail(const char* format, ...) {
    FILE* out = real_stderr != nullptr ? real_stderr : stderr;
    std::fputs("PROPERTY BROKEN: ", out);
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
    std::fputc('\n', out);
    std::fflush(out);
    std::abort();
}
