// Building the schema model from the records of a run.
//
// The records have the layouts the built-ins give them after the fix-up
// (a table: name, volatile, fields, rows; a field: name, SQL type, nullable,
// optimize, links; ...). Nothing else in the program decodes them for a
// consumer: the PHP writer prints them as they stand, every other reader
// takes the model.
//
// The model's texts and arrays are cut one after the other from the chunks
// of its storage: a schema of ten thousand tables holds about half a million
// of them, and allocating each on its own (and touching fresh heap pages for
// them) cost more than compiling the schema. Chunks of a megabyte or more
// are mapped aligned to huge pages and advised to use them, as the memory
// pool's slabs are; pages never touched cost nothing, so a chunk may be
// larger than it turns out to need.
#include "schema_model.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "compile.hpp"
#include "exception.hpp"
#include "execute.hpp"
#include "memory_pool.hpp"

struct schema_storage_t {
    struct chunk_t {
        void* base;
        size_t size;
        bool mapped;  // by mmap, else by malloc
    };

    std::vector<chunk_t> chunks;
    char* next = nullptr;
    char* end = nullptr;

    schema_storage_t() = default;
    schema_storage_t(const schema_storage_t&) = delete;
    schema_storage_t& operator=(const schema_storage_t&) = delete;
    ~schema_storage_t() {
        for (const chunk_t& chunk : chunks) {
            if (chunk.mapped) {
                munmap(chunk.base, chunk.size);
            } else {
                std::free(chunk.base);
            }
        }
    }
};

namespace {

constexpr size_t SMALLEST_CHUNK = 64 * 1024;
constexpr size_t MAPPED_CHUNK = 1024 * 1024;  // from this size on, chunks are mapped
constexpr size_t HUGE_PAGE_SIZE = 2 * 1024 * 1024;

size_t round_up(size_t size, size_t unit) { return (size + unit - 1) / unit * unit; }

// `size` bytes mapped at a multiple of the huge page size, or null.
void* map_huge(size_t size) {
    const size_t padded = size + HUGE_PAGE_SIZE;
    void* raw = mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = round_up(start, HUGE_PAGE_SIZE);
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t tail = aligned + size;
    if (start + padded > tail) munmap(reinterpret_cast<void*>(tail), start + padded - tail);
    void* base = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    madvise(base, size, MADV_HUGEPAGE);
#endif
    return base;
}

// A new chunk of at least `size` bytes, at least twice the last one.
void storage_grow(schema_storage_t* storage, size_t size) {
    const size_t last = storage->chunks.empty() ? 0 : storage->chunks.back().size;
    size = std::max({size, 2 * last, SMALLEST_CHUNK});
    schema_storage_t::chunk_t chunk{nullptr, size, size >= MAPPED_CHUNK};
    if (chunk.mapped) {
        chunk.size = round_up(size, HUGE_PAGE_SIZE);
        chunk.base = map_huge(chunk.size);
    } else {
        chunk.base = std::malloc(size);
    }
    if (chunk.base == nullptr) throw std::bad_alloc();
    storage->chunks.push_back(chunk);
    storage->next = static_cast<char*>(chunk.base);
    storage->end = storage->next + chunk.size;
}

void* storage_alloc(schema_storage_t* storage, size_t size, size_t alignment) {
    auto fits = [&] {
        if (storage->next == nullptr) return false;
        const size_t skip = round_up(reinterpret_cast<uintptr_t>(storage->next), alignment) -
                            reinterpret_cast<uintptr_t>(storage->next);
        return static_cast<size_t>(storage->end - storage->next) >= skip + size;
    };
    if (!fits()) storage_grow(storage, size + alignment);
    char* at = reinterpret_cast<char*>(round_up(reinterpret_cast<uintptr_t>(storage->next), alignment));
    storage->next = at + size;
    return at;
}

schema_storage_t* storage_of(schema_t* model) {
    if (!model->storage) model->storage = std::make_shared<schema_storage_t>();
    return model->storage.get();
}

// What the builder cuts from the model's storage.
class keeper_t {
public:
    explicit keeper_t(schema_t* model) : storage_(storage_of(model)) {}

    std::string_view text(const char* text, size_t size) {
        if (size == 0) return {};
        char* kept = static_cast<char*>(storage_alloc(storage_, size + 1, 1));
        std::memcpy(kept, text, size);
        kept[size] = '\0';
        return {kept, size};
    }
    std::string_view text(const char* text) { return text != nullptr ? this->text(text, std::strlen(text)) : ""; }
    std::string_view text(const sql_value_t* value) { return text(value->string); }

