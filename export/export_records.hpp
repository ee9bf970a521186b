// Reading the records of the program output (the layouts the built-ins give
// them after the fix-up), shared by the export formats.
#pragma once

#include "builtin.hpp"

inline const sql_value_t* export_slot(const sql_value_t* record, int32_t index) { return value_slot(record, index); }

inline const sql_value_t* export_item_value(hash_iterator_t item) {
    return static_cast<const sql_value_t*>(hash_item_data(item));
}

// Calls `visit` with each value of the array value `array`, in order.
template <typename Visit>
void export_for_each(const sql_value_t* array, Visit visit) {
    for (hash_iterator_t item = array->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        visit(export_item_value(item));
    }
}
