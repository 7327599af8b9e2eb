// ORVELIN.DAT is read at start-up as it is found on disk: its head index,
// dates, states and text fields are whatever the file holds. Loading must take
// or refuse it, the loaded ring must give back the image it reports, the call
// list must be drawn from any record, and new calls must still get fresh ids.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/call_list_model.h"
#include "client/call_ring.h"
#include "client/call_table_file.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/scratch_dir.h"

namespace {

namespace cl = orvelin::client;


}  // namespace

// First byte: the ring's size (1 to 4) and, in its top bit, whether the rest is
// the file as it is; otherwise the rest is cut or padded to the ring's file size,
// so most inputs reach the records.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint32_t slots = 1 + (data[0] & 3);
    std::vector<std::uint8_t> file(data + 1, data + size);
    if ((data[0] & 0x80) == 0) file.resize(cl::CallRing::fileSize(slots), 0);
    const std::string path = fuzzsupport::WriteScratchFile(std::string(cl::kCallTableFileName), file.data(),
                                                           file.size());

    cl::CallRing ring(slots);
    std::vector<std::uint8_t> image;
    FUZZ_CHECK(cl::loadCallTable(path, ring, [](std::string_view) {}, image));
    FUZZ_CHECK(ring.size() == slots && ring.head() < slots);
    if (!image.empty()) {
        // The image reported is the ring's, and taking it again changes nothing.
        FUZZ_CHECK(image == ring.snapshot());
        cl::CallRing again(slots);
        std::vector<std::uint8_t> copy = image;
        FUZZ_CHECK(again.restore(copy) && copy == image && again.snapshot() == image);
    }

    for (const bool longDate : {false, true}) {
        cl::CallListModel list(ring, {{}, {}, [](std::string_view number) {
                                          return number.empty() ? -1 : static_cast<int>(number[0] % 11) - 1;
                                      }});
        list.setLongDate(longDate);
        for (int line : {cl::kAllLines, 1, cl::kNoLines}) {
            list.setSelectedLine(line);
            list.rebuild();
            FUZZ_CHECK(list.rows().size() <= slots);
        }
    }

    // Calls arriving after the load: every id handed out is fresh and not 0.
    const cl::OverwritePolicy keepFiles{true, true};
    const auto arrival = cl::makeArrivalTime(std::chrono::system_clock::time_point{std::chrono::hours(24 * 365 * 40)});
    for (std::uint32_t i = 0; i < slots + 1; ++i) {
        const std::uint32_t id = ring.takeNew(arrival, keepFiles, fuzzsupport::ScratchDir()).id;
        FUZZ_CHECK(id != 0);
        std::set<std::uint32_t> ids;
        for (std::uint32_t s = 0; s < slots; ++s)
            if (ring.at(s).id == id) ids.insert(s);
        FUZZ_CHECK(ids.size() == 1);
    }
    return 0;
}
