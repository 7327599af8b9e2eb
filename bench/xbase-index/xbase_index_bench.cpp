// Index files next to SQLite in the same run, on the same 1,000,000 records:
//   build:  i4create of one character tag (sort + sequential write)   vs  CREATE INDEX
//   seek:   100,000 exact seeks of existing keys, the record's name read, both sides warm,
//           both with the same memory for their caches (128 MiB: the engine's block cache,
//           SQLite's page cache, cache_size=-131072):
//     exclusive: the engine's exclusive open   vs  SQLite, locking_mode=EXCLUSIVE
//     shared:    the program's own settings (exclusive 0, lock attempts 1, cacheMode 1,
//                cacheReread 1, only the index cached: cacheIndexesOnly)
//                                              vs  SQLite, locking_mode=NORMAL (autocommit),
//                                                  and again with locking_mode=EXCLUSIVE
//   SQLite runs with journal_mode=OFF and synchronous=OFF throughout, as the engine
//   writes no journal and does not sync. The two sides take turns of 1,000 probes.
//   The seek pairs report p50 and p99 per seek for both sides and their ratios
//   (engine / SQLite; below 1 the engine is faster), and the engine's read system
//   calls per seek (/proc/self/io, counted over a pass of its own).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/support/read_calls.h"
#include "settings/phone_book.h"
#include "xbase/block_cache.h"
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

// Nanoseconds of each probe, p50 and p99.
struct Latency {
  std::vector<double> ns;
  double at(double q) {
    std::sort(ns.begin(), ns.end());
    return ns.empty() ? 0 : ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))];
  }
};

template <typename F>
double timeOne(const std::string& probe, F& seek) {
  auto t0 = std::chrono::steady_clock::now();
  if (!seek(probe)) std::abort();
  auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count();
}

// The sides take turns, a thousand probes each (a few milliseconds), so that
// what the machine does meanwhile (other processes, the host's interruptions)
// falls on both alike and the tails compare; within a turn each side keeps its
// own memory warm in the processor's caches, as it would seeking alone.
template <typename E, typename S>
void timeBoth(const std::vector<std::string>& probes, E&& engine, S&& sqlite, Latency& e, Latency& s) {
  constexpr size_t turn = 1000;
  e.ns.clear();
  s.ns.clear();
  e.ns.reserve(probes.size());
  s.ns.reserve(probes.size());
  for (size_t from = 0; from < probes.size(); from += turn) {
    const size_t to = std::min(probes.size(), from + turn);
    for (size_t i = from; i < to; ++i) e.ns.push_back(timeOne(probes[i], engine));
    for (size_t i = from; i < to; ++i) s.ns.push_back(timeOne(probes[i], sqlite));
  }
}

template <typename F>
void runAll(const std::vector<std::string>& probes, F&& seek) {
  for (const std::string& p : probes)
    if (!seek(p)) std::abort();
}

constexpr int cacheBytes = 128 << 20;

void seekPair(benchmark::State& state, bool exclusive) {
  Data& d = data();
  if (d.table->indexes.count == 0 && i4create(d.table, (d.dir + "/build").c_str(), tags) == nullptr) std::abort();
  d4close(d.table);
  code4cacheSuspend(&d.cb);
  d.cb.exclusive = exclusive ? 1 : 0;
  d.cb.lockAttempts = exclusive ? -1 : 1;
  d.cb.cacheMode = exclusive ? -1 : 1;
  d.cb.cacheReread = exclusive ? 0 : 1;
  d.cb.cacheLimit = cacheBytes;
  if (code4cacheStart(&d.cb) != 0) std::abort();
  d.table = d4open(&d.cb, (d.dir + "/book.dbf").c_str());
  if (d.table == nullptr || i4open(d.table, (d.dir + "/build").c_str()) == nullptr) std::abort();
  if (!exclusive) orvelin::settings::cacheIndexesOnly(d.table);
  d4tagSelect(d.table, d4tagByName(d.table, "PHONE"));
  FIELD4* name = d4fieldByName(d.table, "NAME");
  sqlite3_exec(d.db, "CREATE INDEX IF NOT EXISTS byphone ON book(phone);", nullptr, nullptr, nullptr);
  sqlite3_exec(d.db, "PRAGMA cache_size=-131072;", nullptr, nullptr, nullptr);
  sqlite3_exec(d.db, exclusive ? "PRAGMA locking_mode=EXCLUSIVE;" : "PRAGMA locking_mode=NORMAL;", nullptr, nullptr,
               nullptr);
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(d.db, "SELECT name FROM book WHERE phone = ?", -1, &q, nullptr);
  char out[32];
  auto engine = [&](const std::string& p) {
    if (d4seek(d.table, p.c_str()) != 0) return false;
    f4copyTo(name, out, sizeof out);
    return true;
  };
  auto sqlite = [&](const std::string& p) {
    sqlite3_bind_text(q, 1, p.c_str(), -1, SQLITE_STATIC);
    bool found = sqlite3_step(q) == SQLITE_ROW;
    if (found) std::snprintf(out, sizeof out, "%s", reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
    sqlite3_reset(q);
    return found;
  };
  // Warm both: every block and page the probes touch is in memory.
  runAll(d.probes, engine);
  runAll(d.probes, sqlite);
  const int64_t before = bench::readCalls();
  runAll(d.probes, engine);
  state.counters["engine_reads_per_seek"] = static_cast<double>(bench::readCalls() - before) / seeks;
  Latency e, s;
  for (auto _ : state) {
    timeBoth(d.probes, engine, sqlite, e, s);
    double total = 0;
    for (double v : e.ns) total += v;
    state.SetIterationTime(total / 1e9);
  }
  if (!exclusive) {
    // The program's lookup next to SQLite's fastest indexed lookup, again in turns.
    sqlite3_exec(d.db, "PRAGMA locking_mode=EXCLUSIVE;", nullptr, nullptr, nullptr);
    runAll(d.probes, sqlite);
    Latency ex, x;
    timeBoth(d.probes, engine, sqlite, ex, x);
    const double x50 = x.at(0.5), x99 = x.at(0.99);
    state.counters["sqlite_excl_p50_ns"] = x50;
    state.counters["sqlite_excl_p99_ns"] = x99;
    state.counters["engine_vs_excl_p50_ns"] = ex.at(0.5);
    state.counters["engine_vs_excl_p99_ns"] = ex.at(0.99);
    state.counters["ratio_excl_p50"] = x50 > 0 ? ex.at(0.5) / x50 : 0;
    state.counters["ratio_excl_p99"] = x99 > 0 ? ex.at(0.99) / x99 : 0;
    sqlite3_exec(d.db, "PRAGMA locking_mode=NORMAL; SELECT 1 FROM book LIMIT 1;", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(q);
  const double e50 = e.at(0.5), e99 = e.at(0.99), s50 = s.at(0.5), s99 = s.at(0.99);
  state.counters["engine_p50_ns"] = e50;
  state.counters["engine_p99_ns"] = e99;
  state.counters["sqlite_p50_ns"] = s50;
  state.counters["sqlite_p99_ns"] = s99;
  state.counters["ratio_p50"] = s50 > 0 ? e50 / s50 : 0;
  state.counters["ratio_p99"] = s99 > 0 ? e99 / s99 : 0;
  state.SetItemsProcessed(state.iterations() * seeks);
}

void BM_SeekExclusive(benchmark::State& state) { seekPair(state, true); }
BENCHMARK(BM_SeekExclusive)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_SeekShared(benchmark::State& state) { seekPair(state, false); }
BENCHMARK(BM_SeekShared)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
