#include "sundrel/decode.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>

namespace orvelin::sundrel {

namespace {

constexpr int TargetRate = 8000;
constexpr sf_count_t BlockFrames = 4096;
constexpr int MaxChannels = 256;

// RIFF, fmt (at most 68 bytes and a pad byte), fact and data headers.
constexpr size_t MaxHeadSize = 12 + 8 + 68 + 1 + 12 + 8;

class Head {
public:
    void Bytes(const void* p, size_t n) {
        std::memcpy(bytes_.data() + size_, p, n);
        size_ += n;
    }
    void Id(const char* id) { Bytes(id, 4); }
    void U32(uint32_t x) {
        const uint8_t b[4] = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x >> 16),
                              static_cast<uint8_t>(x >> 24)};
        Bytes(b, 4);
    }
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return size_; }

private:
    std::array<uint8_t, MaxHeadSize> bytes_{};
    size_t size_ = 0;
};

// The decoder sees a minimal WAVE rebuilt from the chunks already checked:
// a small header in memory followed by the caller's sample bytes, so it reads
// exactly the bounded data chosen, never what lies around it.
struct VirtualWave {
    Head head;
    const uint8_t* data = nullptr;
    size_t dataSize = 0;
    size_t pad = 0;
    sf_count_t pos = 0;

    sf_count_t Length() const { return static_cast<sf_count_t>(head.size() + dataSize + pad); }
};

sf_count_t VwLength(void* user) { return static_cast<VirtualWave*>(user)->Length(); }

sf_count_t VwSeek(sf_count_t offset, int whence, void* user) {
    auto* vw = static_cast<VirtualWave*>(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) base = vw->pos;
    if (whence == SEEK_END) base = vw->Length();
    const sf_count_t target = base + offset;
    if (target < 0) return -1;
    vw->pos = std::min(target, vw->Length());
    return vw->pos;
}

sf_count_t VwRead(void* dst, sf_count_t count, void* user) {
    auto* vw = static_cast<VirtualWave*>(user);
    auto* out = static_cast<uint8_t*>(dst);
    sf_count_t done = 0;
    while (done < count && vw->pos < vw->Length()) {
        const auto p = static_cast<size_t>(vw->pos);
        const size_t want = static_cast<size_t>(count - done);
        size_t n;
        if (p < vw->head.size()) {
            n = std::min(want, vw->head.size() - p);
            std::memcpy(out + done, vw->head.data() + p, n);
        } else if (p < vw->head.size() + vw->dataSize) {
            const size_t q = p - vw->head.size();
            n = std::min(want, vw->dataSize - q);
            std::memcpy(out + done, vw->data + q, n);
        } else {
            n = std::min(want, static_cast<size_t>(vw->Length() - vw->pos));
            std::memset(out + done, 0, n);
        }
        done += static_cast<sf_count_t>(n);
        vw->pos += static_cast<sf_count_t>(n);
    }
    return done;
}

sf_count_t VwWrite(const void*, sf_count_t, void*) { return 0; }

sf_count_t VwTell(void* user) { return static_cast<VirtualWave*>(user)->pos; }

VirtualWave Rebuild(const EncodedWave& w) {
    VirtualWave vw;
    vw.data = w.data;
    vw.dataSize = w.dataSize;
    vw.pad = w.dataSize & 1;
    const uint32_t fmtPad = w.fmtSize & 1;
    const uint64_t riff = 4 + 8 + w.fmtSize + fmtPad + (w.fact ? 12 : 0) + 8 + w.dataSize + vw.pad;
    Head& h = vw.head;
    h.Id("RIFF");
    h.U32(static_cast<uint32_t>(std::min<uint64_t>(riff, 0xFFFFFFFFu)));
    h.Id("WAVE");
    h.Id("fmt ");
    h.U32(w.fmtSize);
    h.Bytes(w.fmt, w.fmtSize);
    if (fmtPad) h.Bytes("", 1);
    if (w.fact) {
        h.Id("fact");
        h.U32(4);
        h.Bytes(w.fact, 4);
    }
    h.Id("data");
    h.U32(static_cast<uint32_t>(w.dataSize));
    return vw;
}

