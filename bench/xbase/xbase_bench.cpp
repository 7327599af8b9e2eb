// Table engine against SQLite doing the same work in the same run:
//   append 1,000,000 records (one writer: the engine's exclusive open, SQLite's one
//   transaction), read them back in order, sort 1,000,000 25-byte keys held in memory.
// Two tables: the phone book as the program creates it (its eleven fields and its
//   unique tag on PHONE over live records; SQLite: the same columns and a UNIQUE
//   index on phone), with the program's engine settings and its block cache as the
//   program starts it, the open exclusive; the same fields without the tag on either
//   side (what the rows alone cost); and a small three-field table without an index,
//   8 MiB of cache each side.
// Durability, the same on both sides: no journal and no sync (SQLite journal_mode=OFF,
// synchronous=OFF; the engine writes none), exclusive access (SQLite
// locking_mode=EXCLUSIVE), the same cache memory on both sides (SQLite's
// cache_size in KiB). The sort keeps everything in memory on both sides
// (SQLite :memory:, temp_store=MEMORY). Key expressions are measured in bench/xbase-expr.
// The SQLite rows carry the ratio engine / SQLite (below 1 the engine is faster);
// the engine's read rows the read system calls per 1,024-byte block of the table.
#include "bench/support/read_calls.h"
#include "settings/phone_book.h"
#include "xbase/block_cache.h"
#include "xbase/sort.h"
#include "xbase/table.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
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

const FIELD4INFO kSmallFields[] = {
    {"NAME", 'C', 25, 0}, {"NUMBER", 'N', 10, 0}, {"OK", 'L', 1, 0}, {nullptr, 0, 0, 0}};
const TAG4INFO kNoTags[] = {{nullptr, nullptr, nullptr, 0, 0}};

constexpr int kSmallCacheBytes = 8 << 20;

// Unique phone numbers in scattered order, so every key lands somewhere new.
std::string phoneOf(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0%010u",
                static_cast<unsigned>((static_cast<uint64_t>(i) * 2654435761u) % 4000000000u));
  return buf;
}

// One record of a table's contents, as both sides store it.
struct Row {
  std::string text[4];
  int64_t number[3];
  bool flag[4];
};

Row smallRow(int i) {
  Row r{};
  r.text[0] = names()[static_cast<size_t>(i)];
  r.number[0] = i;
  r.flag[0] = i % 2 != 0;
  return r;
}

Row phoneBookRow(int i) {
  Row r{};
  r.text[0] = phoneOf(i);
  r.text[1] = "Caller " + names()[static_cast<size_t>(i)].substr(0, 12);
  r.text[2] = "caller" + std::to_string(i) + "@example.org";
  r.text[3] = i % 5 == 0 ? phoneOf(i + 1) : std::string();
  r.number[0] = i % 3;
  r.number[1] = i % 4;
  r.number[2] = i % 17;
  r.flag[0] = i % 2 != 0;
  r.flag[1] = i % 3 == 0;
  r.flag[2] = i % 7 == 0;
  r.flag[3] = i % 11 == 0;
  return r;
}

// The same table without its index, on both sides: what the rows alone cost.
const char* const kPhoneBookTableOnly =
    "CREATE TABLE t(phone TEXT, name TEXT, email TEXT, passthroug TEXT, reject INTEGER,"
    " launch INTEGER, launchline INTEGER, launchcip INTEGER, privmsg INTEGER,"
    " rejectmsg INTEGER, rejectfax INTEGER)";
const std::string kPhoneBookTable =
    std::string(kPhoneBookTableOnly) + "; CREATE UNIQUE INDEX t_unique ON t(phone)";

struct Layout {
  const char* name;
  const FIELD4INFO* fields;
  const TAG4INFO* tags;
  // Field names in Row order: texts, numbers, flags; null where unused.
  const char* texts[4];
  const char* numbers[3];
  const char* flags[4];
  const char* sqliteCreate;
  const char* sqliteInsert;
  Row (*row)(int);
  bool programSettings;
};

