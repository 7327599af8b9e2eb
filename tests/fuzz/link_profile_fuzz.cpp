// The instance link's access profile is a hand-edited file read at every
// admission: reading it from the file must give what reading its text gives,
// for any text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "link/link_profile.h"
#include "tests/fuzz/scratch_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string path = fuzzsupport::WriteScratchFile(orvelin::link::kProfileFileName, data, size);
    const auto file = orvelin::link::findProfileFile({"", fuzzsupport::ScratchDir()});
    if (file != path) std::abort();
    // The names the link asks for, in other cases too, and the first section the text names.
    std::string firstSection;
    if (const auto open = text.find('['); open != std::string_view::npos) {
        const auto close = text.find(']', open);
        firstSection = std::string(text.substr(open + 1, close == std::string_view::npos ? 0 : close - open - 1));
    }
    for (const std::string& section : {std::string("192.168.1.20"), std::string("127.0.0.1"), firstSection}) {
        for (const char* key : {"Fields", "ENABLED", "enabled"}) {
            (void)orvelin::link::profileIntFromText(text, section, key, 0);
        }
    }
    // Through the file for one input in eight: each read reserves the whole 1 MiB
    // limit, which under the sanitizers costs more than the rest of the input.
    if (size % 8 != 0) return 0;
    const int fromText = orvelin::link::profileIntFromText(text, firstSection, "Fields", -7);
    if (orvelin::link::readProfileInt(file, firstSection, "Fields", -7) != fromText) std::abort();
    return 0;
}