    // Room for `count` objects, each default-constructed.
    template <typename T>
    T* array(size_t count) {
        static_assert(std::is_trivially_destructible_v<T>);
        if (count == 0) return nullptr;
        T* objects = static_cast<T*>(storage_alloc(storage_, count * sizeof(T), alignof(T)));
        std::uninitialized_default_construct_n(objects, count);
        return objects;
    }

    // The file's path, kept once for all the declarations that name it.
    std::string_view file(const char* pathname) {
        if (pathname == nullptr) return "";
        if (pathname != last_pathname_) {
            last_pathname_ = pathname;
            last_file_ = text(pathname);
        }
        return last_file_;
    }

private:
    schema_storage_t* storage_;
    const char* last_pathname_ = nullptr;
    std::string_view last_file_;
};

const sql_value_t* slot(const sql_value_t* record, int32_t index) { return value_slot(record, index); }

// The first N slots of `record`, found in one walk: a schema has tens of
// thousands of fields, and looking each slot up on its own costs more.
template <int32_t N>
std::array<const sql_value_t*, N> slots(const sql_value_t* record) {
    std::array<sql_value_t*, N> found;
    value_slots(record, found.data(), N);
    std::array<const sql_value_t*, N> slots;
    std::copy(found.begin(), found.end(), slots.begin());
    return slots;
}

template <typename Visit>
void for_each_item(const sql_value_t* array, Visit visit) {
    for (hash_iterator_t item = array->hash->first_in_list; item != nullptr; item = item->next_in_list) {
        visit(static_cast<const sql_value_t*>(hash_item_data(item)));
    }
}

size_t count_of(const sql_value_t* array) { return hash_count(array->hash); }

// Each item of `array` made into a T by `make(item, &t)`, kept in storage.
template <typename T, typename Make>
std::span<const T> kept_items(keeper_t* keeper, const sql_value_t* array, Make make) {
    const size_t count = count_of(array);
    T* objects = keeper->array<T>(count);
    size_t at = 0;
    for_each_item(array, [&](const sql_value_t* item) { make(item, &objects[at++]); });
    return {objects, count};
}

// The declared type names of one object, handed out in the order the
// fix-up resolved them.
class type_names_t {
public:
    type_names_t(keeper_t* keeper, const declaration_t* declaration)
        : keeper_(keeper), next_(declaration->type_names), left_(declaration->type_count) {}

