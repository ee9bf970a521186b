// Splitting paths into drive, absolute flag and components, and joining them
// back, under the drive-letter rules and under the native rules.
#include "path_info.hpp"

#include <cstring>
#include <string_view>

namespace {

struct path_syntax_t {
    bool drive_letters;  // read and write a leading "x:" drive
    bool backslash;      // "\" separates components too
    char written;        // separator written by a join
};

constexpr path_syntax_t DRIVE_SYNTAX{true, true, '\\'};

constexpr path_syntax_t native_syntax(path_separators_t separators) {
    return path_syntax_t{false, separators == PATH_SLASH_OR_BACKSLASH, '/'};
}

bool path_is_separator(char c, const path_syntax_t& syntax) { return c == '/' || (syntax.backslash && c == '\\'); }

bool path_is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char path_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

size_t path_skip_separators(std::string_view path, size_t at, const path_syntax_t& syntax) {
    while (at < path.size() && path_is_separator(path[at], syntax)) {
        ++at;
    }
    return at;
}

void path_push_part(path_info_t* info, std::string_view part) {
    char text[PATH_COMPONENT_MAX + 1];
    std::memcpy(text, part.data(), part.size());
    text[part.size()] = '\0';
    _hash_push_integer(&info->parts, text, part.size() + 1, nullptr);
}

// Fills an initialised `info` from `path`: an optional drive, the absolute
// flag, then the components between runs of separators.
int path_split(path_info_t* info, std::string_view path, const path_syntax_t& syntax) {
    size_t at = 0;
    if (syntax.drive_letters && path.size() >= 2 && path_is_letter(path[0]) && path[1] == ':') {
        info->drive = path_lower(path[0]);
        at = 2;
    }
    if (at < path.size() && path_is_separator(path[at], syntax)) {
        info->absolute = 1;
        at = path_skip_separators(path, at, syntax);
    }
    while (at < path.size()) {
        size_t end = at;
        while (end < path.size() && !path_is_separator(path[end], syntax)) {
            ++end;
        }
        if (end - at > PATH_COMPONENT_MAX) {
            return -1;
        }
        path_push_part(info, path.substr(at, end - at));
        at = path_skip_separators(path, end, syntax);
    }
    return 0;
}

int path_split_checked(path_info_t* info, const char* path, const path_syntax_t& syntax) {
    path_info_init(info);
    if (path_split(info, path, syntax) != 0) {
        path_info_shutdown(info);
        return -1;
    }
    return 0;
}

// Output cursor over a caller's buffer; every write checks the room left.
struct path_writer_t {
    char* buffer;
    size_t size;
    size_t used;
};

bool path_write(path_writer_t* out, std::string_view text) {
    if (text.size() > out->size - out->used) {
        return false;
    }
    std::memcpy(out->buffer + out->used, text.data(), text.size());
    out->used += text.size();
    return true;
}

bool path_write_parts(path_writer_t* out, const hash_table_t* parts, char separator) {
    for (hash_iterator_t item = parts->first_in_list; item != nullptr; item = item->next_in_list) {
        auto* text = static_cast<const char*>(hash_item_data(item));
        if (!path_write(out, std::string_view(text, item->data_size - 1))) {
            return false;
        }
        if (item->next_in_list != nullptr && !path_write(out, std::string_view(&separator, 1))) {
            return false;
        }
    }
    return true;
}

// Writes drive, root separator and components, then the terminating NUL.
int path_join(char* buffer, size_t size, const path_info_t* info, const path_syntax_t& syntax) {
    path_writer_t out{buffer, size, 0};
    if (syntax.drive_letters && info->drive != 0) {
        const char drive[2] = {info->drive, ':'};
        if (!path_write(&out, std::string_view(drive, 2))) {
            return -1;
        }
    }
    if (info->absolute && !path_write(&out, std::string_view(&syntax.written, 1))) {
        return -1;
    }
    if (!path_write_parts(&out, &info->parts, syntax.written)) {
        return -1;
    }
    return path_write(&out, std::string_view("", 1)) ? 0 : -1;
}

void path_copy_parts(path_info_t* dest, const path_info_t* src, size_t count) {
    hash_iterator_t item = src->parts.first_in_list;
    for (size_t i = 0; i < count && item != nullptr; ++i, item = item->next_in_list) {
        _hash_push_integer(&dest->parts, hash_item_data(item), item->data_size, nullptr);
    }
}

// Joins the description of `path` less its last component.
int path_dir(char* buffer, size_t size, const char* path, const path_syntax_t& syntax) {
    path_info_t full;
    if (path_split_checked(&full, path, syntax) != 0) {
        return -1;
    }
    path_info_t dir;
    path_info_init(&dir);
    dir.drive = full.drive;
    dir.absolute = full.absolute;
    size_t count = hash_count(&full.parts);
    path_copy_parts(&dir, &full, count > 0 ? count - 1 : 0);
    int result = path_join(buffer, size, &dir, syntax);
    path_info_shutdown(&dir);
    path_info_shutdown(&full);
    return result;
}

// The absolute result of `path` against the absolute directory `prefix`:
// an absolute path keeps only its own components.
int path_resolve(char* buffer, size_t size, const path_info_t* prefix, const path_info_t* path,
                 const path_syntax_t& syntax) {
    path_info_t result;
    path_info_init(&result);
    result.drive = path->drive != 0 ? path->drive : prefix->drive;
    result.absolute = 1;
    if (!path->absolute) {
        path_copy_parts(&result, prefix, hash_count(&prefix->parts));
    }
    path_copy_parts(&result, path, hash_count(&path->parts));
    int status = path_join(buffer, size, &result, syntax);
    path_info_shutdown(&result);
    return status;
}

}  // namespace

