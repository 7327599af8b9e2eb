#include "sundrel/decode.h"

#include <dlfcn.h>
#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace orvelin::sundrel {

namespace {

constexpr int TargetRate = 8000;
constexpr sf_count_t BlockFrames = 4096;
constexpr int MaxChannels = 256;
constexpr size_t ReadAhead = 128 * 1024;

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
    int fd = -1;
    uint64_t dataOffset = 0;
    size_t dataSize = 0;
    size_t pad = 0;
    std::vector<uint8_t> cache = std::vector<uint8_t>(ReadAhead);
    size_t cacheStart = 0;
    size_t cacheLength = 0;
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
            if (q < vw->cacheStart || q >= vw->cacheStart + vw->cacheLength) {
                // The decoder asks for a few kilobytes at a time: read ahead
                // in large blocks, into a buffer that stays in the cache.
                vw->cacheStart = q;
                vw->cacheLength = 0;
                const size_t size = std::min(vw->cache.size(), vw->dataSize - q);
                const ssize_t r = ::pread(vw->fd, vw->cache.data(), size, static_cast<off_t>(vw->dataOffset + q));
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;  // a file cut short ends the sound there
                vw->cacheLength = static_cast<size_t>(r);
            }
            n = std::min(want, vw->cacheStart + vw->cacheLength - q);
            std::memcpy(out + done, vw->cache.data() + (q - vw->cacheStart), n);
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
    vw.fd = w.fd;
    vw.dataOffset = w.dataOffset;
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

// libsndfile, bound for the encodings that need it: with the seven codec libraries it
// pulls in, it takes longer to load than a 16-bit PCM greeting takes to convert.
class Sndfile {
public:
    Sndfile() = default;
    Sndfile(const Sndfile&) = delete;
    Sndfile& operator=(const Sndfile&) = delete;
    ~Sndfile() {
        if (handle_ != nullptr) dlclose(handle_);
    }

    bool Load() {
        handle_ = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) return false;
        Bind(open, "sf_open_virtual");
        Bind(readf, "sf_readf_float");
        Bind(error, "sf_error");
        Bind(close, "sf_close");
        return open != nullptr && readf != nullptr && error != nullptr && close != nullptr;
    }

    decltype(&sf_open_virtual) open = nullptr;
    decltype(&sf_readf_float) readf = nullptr;
    decltype(&sf_error) error = nullptr;
    decltype(&sf_close) close = nullptr;

private:
    template <class F>
    void Bind(F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(handle_, name));
    }

    void* handle_ = nullptr;
};

struct SndfileCloser {
    decltype(&sf_close) close = nullptr;
    void operator()(SNDFILE* f) const { close(f); }
};
struct ResamplerCloser {
    void operator()(soxr_t s) const { soxr_delete(s); }
};

// Turns the converter's output into samples for the sink, in blocks of a
// fixed buffer.
class Collector {
public:
    Collector(size_t max, SampleSink& sink) : max_(max), sink_(sink) {}

    bool Add(const float* v, size_t n) {
        if (n > max_ - count_) return false;
        count_ += n;
        while (n > 0) {
            const size_t k = std::min(n, block_.size());
            for (size_t i = 0; i < k; ++i) block_[i] = ToSample(v[i]);
            if (!sink_.Take(block_.data(), k)) return false;
            v += k;
            n -= k;
        }
        return true;
    }
    size_t count() const { return count_; }

private:
    size_t max_;
    size_t count_ = 0;
    SampleSink& sink_;
    std::array<int16_t, 4096> block_;
};

// Flat to 3.5 kHz, everything from the 4 kHz of the line's Nyquist down by
// about 96 dB: the fastest converter found that keeps the telephone band
// whole (see the resampler benchmark).
soxr_t MakeResampler(double inputRate) {
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_16_BITQ, 0);
    quality.passband_end = 3500.0 / 4000.0;
    quality.stopband_begin = 1.0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_t s = soxr_create(inputRate, TargetRate, 1, &error, &io, &quality, &runtime);
    if (error != nullptr) {
        soxr_delete(s);
        return nullptr;
    }
    return s;
}

