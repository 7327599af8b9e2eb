// Received faxes to TIFF, in process: pages per second for a 10-page fine
// (196 lpi) A4 fax of text, against the 5,000 pages/s the fax path must
// keep. The TIFF is synced to disk before it replaces anything (the SFF is
// deleted after a good conversion), so the run is made twice: in a memory
// file system, which measures the conversion, and beside the build, which
// adds the disk's sync.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "media/fax_tiff.h"
#include "tests/media/fax_support.h"

namespace {

constexpr int Pages = 10;
constexpr unsigned Width = 1728;
constexpr int LinesPerPage = 2287;  // 297 mm at 196 lpi
constexpr double GoalPagesPerSecond = 5000;

// Text-like rows: glyph strokes of 1..6 pixels between gaps of 2..40.
orvelin::test::Row TextRow(uint32_t& seed) {
    orvelin::test::Row row(Width, 0);
    size_t x = 80;
    while (x < Width - 80) {
        seed = seed * 1664525u + 1013904223u;
        x += 2 + (seed >> 16) % 39;
        const size_t stroke = 1 + (seed >> 8) % 6;
        for (size_t i = x; i < std::min<size_t>(x + stroke, Width - 80); ++i) row[i] = 1;
        x += stroke;
    }
    return row;
}

std::vector<uint8_t> TenPageFax() {
    orvelin::test::SffBuilder sff;
    uint32_t seed = 7;
    const orvelin::test::Row white(Width, 0);
    for (int page = 0; page < Pages; ++page) {
        sff.Page(1, Width);
        for (int line = 0; line < LinesPerPage; ++line) {
            // Margins of 150 lines; text in blocks of 24 rows with 16 blank rows between.
            const bool text = line >= 150 && line < LinesPerPage - 150 && (line - 150) % 40 < 24;
            sff.Row(text ? TextRow(seed) : white);
        }
    }
    sff.End();
    return sff.bytes();
}

// Pages per second, the best of `rounds` conversions of the file.
double Measure(const std::string& dir, const std::vector<uint8_t>& fax, int rounds) {
    const std::string sff = dir + "/fax.sff";
    orvelin::test::WriteBytes(sff, fax);
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const int rc = orvelin::media::ConvertSffToTiff(sff);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (rc != 0) {
            std::printf("conversion failed with %d\n", rc);
            return -1;
        }
        best = std::min(best, s);
    }
    std::filesystem::remove(sff);
    std::filesystem::remove(orvelin::media::TiffPathForSff(sff));
    return Pages / best;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const auto fax = TenPageFax();
    std::printf("SFF to TIFF in process: %d pages of %u x %d (fine), %zu bytes of SFF, best of %d\n", Pages, Width,
                LinesPerPage, fax.size(), rounds);
    struct Place {
        const char* name;
        std::string base;
    };
    const Place places[] = {{"memory file system (/dev/shm)", "/dev/shm"}, {"disk, beside the build", ORVELIN_BUILD_DIR}};
    for (const auto& place : places) {
        std::string pattern = place.base + "/fax-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::printf("%-32s not measured (no folder)\n", place.name);
            continue;
        }
        const double pps = Measure(pattern, fax, rounds);
        std::filesystem::remove_all(pattern);
        if (pps > 0)
            std::printf("%-32s %10.0f pages/s   %5.2fx the goal of %.0f\n", place.name, pps, pps / GoalPagesPerSecond,
                        GoalPagesPerSecond);
    }
    return 0;
}
