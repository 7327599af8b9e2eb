// Index files next to SQLite in the same run, on the same 1,000,000 records:
//   build:  i4create of one character tag (sort + sequential write)   vs  CREATE INDEX
//   seek:   100,000 d4seek of existing keys (record read included)    vs  indexed SELECT
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "xbase/engine.h"
#include "xbase/index.h"
#include "xbase/table.h"

namespace {

constexpr int records = 1000000;
constexpr int seeks = 100000;

std::string phoneOf(int i) {
  // Scattered order, so the sort has work to do.
  char buf[16];
  std::snprintf(buf, sizeof buf, "0%010u", static_cast<unsigned>((static_cast<uint64_t>(i) * 2654435761u) % 4000000000u));
  return buf;
}

struct Data {
  std::string dir;
  CODE4 cb{};
  DATA4* table = nullptr;
  sqlite3* db = nullptr;
  std::vector<std::string> probes;

  Data() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/xbase-index-bench.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    code4init(&cb);
    cb.exclusive = 1;
    cb.safety = 0;
    static const FIELD4INFO fields[] = {{"PHONE", 'C', 12, 0}, {"NAME", 'C', 20, 0}, {nullptr, 0, 0, 0}};
    std::string dbf = dir + "/book.dbf";
    table = d4create(&cb, dbf.c_str(), fields, nullptr);
    if (table == nullptr) std::abort();
    d4close(table);
    // Records are written straight into the file: loading is not what is measured.
    std::string bytes;
    {
      std::ifstream in(dbf, std::ios::binary);
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const size_t headerLen = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
    bytes.resize(headerLen);
    bytes.reserve(headerLen + static_cast<size_t>(records) * 33 + 1);
    if (sqlite3_open((dir + "/book.db").c_str(), &db) != SQLITE_OK) std::abort();
    sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                     "CREATE TABLE book(phone TEXT, name TEXT); BEGIN;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO book VALUES(?, ?)", -1, &insert, nullptr);
    for (int i = 0; i < records; ++i) {
      std::string phone = phoneOf(i);
      std::string rec = " " + phone + " ";
      char name[21];
      std::snprintf(name, sizeof name, "caller %-13d", i);
      rec += name;
      bytes += rec;
      sqlite3_bind_text(insert, 1, (phone + " ").c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 2, name, -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    bytes += '\x1a';
    for (int b = 0; b < 4; ++b) bytes[4 + static_cast<size_t>(b)] = static_cast<char>(records >> (8 * b));
    {
      std::ofstream out(dbf, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    table = d4open(&cb, dbf.c_str());
    if (table == nullptr) std::abort();
    std::mt19937 rng(7);
    for (int i = 0; i < seeks; ++i) probes.push_back(phoneOf(static_cast<int>(rng() % records)) + " ");
  }
  ~Data() {
    d4close(table);
    code4release(&cb);
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
  }
};

Data& data() {
  static Data d;
  return d;
}

const TAG4INFO tags[] = {{"PHONE", "PHONE", nullptr, 0, 0}, {nullptr, nullptr, nullptr, 0, 0}};

void BM_EngineBuildIndex(benchmark::State& state) {
  Data& d = data();
  for (auto _ : state) {
    i4closeAll(d.table);
    INDEX4* ix = i4create(d.table, (d.dir + "/build").c_str(), tags);
    if (ix == nullptr) std::abort();
  }
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_EngineBuildIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_SqliteCreateIndex(benchmark::State& state) {
  Data& d = data();
  for (auto _ : state) {
    sqlite3_exec(d.db, "DROP INDEX IF EXISTS byphone;", nullptr, nullptr, nullptr);
    if (sqlite3_exec(d.db, "CREATE INDEX byphone ON book(phone);", nullptr, nullptr, nullptr) != SQLITE_OK)
      std::abort();
  }
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_SqliteCreateIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_EngineSeek(benchmark::State& state) {
  Data& d = data();
  if (d.table->indexes.count == 0 && i4create(d.table, (d.dir + "/build").c_str(), tags) == nullptr) std::abort();
  d4tagSelect(d.table, d4tagByName(d.table, "PHONE"));
  for (auto _ : state) {
    int found = 0;
    for (const std::string& p : d.probes) found += d4seek(d.table, p.c_str()) == 0;
    if (found != seeks) std::abort();
  }
  state.SetItemsProcessed(state.iterations() * seeks);
}
BENCHMARK(BM_EngineSeek)->Unit(benchmark::kMillisecond);

void BM_SqliteSeek(benchmark::State& state) {
  Data& d = data();
  sqlite3_exec(d.db, "CREATE INDEX IF NOT EXISTS byphone ON book(phone);", nullptr, nullptr, nullptr);
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(d.db, "SELECT rowid, name FROM book WHERE phone = ?", -1, &q, nullptr);
  for (auto _ : state) {
    int found = 0;
    for (const std::string& p : d.probes) {
      sqlite3_bind_text(q, 1, p.c_str(), -1, SQLITE_STATIC);
      found += sqlite3_step(q) == SQLITE_ROW;
      sqlite3_reset(q);
    }
    if (found != seeks) std::abort();
  }
  sqlite3_finalize(q);
  state.SetItemsProcessed(state.iterations() * seeks);
}
BENCHMARK(BM_SqliteSeek)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
