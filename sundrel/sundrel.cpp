// The sound conversion library: turns a WAVE greeting of any encoding into the
// 8 kHz 8-bit mono G.711 WAVE the answering machine sends. Loaded per use; it
// keeps no state between calls and exports one function.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "media/g711.h"
#include "media/wavefile.h"
#include "sundrel/decode.h"

using namespace orvelin::media;

extern "C" __attribute__((visibility("default"))) int32_t SndConvertFile(
    const char* source, const char* destination, uint8_t toALaw, int32_t level, int32_t floor,
    int32_t window) __asm__("_SndConvertFile");

namespace {

// Greetings are short; a larger file is refused instead of held in memory.
constexpr size_t MaxSourceBytes = size_t{256} << 20;
// Two hours at 8000 samples per second.
constexpr size_t MaxOutputSamples = size_t{8000} * 7200;

// The first 16 bytes of a format record: tag, channels, rate, bytes/s, align, bits.
std::array<uint8_t, 16> FormatRecord(uint16_t tag) {
    return {static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8), 1, 0,
            0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0};
}

// The source file, open for reading, and the first bytes of it: enough for
// the chunks before the samples, which are read as they are converted.
class Source {
public:
    ~Source() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Open(const char* path);
    bool ParseHead(WaveLayout& layout);
    const uint8_t* head() const { return head_.data(); }
    int fd() const { return fd_; }
    // Reads up to `size` bytes at `offset`; fewer when the file ends sooner.
    size_t ReadAt(uint64_t offset, uint8_t* into, size_t size) const;

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    std::vector<uint8_t> head_;
};

bool Source::Open(const char* path) {
    // Non-blocking so a FIFO named as a greeting cannot stall the caller; it
    // is refused below like anything else that is not a regular file.
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) return false;
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > MaxSourceBytes)
        return false;
    size_ = static_cast<uint64_t>(st.st_size);
    return true;
}

