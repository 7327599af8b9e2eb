// Decoding of any WAVE encoding the sound file library knows into 16-bit
// 8 kHz mono samples: channels are mixed, the rate is converted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvelin::sundrel {

struct EncodedWave {
    const uint8_t* fmt = nullptr;  // format chunk body
    uint32_t fmtSize = 0;
    const uint8_t* fact = nullptr;  // first 4 bytes of a "fact" body, or null
    const uint8_t* data = nullptr;
    size_t dataSize = 0;
};

// False when the encoding is unknown, the stream is corrupt, nothing decodes,
// or the result would exceed maxSamples.
bool DecodeTo8kMono(const EncodedWave& wave, size_t maxSamples, std::vector<int16_t>& out);

}  // namespace orvelin::sundrel
