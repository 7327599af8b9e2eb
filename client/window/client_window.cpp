#include "client/window/client_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QValidator>
#include <QMenu>
#include <QScreen>
#include <QVBoxLayout>
#include <cstring>

#include "capi/capi.h"
#include "client/answering_machine.h"
#include "client/call_decision.h"
#include "client/call_programs.h"
#include "client/fax_post.h"
#include "client/recording_recovery.h"
#include "client/speech_thread.h"
#include "client/text_log.h"
#include "client/window/answering_window_ports.h"
#include "client/text_messages.h"
#include "client/window/call_list_view.h"
#include "client/window/docking.h"
#include "client/window/library_hooks.h"
#include "client/window/line_events.h"
#include "client/window/link_listener.h"
#include "client/window/list_commands.h"
#include "client/window/phone_tables.h"
#include "client/window/settings_library.h"
#include "client/window/settings_reactions.h"
#include "client/window/window_ports.h"
#include "media/fax_tiff.h"
#include "media/speech.h"
#include "platform/message_box.h"
#include "platform/spawn.h"
#include "platform/window_raise.h"
#include "settings/callers_dialog.h"
#include "settings/msn_table.h"
#include "settings/option_bits.h"
#include "settings/settings_store.h"

namespace orvelin::client {

using platform::AppMessage;
using platform::LResult;
using settings::HasOption;
using settings::OptionBits;

namespace {

constexpr const char* kCaption = "Orvelin";

// Accepts a text only while its UTF-8 form fits `maxBytes`: typing stops at the limit and
// a paste that would pass it is refused.
class Utf8LengthValidator : public QValidator {
  public:
    Utf8LengthValidator(std::size_t maxBytes, QObject* parent)
        : QValidator(parent), maxBytes_(maxBytes) {}
    State validate(QString& input, int&) const override {
        return std::size_t(input.toUtf8().size()) <= maxBytes_ ? Acceptable : Invalid;
    }

