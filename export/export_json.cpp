// The JSON model of a schema.
//
// Every collection is an array in declaration order, every declared object
// carries its name, file and line; the records are read in the layouts the
// built-ins give them after the fix-up, and the declared type names come
// from the declarations kept beside the output, in the fix-up's order.
//
// The document is written as it is walked, straight into the text: building
// the library's document tree first costs several times the whole compile
// and run. Every text is checked to be UTF-8 first, so the library, which
// escapes every string that needs escaping, never meets one it would have to
// replace or reject.
#include "export_json.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

#include "exception.hpp"
#include "export_records.hpp"
#include "export_text.hpp"
#include "memory_pool.hpp"

namespace {

// Thrown once the refusal has been printed.
struct refusal_t {};

// The object being written, for the refusal message.
struct object_t {
    const char* kind;  // "table", "query", ...
    const char* name;
    const declaration_t* declaration;
};

// Writes JSON laid out one member or item per line, indented by tabs, with
// empty arrays and objects as "[]" and "{}". The text goes into blocks of the
// memory pool just under 8 KiB, which the pool serves from the slabs that the
// run has left empty: fresh memory would cost more in page faults than the
// whole writing.
class json_writer_t {
public:
    explicit json_writer_t(export_chunks_t* chunks) : chunks_(chunks) {}

    void finish() {
        append("\n");
        if (used_ > 0) chunks_->emplace_back(block_, used_);
    }

    void open_object() { open('{'); }
    void close_object() { close('}'); }
    void open_array() { open('['); }
    void close_array() { close(']'); }

    // Starts the next member of the current object.
    json_writer_t& key(std::string_view name) {
        next_line();
        push('"');
        append(name);
        append("\": ");
        return *this;
    }
    // Starts the next item of the current array.
    json_writer_t& item() {
        next_line();
        return *this;
    }

    void number(int64_t value) { append(std::to_string(value)); }
    void boolean(bool value) { append(value ? "true" : "false"); }
    void null() { append("null"); }

    // A text known to be UTF-8. One that needs no escaping is written as it
    // stands; the others go through the library.
    void string(std::string_view value) {
        if (!needs_escaping(value)) {
            push('"');
            append(value);
            push('"');
            return;
        }
        scratch_.get_ref<std::string&>().assign(value);
        append(scratch_.dump());
    }

    // The literal text of a member whose value is a fixed word.
    void word(std::string_view value) {
        push('"');
        append(value);
        push('"');
    }

private:
    static constexpr size_t BLOCK_SIZE = 8 * 1024 - 128;

    static bool needs_escaping(std::string_view value) {
        for (char c : value) {
            if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return true;
        }
        return false;
    }

    void new_block() {
        if (used_ > 0) chunks_->emplace_back(block_, used_);
        block_ = static_cast<char*>(memory_pool_alloc(BLOCK_SIZE));
        used_ = 0;
    }

    void push(char c) {
        if (used_ == BLOCK_SIZE || block_ == nullptr) new_block();
        block_[used_++] = c;
    }

    void append(std::string_view text) {
        while (!text.empty()) {
            if (used_ == BLOCK_SIZE || block_ == nullptr) new_block();
            const size_t part = std::min(text.size(), BLOCK_SIZE - used_);
            std::memcpy(block_ + used_, text.data(), part);
            used_ += part;
            text.remove_prefix(part);
        }
    }

    void indent() {
        for (size_t i = 0; i < depth_; ++i) push('\t');
    }

    void open(char bracket) {
        push(bracket);
        ++depth_;
        empty_ = true;
    }
    void close(char bracket) {
        --depth_;
        if (!empty_) {
            push('\n');
            indent();
        }
        push(bracket);
        empty_ = false;
    }
    void next_line() {
        if (!empty_) push(',');
        push('\n');
        indent();
        empty_ = false;
    }

