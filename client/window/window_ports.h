// The client window as the incoming-call decision reaches it.
#pragma once

#include "client/call_decision_ports.h"

namespace orvelin::client {

class ClientWindow;

class WindowCallPorts : public CallDecisionPorts {
  public:
    explicit WindowCallPorts(ClientWindow& window) : window_(window) {}

    void connectResp(int connectionId, std::uint16_t reject, std::uint16_t b1, std::uint16_t b2,
                     std::uint16_t b3) override;
    void disconnect(int connectionId) override;
    bool isConnectionInUse(int connectionId) override;
    bool faxCapable() override;

    TCallRecord& takeNewRecord(const ArrivalTime& arrival) override;
    void addCallRow(const TCallRecord& record) override;
    void saveRing() override;
    void updateCallRow(const TCallRecord& record) override;

    int currentLine() override;
    void setCurrentLine(int line) override;
    void closeScreenSaver() override {}  // no screen saver to close here
    void raiseWindow() override;
    void post(platform::MessageId id, platform::WParam wParam,
              platform::RecordPtr record = nullptr) override;
    void setTimer(platform::TimerId id, std::int64_t periodMs) override;
    void killTimer(platform::TimerId id) override;

    void say(const std::string& text) override;
    void launchProgram(std::uint32_t callId, ProgramCommand command, std::uint32_t waitMs) override;
    void runOnCallProgram(const TCallRecord& record, unsigned lineNumber) override;
    settings::PhoneBookSearch phoneBookSearch() override;

  private:
    ClientWindow& window_;
};

}  // namespace orvelin::client
