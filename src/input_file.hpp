// Opening the files a run reads (definition files and initializer files) and
// remembering each, so that no tool writes its output over one of them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <cstdio>

// Opens the input file named on the command line for reading and remembers
// its identity. It may be a pipe or a device; a directory opens but cannot
// be read, so it fails with EISDIR. Returns null with *error set to the
// error number on failure.
FILE* input_file_open(const char* pathname, struct stat* status, int* error);

// The *error of input_file_open_named for a file that is not a regular file.
constexpr int INPUT_NOT_REGULAR = -1;

// Opens a file named inside a definition file (an include or an initializer
// file) like input_file_open, but refuses at once, without blocking,
// anything but a regular file: EISDIR for a directory, INPUT_NOT_REGULAR
// for a FIFO, a device or a socket.
FILE* input_file_open_named(const char* pathname, struct stat* status, int* error);

// When set, both openers ask this hook instead of the file system, with the
// same contract: a stream whose descriptor reads the whole text, the file's
// identity in *status, or null and *error. A long-running tool uses it to put
// unsaved text in place of files on disk; the compiler never sets it.
using input_file_hook_t = FILE* (*)(const char* pathname, struct stat* status, int* error);
extern input_file_hook_t input_file_open_hook;

// Device and inode of every file the run has read (definitions and
// initializer files), so the driver can refuse to overwrite one of them.
void input_file_remember(dev_t device, ino_t inode);
bool input_file_was_read(dev_t device, ino_t inode);
// True when `filename` names a regular file the run has read: a tool that
// wrote its output there would destroy the user's source.
bool input_file_names_read(const char* filename);
void input_file_forget_all();
