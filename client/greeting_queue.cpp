#include "client/greeting_queue.h"

#include <algorithm>
#include <cstring>

#include "media/wavefile.h"

namespace orvelin::client {

std::size_t lineAudioStart(std::span<const std::uint8_t> head, std::uint64_t fileSize) {
    media::WaveLayout layout;
    if (head.size() >= 12 && std::memcmp(head.data(), "RIFF", 4) == 0 &&
        media::ParseWaveHead(head.data(), head.size(), fileSize, layout) == media::WaveHead::Found)
        return layout.dataOffset;
    return 0;
}

void GreetingQueue::push(std::span<const std::uint8_t> data, std::size_t length,
                         std::uint8_t silence, std::uint16_t& nextHandle) {
    GreetingBlock& block = blocks_.emplace_back();
    block.handle = nextHandle++;
    block.length = static_cast<std::uint16_t>(length);
    std::fill(block.data.begin(), block.data.begin() + static_cast<std::ptrdiff_t>(length), silence);
    std::copy(data.begin(), data.end(), block.data.begin());
}

void GreetingQueue::fill(std::span<const std::uint8_t> audio, std::uint8_t silence,
                         std::uint16_t& nextHandle) {
    std::size_t at = 0;
    for (int i = 0; i < kShortGreetingBlocks && at < audio.size(); ++i) {
        const std::size_t n = std::min(kShortGreetingBlockBytes, audio.size() - at);
        push(audio.subspan(at, n), kShortGreetingBlockBytes, silence, nextHandle);
        at += n;
    }
    while (at < audio.size()) {
        const std::size_t n = std::min(kGreetingBlockBytes, audio.size() - at);
        push(audio.subspan(at, n), n, silence, nextHandle);
        at += n;
    }
    for (int i = 0; i < kClosingGreetingBlocks; ++i) push({}, 1, silence, nextHandle);
}

}  // namespace orvelin::client