  private:
    std::size_t maxBytes_;
};

struct Hint {
    platform::CommandId id;
    const char* text;
};
constexpr Hint kHints[] = {
    {CM_CONFIGURE_MSN, "Configure MSN numbers and functions"},
    {CM_CALLER_LIST, "Configure number to name associations"},
    {CM_REJECT, "Reject current incoming call"},
    {CM_ANSWER, "Answer current incoming call"},
    {CM_HIDE, "Hide window"},
    {CM_CAPI_ON_OFF, "Turn on or off"},
    {CM_IMPORT_ADDRESS_BOOK, "Import address book from Windows Messaging (Exchange)."},
    {CM_OPTIONS, "Set options"},
    {CM_PLAY, "Play all new messages"},
    {CM_SEND, "Send text message"},
    {CM_RECORD, "Record welcome message"},
    {CM_REQUEST_INFO, "Request caller info"},
    {CM_OPEN_LOG, "Open the logfile containing previous incoming calls"},
};

// The list's context menu (items and the commands they send).
struct MenuItem {
    const char* text;
    platform::CommandId id;
};
constexpr MenuItem kContextMenu[] = {
    {"&Add to caller list", CM_ADD_CALLER},
    {"&Remove entry", CM_REMOVE_ENTRY},
    {"&Edit remark", CM_EDIT_REMARK},
    {"&Send message", CM_SEND_MESSAGE},
    {"Request info", CM_REQUEST_INFO},
    {"&Lookup", CM_LOOKUP},
};

std::string rowActivity(const TCallRecord& r) {
    const CallRow row = makeCallRow(r, false);
    std::string state(callStateName(r.state));
    if (state.empty()) state = "Shown";
    std::string line = row.text[kColumnTime] + "  to " + row.text[kColumnCalled] + "  from " +
                       (row.text[kColumnCallerNumber].empty() ? "-" : row.text[kColumnCallerNumber]);
    if (!row.text[kColumnCallerName].empty()) line += " (" + row.text[kColumnCallerName] + ")";
    line += "  " + state;
    if (r.reason != 0) {
        char reason[16];
        std::snprintf(reason, sizeof reason, " 0x%04X", unsigned(r.reason));
        line += reason;
    }
    return line + row.text[kColumnCount];
}

}  // namespace

const char* commandHint(platform::CommandId id) {
    for (const Hint& h : kHints)
        if (h.id == id) return h.text;
    return nullptr;
}

const ClientWindow::Enabler ClientWindow::kEnablers[] = {
    {CM_REJECT, &ClientWindow::CeReject},
    {CM_ANSWER, &ClientWindow::CeAnswer},
    {CM_RECORD, &ClientWindow::CeAnswer},
    {CM_SEND_MESSAGE, &ClientWindow::CeSend},
    {CM_SEND, &ClientWindow::CeSend},
};

const platform::Response<ClientWindow> ClientWindow::kResponses[] = {
    platform::onCommand(CM_EXIT_BUTTON, &ClientWindow::CmHide),
    platform::onCommand(CM_CANCEL_BUTTON, &ClientWindow::CmHide),
    platform::onCommand(CM_HIDE, &ClientWindow::CmHide),
    platform::onCommand(CM_REJECT, &ClientWindow::CmReject),
    platform::onCommand(CM_ANSWER, &ClientWindow::CmAnswer),
    platform::onCommand(CM_RECORD, &ClientWindow::CmRecord),
    platform::onCommand(CM_CAPI_ON_OFF, &ClientWindow::CmCapiOnOff),
    platform::onCommand(CM_OPEN_LOG, &ClientWindow::CmOpenLog),
    platform::onCommand(CM_CONFIGURE_MSN, &ClientWindow::CmConfigureMSN),
    platform::onCommand(CM_CALLER_LIST, &ClientWindow::CmCallerList),
    platform::onCommand(CM_IMPORT_ADDRESS_BOOK, &ClientWindow::CmImportAddressBook),
    platform::onCommand(CM_OPTIONS, &ClientWindow::CmOptions),
    platform::onCommand(CM_PLAY, &ClientWindow::CmPlay),
    platform::onCommand(CM_ADD_CALLER, &ClientWindow::CmAddCaller),
    platform::onCommand(CM_REMOVE_ENTRY, &ClientWindow::CmRemoveEntry),
    platform::onCommand(CM_EDIT_REMARK, &ClientWindow::CmEditRemark),
    platform::onCommand(CM_LOOKUP, &ClientWindow::CmLookup),
    platform::onCommand(CM_SEND_MESSAGE, &ClientWindow::CmSendMessage),
    platform::onCommand(CM_SEND, &ClientWindow::CmSend),
    platform::onCommand(CM_REQUEST_INFO, &ClientWindow::CmRequestInfo),
    platform::onMessage(platform::WM_OPEN_OPTIONS, &ClientWindow::EvOpenOptions),
    platform::onMessage(platform::WM_THREAD_DONE, &ClientWindow::EvThreadDone),
    platform::onMessage(platform::WM_FAX_DONE, &ClientWindow::EvFaxDone),
    platform::onMessage(platform::WM_CAPI_INCOMING_CALL, &ClientWindow::EvIncomingCall),
    platform::onMessage(platform::WM_CAPI_STATE_CHANGED, &ClientWindow::EvLineState),
    platform::onMessage(platform::WM_CAPI_DATA_SENT, &ClientWindow::EvDataSent),
    platform::onMessage(platform::WM_CAPI_DATA_RECEIVED, &ClientWindow::EvDataReceived),
    platform::onMessage(platform::WM_CAPI_DTMF, &ClientWindow::EvDtmf),
    platform::onMessage(platform::WM_CAPI_SWITCH_TO_FAX, &ClientWindow::EvSwitchToFax),
    platform::onMessage(platform::WM_TIMER, &ClientWindow::EvTimer),
    platform::onMessage(platform::WM_REFRESH_LIST, &ClientWindow::EvRefreshList),
    platform::onMessage(platform::WM_RESTORE_WINDOW, &ClientWindow::EvRestoreWindow),
    platform::onMessage(platform::WM_SHOW_POPUP, &ClientWindow::EvShowPopup),
    platform::onMessage(platform::WM_CLOSE_POPUP, &ClientWindow::EvClosePopup),
    platform::onMessage(platform::WM_PLAY_DONE, &ClientWindow::EvPlayDone),
    platform::onMessage(platform::WM_SETTINGS_CHANGED, &ClientWindow::EvSettingsChanged),
    // WM_SERVER_SOCKET and WM_CLIENT_SOCKET go to the link's own server window.
};

LResult ClientWindow::dispatch(AppMessage& m) {
    // A command that is not available now does nothing, as a greyed-out button would.
    if (m.id == platform::WM_COMMAND && !commandEnabled(platform::CommandId(m.wParam))) return 0;
    return respond(kResponses, m);
}

// ---- Construction, set-up, clean-up ----

ClientWindow::ClientWindow(ClientWindowConfig config, QWidget* parent)
    : QWidget(parent), platform::AppWindow(config.clock), config_(std::move(config)) {
    setObjectName("Client Dialog");
    setWindowTitle("Client Dialog");
    settings::ReloadMSNSettings(true);
    rebuildNumberList();
    if (config_.comInitialized && HasOption(settings::GetOptions(), OptionBits::AnnounceCallers))
        rebuildSpeechObject();
    capi::LoadCapiDll();

    history_ = std::make_unique<CallHistory>(CallHistory::Config{
        config_.programDir, settings::GetMaxCalls(),
        [](std::string_view line) { capi::WriteCapiLog(std::string(line)); },
        [this](int index) {
            if (link_) link_->queueCall(index);
        },
        [] { return settings::GetOptions(); }});
    capi_ = std::make_unique<CapiSwitch>(config_.capiOps ? config_.capiOps(ref())
                                                         : realCapiOps(ref()));
    tables_ = std::make_unique<PhoneTables>();
    library_ = std::make_unique<SettingsLibrary>(config_.libraryDir, config_.settingsLibraryFile,
                                                 config_.programDir, &modalDialogActive_);
    unanswered_ = std::make_unique<UnansweredLines>(
        [](const std::string& text) { capi::WriteCapiLog(text); });
    answeringPorts_ = std::make_unique<WindowAnsweringPorts>(*this);
    answering_ = std::make_unique<AnsweringMachine>(config_.programDir, lines_, *history_,
                                                    *answeringPorts_);
    handler_ = answering_.get();
    // The CAPI worker reports the end of a voice link that is to carry a fax; the line
    // is this thread's, so the switch runs here while the worker waits.
    capi::SetFaxSwitchHandler([window = ref()](int id, std::uint16_t messageNumber) {
        window.send(platform::WM_CAPI_SWITCH_TO_FAX, platform::WParam(id), messageNumber);
    });
    ports_ = std::make_unique<WindowCallPorts>(*this);
    decision_ = std::make_unique<CallDecision>(*ports_, lines_, *handler_);

    reactions_ = std::make_unique<SettingsReactions>(SettingsReactions::Hooks{
        [] { settings::ReloadMSNSettings(true); },
        [this] { rebuildSpeechObject(); },
        [this] {
            return config_.comInitialized &&
                   HasOption(settings::GetOptions(), OptionBits::AnnounceCallers);
        },
        [this] { post(platform::WM_REFRESH_LIST); },
        config_.service.registerProcess,
        [] { return HasOption(settings::GetOptions(), OptionBits::RunAsService); },
        [this] { rebuildNumberList(); },
        [this] { updateTray(); },
        [this](const std::string& recipient) { texts_->send(recipient, true, std::nullopt); },
    });
    texts_ = makeTextMessages();
    lineEvents_ = std::make_unique<LineEvents>(
        lines_, *history_,
        LineEvents::Hooks{
            config_.frame.showLineState,
            [this](platform::TimerId id) {
                if (id != 0) killTimer(id);
            },
            [this](int line) { post(platform::WM_CLOSE_POPUP, platform::WParam(line)); },
            [this] {
                if (auto mode = speechObject()) mode->AudioReset();
            },
            [this](const TCallRecord& r, const LineRecord& line) {
                if (workers_)
                    workers_->launchProgram(r.id, makeProgramCommand(line.launchAtClear, line.atClearParam),
                                            line.waitAtClear);
            },
            [this](const TCallRecord& r) {
                if (workers_) workers_->runAfterCallProgram(&r);
            },
            [] { return makeArrivalTime(std::chrono::system_clock::now()).seconds1901; },
            [this](const TCallRecord& r) {
                listChanged();
                logActivity(r);
            },
            [this](int line) { answering_->linkUp(line); },
            [this](int line, TCallRecord* r, std::int16_t pages) {
                return answering_->cleared(line, r, pages);
            },
            [this](int line, const TCallRecord& r, std::int16_t pages) {
                return answering_->dataCount(line, r, pages);
            },
            [this](int id, std::uint32_t parameter) { return texts_->stateChanged(id, parameter); },
        });

    bannerFont_ = QFont("Arial");
    bannerFont_.setPixelSize(72);
    bannerFont_.setBold(true);
    setLibraryHooks({[this] { return int(history_->ring().size()); },
                     [this](unsigned bits, const char* text) { return reactions_->apply(bits, text); }});
}

ClientWindow::~ClientWindow() {
    setLibraryHooks({});
    capi::SetFaxSwitchHandler({});
    cleanupWindow();
    // The view goes before the model it shows; Qt would delete it only after the members.
    delete view_;
    view_ = nullptr;
    closeWindow();
    capi::FreeCapiDll();
}

void ClientWindow::setupWindow() {
    if (set_) return;
    set_ = true;
    bannerImage_ = QPixmap(400, 96);
    bannerImage_.fill(QColor("#1e3a5f"));

    model_ = std::make_unique<CallTableModel>(history_->list());
    view_ = new CallListView(*model_, this);
    history_->list().setRowShown([this](const CallRow& row) {
        if (view_) view_->widenFor(row);
    });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);  // the list fills the client area less 3 pixels
    layout->addWidget(view_);
    QObject::connect(view_, &QWidget::customContextMenuRequested, view_,
                     [this](const QPoint& at) { contextMenu(at); });
    QObject::connect(view_, &QAbstractItemView::doubleClicked, view_,
                     [this](const QModelIndex& index) { doubleClicked(index); });

