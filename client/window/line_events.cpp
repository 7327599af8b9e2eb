#include "client/window/line_events.h"

#include "capi/connections.h"
#include "settings/settings_store.h"

namespace orvelin::client {

bool answeredElsewhere(std::uint16_t reason) {
    return reason == 0x349A || reason == 0x3487 || reason == 0x3304;
}

namespace {

// States whose count the line handlers fill: seconds of audio, or fax pages.
bool countsData(std::uint32_t state) {
    switch (static_cast<CallState>(state)) {
        case CallState::Answered:
        case CallState::VoiceMessage:
        case CallState::BrokenFax:
        case CallState::Fax:
        case CallState::ViewedFaxMessage:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::uint16_t clearedCallSeconds(const TCallRecord& record, std::uint32_t nowSeconds1901) {
    // Unsigned difference: right across the 2037 wrap of the seconds value too.
    return static_cast<std::uint16_t>(nowSeconds1901 - record.arrivalSeconds);
}

LineEvents::LineEvents(LineRecords& lines, CallHistory& history, Hooks hooks)
    : lines_(lines), history_(history), hooks_(std::move(hooks)) {}

void LineEvents::stateChanged(int id, std::uint32_t parameter, std::int16_t faxPages) {
    if (hooks_.textMessageCall && hooks_.textMessageCall(id, parameter)) return;
    LineRecord* line = lines_.at(id);
    if (!line) return;
    const int state = int(parameter & 0xFFFF);
    const std::uint16_t reason = std::uint16_t(parameter >> 16);
    if (reason == 0xFFFF) return;  // an INFO number, not a state
    if (hooks_.showLineState) hooks_.showLineState(id, state);
    if (state == capi::Connected) {
        if (hooks_.killTimer) hooks_.killTimer(answerDelayTimer(id));
        if (hooks_.closePopup) hooks_.closePopup(id);
        line->gainOnly = std::make_shared<media::CSoundConv>("", "", true, settings::UseALaw(),
                                                             4000.0, 650, 130);
        if (hooks_.linkUp) hooks_.linkUp(id);
    } else if (state == capi::Disconnected) {
        cleared(id, *line, reason, faxPages);
    }
    line->lineState = state;
}

void LineEvents::update(const TCallRecord& record) {
    history_.updateCallRow(record);
    if (hooks_.rowUpdated) hooks_.rowUpdated(record);
}

void LineEvents::cleared(int id, LineRecord& line, std::uint16_t reason, std::int16_t faxPages) {
    if (hooks_.killTimer) hooks_.killTimer(answerDelayTimer(id));
    TCallRecord* record = history_.find(line.callId);
    if (record) record->reason = reason;
    if (hooks_.closePopup) hooks_.closePopup(id);
    if (hooks_.stopSpeech) hooks_.stopSpeech();
    line.gainOnly.reset();
    const bool faxThread = hooks_.clearMode && hooks_.clearMode(id, record, faxPages);
    line.mode = LineMode::Idle;
    if (record && answeredElsewhere(reason)) {
        record->setState(CallState::AnsweredByPhone);
        update(*record);
    }
    if (record && line.launch && (!line.launchAtClear.empty() || !line.atClearParam.empty()) &&
        hooks_.launchAtClear)
        hooks_.launchAtClear(*record, line);
    if (record && !countsData(record->state)) {
        record->count = clearedCallSeconds(*record, hooks_.nowSeconds1901 ? hooks_.nowSeconds1901() : 0);
    } else if (record && hooks_.dataCount) {
        if (auto count = hooks_.dataCount(id, *record, faxPages)) record->count = *count;
    }
    if (record) {
        update(*record);
        if (line.logCall) history_.startLog(*record, record->count);
        if (hooks_.afterCall && !faxThread) hooks_.afterCall(*record);
    }
    line.unbind();
}

}  // namespace orvelin::client
