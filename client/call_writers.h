// The two background writers of call handling: the call-table saver and the
// text-log writer. Each owns one worker thread at the lowest priority, so the
// window thread never waits for the disk and writes finish in the order they
// were asked for.
//
// The window thread hands over copies (a file image, a formatted line); the
// workers never see the ring.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/call_ring.h"
#include "client/call_table_file.h"
#include "platform/worker_thread.h"

namespace orvelin::client {

// One thread that runs posted tasks one after another, in order. Started with
// the first task; the destructor runs what is still queued, then joins.
class SerialWorker {
  public:
    SerialWorker() = default;
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> task);
    // Blocks until every task posted before the call has run.
    void waitIdle();

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    bool busy_ = false;
    bool stopping_ = false;
    // Emplaced with the first task. (optional: the worker's inline default
    // constructor needs a type its header leaves incomplete.)
    std::optional<platform::WorkerThread> thread_;
};

// Saves the call ring. save() takes a snapshot on the calling (window) thread;
// when several saves are asked for while one is being written, only the
// newest snapshot is written next, so the file always ends up as the last
// state handed over and never goes back to an older one.
class CallTableSaver {
  public:
    CallTableSaver(std::filesystem::path file, LogLine log);
    ~CallTableSaver();

    void save(const CallRing& ring);
    void save(std::vector<std::uint8_t> image);
    // Blocks until every snapshot handed over so far is on disk (or failed).
    void flush();
    // Number of files written so far; for tests and diagnostics.
    std::uint64_t writes() const;

  private:
    void writeLatest();

    const std::filesystem::path file_;
    const LogLine log_;
    mutable std::mutex mutex_;
    std::optional<std::vector<std::uint8_t>> pending_;
    bool scheduled_ = false;
    std::uint64_t writes_ = 0;
    SerialWorker worker_;  // last: joined before the members it uses go
};

// Appends text-log lines in the order they were handed over.
class TextLogWriter {
  public:
    explicit TextLogWriter(std::filesystem::path file);
    ~TextLogWriter();

    // Formats the line from the record now (a copy: the record may change or
    // leave the ring before the line is written) and queues it.
    void log(const TCallRecord& record, std::uint16_t count);
    void flush();

  private:
    const std::filesystem::path file_;
    SerialWorker worker_;
};

}  // namespace orvelin::client
