#include "media/wavefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace orvelin::media {

namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IdIs(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

}  // namespace

std::array<uint8_t, WaveHeaderSize> MakeWaveHeader(uint16_t formatTag, uint32_t samples) {
    std::array<uint8_t, WaveHeaderSize> h{};
    uint8_t* p = h.data();
    std::memcpy(p, "RIFF", 4);
    Put32(p + 4, samples + 50);
    std::memcpy(p + 8, "WAVEfmt ", 8);
    Put32(p + 16, 18);
    Put16(p + 20, formatTag);
    Put16(p + 22, 1);
    Put32(p + 24, 8000);
    Put32(p + 28, 8000);
    Put16(p + 32, 1);
    Put16(p + 34, 8);
    Put16(p + 36, 0);
    std::memcpy(p + 38, "fact", 4);
    Put32(p + 42, 4);
    Put32(p + 46, samples);
    std::memcpy(p + 50, "data", 4);
    Put32(p + 54, samples);
    return h;
}

bool ParseWave(const uint8_t* file, size_t size, WaveLayout& layout) {
    return ParseWaveHead(file, size, size, layout) == WaveHead::Found;
}

WaveHead ParseWaveHead(const uint8_t* file, size_t headSize, uint64_t size, WaveLayout& layout) {
    layout = WaveLayout{};
    headSize = static_cast<size_t>(std::min<uint64_t>(headSize, size));
    if (size < 20) return WaveHead::Invalid;
    if (headSize < 20) return WaveHead::NeedMore;
    if (!IdIs(file, "RIFF") || !IdIs(file + 8, "WAVE") || !IdIs(file + 12, "fmt ")) return WaveHead::Invalid;
    const uint32_t fmtSize = Get32(file + 16);
    if (fmtSize < 16 || fmtSize > MaxFormatSize || 20 + uint64_t{fmtSize} > size) return WaveHead::Invalid;
    if (20 + uint64_t{fmtSize} > headSize) return WaveHead::NeedMore;
    // Sizes in 64 bits: no 32-bit field can wrap an offset.
    const uint64_t riffEnd = std::min<uint64_t>(uint64_t{Get32(file + 4)} + 8, size);
    layout.fmtOffset = 20;
    layout.fmtSize = fmtSize;

    // The samples of a "data" chunk whose header starts at `at`, never past the RIFF.
    const auto dataAt = [&](uint64_t at) {
        const uint64_t body = at + 8;
        const uint32_t chunkSize = Get32(file + at + 4);
        const uint64_t available = riffEnd - body;
        uint64_t count = available;
        if (chunkSize != 0 && chunkSize != 0xFFFFFFFFu) count = std::min<uint64_t>(chunkSize, available);
        if (count == 0) return WaveHead::Invalid;
        layout.dataOffset = static_cast<size_t>(body);
        layout.dataSize = static_cast<size_t>(count);
        return WaveHead::Found;
    };

    uint64_t pos = 20 + uint64_t{fmtSize} + (fmtSize & 1);
    while (pos + 8 <= riffEnd) {
        if (pos + 8 > headSize) return WaveHead::NeedMore;
        const uint8_t* chunk = file + pos;
        const uint32_t chunkSize = Get32(chunk + 4);
        const uint64_t body = pos + 8;
        if (IdIs(chunk, "data")) return dataAt(pos);
        // A chunk that claims more than the file holds is not walked over: the
        // bytes after it would be guesses. The search below finds "data" anyway.
        if (body + chunkSize > riffEnd) break;
        if (IdIs(chunk, "fact") && chunkSize >= 4 && layout.factOffset == 0) {
            if (body + 4 > headSize) return WaveHead::NeedMore;
            layout.factOffset = static_cast<size_t>(body);
            layout.factSize = chunkSize;
        }
        pos = body + chunkSize + (chunkSize & 1);
    }
    // The walk did not reach a "data" chunk: search for its name byte by byte from the
    // end of the format chunk, as files with broken chunk sizes still play that way.
    for (uint64_t at = 20 + uint64_t{fmtSize}; at + 8 <= riffEnd; ++at) {
        if (at + 8 > headSize) return WaveHead::NeedMore;
        if (IdIs(file + at, "data")) return dataAt(at);
    }
    return WaveHead::Invalid;
}

AtomicFile::~AtomicFile() { Abandon(); }

bool AtomicFile::Open(const std::string& path) {
    Abandon();
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        // snprintf, not std::to_string: the latter plants a process-unique
        // symbol that would keep libsundrel.so from ever unloading.
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".tmp%ld-%u", static_cast<long>(getpid()), counter++);
        std::string temp = path + suffix;
        // 0666 lets the umask decide, as for any file the user creates.
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        stream_ = fdopen(fd, "wb");
        if (stream_ == nullptr) {
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        path_ = path;
        temp_ = std::move(temp);
        size_ = 0;
        failed_ = false;
        return true;
    }
    return false;
}

void AtomicFile::Write(const void* data, size_t size) {
    if (stream_ == nullptr || failed_ || size == 0) return;
    if (std::fwrite(data, 1, size, stream_) != size) failed_ = true;
    size_ += size;
}

void AtomicFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (stream_ == nullptr || failed_ || size == 0) return;
    if (offset > size_ || size > size_ - offset) {
        failed_ = true;
        return;
    }
    // fseeko flushes the buffered tail first, so the overwrite lands on disk order.
    if (fseeko(stream_, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fwrite(data, 1, size, stream_) != size ||
        fseeko(stream_, static_cast<off_t>(size_), SEEK_SET) != 0)
        failed_ = true;
}

void AtomicFile::Truncate(uint64_t size) {
    if (stream_ == nullptr || failed_ || size >= size_) return;
    if (std::fflush(stream_) != 0 || ::ftruncate(fileno(stream_), static_cast<off_t>(size)) != 0 ||
        fseeko(stream_, static_cast<off_t>(size), SEEK_SET) != 0)
        failed_ = true;
    size_ = size;
}

bool AtomicFile::Commit(bool sync) {
    if (stream_ == nullptr) return false;
    bool ok = !failed_ && std::fflush(stream_) == 0 && !std::ferror(stream_);
    ok = ok && (!sync || ::fsync(fileno(stream_)) == 0);
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    ok = ok && closed && ::rename(temp_.c_str(), path_.c_str()) == 0;
    if (!ok) ::unlink(temp_.c_str());
    temp_.clear();
    return ok;
}

void AtomicFile::Abandon() {
    if (stream_ == nullptr) return;
    std::fclose(stream_);
    stream_ = nullptr;
    ::unlink(temp_.c_str());
    temp_.clear();
}

}  // namespace orvelin::media