// Feeds one block (null: the end of input) through the rate converter into
// the fixed buffer `scratch`, and on into the sink.
bool Resample(soxr_t src, const float* in, size_t frames, std::vector<float>& scratch, Collector& sink) {
    for (;;) {
        size_t used = 0, made = 0;
        if (soxr_process(src, in, frames, &used, scratch.data(), scratch.size(), &made) != nullptr) return false;
        if (!sink.Add(scratch.data(), made)) return false;
        if (in == nullptr) {
            if (made == 0) return true;
            continue;
        }
        in += used;
        frames -= used;
        if (frames == 0) return true;
        if (used == 0 && made == 0) return false;  // stalled
    }
}

// Float files may hold anything: non-finite values become silence, the rest
// is held to full scale. Branch-free, so the loops below vectorise.
inline float Tame(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    const bool finite = (bits & 0x7F800000u) != 0x7F800000u;
    v = std::min(std::max(v, -1.0f), 1.0f);
    return finite ? v : 0.0f;
}

// The mean of the channels of each frame.
void MixDown(const float* f, size_t frames, size_t channels, float* mono) {
    if (channels == 1) {
        for (size_t i = 0; i < frames; ++i) mono[i] = Tame(f[i]);
    } else if (channels == 2) {
        for (size_t i = 0; i < frames; ++i) mono[i] = 0.5f * (Tame(f[2 * i]) + Tame(f[2 * i + 1]));
    } else {
        const float scale = 1.0f / static_cast<float>(channels);
        for (size_t i = 0; i < frames; ++i, f += channels) {
            float sum = 0.0f;
            for (size_t c = 0; c < channels; ++c) sum += Tame(f[c]);
            mono[i] = sum * scale;
        }
    }
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return uint32_t{Le16(p)} | uint32_t{Le16(p + 2)} << 16; }

// Compressed encodings fill their last block past the end of the sound; the
// "fact" chunk says where it ends. PCM and float files need none, and the
// count some writers leave there is not trusted.
sf_count_t FactFrames(const EncodedWave& w) {
    if (w.fact == nullptr) return 0;
    uint16_t tag = Le16(w.fmt);
    if (tag == 0xFFFE && w.fmtSize >= 26) tag = Le16(w.fmt + 24);  // extensible: the sub-format
    if (tag == 1 || tag == 3) return 0;
    return static_cast<sf_count_t>(uint32_t{w.fact[0]} | uint32_t{w.fact[1]} << 8 | uint32_t{w.fact[2]} << 16 |
                                   uint32_t{w.fact[3]} << 24);
}

// Plain 16-bit PCM, the usual greeting, is read straight from the file.
bool IsPcm16(const EncodedWave& w) {
    const uint16_t channels = Le16(w.fmt + 2);
    return Le16(w.fmt) == 1 && Le16(w.fmt + 14) == 16 && channels >= 1 && channels <= MaxChannels &&
           Le16(w.fmt + 12) == 2 * channels && Le32(w.fmt + 4) > 0;
}

// The frames of a 16-bit PCM data chunk, mixed to one channel with the same arithmetic
// MixDown applies to the general decoder's floats (s / 32768, exact), so both give the
// same samples. A file cut short ends the sound at its last whole frame.
class Pcm16Reader {
public:
    Pcm16Reader(const EncodedWave& w, size_t channels)
        : fd_(w.fd), at_(w.dataOffset), channels_(channels), left_(w.dataSize / (2 * channels)) {}

    sf_count_t Frames() const { return static_cast<sf_count_t>(left_); }

