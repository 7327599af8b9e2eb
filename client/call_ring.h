// The ring of call records kept for the life of the process.
//
// Invariants:
//  1. size() is fixed at construction (at least 1) and never changes.
//  2. head() < size(): the slot the next call takes. It holds the oldest
//     record (or none); the newest is at head - 1.
//  3. Ids handed out by takeNew() are never 0 and never repeat an id that was
//     in the ring when the first call of this process arrived.
//
// The ring has no lock: only the window thread touches it. Other threads get
// copies (snapshot()) or ids.
//
// The ring notes which slots may have changed since its changes were last taken:
// every slot handed out for writing (at(), find(), takeNew()), and the whole ring
// after clear(), replace(), construction or assignment. The call-table saver takes
// them, so a save costs the changed records, not the ring.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "client/call_record.h"

namespace orvelin::client {

// Which files of an overwritten record survive: option bit 21 keeps fax files
// (".SFF"/".TIF"), option bit 22 keeps every other file.
struct OverwritePolicy {
    bool keepFaxFiles = false;
    bool keepOtherFiles = false;

    static OverwritePolicy fromOptions(std::uint32_t options);
};

// A greeting recording: the file-name component starts with "Welcome" (any case).
bool isGreetingRecording(std::string_view path);
// A fax file: the file-name component contains ".SFF" or ".TIF" (any case).
bool isFaxFile(std::string_view path);
// Whether the file of a record that is being overwritten goes.
bool shouldDeleteOverwrittenFile(std::string_view path, OverwritePolicy policy);

// Deletes `path` only when it resolves to a regular file strictly below
// `programDir` (symbolic links resolved). Returns true when a file was deleted.
bool deleteFileInside(const std::filesystem::path& programDir, std::string_view path);

// Slots that may have changed since the changes were last taken.
struct CallRingChanges {
    bool whole = false;                // every slot and the head
    std::vector<std::uint32_t> slots;  // else these slots, each once, and the head
};

class CallRing {
  public:
    explicit CallRing(std::uint32_t maxCalls);
    CallRing(const CallRing& other);
    CallRing(CallRing&& other) noexcept;
    CallRing& operator=(const CallRing& other);
    CallRing& operator=(CallRing&& other) noexcept;

    std::uint32_t size() const { return static_cast<std::uint32_t>(slots_.size()); }
    std::uint32_t head() const { return head_; }

    const TCallRecord& at(std::uint32_t index) const { return slots_.at(index); }
    // Notes the slot as changed: write through the reference before the next save.
    TCallRecord& at(std::uint32_t index);

    // By id: the slot the id was handed out to while the record is still there (one
    // look), else the first slot from index 0 that holds it; id 0 never matches (it
    // marks empty slots).
    TCallRecord* find(std::uint32_t id);
    const TCallRecord* find(std::uint32_t id) const;
    int findIndex(std::uint32_t id) const;
    // The index of a record: its slot when it is one of the ring's own, else
    // findIndex() of its id. Costs nothing for the ring's own records.
    int indexOf(const TCallRecord& record) const;

    // Notes a slot as changed, for writes through a reference kept across a save.
    // The list does this for every record whose row it adds or updates. (What
    // changed is bookkeeping, not content, so a const ring notes it as well.)
    void markChanged(std::uint32_t index) const;
    void markChanged(const TCallRecord& record) const;
    // What changed since the last call, and forgets it.
    CallRingChanges takeChanges();

    // Takes the head slot for a new call and advances the head. The file of
    // the record it displaces is deleted by the policy, and only inside
    // programDir; a greeting recording is never deleted. The slot comes back
    // zeroed with a fresh id and the arrival time set.
    TCallRecord& takeNew(const ArrivalTime& arrival, OverwritePolicy policy,
                         const std::filesystem::path& programDir);

    // Slot indexes from head + 1 around to head - 1: the order in which the
    // records are listed and played. The head slot itself is not included.
    std::vector<std::uint32_t> walkOrder() const;

    // Empties every slot and sets the head to 0.
    void clear();
    // Replaces the content; false (and nothing changed) when the sizes do not
    // fit or the head is out of range.
    bool replace(std::uint32_t head, std::vector<TCallRecord> records);

    // The call-table file image: head index (u32 LE) then every record.
    std::vector<std::uint8_t> snapshot() const;
    // Takes the content from a file image and rewrites the image as snapshot() would
    // give it (loaded text fields are terminated). False, and nothing changed, when the
    // image is not exactly fileSize(size()) bytes or its head is out of range.
    bool restore(std::span<std::uint8_t> image);
    static std::size_t fileSize(std::uint32_t maxCalls) {
        return 4 + static_cast<std::size_t>(maxCalls) * kCallRecordSize;
    }

  private:
    std::uint32_t nextId(std::uint32_t arrivalSeconds);
    void changedWhole();

    std::vector<TCallRecord> slots_;
    std::uint32_t head_ = 0;
    std::uint32_t lastId_ = 0;
    bool idsStarted_ = false;
    bool idsWrapped_ = false;  // the counter passed 0xFFFFFFFF
    mutable bool wholeChanged_ = true;
    mutable std::vector<std::uint32_t> changed_;
    mutable std::vector<bool> changedMark_;  // one per slot: listed in changed_
};

}  // namespace orvelin::client