    std::string_view next(std::string_view fallback) {
        if (left_ == 0) return fallback;
        const size_t size = std::strlen(next_);
        const std::string_view name = keeper_->text(next_, size);
        next_ += size + 1;
        --left_;
        return name;
    }

private:
    keeper_t* keeper_;
    const char* next_;
    unsigned left_;
};

// The declaration kept for `name`; the run keeps one for every stored object.
const declaration_t& declaration_of(const hash_table_t* declarations, const char* name) {
    const declaration_t* declaration = program_declaration(declarations, name);
    if (declaration == nullptr) fatal_error("No declaration kept for \"%s\"", name);
    return *declaration;
}

schema_location_t location_of(keeper_t* keeper, const declaration_t& declaration) {
    return {keeper->file(declaration.pathname), declaration.line};
}

void field_of(keeper_t* keeper, const sql_value_t* record, type_names_t* type_names, unsigned line,
              schema_field_t* field) {
    const auto [name, sql, nullable, index, links] = slots<5>(record);
    field->name = keeper->text(name);
    field->sql = keeper->text(sql);
    field->type_name = type_names->next(field->sql);
    field->nullable = nullable->integer != 0;
    field->index = static_cast<optimize_type_t>(index->integer);
    field->links = kept_items<schema_link_t>(keeper, links, [&](const sql_value_t* link, schema_link_t* kept) {
        const auto [table, direction] = slots<2>(link);
        *kept = {keeper->text(table), static_cast<dir_type_t>(direction->integer)};
    });
    field->line = line;
}

schema_table_t table_of(keeper_t* keeper, const sql_value_t* record, const hash_table_t* declarations) {
    schema_table_t table;
    const auto [name_value, is_volatile, fields, rows] = slots<4>(record);
    const char* name = name_value->string;
    table.name = keeper->text(name);
    const declaration_t& declaration = declaration_of(declarations, name != nullptr ? name : "");
    table.location = location_of(keeper, declaration);
    table.is_volatile = is_volatile->integer != 0;
    type_names_t type_names(keeper, &declaration);
    // The grammar's lines, when they describe these very fields.
    const unsigned* lines = declaration.table_lines;
    if (lines != nullptr && lines[TABLE_LINES_COUNT] != count_of(fields)) lines = nullptr;
    table.first_line = lines != nullptr ? lines[TABLE_LINES_FIRST] : declaration.line;
    size_t position = 0;
    table.fields = kept_items<schema_field_t>(keeper, fields, [&](const sql_value_t* field, schema_field_t* kept) {
        field_of(keeper, field, &type_names, lines != nullptr ? lines[TABLE_LINES_FIELDS + position] : declaration.line,
                 kept);
        if (kept->index == OPTIMIZE_PRIMARY) table.primary = position;
        ++position;
    });
    table.rows = kept_items<schema_row_t>(keeper, rows, [&](const sql_value_t* row, schema_row_t* kept) {
        *kept = kept_items<schema_cell_t>(keeper, row, [&](const sql_value_t* cell, schema_cell_t* value) {
            if (cell->type == VALUE_STRING) *value = keeper->text(cell->string);
        });
    });
    return table;
}

schema_query_t query_of(keeper_t* keeper, const sql_value_t* record, const hash_table_t* declarations) {
    schema_query_t query;
    const char* name = slot(record, 0)->string;
    query.name = keeper->text(name);
    const declaration_t& declaration = declaration_of(declarations, name != nullptr ? name : "");
    query.location = location_of(keeper, declaration);
    query.pieces = kept_items<schema_piece_t>(keeper, slot(record, 1),
                                              [&](const sql_value_t* record_piece, schema_piece_t* piece) {
                                                  piece->kind = static_cast<qp_type_t>(slot(record_piece, 0)->integer);
                                                  const sql_value_t* value = slot(record_piece, 1);
                                                  if (piece->kind == QP_TEXT) {
                                                      piece->text = keeper->text(value);
                                                  } else {
                                                      piece->number = value->integer;
                                                  }
                                              });
    type_names_t type_names(keeper, &declaration);
    query.fields =
        kept_items<schema_typed_t>(keeper, slot(record, 2), [&](const sql_value_t* sql, schema_typed_t* field) {
            field->sql = keeper->text(sql);
            field->type_name = type_names.next(field->sql);
        });
    return query;
}

std::span<const schema_variable_t> variables_of(keeper_t* keeper, const sql_value_t* records,
                                                type_names_t* type_names) {
    return kept_items<schema_variable_t>(keeper, records, [&](const sql_value_t* record, schema_variable_t* variable) {
        variable->name = keeper->text(slot(record, 0));
        variable->sql = keeper->text(slot(record, 1));
        variable->type_name = type_names->next(variable->sql);
    });
}

schema_plsql_t plsql_of(keeper_t* keeper, const sql_value_t* record, const hash_table_t* declarations) {
    schema_plsql_t function;
    const char* name = slot(record, 0)->string;
    function.name = keeper->text(name);
    const declaration_t& declaration = declaration_of(declarations, name != nullptr ? name : "");
    function.location = location_of(keeper, declaration);
    type_names_t type_names(keeper, &declaration);
    const sql_value_t* returns = slot(record, 1);
    function.returns.sql = keeper->text(slot(returns, 0));
    function.returns.type_name = type_names.next(function.returns.sql);
    function.returns_set = slot(returns, 1)->integer != 0;
    function.args = variables_of(keeper, slot(record, 2), &type_names);
    function.locals = variables_of(keeper, slot(record, 3), &type_names);
    function.body = keeper->text(slot(record, 4));
    return function;
}

// Name, second slot and location: the layout of types, views and sequences.
template <typename Object, typename Value>
void simple_objects(keeper_t* keeper, std::vector<Object>* objects, const sql_value_t* collection,
                    const hash_table_t* declarations, Value value_of) {
    objects->reserve(count_of(collection));
    for_each_item(collection, [&](const sql_value_t* record) {
        Object object;
        const char* name = slot(record, 0)->string;
        object.name = keeper->text(name);
        value_of(&object, slot(record, 1));
        object.location = location_of(keeper, declaration_of(declarations, name != nullptr ? name : ""));
        objects->push_back(object);
    });
}

// The bytes a model of these records takes, about: what its first chunk of
// storage is made for, so that a large schema fills few chunks.
size_t storage_estimate(const program_output_t* output) {
    return 4096 + 2048 * count_of(&output->tables) + 1024 * count_of(&output->queries) +
           2048 * count_of(&output->plsql) + 512 * (count_of(&output->views) + count_of(&output->types));
}

size_t hash_position(std::string_view name, size_t mask) { return std::hash<std::string_view>{}(name)&mask; }

}  // namespace

