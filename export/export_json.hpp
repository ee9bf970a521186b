// The schema as one JSON document (docs/tabula-schema.json describes it).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "schema_model.hpp"

// A text in pieces, to be written one after the other: a large text grown in
// one string would be copied again and again as it grows. The JSON writer's
// pieces are blocks of the memory pool, released with it.
using export_chunks_t = std::vector<std::string_view>;

// Renders `model` as JSON into *chunks. Returns 0, or -1 after reporting
// through the current diagnostic sink, as an error at the object's
// declaration, why an object cannot be written: a text that is not UTF-8,
// which JSON cannot carry.
int export_json(const schema_t& model, export_chunks_t* chunks);
