// The tables of a schema as a diagram: a Mermaid erDiagram or a Graphviz
// digraph.
#pragma once

#include <string>

#include "builtin.hpp"

// Both take the fixed-up `output` and always succeed: any name or type is
// mapped to text the renderer accepts (docs/language.md lists the mappings).
void export_mermaid(const program_output_t* output, std::string* text);
void export_dot(const program_output_t* output, std::string* text);
