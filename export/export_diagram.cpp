// Mermaid and Graphviz diagrams of the tables.
//
// Tables are named in the diagram by their position ("t1", "t2", ... in
// declaration order), so that no table name, whatever bytes it holds, ever
// stands where the diagram language expects an identifier; the name itself
// appears only in a label. Labels keep every character the language can
// carry there and write the others as "\xHH" (Graphviz) or "[xHH]"
// (Mermaid); Mermaid attribute types and names, which must be single words,
// keep their word characters and turn the others into "_", with the exact
// text repeated in the attribute's comment.
#include "export_diagram.hpp"

#include <cctype>
#include <string_view>
#include <unordered_map>

#include "export_records.hpp"
#include "export_text.hpp"

namespace {

// Table name to diagram identifier, "t1" for the first table.
using table_ids_t = std::unordered_map<std::string_view, std::string>;

table_ids_t number_tables(const sql_value_t* tables) {
    table_ids_t ids;
    ids.reserve(hash_count(tables->hash));
    export_for_each(tables, [&](const sql_value_t* table) {
        std::string id = std::to_string(ids.size() + 1);
        id.insert(id.begin(), 't');
        ids.emplace(export_slot(table, 0)->string, std::move(id));
    });
    return ids;
}

const std::string& table_id(const table_ids_t& ids, const sql_value_t* name) { return ids.at(name->string); }

// --- Mermaid --------------------------------------------------------------

// Characters escaped in Mermaid labels and comments besides the control
// bytes: those a quoted name cannot hold (the quote, "%" and the
// backslash), and those that Mermaid reads as markup, entity codes or
// directives. A backslash cannot stand in a name, so the escapes are "[xHH]".
constexpr std::string_view MERMAID_ESCAPED = "\"%\\<>&#`{}";
constexpr export_escape_t MERMAID_ESCAPE = {"[x", "]"};

// ASCII characters the Mermaid lexer accepts inside an attribute word.
constexpr std::string_view MERMAID_WORD_KEPT = "_-()[].,*";

// A quoted name may not be empty, so an empty text shows as "[empty]".
std::string mermaid_label(std::string_view text) {
    return text.empty() ? "[empty]" : export_text_label(text, MERMAID_ESCAPED, MERMAID_ESCAPE);
}

// An attribute type or name as a Mermaid word. A word must start with a
// letter, "_" or "*"; and one that begins with the key words PK, FK or UK
// (in any case) up to a word boundary would be read as that key.
std::string mermaid_word(std::string_view text) {
    std::string word = export_text_word(text, MERMAID_WORD_KEPT);
    const auto first = static_cast<unsigned char>(word[0]);
    const bool starts_well = first >= 0x80 || first == '_' || first == '*' || std::isalpha(first) != 0;
    bool key_word = false;
    if (word.size() >= 2 && ((word[1] | 0x20) == 'k')) {
        const char lead = static_cast<char>(word[0] | 0x20);
        const bool boundary =
            word.size() == 2 || !(std::isalnum(static_cast<unsigned char>(word[2])) || word[2] == '_');
        key_word = (lead == 'p' || lead == 'f' || lead == 'u') && boundary;
    }
    return !starts_well || key_word ? std::string(1, '_').append(word) : word;
}

bool has_outgoing_link(const sql_value_t* field) {
    bool outgoing = false;
    export_for_each(export_slot(field, 4), [&](const sql_value_t* link) {
        if (export_slot(link, 1)->integer == DIRECTION_OUTGOING) outgoing = true;
    });
    return outgoing;
}

void mermaid_field(std::string* out, const sql_value_t* field) {
    const char* name = export_slot(field, 0)->string;
    const char* type = export_slot(field, 1)->string;
    const std::string type_word = mermaid_word(type);
    const std::string name_word = mermaid_word(name);
    out->append("\t\t").append(type_word).append(" ").append(name_word);

    const bool primary = export_slot(field, 3)->integer == OPTIMIZE_PRIMARY;
    const bool foreign = has_outgoing_link(field);
    if (primary || foreign) out->append(primary && foreign ? " PK, FK" : primary ? " PK" : " FK");

    std::string comment;
    auto note = [&](std::string_view text) { comment.append(comment.empty() ? "" : "; ").append(text); };
    if (export_slot(field, 2)->integer != 0) note("nullable");
    if (export_slot(field, 3)->integer == OPTIMIZE_INDEX) note("index");
    if (name_word != name) note("name: " + mermaid_label(name));
    if (type_word != type) note("type: " + mermaid_label(type));
    if (!comment.empty()) out->append(" \"").append(comment).append("\"");
    out->append("\n");
}

void mermaid_links(std::string* out, const sql_value_t* table, const table_ids_t& ids) {
    const std::string& id = table_id(ids, export_slot(table, 0));
    export_for_each(export_slot(table, 2), [&](const sql_value_t* field) {
        const std::string label = mermaid_label(export_slot(field, 0)->string);
        const bool nullable = export_slot(field, 2)->integer != 0;
        export_for_each(export_slot(field, 4), [&](const sql_value_t* link) {
            const std::string& other = table_id(ids, export_slot(link, 0));
            // One row of the referenced table to many of the referencing one.
            if (export_slot(link, 1)->integer == DIRECTION_OUTGOING) {
                out->append("\t").append(other).append(nullable ? " |o--o{ " : " ||--o{ ").append(id);
            } else {
                out->append("\t").append(id).append(" ||--o{ ").append(other);
            }
            out->append(" : \"").append(label).append("\"\n");
        });
    });
}

// --- Graphviz -------------------------------------------------------------

// Text for an HTML-like label: the control bytes, the backslash and bytes
// that are not UTF-8 as "\xHH", then the XML markup characters as entities.
std::string dot_text(std::string_view text) {
    const std::string label = export_text_label(text, "\\", {"\\x", ""});
    std::string out;
    out.reserve(label.size());
    for (char c : label) {
        switch (c) {
        case '&': out.append("&amp;"); break;
        case '<': out.append("&lt;"); break;
        case '>': out.append("&gt;"); break;
        case '"': out.append("&quot;"); break;
        case '\'': out.append("&#39;"); break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string dot_marks(const sql_value_t* field) {
    std::string marks;
    auto mark = [&](const char* text) { marks.append(marks.empty() ? "" : ", ").append(text); };
    if (export_slot(field, 3)->integer == OPTIMIZE_PRIMARY) mark("PK");
    if (export_slot(field, 3)->integer == OPTIMIZE_INDEX) mark("index");
    if (export_slot(field, 2)->integer != 0) mark("nullable");
    return marks;
}

void dot_table(std::string* out, const sql_value_t* table, const std::string& id) {
    out->append("\t").append(id).append(" [label=<<TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\">");
    // Graphviz rejects an empty <B></B>, so an empty name is written bare.
    const std::string name = dot_text(export_slot(table, 0)->string);
    out->append("<TR><TD COLSPAN=\"3\" BGCOLOR=\"lightgrey\">");
    out->append(name.empty() ? "" : "<B>").append(name).append(name.empty() ? "" : "</B>").append("</TD></TR>\n");
    int number = 0;
    export_for_each(export_slot(table, 2), [&](const sql_value_t* field) {
        out->append("\t\t<TR><TD PORT=\"f").append(std::to_string(++number)).append("\" ALIGN=\"LEFT\">");
        out->append(dot_text(export_slot(field, 0)->string)).append("</TD><TD ALIGN=\"LEFT\">");
        out->append(dot_text(export_slot(field, 1)->string)).append("</TD><TD>");
        out->append(dot_marks(field)).append("</TD></TR>\n");
    });
    out->append("\t</TABLE>>];\n");
}

// Outgoing links leave the field for the table it names; incoming links
// come from the table they name into the field, dashed.
void dot_links(std::string* out, const sql_value_t* table, const table_ids_t& ids) {
    const std::string& id = table_id(ids, export_slot(table, 0));
    int number = 0;
    export_for_each(export_slot(table, 2), [&](const sql_value_t* field) {
        const std::string port = id + ":f" + std::to_string(++number);
        export_for_each(export_slot(field, 4), [&](const sql_value_t* link) {
            const std::string& other = table_id(ids, export_slot(link, 0));
            if (export_slot(link, 1)->integer == DIRECTION_OUTGOING) {
                out->append("\t").append(port).append(" -> ").append(other).append(";\n");
            } else {
                out->append("\t").append(other).append(" -> ").append(port).append(" [style=dashed];\n");
            }
        });
    });
}

}  // namespace

void export_mermaid(const program_output_t* output, std::string* text) {
    const table_ids_t ids = number_tables(&output->tables);
    text->assign("erDiagram\n");
    export_for_each(&output->tables, [&](const sql_value_t* table) {
        text->append("\t").append(table_id(ids, export_slot(table, 0))).append("[\"");
        text->append(mermaid_label(export_slot(table, 0)->string)).append("\"] {\n");
        export_for_each(export_slot(table, 2), [&](const sql_value_t* field) { mermaid_field(text, field); });
        text->append("\t}\n");
    });
    export_for_each(&output->tables, [&](const sql_value_t* table) { mermaid_links(text, table, ids); });
}

void export_dot(const program_output_t* output, std::string* text) {
    const table_ids_t ids = number_tables(&output->tables);
    text->assign("digraph schema {\n\tgraph [rankdir=LR];\n\tnode [shape=plain];\n");
    export_for_each(&output->tables,
                    [&](const sql_value_t* table) { dot_table(text, table, table_id(ids, export_slot(table, 0))); });
    export_for_each(&output->tables, [&](const sql_value_t* table) { dot_links(text, table, ids); });
    text->append("}\n");
}