    export_chunks_t* chunks_;
    char* block_ = nullptr;
    size_t used_ = 0;
    size_t depth_ = 0;
    bool empty_ = true;  // nothing written yet in the innermost open container
    nlohmann::json scratch_ = std::string();
};

class schema_writer_t {
public:
    schema_writer_t(export_chunks_t* chunks, const program_declarations_t* declarations)
        : out_(chunks), declarations_(declarations) {}

    void write(const program_output_t* output) {
        out_.open_object();
        out_.key("format").word("tabula-schema");
        out_.key("version").number(1);
        simple_objects("types", &output->types, &declarations_->types, "type", "sql");
        tables(&output->tables);
        simple_objects("views", &output->views, &declarations_->views, "view", "sql");
        simple_objects("sequences", &output->sequences, &declarations_->sequences, "sequence", "start");
        queries(&output->queries);
        plsql(&output->plsql);
        out_.close_object();
        out_.finish();
    }

private:
    // `text`, or the refusal naming `what` of the object being written.
    void text(const char* what, const char* value) {
        if (!export_text_is_utf8(value)) {
            std::fprintf(stderr, "Cannot export %s \"%s\" as JSON: its %s is not valid UTF-8 in %s:%u\n", object_.kind,
                         object_.name, what, object_.declaration->pathname, object_.declaration->line);
            throw refusal_t{};
        }
        out_.string(value);
    }

    // Starts the object of `record`, a `kind` of `declarations`, with its
    // name, file and line.
    void open_declared(const char* kind, const hash_table_t* declarations, const sql_value_t* record) {
        const char* name = export_slot(record, 0)->string;
        const declaration_t* declaration = program_declaration(declarations, name);
        if (declaration == nullptr) fatal_error("No declaration kept for %s \"%s\"", kind, name);
        object_ = {kind, name, declaration};
        type_name_ = declaration->type_names;
        type_names_left_ = declaration->type_count;
        out_.item().open_object();
        out_.key("name");
        text("name", name);
        out_.key("file");
        text("file name", declaration->pathname);
        out_.key("line").number(declaration->line);
    }

    // The next declared type name of the current object.
    void type_name() {
        if (type_names_left_ == 0) fatal_error("Fewer type names kept than %s \"%s\" uses", object_.kind, object_.name);
        out_.key("type");
        text("type name", type_name_);
        type_name_ += std::strlen(type_name_) + 1;
        --type_names_left_;
    }

    void simple_objects(const char* member, const sql_value_t* collection, const hash_table_t* declarations,
                        const char* kind, const char* value_member) {
        out_.key(member).open_array();
        export_for_each(collection, [&](const sql_value_t* record) {
            open_declared(kind, declarations, record);
            const sql_value_t* value = export_slot(record, 1);
            out_.key(value_member);
            if (value->type == VALUE_INTEGER) {
                out_.number(value->integer);
            } else {
                text("SQL text", value->string);
            }
            out_.close_object();
        });
        out_.close_array();
    }

    static const char* index_name(int32_t optimize) {
        switch (optimize) {
        case OPTIMIZE_PRIMARY: return "primary";
        case OPTIMIZE_INDEX: return "index";
        default: return "none";
        }
    }

    void table_field(const sql_value_t* field) {
        out_.item().open_object();
        out_.key("name");
        text("field name", export_slot(field, 0)->string);
        type_name();
        out_.key("sql");
        text("field SQL type", export_slot(field, 1)->string);
        out_.key("nullable").boolean(export_slot(field, 2)->integer != 0);
        out_.key("index").word(index_name(export_slot(field, 3)->integer));
        out_.key("links").open_array();
        export_for_each(export_slot(field, 4), [&](const sql_value_t* link) {
            out_.item().open_object();
            out_.key("table");
            text("linked table name", export_slot(link, 0)->string);
            out_.key("direction").word(export_slot(link, 1)->integer == DIRECTION_OUTGOING ? "outgoing" : "incoming");
            out_.close_object();
        });
        out_.close_array();
        out_.close_object();
    }

