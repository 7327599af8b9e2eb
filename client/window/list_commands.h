// The user's commands on entries of the call list: remove, edit the remark, look the
// caller up, add the caller to the known callers, and what a double click does by the
// entry's state. The window hands over record ids (the rows' item data); dialogs, the
// player and the desktop come in as hooks, so every rule here runs headless.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/call_history.h"
#include "platform/spawn.h"

namespace orvelin::client {

// Fixed texts of the boxes raised here.
inline constexpr const char* kBrokenFaxHeaderText =
    "The fax header could not be read. This is normaly caused by a broken connection.";
inline constexpr const char* kFaxConversionErrorFormat =
    "Error %d occured during conversion of %s\n\nPlease inform the program author and send the "
    "fax-file and error number along with the message";
inline constexpr const char* kFaxViewErrorText = "Error viewing fax.";
inline constexpr const char* kEditCommentCaption = "Edit comment";
inline constexpr const char* kEditCommentPrompt = "Enter your comment:";

// "LookupApp" with its first "%s" replaced by the number, split into argv words first
// so the number is always part of one argument. Empty when the pattern is empty.
std::vector<std::string> lookupCommand(const std::string& pattern, const std::string& number);

// Closes the gap a removed record leaves: every record from index + 1 up to and including
// the head slot moves one slot down, the last moved slot is zeroed and the head goes back
// by one. The record in the head slot itself is only zeroed. False when index is outside
// the ring.
bool closeRingGap(CallRing& ring, std::uint32_t index);

// After the caller form saved a name: every record of `number` (the pseudo-numbers
// "Unknown" and "Restricted" stand for an empty number) whose restricted flag equals
// `restricted` gets the name. True when any record changed.
bool renameCaller(CallRing& ring, std::string_view number, bool restricted, std::string_view name);

class ListCommands {
  public:
    struct Hooks {
        std::function<std::uint32_t()> options;
        std::string programDir;  // ends with '/'
        // The comment dialog: the edited text, nullopt when cancelled.
        std::function<std::optional<std::string>(const std::string& current)> editText;
        std::function<void(int column)> autosizeColumn;
        std::function<void()> listChanged;  // rows to be redrawn
        // "LookupWindow": bring a top-level window of that exact title forward; false
        // when there is none.
        std::function<bool(const std::string& title)> raiseWindow;
        std::function<platform::SpawnResult(const std::vector<std::string>&)> spawn;
        // Stops whatever plays and starts the file; false when it could not be started.
        std::function<bool(const std::string& path)> playSound;
        std::function<platform::SpawnResult(const std::string& path)> openDocument;
        std::function<int(const std::string& sff, std::string* written)> convertFax;
        std::function<void(const std::string& text)> box;
        std::function<std::string()> lookupApp, lookupWindow;
    };

    ListCommands(CallHistory& history, Hooks hooks);

    // Removes the calls one after another, deleting their files as options 21 and 22 say
    // (never a greeting recording, never a file outside the program directory) and only
    // their own rows; stops at an id that has no row. Then saves the ring once. Peers are
    // not told. Returns how many rows were removed.
    int removeEntries(const std::vector<std::uint32_t>& ids);
    // Edits the comment (at most 128 bytes); saves and refreshes the row when accepted.
    bool editRemark(std::uint32_t id);
    // Brings the lookup program's window forward, else starts "LookupApp".
    void lookup(std::uint32_t id);
    // The double-click action of the entry's state.
    void activate(std::uint32_t id);

  private:
    void openFax(TCallRecord& record, const std::string& path);

    CallHistory& history_;
    Hooks hooks_;
};

}  // namespace orvelin::client