const Layout kPhoneBook = {
    "phonebook",
    orvelin::settings::kPhoneBookFields,
    orvelin::settings::kPhoneBookTags,
    {"PHONE", "NAME", "EMAIL", "PASSTHROUG"},
    {"REJECT", "LAUNCHLINE", "LAUNCHCIP"},
    {"LAUNCH", "PRIVMSG", "REJECTMSG", "REJECTFAX"},
    kPhoneBookTable.c_str(),
    "INSERT INTO t VALUES(?1,?2,?3,?4,?5,?9,?6,?7,?10,?11,?12)",
    phoneBookRow,
    true,
};

const Layout kPhoneBookRowsOnly = {
    "phonebook-rows",
    orvelin::settings::kPhoneBookFields,
    kNoTags,
    {"PHONE", "NAME", "EMAIL", "PASSTHROUG"},
    {"REJECT", "LAUNCHLINE", "LAUNCHCIP"},
    {"LAUNCH", "PRIVMSG", "REJECTMSG", "REJECTFAX"},
    kPhoneBookTableOnly,
    "INSERT INTO t VALUES(?1,?2,?3,?4,?5,?9,?6,?7,?10,?11,?12)",
    phoneBookRow,
    true,
};

const Layout kSmall = {
    "small",
    kSmallFields,
    kNoTags,
    {"NAME", nullptr, nullptr, nullptr},
    {"NUMBER", nullptr, nullptr},
    {"OK", nullptr, nullptr, nullptr},
    "CREATE TABLE t(name TEXT, number INTEGER, ok INTEGER)",
    "INSERT INTO t VALUES(?1,?5,?9)",
    smallRow,
    false,
};

// The engine's settings for a layout; answers the cache memory, for SQLite's.
int engineSettings(CODE4* cb, const Layout& layout) {
  if (layout.programSettings) {
    if (orvelin::settings::applyProgramEngineSettings(cb) != 0 || !code4cacheRunning(cb)) std::abort();
    cb->exclusive = 1;
    return cb->cacheLimit;
  }
  code4init(cb);
  cb->exclusive = 1;
  cb->cacheLimit = kSmallCacheBytes;
  if (code4cacheStart(cb) != 0) std::abort();
  return kSmallCacheBytes;
}

// Median seconds of a row's iterations: elapsed, and this thread's processor
// time (on a busy machine the elapsed time also holds the waits for a processor).
struct Seconds {
  double wall = 0;
  double cpu = 0;
};

// The engine rows' figures, for the SQLite rows' ratios.
Seconds& engineSeconds(const std::string& what) {
  static std::map<std::string, Seconds> seconds;
  return seconds[what];
}

void sqliteSettings(sqlite3* db, int cacheBytes) {
  sqliteExec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;");
  sqliteExec(db, ("PRAGMA cache_size=-" + std::to_string(cacheBytes / 1024)).c_str());
}

// The rows are made before the clock starts on both sides.
const std::vector<Row>& rows(const Layout& layout) {
  static std::map<Row (*)(int), std::vector<Row>> made;  // layouts with one row kind share them
  std::vector<Row>& v = made[layout.row];
  if (v.empty()) {
    v.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) v.push_back(layout.row(i));
  }
  return v;
}