void schema_model_build(schema_t* model, const program_output_t* output, const program_declarations_t* declarations) {
    *model = schema_t{};
    schema_storage_t* storage = storage_of(model);
    storage_grow(storage, storage_estimate(output));
    keeper_t keeper(model);
    auto sql_text = [&](auto* object, const sql_value_t* value) { object->sql = keeper.text(value); };
    simple_objects(&keeper, &model->types, &output->types, &declarations->types, sql_text);
    simple_objects(&keeper, &model->views, &output->views, &declarations->views, sql_text);
    simple_objects(&keeper, &model->sequences, &output->sequences, &declarations->sequences,
                   [](schema_sequence_t* sequence, const sql_value_t* value) { sequence->start = value->integer; });
    model->tables.reserve(count_of(&output->tables));
    for_each_item(&output->tables, [&](const sql_value_t* record) {
        model->tables.push_back(table_of(&keeper, record, &declarations->tables));
    });
    model->queries.reserve(count_of(&output->queries));
    for_each_item(&output->queries, [&](const sql_value_t* record) {
        model->queries.push_back(query_of(&keeper, record, &declarations->queries));
    });
    model->plsql.reserve(count_of(&output->plsql));
    for_each_item(&output->plsql, [&](const sql_value_t* record) {
        model->plsql.push_back(plsql_of(&keeper, record, &declarations->plsql));
    });
    schema_model_index(model);
}

int schema_model_load(schema_t* model, const char* filename) {
    *model = schema_t{};
    compiled_program_t program;
    int result = compile_program(&program, filename, handlers_builtin, COMPILE_TABLE_LINES);
    if (result == 0) {
        program_output_t output;
        program_declarations_t declarations;
        program_declarations_init(&declarations);
        builtin_declarations = &declarations;
        result = execute_program(&output, &program);
        builtin_declarations = nullptr;
        // The declarations name their files with the compiled program's
        // pathnames, so the program is kept until the model is made.
        if (result == 0) schema_model_build(model, &output, &declarations);
        compiled_program_shutdown(&program);
    }
    memory_pool_free_all();
    return result;
}

int schema_model_load(schema_t* model, const char* filename, diagnostic_sink_t sink) {
    const diagnostic_sink_scope_t scope(std::move(sink));
    return schema_model_load(model, filename);
}

std::string_view schema_keep_text(schema_t* model, std::string_view text) {
    return keeper_t(model).text(text.data(), text.size());
}

void* schema_storage_alloc(schema_t* model, size_t size, size_t alignment) {
    return storage_alloc(storage_of(model), size, alignment);
}

void schema_model_index(schema_t* model) {
    std::vector<uint32_t>& slots = model->table_index.slots;
    size_t capacity = 16;
    while (capacity < 2 * model->tables.size()) capacity *= 2;
    slots.assign(capacity, 0);
    for (size_t i = 0; i < model->tables.size(); ++i) {
        const std::string_view name = model->tables[i].name;
        for (size_t at = hash_position(name, capacity - 1);; at = (at + 1) & (capacity - 1)) {
            if (slots[at] == 0) {
                slots[at] = static_cast<uint32_t>(i + 1);
                break;
            }
            if (model->tables[slots[at] - 1].name == name) break;  // the first of equal names
        }
    }
}

size_t schema_table_position(const schema_t& model, std::string_view name) {
    const std::vector<uint32_t>& slots = model.table_index.slots;
    if (slots.empty()) return SIZE_MAX;
    const size_t mask = slots.size() - 1;
    for (size_t at = hash_position(name, mask); slots[at] != 0; at = (at + 1) & mask) {
        if (model.tables[slots[at] - 1].name == name) return slots[at] - 1;
    }
    return SIZE_MAX;
}

const schema_table_t* schema_find_table(const schema_t& model, std::string_view name) {
    const size_t position = schema_table_position(model, name);
    return position == SIZE_MAX ? nullptr : &model.tables[position];
}
