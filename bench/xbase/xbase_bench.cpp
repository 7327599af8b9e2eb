// Table engine against SQLite doing the same work in the same run:
//   append 1,000,000 records (one writer: the engine's exclusive open, SQLite's one
//   transaction), read them back in order, sort 1,000,000 25-byte keys held in memory.
// Settings, the same on both sides: no journal and no sync (SQLite journal_mode=OFF,
// synchronous=OFF; the engine writes none), exclusive access (SQLite
// locking_mode=EXCLUSIVE), 8 MiB of cache each (the engine's block cache,
// SQLite's cache_size=-8192); the sort keeps everything in memory on both sides
// (SQLite :memory:, temp_store=MEMORY). Key expressions are measured in bench/xbase-expr.
// The SQLite rows carry the ratio engine / SQLite (below 1 the engine is faster);
// the engine's read row the read system calls per 1,024-byte block of the table.
#include "bench/support/read_calls.h"
#include "xbase/block_cache.h"
#include "xbase/sort.h"
#include "xbase/table.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRecords = 1000000;
constexpr int kKeys = 1000000;
constexpr int kKeyLen = 25;

std::string scratchDir() {
  static std::string dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "xbase-bench.XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr) std::abort();
    return std::string(buf.data());
  }();
  return dir;
}

const std::vector<std::string>& names() {
  static std::vector<std::string> v = [] {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> letter('A', 'Z');
    std::vector<std::string> out(kRecords);
    for (auto& s : out) {
      s.resize(25);
      for (char& c : s) c = static_cast<char>(letter(rng));
    }
    return out;
  }();
  return v;
}

const std::vector<char>& keys() {
  static std::vector<char> v = [] {
    std::mt19937 rng(2);
    std::uniform_int_distribution<int> byte('0', 'z');
    std::vector<char> out(static_cast<size_t>(kKeys) * kKeyLen);
    for (char& c : out) c = static_cast<char>(byte(rng));
    return out;
  }();
  return v;
}

void sqliteExec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

const FIELD4INFO kFields[] = {
    {"NAME", 'C', 25, 0}, {"NUMBER", 'N', 10, 0}, {"OK", 'L', 1, 0}, {nullptr, 0, 0, 0}};

constexpr int kCacheBytes = 8 << 20;

void engineSettings(CODE4* cb) {
  code4init(cb);
  cb->exclusive = 1;
  cb->cacheLimit = kCacheBytes;
  if (code4cacheStart(cb) != 0) std::abort();
}

// Seconds per iteration of the engine rows, for the SQLite rows' ratios.
double& engineSeconds(const char* what) {
  static std::map<std::string, double> seconds;
  return seconds[what];
}

void sqliteSettings(sqlite3* db) {
  sqliteExec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;"
                 "PRAGMA cache_size=-8192;");
}

void xbaseFill(CODE4* cb, const std::string& path) {
  std::filesystem::remove(path);
  DATA4* d = d4create(cb, path.c_str(), kFields, nullptr);
  if (d == nullptr) std::abort();
  FIELD4* name = d4fieldByName(d, "NAME");
  FIELD4* number = d4fieldByName(d, "NUMBER");
  FIELD4* ok = d4fieldByName(d, "OK");
  for (int i = 0; i < kRecords; ++i) {
    d4blank(d);
    f4assignN(name, names()[static_cast<size_t>(i)].data(), 25);
    f4assignLong(number, i);
    f4assign(ok, i % 2 ? "T" : "F");
    if (d4append(d) != 0) std::abort();
  }
  d4close(d);
}

void sqliteFill(const std::string& path) {
  std::filesystem::remove(path);
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
  sqliteSettings(db);
  sqliteExec(db, "CREATE TABLE t(name TEXT, number INTEGER, ok INTEGER)");
  sqliteExec(db, "BEGIN");
  sqlite3_stmt* st;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?,?)", -1, &st, nullptr);
  for (int i = 0; i < kRecords; ++i) {
    sqlite3_bind_text(st, 1, names()[static_cast<size_t>(i)].data(), 25, SQLITE_STATIC);
    sqlite3_bind_int(st, 2, i);
    sqlite3_bind_int(st, 3, i % 2);
    if (sqlite3_step(st) != SQLITE_DONE) std::abort();
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqliteExec(db, "COMMIT");
  sqlite3_close(db);
}

template <typename F>
double timed(benchmark::State& state, F&& work) {
  double total = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    work();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    total += s;
  }
  return total / static_cast<double>(state.iterations());
}

void ratio(benchmark::State& state, const char* what, double sqliteSeconds) {
  state.counters["ratio"] = sqliteSeconds > 0 ? engineSeconds(what) / sqliteSeconds : 0;
}

