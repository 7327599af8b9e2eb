// The sound conversion library: turns a WAVE greeting of any encoding into the
// 8 kHz 8-bit mono G.711 WAVE the answering machine sends. Loaded per use; it
// keeps no state between calls and exports one function.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes) {
    // Non-blocking so a FIFO named as a greeting cannot stall the caller; it
    // is refused below like anything else that is not a regular file.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
              static_cast<uint64_t>(st.st_size) <= MaxSourceBytes;
    if (ok) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        // A file that shrank while being read counts as what was read.
        bytes.resize(done);
    }
    ::close(fd);
    return ok;
}

struct Conversion {
    bool aLaw;
    bool reverse;
    GainState gain;
};

// Both direct paths work on the raw bytes so they stay byte-exact. Each
// loop is chosen once per file, so the per-sample work is table look-ups.
void ConvertTargetFormat(Conversion& c, const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
    out.resize(n);
    uint8_t* o = out.data();
    if (c.aLaw)
        for (size_t i = 0; i < n; ++i) o[i] = ConvertALawByte(in[i], c.gain, c.reverse);
    else
        for (size_t i = 0; i < n; ++i) o[i] = ConvertALawByteToMuLaw(MuLawToALaw(in[i]), c.gain, c.reverse);
}

void ConvertPcm8(Conversion& c, const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
    out.resize(n);
    uint8_t* o = out.data();
    if (c.aLaw)
        for (size_t i = 0; i < n; ++i) o[i] = ConvertPcm8Byte(in[i], c.gain, c.reverse);
    else
        for (size_t i = 0; i < n; ++i) o[i] = ConvertPcm8ByteToMuLaw(in[i], c.gain, c.reverse);
}

void ConvertLinear(Conversion& c, const std::vector<int16_t>& in, std::vector<uint8_t>& out) {
    out.resize(in.size());
    uint8_t* o = out.data();
    const size_t n = in.size();
    if (c.aLaw)
        for (size_t i = 0; i < n; ++i) o[i] = ReverseIf(LinearToALaw(AdjustGain(c.gain, in[i])), c.reverse);
    else
        for (size_t i = 0; i < n; ++i) o[i] = ReverseIf(LinearToMuLaw(AdjustGain(c.gain, in[i])), c.reverse);
}

bool Convert(Conversion& c, const std::vector<uint8_t>& file, std::vector<uint8_t>& out) {
    WaveLayout layout;
    if (!ParseWave(file.data(), file.size(), layout)) return false;
    const uint8_t* fmt = file.data() + layout.fmtOffset;
    const uint8_t* samples = file.data() + layout.dataOffset;
    if (std::memcmp(fmt, FormatRecord(c.aLaw ? WaveFormatALaw : WaveFormatMuLaw).data(), 16) == 0) {
        ConvertTargetFormat(c, samples, layout.dataSize, out);
        return true;
    }
    if (std::memcmp(fmt, FormatRecord(WaveFormatPcm).data(), 16) == 0) {
        ConvertPcm8(c, samples, layout.dataSize, out);
        return true;
    }
    orvelin::sundrel::EncodedWave wave;
    wave.fmt = fmt;
    wave.fmtSize = layout.fmtSize;
    wave.fact = layout.factOffset ? file.data() + layout.factOffset : nullptr;
    wave.data = samples;
    wave.dataSize = layout.dataSize;
    std::vector<int16_t> linear;
    if (!orvelin::sundrel::DecodeTo8kMono(wave, MaxOutputSamples, linear)) return false;
    ConvertLinear(c, linear, out);
    return true;
}

}  // namespace

int32_t SndConvertFile(const char* source, const char* destination, uint8_t toALaw, int32_t level,
                       int32_t floor, int32_t window) {
    if (source == nullptr) return 0;
    Conversion c{toALaw != 0, false, {}};
    if (!c.gain.Configure(level, floor, window)) return 0;
    c.reverse = destination != nullptr &&
                (std::strstr(destination, ".alw") != nullptr || std::strstr(destination, ".ALW") != nullptr);

    std::vector<uint8_t> file;
    if (!ReadWholeFile(source, file)) return 0;
    std::vector<uint8_t> out;
    if (!Convert(c, file, out) || out.size() > MaxOutputSamples) return 0;
    if (destination == nullptr) return 1;

    AtomicFile dest;
    if (!dest.Open(destination)) return 0;
    const auto header =
        MakeWaveHeader(c.aLaw ? WaveFormatALaw : WaveFormatMuLaw, static_cast<uint32_t>(out.size()));
    dest.Write(header.data(), header.size());
    dest.Write(out.data(), out.size());
    return dest.Commit() ? 1 : 0;
}
