// Placeholder that writes in place; the replacement through a new file in the
// output's folder takes its place.
#include "output_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int output_file_open(output_file_t* file, const char* filename) {
    file->error = 0;
    file->descriptor = open(filename, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return file->descriptor < 0 ? errno : 0;
}

int output_file_write(output_file_t* file, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0 && file->error == 0) {
        const ssize_t written = write(file->descriptor, bytes, size);
        if (written < 0) {
            if (errno != EINTR) file->error = errno;
            continue;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return file->error;
}

int output_file_commit(output_file_t* file) {
    if (close(file->descriptor) != 0 && file->error == 0) file->error = errno;
    file->descriptor = -1;
    return file->error;
}

void output_file_abandon(output_file_t* file) {
    if (file->descriptor >= 0) close(file->descriptor);
    file->descriptor = -1;
}
