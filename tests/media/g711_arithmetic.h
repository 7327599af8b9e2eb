// The G.711 arithmetic written out step by step from the algorithm, for tests to hold
// the faster coders (tables built at compile time) against.
#pragma once

#include <algorithm>
#include <cstdint>

#include "media/g711.h"

namespace orvelin::media {

// The coder as first written, step by step from the algorithm, kept here so
// that any faster form must give the same code for every input.
namespace arithmetic {

inline uint8_t LinearToALaw(int sample) {
    const int x = static_cast<int16_t>(sample);
    int mask = 0xD5;
    int m = x;
    if (x < 0) {
        mask = 0x55;
        m = std::max(-x - 8, 0);
    }
    int s = 0;
    while (s < 7 && m > SegmentEndTable[s]) ++s;
    const int q = (s < 2 ? (m >> 4) : (m >> (s + 3))) & 0x0F;
    return static_cast<uint8_t>(((s << 4) | q) ^ mask);
}

inline int16_t ALawToLinear(uint8_t alaw) {
    const int a = alaw ^ 0x55;
    int t = (a & 0x0F) << 4;
    const int s = (a & 0x70) >> 4;
    if (s == 0)
        t += 8;
    else if (s == 1)
        t += 0x108;
    else
        t = (t + 0x108) << (s - 1);
    return static_cast<int16_t>((a & 0x80) ? t : -t);
}

inline uint8_t MuLawToALaw(uint8_t u) {
    if (u & 0x80) return static_cast<uint8_t>(0xD5 ^ (MuToATable[u ^ 0xFF] - 1));
    return static_cast<uint8_t>(0x55 ^ (MuToATable[u ^ 0x7F] - 1));
}

inline uint8_t ALawToMuLaw(uint8_t a) {
    if (a & 0x80) return static_cast<uint8_t>(0xFF ^ AToMuTable[a ^ 0xD5]);
    return static_cast<uint8_t>(0x7F ^ AToMuTable[a ^ 0x55]);
}

// The bit order of a byte on the B channel, bit by bit.
inline uint8_t Reversed(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i)) r = static_cast<uint8_t>(r | (0x80 >> i));
    return r;
}

// Line audio to an unsigned 8-bit PCM byte without gain: reverse, decode, (y >> 8) + 128.
inline uint8_t LineToPcm8(uint8_t line, bool aLaw) {
    const uint8_t code = Reversed(line);
    const int y = aLaw ? ALawToLinear(code) : ALawToLinear(MuLawToALaw(code));
    return static_cast<uint8_t>((y >> 8) + 128);
}

}  // namespace arithmetic

}  // namespace orvelin::media