    CmCapiOnOff();
    if (!capiEnabled())
        platform::messageBox(kCapiRegisterFailedText, kCaption, platform::BoxButtons::Ok,
                             platform::BoxIcon::Error, std::nullopt, this);
    if (config_.frame.showLineState) {
        config_.frame.showLineState(0, 0);
        config_.frame.showLineState(1, 0);
    }

    history_->load();  // writes a fresh file when there is none
    recoverRecordings();
    listChanged();

    workers_ = std::make_unique<CallWorkers>(ref());
    speechThread_ = std::make_unique<SpeechThread>(
        SpeechThread::hooksFor(config_.comInitialized, [this] { return speechObject(); }));

    link_ = std::make_unique<LinkListener>(history_->ring());
    link_->listen(config_.hostPort ? config_.hostPort() : settings::GetHostPort());

    tables_->open(config_.programDir);

    listCommands_ = std::make_unique<ListCommands>(
        *history_,
        ListCommands::Hooks{
            [] { return settings::GetOptions(); },
            config_.programDir,
            [this](const std::string& current) -> std::optional<std::string> {
                QInputDialog dialog(this);
                dialog.setWindowTitle(kEditCommentCaption);
                dialog.setLabelText(kEditCommentPrompt);
                dialog.setTextValue(QString::fromStdString(current));
                // The field takes no more than the record holds, so nothing is cut later.
                if (auto* edit = dialog.findChild<QLineEdit*>())
                    edit->setValidator(new Utf8LengthValidator(
                        decltype(TCallRecord::comment)::capacity() - 1, edit));
                if (dialog.exec() != QDialog::Accepted) return std::nullopt;
                return dialog.textValue().toStdString();
            },
            [this](int column) { view_->autosizeColumn(column); },
            [this] { listChanged(); },
            [](const std::string& title) { return platform::raiseTopLevelWindow(title); },
            [](const std::vector<std::string>& argv) { return platform::spawnProgram(argv); },
            [this](const std::string& path) {
                return config_.player.play && config_.player.play(path);
            },
            [](const std::string& path) { return platform::openDocument(path); },
            [](const std::string& sff, std::string* written) {
                return media::ConvertSffToTiff(sff, written);
            },
            [this](const std::string& text) {
                platform::messageBox(text, kCaption, platform::BoxButtons::Ok,
                                     platform::BoxIcon::Error, std::nullopt, this);
            },
            [] { return settings::GetLookupApp(); },
            [] { return settings::GetLookupWindow(); },
        });
}