int16_t ToSample(float v) {
    // Float files may hold anything; a non-finite value is taken as silence.
    if (!std::isfinite(v)) return 0;
    const long s = std::lrint(static_cast<double>(v) * 32768.0);
    return static_cast<int16_t>(std::clamp(s, -32768L, 32767L));
}

struct SndfileCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
struct ResamplerCloser {
    void operator()(SRC_STATE* s) const { src_delete(s); }
};

class Collector {
public:
    Collector(size_t max, std::vector<int16_t>& out) : max_(max), out_(out) {}

    bool Add(const float* v, size_t n) {
        if (n > max_ - out_.size()) return false;
        for (size_t i = 0; i < n; ++i) out_.push_back(ToSample(v[i]));
        return true;
    }

private:
    size_t max_;
    std::vector<int16_t>& out_;
};

// Feeds one block (or the end of input) through the rate converter.
bool Resample(SRC_STATE* src, double ratio, const float* in, long frames, bool end, Collector& sink) {
    std::vector<float> buffer(static_cast<size_t>(BlockFrames * std::max(1.0, ratio)) + 64);
    SRC_DATA d{};
    d.src_ratio = ratio;
    d.end_of_input = end ? 1 : 0;
    for (;;) {
        d.data_in = in;
        d.input_frames = frames;
        d.data_out = buffer.data();
        d.output_frames = static_cast<long>(buffer.size());
        if (src_process(src, &d) != 0) return false;
        if (!sink.Add(buffer.data(), static_cast<size_t>(d.output_frames_gen))) return false;
        if (frames > 0 && d.input_frames_used == 0 && d.output_frames_gen == 0) return false;  // stalled
        in += d.input_frames_used;
        frames -= d.input_frames_used;
        if (frames == 0 && (!end || d.output_frames_gen == 0)) return true;
    }
}

}  // namespace

bool DecodeTo8kMono(const EncodedWave& wave, size_t maxSamples, std::vector<int16_t>& out) {
    out.clear();
    if (wave.fmt == nullptr || wave.fmtSize < 16 || wave.fmtSize > 68 || wave.data == nullptr ||
        wave.dataSize > 0xFFFF0000u)
        return false;
    VirtualWave vw = Rebuild(wave);
    SF_VIRTUAL_IO io{VwLength, VwSeek, VwRead, VwWrite, VwTell};
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open_virtual(&io, SFM_READ, &info, &vw));
    if (!file || info.channels < 1 || info.channels > MaxChannels || info.samplerate <= 0) return false;
    const double ratio = static_cast<double>(TargetRate) / info.samplerate;
    const bool convertRate = info.samplerate != TargetRate;
    if (convertRate && !src_is_valid_ratio(ratio)) return false;

    std::unique_ptr<SRC_STATE, ResamplerCloser> resampler;
    if (convertRate) {
        int error = 0;
        // The fastest band-limited converter is still far cleaner than the
        // 8-bit G.711 output it feeds.
        resampler.reset(src_new(SRC_SINC_FASTEST, 1, &error));
        if (!resampler) return false;
    }
    Collector sink(maxSamples, out);
    const auto channels = static_cast<size_t>(info.channels);
    std::vector<float> frames(static_cast<size_t>(BlockFrames) * channels);
    std::vector<float> mono(static_cast<size_t>(BlockFrames));
    sf_count_t got;
    while ((got = sf_readf_float(file.get(), frames.data(), BlockFrames)) > 0) {
        for (sf_count_t i = 0; i < got; ++i) {
            const float* f = &frames[static_cast<size_t>(i) * channels];
            float sum = 0.0f;
            for (size_t c = 0; c < channels; ++c) sum += std::isfinite(f[c]) ? std::clamp(f[c], -1.0f, 1.0f) : 0.0f;
            mono[static_cast<size_t>(i)] = sum / static_cast<float>(channels);
        }
        const bool ok = convertRate ? Resample(resampler.get(), ratio, mono.data(), static_cast<long>(got), false, sink)
                                    : sink.Add(mono.data(), static_cast<size_t>(got));
        if (!ok) return false;
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) return false;
    if (convertRate && !Resample(resampler.get(), ratio, mono.data(), 0, true, sink)) return false;
    return !out.empty();
}

}  // namespace orvelin::sundrel
