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
#include <unordered_map>
#include <utility>
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

// Saves the call ring. The file is always written whole, to a temporary file
// renamed over the old one, so it is never torn; the writing happens on the worker.
//
// save(CallRing&) hands over only what changed since the last save of that ring
// (the first save of a ring, or one after the ring was replaced, hands over all of
// it). Everything handed over while a write is pending or running goes into one
// next write, so a burst of updates costs a few writes, and the file always ends
// up as the last state handed over, never an older one. Call save() from one
// thread (the window thread); one saver takes a ring's changes.
class CallTableSaver {
  public:
    CallTableSaver(std::filesystem::path file, LogLine log);
    ~CallTableSaver();

    void save(CallRing& ring);
    // The file holds `image` already, and it is the ring's file image (as loaded): the
    // ring's later saves hand over only their changes, and nothing is written now.
    void adopt(CallRing& ring, std::vector<std::uint8_t> image);
    // Snapshots of the whole ring.
    void save(const CallRing& ring);
    void save(std::vector<std::uint8_t> image);
    // Blocks until every snapshot handed over so far is on disk (or failed).
    void flush();
    // Number of files written so far; for tests and diagnostics.
    std::uint64_t writes() const;

  private:
    struct Pending {
        std::optional<std::vector<std::uint8_t>> whole;
        bool wholeOnDisk = false;  // `whole` is the file as it is
        std::optional<std::uint32_t> head;
        std::vector<std::pair<std::uint32_t, CallRecordBytes>> records;
        std::unordered_map<std::uint32_t, std::size_t> recordAt;  // slot -> place in records
    };
    void handOver(const std::function<void(Pending&)>& fill);
    void writeLatest();

    const std::filesystem::path file_;
    const LogLine log_;
    const CallRing* base_ = nullptr;  // the ring whose changes save(CallRing&) takes
    std::uint32_t baseHead_ = 0;      // its head as last handed over
    mutable std::mutex mutex_;
    Pending pending_;
    bool scheduled_ = false;
    std::uint64_t writes_ = 0;
    std::vector<std::uint8_t> image_;  // the worker's: the file as it is to be
    SerialWorker worker_;  // last: joined before the members it uses go
};

// Appends text-log lines in the order they were handed over. A line that cannot be
// written (the file cannot be opened, the disk is full) is kept and written before the
// next one; the first failure of a run of them is reported through `log`, and lines
// still kept when the writer ends are reported there one by one.
class TextLogWriter {
  public:
    // Kept at most; older lines beyond it are given up, with a report.
    static constexpr std::size_t kMaxHeldBytes = std::size_t{1} << 20;

    explicit TextLogWriter(std::filesystem::path file, LogLine log = {});
    ~TextLogWriter();

    // Formats the line from the record now (a copy: the record may change or
    // leave the ring before the line is written) and queues it.
    void log(const TCallRecord& record, std::uint16_t count);
    void flush();

  private:
    void write(std::string line);
    void report(const std::string& text) const {
        if (log_) log_(text);
    }

    const std::filesystem::path file_;
    const LogLine log_;
    // The worker's: bytes not in the file yet, and whether their failure was reported.
    std::string held_;
    bool reported_ = false;
    SerialWorker worker_;  // last: joined before the members it uses go
};

}  // namespace orvelin::client