void ClientWindow::recoverRecordings() {
    const auto numbers = settings::CurrentMSNTable();
    for (const RecoveredRecording& r :
         client::recoverRecordings(config_.programDir, history_->ring(), settings::GetOptions(),
                                   [](const std::string& text) { capi::WriteCapiLog(text); })) {
        if (r.ringIndex < 0) continue;
        const TCallRecord& record = history_->ring().at(std::uint32_t(r.ringIndex));
        history_->updateCallRow(record);
        const settings::MSNEntry* msn = numbers ? numbers->entry(r.msnNumber - 1) : nullptr;
        if (msn && msn->log) history_->startLog(record, record.count);
    }
}

void ClientWindow::cleanupWindow() {
    if (!set_ || cleaned_) return;
    cleaned_ = true;
    tables_->closeAll();
    if (config_.frame.closingDown) config_.frame.closingDown();
    capi_->disable();
    answering_->endCalls();
    if (playThread_) stopPlaying();
    if (speechThread_) speechThread_->stop();
    if (link_) link_->shutdown();
    // Workers hold copies only, but the after-call programs must not outlive the window.
    if (workers_) workers_->stop();
    history_->flush();
}

bool ClientWindow::canClose(bool sessionEnding) {
    if (sessionEnding) return true;
    return platform::messageBox(kQuitQuestion, kCaption, platform::BoxButtons::YesNo,
                                platform::BoxIcon::Warning, platform::BoxAnswer::No,
                                this) == platform::BoxAnswer::Yes;
}

