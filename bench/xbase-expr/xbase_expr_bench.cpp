// Index-key expressions: compiled per second and evaluated per record over 100,000
// records, next to SQLite compiling and evaluating the same expression on the same data.
//
//   engine: UPPER(TRIM(NAME))+DTOS(BORN)        over a .dbf table (d4go + expr4key), and
//           the same with the records already in memory (the expression's own cost)
//   SQLite: upper(rtrim(name)) || born           over a table in a database file
// Compiling: SQLite compiles a whole statement, never an expression alone, so its
// row times "SELECT <expression> FROM people" and "SELECT name, born FROM people" in
// turn and reports the difference (the expression's own share) and the ratio
// engine / that share.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "xbase/engine.h"
#include "xbase/expression_tables.h"
#include "xbase/table.h"

namespace {

constexpr int records = 100000;
const char* const engineKey = "UPPER(TRIM(NAME))+DTOS(BORN)";
const char* const sqliteKey = "SELECT upper(rtrim(name)) || born FROM people";

struct Data {
    std::string dir;
    CODE4 cb{};
    DATA4* table = nullptr;
    sqlite3* db = nullptr;

    Data() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/xbase-expr-bench.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        dir = pattern;
        code4init(&cb);
        cb.exclusive = 1;
        static const FIELD4INFO fields[] = {{"NAME", 'C', 20, 0}, {"BORN", 'D', 8, 0}, {nullptr, 0, 0, 0}};
        table = d4create(&cb, (dir + "/people.dbf").c_str(), fields, nullptr);
        if (table == nullptr) std::abort();
        if (sqlite3_open((dir + "/people.db").c_str(), &db) != SQLITE_OK) std::abort();
        sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                         "CREATE TABLE people(name TEXT, born TEXT); BEGIN;",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO people VALUES(?, ?)", -1, &insert, nullptr);
        char name[21], born[9];
        for (int i = 0; i < records; ++i) {
            std::snprintf(name, sizeof name, "name%07d smith", i);
            std::snprintf(born, sizeof born, "%04d%02d%02d", 1900 + i % 120, 1 + i % 12, 1 + i % 28);
            d4blank(table);
            f4assign(d4fieldByName(table, "NAME"), name);
            f4assign(d4fieldByName(table, "BORN"), born);
            if (d4append(table) != 0) std::abort();
            // SQLite gets the field as the table holds it: blank padded.
            std::string padded(name);
            padded.resize(20, ' ');
            sqlite3_bind_text(insert, 1, padded.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 2, born, -1, SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        d4flush(table);
    }
    ~Data() {
        sqlite3_close(db);
        code4closeAll(&cb);
        code4release(&cb);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Data& data() {
    static Data d;
    return d;
}

double g_engineCompileNs = 0;

void EngineCompile(benchmark::State& state) {
    Data& d = data();
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        EXPR4* e = expr4parseData(d.table, engineKey);
        benchmark::DoNotOptimize(e);
        expr4free(e);
    }
    g_engineCompileNs = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
                        static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}

double prepareNs(sqlite3* db, const char* sql, int times) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < times; ++i) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
        benchmark::DoNotOptimize(s);
        sqlite3_finalize(s);
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / times;
}

void SqliteCompile(benchmark::State& state) {
    Data& d = data();
    double full = 0, bare = 0;
    int rounds = 0;
    for (auto _ : state) {
        full += prepareNs(d.db, sqliteKey, 200);
        bare += prepareNs(d.db, "SELECT name, born FROM people", 200);
        ++rounds;
    }
    const double share = (full - bare) / rounds;
    state.counters["sqlite_statement_ns"] = full / rounds;
    state.counters["sqlite_expression_ns"] = share;
    state.counters["ratio"] = share > 0 ? g_engineCompileNs / share : 0;
    state.SetItemsProcessed(state.iterations() * 200);
}

void EngineEvaluateAll(benchmark::State& state) {
    Data& d = data();
    EXPR4* e = expr4parseData(d.table, engineKey);
    size_t bytes = 0;
    for (auto _ : state) {
        for (int32_t r = 1; r <= records; ++r) {
            d4go(d.table, r);
            char* key = nullptr;
            bytes += size_t(expr4key(e, &key));
            benchmark::DoNotOptimize(key);
        }
    }
    expr4free(e);
    if (bytes == 0) state.SkipWithError("no keys");
    state.SetItemsProcessed(state.iterations() * records);
}

// The expression alone: records copied into the record buffer from memory, no file reads.
void EngineEvaluateOnly(benchmark::State& state) {
    Data& d = data();
    const size_t width = size_t(d.table->recordLen);
    std::string all(width * records, ' ');
    for (int32_t r = 1; r <= records; ++r)
        if (d4readRecord(d.table, r, all.data() + width * size_t(r - 1)) != 0) std::abort();
    EXPR4* e = expr4parseData(d.table, engineKey);
    size_t bytes = 0;
    for (auto _ : state) {
        for (int32_t r = 0; r < records; ++r) {
            std::memcpy(d.table->record, all.data() + width * size_t(r), width);
            char* key = nullptr;
            bytes += size_t(expr4key(e, &key));
            benchmark::DoNotOptimize(key);
        }
    }
    expr4free(e);
    if (bytes == 0) state.SkipWithError("no keys");
    state.SetItemsProcessed(state.iterations() * records);
}

void SqliteEvaluateAll(benchmark::State& state) {
    Data& d = data();
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(d.db, sqliteKey, -1, &s, nullptr);
    size_t bytes = 0;
    for (auto _ : state) {
        while (sqlite3_step(s) == SQLITE_ROW) {
            const unsigned char* key = sqlite3_column_text(s, 0);
            bytes += size_t(sqlite3_column_bytes(s, 0));
            benchmark::DoNotOptimize(key);
        }
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    if (bytes == 0) state.SkipWithError("no keys");
    state.SetItemsProcessed(state.iterations() * records);
}

BENCHMARK(EngineCompile);
BENCHMARK(SqliteCompile);
BENCHMARK(EngineEvaluateAll)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineEvaluateOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(SqliteEvaluateAll)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