void xbaseFill(CODE4* cb, const Layout& layout, const std::string& path) {
  std::filesystem::remove(path);
  std::filesystem::remove(std::filesystem::path(path).replace_extension(".mdx"));
  DATA4* d = d4create(cb, path.c_str(), layout.fields, layout.tags);
  if (d == nullptr) std::abort();
  FIELD4* text[4] = {};
  FIELD4* number[3] = {};
  FIELD4* flag[4] = {};
  for (int k = 0; k < 4; ++k)
    if (layout.texts[k] != nullptr) text[k] = d4fieldByName(d, layout.texts[k]);
  for (int k = 0; k < 3; ++k)
    if (layout.numbers[k] != nullptr) number[k] = d4fieldByName(d, layout.numbers[k]);
  for (int k = 0; k < 4; ++k)
    if (layout.flags[k] != nullptr) flag[k] = d4fieldByName(d, layout.flags[k]);
  const std::vector<Row>& all = rows(layout);
  for (const Row& r : all) {
    d4blank(d);
    for (int k = 0; k < 4; ++k)
      if (text[k] != nullptr) f4assignN(text[k], r.text[k].data(), r.text[k].size());
    for (int k = 0; k < 3; ++k)
      if (number[k] != nullptr) f4assignLong(number[k], r.number[k]);
    for (int k = 0; k < 4; ++k)
      if (flag[k] != nullptr) f4assign(flag[k], r.flag[k] ? "T" : "F");
    if (d4append(d) != 0) std::abort();
  }
  if (d4close(d) != 0) std::abort();
}