void ClientWindow::EvSize() {
    if (!windowShown_ || !view_ || !config_.frame.workArea || !config_.frame.placeFrame) return;
    const QRect area = config_.frame.workArea();
    if (area == workArea_) return;
    // Stored first: placing the frame resizes this window and comes back here.
    workArea_ = area;
    int columns = 0;
    for (int width : view_->columnMinWidths()) columns += width;
    const QRect frame = dockedFrameGeometry(area, columns);
    if (!frame.isEmpty()) config_.frame.placeFrame(frame);
}

void ClientWindow::refitShown() {
    if (!config_.frame.workArea) return;
    const QRect area = config_.frame.workArea();
    if (area == workArea_) return;
    capi::WriteCapiLogf("Etter SPI_GETWORKAREA w=%d h=%d", area.width(), area.height() - 28);
    EvSize();
}

void ClientWindow::resizeEvent(QResizeEvent* event) {
    EvSize();
    QWidget::resizeEvent(event);
}

void ClientWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    CmHide();
}

void ClientWindow::setLineHandler(LineHandler* handler) {
    handler_ = handler ? handler : answering_.get();
    decision_ = std::make_unique<CallDecision>(*ports_, lines_, *handler_);
}

std::uint16_t ClientWindow::linkPort() const {
    return link_ ? link_->port() : 0;
}

