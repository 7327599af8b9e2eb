// Index files next to SQLite in the same run, on the same 1,000,000 phone-book records
// (the program's eleven fields; unique numbers in scattered order):
//   build:  the phone book's index built anew as the program does it (i4create of its
//           unique tag on PHONE over live records, the table open with the program's
//           settings)                                   vs  CREATE UNIQUE INDEX on phone
//   seek:   100,000 lookups of existing numbers, both sides warm:
//     shared:    the program's lookup (`searchPhoneBook`) on the table as the program
//                opens it: `applyProgramEngineSettings` (shared files, lock attempts 1,
//                its block cache as it starts it, records read again at each use) and
//                `OpenOrCreateTable` (only the index cached)
//                                              vs  SQLite, locking_mode=EXCLUSIVE,
//                                                  and again with locking_mode=NORMAL
//     exclusive: the same settings with the open exclusive, the record's name read
//                after `d4seek`                vs  SQLite, locking_mode=EXCLUSIVE
//   SQLite reads the same fields (name and the four flags) and has the same cache
//   memory as the engine (cache_size in KiB); it runs with journal_mode=OFF, and
//   synchronous=OFF except for the build (the engine writes no journal, and syncs
//   only the index file it has built).
//   The two sides take turns of 1,000 probes, so machine noise falls on both.
//   The build rows carry the ratio engine / SQLite of the median elapsed and
//   processor times; the seek rows p50 and p99 per lookup for both sides and their
//   ratios (below 1 the engine is faster), and the engine's read system calls per
//   lookup (/proc/self/io, counted over a pass of its own).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
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

std::string nameOf(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Caller %d", i);
  return buf;
}

void sqliteExec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

double threadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Data {
  std::string dir;
  std::string table; // path without extension, as the program names its tables
  CODE4 cb{};
  DATA4* book = nullptr;
  sqlite3* db = nullptr;
  int cacheKiB = 0;
  std::vector<std::string> probes;

  Data() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/xbase-index-bench.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    table = dir + "/ispbk";
    // Loading is not what is measured: the records go in without an index, then
    // the program's open finds the index missing and builds it.
    CODE4 loader{};
    code4init(&loader);
    loader.exclusive = 1;
    loader.safety = 0;
    DATA4* d = d4create(&loader, table.c_str(), orvelin::settings::kPhoneBookFields, nullptr);
    if (d == nullptr) std::abort();
    FIELD4* phone = d4fieldByName(d, "PHONE");
    FIELD4* name = d4fieldByName(d, "NAME");
    FIELD4* reject = d4fieldByName(d, "REJECT");
    FIELD4* rejectFax = d4fieldByName(d, "REJECTFAX");
    FIELD4* privMsg = d4fieldByName(d, "PRIVMSG");
    FIELD4* rejectMsg = d4fieldByName(d, "REJECTMSG");
    if (sqlite3_open((dir + "/book.db").c_str(), &db) != SQLITE_OK) std::abort();
    sqliteExec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                   "CREATE TABLE t(phone TEXT, name TEXT, email TEXT, passthroug TEXT, reject INTEGER,"
                   " launch INTEGER, launchline INTEGER, launchcip INTEGER, privmsg INTEGER,"
                   " rejectmsg INTEGER, rejectfax INTEGER); BEGIN;");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t(phone, name, reject, rejectfax, privmsg, rejectmsg) VALUES(?,?,?,?,?,?)",
                       -1, &insert, nullptr);
    for (int i = 0; i < records; ++i) {
      const std::string p = phoneOf(i), n = nameOf(i);
      d4blank(d);
      f4assign(phone, p.c_str());
      f4assign(name, n.c_str());
      f4assignLong(reject, i % 3);
      f4assign(rejectFax, i % 2 ? "T" : "F");
      f4assign(privMsg, i % 5 ? "F" : "T");
      f4assign(rejectMsg, i % 7 ? "F" : "T");
      if (d4append(d) != 0) std::abort();
      sqlite3_bind_text(insert, 1, p.data(), static_cast<int>(p.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 2, n.data(), static_cast<int>(n.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 3, i % 3);
      sqlite3_bind_int(insert, 4, i % 2);
      sqlite3_bind_int(insert, 5, i % 5 == 0);
      sqlite3_bind_int(insert, 6, i % 7 == 0);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqliteExec(db, "COMMIT;");
    if (d4close(d) != 0) std::abort();
    code4release(&loader);
    if (orvelin::settings::applyProgramEngineSettings(&cb) != 0 || !code4cacheRunning(&cb)) std::abort();
    cacheKiB = cb.cacheLimit / 1024;
    sqliteExec(db, "PRAGMA cache_size=-" + std::to_string(cacheKiB) + ";");
    open(false);
    sqliteExec(db, "CREATE UNIQUE INDEX t_unique ON t(phone);");
    std::mt19937 rng(7);
    for (int i = 0; i < seeks; ++i) probes.push_back(phoneOf(static_cast<int>(rng() % records)));
  }
  ~Data() {
    if (book != nullptr) d4close(book);
    code4release(&cb);
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
  }
  // The program's open, shared or exclusive.
  void open(bool exclusive) {
    if (book != nullptr) d4close(book);
    book = nullptr;
    cb.exclusive = exclusive ? 1 : 0;
    orvelin::settings::OpenOrCreateTable(&cb, &book, table.c_str(), orvelin::settings::kPhoneBookFields,
                                         orvelin::settings::kPhoneBookTags);
    if (book == nullptr || book->indexes.count != 1) std::abort();
  }
};

Data& data() {
  static Data d;
  return d;
}

struct Seconds {
  double wall = 0;
  double cpu = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F>
Seconds timed(benchmark::State& state, F&& work) {
  std::vector<double> wall, cpu;
  for (auto _ : state) {
    const double c0 = threadSeconds();
    auto t0 = std::chrono::steady_clock::now();
    work();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu.push_back(threadSeconds() - c0);
    wall.push_back(s);
    state.SetIterationTime(s);
  }
  return Seconds{median(wall), median(cpu)};
}

Seconds engineBuild;

void BM_EngineBuildIndex(benchmark::State& state) {
  Data& d = data();
  d.open(false);
  engineBuild = timed(state, [&] {
    i4closeAll(d.book);
    if (i4create(d.book, nullptr, orvelin::settings::kPhoneBookTags) == nullptr) std::abort();
  });
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_EngineBuildIndex)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_SqliteCreateIndex(benchmark::State& state) {
  Data& d = data();
  // The engine's build ends with its index file synced: SQLite's ends synced too.
  sqliteExec(d.db, "PRAGMA synchronous=FULL;");
  const Seconds s = timed(state, [&] {
    sqliteExec(d.db, "DROP INDEX IF EXISTS t_unique;");
    sqliteExec(d.db, "CREATE UNIQUE INDEX t_unique ON t(phone);");
  });
  sqliteExec(d.db, "PRAGMA synchronous=OFF;");
  state.counters["ratio"] = s.wall > 0 ? engineBuild.wall / s.wall : 0;
  state.counters["ratio_cpu"] = s.cpu > 0 ? engineBuild.cpu / s.cpu : 0;
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_SqliteCreateIndex)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

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

void seekPair(benchmark::State& state, bool exclusive) {
  Data& d = data();
  d.open(exclusive);
  TAG4* tag = d4tagByName(d.book, "UNIQUE");
  FIELD4* name = d4fieldByName(d.book, "NAME");
  if (tag == nullptr || name == nullptr) std::abort();
  sqliteExec(d.db, "PRAGMA locking_mode=EXCLUSIVE;");
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(d.db, "SELECT name, reject, rejectfax, privmsg, rejectmsg FROM t WHERE phone = ?", -1, &q,
                     nullptr);
  std::string out;
  int64_t flags = 0;
  std::string key;
  auto engine = [&](const std::string& p) {
    if (!exclusive) {
      std::optional<orvelin::settings::PhoneBookEntry> e = orvelin::settings::searchPhoneBook(d.book, p);
      if (!e) return false;
      out = e->name;
      flags += e->reject + e->rejectFax + e->personalMsg + e->rejectMsg;
      return true;
    }
    key.assign(p);
    key.resize(25, ' ');
    d4tagSelect(d.book, tag);
    if (d4seekLen(d.book, key.data(), static_cast<int>(key.size())) != 0) return false;
    out.assign(f4ptr(name), static_cast<size_t>(f4len(name)));
    return true;
  };
  auto sqlite = [&](const std::string& p) {
    sqlite3_bind_text(q, 1, p.data(), static_cast<int>(p.size()), SQLITE_STATIC);
    const bool found = sqlite3_step(q) == SQLITE_ROW;
    if (found) {
      out.assign(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)),
                 static_cast<size_t>(sqlite3_column_bytes(q, 0)));
      for (int c = 1; c <= 4; ++c) flags += sqlite3_column_int(q, c);
    }
    sqlite3_reset(q);
    return found;
  };
  // Warm both: every block and page the probes touch is as warm as it gets.
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
  const double e50 = e.at(0.5), e99 = e.at(0.99), s50 = s.at(0.5), s99 = s.at(0.99);
  state.counters["engine_p50_ns"] = e50;
  state.counters["engine_p99_ns"] = e99;
  state.counters["sqlite_excl_p50_ns"] = s50;
  state.counters["sqlite_excl_p99_ns"] = s99;
  state.counters["ratio_excl_p50"] = s50 > 0 ? e50 / s50 : 0;
  state.counters["ratio_excl_p99"] = s99 > 0 ? e99 / s99 : 0;
  if (!exclusive) {
    // And against SQLite's own shared use, again in turns.
    sqliteExec(d.db, "PRAGMA locking_mode=NORMAL; SELECT 1 FROM t LIMIT 1;");
    runAll(d.probes, sqlite);
    Latency en, n;
    timeBoth(d.probes, engine, sqlite, en, n);
    state.counters["sqlite_normal_p50_ns"] = n.at(0.5);
    state.counters["sqlite_normal_p99_ns"] = n.at(0.99);
    state.counters["ratio_normal_p50"] = n.at(0.5) > 0 ? en.at(0.5) / n.at(0.5) : 0;
    state.counters["ratio_normal_p99"] = n.at(0.99) > 0 ? en.at(0.99) / n.at(0.99) : 0;
  }
  sqlite3_finalize(q);
  sqliteExec(d.db, "PRAGMA locking_mode=NORMAL; SELECT 1 FROM t LIMIT 1;");
  benchmark::DoNotOptimize(flags);
  state.SetItemsProcessed(state.iterations() * seeks);
}

void BM_SeekShared(benchmark::State& state) { seekPair(state, false); }
BENCHMARK(BM_SeekShared)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_SeekExclusive(benchmark::State& state) { seekPair(state, true); }
BENCHMARK(BM_SeekExclusive)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