    sf_count_t ReadMono(float* mono, sf_count_t count) {
        const size_t frameBytes = 2 * channels_;
        const size_t frames = std::min(static_cast<size_t>(count), left_);
        const size_t want = frames * frameBytes;
        if (raw_.size() < want) raw_.resize(want);
        size_t got = 0;
        while (got < want) {
            const ssize_t r = ::pread(fd_, raw_.data() + got, want - got, static_cast<off_t>(at_ + got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        const size_t whole = got / frameBytes;
        left_ = whole < frames ? 0 : left_ - whole;
        at_ += got;
        const uint8_t* b = raw_.data();
        const auto sample = [b](size_t k) {
            return static_cast<float>(static_cast<int16_t>(b[2 * k] | b[2 * k + 1] << 8)) * (1.0f / 32768);
        };
        if (channels_ == 1) {
            for (size_t i = 0; i < whole; ++i) mono[i] = sample(i);
        } else if (channels_ == 2) {
            for (size_t i = 0; i < whole; ++i) mono[i] = 0.5f * (sample(2 * i) + sample(2 * i + 1));
        } else {
            const float scale = 1.0f / static_cast<float>(channels_);
            for (size_t i = 0; i < whole; ++i) {
                float sum = 0.0f;
                for (size_t c = 0; c < channels_; ++c) sum += sample(i * channels_ + c);
                mono[i] = sum * scale;
            }
        }
        return static_cast<sf_count_t>(whole);
    }

private:
    int fd_;
    uint64_t at_;
    size_t channels_;
    size_t left_;
    std::vector<uint8_t> raw_;
};

}  // namespace

bool DecodeTo8kMono(const EncodedWave& wave, size_t maxSamples, SampleSink& out) {
    if (wave.fmt == nullptr || wave.fmtSize < 16 || wave.fmtSize > 68 || wave.fd < 0 ||
        wave.dataSize > 0xFFFF0000u)
        return false;
    // Exactly one of the two sources below is used.
    std::unique_ptr<Pcm16Reader> pcm;
    Sndfile sndfile;
    std::unique_ptr<VirtualWave> vw;
    std::unique_ptr<SNDFILE, SndfileCloser> file;
    SF_INFO info{};
    if (IsPcm16(wave)) {
        info.channels = Le16(wave.fmt + 2);
        info.samplerate = static_cast<int>(std::min<uint32_t>(Le32(wave.fmt + 4), 0x7FFFFFFF));
        pcm = std::make_unique<Pcm16Reader>(wave, static_cast<size_t>(info.channels));
        info.frames = pcm->Frames();
    } else {
        if (!sndfile.Load()) return false;
        vw = std::make_unique<VirtualWave>(Rebuild(wave));
        SF_VIRTUAL_IO io{VwLength, VwSeek, VwRead, VwWrite, VwTell};
        file = std::unique_ptr<SNDFILE, SndfileCloser>(sndfile.open(&io, SFM_READ, &info, vw.get()),
                                                        SndfileCloser{sndfile.close});
        if (!file) return false;
    }
    if (info.channels < 1 || info.channels > MaxChannels || info.samplerate <= 0) return false;
    const double ratio = static_cast<double>(TargetRate) / info.samplerate;
    const bool convertRate = info.samplerate != TargetRate;
    // Beyond 256:1 either way is no sound a greeting holds.
    if (convertRate && (ratio > 256.0 || ratio < 1.0 / 256.0)) return false;

    sf_count_t remaining = info.frames > 0 ? info.frames : SF_COUNT_MAX;
    if (const sf_count_t fact = FactFrames(wave); fact > 0) remaining = std::min(remaining, fact);

    std::unique_ptr<std::remove_pointer_t<soxr_t>, ResamplerCloser> resampler;
    if (convertRate) {
        resampler.reset(MakeResampler(info.samplerate));
        if (!resampler) return false;
    }
    Collector sink(maxSamples, out);
    const auto channels = static_cast<size_t>(info.channels);
    std::vector<float> frames(pcm ? 0 : static_cast<size_t>(BlockFrames) * channels);
    std::vector<float> mono(static_cast<size_t>(BlockFrames));
    std::vector<float> scratch(static_cast<size_t>(static_cast<double>(BlockFrames) * std::max(1.0, ratio)) + 64);
    float* m = mono.data();
    const auto read = [&](sf_count_t count) {
        if (pcm) return pcm->ReadMono(m, count);
        const sf_count_t n = sndfile.readf(file.get(), frames.data(), count);
        if (n > 0) MixDown(frames.data(), static_cast<size_t>(n), channels, m);
        return n;
    };
    sf_count_t got;
    while (remaining > 0 && (got = read(std::min(BlockFrames, remaining))) > 0) {
        remaining -= got;
        const bool ok = convertRate ? Resample(resampler.get(), m, static_cast<size_t>(got), scratch, sink)
                                    : sink.Add(m, static_cast<size_t>(got));
        if (!ok) return false;
    }
    if (file && sndfile.error(file.get()) != SF_ERR_NO_ERROR) return false;
    if (convertRate && !Resample(resampler.get(), nullptr, 0, scratch, sink)) return false;
    return sink.count() > 0;
}

}  // namespace orvelin::sundrel
