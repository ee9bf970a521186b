// The shared argument checker and `array`.
#include "native_handler.hpp"

#include "exception.hpp"

void fetch_native_args(hash_table_t* args, const native_fetch_t* fetch) {
    hash_iterator_t item = args->first_in_list;
    unsigned position = 0;

    // Only the first problem in argument order is reported.
    for (; fetch[position].dest != nullptr; ++position) {
        if (item == nullptr) {
            execute_bailout("Missing argument %u", position + 1);
        }
        auto* value = static_cast<sql_value_t*>(hash_item_data(item));
        if (fetch[position].value_type != -1 && fetch[position].value_type != value->type) {
            execute_bailout("Bad type of argument %u", position + 1);
        }
        *fetch[position].dest = value;
        item = item->next_in_list;
    }
    if (item != nullptr) {
        execute_bailout("Superfluous argument %u", position + 1);
    }
}

void handler_array(sql_value_t* result, hash_table_t* args) {
    value_init_list(result, hash_count(args));
    // The arguments are released after the call, so their values move.
    for (hash_iterator_t item = args->first_in_list; item != nullptr; item = item->next_in_list) {
        auto* value = static_cast<sql_value_t*>(hash_item_data(item));
        value_push(result, value);
        value_init_null(value);
    }
}
