// Mermaid and Graphviz diagrams of the tables.
//
// Tables are named in the diagram by their position ("t1", "t2", ... in
// declaration order), so that no table name, whatever bytes it holds, ever
// stands where the diagram language expects an identifier; the name itself
// appears only in a label. Labels show every text as written, except what
// the format cannot carry at all (control bytes, bytes that are not UTF-8,
// U+FFFE and U+FFFF), written "\xHH" (Graphviz) or "[xHH]" (Mermaid).
//
// Mermaid reads every label as Markdown, then as HTML, and looks in it for
// formulas and icons; so each character that any of these could take for
// markup is written as Mermaid's character code "#N;", which Mermaid turns
// back into the character after all of that. Attribute types and names are
// written as bare words only when they are plain words, and as quoted words
// (between backquotes) otherwise.
#include "export_diagram.hpp"

#include <stdexcept>
#include <string_view>

#include "export_text.hpp"

namespace {

// Built by appending: GCC 12 warns falsely (-Wrestrict) on a literal + a temporary string.
std::string table_id(size_t position) {
    std::string id = "t";
    id += std::to_string(position + 1);
    return id;
}

// The position of the table a link names; every link names one.
size_t linked_position(const schema_t& schema, std::string_view name) {
    const size_t position = schema_table_position(schema, name);
    if (position == SIZE_MAX) throw std::out_of_range("no table \"" + std::string(name) + "\"");
    return position;
}

const std::string& linked_id(const schema_t& schema, const std::vector<std::string>& ids, std::string_view name) {
    return ids[linked_position(schema, name)];
}

std::vector<std::string> number_tables(const schema_t& schema) {
    std::vector<std::string> ids;
    ids.reserve(schema.tables.size());
    for (size_t i = 0; i < schema.tables.size(); ++i) ids.push_back(table_id(i));
    return ids;
}

// Whether an incoming link of field `field` of `table` is a reference that
// the table it names declares itself, as an outgoing link to `table`; it is
// drawn once, from that side. Only a link into the primary key can be.
bool drawn_from_other_side(const schema_t& schema, const schema_table_t& table, size_t field,
                           const schema_link_t& link) {
    if (link.direction != DIRECTION_INCOMING || field != table.primary) return false;
    for (const schema_field_t& referring : schema.tables[linked_position(schema, link.table)].fields) {
        for (const schema_link_t& back : referring.links) {
            if (back.direction == DIRECTION_OUTGOING && back.table == table.name) return true;
        }
    }
    return false;
}

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_alnum(char c) { return is_ascii_letter(c) || (c >= '0' && c <= '9'); }

// --- Mermaid --------------------------------------------------------------

// ASCII characters that Markdown, HTML, Mermaid's own syntax (quotes,
// directives, character codes, generic types "~T~", backquoted words),
// formulas ("$$") or icons ("fa:") give a meaning to.
constexpr std::string_view MERMAID_CODED = "\"#$%&*:<>[\\]_`{}~";
// Mermaid marks the character codes it has read with U+FB02 U+00B0 and
// U+00B6 U+00DF before it turns them back, so these are coded too.
constexpr char32_t MERMAID_CODED_MARK_OPEN = 0xFB02;
constexpr char32_t MERMAID_CODED_MARK_CLOSE = 0xB6;

void append_code(std::string* out, char32_t code_point) {
    out->append("#").append(std::to_string(code_point)).append(";");
}

// A label for Mermaid. An empty text shows as "[empty]"; a text of blanks
// only is coded whole, since Mermaid cannot draw an entity named so.
std::string mermaid_label(std::string_view text) {
    const std::string carried = text.empty() ? "[empty]" : export_text_label(text, "", {"[x", "]"});
    const bool blank = carried.find_first_not_of(' ') == std::string::npos;
    std::string out;
    out.reserve(carried.size() + carried.size() / 4);
    size_t at = 0;
    while (at < carried.size()) {
        char32_t code_point = 0;
        const size_t length = export_text_utf8_char(std::string_view(carried).substr(at), &code_point);
        const char c = carried[at];
        // Markdown reads no emphasis in a "_" between letters or digits.
        const bool joining = c == '_' && at > 0 && is_ascii_alnum(carried[at - 1]) && at + 1 < carried.size() &&
                             is_ascii_alnum(carried[at + 1]);
        const bool coded = (code_point < 0x80 && MERMAID_CODED.find(c) != std::string_view::npos && !joining) ||
                           (blank && c == ' ') || code_point == MERMAID_CODED_MARK_OPEN ||
                           code_point == MERMAID_CODED_MARK_CLOSE;
        if (coded) {
            append_code(&out, code_point);
        } else {
            out.append(carried, at, length);
        }
        at += length;
    }
    return out;
}

// Whether `text` can stand as a bare attribute word and show as written: an
// ASCII letter, then letters, digits, "(", ")", ",", "." and single "_"
// between letters or digits (Markdown reads no emphasis there); and not a
// word that Mermaid's lexer reads as the key PK, FK or UK.
bool mermaid_plain_word(std::string_view text) {
    if (text.empty() || !is_ascii_letter(text[0])) return false;
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        const bool joined =
            c == '_' && is_ascii_alnum(text[i - 1]) && i + 1 < text.size() && is_ascii_alnum(text[i + 1]);
        if (!is_ascii_alnum(c) && !joined && std::string_view("(),.").find(c) == std::string_view::npos) return false;
    }
    if (text.size() >= 2 && (text[1] | 0x20) == 'k') {
        const char lead = static_cast<char>(text[0] | 0x20);
        const bool key = lead == 'p' || lead == 'f' || lead == 'u';
        if (key && (text.size() == 2 || !(is_ascii_alnum(text[2]) || text[2] == '_'))) return false;
    }
    return true;
}

