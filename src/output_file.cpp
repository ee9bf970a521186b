// Replaces an output file whole or not at all.
//
// Invariants:
// - Until commit, nothing of the new text is visible under the output's name:
//   it goes to a new file in the output's folder (anonymous where the file
//   system allows, else under a hidden temporary name), or to memory where the
//   output is written directly.
// - The new file is flushed to the disk before it is renamed over the output,
//   so that a reader, or a crash, finds the old text or the new, never a mix.
// - A temporary name exists only while a replacement is open; a failure at
//   any step removes it, and so does every signal whose default action ends
//   the process (all but SIGKILL, which cannot be caught), whose handlers
//   then end the process by the same signal.
// - A file written in place is written under an exclusive flock from its
//   first byte and then cut to the text's length, so that two runs writing
//   it at once leave one run's text, never a mix with holes.
// - Exceeding the file-size limit is an ordinary write error (EFBIG), never
//   the end of the process: SIGXFSZ is ignored once a file is opened.
// - One replacement at a time is guarded by the signal handlers (the
//   program writes one output).
#include "output_file.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "memory_pool.hpp"

struct output_chunk_t {
    output_chunk_t* next;
    size_t length;
    char* text() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

// The text held until commit is a list of blocks rather than one growing
// buffer, so that nothing is copied as it grows. A block is the size of about
// 8 KiB that the pool serves without waste: the blocks reuse the slabs that
// the released program left empty.
const size_t OUTPUT_CHUNK_BLOCK = memory_pool_fitting_size(8 * 1024);
const size_t CHUNK_TEXT = OUTPUT_CHUNK_BLOCK - sizeof(output_chunk_t);
constexpr int MAX_LINK_HOPS = 40;
constexpr int TEMPORARY_NAME_TRIES = 100;

// --- Signals -------------------------------------------------------------

// Whether the default action of `signal_number` ends the process. SIGKILL
// cannot be caught; SIGXFSZ is ignored while a file is written.
bool ends_process_by_default(int signal_number) {
    switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
    case SIGXFSZ: return false;
    default: return signal_number < 32 || (signal_number >= SIGRTMIN && signal_number <= SIGRTMAX);
    }
}

// The temporary name a handler removes; `pending_folder` is -1 when there is
// none. Handlers run on any thread, so the name is published before the
// folder.
char pending_name[NAME_MAX + 1];
std::atomic<int> pending_folder{-1};
struct sigaction saved_actions[NSIG];
bool handlers_installed = false;

void cleanup_and_die(int signal_number) {
    const int folder = pending_folder.exchange(-1);
    if (folder >= 0) unlinkat(folder, pending_name, 0);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    raise(signal_number);  // delivered as the handler returns
}

// Signals ignored when the program started (as under nohup) stay ignored.
void install_handlers() {
    if (handlers_installed) return;
    struct sigaction action {};
    action.sa_handler = cleanup_and_die;
    sigfillset(&action.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        if (!ends_process_by_default(number) || sigaction(number, nullptr, &saved_actions[number]) != 0) continue;
        if (saved_actions[number].sa_handler != SIG_IGN) sigaction(number, &action, nullptr);
    }
    handlers_installed = true;
}

void restore_handlers() {
    if (!handlers_installed) return;
    for (int number = 1; number < NSIG; ++number) {
        if (ends_process_by_default(number)) sigaction(number, &saved_actions[number], nullptr);
    }
    handlers_installed = false;
}

void publish_temporary(const output_file_t* file) {
    std::memcpy(pending_name, file->temporary, sizeof pending_name);
    pending_folder.store(file->folder);
}

void forget_temporary(output_file_t* file) {
    pending_folder.store(-1);
    file->temporary[0] = '\0';
}

void remove_temporary(output_file_t* file) {
    if (file->temporary[0] != '\0') unlinkat(file->folder, file->temporary, 0);
    forget_temporary(file);
}

