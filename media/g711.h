// G.711 A-law coding, table transcoding to and from mu-law, the bit reversal of
// B-channel bytes, a moving-average gain control and the per-byte pipelines
// that chain them. Compiled into the program and into libsundrel.so alike.
#pragma once

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

// Only the low 16 bits of the argument count. Negative samples are rounded
// as the answering machine always has (magnitude -x - 8), which differs from
// the ITU-T reference for some negative values.
uint8_t LinearToALaw(int sample);
int16_t ALawToLinear(uint8_t alaw);
uint8_t MuLawToALaw(uint8_t mulaw);
uint8_t ALawToMuLaw(uint8_t alaw);

// Gain control state for one conversion. A window of 0 (or less) switches
// gain control off; Configure refuses windows that cannot be meant.
class GainState {
public:
    static constexpr int32_t MaxWindow = 1000000;

    GainState() = default;
    // Returns false (and leaves gain control off) for a window above MaxWindow.
    bool Configure(double level, int32_t floor, int32_t window);
    // Zeroes the ring, the ring index and the running sum.
    void Reset();
    bool Enabled() const { return window_ > 0; }
    int32_t Window() const { return window_; }

private:
    friend int16_t AdjustGain(GainState& state, int sample);

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
int16_t AdjustGain(GainState& state, int sample);

// Per-byte pipelines. `reverse` selects the final (or first) bit reversal;
// the program always reverses, the sound conversion library only for line
// audio destinations.
uint8_t ConvertALawByte(uint8_t alaw, GainState& gain, bool reverse = true);
uint8_t ConvertALawByteToMuLaw(uint8_t alaw, GainState& gain, bool reverse = true);
uint8_t ConvertPcm8Byte(uint8_t pcm, GainState& gain, bool reverse = true);
uint8_t ConvertPcm8ByteToMuLaw(uint8_t pcm, GainState& gain, bool reverse = true);
uint8_t LineALawToPcm8(uint8_t line, GainState& gain);
uint8_t LineMuLawToPcm8(uint8_t line, GainState& gain);

}  // namespace orvelin::media