    void table_rows(const sql_value_t* rows) {
        out_.key("rows").open_array();
        export_for_each(rows, [&](const sql_value_t* row) {
            out_.item().open_array();
            export_for_each(row, [&](const sql_value_t* cell) {
                out_.item();
                if (cell->type == VALUE_STRING) {
                    text("row value", cell->string);
                } else {
                    out_.null();
                }
            });
            out_.close_array();
        });
        out_.close_array();
    }

    void tables(const sql_value_t* collection) {
        out_.key("tables").open_array();
        export_for_each(collection, [&](const sql_value_t* record) {
            open_declared("table", &declarations_->tables, record);
            out_.key("volatile").boolean(export_slot(record, 1)->integer != 0);
            const sql_value_t* fields = export_slot(record, 2);
            export_for_each(fields, [&](const sql_value_t* field) {
                if (export_slot(field, 3)->integer == OPTIMIZE_PRIMARY) primary_ = export_slot(field, 0)->string;
            });
            out_.key("primary");
            text("field name", primary_);
            out_.key("fields").open_array();
            export_for_each(fields, [&](const sql_value_t* field) { table_field(field); });
            out_.close_array();
            table_rows(export_slot(record, 3));
            out_.close_object();
        });
        out_.close_array();
    }

    void query_piece(const sql_value_t* piece) {
        out_.item().open_object();
        const int32_t kind = export_slot(piece, 0)->integer;
        if (kind == 1) {
            out_.key("kind").word("text");
            out_.key("text");
            text("text", export_slot(piece, 1)->string);
        } else {
            out_.key("kind").word(kind == 2 ? "param" : "raw");
            out_.key("number").number(export_slot(piece, 1)->integer);
        }
        out_.close_object();
    }

    void queries(const sql_value_t* collection) {
        out_.key("queries").open_array();
        export_for_each(collection, [&](const sql_value_t* record) {
            open_declared("query", &declarations_->queries, record);
            out_.key("pieces").open_array();
            export_for_each(export_slot(record, 1), [&](const sql_value_t* piece) { query_piece(piece); });
            out_.close_array();
            out_.key("fields").open_array();
            export_for_each(export_slot(record, 2), [&](const sql_value_t* sql) {
                out_.item().open_object();
                type_name();
                out_.key("sql");
                text("field SQL type", sql->string);
                out_.close_object();
            });
            out_.close_array();
            out_.close_object();
        });
        out_.close_array();
    }

    void plsql_vars(const char* member, const sql_value_t* vars) {
        out_.key(member).open_array();
        export_for_each(vars, [&](const sql_value_t* var) {
            out_.item().open_object();
            out_.key("name");
            text("variable name", export_slot(var, 0)->string);
            type_name();
            out_.key("sql");
            text("variable SQL type", export_slot(var, 1)->string);
            out_.close_object();
        });
        out_.close_array();
    }

    void plsql(const sql_value_t* collection) {
        out_.key("plsql").open_array();
        export_for_each(collection, [&](const sql_value_t* record) {
            open_declared("PL/SQL function", &declarations_->plsql, record);
            const sql_value_t* returns = export_slot(record, 1);
            out_.key("returns").open_object();
            type_name();
            out_.key("sql");
            text("return SQL type", export_slot(returns, 0)->string);
            out_.key("set").boolean(export_slot(returns, 1)->integer != 0);
            out_.close_object();
            plsql_vars("args", export_slot(record, 2));
            plsql_vars("locals", export_slot(record, 3));
            out_.key("body");
            text("body", export_slot(record, 4)->string);
            out_.close_object();
        });
        out_.close_array();
    }

    json_writer_t out_;
    const program_declarations_t* declarations_;
    object_t object_{};
    const char* type_name_ = nullptr;
    unsigned type_names_left_ = 0;
    const char* primary_ = "";
};

}  // namespace

int export_json(const program_output_t* output, const program_declarations_t* declarations, export_chunks_t* chunks) {
    chunks->clear();
    try {
        schema_writer_t writer(chunks, declarations);
        writer.write(output);
        return 0;
    } catch (const refusal_t&) {
        chunks->clear();
        return -1;
    }
}
