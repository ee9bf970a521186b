// The container and the allocations under every value: small records read
// slot by slot, large collections of similar names, deep copies of a table
// record, and the pool's allocate and release.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "hash.hpp"
#include "memory_pool.hpp"
#include "sql_value.hpp"

namespace {

sql_value_t text(const char* string) {
    sql_value_t value;
    value_init_string_copy(&value, string);
    return value;
}

sql_value_t number(int32_t integer) {
    sql_value_t value;
    value_init_integer(&value, integer);
    return value;
}

void push(sql_value_t* array, sql_value_t value) { value_push(array, &value); }

// A table record as the built-ins store it: name, volatile flag, eight field
// records of five slots (two with a link), and two rows of eight values.
sql_value_t table_record() {
    sql_value_t record;
    value_init_array(&record);
    push(&record, text("item123"));
    push(&record, number(0));
    sql_value_t fields;
    value_init_array(&fields);
    const char* names[] = {"id", "code", "title", "notes", "quantity", "price", "active", "parent_id"};
    for (int i = 0; i < 8; ++i) {
        sql_value_t field;
        value_init_array(&field);
        push(&field, text(names[i]));
        push(&field, text("id_t"));
        push(&field, number(i == 3));
        push(&field, number(i == 0 ? 2 : 0));
        sql_value_t links;
        value_init_array(&links);
        if (i == 0 || i == 7) {
            sql_value_t link;
            value_init_array(&link);
            push(&link, text("item122"));
            push(&link, number(i == 7));
            value_push(&links, &link);
        }
        value_push(&field, &links);
        value_push(&fields, &field);
    }
    value_push(&record, &fields);
    sql_value_t rows;
    value_init_array(&rows);
    for (int r = 0; r < 2; ++r) {
        sql_value_t row;
        value_init_array(&row);
        for (int i = 0; i < 8; ++i) push(&row, text("code-123-a"));
        value_push(&rows, &row);
    }
    value_push(&record, &rows);
    return record;
}

// Reading every slot of a five-slot record, as the writer and the built-ins do.
void BM_RecordSlots(benchmark::State& state) {
    sql_value_t record;
    value_init_array(&record);
    for (int i = 0; i < 5; ++i) push(&record, number(i));
    for (auto _ : state) {
        for (int32_t slot = 0; slot < 5; ++slot) benchmark::DoNotOptimize(value_slot(&record, slot));
    }
    state.SetItemsProcessed(state.iterations() * 5);
    value_shutdown(&record);
}
BENCHMARK(BM_RecordSlots);

// Building and releasing a list of N pushed values.
void BM_PushList(benchmark::State& state) {
    const auto count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        sql_value_t list;
        value_init_array(&list);
        for (int i = 0; i < count; ++i) push(&list, number(i));
        value_shutdown(&list);
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_PushList)->Arg(5)->Arg(8)->Arg(1000);

// A collection of N tables named item0, item1, ...: their byte sums crowd a
// few chains. Each iteration adds every name, finds every name and one
// absent name per name, then releases the table.
void BM_SimilarNames(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    std::vector<std::string> names;
    std::vector<std::string> absent;
    for (size_t i = 0; i < count; ++i) {
        names.push_back("item" + std::to_string(i));
        absent.push_back("view" + std::to_string(i));
    }
    for (auto _ : state) {
        hash_table_t table;
        _hash_init(&table, HASH_CHAINS, nullptr);
        int data = 0;
        for (const std::string& name : names) _hash_add_string(&table, name.c_str(), &data, sizeof data, nullptr);
        for (size_t i = 0; i < count; ++i) {
            benchmark::DoNotOptimize(hash_find_string(&table, names[i].c_str()));
            benchmark::DoNotOptimize(hash_find_string(&table, absent[i].c_str()));
        }
        hash_shutdown(&table);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
}
BENCHMARK(BM_SimilarNames)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// One deep copy of a table record and its release: what every constant read
// and every stored record costs.
void BM_DeepCopyTableRecord(benchmark::State& state) {
    sql_value_t record = table_record();
    for (auto _ : state) {
        sql_value_t copy;
        value_deep_copy(&copy, &record);
        value_shutdown(&copy);
    }
    value_shutdown(&record);
}
BENCHMARK(BM_DeepCopyTableRecord);

// Allocating 64 small blocks and releasing them in allocation order.
void BM_PoolAllocFree(benchmark::State& state) {
    void* blocks[64];
    for (auto _ : state) {
        for (size_t i = 0; i < 64; ++i) blocks[i] = memory_pool_alloc(16 + (i % 4) * 16);
        for (void* block : blocks) memory_pool_free(block);
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_PoolAllocFree);

}  // namespace
