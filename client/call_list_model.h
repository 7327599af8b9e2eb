// The rows of the call list as the client window shows them: texts of every
// column, the state and small image indexes, newest row first, filtered by the
// line selector. Plain C++; the window draws it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "client/call_record.h"
#include "client/call_ring.h"

namespace orvelin::client {

enum CallColumn : int {
    kColumnTime = 0,
    kColumnCalled = 1,
    kColumnCallerNumber = 2,
    kColumnCallerName = 3,
    kColumnCount = 4,
    kColumnComment = 5,
};
inline constexpr int kCallColumnCount = 6;
inline constexpr std::array<std::string_view, kCallColumnCount> kCallColumnHeadings = {
    "Time", "Called #", "Caller #", "Caller Name", "Count", "Comment"};

// Small images chosen by the CIP value.
enum CallImage : int { kImageVoice = 0, kImageFax = 1, kImageData = 2 };
int callImageForCip(std::uint16_t cip);

// Column 4: " %u sec." or " %u pg." by state, or empty.
std::string callCountText(std::uint32_t state, std::uint16_t count);

// Column 0: date and time with two blanks between. The short date is
// "YYYY-MM-DD", the long one "Weekday, D Month YYYY", the time "HH:MM:SS";
// fixed English texts, so the list never depends on the process locale.
std::string callTimeText(const LocalDateTime& when, bool longDate);

struct CallRow {
    std::uint32_t id = 0;     // the record id (the row's item data)
    std::uint32_t state = 0;  // the record's state as stored
    int stateImage = -1;      // the state, or -1 for a state without an image
    int image = kImageVoice;  // by CIP
    std::array<std::string, kCallColumnCount> text;
};

CallRow makeCallRow(const TCallRecord& record, bool longDate);

// Line selector values.
inline constexpr int kAllLines = 0;
inline constexpr int kNoLines = 11;

class CallListModel {
  public:
    struct Hooks {
        // Hands a ring index to every connected network client.
        std::function<void(int ringIndex)> queueToClients;
        // Saves the whole ring (the call-table writer).
        std::function<void()> saveRing;
        // The MSN index (0-9) of a called number, -1 when none. Empty: the
        // published MSN table of the settings.
        std::function<int(std::string_view calledNumber)> findMsnIndex;
    };

    CallListModel(const CallRing& ring, Hooks hooks);

    // 0 all lines, 1 to 10 MSN n, 11 no lines.
    void setSelectedLine(int line) { selectedLine_ = line; }
    int selectedLine() const { return selectedLine_; }
    // Option bit 4: long date in column 0 of rows made from now on.
    void setLongDate(bool on) { longDate_ = on; }
    // Told of every row as it is inserted or refreshed (the view widens its columns).
    void setRowShown(std::function<void(const CallRow&)> shown) { rowShown_ = std::move(shown); }

    // A new call: queues it to the clients, and (unless hidden or filtered
    // out) inserts its row at the top, keeping at most the ring's size of rows.
    void addCallRow(const TCallRecord& record);
    // A changed call: queues it, refreshes state, image, count and comment of
    // its row. Saves the ring in every case, shown or not.
    void updateCallRow(const TCallRecord& record);
    // Rebuilds every row from the ring, oldest first, so the newest ends on top.
    void rebuild();
    // Deletes the row of `id` and no other; tells nobody. False when it has none.
    bool removeRow(std::uint32_t id);

    // Index 0 is the top row.
    const std::deque<CallRow>& rows() const { return rows_; }
    const CallRow* rowById(std::uint32_t id) const;

  private:
    // Steps shared by add and update; false when no row is to be touched.
    bool announce(const TCallRecord& record);
    CallRow* findRow(std::uint32_t id);

    const CallRing& ring_;
    Hooks hooks_;
    std::function<void(const CallRow&)> rowShown_;
    int selectedLine_ = kAllLines;
    bool longDate_ = false;
    bool rebuilding_ = false;
    // Rows enter only at the top and leave only at the bottom, so a row's place follows
    // from the number it got when it was added: topNumber_ - number.
    std::deque<CallRow> rows_;
    std::uint64_t topNumber_ = 0;
    std::unordered_map<std::uint32_t, std::uint64_t> numberById_;  // the topmost row of an id
};

}  // namespace orvelin::client
