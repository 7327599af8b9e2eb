// A received fax is converted to TIFF from whatever the far end sent: every
// header, offset and record length of the document is the sender's. The
// conversion must refuse or convert it, and a TIFF it leaves must be one a
// viewer can walk: every directory and strip inside the file, the directories
// a finite chain.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/fax_tiff.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/scratch_dir.h"

namespace {

uint32_t U16(const std::vector<uint8_t>& f, uint64_t at) { return f[at] | uint32_t{f[at + 1]} << 8; }
uint32_t U32(const std::vector<uint8_t>& f, uint64_t at) { return U16(f, at) | U16(f, at + 2) << 16; }


// The strip of every row lies in the file; rows are at most a page's worth.
void CheckPage(const std::vector<uint8_t>& f, uint64_t dir) {
    const uint64_t size = f.size();
    FUZZ_CHECK(U16(f, dir) == 11);
    uint32_t rows = 0, offsetsCount = 0, offsetsValue = 0, countsCount = 0, countsValue = 0;
    for (uint32_t i = 0; i < 11; ++i) {
        const uint64_t e = dir + 2 + 12 * i;
        const uint32_t tag = U16(f, e), count = U32(f, e + 4), value = U32(f, e + 8);
        if (tag == 257) rows = value;
        if (tag == 273) offsetsCount = count, offsetsValue = value;
        if (tag == 279) countsCount = count, countsValue = value;
        if (tag == 282 || tag == 283) FUZZ_CHECK(uint64_t{value} + 8 <= size);
    }
    FUZZ_CHECK(rows >= 1 && rows <= orvelin::media::MaxFaxPageLines);
    FUZZ_CHECK(offsetsCount == rows && countsCount == rows);
    const uint64_t offsetsAt = offsetsValue, countsAt = countsValue;
    if (rows > 1) FUZZ_CHECK(offsetsAt + 4ull * rows <= size);
    if (rows > 2) FUZZ_CHECK(countsAt + 2ull * rows <= size);
    for (uint32_t r = 0; r < rows; ++r) {
        const uint64_t offset = rows == 1 ? offsetsValue : U32(f, offsetsAt + 4ull * r);
        const uint64_t count = rows == 1 ? (countsValue & 0xFFFF)
                               : rows == 2 ? (countsValue >> (16 * r)) & 0xFFFF
                                           : U16(f, countsAt + 2ull * r);
        FUZZ_CHECK(offset <= size && count <= size - offset);
    }
}

void CheckTiff(const std::string& path, unsigned maxPages) {
    std::ifstream in(path, std::ios::binary);
    FUZZ_CHECK(static_cast<bool>(in));
    const std::vector<uint8_t> f{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    FUZZ_CHECK(f.size() >= 8 && f[0] == 'I' && f[1] == 'I' && U16(f, 2) == 42 && U32(f, 4) == 8);
    uint64_t dir = 8;
    unsigned pages = 0;
    while (dir != 0) {
        // Forward only, so the chain ends.
        FUZZ_CHECK(dir % 2 == 0 && dir + 138 <= f.size() && ++pages <= maxPages);
        CheckPage(f, dir);
        const uint64_t next = U32(f, dir + 134);
        FUZZ_CHECK(next == 0 || next > dir);
        dir = next;
    }
    FUZZ_CHECK(pages >= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string sff = fuzzsupport::WriteScratchFile("fax.sff", data, size);
    const std::string tiff = orvelin::media::TiffPathForSff(sff);
    std::remove(tiff.c_str());
    std::string written;
    const int rc = orvelin::media::ConvertSffToTiff(sff, &written);
    // Done means pages were written; any page written is a whole one.
    if (rc == orvelin::media::SffTiffDone) FUZZ_CHECK(written == tiff);
    if (!written.empty()) {
        // A page takes at least one record, one byte each.
        CheckTiff(written, static_cast<unsigned>(size));
    } else {
        std::ifstream left(tiff);
        FUZZ_CHECK(!left);
    }
    return 0;
}