size_t Source::ReadAt(uint64_t offset, uint8_t* into, size_t size) const {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_, into + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool Source::ParseHead(WaveLayout& layout) {
    // The chunks before the samples are usually a few dozen bytes.
    for (size_t want = 4096;; want *= 4) {
        head_.resize(static_cast<size_t>(std::min<uint64_t>(want, size_)));
        const size_t got = ReadAt(0, head_.data(), head_.size());
        // A file that shrank while being read counts as what was read.
        const uint64_t size = got < head_.size() ? got : size_;
        switch (ParseWaveHead(head_.data(), got, size, layout)) {
            case WaveHead::Found:
                return true;
            case WaveHead::Invalid:
                return false;
            case WaveHead::NeedMore:
                if (got < want) return false;
                break;
        }
    }
}

struct Conversion {
    bool aLaw;
    bool reverse;
    GainState gain;
};

// Codes in blocks this size: every page a process touches for the first time costs
// more than the arithmetic on it, so nothing larger than the blocks is held.
constexpr size_t BlockBytes = 16 * 1024;

// The greeting as it is made: the header goes first and gets its counts at the end,
// the codes follow block by block. Without a destination the codes are only counted.
class GreetingWriter {
public:
    explicit GreetingWriter(uint16_t formatTag) : tag_(formatTag) {}

    bool Open(const char* destination) {
        if (destination == nullptr) return true;
        if (!file_.Open(destination)) return false;
        const auto header = MakeWaveHeader(tag_, 0);
        file_.Write(header.data(), header.size());
        return true;
    }
    // False once the greeting would outgrow what a WAVE file of it can hold.
    bool Put(const uint8_t* codes, size_t n) {
        if (n > MaxOutputSamples - count_) return false;
        count_ += n;
        if (file_.IsOpen()) file_.Write(codes, n);
        return true;
    }
    size_t count() const { return count_; }
    bool Finish() {
        if (!file_.IsOpen()) return true;
        const auto header = MakeWaveHeader(tag_, static_cast<uint32_t>(count_));
        file_.WriteAt(0, header.data(), header.size());
        // The line's copy of a greeting is made again before every call.
        return file_.Commit(/*sync=*/false);
    }

private:
    uint16_t tag_;
    AtomicFile file_;  // abandoned unless finished
    size_t count_ = 0;
};

// Both direct paths work on the raw bytes, in place, so they stay byte-exact.
// Each loop is chosen once per file, so the per-sample work is table look-ups.
void ConvertTargetFormat(Conversion& c, uint8_t* b, size_t n) {
    if (c.aLaw)
        for (size_t i = 0; i < n; ++i) b[i] = ConvertALawByte(b[i], c.gain, c.reverse);
    else
        for (size_t i = 0; i < n; ++i) b[i] = ConvertALawByteToMuLaw(MuLawToALaw(b[i]), c.gain, c.reverse);
}

void ConvertPcm8(Conversion& c, uint8_t* b, size_t n) {
    if (c.aLaw)
        for (size_t i = 0; i < n; ++i) b[i] = ConvertPcm8Byte(b[i], c.gain, c.reverse);
    else
        for (size_t i = 0; i < n; ++i) b[i] = ConvertPcm8ByteToMuLaw(b[i], c.gain, c.reverse);
}

// Codes the decoded samples as they come.
class G711Sink : public orvelin::sundrel::SampleSink {
public:
    G711Sink(Conversion& c, GreetingWriter& out) : c_(c), out_(out) {}
    bool Take(const int16_t* in, size_t n) override {
        while (n > 0) {
            const size_t k = std::min(n, block_.size());
            uint8_t* o = block_.data();
            if (c_.aLaw)
                for (size_t i = 0; i < k; ++i) o[i] = ReverseIf(LinearToALaw(AdjustGain(c_.gain, in[i])), c_.reverse);
            else
                for (size_t i = 0; i < k; ++i) o[i] = ReverseIf(LinearToMuLaw(AdjustGain(c_.gain, in[i])), c_.reverse);
            if (!out_.Put(o, k)) return false;
            in += k;
            n -= k;
        }
        return true;
    }

private:
    Conversion& c_;
    GreetingWriter& out_;
    std::array<uint8_t, 4096> block_;
};

// The samples of a source already in the target format, or in 8-bit PCM at 8 kHz.
bool ConvertDirect(Conversion& c, bool target, const Source& source, const WaveLayout& layout, GreetingWriter& out) {
    std::vector<uint8_t> block(std::min(BlockBytes, layout.dataSize));
    for (size_t done = 0; done < layout.dataSize;) {
        const size_t want = std::min(block.size(), layout.dataSize - done);
        const size_t got = source.ReadAt(layout.dataOffset + done, block.data(), want);
        if (target)
            ConvertTargetFormat(c, block.data(), got);
        else
            ConvertPcm8(c, block.data(), got);
        if (!out.Put(block.data(), got)) return false;
        done += got;
        if (got < want) break;  // a file that shrank counts as what was read
    }
    return out.count() > 0;
}

bool Convert(Conversion& c, Source& source, const char* destination) {
    WaveLayout layout;
    if (!source.ParseHead(layout)) return false;
    GreetingWriter out(c.aLaw ? WaveFormatALaw : WaveFormatMuLaw);
    if (!out.Open(destination)) return false;
    const uint8_t* fmt = source.head() + layout.fmtOffset;
    const bool target = std::memcmp(fmt, FormatRecord(c.aLaw ? WaveFormatALaw : WaveFormatMuLaw).data(), 16) == 0;
    if (target || std::memcmp(fmt, FormatRecord(WaveFormatPcm).data(), 16) == 0)
        return ConvertDirect(c, target, source, layout, out) && out.Finish();
    orvelin::sundrel::EncodedWave wave;
    wave.fmt = fmt;
    wave.fmtSize = layout.fmtSize;
    wave.fact = layout.factOffset ? source.head() + layout.factOffset : nullptr;
    wave.fd = source.fd();
    wave.dataOffset = layout.dataOffset;
    wave.dataSize = layout.dataSize;
    G711Sink sink(c, out);
    return orvelin::sundrel::DecodeTo8kMono(wave, MaxOutputSamples, sink) && out.Finish();
}

}  // namespace

int32_t SndConvertFile(const char* source, const char* destination, uint8_t toALaw, int32_t level,
                       int32_t floor, int32_t window) {
    if (source == nullptr) return 0;
    Conversion c{toALaw != 0, false, {}};
    if (!c.gain.Configure(level, floor, window)) return 0;
    c.reverse = destination != nullptr &&
                (std::strstr(destination, ".alw") != nullptr || std::strstr(destination, ".ALW") != nullptr);

    Source file;
    if (!file.Open(source)) return 0;
    return Convert(c, file, destination) ? 1 : 0;
}
