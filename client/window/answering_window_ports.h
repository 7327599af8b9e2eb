// The client window as the answering machine reaches it: the CAPI layer, the sound
// library, the frame's status bar and the window's timers and workers.
#pragma once

#include "client/answering_ports.h"

namespace orvelin::client {

class ClientWindow;

class WindowAnsweringPorts : public AnsweringPorts {
  public:
    explicit WindowAnsweringPorts(ClientWindow& window) : window_(window) {}

    void acceptVoice(int line) override;
    void acceptFax(int line, const std::string& stationId) override;
    void disconnect(int line) override;
    unsigned sendData(int line, const std::uint8_t* data, std::uint16_t length,
                      std::uint16_t handle) override;
    void startDtmfListen(int line) override;
    void requestFaxSwitch(int line) override;
    void selectFaxProtocol(int line, std::uint16_t messageNumber,
                           const std::string& stationId) override;

    bool convertGreeting(const GreetingConversion& conversion) override;
    std::optional<std::uint64_t> freeBytes(const std::string& path) override;
    void playSound(const std::string& path) override;

    void rowUpdated(const TCallRecord& record) override;
    void setStatusText(const std::string& text) override;
    void setTimer(platform::TimerId id, std::int64_t periodMs) override;
    bool mainWindowHidden() override;
    void log(const std::string& line) override;

    void startFaxThread(const TCallRecord& record) override;
    std::uint32_t options() override;

  private:
    ClientWindow& window_;
};

}  // namespace orvelin::client
