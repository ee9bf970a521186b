// Writing an output file whole or not at all.
//
// A caller opens a replacement for the file it wants to write, writes the
// new text into it in as many pieces as it likes, then commits it, which
// puts the new text in place of the old in one step; or it abandons it,
// which leaves the old file as it was. Every operation reports failure as an
// error number (0 for success) and prints nothing: the callers have messages
// of their own.
#pragma once

#include <cstddef>

struct output_file_t {
    int descriptor = -1;
    int error = 0;  // first write error, kept until commit
};

// 0, or the error number that kept the file from being opened.
int output_file_open(output_file_t* file, const char* filename);
// Appends `size` bytes; 0, or the first error number met so far.
int output_file_write(output_file_t* file, const void* data, size_t size);
// Puts the written text in place; 0, or the error number of the first failed
// step, in which case the earlier file is left as it was.
int output_file_commit(output_file_t* file);
// Gives the replacement up; the earlier file is left as it was.
void output_file_abandon(output_file_t* file);
