// Values built and shown in one line, and the statement a run-time bail-out names.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <regex>
#include <string>

#include "exception.hpp"
#include "execute.hpp"

inline sql_value_t text(const char* s) {
    sql_value_t v;
    value_init_string_copy(&v, s);
    return v;
}
inline sql_value_t number(int32_t n) {
    sql_value_t v;
    value_init_integer(&v, n);
    return v;
}
inline sql_value_t null() {
    sql_value_t v;
    value_init_null(&v);
    return v;
}

// An array value owning `items`.
inline sql_value_t list(std::initializer_list<sql_value_t> items) {
    sql_value_t v;
    value_init_array(&v);
    for (sql_value_t item : items) {
        value_push(&v, &item);
    }
    return v;
}

// A table field record, a field link record, and a program output of six
// empty collections, as the built-ins make them.
inline sql_value_t field(const char* name, const char* type, int32_t nullable, int32_t optimize,
                         sql_value_t links = list({})) {
    return list({text(name), text(type), number(nullable), number(optimize), links});
}
inline sql_value_t link(const char* table, int32_t direction) { return list({text(table), number(direction)}); }
inline void output_init(program_output_t* out) {
    for (sql_value_t* member : {&out->plsql, &out->queries, &out->sequences, &out->tables, &out->types, &out->views}) {
        value_init_array(member);
    }
}

// 'text', 12, null, [a, b]; text keys as key=value, and with `keys` integer keys too.
inline std::string show(const sql_value_t* v, bool keys = false) {
    switch (v->type) {
    case VALUE_NULL: return "null";
    case VALUE_INTEGER: return std::to_string(v->integer);
    case VALUE_STRING: return "'" + std::string(v->string) + "'";
    case VALUE_ARRAY: break;
    }
    std::string out = "[";
    for (hash_iterator_t item = v->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        out += item == v->hash->first_in_list ? "" : ", ";
        out += !item->key_is_integer ? std::string(hash_item_key(item)) + "="
               : keys                ? std::to_string(hash_item_key_integer(item)) + "="
                                     : "";
        out += show(static_cast<const sql_value_t*>(hash_item_data(item)), keys);
    }
    return out + "]";
}

// For its lifetime, run-time bail-outs name /defs/main.def:7.
struct at_statement {
    sql_node_t node{};
    at_statement() {
        node.pathname = "/defs/main.def";
        node.line = 7;
        executor_globals.current = &node;
    }
    ~at_statement() { executor_globals.current = nullptr; }
};

// The message a bail-out in `run` printed, without its " in /defs/main.def:7"
// location (any other location is kept, to fail the comparison); "no bail-out"
// when `run` returns.
template <typename F>
std::string bailout_of(F run) {
    testing::internal::CaptureStderr();
    try {
        run();
    } catch (const bailout_exception&) {
        std::string printed = testing::internal::GetCapturedStderr();
        const std::string location = " in /defs/main.def:7\n";
        const size_t at = printed.size() - std::min(printed.size(), location.size());
        return printed.compare(at, std::string::npos, location) == 0 ? printed.substr(0, at) : printed;
    }
    testing::internal::GetCapturedStderr();
    return "no bail-out";
}

// Whether `run` raised a fatal error whose printed message matches
// the regular expression `pattern` somewhere.
template <typename F>
testing::AssertionResult fatal_error_matches(F run, const std::string& pattern) {
    testing::internal::CaptureStderr();
    try {
        run();
    } catch (const fatal_exception&) {
        const std::string printed = testing::internal::GetCapturedStderr();
        if (std::regex_search(printed, std::regex(pattern))) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "fatal error \"" << printed << "\" does not match " << pattern;
    }
    testing::internal::GetCapturedStderr();
    return testing::AssertionFailure() << "no fatal error";
}
