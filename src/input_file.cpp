// Invariant: every stream opened here (not through the hook) reads a file
// whose device and inode are in `input_files`; a file named inside a
// definition was opened without blocking and is a regular file.
#include "input_file.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <set>
#include <utility>

namespace {

// Device and inode of each file read, once however often it was read.
std::set<std::pair<dev_t, ino_t>> input_files;

FILE* open_stream(int descriptor, const struct stat& status, int* error) {
    FILE* handle = fdopen(descriptor, "r");
    if (handle == nullptr) {
        *error = errno;
        close(descriptor);
        return nullptr;
    }
    input_file_remember(status.st_dev, status.st_ino);
    return handle;
}

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
    if (input_file_open_hook != nullptr) return input_file_open_hook(pathname, status, error);
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

input_file_hook_t input_file_open_hook = nullptr;

FILE* input_file_open(const char* pathname, struct stat* status, int* error) {
    return open_input(pathname, status, error, false);
}

FILE* input_file_open_named(const char* pathname, struct stat* status, int* error) {
    return open_input(pathname, status, error, true);
}

void input_file_remember(dev_t device, ino_t inode) { input_files.emplace(device, inode); }

bool input_file_was_read(dev_t device, ino_t inode) { return input_files.count({device, inode}) != 0; }

bool input_file_names_read(const char* filename) {
    struct stat status {};
    if (stat(filename, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    return input_file_was_read(status.st_dev, status.st_ino);
}

void input_file_forget_all() { input_files.clear(); }