void path_info_init(path_info_t* info) {
    info->drive = 0;
    info->absolute = 0;
    _hash_init(&info->parts, HASH_CHAINS, nullptr);
}

void path_info_shutdown(path_info_t* info) { hash_shutdown(&info->parts); }

int path_info_split(path_info_t* info, const char* path) { return path_split_checked(info, path, DRIVE_SYNTAX); }

int path_info_join(char* buffer, size_t size, const path_info_t* info) {
    return path_join(buffer, size, info, DRIVE_SYNTAX);
}

int path_info_dir(char* buffer, size_t size, const char* path) { return path_dir(buffer, size, path, DRIVE_SYNTAX); }

int path_info_prefix(char* buffer, size_t size, const char* prefix, const char* path) {
    path_info_t prefix_info;
    path_info_t path_info;
    if (path_info_split(&prefix_info, prefix) != 0) {
        return -1;
    }
    if (path_info_split(&path_info, path) != 0) {
        path_info_shutdown(&prefix_info);
        return -1;
    }
    int result = -1;
    if (prefix_info.drive != 0 && prefix_info.absolute) {
        result = path_resolve(buffer, size, &prefix_info, &path_info, DRIVE_SYNTAX);
    }
    path_info_shutdown(&path_info);
    path_info_shutdown(&prefix_info);
    return result;
}

int path_native_split(path_info_t* info, const char* path, path_separators_t separators) {
    return path_split_checked(info, path, native_syntax(separators));
}

int path_native_dir(char* buffer, size_t size, const char* path) {
    return path_dir(buffer, size, path, native_syntax(PATH_SLASH_ONLY));
}

int path_native_prefix(char* buffer, size_t size, const char* prefix, const char* path,
                       path_separators_t path_separators) {
    path_info_t prefix_info;
    path_info_t path_info;
    if (path_native_split(&prefix_info, prefix, PATH_SLASH_ONLY) != 0) {
        return -1;
    }
    if (path_native_split(&path_info, path, path_separators) != 0) {
        path_info_shutdown(&prefix_info);
        return -1;
    }
    int result = -1;
    if (prefix_info.absolute) {
        result = path_resolve(buffer, size, &prefix_info, &path_info, native_syntax(PATH_SLASH_ONLY));
    }
    path_info_shutdown(&path_info);
    path_info_shutdown(&prefix_info);
    return result;
}
