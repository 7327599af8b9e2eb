// Everything the incoming-call decision reaches outside itself: the CAPI requests, the
// call ring and list, the window (raise, banner messages, timers, current line), the
// speech thread, the programs run at calls, the clock and the settings.
//
// The client window implements the window side. The settings readers have defaults
// that read the settings store afresh at each call; tests override them too.
//
// Every function is called on the window thread, from inside the decision.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/call_programs.h"
#include "client/call_record.h"
#include "platform/app_window.h"
#include "platform/registry.h"
#include "settings/caller_lookup.h"
#include "settings/msn_table.h"
#include "settings/settings_store.h"

namespace orvelin::client {

class CallDecisionPorts {
  public:
    virtual ~CallDecisionPorts() = default;

    // --- CAPI (connection ids 0-9; the decision never passes another id) ---
    // CONNECT_RESP: reject 0 accepts with the B1/B2/B3 protocols, no B3 configuration.
    virtual void connectResp(int connectionId, std::uint16_t reject, std::uint16_t b1,
                             std::uint16_t b2, std::uint16_t b3) = 0;
    virtual void disconnect(int connectionId) = 0;
    virtual bool isConnectionInUse(int connectionId) = 0;
    // A controller offers fax group 3 on B1, B2 and B3.
    virtual bool faxCapable() = 0;

    // --- Call ring and list ---
    // Takes the ring's next slot for a new call (overwrite policy and program directory
    // are the window's). The reference stays valid until the ring is next changed,
    // which no other port function does.
    virtual TCallRecord& takeNewRecord(const ArrivalTime& arrival) = 0;
    // Lists the new call (and queues it to the instance-link peers); does not save.
    virtual void addCallRow(const TCallRecord& record) = 0;
    // Saves the ring (the call-table writer).
    virtual void saveRing() = 0;
    // Refreshes the call's row, queues it to the peers and saves the ring. The record may have
    // been written through the reference since the last save: the save must include it.
    virtual void updateCallRow(const TCallRecord& record) = 0;

    // --- Window ---
    // The line the Reject, Answer and Record commands act on; 255 for none.
    virtual int currentLine() = 0;
    virtual void setCurrentLine(int line) = 0;
    // Closes a running screen saver (nothing to do where there is none).
    virtual void closeScreenSaver() = 0;
    // Brings the main window up for a call: screen saver closed, window raised, shown,
    // refitted to a changed work area, blink timer killed and the tray state updated.
    virtual void raiseWindow() = 0;
    // Posts to the client window itself (WM_CLOSE_POPUP, WM_SHOW_POPUP with PopupText).
    virtual void post(platform::MessageId id, platform::WParam wParam,
                      platform::RecordPtr record = nullptr) = 0;
    // The client window's timers (on its clock). The decision arms only ids 1 and 2.
    virtual void setTimer(platform::TimerId id, std::int64_t periodMs) = 0;
    virtual void killTimer(platform::TimerId id) = 0;

    // --- Speech ---
    // Hands the announcement to the speech thread. The window drops it when COM was not
    // initialised at start-up or the thread does not run; the decision has checked the
    // option bit.
    virtual void say(const std::string& text) = 0;

    // --- Programs run at calls (never through a shell) ---
    // The caller's own program: started after waitMs unless the call's wait event comes
    // first (CallWorkers::launchProgram).
    virtual void launchProgram(std::uint32_t callId, ProgramCommand command,
                               std::uint32_t waitMs) = 0;
    // "OnCallRun" with "OnCallParams" expanded for the call (CallWorkers::runOnCallProgram).
    virtual void runOnCallProgram(const TCallRecord& record, unsigned lineNumber) = 0;

    // --- Clock ---
    virtual ArrivalTime arrivalNow() { return makeArrivalTime(std::chrono::system_clock::now()); }

    // --- Settings (read afresh at each call) ---
    virtual std::uint32_t options() { return settings::GetOptions(); }
    virtual std::optional<settings::StripSettings> stripSettings() {
        return settings::GetStripSettings();
    }
    virtual bool isDiscreteMsn(int index) { return settings::IsDiscreteMSN(index); }
    // The published MSN table; the decision holds one snapshot for the whole call.
    virtual std::shared_ptr<const settings::MSNTable> msnTable() {
        return settings::CurrentMSNTable();
    }
    virtual std::uint32_t recordingDelay(int index) { return settings::GetRecordingDelay(index); }
    virtual std::uint32_t maxRecordingTime(int index) {
        return settings::GetMaxRecordingTime(index);
    }
    virtual std::string auth() { return settings::GetAuth(); }
    virtual std::string sayWhat() { return settings::GetSayWhat(); }
    // The phone-book search of the window's open tables; empty while none is open.
    virtual settings::PhoneBookSearch phoneBookSearch() { return {}; }
    // The caller's key (exact, then with '?' wildcards), else the phone book. `line` is
    // the call's MSN number for "Passthrough".
    virtual settings::CallerLookup lookupCaller(std::string_view number, bool restricted,
                                                int line) {
        return settings::lookupCaller(platform::Hive::atDefaultPath(), number, restricted, line,
                                      phoneBookSearch());
    }
};

}  // namespace orvelin::client
