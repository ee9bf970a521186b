// The tables of a schema as a diagram: a Mermaid erDiagram or a Graphviz
// digraph.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "schema_model.hpp"

// Both always succeed: any name or type is mapped to text the renderer
// accepts (docs/language.md lists the mappings).
void export_mermaid(const schema_t& schema, std::string* text);
void export_dot(const schema_t& schema, std::string* text);

// Mermaid draws an error message instead of any diagram longer than this,
// counted in UTF-16 code units, and a diagram cannot raise the limit itself:
// it is one of the settings Mermaid keeps from the diagram's configuration.
constexpr size_t EXPORT_MERMAID_MAX_LENGTH = 50000;

// The length of a Mermaid diagram as Mermaid counts it.
size_t export_mermaid_length(std::string_view text);
