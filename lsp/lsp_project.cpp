// One project run: the compiler's own compile and execute phases, with the
// open documents put in place of the files on disk through the input hook and
// the messages taken from standard error. Every run ends by releasing the
// whole pool, so the server's memory does not grow from one run to the next.
#include "lsp_project.hpp"

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "builtin.hpp"
#include "compile.hpp"
#include "execute.hpp"
#include "memory_pool.hpp"

namespace {

constexpr off_t FILE_SIZE_LIMIT = 256 * 1024 * 1024;
constexpr size_t WORKSPACE_FILE_LIMIT = 20000;

struct hook_state_t {
    lsp_project_t* project = nullptr;
    lsp_run_t* run = nullptr;
    std::map<std::string, std::vector<std::string>> edges;  // includes seen in this run, by includer
};

hook_state_t hook_state;

// An identity for a document that is not on disk: a made-up inode, stable for
// the path, so that the include-cycle check still recognises it.
void document_identity(const std::string& path, struct stat* status) {
    struct stat disk {};
    if (stat(path.c_str(), &disk) == 0) {
        *status = disk;
    } else {
        *status = {};
        status->st_dev = static_cast<dev_t>(-1);
        status->st_ino = static_cast<ino_t>(std::hash<std::string>{}(path) | 1);
    }
    status->st_mode = S_IFREG | 0444;
}

FILE* open_hook(const char* pathname, struct stat* status, int* error) {
    const std::string path = lsp_normal_path(pathname);
    lsp_run_t* run = hook_state.run;
    run->files.push_back(path);
    if (compiler_globals.program == nullptr) {
        run->last_initializer = path;  // the run phase reads only initializer files
    } else if (compiler_globals.file != nullptr) {
        hook_state.edges[lsp_normal_path(compiler_globals.file->pathname)].push_back(path);
    }
    auto document = hook_state.project->documents.find(path);
    if (document != hook_state.project->documents.end()) {
        document_identity(path, status);
        FILE* stream = lsp_memory_file(document->second.text.text);
        if (stream == nullptr) *error = errno;
        return stream;
    }
    if (stat(pathname, status) != 0) {
        *error = errno;
        return nullptr;
    }
    // Only regular files: a device or a pipe could be endless or never end.
    if (S_ISDIR(status->st_mode)) {
        *error = EISDIR;
        return nullptr;
    }
    if (!S_ISREG(status->st_mode)) {
        *error = INPUT_NOT_REGULAR;
        return nullptr;
    }
    if (status->st_size > FILE_SIZE_LIMIT) {
        *error = EFBIG;
        return nullptr;
    }
    FILE* stream = std::fopen(pathname, "r");
    if (stream == nullptr) *error = errno;
    return stream;
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// "MESSAGE in PATH:LINE": the location is the " in " whose path is a file of
// the run; a message without one has no location.
void split_message(const std::string& captured, lsp_run_t* run) {
    std::string line = captured;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    const size_t last_break = line.rfind('\n');
    if (last_break != std::string::npos) line = line.substr(last_break + 1);
    run->message = line;
    for (size_t at = line.find(" in /"); at != std::string::npos; at = line.find(" in /", at + 1)) {
        const size_t colon = line.rfind(':');
        if (colon == std::string::npos || colon < at) break;
        const std::string digits = line.substr(colon + 1);
        if (!all_digits(digits) || digits.size() > 9) break;
        const std::string path = lsp_normal_path(line.substr(at + 4, colon - at - 4));
        bool known = false;
        for (const std::string& file : run->files) known = known || file == path;
        if (!known) continue;
        run->message = line.substr(0, at);
        run->path = path;
        run->line = static_cast<unsigned>(std::stoul(digits));
        return;
    }
}

void record_edges(lsp_project_t* project, const lsp_run_t& run) {
    for (auto& [includer, included] : hook_state.edges) {
        std::vector<std::string>& known = project->includes[includer];
        if (run.compiled) {
            known = included;  // the whole file was compiled: these are all its includes
        } else {
            for (const std::string& path : included) {
                if (std::find(known.begin(), known.end(), path) == known.end()) known.push_back(path);
            }
        }
    }
}

void forget_disk_file(lsp_disk_index_t* entry) {
    entry->index = nullptr;
    entry->size = -1;
    lsp_text_set(&entry->text, {});
}

}  // namespace

bool lsp_read_file(const std::string& path, std::string* text, int* error) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        *error = errno;
        return false;
    }
    if (!S_ISREG(status.st_mode) || status.st_size > FILE_SIZE_LIMIT) {
        *error = EINVAL;
        return false;
    }
    FILE* stream = std::fopen(path.c_str(), "r");
    if (stream == nullptr) {
        *error = errno;
        return false;
    }
    text->clear();
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
        text->append(buffer, got);
        if (text->size() > static_cast<size_t>(FILE_SIZE_LIMIT)) break;
    }
    std::fclose(stream);
    return true;
}

