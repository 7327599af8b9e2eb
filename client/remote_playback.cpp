#include "client/remote_playback.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

namespace orvelin::client {
namespace {

std::string resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> r(realpath(path.c_str(), nullptr), &std::free);
    return r ? std::string(r.get()) : std::string();
}

void advance(LineRecord& line, std::uint32_t size) {
    const int n = static_cast<int>(size);
    if (line.playbackBackwards)
        line.playbackIndex = line.playbackIndex - 1 < 0 ? n - 1 : line.playbackIndex - 1;
    else
        line.playbackIndex = (line.playbackIndex + 1) % n;
}

}  // namespace

void choosePlayback(LineRecord& line, char key, std::uint32_t head, std::uint32_t size) {
    line.playbackActive = true;
    line.playbackVisited = 0;
    const int h = static_cast<int>(head);
    switch (key) {
        case '1':
            line.playbackIndex = h;
            line.playbackIncludeHeard = false;
            line.playbackBackwards = false;
            break;
        case '2':
            line.playbackIndex = h;
            line.playbackIncludeHeard = true;
            line.playbackBackwards = false;
            break;
        case '3':
            line.playbackIndex = h - 1 < 0 ? static_cast<int>(size) - 1 : h - 1;
            line.playbackIncludeHeard = true;
            line.playbackBackwards = true;
            break;
        default:
            break;
    }
}

bool fileInsideFolder(const std::string& path, const std::string& folder) {
    const std::string dir = resolved(folder);
    const std::string file = resolved(path);
    if (dir.empty() || file.empty()) return false;
    const std::string prefix = dir.ends_with('/') ? dir : dir + '/';
    if (!file.starts_with(prefix)) return false;
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

PlaybackStep nextPlayback(LineRecord& line, const CallRing& ring,
                          const std::function<bool(const TCallRecord&)>& playable) {
    const std::uint32_t size = ring.size();
    const int n = static_cast<int>(size);
    while (line.playbackVisited < n) {
        ++line.playbackVisited;
        const int index = line.playbackIndex;
        if (index >= 0 && index < n) {
            const TCallRecord& r = ring.at(static_cast<std::uint32_t>(index));
            const bool wanted =
                r.inUse() && (r.state == static_cast<std::uint32_t>(CallState::VoiceMessage) ||
                              (r.state == static_cast<std::uint32_t>(CallState::ReadVoiceMessage) &&
                               line.playbackIncludeHeard));
            if (wanted && playable(r)) {
                advance(line, size);
                return {PlaybackStep::Play, static_cast<std::uint32_t>(index)};
            }
        }
        advance(line, size);
    }
    if (line.playbackVisited == n) {
        line.playbackVisited = n + 1;
        return {PlaybackStep::PlayNoMore, 0};
    }
    return {PlaybackStep::Disconnect, 0};
}

}  // namespace orvelin::client
