#include "client/text_messages.h"

#include <algorithm>

#include "capi/connections.h"
#include "client/call_record.h"
#include "platform/cp1252.h"
#include "settings/settings_store.h"

namespace orvelin::client {

namespace {

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

bool smsDelivered(std::uint16_t reason) {
    switch (reason) {
        case 0:
        case 0x3487:
        case 0x3490:
        case 0x3493:
        case 0x349A:
        case 0x349F:
            return true;
        default:
            return false;
    }
}

SmsSettings smsSettingsFromStore() {
    SmsSettings s;
    s.serviceNumber = settings::GetSmsMessageHandler();
    s.cellularPrefixes = settings::GetCellularPrefix();
    s.callerNumber = settings::GetCallerNumber();
    s.callerCip = settings::GetCallerCIP();
    return s;
}

SmsAddress smsAddress(std::string_view recipient, std::string_view prefixes,
                      std::string_view serviceNumber) {
    while (!prefixes.empty()) {
        const std::size_t end = std::min(prefixes.find(';'), prefixes.size());
        const std::string_view part = trimBlanks(prefixes.substr(0, end));
        prefixes.remove_prefix(std::min(end + 1, prefixes.size()));
        if (!part.empty() && recipient.substr(0, part.size()) == part)
            return {std::string(serviceNumber), std::string(recipient) + ' '};
    }
    return {std::string(recipient), {}};
}

SmsWireText smsWireText(std::string_view utf8) {
    SmsWireText wire;
    wire.bytes = platform::utf8ToCp1252(utf8);
    // The code page's '?' for what it lacks would go out unnoticed: refuse instead.
    if (platform::cp1252ToUtf8(wire.bytes) != utf8) {
        wire.problem =
            "The message was not sent: it holds characters a text message cannot carry.";
    } else if (wire.bytes.size() > kSmsTextBytes) {
        wire.problem = "The message was not sent: it is " + std::to_string(wire.bytes.size()) +
                       " characters long, at most " + std::to_string(kSmsTextBytes) + " fit.";
    }
    return wire;
}

std::vector<std::uint8_t> smsUserUserData(std::string_view wireText) {
    const std::size_t n = std::min(wireText.size(), kSmsTextBytes);
    std::vector<std::uint8_t> data;
    data.reserve(n + 2);
    data.push_back(std::uint8_t(n + 1));
    data.push_back(kProtocolIa5);
    for (std::size_t i = 0; i < n; ++i) data.push_back(std::uint8_t(wireText[i]));
    return data;
}

void TextMessages::send(std::optional<std::string> recipient, bool quiet,
                        std::optional<std::string> text) {
    auto ask = [this](const std::string& caption, const std::string& prompt,
                      std::size_t maxChars) -> std::optional<std::string> {
        if (!hooks_.ask) return std::nullopt;
        return hooks_.ask(caption, prompt, maxChars);
    };
    if (!recipient) recipient = ask("Orvelin SMS", "Enter recipient", kSmsRecipientBytes);
    if (!recipient) return;
    std::string to(trimBlanks(*recipient));
    to.resize(utf8PrefixLength(to, kSmsRecipientBytes));
    if (to.empty()) return;

    const SmsSettings settings = hooks_.settings ? hooks_.settings() : SmsSettings{};
    const SmsAddress address = smsAddress(to, settings.cellularPrefixes, settings.serviceNumber);
    std::string message;
    if (text) {
        message = *text;
    } else {
        const std::size_t room = kSmsTextBytes - std::min(kSmsTextBytes, address.textPrefix.size());
        const std::optional<std::string> typed =
            ask("Orvelin SMS to " + to, "Enter your message", room);
        if (!typed || typed->empty()) return;
        message = address.textPrefix + *typed;
    }
    if (message.empty()) return;
    const SmsWireText wire = smsWireText(message);
    if (!wire.problem.empty()) {
        tell(wire.problem, true);
        return;
    }

    const int id = hooks_.connect ? hooks_.connect(address.calledNumber, settings.callerNumber,
                                                   settings.callerCip, smsUserUserData(wire.bytes))
                                  : -1;
    current_ = id;
    quiet_ = quiet;
    if (id < 0) {
        // Nothing was placed (no free connection, or the driver refused the request).
        if (!quiet) tell(kSmsNotDeliveredText, true);
        rearm();
        return;
    }
    Call call;
    call.deadline = now() + kSmsTimeoutMs;
    // The slot of a message whose clearing is still on its way was freed and given out
    // again: that clearing comes first and must not end this call.
    call.earlierClearing = calls_.count(id) != 0;
    calls_[id] = call;
    rearm();
}

bool TextMessages::stateChanged(int id, std::uint32_t parameter) {
    const auto it = calls_.find(id);
    if (it == calls_.end()) return false;
    Call& call = it->second;
    const unsigned low = parameter & 0xFFFF;
    const std::uint16_t reason = std::uint16_t(parameter >> 16);
    const bool info = reason == 0xFFFF;

    if (!call.confirmed) {
        // Reports from before this call's confirmation belong to the slot's earlier call.
        if (call.earlierClearing) {
            if (!info && low == capi::Disconnected) {
                call.earlierClearing = false;
                // Timed out unconfirmed: nothing more comes for this one either.
                if (call.hungUp) calls_.erase(it);
            }
            return true;
        }
        if (info || low != capi::D_ConnectPending) return false;
        call.confirmed = true;
        return true;
    }
    if (info) {
        if (low == kInfoFarEndAlerting) hangUp(id, call);
        return true;
    }
    if (low == capi::D_Connected) {
        hangUp(id, call);
    } else if (low == capi::Disconnected) {
        const bool report = id == current_ && !quiet_;
        if (id == current_) current_ = -1;
        calls_.erase(it);
        rearm();
        if (report) {
            const bool delivered = smsDelivered(reason);
            tell(delivered ? kSmsDeliveredText : kSmsNotDeliveredText, !delivered);
        }
    }
    return true;
}

void TextMessages::timeElapsed() {
    const std::int64_t t = now();
    for (auto it = calls_.begin(); it != calls_.end();) {
        const int id = it->first;
        Call& call = it->second;
        if (call.hungUp || call.deadline > t) {
            ++it;
            continue;
        }
        if (id == current_) current_ = -1;  // its clearing reports nothing now
        if (call.confirmed) {
            hangUp(id, call);
            ++it;
            continue;
        }
        // Never confirmed: there is nothing to hang up and no clearing will come.
        call.hungUp = true;
        if (hooks_.release) hooks_.release(id);
        if (call.earlierClearing) ++it;  // watched until the slot's earlier clearing
        else it = calls_.erase(it);
    }
    rearm();
}

void TextMessages::forgetAll() {
    calls_.clear();
    current_ = -1;
    if (hooks_.killTimer) hooks_.killTimer();
}

void TextMessages::hangUp(int id, Call& call) {
    if (!call.hungUp && hooks_.disconnect) hooks_.disconnect(id);
    call.hungUp = true;
    rearm();
}

void TextMessages::rearm() {
    std::optional<std::int64_t> next;
    for (const auto& [id, call] : calls_)
        if (!call.hungUp) next = next ? std::min(*next, call.deadline) : call.deadline;
    if (!next) {
        if (hooks_.killTimer) hooks_.killTimer();
        return;
    }
    if (hooks_.armTimer) hooks_.armTimer(std::max<std::int64_t>(1, *next - now()));
}

}  // namespace orvelin::client