void sqliteFill(const Layout& layout, int cacheBytes, const std::string& path, const char* create = nullptr) {
  std::filesystem::remove(path);
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
  sqliteSettings(db, cacheBytes);
  sqliteExec(db, create != nullptr ? create : layout.sqliteCreate);
  sqliteExec(db, "BEGIN");
  sqlite3_stmt* st;
  if (sqlite3_prepare_v2(db, layout.sqliteInsert, -1, &st, nullptr) != SQLITE_OK) std::abort();
  const std::vector<Row>& all = rows(layout);
  for (const Row& r : all) {
    for (int k = 0; k < 4; ++k)
      if (layout.texts[k] != nullptr)
        sqlite3_bind_text(st, 1 + k, r.text[k].data(), static_cast<int>(r.text[k].size()), SQLITE_STATIC);
    for (int k = 0; k < 3; ++k)
      if (layout.numbers[k] != nullptr) sqlite3_bind_int64(st, 5 + k, r.number[k]);
    for (int k = 0; k < 4; ++k)
      if (layout.flags[k] != nullptr) sqlite3_bind_int(st, 9 + k, r.flag[k] ? 1 : 0);
    if (sqlite3_step(st) != SQLITE_DONE) std::abort();
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqliteExec(db, "COMMIT");
  sqlite3_close(db);
}

double threadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

template <typename F>
Seconds timed(benchmark::State& state, F&& work) {
  std::vector<double> wall, cpu;
  for (auto _ : state) {
    const double c0 = threadSeconds();
    auto t0 = std::chrono::steady_clock::now();
    work();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu.push_back(threadSeconds() - c0);
    state.SetIterationTime(s);
    wall.push_back(s);
  }
  return Seconds{median(wall), median(cpu)};
}

void ratio(benchmark::State& state, const std::string& what, Seconds sqlite) {
  const Seconds engine = engineSeconds(what);
  state.counters["ratio"] = sqlite.wall > 0 ? engine.wall / sqlite.wall : 0;
  state.counters["ratio_cpu"] = sqlite.cpu > 0 ? engine.cpu / sqlite.cpu : 0;
}

// The cache memory the engine had for a layout, for SQLite's.
int& cacheBytesOf(const Layout& layout) {
  static std::map<const Layout*, int> bytes;
  return bytes[&layout];
}

void appendXbase(benchmark::State& state, const Layout& layout) {
  rows(layout);
  CODE4 cb;
  cacheBytesOf(layout) = engineSettings(&cb, layout);
  std::string path = scratchDir() + "/append-" + layout.name + ".dbf";
  engineSeconds(std::string("append-") + layout.name) = timed(state, [&] { xbaseFill(&cb, layout, path); });
  code4release(&cb);
  state.counters["cache_bytes"] = cacheBytesOf(layout);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void appendSqlite(benchmark::State& state, const Layout& layout, const char* create = nullptr) {
  rows(layout);
  std::string path = scratchDir() + "/append-" + layout.name + ".db";
  ratio(state, std::string("append-") + layout.name,
        timed(state, [&] { sqliteFill(layout, cacheBytesOf(layout), path, create); }));
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void readXbase(benchmark::State& state, const Layout& layout) {
  CODE4 cb;
  cacheBytesOf(layout) = engineSettings(&cb, layout);
  std::string path = scratchDir() + "/read-" + layout.name + ".dbf";
  xbaseFill(&cb, layout, path);
  DATA4* d = d4open(&cb, path.c_str());
  if (d == nullptr) std::abort();
  FIELD4* text = d4fieldByName(d, layout.texts[0]);
  FIELD4* number = d4fieldByName(d, layout.numbers[0]);
  FIELD4* flag = d4fieldByName(d, layout.flags[0]);
  int64_t calls = 0;
  engineSeconds(std::string("read-") + layout.name) = timed(state, [&] {
    const int64_t before = bench::readCalls();
    int64_t sum = 0;
    char buf[32];
    for (int rc = d4top(d); rc == 0; rc = d4go(d, d4recordNumber(d) + 1)) {
      f4copyTo(text, buf, sizeof(buf));
      sum += f4long(number) + (*f4ptr(flag) == 'T') + buf[0];
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

void readSqlite(benchmark::State& state, const Layout& layout) {
  std::string path = scratchDir() + "/read-" + layout.name + ".db";
  sqliteFill(layout, cacheBytesOf(layout), path);
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
  sqliteSettings(db, cacheBytesOf(layout));
  sqlite3_stmt* st;
  const std::string select = std::string("SELECT ") + layout.texts[0] + ", " + layout.numbers[0] + ", " +
                             layout.flags[0] + " FROM t ORDER BY rowid";
  if (sqlite3_prepare_v2(db, select.c_str(), -1, &st, nullptr) != SQLITE_OK) std::abort();
  ratio(state, std::string("read-") + layout.name, timed(state, [&] {
    int64_t sum = 0;
    char buf[32];
    while (sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(st, 0);
      std::snprintf(buf, sizeof buf, "%s", reinterpret_cast<const char*>(text));
      sum += sqlite3_column_int(st, 1) + sqlite3_column_int(st, 2) + buf[0];
    }
    sqlite3_reset(st);
    benchmark::DoNotOptimize(sum);
  }));
  sqlite3_finalize(st);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_AppendPhoneBook1M_xbase(benchmark::State& state) { appendXbase(state, kPhoneBook); }
void BM_AppendPhoneBook1M_sqlite(benchmark::State& state) { appendSqlite(state, kPhoneBook); }
void BM_AppendPhoneBookRows1M_xbase(benchmark::State& state) { appendXbase(state, kPhoneBookRowsOnly); }
void BM_AppendPhoneBookRows1M_sqlite(benchmark::State& state) { appendSqlite(state, kPhoneBookRowsOnly); }
void BM_AppendSmall1M_xbase(benchmark::State& state) { appendXbase(state, kSmall); }
void BM_AppendSmall1M_sqlite(benchmark::State& state) { appendSqlite(state, kSmall); }
void BM_ReadPhoneBook1M_xbase(benchmark::State& state) { readXbase(state, kPhoneBook); }
void BM_ReadPhoneBook1M_sqlite(benchmark::State& state) { readSqlite(state, kPhoneBook); }
void BM_ReadSmall1M_xbase(benchmark::State& state) { readXbase(state, kSmall); }
void BM_ReadSmall1M_sqlite(benchmark::State& state) { readSqlite(state, kSmall); }

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

BENCHMARK(BM_AppendPhoneBook1M_xbase)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_AppendPhoneBook1M_sqlite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_AppendPhoneBookRows1M_xbase)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_AppendPhoneBookRows1M_sqlite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_AppendSmall1M_xbase)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_AppendSmall1M_sqlite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_ReadPhoneBook1M_xbase)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_ReadPhoneBook1M_sqlite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_ReadSmall1M_xbase)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_ReadSmall1M_sqlite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
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
