// Decoding of any WAVE encoding the sound file library knows into 16-bit
// 8 kHz mono samples: channels are mixed, the rate is converted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvelin::sundrel {

struct EncodedWave {
    const uint8_t* fmt = nullptr;  // format chunk body
    uint32_t fmtSize = 0;
    const uint8_t* fact = nullptr;  // first 4 bytes of a "fact" body, or null
    int fd = -1;  // the samples are read from here as they are decoded
    uint64_t dataOffset = 0;
    size_t dataSize = 0;
};

// Receives the decoded samples in order, block by block.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    // False stops the decoding.
    virtual bool Take(const int16_t* samples, size_t count) = 0;
};

// False when the encoding is unknown, the stream is corrupt, nothing decodes,
// the result would exceed maxSamples or the sink refused a block (the sink
// may have had part of it). Plain 16-bit PCM is read straight from the file;
// libsndfile is loaded for the other encodings.
bool DecodeTo8kMono(const EncodedWave& wave, size_t maxSamples, SampleSink& sink);

}  // namespace orvelin::sundrel
