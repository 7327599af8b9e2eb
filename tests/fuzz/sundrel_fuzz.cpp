// Greetings a user picks are converted by the sound library from any WAVE
// encoding: the conversion must refuse or convert whatever the header and the
// chunk sizes claim, and what it writes must be a whole greeting of the line's
// layout.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/wavefile.h"
#include "tests/fuzz/scratch_dir.h"

extern "C" int32_t SndConvertFile(const char* source, const char* destination, uint8_t toALaw, int32_t level,
                                  int32_t floor, int32_t window) __asm__("_SndConvertFile");

namespace {

// The library loads the general decoder per conversion; held here, it stays
// loaded between inputs instead of costing a load each time.
void* const gDecoder = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)gDecoder;
    const std::string source = fuzzsupport::WriteScratchFile("in.wav", data, size);
    const std::string destination = fuzzsupport::ScratchDir() + "/out.wav";
    std::remove(destination.c_str());
    // The line's law and gain control follow from the input, so both paths run.
    const bool aLaw = size > 0 && (data[size - 1] & 1) != 0;
    const int32_t window = size > 0 && (data[size - 1] & 2) != 0 ? 800 : 0;
    const int32_t ok = SndConvertFile(source.c_str(), destination.c_str(), aLaw ? 1 : 0, 70, 5, window);

    std::ifstream in(destination, std::ios::binary);
    if (!ok) {
        // A refused conversion leaves no destination behind.
        if (in) std::abort();
        return 0;
    }
    const std::vector<std::uint8_t> out{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (out.size() <= orvelin::media::WaveHeaderSize) std::abort();
    const uint32_t samples = static_cast<uint32_t>(out.size() - orvelin::media::WaveHeaderSize);
    const auto header = orvelin::media::MakeWaveHeader(
        aLaw ? orvelin::media::WaveFormatALaw : orvelin::media::WaveFormatMuLaw, samples);
    if (std::memcmp(out.data(), header.data(), header.size()) != 0) std::abort();
    return 0;
}
