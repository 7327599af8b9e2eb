// Everything call handling keeps about past calls, owned by the window thread:
// the ring, the rows of the call list, the call-table saver and the text-log
// writer, wired so that every row update also saves the ring.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "client/call_list_model.h"
#include "client/call_ring.h"
#include "client/call_table_file.h"
#include "client/call_writers.h"

namespace orvelin::client {

class CallHistory {
  public:
    struct Config {
        std::string programDir;      // ends with '/'
        std::uint32_t maxCalls = 0;  // ring size, fixed for the life of the object
        LogLine log;                 // where load and save problems are reported
        // Hands a ring index to the network clients; may be empty.
        std::function<void(int ringIndex)> queueToClients;
        // "Options" read at each use; bits 21 and 22 choose the files that
        // survive an overwritten record.
        std::function<std::uint32_t()> options;
    };

    explicit CallHistory(Config config);
    // Writes what is still queued, then stops the writers.
    ~CallHistory();

    // Loads the call-table file into the ring and lists its records. When the
    // file cannot be opened a fresh one is written at once.
    void load();

    // A new call: takes the head slot with a fresh id (files of the displaced
    // record deleted as the options say, its row removed). The row is added by
    // addCallRow.
    TCallRecord& takeNew(const ArrivalTime& arrival);

    TCallRecord* find(std::uint32_t id) { return ring_.find(id); }
    int findIndex(std::uint32_t id) const { return ring_.findIndex(id); }

    // Option bit 4 (long date) is read for each new row.
    void addCallRow(const TCallRecord& record);
    void updateCallRow(const TCallRecord& record) { list_.updateCallRow(record); }

    // Saves a snapshot of the ring as it is now.
    void startSave() { saver_.save(ring_); }
    // Appends the text-log line of the record as it is now.
    void startLog(const TCallRecord& record, std::uint16_t count) { logWriter_.log(record, count); }
    // Waits until both writers have written everything handed over so far.
    void flush();

    CallRing& ring() { return ring_; }
    const CallRing& ring() const { return ring_; }
    CallListModel& list() { return list_; }
    const CallListModel& list() const { return list_; }

  private:
    std::uint32_t options() const { return config_.options ? config_.options() : 0; }

    Config config_;
    CallRing ring_;
    CallListModel list_;
    CallTableSaver saver_;
    TextLogWriter logWriter_;
};

}  // namespace orvelin::client
