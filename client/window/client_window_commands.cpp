// The client window's commands. Each works on the current call's line or on the selected
// entries of the call list; the work itself is done by the classes named for it.
#include <QGuiApplication>
#include <QScreen>

#include "capi/capi.h"
#include "client/answering_machine.h"
#include "client/call_decision.h"
#include "client/text_log.h"
#include "client/text_messages.h"
#include "client/window/call_list_view.h"
#include "client/window/client_window.h"
#include "client/window/list_commands.h"
#include "client/window/phone_tables.h"
#include "client/window/settings_library.h"
#include "client/window/settings_reactions.h"
#include "media/speech.h"
#include "platform/message_box.h"
#include "platform/spawn.h"
#include "settings/callers_dialog.h"
#include "settings/caller_lookup.h"
#include "settings/msn_table.h"
#include "settings/option_bits.h"
#include "settings/settings_hive.h"
#include "settings/settings_store.h"
#include "settings/settings_values.h"

namespace orvelin::client {

using settings::OptionBits;

DialogPlacement ClientWindow::placement() const {
    const QWidget* top = window();
    const QPoint origin = mapToGlobal(QPoint(0, 0));
    const QRect frame = top->frameGeometry();
    return {origin.x(), origin.y(), frame.height(), frame.width()};
}

void ClientWindow::CmHide() {
    if (config_.frame.hideMainWindow) config_.frame.hideMainWindow();
    windowShown_ = false;
}

void ClientWindow::CmReject() {
    if (!CeReject()) return;
    LineRecord& line = *lines_.at(currentLine_);
    killTimer(answerDelayTimer(currentLine_));
    if (line.lineState == capi::D_ConnectPending) capi::ConnectResp(currentLine_, 0, 1, 1, 0, nullptr);
    capi::Disconnect(currentLine_);
    if (TCallRecord* record = history_->find(line.callId)) {
        record->setState(CallState::Rejected);
        history_->updateCallRow(*record);
        listChanged();
        logActivity(*record);
    }
    currentLine_ = kNoCurrentLine;
}

void ClientWindow::CmAnswer() {
    if (!CeAnswer()) return;
    killTimer(answerDelayTimer(currentLine_));
    handler_->answerWithGreeting(currentLine_, lines_.at(currentLine_)->msnNumber);
}

void ClientWindow::CmRecord() {
    if (!CeAnswer()) return;
    killTimer(answerDelayTimer(currentLine_));
    LineRecord& line = *lines_.at(currentLine_);
    line.recordingGreeting = true;
    handler_->answerWithGreeting(currentLine_, line.msnNumber);
}

void ClientWindow::CmCapiOnOff() {
    if (capi_->enabled()) {
        capi_->disable();
        answering_->endCalls();
        texts_->forgetAll();  // their clearings will not come any more
    } else {
        capi::SetOptionsReader([]() -> std::optional<std::uint32_t> { return settings::GetOptions(); });
        capi_->enable();
    }
    if (config_.frame.updateTrayState) config_.frame.updateTrayState(capiEnabled(), false);
}

void ClientWindow::CmOpenLog() {
    platform::editTextFile(textLogPath(config_.programDir).string());
}

void ClientWindow::CmConfigureMSN() {
    const std::optional<std::uint16_t> saved =
        library_->msnDialog(capi_->controllerCount(), faxCapable(), placement());
    if (!saved || *saved == 0) return;
    settings::ReloadMSNSettings(faxCapable());
    rebuildNumberList();
}

void ClientWindow::CmCallerList() {
    settings::CallerListContext context;
    context.programDir = config_.programDir;
    context.libraryDir = config_.libraryDir;
    context.libraryFile = config_.settingsLibraryFile;
    const std::vector<std::uint8_t> image = history_->ring().snapshot();
    context.ring = image.data() + 4;  // the records in their file layout
    context.ringHead = int(history_->ring().head());
    context.modalDialogActive = &modalDialogActive_;
    settings::RunCallerList(this, context);
}

void ClientWindow::CmOptions() {
    const ServiceHooks& service = config_.service;
    const std::uint32_t stored = settings::GetOptions();
    const std::uint32_t before =
        service.queryAutoStart ? optionsBeforeDialog(stored, service.queryAutoStart()) : stored;
    const std::string oldEngine = settings::GetSpeechEngine();
    if (!library_->configDialog(placement())) return;
    const std::uint32_t after = settings::GetOptions();
    rebuildNumberList();  // the form may have changed "Discrete"
    if ((before ^ after) & OptionBits::LongDate) {
        post(platform::WM_REFRESH_LIST);
        view_->autosizeColumn(kColumnTime);
    }
    switchServiceAfterDialog(
        before, after,
        {service,
         [this](const char* text) {
             platform::messageBox(text, "Orvelin", platform::BoxButtons::Ok,
                                  platform::BoxIcon::Information, std::nullopt, this);
         },
         [](std::uint32_t options) { settings::SetOptions(options); }});
    if (((before ^ after) & OptionBits::AnnounceCallers) || settings::GetSpeechEngine() != oldEngine)
        reactions_->apply(kChangedSpeech, nullptr);
}

void ClientWindow::stopPlaying() {
    playThread_->stop();
    playThread_.reset();
    if (config_.frame.setPlayButton) config_.frame.setPlayButton(false);
}

void ClientWindow::CmPlay() {
    if (playThread_) {
        stopPlaying();
        return;
    }
    if (!config_.player.startIfIdle) return;
    playThread_ = std::make_unique<PlayThread>(ref(), unheardMessages(history_->ring()), config_.player);
    if (config_.frame.setPlayButton) config_.frame.setPlayButton(true);
}

void ClientWindow::CmAddCaller() {
    const std::uint32_t id = view_->firstSelectedId();
    const TCallRecord* record = history_->find(id);
    if (!record) return;
    const bool restricted = record->restricted();
    const std::string number =
        settings::callerKeyText(record->callerNumber.view(), restricted);
    std::vector<char> buffer(settings::kCallerNumberBufferBytes, '\0');
    std::memcpy(buffer.data(), number.data(), std::min(number.size(), buffer.size() - 1));
    const std::vector<std::uint8_t> image = history_->ring().snapshot();
    const std::optional<std::uint16_t> saved = library_->callerDialog(
        buffer.data(), image.data() + 4, int(history_->ring().head()), placement());
    if (!saved || *saved == 0) return;
    buffer.back() = '\0';  // the form is not trusted to terminate it
    const std::string key(buffer.data());
    if (!settings::isSafeCallerKey(key)) return;
    const std::optional<settings::StoredValue> value =
        settings::ReadStoredValue(std::string(settings::kCallersKey) + "\\" + key, "Name");
    const std::optional<std::string> name =
        value ? settings::DecodeStringCut(*value, 64) : std::nullopt;
    if (!name) return;
    if (!renameCaller(history_->ring(), key, restricted, settings::callerNameText(*name))) return;
    tables_->reopen();
    history_->list().rebuild();
    listChanged();
    history_->startSave();
}

void ClientWindow::CmRemoveEntry() {
    listCommands_->removeEntries(view_->selectedIds());
}

void ClientWindow::CmEditRemark() {
    if (const std::uint32_t id = view_->firstSelectedId()) listCommands_->editRemark(id);
}

void ClientWindow::CmLookup() {
    if (const std::uint32_t id = view_->firstSelectedId()) listCommands_->lookup(id);
}

}  // namespace orvelin::client
