// The JSON model of a schema.
//
// Every collection is an array in declaration order, every declared object
// carries its name, file and line; everything is read from the schema model.
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

#include "diagnostic.hpp"
#include "export_text.hpp"
#include "memory_pool.hpp"

namespace {

// Thrown once the refusal has been reported.
struct refusal_t {};

// The object being written, for the refusal message.
struct object_t {
    const char* kind;  // "table", "query", ...
    std::string_view name;
    const schema_location_t* location;
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
    explicit schema_writer_t(export_chunks_t* chunks) : out_(chunks) {}

    void write(const schema_t& model) {
        out_.open_object();
        out_.key("format").word("tabula-schema");
        out_.key("version").number(1);
        out_.key("types").open_array();
        for (const schema_type_t& type : model.types) {
            open_declared("type", type.name, type.location);
            out_.key("sql");
            text("SQL text", type.sql);
            out_.close_object();
        }
        out_.close_array();
        tables(model.tables);
        out_.key("views").open_array();
        for (const schema_view_t& view : model.views) {
            open_declared("view", view.name, view.location);
            out_.key("sql");
            text("SQL text", view.sql);
            out_.close_object();
        }
        out_.close_array();
        out_.key("sequences").open_array();
        for (const schema_sequence_t& sequence : model.sequences) {
            open_declared("sequence", sequence.name, sequence.location);
            out_.key("start").number(sequence.start);
            out_.close_object();
        }
        out_.close_array();
        queries(model.queries);
        plsql(model.plsql);
        out_.close_object();
        out_.finish();
    }

private:
    // `value`, or the refusal naming `what` of the object being written.
    void text(const char* what, std::string_view value) {
        if (!export_text_is_utf8(value)) {
            diagnostic_t refusal;
            refusal.message = std::string("Cannot export ") + object_.kind + " \"" + std::string(object_.name) +
                              "\" as JSON: its " + what + " is not valid UTF-8";
            refusal.file = std::string(object_.location->file);
            refusal.line = object_.location->line;
            diagnostic_report(refusal);
            throw refusal_t{};
        }
        out_.string(value);
    }

    // Starts the object of a declared `kind` with its name, file and line.
    void open_declared(const char* kind, std::string_view name, const schema_location_t& location) {
        object_ = {kind, name, &location};
        out_.item().open_object();
        out_.key("name");
        text("name", name);
        out_.key("file");
        text("file name", location.file);
        out_.key("line").number(location.line);
    }

    void type_name(std::string_view name) {
        out_.key("type");
        text("type name", name);
    }

    static const char* index_name(optimize_type_t index) {
        switch (index) {
        case OPTIMIZE_PRIMARY: return "primary";
        case OPTIMIZE_INDEX: return "index";
        default: return "none";
        }
    }

    void table_field(const schema_field_t& field) {
        out_.item().open_object();
        out_.key("name");
        text("field name", field.name);
        type_name(field.type_name);
        out_.key("sql");
        text("field SQL type", field.sql);
        out_.key("nullable").boolean(field.nullable);
        out_.key("index").word(index_name(field.index));
        out_.key("links").open_array();
        for (const schema_link_t& link : field.links) {
            out_.item().open_object();
            out_.key("table");
            text("linked table name", link.table);
            out_.key("direction").word(link.direction == DIRECTION_OUTGOING ? "outgoing" : "incoming");
            out_.close_object();
        }
        out_.close_array();
        out_.close_object();
    }

    void table_rows(std::span<const schema_row_t> rows) {
        out_.key("rows").open_array();
        for (const schema_row_t& row : rows) {
            out_.item().open_array();
            for (const schema_cell_t& cell : row) {
                out_.item();
                if (cell.has_value()) {
                    text("row value", *cell);
                } else {
                    out_.null();
                }
            }
            out_.close_array();
        }
        out_.close_array();
    }

    void tables(const std::vector<schema_table_t>& tables) {
        out_.key("tables").open_array();
        for (const schema_table_t& table : tables) {
            open_declared("table", table.name, table.location);
            out_.key("volatile").boolean(table.is_volatile);
            out_.key("primary");
            text("field name", schema_primary(table).name);
            out_.key("fields").open_array();
            for (const schema_field_t& field : table.fields) table_field(field);
            out_.close_array();
            table_rows(table.rows);
            out_.close_object();
        }
        out_.close_array();
    }

    void query_piece(const schema_piece_t& piece) {
        out_.item().open_object();
        if (piece.kind == QP_TEXT) {
            out_.key("kind").word("text");
            out_.key("text");
            text("text", piece.text);
        } else {
            out_.key("kind").word(piece.kind == QP_ESC ? "param" : "raw");
            out_.key("number").number(piece.number);
        }
        out_.close_object();
    }

    void queries(const std::vector<schema_query_t>& queries) {
        out_.key("queries").open_array();
        for (const schema_query_t& query : queries) {
            open_declared("query", query.name, query.location);
            out_.key("pieces").open_array();
            for (const schema_piece_t& piece : query.pieces) query_piece(piece);
            out_.close_array();
            out_.key("fields").open_array();
            for (const schema_typed_t& field : query.fields) {
                out_.item().open_object();
                type_name(field.type_name);
                out_.key("sql");
                text("field SQL type", field.sql);
                out_.close_object();
            }
            out_.close_array();
            out_.close_object();
        }
        out_.close_array();
    }

    void plsql_vars(const char* member, std::span<const schema_variable_t> vars) {
        out_.key(member).open_array();
        for (const schema_variable_t& var : vars) {
            out_.item().open_object();
            out_.key("name");
            text("variable name", var.name);
            type_name(var.type_name);
            out_.key("sql");
            text("variable SQL type", var.sql);
            out_.close_object();
        }
        out_.close_array();
    }

    void plsql(const std::vector<schema_plsql_t>& functions) {
        out_.key("plsql").open_array();
        for (const schema_plsql_t& function : functions) {
            open_declared("PL/SQL function", function.name, function.location);
            out_.key("returns").open_object();
            type_name(function.returns.type_name);
            out_.key("sql");
            text("return SQL type", function.returns.sql);
            out_.key("set").boolean(function.returns_set);
            out_.close_object();
            plsql_vars("args", function.args);
            plsql_vars("locals", function.locals);
            out_.key("body");
            text("body", function.body);
            out_.close_object();
        }
        out_.close_array();
    }

    json_writer_t out_;
    object_t object_{};
};

}  // namespace

int export_json(const schema_t& model, export_chunks_t* chunks) {
    chunks->clear();
    try {
        schema_writer_t writer(chunks);
        writer.write(model);
        return 0;
    } catch (const refusal_t&) {
        chunks->clear();
        return -1;
    }
}