// --- Finding the file to replace ---------------------------------------------

int copy_path(char* to, const char* from) {
    const size_t length = strlen(from);
    if (length >= PATH_MAX) return ENAMETOOLONG;
    std::memcpy(to, from, length + 1);
    return 0;
}

// Whether `descriptor` lies on a file system whose links name open files or
// kernel objects rather than paths (/proc/self/fd/1, behind /dev/stdout).
bool on_kernel_file_system(int descriptor) {
    struct statfs info {};
    if (fstatfs(descriptor, &info) != 0) return false;
    return info.f_type == PROC_SUPER_MAGIC || info.f_type == SYSFS_MAGIC;
}

bool is_kernel_link(const char* path) {
    const int link = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (link < 0) return false;
    const bool kernel = on_kernel_file_system(link);
    close(link);
    return kernel;
}

// The descriptor that a kernel link names, as /dev/stdout leads to
// /proc/self/fd/1: a number after one of the prefixes that name this
// process's descriptors, or -1.
int inherited_descriptor(const char* path) {
    static const char* const PREFIXES[] = {"/proc/self/fd/", "/proc/thread-self/fd/", "/dev/fd/"};
    for (const char* prefix : PREFIXES) {
        const size_t length = strlen(prefix);
        if (strncmp(path, prefix, length) != 0) continue;
        const char* digits = path + length;
        if (*digits < '0' || *digits > '9') return -1;
        char* end = nullptr;
        const long number = strtol(digits, &end, 10);
        return *end == '\0' && number <= INT_MAX ? static_cast<int>(number) : -1;
    }
    return -1;
}

// Follows the symbolic links that `path` names, one after another, so that
// `path` ends as the name of the file to replace (which need not exist).
// Sets `direct` when a link names an open file instead of a path.
int follow_links(char* path, bool* direct) {
    for (int hops = 0;; ++hops) {
        struct stat status {};
        if (lstat(path, &status) != 0 || !S_ISLNK(status.st_mode)) return 0;
        if (is_kernel_link(path)) {
            *direct = true;
            return 0;
        }
        if (hops == MAX_LINK_HOPS) return ELOOP;
        char target[PATH_MAX];
        const ssize_t length = readlink(path, target, sizeof target);
        if (length < 0) return errno;
        if (static_cast<size_t>(length) == sizeof target) return ENAMETOOLONG;
        target[length] = '\0';
        // A relative target is read from the link's own folder.
        char* slash = strrchr(path, '/');
        const size_t folder_length = target[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
        if (folder_length + static_cast<size_t>(length) >= PATH_MAX) return ENAMETOOLONG;
        std::memcpy(path + folder_length, target, static_cast<size_t>(length) + 1);
    }
}

// Splits `path` into its folder (left in `path`) and its last name.
int split_path(char* path, char* name) {
    char* slash = strrchr(path, '/');
    const char* last = slash == nullptr ? path : slash + 1;
    if (strlen(last) > NAME_MAX) return ENAMETOOLONG;
    std::strcpy(name, last);
    if (slash == nullptr) {
        std::strcpy(path, ".");
    } else if (slash == path) {
        path[1] = '\0';
    } else {
        *slash = '\0';
    }
    return 0;
}

// Whether the folder is append-only (chattr +a): a file can be created in
// it, but neither renamed nor removed, so a temporary file would stay.
bool is_append_only(int folder) {
    struct statx attributes {};
    return statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &attributes) == 0 &&
           (attributes.stx_attributes_mask & STATX_ATTR_APPEND) != 0 &&
           (attributes.stx_attributes & STATX_ATTR_APPEND) != 0;
}

