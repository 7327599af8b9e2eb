#include "media/soundconv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace orvelin::media {

namespace {
constexpr size_t BlockSize = 4096;
}

CSoundConv::CSoundConv(const std::string& source, const std::string& destination, bool toWave,
                       bool aLaw, double level, int32_t floor, int32_t window)
    : toWave_(toWave), aLaw_(aLaw) {
    if (!gain_.Configure(level, floor, window)) return;
    if (source.empty() || destination.empty() || !toWave_) return;
    // Non-blocking open: a FIFO must not stall the window thread; Convert
    // refuses anything but a regular file.
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    source_ = fdopen(fd, "rb");
    if (source_ == nullptr) {
        ::close(fd);
        return;
    }
    if (!destination_.Open(destination)) CloseStreams();
}

CSoundConv::~CSoundConv() { CloseStreams(); }

void CSoundConv::CloseStreams() {
    if (source_ != nullptr) std::fclose(source_);
    source_ = nullptr;
    destination_.Abandon();
}

bool CSoundConv::Convert() {
    if (source_ == nullptr || !destination_.IsOpen()) return false;
    struct stat st {};
    if (fstat(fileno(source_), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > MaxWaveSamples) {
        CloseStreams();
        return false;
    }
    const auto samples = static_cast<uint32_t>(st.st_size);
    const auto header = MakeWaveHeader(WaveFormatPcm, samples);
    destination_.Write(header.data(), header.size());

    gain_.Reset();
    std::vector<uint8_t> block(BlockSize);
    uint64_t total = 0;
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), source_)) > 0) {
        uint8_t* b = block.data();
        if (aLaw_)
            for (size_t i = 0; i < got; ++i) b[i] = LineALawToPcm8(b[i], gain_);
        else
            for (size_t i = 0; i < got; ++i) b[i] = LineMuLawToPcm8(b[i], gain_);
        destination_.Write(block.data(), got);
        total += got;
    }
    // The header promises exactly the length measured above.
    const bool readOk = !std::ferror(source_) && total == samples;
    std::fclose(source_);
    source_ = nullptr;
    if (!readOk) {
        destination_.Abandon();
        return false;
    }
    return destination_.Commit();
}

}  // namespace orvelin::media
