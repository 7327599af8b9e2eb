// G.711 A-law coding, table transcoding to and from mu-law, the bit reversal of
// B-channel bytes, a moving-average gain control and the per-byte pipelines
// that chain them. Compiled into the program and into libsundrel.so alike.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace orvelin::media {

// Entry i is i with its eight bits in reverse order; the ISDN B channel sends
// the least significant bit first, so line bytes are stored reversed.
extern const uint8_t BitReverseTable[256];
// Upper end of each A-law segment on the 16-bit scale.
extern const int16_t SegmentEndTable[8];
// G.711 mu-law/A-law transcoding tables, indexed by a 7-bit magnitude code.
// MuToATable gives the A-law magnitude code plus one.
extern const int32_t MuToATable[128];
extern const int32_t AToMuTable[128];

namespace g711_detail {
// Every result of the coding below, worked out at compile time from the
// arithmetic in g711.cpp, so the hot loops do one look-up per sample.
// Samples index by their low 16 bits.
extern const std::array<uint8_t, 65536> ALawOfSample;
extern const std::array<uint8_t, 65536> MuLawOfSample;  // through A-law
extern const std::array<int16_t, 256> SampleOfALaw;
extern const std::array<int16_t, 256> SampleOfMuLaw;  // through A-law
extern const std::array<uint8_t, 256> ALawOfMuLaw;
extern const std::array<uint8_t, 256> MuLawOfALaw;
}  // namespace g711_detail

// Only the low 16 bits of the argument count. Negative samples are rounded
// as the answering machine always has (magnitude -x - 8), which differs from
// the ITU-T reference for some negative values.
inline uint8_t LinearToALaw(int sample) { return g711_detail::ALawOfSample[static_cast<uint16_t>(sample)]; }
inline int16_t ALawToLinear(uint8_t alaw) { return g711_detail::SampleOfALaw[alaw]; }
inline uint8_t MuLawToALaw(uint8_t mulaw) { return g711_detail::ALawOfMuLaw[mulaw]; }
inline uint8_t ALawToMuLaw(uint8_t alaw) { return g711_detail::MuLawOfALaw[alaw]; }
// mu-law has no coder of its own: these equal the A-law coding followed (or
// preceded) by the table transcoding, in one step.
inline uint8_t LinearToMuLaw(int sample) { return g711_detail::MuLawOfSample[static_cast<uint16_t>(sample)]; }
inline int16_t MuLawToLinear(uint8_t mulaw) { return g711_detail::SampleOfMuLaw[mulaw]; }

// Gain control state for one conversion. A window of 0 (or less) switches
// gain control off; Configure refuses windows that cannot be meant.
class GainState {
public:
    static constexpr int32_t MaxWindow = 1000000;

    GainState() = default;
    // Returns false (and leaves gain control off) for a window above MaxWindow, and,
    // with a window, for a level below 0 or not finite.
    bool Configure(double level, int32_t floor, int32_t window);
    // Zeroes the ring, the ring index and the running sum.
    void Reset();
    bool Enabled() const { return window_ > 0; }
    int32_t Window() const { return window_; }

private:
    friend int16_t AdjustGain(GainState& state, int sample);
    int16_t Apply(int16_t x);

    double level_ = 0.0;
    int32_t floor_ = 0;
    int32_t window_ = 0;
    // 32-bit entries: the magnitude of -32768 does not fit 16 bits.
    std::vector<int32_t> ring_;
    int32_t index_ = 0;
    // 64-bit: window x 32768 overflows 32 bits for large windows.
    int64_t sum_ = 0;
};

// Returns the gain-corrected sample and advances the state. With gain control
// off the sample is returned unchanged (only its low 16 bits count).
inline int16_t AdjustGain(GainState& state, int sample) {
    const auto x = static_cast<int16_t>(sample);
    return state.Enabled() ? state.Apply(x) : x;
}

// Per-byte pipelines. `reverse` selects the final (or first) bit reversal;
// the program always reverses, the sound conversion library only for line
// audio destinations.
inline uint8_t ReverseIf(uint8_t b, bool reverse) { return reverse ? BitReverseTable[b] : b; }

inline uint8_t ConvertALawByte(uint8_t alaw, GainState& gain, bool reverse = true) {
    return ReverseIf(LinearToALaw(AdjustGain(gain, ALawToLinear(alaw))), reverse);
}
inline uint8_t ConvertALawByteToMuLaw(uint8_t alaw, GainState& gain, bool reverse = true) {
    return ReverseIf(LinearToMuLaw(AdjustGain(gain, ALawToLinear(alaw))), reverse);
}
inline uint8_t ConvertPcm8Byte(uint8_t pcm, GainState& gain, bool reverse = true) {
    return ReverseIf(LinearToALaw(AdjustGain(gain, (pcm - 128) * 256)), reverse);
}
inline uint8_t ConvertPcm8ByteToMuLaw(uint8_t pcm, GainState& gain, bool reverse = true) {
    return ReverseIf(LinearToMuLaw(AdjustGain(gain, (pcm - 128) * 256)), reverse);
}
// (y >> 8) + 128 with an arithmetic shift, low 8 bits kept.
inline uint8_t LineALawToPcm8(uint8_t line, GainState& gain) {
    return static_cast<uint8_t>((AdjustGain(gain, ALawToLinear(BitReverseTable[line])) >> 8) + 128);
}
inline uint8_t LineMuLawToPcm8(uint8_t line, GainState& gain) {
    return static_cast<uint8_t>((AdjustGain(gain, MuLawToLinear(BitReverseTable[line])) >> 8) + 128);
}

}  // namespace orvelin::media
