// The files the server knows (open documents over files on disk), which file
// is the root of a project, and one run of the compiler over a project.
//
// Root-file rule: a file's project is compiled from the file itself, unless
// another known file includes it; then from that file, and so on upwards. The
// known files are the definition files under the workspace folder and the open
// documents. A file included from two places takes the includer whose path
// sorts first.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "lsp_index.hpp"
#include "lsp_text.hpp"

struct compiled_program_t;
struct program_output_t;

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
    std::string workspace;                                     // folder, or empty
    std::map<std::string, lsp_document_t> documents;           // by normal path
    std::map<std::string, lsp_disk_index_t> disk;              // indexes of files on disk
    std::map<std::string, std::vector<std::string>> includes;  // known include edges, by includer
};

// What one compile-and-run of a project found.
struct lsp_run_t {
    bool compiled = false;  // the compile phase succeeded
    bool succeeded = false;
    std::string message;             // the compiler's message, without the location
    std::string path;                // where the message lands (normal path), or empty
    unsigned line = 0;               // 1-based; 0: no line
    std::vector<std::string> files;  // every file read, definitions and initializers
    std::string last_initializer;    // the initializer file read last, if any
};

// Called after a successful run, while its program and output still exist.
using lsp_inspect_t = std::function<void(const compiled_program_t&, const program_output_t&)>;

lsp_run_t lsp_project_run(lsp_project_t* project, const std::string& root, const lsp_inspect_t& inspect = {});

// Finds the definition files under the workspace folder and their includes.
void lsp_project_scan_workspace(lsp_project_t* project);

std::string lsp_project_root(const lsp_project_t& project, const std::string& path);
// The root and every file it includes, transitively, that can be read.
std::vector<std::string> lsp_project_files(lsp_project_t* project, const std::string& root);

// The index of a file: its open document, or the file on disk; null when
// neither can be read.
std::shared_ptr<const lsp_file_index_t> lsp_project_index(lsp_project_t* project, const std::string& path);
// The text the index of a file was made of; null when it has none.
const lsp_text_t* lsp_project_text(lsp_project_t* project, const std::string& path);

// Reads a regular file of at most `limit` bytes; false otherwise.
bool lsp_read_file(const std::string& path, std::string* text, int* error);
