// Text messages over the fixed network. Sending places an outgoing call whose set-up
// carries the text as user-user data (to the text-message service for cellular
// recipients, else to the recipient itself); nobody answers such a call, and whether the
// text arrived is judged from the way the call ends:
//
//   far end alerts (INFO 0x8001) or the call connects -> we hang up at once
//   the call is cleared ---------------------------------> delivered or not, by the reason
//   nothing within 10 s (window timer 5) ---------------> we hang up, no report
//
// Every call placed here is watched until its own clearing arrives, also after its
// time-out and after a newer message took over: the line handlers never see these
// connection ids, so a late clearing cannot touch a call record. Only the newest message
// reports its delivery, and only when it was not sent quietly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvelin::client {

inline constexpr std::size_t kSmsRecipientBytes = 34;
// User-user data: length byte, protocol byte, then the text; the length byte counts the
// protocol byte and may be at most 129.
inline constexpr std::size_t kSmsTextBytes = 128;
inline constexpr std::int64_t kSmsTimeoutMs = 10000;
inline constexpr std::uint16_t kInfoFarEndAlerting = 0x8001;
inline constexpr std::uint8_t kProtocolIa5 = 0x04;

inline constexpr const char* kSmsDeliveredText = "Message delivered";
inline constexpr const char* kSmsNotDeliveredText = "Message could not be delivered";
inline constexpr const char* kRequestInfoNumber = "1999";
inline constexpr const char* kRequestInfoPrefix = "TLF ";

// Clearing reasons that mean the service took the text.
bool smsDelivered(std::uint16_t reason);

struct SmsSettings {
    std::string serviceNumber = "19100";  // "SMS Message Handler"
    std::string cellularPrefixes = "9";   // "Cellular Prefix", ';'-separated
    std::string callerNumber;             // "Caller Number"; empty: the network's default
    std::uint32_t callerCip = 1;          // "Caller CIP"
};
SmsSettings smsSettingsFromStore();

// Where a message goes: a recipient that begins with one of the cellular prefixes (empty
// parts match nothing, blanks around a part are ignored) is reached through the service
// number, and the text then starts with the recipient and one blank.
struct SmsAddress {
    std::string calledNumber;
    std::string textPrefix;
};
SmsAddress smsAddress(std::string_view recipient, std::string_view cellularPrefixes,
                      std::string_view serviceNumber);

// The text as the call carries it: one Windows-1252 byte per character. `problem` says
// why it cannot be sent (a character the code page lacks, or too long); the text is
// never cut.
struct SmsWireText {
    std::string bytes;
    std::string problem;
};
SmsWireText smsWireText(std::string_view utf8);

// The user-user data struct for a wire text of at most kSmsTextBytes bytes.
std::vector<std::uint8_t> smsUserUserData(std::string_view wireText);

class TextMessages {
  public:
    struct Hooks {
        // A modal text prompt; nullopt when cancelled. maxChars bounds the answer.
        std::function<std::optional<std::string>(const std::string& caption,
                                                  const std::string& prompt,
                                                  std::size_t maxChars)>
            ask;
        std::function<SmsSettings()> settings;
        // Places the call (callingNumber empty: none); the connection id, -1 on failure.
        std::function<int(const std::string& calledNumber, const std::string& callingNumber,
                          std::uint32_t cipMask, const std::vector<std::uint8_t>& userUserData)>
            connect;
        std::function<void(int id)> disconnect;
        // Gives back the connection of a call the layer never confirmed (no clearing
        // will come for it).
        std::function<void(int id)> release;
        // Window timer 5.
        std::function<void(std::int64_t ms)> armTimer;
        std::function<void()> killTimer;
        std::function<std::int64_t()> now;
        // A report that does not wait for the user; `problem` for the failures.
        std::function<void(const std::string& text, bool problem)> tell;
    };

    explicit TextMessages(Hooks hooks) : hooks_(std::move(hooks)) {}

    // Asks for what is missing, places the call and starts its time-out.
    void send(std::optional<std::string> recipient, bool quiet, std::optional<std::string> text);

    // WM_CAPI_STATE_CHANGED. True when the connection is one of ours (the line handlers
    // then leave it alone).
    bool stateChanged(int id, std::uint32_t parameter);
    // Timer 5.
    void timeElapsed();
    // CAPI went off: no clearing will come for the calls still watched.
    void forgetAll();

    // The newest message's connection, -1 when none is waiting for its report.
    int current() const { return current_; }
    bool watching(int id) const { return calls_.count(id) != 0; }
    std::size_t watchedCount() const { return calls_.size(); }

  private:
    struct Call {
        std::int64_t deadline = 0;
        bool hungUp = false;
        bool confirmed = false;        // the layer confirmed the request (or refused it)
        bool earlierClearing = false;  // an earlier message's clearing of this slot is due
    };
    void hangUp(int id, Call& call);
    void rearm();
    std::int64_t now() const { return hooks_.now ? hooks_.now() : 0; }
    void tell(const std::string& text, bool problem) const {
        if (hooks_.tell) hooks_.tell(text, problem);
    }

    Hooks hooks_;
    std::map<int, Call> calls_;  // connection id -> its watch, until its clearing
    int current_ = -1;
    bool quiet_ = false;
};

}  // namespace orvelin::client
