// Table engine against SQLite doing the same work in the same run:
//   append 100,000 records, read them back, sort 1,000,000 25-byte keys,
//   compile a key expression and evaluate it over 100,000 records.
// Each pair is printed side by side; compare the "xbase" and "sqlite" rows.
#include "xbase/expr4.h"
#include "xbase/expr4data.h"
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

const char* kKeyExpr = "UPPER(TRIM(NAME))+DTOS(BORN)";
const char* kKeySql = "SELECT upper(rtrim(name)) || born FROM p ORDER BY rowid";

const FIELD4INFO kPeople[] = {{"NAME", 'C', 25, 0}, {"BORN", 'D', 8, 0}, {nullptr, 0, 0, 0}};

std::string bornOf(int i) {
  char d[32];
  unsigned u = static_cast<unsigned>(i);
  std::snprintf(d, sizeof(d), "%04u%02u%02u", 1930 + u % 70, 1 + u % 12, 1 + u % 28);
  return d;
}

DATA4* peopleTable(CODE4* cb) {
  std::string path = scratchDir() + "/people.dbf";
  std::filesystem::remove(path);
  cb->exclusive = 1;
  DATA4* d = d4create(cb, path.c_str(), kPeople, nullptr);
  if (d == nullptr) std::abort();
  for (int i = 0; i < kRecords; ++i) {
    d4blank(d);
    std::string name = names()[static_cast<size_t>(i)].substr(0, 5 + i % 20);
    for (char& c : name) c = static_cast<char>(c + 32);
    f4assign(d4fieldByName(d, "NAME"), name.c_str());
    f4assign(d4fieldByName(d, "BORN"), bornOf(i).c_str());
    d4append(d);
  }
  return d;
}

sqlite3* peopleDb() {
  std::string path = scratchDir() + "/people.db";
  std::filesystem::remove(path);
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
  sqliteExec(db, "CREATE TABLE p(name TEXT, born TEXT)");
  sqliteExec(db, "BEGIN");
  sqlite3_stmt* st;
  sqlite3_prepare_v2(db, "INSERT INTO p VALUES(?,?)", -1, &st, nullptr);
  for (int i = 0; i < kRecords; ++i) {
    std::string name = names()[static_cast<size_t>(i)].substr(0, 5 + i % 20);
    for (char& c : name) c = static_cast<char>(c + 32);
    name.resize(25, ' ');
    std::string born = bornOf(i);
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, born.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqliteExec(db, "COMMIT");
  return db;
}

void BM_ExprCompile_xbase(benchmark::State& state) {
  CODE4 cb;
  code4init(&cb);
  DATA4* d = peopleTable(&cb);
  for (auto _ : state) {
    EXPR4* e = expr4parse(d, kKeyExpr);
    benchmark::DoNotOptimize(e);
    expr4free(e);
  }
  d4close(d);
  code4release(&cb);
  state.SetItemsProcessed(state.iterations());
}

void BM_ExprCompile_sqlite(benchmark::State& state) {
  sqlite3* db = peopleDb();
  for (auto _ : state) {
    sqlite3_stmt* st;
    sqlite3_prepare_v2(db, kKeySql, -1, &st, nullptr);
    benchmark::DoNotOptimize(st);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

void BM_ExprEval100k_xbase(benchmark::State& state) {
  CODE4 cb;
  code4init(&cb);
  DATA4* d = peopleTable(&cb);
  EXPR4* e = expr4parse(d, kKeyExpr);
  for (auto _ : state) {
    int64_t sum = 0;
    char* key;
    for (int n = 1; n <= kRecords; ++n) {
      d4go(d, n);
      int len = expr4key(e, &key);
      sum += len + key[0];
    }
    benchmark::DoNotOptimize(sum);
  }
  expr4free(e);
  d4close(d);
  code4release(&cb);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_ExprEval100k_sqlite(benchmark::State& state) {
  sqlite3* db = peopleDb();
  sqlite3_stmt* st;
  sqlite3_prepare_v2(db, kKeySql, -1, &st, nullptr);
  for (auto _ : state) {
    int64_t sum = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* key = sqlite3_column_text(st, 0);
      sum += sqlite3_column_bytes(st, 0) + key[0];
    }
    sqlite3_reset(st);
    benchmark::DoNotOptimize(sum);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

BENCHMARK(BM_Append100k_xbase)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Append100k_sqlite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read100k_xbase)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Read100k_sqlite)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Sort1M_xbase)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Sort1M_sqlite)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ExprCompile_xbase)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExprCompile_sqlite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExprEval100k_xbase)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ExprEval100k_sqlite)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(scratchDir(), ec);
  return 0;
}
