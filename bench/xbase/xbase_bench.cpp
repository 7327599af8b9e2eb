// Table engine against SQLite doing the same work in the same run:
//   append 100,000 records, read them back, sort 1,000,000 25-byte keys.
// Key expressions are measured in bench/xbase-expr.
// Each pair is printed side by side; compare the "xbase" and "sqlite" rows.
#include "xbase/sort.h"
#include "xbase/table.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRecords = 100000;
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

const FIELD4INFO kFields[] = {
    {"NAME", 'C', 25, 0}, {"NUMBER", 'N', 10, 0}, {"OK", 'L', 1, 0}, {nullptr, 0, 0, 0}};

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

void sqliteExec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

void sqliteFill(const std::string& path) {
  std::filesystem::remove(path);
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
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

void BM_Append100k_xbase(benchmark::State& state) {
  CODE4 cb;
  code4init(&cb);
  cb.exclusive = 1; // one writer, like the single SQLite transaction
  std::string path = scratchDir() + "/append.dbf";
  for (auto _ : state) xbaseFill(&cb, path);
  code4release(&cb);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Append100k_sqlite(benchmark::State& state) {
  std::string path = scratchDir() + "/append.db";
  for (auto _ : state) sqliteFill(path);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Read100k_xbase(benchmark::State& state) {
  CODE4 cb;
  code4init(&cb);
  std::string path = scratchDir() + "/read.dbf";
  cb.exclusive = 1;
  xbaseFill(&cb, path);
  cb.exclusive = 0;
  DATA4* d = d4open(&cb, path.c_str());
  FIELD4* name = d4fieldByName(d, "NAME");
  FIELD4* number = d4fieldByName(d, "NUMBER");
  FIELD4* ok = d4fieldByName(d, "OK");
  for (auto _ : state) {
    int64_t sum = 0;
    char buf[32];
    for (int rc = d4top(d); rc == 0; rc = d4go(d, d4recordNumber(d) + 1)) {
      f4copyTo(name, buf, sizeof(buf));
      sum += f4long(number) + (*f4ptr(ok) == 'T') + buf[0];
      if (d4recordNumber(d) == kRecords) break;
    }
    benchmark::DoNotOptimize(sum);
  }
  d4close(d);
  code4release(&cb);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Read100k_sqlite(benchmark::State& state) {
  std::string path = scratchDir() + "/read.db";
  sqliteFill(path);
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st;
  sqlite3_prepare_v2(db, "SELECT name, number, ok FROM t ORDER BY rowid", -1, &st, nullptr);
  for (auto _ : state) {
    int64_t sum = 0;
    char buf[32];
    while (sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(st, 0);
      std::memcpy(buf, text, 25);
      sum += sqlite3_column_int(st, 1) + sqlite3_column_int(st, 2) + buf[0];
    }
    sqlite3_reset(st);
    benchmark::DoNotOptimize(sum);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Sort1M_xbase(benchmark::State& state) {
  CODE4 cb;
  code4init(&cb);
  u4copyBounded(cb.tempDirectory, scratchDir().c_str(), sizeof(cb.tempDirectory));
  const char* k = keys().data();
  for (auto _ : state) {
    SORT4 s;
    sort4init(&s, &cb, kKeyLen, 0);
    for (int i = 0; i < kKeys; ++i) sort4put(&s, i + 1, k + static_cast<size_t>(i) * kKeyLen, nullptr);
    sort4getInit(&s);
    int32_t rec;
    void* key;
    int64_t sum = 0;
    while (sort4get(&s, &rec, &key, nullptr) == 0) sum += rec;
    benchmark::DoNotOptimize(sum);
  }
  code4release(&cb);
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_Sort1M_sqlite(benchmark::State& state) {
  const char* k = keys().data();
  std::string path = scratchDir() + "/sort.db";
  for (auto _ : state) {
    std::filesystem::remove(path);
    sqlite3* db;
    sqlite3_open(path.c_str(), &db);
    sqliteExec(db, "CREATE TABLE k(key BLOB, rec INTEGER)");
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
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

BENCHMARK(BM_Append100k_xbase)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Append100k_sqlite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read100k_xbase)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Read100k_sqlite)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Sort1M_xbase)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Sort1M_sqlite)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(scratchDir(), ec);
  return 0;
}
