// Writing an output file whole or not at all.
//
// A caller opens a replacement for the file it wants to write, writes the
// new text into it in as many pieces as it likes, then commits it, which
// puts the new text in place of the old in one step; or it abandons it,
// which leaves the old file as it was. Every operation reports failure as an
// error number (0 for success) and prints nothing: the callers have messages
// of their own.
//
// How the text reaches the file depends on what the name leads to:
// - a regular file, or no file yet: a new file in the same folder, renamed
//   over the name at commit (the name's symbolic links are followed, so the
//   file they lead to is the one replaced and the links stay); the new file
//   takes over the old one's owner, group, permissions and extended
//   attributes (access control lists among them);
// - a regular file that cannot be replaced so: in a folder that cannot take
//   a new file or rename over the old one (read-only, sticky, append-only,
//   a file mounted over its name), with a second hard link, or with an owner,
//   group or attribute the new file could not take over: the file itself,
//   written at commit under an exclusive lock (flock) from the start of the
//   full text and then cut to its length;
// - no file yet in an append-only folder: the name itself, created at open
//   and written at commit as above;
// - an open descriptor of the process named as /dev/stdout, /dev/stderr,
//   /dev/fd/N or /proc/self/fd/N: that descriptor, written at commit as it
//   is (at its offset, appending when it appends), never truncated;
// - anything else (a device, a FIFO): the name itself, written at commit.
// In all but the first case the text is held in memory until commit, so that
// nothing reaches the output before the whole text is known. A closed pipe
// is a write error (EPIPE), never the end of the process.
#pragma once

#include <sys/types.h>
#include <unistd.h>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <exception>

enum output_file_mode_t {
    OUTPUT_FILE_CLOSED,
    OUTPUT_FILE_REPLACE,    // a new file, renamed over the output at commit
    OUTPUT_FILE_IN_PLACE,   // the output itself, a regular file, rewritten at commit
    OUTPUT_FILE_DIRECT,     // not a regular file: written at commit
    OUTPUT_FILE_INHERITED,  // an open descriptor of the process: written at commit, never truncated
};

struct output_chunk_t;

struct output_file_t {
    output_file_mode_t mode = OUTPUT_FILE_CLOSED;
    int descriptor = -1;       // the new file, or the output itself
    int folder = -1;           // the output's folder (replace only)
    int error = 0;             // first write error, kept until commit
    bool anonymous = false;    // the new file has no name yet
    bool keeps_owner = false;  // the new file has taken over an existing file's owner; its mode follows
    mode_t permissions = 0;
    char name[NAME_MAX + 1] = {};       // the output's name in its folder
    char temporary[NAME_MAX + 1] = {};  // the new file's name until the rename
    output_chunk_t* first = nullptr;    // the text held for IN_PLACE and DIRECT
    output_chunk_t* last = nullptr;
    FILE* stream = nullptr;
    // The fatal error raised when memory for the held text ran out: kept
    // (no exception may cross the C library's stream functions) and thrown
    // again by commit, after the replacement is given up.
    std::exception_ptr failure;
    // Every write of the text goes through this call; tests replace it to
    // make writes short or interrupted.
    ssize_t (*write_call)(int descriptor, const void* data, size_t size) = ::write;
    // Tests clear it to take the named temporary file of file systems that
    // have no anonymous files.
    bool try_anonymous = true;
};

// 0, or the error number that kept the file from being opened.
int output_file_open(output_file_t* file, const char* filename);
// Appends `size` bytes; 0, or the first error number met so far.
int output_file_write(output_file_t* file, const void* data, size_t size);
// A stream that writes through output_file_write, closed by commit or
// abandon; null when no stream could be made.
FILE* output_file_stream(output_file_t* file);
// Puts the written text in place; 0, or the error number of the first failed
// step, in which case the earlier file is left as it was (a file rewritten in
// place is left empty instead). A fatal error kept from a write is thrown
// again here, the earlier file left as it was.
int output_file_commit(output_file_t* file);
// Gives the replacement up; the earlier file is left as it was.
void output_file_abandon(output_file_t* file);