lsp_run_t lsp_project_run(lsp_project_t* project, const std::string& root, const lsp_inspect_t& inspect) {
    lsp_run_t run;
    hook_state = {project, &run, {}};
    input_open_hook = open_hook;
    std::string captured;
    {
        lsp_stderr_capture_t capture;
        compiled_program_t program{};
        program_output_t output{};
        run.compiled = compile_program(&program, root.c_str()) == 0;
        run.succeeded = run.compiled && execute_program(&output, &program) == 0;
        if (run.succeeded && inspect) inspect(program, output);
        captured = capture.text();
    }
    input_open_hook = nullptr;
    memory_pool_free_all();
    compile_forget_input_files();
    if (!run.succeeded) split_message(captured, &run);
    record_edges(project, run);
    hook_state = {};
    return run;
}

void lsp_project_scan_workspace(lsp_project_t* project) {
    if (project->workspace.empty()) return;
    namespace fs = std::filesystem;
    std::error_code error;
    fs::recursive_directory_iterator it(project->workspace, fs::directory_options::skip_permission_denied, error);
    size_t seen = 0;
    for (; !error && it != fs::recursive_directory_iterator() && seen < WORKSPACE_FILE_LIMIT; it.increment(error)) {
        const fs::path& path = it->path();
        const std::string name = path.filename().string();
        if (it->is_directory(error) && (name.empty() || name[0] == '.' || name == "node_modules")) {
            it.disable_recursion_pending();
            continue;
        }
        ++seen;
        if (path.extension() != ".def" || !it->is_regular_file(error)) continue;
        const std::string normal = lsp_normal_path(path.string());
        if (auto index = lsp_project_index(project, normal)) project->includes[normal] = index->includes;
    }
}

std::string lsp_project_root(const lsp_project_t& project, const std::string& path) {
    std::set<std::string> visited{path};
    std::string current = path;
    for (;;) {
        std::string includer;
        for (const auto& [file, included] : project.includes) {
            if (visited.count(file) != 0) continue;
            if (std::find(included.begin(), included.end(), current) != included.end()) {
                includer = file;  // the map is sorted: the first includer by path
                break;
            }
        }
        if (includer.empty()) return current;
        visited.insert(includer);
        current = includer;
    }
}

std::vector<std::string> lsp_project_files(lsp_project_t* project, const std::string& root) {
    std::vector<std::string> files;
    std::set<std::string> seen;
    std::vector<std::string> pending{root};
    while (!pending.empty() && files.size() < WORKSPACE_FILE_LIMIT) {
        const std::string path = pending.back();
        pending.pop_back();
        if (!seen.insert(path).second) continue;
        auto index = lsp_project_index(project, path);
        if (!index) continue;
        files.push_back(path);
        for (auto it = index->includes.rbegin(); it != index->includes.rend(); ++it) pending.push_back(*it);
    }
    return files;
}

std::shared_ptr<const lsp_file_index_t> lsp_project_index(lsp_project_t* project, const std::string& path) {
    auto document = project->documents.find(path);
    if (document != project->documents.end()) {
        lsp_document_t& doc = document->second;
        if (!doc.index) {
            doc.index = std::make_shared<lsp_file_index_t>(lsp_index_text(path, doc.text.text));
            project->includes[path] = doc.index->includes;
        }
        return doc.index;
    }
    // An entry is emptied, never erased: a request may still hold its text.
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        auto known = project->disk.find(path);
        if (known != project->disk.end()) forget_disk_file(&known->second);
        return nullptr;
    }
    lsp_disk_index_t& entry = project->disk[path];
    if (entry.index && entry.size == status.st_size && entry.mtime == status.st_mtim.tv_sec &&
        entry.mtime_ns == status.st_mtim.tv_nsec) {
        return entry.index;
    }
    std::string text;
    int error = 0;
    if (!lsp_read_file(path, &text, &error)) {
        forget_disk_file(&entry);
        return nullptr;
    }
    entry.size = status.st_size;
    entry.mtime = status.st_mtim.tv_sec;
    entry.mtime_ns = status.st_mtim.tv_nsec;
    auto index = std::make_shared<lsp_file_index_t>(lsp_index_text(path, text));
    lsp_text_set(&entry.text, std::move(text));
    entry.index = index;
    return entry.index;
}

const lsp_text_t* lsp_project_text(lsp_project_t* project, const std::string& path) {
    if (!lsp_project_index(project, path)) return nullptr;  // also when the file has gone
    auto document = project->documents.find(path);
    if (document != project->documents.end()) return &document->second.text;
    return &project->disk[path].text;
}