// Whether replacing the output by rename would fail, or lose what the file
// is, where writing into it works: in a sticky folder (such as /tmp) only the
// owner of a file, or of the folder, may rename over it; a file mounted over
// its name (as containers mount single files) cannot be renamed over at all,
// nor can anything in an append-only folder; a second hard link would keep
// the old text.
bool folder_forbids_rename(int folder, int output, const struct stat& status) {
    if (status.st_nlink > 1 || is_append_only(folder)) return true;
    struct stat folder_status {};
    if (fstat(folder, &folder_status) != 0) return false;
    if (folder_status.st_dev != status.st_dev) return true;
    struct statx mount {};
    if (statx(output, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &mount) == 0 &&
        (mount.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
        (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
        return true;
    }
    const uid_t self = geteuid();
    return (folder_status.st_mode & S_ISVTX) != 0 && self != 0 && status.st_uid != self && folder_status.st_uid != self;
}

// --- The new file ------------------------------------------------------------

// The kernel must be able to give the anonymous file a name at commit.
bool can_name_anonymous(int descriptor) {
    char fd_path[64];
    snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", descriptor);
    return access(fd_path, F_OK) == 0;
}

// ".NAME.XXXXXXXX" in the output's folder; a long NAME is shortened.
void make_temporary_name(output_file_t* file) {
    static const char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[8] = {};
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        static unsigned counter = 0;
        const unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter * 40503u;
        for (size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(seed >> (i * 4));
    }
    char suffix[sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i) suffix[i] = LETTERS[random[i] % (sizeof LETTERS - 1)];
    suffix[sizeof random] = '\0';
    const int room = static_cast<int>(NAME_MAX - sizeof random - 2);
    snprintf(file->temporary, sizeof file->temporary, ".%.*s.%s", room, file->name, suffix);
}

// Tries fresh hidden names until `create` makes the file under one; 0, or the
// error number of the first failure that is not a name already taken.
template <typename create_t>
int under_temporary_name(output_file_t* file, create_t create) {
    for (int tries = 0; tries < TEMPORARY_NAME_TRIES; ++tries) {
        make_temporary_name(file);
        publish_temporary(file);
        if (create()) return 0;
        const int error = errno;
        forget_temporary(file);
        if (error != EEXIST) return error;
    }
    return EEXIST;
}

// Creates the new file under a hidden name no other file has.
int create_named_temporary(output_file_t* file, mode_t mode) {
    return under_temporary_name(file, [&] {
        file->descriptor =
            openat(file->folder, file->temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
        return file->descriptor >= 0;
    });
}

int create_new_file(output_file_t* file, mode_t mode) {
    install_handlers();
    if (!file->try_anonymous) return create_named_temporary(file, mode);
    file->descriptor = openat(file->folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (file->descriptor >= 0) {
        if (can_name_anonymous(file->descriptor)) {
            file->anonymous = true;
            return 0;
        }
        close(file->descriptor);
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return errno;
    }
    // The file system has no anonymous files (or they could not be named).
    return create_named_temporary(file, mode);
}

// Gives the anonymous file its temporary name, just before the rename.
int name_anonymous(output_file_t* file) {
    char fd_path[64];
    snprintf(fd_path, sizeof fd_path, "/proc/self/fd/%d", file->descriptor);
    const int error = under_temporary_name(
        file, [&] { return linkat(AT_FDCWD, fd_path, file->folder, file->temporary, AT_SYMLINK_FOLLOW) == 0; });
    if (error == 0) file->anonymous = false;
    return error;
}

// --- Opening -----------------------------------------------------------------

int open_direct(output_file_t* file, const char* filename, output_file_mode_t mode) {
    file->descriptor = open(filename, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (file->descriptor < 0) return errno;
    file->mode = mode;
    return 0;
}

// Writes go to a copy of the process's own descriptor, which keeps its
// offset and its append flag; it must be open for writing.
int open_inherited(output_file_t* file, int inherited) {
    const int flags = fcntl(inherited, F_GETFL);
    if (flags < 0) return errno;
    if ((flags & O_ACCMODE) == O_RDONLY) return EBADF;
    file->descriptor = fcntl(inherited, F_DUPFD_CLOEXEC, 0);
    if (file->descriptor < 0) return errno;
    file->mode = OUTPUT_FILE_INHERITED;
    return 0;
}

// The owner, the group and the extended attributes (access control lists
// among them) of the file being replaced, given to the new file; false when
// one of them cannot be given, as when the group is one the process may not
// set or an attribute is one it may not write.
bool takes_over_attributes(int from, int to, const struct stat& existing) {
    if (fchown(to, existing.st_uid, static_cast<gid_t>(-1)) != 0 && existing.st_uid != geteuid()) return false;
    if (fchown(to, static_cast<uid_t>(-1), existing.st_gid) != 0) return false;
    ssize_t size = flistxattr(from, nullptr, 0);
    if (size <= 0) return size == 0 || errno == ENOTSUP;
    char* names = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    char* value = nullptr;
    bool taken = names != nullptr && (size = flistxattr(from, names, static_cast<size_t>(size))) >= 0;
    for (ssize_t at = 0; taken && at < size; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
        const char* name = names + at;
        const ssize_t length = fgetxattr(from, name, nullptr, 0);
        char* grown = length < 0 ? nullptr : static_cast<char*>(std::realloc(value, static_cast<size_t>(length) + 1));
        if (grown != nullptr) value = grown;
        taken = grown != nullptr && fgetxattr(from, name, value, static_cast<size_t>(length)) == length &&
                fsetxattr(to, name, value, static_cast<size_t>(length), 0) == 0;
    }
    std::free(value);
    std::free(names);
    return taken;
}

// Gives the new file up before its commit, as when the output is written in
// place after all.
void drop_new_file(output_file_t* file) {
    close(file->descriptor);
    file->descriptor = -1;
    if (file->temporary[0] != '\0') remove_temporary(file);
    file->anonymous = false;
}

// The output exists as a regular file: it must be writable, as when it was
// written in place; the new file takes over its owner, attributes and
// permissions, or the file is written in place.
int open_over_existing(output_file_t* file, const char* path, const struct stat& existing) {
    const int output = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (output < 0) return errno;
    int error = folder_forbids_rename(file->folder, output, existing) ? EPERM : create_new_file(file, 0600);
    if (error == 0 && !takes_over_attributes(output, file->descriptor, existing)) {
        drop_new_file(file);
        error = EPERM;
    }
    if (error == EACCES || error == EPERM || error == EROFS) {
        // The new file cannot stand for the old one: the output is rewritten
        // in place.
        file->descriptor = output;
        file->mode = OUTPUT_FILE_IN_PLACE;
        return 0;
    }
    close(output);
    if (error != 0) return error;
    file->mode = OUTPUT_FILE_REPLACE;
    file->keeps_owner = true;
    file->permissions = existing.st_mode & 07777;
    return 0;
}

int open_replacement(output_file_t* file, const char* filename) {
    char path[PATH_MAX];
    int error = copy_path(path, filename);
    bool direct = false;
    if (error == 0) error = follow_links(path, &direct);
    if (error != 0) return error;
    if (direct) {
        const int inherited = inherited_descriptor(path);
        if (inherited >= 0) return open_inherited(file, inherited);
        return open_direct(file, filename, OUTPUT_FILE_DIRECT);
    }
    struct stat existing {};
    const bool exists = stat(path, &existing) == 0;
    if (!exists && errno != ENOENT) return errno;
    if (exists && !S_ISREG(existing.st_mode)) return open_direct(file, filename, OUTPUT_FILE_DIRECT);

    char folder_path[PATH_MAX];
    std::strcpy(folder_path, path);
    if ((error = split_path(folder_path, file->name)) != 0) return error;
    // A name ending in "/" is a folder: opening it as before reports so.
    if (file->name[0] == '\0') return open_direct(file, filename, OUTPUT_FILE_DIRECT);
    file->folder = open(folder_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (file->folder < 0) return errno;
    if (on_kernel_file_system(file->folder)) return open_direct(file, filename, OUTPUT_FILE_DIRECT);
    if (exists) return open_over_existing(file, path, existing);
    if (is_append_only(file->folder)) {
        // A temporary file could be neither renamed nor removed here.
        file->descriptor = openat(file->folder, file->name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (file->descriptor < 0) return errno;
        file->mode = OUTPUT_FILE_IN_PLACE;
        return 0;
    }
    if ((error = create_new_file(file, 0666)) != 0) return error;
    file->mode = OUTPUT_FILE_REPLACE;
    return 0;
}

// --- Writing -----------------------------------------------------------------

int write_all(output_file_t* file, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t written = file->write_call(file->descriptor, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

void hold_in_memory(output_file_t* file, const char* bytes, size_t size) {
    while (size > 0) {
        output_chunk_t* chunk = file->last;
        if (chunk == nullptr || chunk->length == CHUNK_TEXT) {
            chunk = static_cast<output_chunk_t*>(memory_pool_alloc(OUTPUT_CHUNK_BLOCK));
            chunk->next = nullptr;
            chunk->length = 0;
            (file->last != nullptr ? file->last->next : file->first) = chunk;
            file->last = chunk;
        }
        const size_t part = size < CHUNK_TEXT - chunk->length ? size : CHUNK_TEXT - chunk->length;
        std::memcpy(chunk->text() + chunk->length, bytes, part);
        chunk->length += part;
        bytes += part;
        size -= part;
    }
}

void release_memory(output_file_t* file) {
    while (output_chunk_t* chunk = file->first) {
        file->first = chunk->next;
        memory_pool_free(chunk);
    }
    file->last = nullptr;
}

ssize_t stream_write(void* cookie, const char* data, size_t size) {
    output_file_write(static_cast<output_file_t*>(cookie), data, size);
    return static_cast<ssize_t>(size);  // an error is kept for commit
}

void close_stream(output_file_t* file) {
    if (file->stream != nullptr) std::fclose(file->stream);
    file->stream = nullptr;
}

void close_descriptors(output_file_t* file) {
    if (file->descriptor >= 0) close(file->descriptor);
    if (file->folder >= 0) close(file->folder);
    file->descriptor = -1;
    file->folder = -1;
    file->mode = OUTPUT_FILE_CLOSED;
}

// --- Committing --------------------------------------------------------------

// The rename is made durable too; a folder that cannot be synced does not
// undo a replacement that has already happened.
void sync_folder(int folder) {
    const int readable = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable < 0) return;
    fsync(readable);
    close(readable);
}

int finish_new_file(output_file_t* file) {
    // The owner, group and attributes were taken over at open; the
    // permissions come after them, as a change of owner clears some.
    if (file->keeps_owner && fchmod(file->descriptor, file->permissions) != 0) return errno;
    if (fsync(file->descriptor) != 0) return errno;
    if (file->anonymous) {
        const int error = name_anonymous(file);
        if (error != 0) return error;
    }
    const int descriptor = file->descriptor;
    file->descriptor = -1;
    if (close(descriptor) != 0) return errno;
    if (renameat(file->folder, file->temporary, file->folder, file->name) != 0) return errno;
    forget_temporary(file);
    sync_folder(file->folder);
    return 0;
}

int commit_replacement(output_file_t* file) {
    const int error = finish_new_file(file);
    if (error != 0) remove_temporary(file);
    return error;
}

int write_held_text(output_file_t* file) {
    for (output_chunk_t* chunk = file->first; chunk != nullptr; chunk = chunk->next) {
        const int error = write_all(file, chunk->text(), chunk->length);
        if (error != 0) return error;
    }
    return 0;
}

// Writes the held text over a regular file under an exclusive lock, from its
// first byte, then cuts the file to the text's length: two runs at once
// leave one text whole. If writing fails the file is left empty rather than
// cut off somewhere in the middle.
int write_in_place(output_file_t* file) {
    while (flock(file->descriptor, LOCK_EX) != 0) {
        if (errno != EINTR) return errno;
    }
    off_t length = 0;
    for (output_chunk_t* chunk = file->first; chunk != nullptr; chunk = chunk->next) {
        length += static_cast<off_t>(chunk->length);
    }
    int error = lseek(file->descriptor, 0, SEEK_SET) == 0 ? write_held_text(file) : errno;
    if (error == 0 && ftruncate(file->descriptor, length) != 0) error = errno;
    if (error == 0 && fsync(file->descriptor) != 0) error = errno;
    if (error != 0) {
        [[maybe_unused]] const int emptied = ftruncate(file->descriptor, 0);  // the write error is the one told
    }
    return error;  // the lock goes with the descriptor
}

// Writes the held text to what is not replaced: a file in place, an
// inherited descriptor as it is, a device or a FIFO. A reader that has gone
// (a closed pipe) makes the write fail with EPIPE instead of ending the
// process.
int commit_direct(output_file_t* file) {
    struct stat status {};
    const bool regular = fstat(file->descriptor, &status) == 0 && S_ISREG(status.st_mode);
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &saved);
    int error = 0;
    if (regular && file->mode != OUTPUT_FILE_INHERITED) {
        error = write_in_place(file);
    } else {
        error = write_held_text(file);
        if (error == 0 && regular && fsync(file->descriptor) != 0 && errno != EINVAL) error = errno;
    }
    sigaction(SIGPIPE, &saved, nullptr);
    const int descriptor = file->descriptor;
    file->descriptor = -1;
    if (close(descriptor) != 0 && error == 0) error = errno;
    return error;
}

}  // namespace

int output_file_open(output_file_t* file, const char* filename) {
    output_file_abandon(file);
    file->error = 0;
    file->anonymous = false;
    file->keeps_owner = false;
    file->name[0] = '\0';
    file->temporary[0] = '\0';
    // Past the file-size limit a write fails with EFBIG instead of killing us.
    signal(SIGXFSZ, SIG_IGN);
    const int error = open_replacement(file, filename);
    if (error != 0) output_file_abandon(file);
    return error;
}

int output_file_write(output_file_t* file, const void* data, size_t size) {
    if (file->error != 0) return file->error;
    if (file->mode == OUTPUT_FILE_REPLACE) {
        file->error = write_all(file, static_cast<const char*>(data), size);
    } else if (file->mode != OUTPUT_FILE_CLOSED) {
        try {
            hold_in_memory(file, static_cast<const char*>(data), size);
        } catch (...) {
            file->failure = std::current_exception();
            file->error = ENOMEM;
        }
    } else {
        file->error = EBADF;
    }
    return file->error;
}

FILE* output_file_stream(output_file_t* file) {
    if (file->stream == nullptr) {
        file->stream = fopencookie(file, "w", {nullptr, stream_write, nullptr, nullptr});
        // The writer hands over large pieces already; a buffer would copy them.
        if (file->stream != nullptr) setvbuf(file->stream, nullptr, _IONBF, 0);
    }
    return file->stream;
}

int output_file_commit(output_file_t* file) {
    close_stream(file);
    if (file->failure) {
        const std::exception_ptr failure = file->failure;
        output_file_abandon(file);
        std::rethrow_exception(failure);
    }
    int error = file->error;
    if (error == 0) {
        if (file->mode == OUTPUT_FILE_REPLACE) {
            error = commit_replacement(file);
        } else if (file->mode != OUTPUT_FILE_CLOSED) {
            error = commit_direct(file);
        } else {
            error = EBADF;
        }
    }
    output_file_abandon(file);
    return error;
}

void output_file_abandon(output_file_t* file) {
    close_stream(file);
    file->failure = nullptr;
    if (file->temporary[0] != '\0' && file->folder >= 0) remove_temporary(file);
    release_memory(file);
    close_descriptors(file);
    restore_handlers();
}
