// Notes files are RTF from anywhere. The reader takes any bytes, and what it read
// survives writing and reading back unchanged, as 7-bit text.
#include <cstdint>
#include <string_view>

#include "settings/rich_text.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace st = orvelin::settings;
    const st::RichText text =
        st::readRtf(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string rtf = st::writeRtf(text);
    for (const char c : rtf) FUZZ_CHECK(static_cast<unsigned char>(c) < 0x80);
    FUZZ_CHECK(st::looksLikeRtf(rtf));
    FUZZ_CHECK(st::readRtf(rtf) == text);
    return 0;
}