// ---- Enablers ----

bool ClientWindow::commandEnabled(platform::CommandId id) const {
    for (const Enabler& e : kEnablers)
        if (e.id == id) return (this->*e.test)();
    return true;
}

bool ClientWindow::CeReject() const {
    return currentLine_ != kNoCurrentLine && lines_.at(currentLine_) &&
           capi::IsConnectionInUse(currentLine_);
}

bool ClientWindow::CeAnswer() const {
    const LineRecord* line = lines_.at(currentLine_);
    return CeReject() && line && line->lineState == capi::D_ConnectPending;
}

// ---- Messages ----

LResult ClientWindow::EvIncomingCall(AppMessage& m) {
    decision_->incomingCall(int(m.wParam), m.take<capi::IncomingCallInfo>());
    return 0;
}

namespace {

// The line handlers never let anything leave through the message loop; what they throw
// is logged.
template <typename Work>
void guarded(const char* handler, Work&& work) {
    try {
        work();
    } catch (const std::exception& e) {
        capi::WriteCapiLog(std::string("Error in the ") + handler + ": " + e.what());
    } catch (...) {
        capi::WriteCapiLog(std::string("Error in the ") + handler + ": unknown exception");
    }
}

}  // namespace

LResult ClientWindow::EvLineState(AppMessage& m) {
    guarded("line state handler", [&] {
        const auto* cleared = m.peek<capi::ClearedCallInfo>();
        lineEvents_->stateChanged(int(m.wParam), std::uint32_t(m.lParam),
                                  cleared ? cleared->FaxPages : std::int16_t(0));
    });
    return 0;
}

LResult ClientWindow::EvDataSent(AppMessage& m) {
    guarded("data-sent handler", [&] {
        answering_->dataSent(int(m.wParam), std::uint16_t(std::uint32_t(m.lParam) >> 16));
    });
    return 0;
}

LResult ClientWindow::EvDataReceived(AppMessage& m) {
    auto* info = m.peek<capi::ReceivedDataInfo>();
    if (!info) return 0;
    guarded("data handler",
            [&] { answering_->dataReceived(int(m.wParam), info->Data, info->DataLength); });
    if (info->Respond) *info->Respond = 1;
    return 0;
}

LResult ClientWindow::EvDtmf(AppMessage& m) {
    if (std::unique_ptr<capi::DtmfInfo> keys = m.take<capi::DtmfInfo>())
        answering_->dtmf(int(m.wParam), keys->Keys);
    return 0;
}

LResult ClientWindow::EvSwitchToFax(AppMessage& m) {
    answering_->switchLineToFax(int(m.wParam), std::uint16_t(m.lParam));
    return 0;
}

LResult ClientWindow::EvTimer(AppMessage& m) {
    const auto id = platform::TimerId(m.wParam);
    if (decision_->answerDelayElapsed(id)) return 0;
    if (id == kBlinkTimer) {
        blinkPhase_ = !blinkPhase_;
        updateTray();
    } else if (id == kSmsTimer) {
        texts_->timeElapsed();
    }
    return 0;
}

LResult ClientWindow::EvThreadDone(AppMessage& m) {
    if (workers_) workers_->threadDone(WorkerHandle(m.lParam));
    return 0;
}

LResult ClientWindow::EvFaxDone(AppMessage& m) {
    std::unique_ptr<FaxDone> done = m.take<FaxDone>();
    if (!done) return 0;
    if (TCallRecord* record = history_->find(done->callId); record && applyFaxDone(*record, *done)) {
        history_->updateCallRow(*record);
        listChanged();
    }
    if (workers_) workers_->threadDone(done->handle);
    return 0;
}

LResult ClientWindow::EvRefreshList(AppMessage&) {
    history_->list().setLongDate(HasOption(settings::GetOptions(), OptionBits::LongDate));
    history_->list().rebuild();
    listChanged();
    return 0;
}

