// The findings as a SARIF 2.1.0 log: one run of tabula-lint with every rule
// and its descriptions, and one result per finding located at its file and
// line.
#pragma once

#include <string>
#include <vector>

#include "lint.hpp"

std::string lint_sarif(const std::vector<lint_finding_t>& findings, const std::string& version);

// The file URI of an absolute path, its bytes outside the unreserved set
// and "/" percent-encoded.
std::string lint_file_uri(const std::string& path);
