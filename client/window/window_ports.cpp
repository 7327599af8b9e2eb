#include "client/window/window_ports.h"

#include "capi/connections.h"
#include "client/call_programs.h"
#include "client/speech_thread.h"
#include "client/window/client_window.h"
#include "client/window/phone_tables.h"

namespace orvelin::client {

void WindowCallPorts::connectResp(int id, std::uint16_t reject, std::uint16_t b1,
                                  std::uint16_t b2, std::uint16_t b3) {
    capi::ConnectResp(id, reject, b1, b2, b3, nullptr);
}

void WindowCallPorts::disconnect(int id) {
    capi::Disconnect(id);
}

bool WindowCallPorts::isConnectionInUse(int id) {
    return capi::IsConnectionInUse(id);
}

bool WindowCallPorts::faxCapable() {
    return window_.faxCapable();
}

TCallRecord& WindowCallPorts::takeNewRecord(const ArrivalTime& arrival) {
    return window_.history_->takeNew(arrival);
}

void WindowCallPorts::addCallRow(const TCallRecord& record) {
    window_.history_->addCallRow(record);
    window_.listChanged();
    window_.logActivity(record);
}

void WindowCallPorts::saveRing() {
    window_.history_->startSave();
}

void WindowCallPorts::updateCallRow(const TCallRecord& record) {
    window_.history_->updateCallRow(record);
    window_.listChanged();
    window_.logActivity(record);
}

int WindowCallPorts::currentLine() {
    return window_.currentLine_;
}

void WindowCallPorts::setCurrentLine(int line) {
    window_.currentLine_ = line;
}

void WindowCallPorts::raiseWindow() {
    const bool wasShown = window_.windowShown_;
    if (window_.config_.frame.raiseMainWindow) window_.config_.frame.raiseMainWindow();
    window_.windowShown_ = true;
    if (!wasShown) window_.refitShown();
    window_.killTimer(kBlinkTimer);
    if (window_.blinkPhase_) {
        window_.blinkPhase_ = false;
        window_.updateTray();
    }
}

void WindowCallPorts::post(platform::MessageId id, platform::WParam wParam,
                           platform::RecordPtr record) {
    window_.post(id, wParam, 0, std::move(record));
}

void WindowCallPorts::setTimer(platform::TimerId id, std::int64_t periodMs) {
    window_.setTimer(id, periodMs);
}

void WindowCallPorts::killTimer(platform::TimerId id) {
    window_.killTimer(id);
}

void WindowCallPorts::say(const std::string& text) {
    if (window_.config_.comInitialized && window_.speechThread_) window_.speechThread_->say(text);
}

void WindowCallPorts::launchProgram(std::uint32_t callId, ProgramCommand command,
                                    std::uint32_t waitMs) {
    if (window_.workers_) window_.workers_->launchProgram(callId, std::move(command), waitMs);
}

void WindowCallPorts::runOnCallProgram(const TCallRecord& record, unsigned lineNumber) {
    if (window_.workers_) window_.workers_->runOnCallProgram(record, lineNumber);
}

settings::PhoneBookSearch WindowCallPorts::phoneBookSearch() {
    if (!window_.tables_ || !window_.tables_->started()) return {};
    return window_.tables_->search();
}

}  // namespace orvelin::client
