// The 8-bit, 8 kHz, mono WAVE layout with its 58-byte header, a bounded RIFF
// reader for WAVE files from outside, and a destination file that appears
// only once it is completely written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace orvelin::media {

constexpr uint16_t WaveFormatPcm = 1;
constexpr uint16_t WaveFormatALaw = 6;
constexpr uint16_t WaveFormatMuLaw = 7;

constexpr size_t WaveHeaderSize = 58;
// The RIFF size field holds n + 50 in 32 bits.
constexpr uint64_t MaxWaveSamples = 0xFFFFFFFFull - 50;

// Offset  Size  Value
//  0      4     "RIFF"
//  4      4     n + 50
//  8      4     "WAVE"
// 12      4     "fmt "
// 16      4     18
// 20      18    format tag, 1 channel, 8000 Hz, 8000 bytes/s, align 1, 8 bits, extra 0
// 38      4     "fact"
// 42      4     4
// 46      4     n (samples)
// 50      4     "data"
// 54      4     n
// 58      n     samples, one byte each
// n must not exceed MaxWaveSamples.
std::array<uint8_t, WaveHeaderSize> MakeWaveHeader(uint16_t formatTag, uint32_t samples);

// Where the parts of a RIFF WAVE file lie inside a buffer holding the file.
struct WaveLayout {
    size_t fmtOffset = 0;   // body of the format chunk
    uint32_t fmtSize = 0;   // 16 to MaxFormatSize
    size_t factOffset = 0;  // body of a "fact" chunk before the data, 0 if none
    uint32_t factSize = 0;
    size_t dataOffset = 0;  // first sample byte
    size_t dataSize = 0;    // sample bytes, within the file and the RIFF
};

constexpr uint32_t MaxFormatSize = 68;

// Accepts "RIFF" <size> "WAVEfmt " with a format chunk of 16 to 68 bytes first,
// then walks the chunks (word-aligned) to "data". The samples end at the data
// chunk's size, the RIFF's end or the file's end, whichever comes first; a data
// size of 0 or 0xFFFFFFFF (left by streaming writers) means "to the end".
// Refuses a chunk reaching past the RIFF or the file, a missing or empty data
// chunk, and anything shorter than a header.
bool ParseWave(const uint8_t* file, size_t size, WaveLayout& layout);

// The same from the first `headSize` bytes of a file of `fileSize` bytes, so
// the samples need not be in memory. NeedMore: the chunks before the data
// reach beyond the head; read more and ask again.
enum class WaveHead { Found, Invalid, NeedMore };
WaveHead ParseWaveHead(const uint8_t* head, size_t headSize, uint64_t fileSize, WaveLayout& layout);

// Writes to a new file beside `path` and renames it over `path` on Commit, so
// a failed or abandoned write never leaves a destination behind.
class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool Open(const std::string& path);
    bool IsOpen() const { return stream_ != nullptr; }
    // Errors are remembered; Commit reports them.
    void Write(const void* data, size_t size);
    // For formats that patch fields written earlier or give back a tail:
    // the bytes written so far, an overwrite within them, and a cut back.
    uint64_t Size() const { return size_; }
    void WriteAt(uint64_t offset, const void* data, size_t size);
    void Truncate(uint64_t size);
    // Flushes, syncs and renames; false (and nothing at `path` changed) on any
    // error. Without `sync` the file is only renamed into place: for a copy
    // made afresh from its source at every use, which a crash can only cost
    // the time to make it again.
    bool Commit(bool sync = true);
    // Removes the temporary file.
    void Abandon();

private:
    std::string path_;
    std::string temp_;
    FILE* stream_ = nullptr;
    uint64_t size_ = 0;
    bool failed_ = false;
};

}  // namespace orvelin::media
