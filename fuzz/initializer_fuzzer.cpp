// Fuzz target: initializer file contents, read through the
// read_table_initializer built-in (scanner, parser and file handling).
// Properties of an accepted file:
//   - the result is a list of rows, each a list of strings and nulls;
//   - writing the rows out again in the initializer syntax and reading that
//     back gives the same rows (nothing is lost, merged or invented).
// A rejected file must end in the bail-out, never in an exit or a crash.
#include <cstdint>
#include <string>

#include "builtin.hpp"
#include "exception.hpp"
#include "fuzz_support.hpp"
#include "memory_pool.hpp"

namespace {

const sql_value_t* item(hash_iterator_t it) { return static_cast<const sql_value_t*>(hash_item_data(it)); }

// Reads the rows file at `path`; false when it was rejected.
bool read_rows(const std::string& path, sql_value_t* rows) {
    hash_table_t args;
    _hash_init(&args, HASH_CHAINS, value_dtor);
    sql_value_t name;
    value_init_string_copy(&name, path.c_str());
    _hash_push_integer(&args, &name, sizeof name, nullptr);
    bool accepted = true;
    try {
        handler_read_table_initializer(rows, &args);
    } catch (const bailout_exception&) {
        accepted = false;
    }
    hash_shutdown(&args);
    if (table_init_data != nullptr) fuzz_fail("table_init_data left set after a read");
    return accepted;
}

void check_shape(const sql_value_t* rows) {
    if (rows->type != VALUE_ARRAY) fuzz_fail("rows are not a list");
    for (hash_iterator_t row = rows->hash->first_in_list; row != nullptr; row = row->next_in_list) {
        if (item(row)->type != VALUE_ARRAY) fuzz_fail("a row is not a list");
        for (hash_iterator_t value = item(row)->hash->first_in_list; value != nullptr; value = value->next_in_list) {
            if (item(value)->type != VALUE_NULL && item(value)->type != VALUE_STRING) {
                fuzz_fail("a row holds a value that is neither a string nor null");
            }
        }
    }
}

// The rows in the initializer syntax: quotes and backslashes escaped, every
// other byte (line ends included) written as it is inside the quotes.
std::string write_rows(const sql_value_t* rows) {
    std::string text;
    for (hash_iterator_t row = rows->hash->first_in_list; row != nullptr; row = row->next_in_list) {
        for (hash_iterator_t value = item(row)->hash->first_in_list; value != nullptr; value = value->next_in_list) {
            if (value != item(row)->hash->first_in_list) text += ',';
            if (item(value)->type == VALUE_NULL) {
                text += "null";
                continue;
            }
            text += '"';
            for (const char* c = item(value)->string; *c != '\0'; ++c) {
                if (*c == '"' || *c == '\\') text += '\\';
                text += *c;
            }
            text += '"';
        }
        text += '\n';
    }
    return text;
}

bool same_rows(const sql_value_t* a, const sql_value_t* b) {
    if (hash_count(a->hash) != hash_count(b->hash)) return false;
    for (hash_iterator_t x = a->hash->first_in_list, y = b->hash->first_in_list; x != nullptr;
         x = x->next_in_list, y = y->next_in_list) {
        if (hash_count(item(x)->hash) != hash_count(item(y)->hash)) return false;
        for (hash_iterator_t u = item(x)->hash->first_in_list, v = item(y)->hash->first_in_list; u != nullptr;
             u = u->next_in_list, v = v->next_in_list) {
            if (item(u)->type != item(v)->type) return false;
            if (item(u)->type == VALUE_STRING && std::string(item(u)->string) != item(v)->string) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_path("rows.init");
    fuzz_write_file(path, data, size);

    sql_value_t rows;
    if (read_rows(path, &rows)) {
        check_shape(&rows);
        const std::string again = write_rows(&rows);
        const std::string again_path = fuzz_path("again.init");
        fuzz_write_file(again_path, reinterpret_cast<const uint8_t*>(again.data()), again.size());
        sql_value_t reread;
        if (!read_rows(again_path, &reread)) fuzz_fail("the rows written out again were rejected");
        if (!same_rows(&rows, &reread)) fuzz_fail("the rows written out again read back differently");
        value_shutdown(&reread);
        value_shutdown(&rows);
        if (memory_pool_block_count() != 0)
            fuzz_fail("%zu pool blocks left after the rows were released", memory_pool_block_count());
    }
    fuzz_release_run();
    return 0;
}
