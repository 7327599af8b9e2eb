#include "client/window/answering_window_ports.h"

#include <sys/statvfs.h>

#include <filesystem>

#include "capi/capi.h"
#include "client/call_programs.h"
#include "client/window/client_window.h"
#include "platform/library.h"
#include "settings/settings_store.h"

namespace orvelin::client {

void WindowAnsweringPorts::acceptVoice(int line) {
    capi::ConnectResp(line, 0, 1, 1, 0, nullptr);
}

void WindowAnsweringPorts::acceptFax(int line, const std::string& stationId) {
    const capi::CapiStruct b3 = capi::MakeFaxB3Config(0, 1, stationId);
    capi::ConnectResp(line, 0, 4, 4, 4, b3.data());
}

void WindowAnsweringPorts::disconnect(int line) {
    capi::Disconnect(line);
}

unsigned WindowAnsweringPorts::sendData(int line, const std::uint8_t* data, std::uint16_t length,
                                        std::uint16_t handle) {
    return capi::SendData(line, data, length, handle, 0);
}

void WindowAnsweringPorts::startDtmfListen(int line) {
    capi::StartDTMFListen(capi::ApplId(), line, 0, 0, 0);
}

void WindowAnsweringPorts::requestFaxSwitch(int line) {
    capi::SetSwitchToFax(line, 1);
    capi::DisconnectB3(line);
}

void WindowAnsweringPorts::selectFaxProtocol(int line, std::uint16_t messageNumber,
                                             const std::string& stationId) {
    // The fax link's own end must not switch the line again.
    capi::SetSwitchToFax(line, 0);
    capi::SelectBProtocol(line, messageNumber, 4, 4, 4, capi::MakeFaxB1Config(), capi::kEmptyStruct,
                          capi::MakeFaxB3Config(0, 1, stationId));
}

bool WindowAnsweringPorts::convertGreeting(const GreetingConversion& c) {
    using Convert = std::int32_t(const char*, const char*, std::uint8_t, std::int32_t,
                                 std::int32_t, std::int32_t);
    const auto r = platform::callLibraryExportIn<Convert>(
        window_.config_.libraryDir, "libsundrel.so", "_SndConvertFile", c.source.c_str(),
        c.target.c_str(), std::uint8_t(c.aLaw ? 1 : 0), c.level, c.floor, c.window);
    if (!r.called()) {
        capi::WriteCapiLog("Sound library not usable: " + r.error);
        return false;
    }
    return r.value && (*r.value & 0xFFFF) != 0;
}

std::optional<std::uint64_t> WindowAnsweringPorts::freeBytes(const std::string& path) {
    struct statvfs fs {};
    const std::string dir = std::filesystem::path(path).parent_path().string();
    if (::statvfs(dir.c_str(), &fs) != 0) return std::nullopt;
    return std::uint64_t(fs.f_bavail) * fs.f_frsize;
}

void WindowAnsweringPorts::playSound(const std::string& path) {
    if (window_.config_.player.startIfIdle) window_.config_.player.startIfIdle(path);
}

void WindowAnsweringPorts::rowUpdated(const TCallRecord& record) {
    window_.listChanged();
    window_.logActivity(record);
}

void WindowAnsweringPorts::setStatusText(const std::string& text) {
    if (window_.config_.frame.setStatusText) window_.config_.frame.setStatusText(text);
}

void WindowAnsweringPorts::setTimer(platform::TimerId id, std::int64_t periodMs) {
    window_.setTimer(id, periodMs);
}

bool WindowAnsweringPorts::mainWindowHidden() {
    return !window_.windowShown();
}

void WindowAnsweringPorts::log(const std::string& line) {
    capi::WriteCapiLog(line);
}

void WindowAnsweringPorts::startFaxThread(const TCallRecord& record) {
    if (window_.workers_) window_.workers_->startFaxThread(record);
}

std::uint32_t WindowAnsweringPorts::options() {
    return settings::GetOptions();
}

}  // namespace orvelin::client
