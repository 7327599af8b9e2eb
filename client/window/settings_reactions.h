// What the client window does when the settings library says settings changed
// (WM_SETTINGS_CHANGED): each bit names one thing to bring up to date, handled in the
// order of the table below; several may come at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orvelin::client {

enum SettingsChange : std::uint32_t {
    kChangedMsn = 0x1,            // reload the MSN table
    kChangedSpeech = 0x2,         // rebuild the speech object
    kChangedList = 0x4,           // refill the call list
    kChangedService = 0x8,        // service registration follows option bit 5
    kChangedNumberList = 0x10,    // rebuild the configured-number list
    kChangedSendText = 0x20,      // send a text message to the number given
    kChangedTray = 0x40,          // tray icon state
    kChangedSendTextAlt = 0x2000  // the same as 0x20
};

// The recipient texts a sender may hand over are cut to this many bytes.
inline constexpr std::size_t kRecipientBytes = 34;

// ";" then "number;index;" for each MSN index 0-9 that is not "Discrete". number(i) and
// discrete(i) read the settings.
std::string buildConfiguredNumberList(const std::function<std::string(int)>& number,
                                      const std::function<bool(int)>& discrete);
// The same from the settings store.
std::string configuredNumberListFromSettings();

class SettingsReactions {
  public:
    struct Hooks {
        std::function<void()> reloadMsn;
        std::function<void()> rebuildSpeech;  // only called with COM and option bit 14
        std::function<bool()> speechWanted;   // COM initialised and option bit 14 set
        std::function<void()> refreshList;    // posts WM_REFRESH_LIST
        std::function<void(bool on)> serviceProcess;
        std::function<bool()> serviceOption;  // option bit 5
        std::function<void()> rebuildNumberList;
        std::function<void()> updateTray;
        std::function<void(const std::string& recipient)> sendText;
    };

    explicit SettingsReactions(Hooks hooks) : hooks_(std::move(hooks)) {}

    // text: the number that came with the message, null when none. Returns 0.
    long apply(std::uint32_t bits, const char* text) const;

  private:
    Hooks hooks_;
};

}  // namespace orvelin::client
