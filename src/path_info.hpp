// Splitting paths into drive, absolute flag and components, and joining them.
//
// Two rule sets live here. The drive-letter rules ("/" and "\" read, "\"
// written, a resolved path always carries a drive letter) are kept exactly
// for paths of that form. The native rules are the ones the compiler uses on
// this platform: absolute means a leading "/", "/" is written, no drive.
#pragma once

#include <climits>
#include <cstddef>

#include "hash.hpp"

constexpr size_t PATH_COMPONENT_MAX = 259;
constexpr size_t PATH_DRIVE_BUFFER_SIZE = 260;
constexpr size_t PATH_NATIVE_BUFFER_SIZE = PATH_MAX;

struct path_info_t {
    char drive;          // lower-case drive letter, or 0
    unsigned absolute;   // 1 when the path starts with a separator
    hash_table_t parts;  // components under 0, 1, 2, ... as texts
};

void path_info_init(path_info_t* info);
void path_info_shutdown(path_info_t* info);

// Drive-letter rules.
int path_info_split(path_info_t* info, const char* path);
int path_info_join(char* buffer, size_t size, const path_info_t* info);
int path_info_dir(char* buffer, size_t size, const char* path);
int path_info_prefix(char* buffer, size_t size, const char* prefix, const char* path);

// Native rules. Names written inside definition files also accept "\" as a
// separator; names from the command line and the system split on "/" only.
enum path_separators_t { PATH_SLASH_ONLY = 0, PATH_SLASH_OR_BACKSLASH = 1 };

int path_native_split(path_info_t* info, const char* path, path_separators_t separators);
int path_native_dir(char* buffer, size_t size, const char* path);
// `prefix` is a system path (split on "/" only) and must be absolute.
int path_native_prefix(char* buffer, size_t size, const char* prefix, const char* path,
                       path_separators_t path_separators);
