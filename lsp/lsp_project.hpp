// The files the server knows (open documents over files on disk), which file
// is the root of a project, and one run of the compiler over a project.
//
// Root-file rule: a file's projects are compiled from the files that include
// it, directly or through others, and that no known file includes; a file
// that nothing includes is its own root. A file included from two roots
// belongs to both projects. The known files are the definition files under
// the workspace folder and the open documents.
//
// A project keeps the model of its last successful run; requests read it,
// and only a change runs the project again.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "diagnostic.hpp"
#include "lsp_index.hpp"
#include "lsp_text.hpp"
#include "schema_model.hpp"

struct lsp_document_t {
    std::string uri;
    lsp_text_t text;
    long long version = 0;
    std::shared_ptr<const lsp_file_index_t> index;  // null: to be made from the text
};

struct lsp_disk_index_t {
    time_t mtime = 0;
    long mtime_ns = 0;
    off_t size = -1;
    lsp_text_t text;
    std::shared_ptr<const lsp_file_index_t> index;
};

struct lsp_project_t {
    std::string workspace;                                          // folder, or empty
    std::map<std::string, lsp_document_t> documents;                // by key: normal path, or the URI of an unsaved one
    std::map<std::string, lsp_disk_index_t> disk;                   // indexes of files on disk
    std::map<std::string, std::vector<std::string>> includes;       // known include edges, by includer
    std::map<std::string, std::shared_ptr<const schema_t>> models;  // last good model, by root
    std::map<std::string, std::set<std::string>> read;              // files the last run read, by root
};

// What one compile-and-run of a project found.
struct lsp_run_t {
    bool compiled = false;  // the compile phase succeeded
    bool succeeded = false;
    std::vector<diagnostic_t> diagnostics;  // as the compiler reported them
    std::vector<std::string> files;         // every file read, definitions and initializers
    std::string last_initializer;           // the initializer file read last, if any
    std::shared_ptr<const schema_t> model;  // after a successful run
};

// Compiles and runs the project of `root`, keeping its model when it succeeds.
lsp_run_t lsp_project_run(lsp_project_t* project, const std::string& root);

// Learns the include edges of the definition files under the workspace
// folder, reading each once without keeping its text.
void lsp_project_scan_workspace(lsp_project_t* project);
// Learns the include edges of one file, or forgets the file when it is gone.
void lsp_project_rescan(lsp_project_t* project, const std::string& path);

// The roots of every project `path` belongs to, sorted: those of the files
// that include it and those whose last run read it; `path` itself when
// nothing includes it and no run read it but its own.
std::vector<std::string> lsp_project_roots(const lsp_project_t& project, const std::string& path);
// True when the last run of some project read `path`.
bool lsp_project_is_read(const lsp_project_t& project, const std::string& path);
// The root and every file it includes, transitively, that can be read.
std::vector<std::string> lsp_project_files(lsp_project_t* project, const std::string& root);

// The index of a file: its open document, or the file on disk; null when
// neither can be read.
std::shared_ptr<const lsp_file_index_t> lsp_project_index(lsp_project_t* project, const std::string& path);
// The text of a file: an open document's as it is (its index is made only
// when asked for), a file on disk's as its index was made of; null when it
// has none.
const lsp_text_t* lsp_project_text(lsp_project_t* project, const std::string& path);

// Reads a regular file of at most `limit` bytes; false otherwise.
bool lsp_read_file(const std::string& path, std::string* text, int* error);
