// Shared pieces of the fuzz targets: a private scratch folder for the files a
// run reads, quiet standard error, guarded file opening, and the failure
// report that turns a broken property into a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Creates the scratch folder once and silences the compiler's own messages
// (set TABULA_FUZZ_VERBOSE=1 to see them when replaying a finding).
void fuzz_setup();

// Path of `name` inside the scratch folder.
std::string fuzz_path(const char* name);

// Replaces the file `path` with exactly `size` bytes of `data`.
void fuzz_write_file(const std::string& path, const uint8_t* data, size_t size);

// Releases everything one run left behind, so runs never see each other.
void fuzz_release_run();

// Reports a broken property on the real standard error and aborts, which the
// fuzzer records as a crash together with the input.
[[noreturn]] void fuzz_fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