std::string mermaid_word(std::string_view text) {
    if (mermaid_plain_word(text)) return std::string(text);
    std::string quoted = "`";
    quoted += mermaid_label(text);
    quoted += '`';
    return quoted;
}

bool has_outgoing_link(const schema_field_t& field) {
    for (const schema_link_t& link : field.links) {
        if (link.direction == DIRECTION_OUTGOING) return true;
    }
    return false;
}

void mermaid_field(std::string* out, const schema_field_t& field) {
    out->append("\t\t").append(mermaid_word(field.sql)).append(" ").append(mermaid_word(field.name));
    const bool primary = field.index == OPTIMIZE_PRIMARY;
    const bool foreign = has_outgoing_link(field);
    if (primary || foreign) out->append(primary && foreign ? " PK, FK" : primary ? " PK" : " FK");
    if (field.nullable || field.index == OPTIMIZE_INDEX) {
        const bool both = field.nullable && field.index == OPTIMIZE_INDEX;
        out->append(both ? " \"nullable; index\"" : field.nullable ? " \"nullable\"" : " \"index\"");
    }
    out->append("\n");
}

void mermaid_links(std::string* out, const schema_t& schema, const std::vector<std::string>& ids, size_t position) {
    const schema_table_t& table = schema.tables[position];
    const std::string& id = ids[position];
    for (size_t i = 0; i < table.fields.size(); ++i) {
        const schema_field_t& field = table.fields[i];
        const std::string label = mermaid_label(field.name);
        for (const schema_link_t& link : field.links) {
            if (drawn_from_other_side(schema, table, i, link)) continue;
            const std::string& other = linked_id(schema, ids, link.table);
            // One row of the referenced table to many of the referencing one.
            if (link.direction == DIRECTION_OUTGOING) {
                out->append("\t").append(other).append(field.nullable ? " |o--o{ " : " ||--o{ ").append(id);
            } else {
                out->append("\t").append(id).append(" ||--o{ ").append(other);
            }
            out->append(" : \"").append(label).append("\"\n");
        }
    }
}

// --- Graphviz -------------------------------------------------------------

// Text for an HTML-like label: the control bytes, the backslash, U+FFFE,
// U+FFFF and bytes that are not UTF-8 as "\xHH", then the XML markup
// characters as entities.
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

