// Fuzz target: query bodies, split by the dump_query built-in (and with it
// the query scanner). Every body is accepted; the properties are that the
// split loses nothing and invents nothing:
//   - text pieces are never empty and never follow each other;
//   - the kept texts, parameter and raw markers and field type names, in
//     order, spell the body again (field markers sit anywhere inside the
//     text, which stays one piece around them);
//   - marker numbers are the decimal digits written, saturated at INT32_MAX.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "builtin.hpp"
#include "exception.hpp"
#include "execute.hpp"
#include "fuzz_support.hpp"

namespace {

const sql_value_t* item(hash_iterator_t it) { return static_cast<const sql_value_t*>(hash_item_data(it)); }

struct body_reader_t {
    std::string_view body;
    size_t at = 0;
    std::vector<std::string_view> fields;
    size_t next_field = 0;

    // Consumes the field markers that stand at the current position.
    void skip_fields() {
        while (next_field < fields.size()) {
            const std::string marker = "{FIELD:" + std::string(fields[next_field]) + "}";
            if (!body.substr(at).starts_with(marker)) return;
            at += marker.size();
            ++next_field;
        }
    }

    void text(std::string_view piece) {
        for (char c : piece) {
            skip_fields();
            if (at >= body.size() || body[at] != c) {
                fuzz_fail("text piece \"%.*s\" is not the body at offset %zu", static_cast<int>(piece.size()),
                          piece.data(), at);
            }
            ++at;
        }
        skip_fields();
    }

    void marker(const char* word, int32_t number) {
        skip_fields();
        const std::string_view rest = body.substr(at);
        if (!rest.starts_with(word)) fuzz_fail("marker %s%d} is not the body at offset %zu", word, number, at);
        size_t end = std::strlen(word);
        int64_t written = 0;
        while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') {
            written = std::min<int64_t>(written * 10 + (rest[end] - '0'), INT32_MAX);
            ++end;
        }
        if (end == std::strlen(word) || end >= rest.size() || rest[end] != '}' || written != number) {
            fuzz_fail("marker %s%d} does not match the body at offset %zu", word, number, at);
        }
        at += end + 1;
        skip_fields();
    }
};

void check_query(std::string_view body, const sql_value_t* record) {
    const sql_value_t* pieces = value_slot(record, 1);
    const sql_value_t* fields = value_slot(record, 2);
    if (pieces == nullptr || pieces->type != VALUE_ARRAY || fields == nullptr || fields->type != VALUE_ARRAY) {
        fuzz_fail("query record has no pieces or fields list");
    }

    body_reader_t reader;
    reader.body = body;
    for (hash_iterator_t it = fields->hash->first_in_list; it != nullptr; it = it->next_in_list) {
        if (item(it)->type != VALUE_STRING) fuzz_fail("field type name is not a string");
        const std::string_view name = item(it)->string;
        if (name.empty() || name.find('}') != std::string_view::npos)
            fuzz_fail("bad field type name \"%s\"", item(it)->string);
        reader.fields.push_back(name);
    }

    bool previous_was_text = false;
    for (hash_iterator_t it = pieces->hash->first_in_list; it != nullptr; it = it->next_in_list) {
        const sql_value_t* piece = item(it);
        const sql_value_t* type = value_slot(piece, 0);
        const sql_value_t* value = value_slot(piece, 1);
        if (type == nullptr || value == nullptr || type->type != VALUE_INTEGER) fuzz_fail("malformed query piece");
        switch (type->integer) {
        case 1:
            if (value->type != VALUE_STRING || value->string[0] == '\0') fuzz_fail("empty text piece");
            if (previous_was_text) fuzz_fail("two text pieces in a row");
            reader.text(value->string);
            previous_was_text = true;
            break;
        case 2:
        case 3:
            if (value->type != VALUE_INTEGER || value->integer < 0) fuzz_fail("marker piece without a number");
            reader.marker(type->integer == 2 ? "{ESC:" : "{RAW:", value->integer);
            previous_was_text = false;
            break;
        default: fuzz_fail("unknown query piece type %d", type->integer);
        }
    }
    reader.skip_fields();
    if (reader.at != body.size()) fuzz_fail("the pieces stop at offset %zu of %zu", reader.at, body.size());
    if (reader.next_field != reader.fields.size()) fuzz_fail("field type names out of order");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A body is a string value, which ends at its first NUL byte.
    const std::string body(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));

    program_output_t output;
    for (sql_value_t* collection :
         {&output.plsql, &output.queries, &output.sequences, &output.tables, &output.types, &output.views}) {
        value_init_array(collection);
    }
    executor_globals.output = &output;

    hash_table_t args;
    _hash_init(&args, HASH_CHAINS, value_dtor);
    for (const char* text : {"q", body.c_str()}) {
        sql_value_t value;
        value_init_string_copy(&value, text);
        _hash_push_integer(&args, &value, sizeof value, nullptr);
    }
    sql_value_t result;
    try {
        handler_dump_query(&result, &args);
    } catch (const bailout_exception&) {
        fuzz_fail("a fresh query name was refused");
    }
    const auto* record = static_cast<const sql_value_t*>(hash_find_string(output.queries.hash, "q"));
    if (record == nullptr) fuzz_fail("the query was not recorded");
    check_query(body, record);

    executor_globals.output = nullptr;
    fuzz_release_run();
    return 0;
}
