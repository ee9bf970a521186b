// One project run: the compiler's own compile and execute phases, with the
// open documents put in place of the files on disk through the input hook and
// the diagnostics kept as the records the run reports to its sink. Every run
// ends by releasing the whole pool, so the server's memory does not grow from
// one run to the next.
#include "lsp_project.hpp"

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "builtin.hpp"
#include "compile.hpp"
#include "execute.hpp"
#include "input_file.hpp"
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

// Compiles and runs the root's project and builds its model, as the
// compiler's own driver does.
void compile_and_run(const std::string& root, lsp_run_t* run) {
    compiled_program_t program{};
    run->compiled = compile_program(&program, root.c_str(), handlers_builtin, COMPILE_TABLE_LINES) == 0;
    if (!run->compiled) return;
    program_output_t output{};
    program_declarations_t declarations;
    program_declarations_init(&declarations);
    builtin_declarations = &declarations;
    run->succeeded = execute_program(&output, &program) == 0;
    builtin_declarations = nullptr;
    if (run->succeeded) {
        auto model = std::make_shared<schema_t>();
        schema_model_build(model.get(), &output, &declarations);
        run->model = std::move(model);
    }
    compiled_program_shutdown(&program);
}

// The files a definition file includes, read from its text without the
// compiler: "include" and a string, outside comments and strings. The text is
// not kept; the compiler's own tokens replace these edges once the file is
// indexed or compiled.
std::vector<std::string> scan_includes(const std::string& path, std::string_view text) {
    std::vector<std::string> includes;
    const auto is_label = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    const auto skip_blanks = [&](size_t p) {
        for (;;) {
            while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
            if (text.compare(p, 2, "/*") != 0) return p;
            const size_t close = text.find("*/", p + 2);
            p = close == std::string_view::npos ? text.size() : close + 2;
        }
    };
    const auto string_end = [&](size_t p, std::string* value) {  // p at the opening quote
        for (++p; p < text.size() && text[p] != '"'; ++p) {
            if (text[p] == '\\' && p + 1 < text.size()) ++p;
            if (value != nullptr) value->push_back(text[p]);
        }
        return std::min(p + 1, text.size());
    };
    for (size_t p = 0; p < text.size();) {
        const char c = text[p];
        if (c == '/' && text.compare(p, 2, "/*") == 0) {
            p = skip_blanks(p);
        } else if (c == '"') {
            p = string_end(p, nullptr);
        } else if (is_label(c)) {
            const size_t start = p;
            while (p < text.size() && is_label(text[p])) ++p;
            if (text.substr(start, p - start) != "include") continue;
            const size_t quote = skip_blanks(p);
            if (quote >= text.size() || text[quote] != '"') continue;
            std::string name;
            p = string_end(quote, &name);
            std::string resolved = lsp_resolve_name(path, name);
            if (!resolved.empty()) includes.push_back(std::move(resolved));
        } else {
            ++p;
        }
    }
    return includes;
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

lsp_run_t lsp_project_run(lsp_project_t* project, const std::string& root) {
    lsp_run_t run;
    hook_state = {project, &run, {}};
    input_file_open_hook = open_hook;
    {
        diagnostic_sink_scope_t sink([&](const diagnostic_t& diagnostic) { run.diagnostics.push_back(diagnostic); });
        compile_and_run(root, &run);
    }
    input_file_open_hook = nullptr;
    memory_pool_free_all();
    input_file_forget_all();
    for (diagnostic_t& diagnostic : run.diagnostics) {
        if (!diagnostic.file.empty()) diagnostic.file = lsp_normal_path(diagnostic.file);
    }
    if (run.model) project->models[root] = run.model;
    project->read[root] = std::set<std::string>(run.files.begin(), run.files.end());
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
        lsp_project_rescan(project, lsp_normal_path(path.string()));
    }
}

void lsp_project_rescan(lsp_project_t* project, const std::string& path) {
    if (project->documents.count(path) != 0) return;  // the open text speaks for it
    std::string text;
    int error = 0;
    if (!lsp_read_file(path, &text, &error)) {
        project->includes.erase(path);
        project->disk.erase(path);
        return;
    }
    project->includes[path] = scan_includes(path, text);
}

std::vector<std::string> lsp_project_roots(const lsp_project_t& project, const std::string& path) {
    std::map<std::string, std::vector<std::string>> includers;
    for (const auto& [file, included] : project.includes) {
        for (const std::string& target : included) includers[target].push_back(file);
    }
    std::set<std::string> roots;
    std::set<std::string> visited{path};
    std::vector<std::string> pending{path};
    while (!pending.empty()) {
        const std::string current = pending.back();
        pending.pop_back();
        auto found = includers.find(current);
        bool included = false;
        if (found != includers.end()) {
            for (const std::string& includer : found->second) {
                if (includer == current) continue;
                included = true;
                if (visited.insert(includer).second) pending.push_back(includer);
            }
        }
        if (!included) roots.insert(current);
    }
    if (roots.empty()) roots.insert(path);  // a circle of includes: the file itself
    // An initializer file, or a file an include names, is no root of its own.
    std::vector<std::string> readers;
    for (const auto& [root, files] : project.read) {
        if (files.count(path) != 0) readers.push_back(root);
    }
    if (!readers.empty() && roots.size() == 1 && *roots.begin() == path) return readers;
    roots.insert(readers.begin(), readers.end());
    return {roots.begin(), roots.end()};
}

bool lsp_project_is_read(const lsp_project_t& project, const std::string& path) {
    for (const auto& [root, files] : project.read) {
        if (files.count(path) != 0) return true;
    }
    return false;
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
    project->includes[path] = index->includes;
    return entry.index;
}

const lsp_text_t* lsp_project_text(lsp_project_t* project, const std::string& path) {
    auto document = project->documents.find(path);
    if (document != project->documents.end()) return &document->second.text;
    if (!lsp_project_index(project, path)) return nullptr;  // also when the file has gone
    return &project->disk[path].text;
}
