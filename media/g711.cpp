#include "media/g711.h"

#include <algorithm>
#include <cmath>

namespace orvelin::media {

const uint8_t BitReverseTable[256] = {
    0x00, 0x80, 0x40, 0xC0, 0x20, 0xA0, 0x60, 0xE0, 0x10, 0x90, 0x50, 0xD0, 0x30, 0xB0, 0x70, 0xF0,
    0x08, 0x88, 0x48, 0xC8, 0x28, 0xA8, 0x68, 0xE8, 0x18, 0x98, 0x58, 0xD8, 0x38, 0xB8, 0x78, 0xF8,
    0x04, 0x84, 0x44, 0xC4, 0x24, 0xA4, 0x64, 0xE4, 0x14, 0x94, 0x54, 0xD4, 0x34, 0xB4, 0x74, 0xF4,
    0x0C, 0x8C, 0x4C, 0xCC, 0x2C, 0xAC, 0x6C, 0xEC, 0x1C, 0x9C, 0x5C, 0xDC, 0x3C, 0xBC, 0x7C, 0xFC,
    0x02, 0x82, 0x42, 0xC2, 0x22, 0xA2, 0x62, 0xE2, 0x12, 0x92, 0x52, 0xD2, 0x32, 0xB2, 0x72, 0xF2,
    0x0A, 0x8A, 0x4A, 0xCA, 0x2A, 0xAA, 0x6A, 0xEA, 0x1A, 0x9A, 0x5A, 0xDA, 0x3A, 0xBA, 0x7A, 0xFA,
    0x06, 0x86, 0x46, 0xC6, 0x26, 0xA6, 0x66, 0xE6, 0x16, 0x96, 0x56, 0xD6, 0x36, 0xB6, 0x76, 0xF6,
    0x0E, 0x8E, 0x4E, 0xCE, 0x2E, 0xAE, 0x6E, 0xEE, 0x1E, 0x9E, 0x5E, 0xDE, 0x3E, 0xBE, 0x7E, 0xFE,
    0x01, 0x81, 0x41, 0xC1, 0x21, 0xA1, 0x61, 0xE1, 0x11, 0x91, 0x51, 0xD1, 0x31, 0xB1, 0x71, 0xF1,
    0x09, 0x89, 0x49, 0xC9, 0x29, 0xA9, 0x69, 0xE9, 0x19, 0x99, 0x59, 0xD9, 0x39, 0xB9, 0x79, 0xF9,
    0x05, 0x85, 0x45, 0xC5, 0x25, 0xA5, 0x65, 0xE5, 0x15, 0x95, 0x55, 0xD5, 0x35, 0xB5, 0x75, 0xF5,
    0x0D, 0x8D, 0x4D, 0xCD, 0x2D, 0xAD, 0x6D, 0xED, 0x1D, 0x9D, 0x5D, 0xDD, 0x3D, 0xBD, 0x7D, 0xFD,
    0x03, 0x83, 0x43, 0xC3, 0x23, 0xA3, 0x63, 0xE3, 0x13, 0x93, 0x53, 0xD3, 0x33, 0xB3, 0x73, 0xF3,
    0x0B, 0x8B, 0x4B, 0xCB, 0x2B, 0xAB, 0x6B, 0xEB, 0x1B, 0x9B, 0x5B, 0xDB, 0x3B, 0xBB, 0x7B, 0xFB,
    0x07, 0x87, 0x47, 0xC7, 0x27, 0xA7, 0x67, 0xE7, 0x17, 0x97, 0x57, 0xD7, 0x37, 0xB7, 0x77, 0xF7,
    0x0F, 0x8F, 0x4F, 0xCF, 0x2F, 0xAF, 0x6F, 0xEF, 0x1F, 0x9F, 0x5F, 0xDF, 0x3F, 0xBF, 0x7F, 0xFF,
};

constexpr int32_t MuToATable[128] = {
    1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8,
    9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
    25, 27, 29, 31, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44,
    46, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62,
    64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78, 79,
    80, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 96,
    97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112,
    113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 128,
};

constexpr int32_t AToMuTable[128] = {
    1, 3, 5, 7, 9, 11, 13, 15, 16, 17, 18, 19, 20, 21, 22, 23,
    24, 25, 26, 27, 28, 29, 30, 31, 32, 32, 33, 33, 34, 34, 35, 35,
    36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 48, 49, 49,
    50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 64,
    65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78, 79, 80,
    80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95,
    96, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111,
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127,
};

constexpr int16_t SegmentEndTable[8] = {255, 511, 1023, 2047, 4095, 8191, 16383, 32767};

namespace {

// G.711 clause 2 (A-law), with even bits inverted by the 0x55 mask. These
// define the coding; the tables below hold their every result.
constexpr uint8_t EncodeALaw(int sample) {
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

constexpr int16_t DecodeALaw(uint8_t alaw) {
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

constexpr uint8_t TranscodeMuToA(uint8_t mulaw) {
    if (mulaw & 0x80) return static_cast<uint8_t>(0xD5 ^ (MuToATable[mulaw ^ 0xFF] - 1));
    return static_cast<uint8_t>(0x55 ^ (MuToATable[mulaw ^ 0x7F] - 1));
}

constexpr uint8_t TranscodeAToMu(uint8_t alaw) {
    if (alaw & 0x80) return static_cast<uint8_t>(0xFF ^ AToMuTable[alaw ^ 0xD5]);
    return static_cast<uint8_t>(0x7F ^ AToMuTable[alaw ^ 0x55]);
}

template <typename T, size_t N, typename F>
constexpr std::array<T, N> Tabulate(F f) {
    std::array<T, N> t{};
    for (size_t i = 0; i < N; ++i) t[i] = f(static_cast<int>(i));
    return t;
}

}  // namespace

bool GainState::Configure(double level, int32_t floor, int32_t window) {
    level_ = 0.0;
    floor_ = 0;
    window_ = 0;
    ring_.clear();
    Reset();
    if (window > MaxWindow) return false;
    if (window <= 0) return true;
    // A negative level would turn the clip test around and let x x g overflow the
    // 16-bit sample; not a number or infinity cannot be meant either.
    if (!std::isfinite(level) || level < 0.0) return false;
    level_ = level;
    // A floor above full scale would only ever hold the ring at full scale.
    floor_ = std::min(floor, int32_t{32767});
    window_ = window;
    ring_.assign(static_cast<size_t>(window), 0);
    return true;
}

void GainState::Reset() {
    std::fill(ring_.begin(), ring_.end(), 0);
    index_ = 0;
    sum_ = 0;
}

namespace g711_detail {
constexpr std::array<uint8_t, 256> MuLawOfALaw =
    Tabulate<uint8_t, 256>([](int a) { return TranscodeAToMu(static_cast<uint8_t>(a)); });
constexpr std::array<uint8_t, 65536> ALawOfSample = Tabulate<uint8_t, 65536>([](int i) { return EncodeALaw(i); });
constexpr std::array<uint8_t, 65536> MuLawOfSample =
    Tabulate<uint8_t, 65536>([](int i) { return MuLawOfALaw[ALawOfSample[static_cast<size_t>(i)]]; });
constexpr std::array<int16_t, 256> SampleOfALaw =
    Tabulate<int16_t, 256>([](int a) { return DecodeALaw(static_cast<uint8_t>(a)); });
constexpr std::array<int16_t, 256> SampleOfMuLaw =
    Tabulate<int16_t, 256>([](int u) { return DecodeALaw(TranscodeMuToA(static_cast<uint8_t>(u))); });
constexpr std::array<uint8_t, 256> ALawOfMuLaw =
    Tabulate<uint8_t, 256>([](int u) { return TranscodeMuToA(static_cast<uint8_t>(u)); });
}  // namespace g711_detail

int16_t GainState::Apply(int16_t sample) {
    const int x = sample;
    index_ = (index_ + 1) % window_;
    int32_t& slot = ring_[static_cast<size_t>(index_)];
    sum_ -= slot;
    const double magnitude = std::fabs(static_cast<double>(x));
    slot = static_cast<int32_t>(std::max(magnitude, static_cast<double>(floor_)));
    sum_ += slot;
    // Only a floor of 0 and a run of silence can empty the ring.
    if (sum_ <= 0) return 0;
    const double gain = static_cast<double>(window_) * level_ / static_cast<double>(sum_);
    if (magnitude * gain >= 32767.0) return x > 0 ? 32767 : -32767;
    return static_cast<int16_t>(static_cast<double>(x) * gain);
}

}  // namespace orvelin::media
