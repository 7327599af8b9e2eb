// The blocks a greeting is sent in, and the pacing of a line's sending.
//
// A greeting file of line audio becomes a queue of blocks: seven short ones first (the
// far end hears the start sooner), then full blocks, then seven one-byte closing blocks
// whose last confirmation tells that the caller has heard everything. Every block has a
// data handle from one counter shared by both lines, wrapping from 65535 to 0.
//
// Window thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

namespace orvelin::client {

inline constexpr std::size_t kGreetingBlockBytes = 2032;
inline constexpr std::size_t kShortGreetingBlockBytes = 128;
inline constexpr int kShortGreetingBlocks = 7;
inline constexpr int kClosingGreetingBlocks = 7;
inline constexpr int kSendSlots = 4;

// One sample of silence as line audio (bit-reversed G.711).
constexpr std::uint8_t lineSilence(bool aLaw) {
    return aLaw ? 0xAB : 0xFF;
}

struct GreetingBlock {
    std::uint16_t handle = 0;
    std::uint16_t length = 0;
    std::array<std::uint8_t, kGreetingBlockBytes> data{};
};

// Where the samples of a converted greeting start: after a RIFF WAVE header when the
// file has one, else at 0. `head` holds the first bytes of a file of `fileSize` bytes.
std::size_t lineAudioStart(std::span<const std::uint8_t> head, std::uint64_t fileSize);

class GreetingQueue {
  public:
    // Appends the blocks of `audio`: short blocks padded with `silence` to their full
    // length, full blocks with what is left (the last one shorter, never empty), then the
    // closing blocks, one silent sample each. Each takes `nextHandle`, which then counts on.
    void fill(std::span<const std::uint8_t> audio, std::uint8_t silence, std::uint16_t& nextHandle);

    bool empty() const { return blocks_.empty(); }
    std::size_t size() const { return blocks_.size(); }
    const GreetingBlock& front() const { return blocks_.front(); }
    void pop() { blocks_.pop_front(); }

  private:
    void push(std::span<const std::uint8_t> data, std::size_t length, std::uint8_t silence,
              std::uint16_t& nextHandle);

    std::deque<GreetingBlock> blocks_;
};

// Where a line's blocks wait for their confirmation: four buffers used in turn, so a
// block stays unchanged until the CAPI layer has confirmed it.
struct SendSlots {
    std::array<GreetingBlock, kSendSlots> buffers{};
    int next = 0;
    std::uint16_t lastSentHandle = 0;
};

}  // namespace orvelin::client
