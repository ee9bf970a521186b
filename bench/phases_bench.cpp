// The three phases of a run on a generated schema of N tables (the shape of
// bench/generate.py, with every table linked to the one before it): compile
// (scanner, grammar, program building), run (statements and fix-up) and
// write (the PHP writer, into /dev/null); and the scanner alone, which the
// whole-process profile shows as a quarter of the compile phase.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "compile.hpp"
#include "definition_scanner.hpp"
#include "dump_php.hpp"
#include "execute.hpp"
#include "input_file.hpp"
#include "memory_pool.hpp"

namespace {

std::string schema(int tables) {
    std::string text =
        "type id_t = \"INTEGER\";\ntype name_t = \"VARCHAR(\" . \"64\" . \")\";\ntype text_t = \"TEXT\";\n"
        "type money_t = \"NUMERIC(12,2)\";\ntype flag_t = \"BOOLEAN\";\n"
        "function quoted($name) = \"\\\"\" . $name . \"\\\"\";\n"
        "function column($alias, $name) = $alias . \".\" . quoted($name);\n";
    for (int i = 0; i < tables; ++i) {
        const std::string name = "item" + std::to_string(i);
        const std::string parent = "item" + std::to_string(i > 0 ? i - 1 : 0);
        const std::string child = "item" + std::to_string(i + 1 < tables ? i + 1 : i);
        text += "table " + name + " {\n    primary id_t id [incoming: " + child +
                "];\n    index name_t code;\n    name_t title;\n    text_t *notes;\n    id_t quantity;\n"
                "    money_t price;\n    flag_t active;\n    id_t parent_id [outgoing: " +
                parent + "];\n} = {\n    { \"1\", \"code-" + name +
                "\", \"First\", null, \"10\", \"12.50\", \"t\", \"1\" },\n"
                "    { \"2\", \"b\", \"\\\"quoted\\\"\", \"$2\", \"20\", \"0.99\", \"f\", \"1\" }\n};\n";
        if (i % 10 == 0) {
            text += "view summary" + std::to_string(i) +
                    " = \"SELECT \" . column(\"t\", \"id\") . \" FROM \" . quoted(\"" + name + "\");\n";
            text += "query lookup" + std::to_string(i) + " = \"SELECT id{FIELD:id_t} FROM " + name +
                    " WHERE id = {ESC:1} ORDER BY {RAW:2}\";\n";
        }
        if (i % 20 == 0) {
            text += "plsql [id_t] children" + std::to_string(i) +
                    " (id_t p_parent) (id_t v_id;) = \"BEGIN RETURN; END;\";\n";
        }
    }
    return text;
}

// The schema of `tables` tables in a temporary file, removed at exit.
class schema_file_t {
public:
    explicit schema_file_t(int tables) {
        char pattern[] = "/tmp/tabula-bench-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        path_ = pattern;
        const std::string text = schema(tables);
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
        close(fd);
    }
    ~schema_file_t() { std::remove(path_.c_str()); }
    schema_file_t(const schema_file_t&) = delete;
    schema_file_t& operator=(const schema_file_t&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

void release_all() {
    memory_pool_free_all();
    input_file_forget_all();
}

void compile_or_abort(compiled_program_t* program, const char* path) {
    if (compile_program(program, path, handlers_builtin, COMPILE_NO_LINES) != 0) std::abort();
}

// Every token of the schema, each value released as soon as it is read.
void BM_Scan(benchmark::State& state) {
    const schema_file_t file(static_cast<int>(state.range(0)));
    int64_t tokens = 0;
    for (auto _ : state) {
        FILE* in = std::fopen(file.path(), "r");
        def_scanner_t* scanner = nullptr;
        if (in == nullptr || deflex_init(&scanner) != 0) std::abort();
        defset_in(in, scanner);
        defset_pathname("bench.def", scanner);
        for (;;) {
            sql_node_t value{};
            if (deflex(&value, scanner) == 0) break;
            if (value.type == NODE_VALUE || value.type == NODE_VARIABLE) node_shutdown(&value);
            ++tokens;
        }
        deflex_destroy(scanner);
        std::fclose(in);
    }
    release_all();
    state.SetItemsProcessed(tokens);
}
BENCHMARK(BM_Scan)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_Compile(benchmark::State& state) {
    const schema_file_t file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        compiled_program_t program;
        compile_or_abort(&program, file.path());
        compiled_program_shutdown(&program);
        release_all();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Compile)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_Run(benchmark::State& state) {
    const schema_file_t file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        compiled_program_t program;
        compile_or_abort(&program, file.path());
        state.ResumeTiming();
        program_output_t output;
        if (execute_program(&output, &program) != 0) std::abort();
        state.PauseTiming();
        program_output_shutdown(&output);
        compiled_program_shutdown(&program);
        release_all();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Run)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_Write(benchmark::State& state) {
    const schema_file_t file(static_cast<int>(state.range(0)));
    compiled_program_t program;
    compile_or_abort(&program, file.path());
    program_output_t output;
    if (execute_program(&output, &program) != 0) std::abort();
    compiled_program_shutdown(&program);
    FILE* sink = std::fopen("/dev/null", "w");
    if (sink == nullptr) std::abort();
    for (auto _ : state) {
        dump_php_code(sink, &output);
    }
    std::fclose(sink);
    program_output_shutdown(&output);
    release_all();
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Write)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
