#include "client/play_thread.h"

#include <filesystem>
#include <memory>
#include <utility>

namespace orvelin::client {

std::vector<UnheardMessage> unheardMessages(const CallRing& ring) {
    std::vector<UnheardMessage> out;
    for (std::uint32_t index : ring.walkOrder()) {
        const TCallRecord& r = ring.at(index);
        if (r.inUse() && r.state == static_cast<std::uint32_t>(CallState::VoiceMessage))
            out.push_back({r.id, std::string(r.filePath.view())});
    }
    return out;
}

bool markHeard(TCallRecord& record) {
    if (record.state != static_cast<std::uint32_t>(CallState::VoiceMessage)) return false;
    record.setState(CallState::ReadVoiceMessage);
    return true;
}

PlayThread::PlayThread(platform::WindowRef window, std::vector<UnheardMessage> messages,
                       SoundPlayer player, std::chrono::milliseconds poll)
    : window_(std::move(window)),
      messages_(std::move(messages)),
      player_(std::move(player)),
      poll_(poll),
      thread_([this](platform::StopFlag& stop) { run(stop); }) {}

PlayThread::~PlayThread() {
    stop();
}

void PlayThread::stop() {
    thread_.requestStop();
    thread_.join();
}

void PlayThread::run(platform::StopFlag& stop) {
    for (const UnheardMessage& m : messages_) {
        if (stop.requested()) return;
        // A missing file would never be accepted and the loop below never end.
        std::error_code ec;
        if (m.path.empty() || !std::filesystem::is_regular_file(m.path, ec)) continue;
        // Start it once nothing else plays, so it is really heard before it counts.
        while (!player_.startIfIdle(m.path)) {
            if (stop.waitFor(poll_)) return;
        }
        // A start is accepted again only once the message has ended.
        for (;;) {
            if (stop.waitFor(poll_)) {
                player_.stopSound();
                return;
            }
            if (player_.startIfIdle(m.path)) {
                player_.stopSound();
                break;
            }
        }
        auto heard = std::make_unique<MessageHeard>();
        heard->id = m.id;
        window_.post(platform::WM_PLAY_DONE, kPlayHeard, 0, std::move(heard));
    }
    if (!stop.requested()) window_.post(platform::WM_PLAY_DONE, 0, 0);
}

}  // namespace orvelin::client