void BM_Append1M_xbase(benchmark::State& state) {
  CODE4 cb;
  engineSettings(&cb);
  std::string path = scratchDir() + "/append.dbf";
  engineSeconds("append") = timed(state, [&] { xbaseFill(&cb, path); });
  code4release(&cb);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Append1M_sqlite(benchmark::State& state) {
  std::string path = scratchDir() + "/append.db";
  ratio(state, "append", timed(state, [&] { sqliteFill(path); }));
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Read1M_xbase(benchmark::State& state) {
  CODE4 cb;
  engineSettings(&cb);
  std::string path = scratchDir() + "/read.dbf";
  xbaseFill(&cb, path);
  DATA4* d = d4open(&cb, path.c_str());
  FIELD4* name = d4fieldByName(d, "NAME");
  FIELD4* number = d4fieldByName(d, "NUMBER");
  FIELD4* ok = d4fieldByName(d, "OK");
  int64_t calls = 0;
  engineSeconds("read") = timed(state, [&] {
    const int64_t before = bench::readCalls();
    int64_t sum = 0;
    char buf[32];
    for (int rc = d4top(d); rc == 0; rc = d4go(d, d4recordNumber(d) + 1)) {
      f4copyTo(name, buf, sizeof(buf));
      sum += f4long(number) + (*f4ptr(ok) == 'T') + buf[0];
      if (d4recordNumber(d) == kRecords) break;
    }
    calls = bench::readCalls() - before;
    benchmark::DoNotOptimize(sum);
  });
  const double blocks = static_cast<double>(d4recordPosition(d, kRecords + 1)) / 1024;
  state.counters["reads_per_block"] = static_cast<double>(calls) / blocks;
  d4close(d);
  code4release(&cb);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Read1M_sqlite(benchmark::State& state) {
  std::string path = scratchDir() + "/read.db";
  sqliteFill(path);
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
  sqliteSettings(db);
  sqlite3_stmt* st;
  sqlite3_prepare_v2(db, "SELECT name, number, ok FROM t ORDER BY rowid", -1, &st, nullptr);
  ratio(state, "read", timed(state, [&] {
    int64_t sum = 0;
    char buf[32];
    while (sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(st, 0);
      std::memcpy(buf, text, 25);
      sum += sqlite3_column_int(st, 1) + sqlite3_column_int(st, 2) + buf[0];
    }
    sqlite3_reset(st);
    benchmark::DoNotOptimize(sum);
  }));
  sqlite3_finalize(st);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Sort1M_xbase(benchmark::State& state) {
  CODE4 cb;
  code4init(&cb);
  u4copyBounded(cb.tempDirectory, scratchDir().c_str(), sizeof(cb.tempDirectory));
  cb.sortMemoryLimit = int64_t{256} << 20;  // in memory, like SQLite's
  const char* k = keys().data();
  engineSeconds("sort") = timed(state, [&] {
    SORT4 s;
    sort4init(&s, &cb, kKeyLen, 0);
    for (int i = 0; i < kKeys; ++i) sort4put(&s, i + 1, k + static_cast<size_t>(i) * kKeyLen, nullptr);
    sort4getInit(&s);
    int32_t rec;
    void* key;
    int64_t sum = 0;
    while (sort4get(&s, &rec, &key, nullptr) == 0) sum += rec;
    sort4free(&s);
    benchmark::DoNotOptimize(sum);
  });
  code4release(&cb);
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_Sort1M_sqlite(benchmark::State& state) {
  const char* k = keys().data();
  ratio(state, "sort", timed(state, [&] {
    sqlite3* db;
    sqlite3_open(":memory:", &db);
    sqliteExec(db, "PRAGMA temp_store=MEMORY; CREATE TABLE k(key BLOB, rec INTEGER)");
    sqliteExec(db, "BEGIN");
    sqlite3_stmt* ins;
    sqlite3_prepare_v2(db, "INSERT INTO k VALUES(?,?)", -1, &ins, nullptr);
    for (int i = 0; i < kKeys; ++i) {
      sqlite3_bind_blob(ins, 1, k + static_cast<size_t>(i) * kKeyLen, kKeyLen, SQLITE_STATIC);
      sqlite3_bind_int(ins, 2, i + 1);
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqliteExec(db, "COMMIT");
    sqlite3_stmt* sel;
    sqlite3_prepare_v2(db, "SELECT key, rec FROM k ORDER BY key, rec", -1, &sel, nullptr);
    int64_t sum = 0;
    while (sqlite3_step(sel) == SQLITE_ROW) sum += sqlite3_column_int(sel, 1);
    sqlite3_finalize(sel);
    sqlite3_close(db);
    benchmark::DoNotOptimize(sum);
  }));
  state.SetItemsProcessed(state.iterations() * kKeys);
}

BENCHMARK(BM_Append1M_xbase)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_Append1M_sqlite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_Read1M_xbase)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_Read1M_sqlite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_Sort1M_xbase)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);
BENCHMARK(BM_Sort1M_sqlite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(scratchDir(), ec);
  return 0;
}