LResult ClientWindow::EvRestoreWindow(AppMessage&) {
    killTimer(kBlinkTimer);
    EvSize();
    if (blinkPhase_) {
        blinkPhase_ = false;
        updateTray();
    }
    return 0;
}

LResult ClientWindow::EvShowPopup(AppMessage& m) {
    if (config_.frame.showPopup) return config_.frame.showPopup(m);
    return 0;  // the record goes with the message
}

LResult ClientWindow::EvClosePopup(AppMessage& m) {
    // Every connection may have a banner, on a line or not.
    if (config_.frame.closePopup) return config_.frame.closePopup(m);
    return 0;
}

LResult ClientWindow::EvPlayDone(AppMessage& m) {
    if (m.wParam == kPlayHeard) {
        std::unique_ptr<MessageHeard> heard = m.take<MessageHeard>();
        TCallRecord* record = heard ? history_->find(heard->id) : nullptr;
        if (record && markHeard(*record)) {
            history_->updateCallRow(*record);
            listChanged();
        }
        return 0;
    }
    if (playThread_) CmPlay();  // everything was played: the stop branch
    return 0;
}

LResult ClientWindow::EvSettingsChanged(AppMessage& m) {
    return reactions_->apply(std::uint32_t(m.wParam), reinterpret_cast<const char*>(m.lParam));
}

LResult ClientWindow::EvOpenOptions(AppMessage&) {
    CmOptions();
    return 0;
}

// ---- Helpers ----

void ClientWindow::listChanged() {
    if (model_) model_->refresh();
}

void ClientWindow::logActivity(const TCallRecord& record) {
    if (!config_.activityLog || record.hidden()) return;
    std::string line = rowActivity(record);
    if (lastActivity_.size() > 512) lastActivity_.clear();
    std::string& last = lastActivity_[record.id];
    if (last == line) return;  // an update that changed nothing shown
    last = line;
    config_.activityLog(line);
}

void ClientWindow::updateTray() {
    if (config_.frame.updateTrayState) config_.frame.updateTrayState(capiEnabled(), blinkPhase_);
}

void ClientWindow::rebuildNumberList() {
    capi::TheConfiguredNumberList().set(configuredNumberListFromSettings());
}

std::shared_ptr<media::CTTSMode> ClientWindow::speechObject() const {
    std::lock_guard lock(speechMutex_);
    return speech_;
}

void ClientWindow::rebuildSpeechObject() {
    std::shared_ptr<media::CTTSMode> old;
    {
        std::lock_guard lock(speechMutex_);
        old = std::move(speech_);
    }
    if (old) old->AudioReset();
    auto mode = std::make_shared<media::CTTSMode>();
    media::TTSModeInfo info;
    media::TTSModeRank rank;
    const std::string engine = settings::GetSpeechEngine();
    if (!engine.empty()) {
        info.modeName = engine;
        rank.modeName = 1;
    } else {
        rank.language = 1;  // no language given: the default voice
    }
    if (mode->Init(info, &rank) != media::S_OK) mode.reset();
    std::lock_guard lock(speechMutex_);
    speech_ = std::move(mode);
}

void ClientWindow::contextMenu(const QPoint& at) {
    if (view_->selectedIds().empty()) {
        const QModelIndex index = view_->indexAt(at);
        if (!index.isValid()) return;
        view_->setCurrentIndex(index);
    }
    QMenu menu(this);
    // Each item carries the command it sends.
    for (const MenuItem& item : kContextMenu)
        menu.addAction(QString::fromUtf8(item.text))->setData(QVariant::fromValue(item.id));
    QObject::connect(&menu, &QMenu::triggered, this, [this](QAction* action) {
        command(action->data().value<platform::CommandId>());
    });
    menu.exec(view_->viewport()->mapToGlobal(at));
}

void ClientWindow::doubleClicked(const QModelIndex& index) {
    const std::uint32_t id = model_->idAt(index.row());
    if (id != 0) listCommands_->activate(id);
}

}  // namespace orvelin::client
