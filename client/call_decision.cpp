#include "client/call_decision.h"

#include <algorithm>

#include "platform/app_messages.h"
#include "platform/cp1252.h"
#include "platform/paths.h"
#include "settings/option_bits.h"

namespace orvelin::client {
namespace {

using settings::OptionBits;

// The connection state of a call that alerts and is not yet answered (D_ConnectPending).
constexpr int kAlerting = 1;
constexpr std::size_t kCommentBytes = 128;
constexpr std::size_t kSpeechTextBytes = 511;
constexpr std::string_view kAddressTag = "\\CTX=\"ADDRESS\"\\";

std::string upperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string cutUtf8(std::string_view text, std::size_t maxBytes) {
    return std::string(text.substr(0, utf8PrefixLength(text, maxBytes)));
}

// A one-character called number is an MSN index (a non-digit counts as 0).
std::string calledNumberText(std::string_view received, const settings::MSNTable& msn) {
    std::string number = received.empty() ? std::string("0") : std::string(received);
    if (number.size() != 1) return number;
    const char c = number[0];
    const int index = c >= '0' && c <= '9' ? c - '0' : 0;
    const settings::MSNEntry* entry = msn.entry(index);
    if (entry && !entry->number.empty()) return entry->number;
    return number;
}

// The caller's program runs only on its line and for its kinds of call.
bool launchAllowed(const settings::CallerLaunch& launch, int msnNumber, std::uint16_t cip) {
    if (launch.launchLine != 255) {
        const std::uint32_t lineBit = msnNumber >= 1 && msnNumber <= 8 ? 1u << (msnNumber - 1) : 0;
        if (launch.launchLine != lineBit) return false;
    }
    const std::uint32_t cipBit = cip < 32 ? 1u << cip : 0;
    return (launch.launchCip & cipBit) != 0;
}

}  // namespace

std::string rewriteCallerNumber(std::string_view number, std::uint32_t options) {
    if (options & OptionBits::AddLeadingZero) {
        if (number.size() > 1) {
            // Appended, not "0" + std::string: GCC 12 at -O3 reports a false
            // -Wrestrict for that (GCC bug 105651).
            std::string withZero(1, '0');
            withZero += number;
            return withZero;
        }
        return std::string(number);
    }
    if ((options & OptionBits::StripLeadingZero) && !number.empty() && number[0] == '0')
        return std::string(number.substr(1));
    return std::string(number);
}

std::string stripCallerNumber(std::string_view number,
                              const std::optional<settings::StripSettings>& strip) {
    if (!strip || number.empty()) return std::string(number);
    const std::size_t keep = number.size() > strip->threshold ? strip->keepLong : strip->keepShort;
    if (keep == 0 || keep >= number.size()) return std::string(number);
    return std::string(number.substr(number.size() - keep));
}

bool authorisedByAuth(std::string_view auth, std::string_view callerNumber) {
    // Only a dialable number can be authorised: the stored default "????" must never match a
    // number the network made up.
    if (callerNumber.empty() ||
        callerNumber.find_first_not_of("0123456789*#+") != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (start <= auth.size()) {
        std::size_t end = auth.find_first_of(";,", start);
        if (end == std::string_view::npos) end = auth.size();
        const std::string_view token = auth.substr(start, end - start);
        if (!token.empty() && token.size() <= callerNumber.size() &&
            callerNumber.substr(callerNumber.size() - token.size()) == token)
            return true;
        start = end + 1;
    }
    return false;
}

std::string announcementText(std::string_view sayWhat, std::string_view callerName,
                             bool unlistedFallback, std::string_view callerNumber) {
    std::string text(sayWhat);
    text += ' ';
    if (!callerName.empty() && !unlistedFallback) {
        text += callerName;
    } else if (upperAscii(text).find(kAddressTag) != std::string::npos) {
        text += callerNumber;
    } else {
        // Digits in pairs from the end, so the engine reads "12 34" rather than one number.
        std::size_t i = 0;
        if (callerNumber.size() % 2 == 1) {
            text += callerNumber[0];
            text += ' ';
            i = 1;
        }
        for (; i < callerNumber.size(); i += 2) {
            text += callerNumber.substr(i, 2);
            text += ' ';
        }
    }
    return cutUtf8(text, kSpeechTextBytes);
}

void CallDecision::incomingCall(int id, std::unique_ptr<capi::IncomingCallInfo> info) {
    if (!info) return;
    const std::uint32_t options = ports_.options();
    const std::string rewritten = rewriteCallerNumber(info->CallingNumber, options);
    const ArrivalTime arrival = ports_.arrivalNow();

    std::shared_ptr<const settings::MSNTable> msn = ports_.msnTable();
    if (!msn) msn = std::make_shared<const settings::MSNTable>();
    LineRecord* line = lines_.at(id);

    const int receivedIndex = msn->findIndex(info->CalledNumber);
    if (receivedIndex != -1 && ports_.isDiscreteMsn(receivedIndex)) {
        // The call is not ours to see. The line (if any) still names the previous call on
        // this connection, and the commands may still point at it: let go of both, so this
        // call's clearing can change nothing.
        if (line) {
            line->unbind();
            ports_.killTimer(answerDelayTimer(id));
            if (ports_.currentLine() == id) ports_.setCurrentLine(255);
        }
        return;
    }

    TCallRecord& record = ports_.takeNewRecord(arrival);
    record.arrival = arrival.local;
    record.arrivalSeconds = arrival.seconds1901;
    record.setState(CallState::Shown);
    record.flags = 0;
    record.setMsnIndex(receivedIndex == -1 ? kNoMsnIndex
                                           : static_cast<std::uint16_t>(receivedIndex));
    if (line) {
        line->callId = record.id;
        line->matchedKey.clear();
        ports_.setCurrentLine(id);
    }

    record.callerNumber.assign(stripCallerNumber(rewritten, ports_.stripSettings()));
    record.calledNumber.assign(calledNumberText(info->CalledNumber, *msn));
    record.cip = info->CIPValue;

    if (info->UserUserData && !info->UserUserData->empty()) {
        const std::vector<std::uint8_t>& uud = *info->UserUserData;
        const std::size_t length = uud[0];
        if (length > 1) {
            // Byte 1 is the protocol; the text follows, bounded by what really arrived.
            const std::size_t available = uud.size() > 2 ? uud.size() - 2 : 0;
            const std::size_t n = std::min({length - 1, kCommentBytes, available});
            // The text travels in Windows-1252 (as the program sends its own); the record
            // holds UTF-8.
            record.comment.assign(platform::cp1252ToUtf8(std::string_view(
                reinterpret_cast<const char*>(uud.data()) + 2, n)));
            record.setState(CallState::Sms);
        }
    }

    const bool restricted = info->PresentationRestricted != 0;
    if (restricted) record.flags |= kFlagRestricted;
    const std::string callerNumber(record.callerNumber.view());
    const std::string lookupText =
        cutUtf8(settings::callerKeyText(callerNumber, restricted), kLineCallerNumberBytes);
    info.reset();

    const int index = msn->findIndex(record.calledNumber.view());
    const settings::MSNEntry* entry = msn->entry(index);
    if (entry) record.calledName.assign(entry->name);
    const int msnNumber = entry ? index + 1 : 1;

    const settings::CallerLookup caller = ports_.lookupCaller(callerNumber, restricted, msnNumber);
    record.callerName.assign(caller.name);

    // A call without a line keeps its per-call values here, for its programs.
    LineRecord scratch;
    LineRecord& call = line ? *line : scratch;
    call.cip = record.cip;
    call.msnNumber = msnNumber;
    call.launch = caller.launch.launch && launchAllowed(caller.launch, msnNumber, record.cip);
    call.launchAtCall = caller.launch.atCall;
    call.atCallParam = caller.launch.atCallParam;
    call.launchAtClear = caller.launch.atClear;
    call.atClearParam = caller.launch.atClearParam;
    call.waitAtCall = caller.launch.waitAtCall;
    call.waitAtClear = caller.launch.waitAtClear;
    call.personalMsg = caller.personalMsg;
    // Names files of this call later: never a separator or a leading dot.
    call.callerNumber = platform::fileKey(lookupText);
    call.unlistedFallback = caller.unlisted;
    call.matchedKey = caller.matchedKey;
    call.authorised = authorisedByAuth(ports_.auth(), callerNumber);
    call.playbackActive = false;
    call.recordingGreeting = false;
    const std::uint32_t maxTime =
        entry && !caller.noVoiceMessage ? ports_.maxRecordingTime(index) : 0;
    call.maxRecordingTime =
        static_cast<std::int32_t>(std::min(maxTime, settings::kMaxRecordingTimeLimit));

    const bool log = entry && entry->log;
    const bool raise = entry && entry->popup && !record.hidden();
    const bool answer = entry && entry->answer;
    const bool noFax = caller.noFax();
    const bool faxCall =
        ports_.faxCapable() && ((entry && entry->fax) || (!noFax && record.cip == 17));
    const settings::CallerSettings rule = caller.settings();
    const int minute = arrival.local.hour * 60 + arrival.local.minute;

    const bool rejected = rule.rejectsAt(minute);
    if (rejected) {
        // Accepted and cleared at once: the caller hears the line drop rather than busy.
        record.setState(CallState::Rejected);
        ports_.connectResp(id, 0, 1, 1, 0);
        ports_.disconnect(id);
    }
    call.logCall = log;

    ports_.addCallRow(record);
    ports_.saveRing();
    if (raise) ports_.raiseWindow();

    if (!rejected) {
        if (options & OptionBits::AnnounceCallers)
            ports_.say(announcementText(ports_.sayWhat(), record.callerName.view(),
                                        call.unlistedFallback, callerNumber));

        if (!record.hidden() && (options & OptionBits::PopupBanner) && (!faxCall || noFax)) {
            ports_.closeScreenSaver();
            if (line) ports_.post(platform::WM_CLOSE_POPUP, static_cast<platform::WParam>(id));
            auto popup = std::make_unique<PopupText>();
            const std::string_view name = record.callerName.view();
            popup->callerText =
                call.unlistedFallback || name.empty() ? lookupText : std::string(name);
            popup->detailLine = std::string(name) + " " + lookupText + " to " +
                                std::string(record.calledName.view()) + " " +
                                std::string(record.calledNumber.view());
            ports_.post(platform::WM_SHOW_POPUP, static_cast<platform::WParam>(id),
                        std::move(popup));
        }

        if (rule.answersAt(minute)) {
            if (line) handler_.answerWithGreeting(id, entry ? index + 1 : 0);
        } else if (faxCall && !noFax) {
            if (line) {
                record.setState(CallState::BrokenFax);
                handler_.answerFaxCall(id);
            }
        } else if (answer &&
                   rule.mode != static_cast<std::uint32_t>(settings::CallerMode::NeverAnswer)) {
            if (line) {
                const std::int64_t delayMs = std::min<std::int64_t>(
                    static_cast<std::int64_t>(ports_.recordingDelay(index)) << 10,
                    kMaxAnswerDelayMs);
                if (delayMs < 1024)
                    handler_.answerWithGreeting(id, index + 1);
                else
                    ports_.setTimer(answerDelayTimer(id), delayMs);
            }
        }
    }

    ports_.updateCallRow(record);

    if (call.launch && (!call.launchAtCall.empty() || !call.atCallParam.empty()))
        ports_.launchProgram(record.id, makeProgramCommand(call.launchAtCall, call.atCallParam),
                             call.waitAtCall);
    ports_.runOnCallProgram(record, static_cast<unsigned>(msnNumber));
}

bool CallDecision::answerDelayElapsed(platform::TimerId id) {
    const int lineIndex = lineOfAnswerDelayTimer(id);
    LineRecord* line = lines_.at(lineIndex);
    if (!line) return false;
    ports_.killTimer(id);
    if (ports_.isConnectionInUse(lineIndex) && line->lineState == kAlerting)
        handler_.answerWithGreeting(lineIndex, line->msnNumber);
    return true;
}

}  // namespace orvelin::client
