#include "sql_value.hpp"

#include <cassert>

#include "exception.hpp"
#include "memory_pool.hpp"
#include "utils.hpp"

void value_init_null(sql_value_t* value) { value->type = VALUE_NULL; }

void value_init_integer(sql_value_t* value, int32_t integer) {
    value->type = VALUE_INTEGER;
    value->integer = integer;
}

void value_init_string_attach(sql_value_t* value, char* string) {
    value->type = VALUE_STRING;
    value->string = string;
}

void value_init_string_clen(sql_value_t* value, const char* string, size_t len) {
    value_init_string_attach(value, copy_strlen(string, len));
}

void value_init_string_copy(sql_value_t* value, const char* string) {
    value_init_string_attach(value, copy_string(string));
}

void value_init_array(sql_value_t* value) {
    value->type = VALUE_ARRAY;
    value->hash = hash_create(HASH_CHAINS, value_dtor, 0);
}

void value_init_list(sql_value_t* value, size_t count) {
    value->type = VALUE_ARRAY;
    value->hash = hash_create(HASH_CHAINS, value_dtor, hash_list_bytes(count, sizeof(sql_value_t)));
}

void value_push(sql_value_t* array, sql_value_t* value) {
    if (array->type != VALUE_ARRAY) fatal_error("Assertion failed: array->type == VALUE_ARRAY");
    _hash_push_integer(array->hash, value, sizeof *value, nullptr);
}

void value_shutdown(sql_value_t* value) {
    switch (value->type) {
    case VALUE_NULL:
    case VALUE_INTEGER: return;
    case VALUE_STRING: memory_pool_free(value->string); return;
    case VALUE_ARRAY:
        hash_shutdown(value->hash);
        memory_pool_free(value->hash);
        return;
    }
    fatal_error("Attempt to shutdown value at %p of unknown type %d", static_cast<void*>(value),
                static_cast<int>(value->type));
}

void value_dtor(void* value) { value_shutdown(static_cast<sql_value_t*>(value)); }

namespace {

// Copies every element under the same key, so the copy keeps keys and order.
void copy_array_elements(sql_value_t* dest, const sql_value_t* src) {
    for (hash_iterator_t it = src->hash->first_in_list; it != nullptr; it = it->next_in_list) {
        sql_value_t element;
        value_deep_copy(&element, static_cast<const sql_value_t*>(hash_item_data(it)));
        if (it->key_is_integer) {
            _hash_add_integer(dest->hash, hash_item_key_integer(it), &element, sizeof element, nullptr);
        } else {
            _hash_add_string(dest->hash, hash_item_key(it), &element, sizeof element, nullptr);
        }
    }
}

}  // namespace

void value_deep_copy(sql_value_t* dest, const sql_value_t* src) {
    switch (src->type) {
    case VALUE_NULL: value_init_null(dest); return;
    case VALUE_INTEGER: value_init_integer(dest, src->integer); return;
    case VALUE_STRING: value_init_string_copy(dest, src->string); return;
    case VALUE_ARRAY:
        // The copy's items fit, exactly, in the same block as its table.
        dest->type = VALUE_ARRAY;
        dest->hash = hash_create(HASH_CHAINS, value_dtor, hash_item_bytes(src->hash));
        copy_array_elements(dest, src);
        return;
    }
    fatal_error("Attempt to copy value at %p of unknown type %d", static_cast<const void*>(src),
                static_cast<int>(src->type));
}

sql_value_t* value_slot(const sql_value_t* array, int32_t index) {
    if (array->type != VALUE_ARRAY) return nullptr;
    return static_cast<sql_value_t*>(hash_find_integer(array->hash, index));
}

void value_slots(const sql_value_t* array, sql_value_t** slots, int32_t count) {
    for (int32_t index = 0; index < count; ++index) slots[index] = nullptr;
    if (array->type != VALUE_ARRAY) return;
    int32_t found = 0;
    for (hash_iterator_t it = array->hash->first_in_list; it != nullptr && found < count; it = it->next_in_list) {
        if (!it->key_is_integer) continue;
        const int32_t key = hash_item_key_integer(it);
        if (key >= 0 && key < count) {
            slots[key] = static_cast<sql_value_t*>(hash_item_data(it));
            ++found;
        }
    }
}
