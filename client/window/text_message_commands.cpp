// The client window's side of text messages: the prompts, the outgoing call through the
// CAPI layer, timer 5 and the reports; TextMessages decides.
#include <QInputDialog>
#include <QLineEdit>

#include "capi/capi.h"
#include "client/text_messages.h"
#include "client/window/call_list_view.h"
#include "client/window/client_window.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "settings/settings_store.h"

namespace orvelin::client {

namespace {

// "Info Mask" bits the first controller must listen for: user-user data and call progress.
constexpr std::uint32_t kSmsInfoBits = 0x08 | 0x10;

}  // namespace

std::unique_ptr<TextMessages> ClientWindow::makeTextMessages() {
    TextMessages::Hooks hooks;
    hooks.ask = [this](const std::string& caption, const std::string& prompt,
                       std::size_t maxChars) -> std::optional<std::string> {
        QInputDialog dialog(this);
        dialog.setWindowTitle(QString::fromStdString(caption));
        dialog.setLabelText(QString::fromStdString(prompt));
        dialog.setInputMode(QInputDialog::TextInput);
        if (auto* edit = dialog.findChild<QLineEdit*>()) edit->setMaxLength(int(maxChars));
        modalDialogActive_ = true;
        const int result = dialog.exec();
        modalDialogActive_ = false;
        if (result != QDialog::Accepted) return std::nullopt;
        return dialog.textValue().toStdString();
    };
    hooks.settings = [] { return smsSettingsFromStore(); };
    hooks.connect = [](const std::string& called, const std::string& calling, std::uint32_t cipMask,
                       const std::vector<std::uint8_t>& userUserData) {
        int id = -1;
        // 64 kbit/s transparent on all three levels; no configurations.
        capi::Connect(&id, called.c_str(), calling.empty() ? nullptr : calling.c_str(), cipMask,
                      1, 1, 0, nullptr, nullptr, nullptr, nullptr, userUserData.data());
        return id;
    };
    hooks.disconnect = [](int id) { capi::Disconnect(id); };
    hooks.release = [](int id) {
        // Only while the request is still unanswered; a late confirmation is then refused.
        if (capi::IsConnectionInUse(id) && capi::GetPLCI(id) == -1) capi::FreeConnection(id);
    };
    hooks.armTimer = [this](std::int64_t ms) { setTimer(kSmsTimer, ms); };
    hooks.killTimer = [this] { killTimer(kSmsTimer); };
    hooks.now = [this] { return (config_.clock ? *config_.clock : platform::defaultClock()).now(); };
    hooks.tell = [](const std::string& text, bool problem) {
        // Reports arrive while the window handles the line: never wait for the user here.
        platform::notifyBox(text, "Orvelin",
                            problem ? platform::BoxIcon::Warning : platform::BoxIcon::Information);
    };
    return std::make_unique<TextMessages>(std::move(hooks));
}

bool ClientWindow::CeSend() const {
    return (settings::GetInfoMask(1) & kSmsInfoBits) == kSmsInfoBits;
}

void ClientWindow::CmSendMessage() {
    const TCallRecord* record = history_->find(view_->firstSelectedId());
    if (!record || record->callerNumber.empty()) return;
    texts_->send(std::string(record->callerNumber.view()), false, std::nullopt);
}

void ClientWindow::CmSend() {
    texts_->send(std::nullopt, false, std::nullopt);
}

void ClientWindow::CmRequestInfo() {
    const TCallRecord* record = history_->find(view_->firstSelectedId());
    if (!record || record->callerNumber.empty()) return;
    std::string request = kRequestInfoPrefix;
    request += record->callerNumber.view();
    texts_->send(std::string(kRequestInfoNumber), false, request);
}

}  // namespace orvelin::client