std::string dot_marks(const schema_field_t& field) {
    std::string marks;
    auto mark = [&](const char* text) { marks.append(marks.empty() ? "" : ", ").append(text); };
    if (field.index == OPTIMIZE_PRIMARY) mark("PK");
    if (field.index == OPTIMIZE_INDEX) mark("index");
    if (field.nullable) mark("nullable");
    return marks;
}

// Each field row has two ports: "lN" on its left cell, where links into the
// field arrive, and "rN" on its right cell, where its own links leave.
std::string dot_port(const std::string& id, char side, size_t field) {
    return id + ":" + side + std::to_string(field + 1) + (side == 'l' ? ":w" : ":e");
}

void dot_table(std::string* out, const schema_table_t& table, const std::string& id) {
    out->append("\t").append(id).append(" [label=<<TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\">");
    // Graphviz rejects an empty <B></B>, so an empty name is written bare.
    const std::string name = dot_text(table.name);
    out->append("<TR><TD COLSPAN=\"3\" BGCOLOR=\"lightgrey\">");
    out->append(name.empty() ? "" : "<B>").append(name).append(name.empty() ? "" : "</B>").append("</TD></TR>\n");
    for (size_t i = 0; i < table.fields.size(); ++i) {
        const schema_field_t& field = table.fields[i];
        const std::string number = std::to_string(i + 1);
        out->append("\t\t<TR><TD PORT=\"l").append(number).append("\" ALIGN=\"LEFT\">");
        out->append(dot_text(field.name)).append("</TD><TD ALIGN=\"LEFT\">");
        out->append(dot_text(field.sql)).append("</TD><TD PORT=\"r").append(number).append("\">");
        out->append(dot_marks(field)).append("</TD></TR>\n");
    }
    out->append("\t</TABLE>>];\n");
}

// An outgoing link leaves its field's right side for the linked table's
// primary key. An incoming link says that the table it names refers to the
// field: a dashed edge from that table's right side into the field.
void dot_links(std::string* out, const schema_t& schema, const std::vector<std::string>& ids, size_t position) {
    const schema_table_t& table = schema.tables[position];
    for (size_t i = 0; i < table.fields.size(); ++i) {
        const schema_field_t& field = table.fields[i];
        for (const schema_link_t& link : field.links) {
            const size_t other = linked_position(schema, link.table);
            if (link.direction == DIRECTION_OUTGOING) {
                out->append("\t").append(dot_port(ids[position], 'r', i)).append(" -> ");
                out->append(dot_port(ids[other], 'l', schema.tables[other].primary)).append(";\n");
                continue;
            }
            if (drawn_from_other_side(schema, table, i, link)) continue;
            out->append("\t").append(ids[other]).append(":e -> ").append(dot_port(ids[position], 'l', i));
            out->append(" [style=dashed];\n");
        }
    }
}

}  // namespace

void export_mermaid(const schema_t& schema, std::string* text) {
    const std::vector<std::string> ids = number_tables(schema);
    text->assign("erDiagram\n");
    for (size_t i = 0; i < schema.tables.size(); ++i) {
        const schema_table_t& table = schema.tables[i];
        text->append("\t").append(ids[i]).append("[\"").append(mermaid_label(table.name)).append("\"] {\n");
        for (const schema_field_t& field : table.fields) mermaid_field(text, field);
        text->append("\t}\n");
    }
    for (size_t i = 0; i < schema.tables.size(); ++i) mermaid_links(text, schema, ids, i);
}

size_t export_mermaid_length(std::string_view text) {
    size_t length = 0;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // One unit per character, two for those past U+FFFF (4-byte forms).
        if ((byte & 0xC0) != 0x80) length += byte >= 0xF0 ? 2 : 1;
    }
    return length;
}

void export_dot(const schema_t& schema, std::string* text) {
    const std::vector<std::string> ids = number_tables(schema);
    text->assign("digraph schema {\n\tgraph [rankdir=LR];\n\tnode [shape=plain];\n");
    for (size_t i = 0; i < schema.tables.size(); ++i) dot_table(text, schema.tables[i], ids[i]);
    for (size_t i = 0; i < schema.tables.size(); ++i) dot_links(text, schema, ids, i);
    text->append("}\n");
}
