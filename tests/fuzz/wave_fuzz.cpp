// WAVE files come from outside (greetings a user picks): the chunk walk must
// stay within the file and the RIFF, whatever sizes the chunks claim, and a
// parse from the first bytes of a file must agree with one of the whole file.
#include <cstdint>
#include <cstdlib>

#include "media/wavefile.h"

namespace {

using orvelin::media::WaveHead;
using orvelin::media::WaveLayout;

bool Same(const WaveLayout& a, const WaveLayout& b) {
    return a.fmtOffset == b.fmtOffset && a.fmtSize == b.fmtSize && a.factOffset == b.factOffset &&
           a.factSize == b.factSize && a.dataOffset == b.dataOffset && a.dataSize == b.dataSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WaveLayout whole;
    const bool found = orvelin::media::ParseWave(data, size, whole);
    if (found) {
        // Every part it names lies inside the file.
        if (whole.fmtSize < 16 || whole.fmtSize > orvelin::media::MaxFormatSize ||
            whole.fmtOffset + whole.fmtSize > size)
            std::abort();
        if (whole.factOffset != 0 && whole.factOffset + 4 > size) std::abort();
        if (whole.dataSize == 0 || whole.dataOffset > size || whole.dataSize > size - whole.dataOffset)
            std::abort();
    }
    // The reader that sees only a head: never a different answer, only "read more".
    const std::size_t heads = size < 512 ? size : 512;
    for (std::size_t head = 0; head <= heads; ++head) {
        WaveLayout part;
        const WaveHead r = orvelin::media::ParseWaveHead(data, head, size, part);
        if (r == WaveHead::NeedMore) {
            if (head >= size) std::abort();
            continue;
        }
        if ((r == WaveHead::Found) != found || (found && !Same(part, whole))) std::abort();
    }
    return 0;
}
