#include "media/fax_tiff.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "media/g711.h"
#include "media/wavefile.h"

namespace orvelin::media {

namespace {

struct RunCode {
    uint16_t bits;
    uint8_t length;
};

// ITU-T T.4 table 2: white run lengths 0..63.
constexpr RunCode WhiteTerminating[64] = {
    {0b00110101, 8}, {0b000111, 6},   {0b0111, 4},     {0b1000, 4},     {0b1011, 4},
    {0b1100, 4},     {0b1110, 4},     {0b1111, 4},     {0b10011, 5},    {0b10100, 5},
    {0b00111, 5},    {0b01000, 5},    {0b001000, 6},   {0b000011, 6},   {0b110100, 6},
    {0b110101, 6},   {0b101010, 6},   {0b101011, 6},   {0b0100111, 7},  {0b0001100, 7},
    {0b0001000, 7},  {0b0010111, 7},  {0b0000011, 7},  {0b0000100, 7},  {0b0101000, 7},
    {0b0101011, 7},  {0b0010011, 7},  {0b0100100, 7},  {0b0011000, 7},  {0b00000010, 8},
    {0b00000011, 8}, {0b00011010, 8}, {0b00011011, 8}, {0b00010010, 8}, {0b00010011, 8},
    {0b00010100, 8}, {0b00010101, 8}, {0b00010110, 8}, {0b00010111, 8}, {0b00101000, 8},
    {0b00101001, 8}, {0b00101010, 8}, {0b00101011, 8}, {0b00101100, 8}, {0b00101101, 8},
    {0b00000100, 8}, {0b00000101, 8}, {0b00001010, 8}, {0b00001011, 8}, {0b01010010, 8},
    {0b01010011, 8}, {0b01010100, 8}, {0b01010101, 8}, {0b00100100, 8}, {0b00100101, 8},
    {0b01011000, 8}, {0b01011001, 8}, {0b01011010, 8}, {0b01011011, 8}, {0b01001010, 8},
    {0b01001011, 8}, {0b00110010, 8}, {0b00110011, 8}, {0b00110100, 8},
};

// T.4 table 3: white make-up codes for 64, 128, ..., 1728.
constexpr RunCode WhiteMakeUp[27] = {
    {0b11011, 5},     {0b10010, 5},     {0b010111, 6},    {0b0110111, 7},   {0b00110110, 8},
    {0b00110111, 8},  {0b01100100, 8},  {0b01100101, 8},  {0b01101000, 8},  {0b01100111, 8},
    {0b011001100, 9}, {0b011001101, 9}, {0b011010010, 9}, {0b011010011, 9}, {0b011010100, 9},
    {0b011010101, 9}, {0b011010110, 9}, {0b011010111, 9}, {0b011011000, 9}, {0b011011001, 9},
    {0b011011010, 9}, {0b011011011, 9}, {0b010011000, 9}, {0b010011001, 9}, {0b010011010, 9},
    {0b011000, 6},    {0b010011011, 9},
};

// T.4 table 3 (extension): make-up codes for 1792, 1856, ..., 2560, both colours.
constexpr RunCode ExtendedMakeUp[13] = {
    {0b00000001000, 11},  {0b00000001100, 11},  {0b00000001101, 11},  {0b000000010010, 12},
    {0b000000010011, 12}, {0b000000010100, 12}, {0b000000010101, 12}, {0b000000010110, 12},
    {0b000000010111, 12}, {0b000000011100, 12}, {0b000000011101, 12}, {0b000000011110, 12},
    {0b000000011111, 12},
};

class BitWriter {
public:
    void Put(RunCode code) {
        for (int i = code.length - 1; i >= 0; --i) {
            current_ = static_cast<uint8_t>(current_ << 1 | ((code.bits >> i) & 1));
            if (++used_ == 8) Flush();
        }
    }
    // Rows of TIFF compression 2 start on a byte boundary: pad with zeros.
    std::vector<uint8_t> Finish() {
        if (used_ > 0) {
            current_ = static_cast<uint8_t>(current_ << (8 - used_));
            Flush();
        }
        return std::move(bytes_);
    }

private:
    void Flush() {
        bytes_.push_back(current_);
        current_ = 0;
        used_ = 0;
    }
    std::vector<uint8_t> bytes_;
    uint8_t current_ = 0;
    int used_ = 0;
};

// One all-white row as MH without EOL, most significant bit first. Runs
// beyond 2623 repeat the 2560 make-up code (T.4 4.1.2).
std::vector<uint8_t> EncodeWhiteLine(unsigned width) {
    BitWriter w;
    while (width >= 2624) {
        w.Put(ExtendedMakeUp[12]);
        width -= 2560;
    }
    if (width >= 64) {
        const unsigned m = width / 64;
        w.Put(m <= 27 ? WhiteMakeUp[m - 1] : ExtendedMakeUp[m - 28]);
        width -= m * 64;
    }
    w.Put(WhiteTerminating[width]);
    return w.Finish();
}

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr uint32_t DirectorySize = 2 + 11 * 12 + 4;
constexpr uint32_t PageHeadSize = DirectorySize + 16;  // directory and both rationals
constexpr uint64_t MaxTiffSize = 0xFFFFFFFFull;        // offsets are 32-bit

enum TiffType : uint16_t { Short = 3, Long = 4, Rational = 5 };

class Converter {
public:
    Converter(FILE* sff, AtomicFile& tiff) : tiff_(tiff), records_(sff) {}

    int Run(const SffPage& defaults);
    unsigned pages() const { return pages_; }

private:
    int ConvertPage(const SffPage& page);
    int CountLines();
    int CopyLines(size_t lines);
    void WritePageHead(uint32_t p, const SffPage& page);
    // The TIFF is written through a buffer of whole lines; Flush before
    // asking the file its size or changing what it holds.
    uint8_t* Reserve(size_t size) {
        if (size > out_.size() - used_) Flush();
        if (size > out_.size()) out_.resize(size);
        uint8_t* at = out_.data() + used_;
        used_ += size;
        return at;
    }
    void Append(const uint8_t* data, size_t size) {
        if (size > 0) std::memcpy(Reserve(size), data, size);
    }

public:
    void Flush() {
        tiff_.Write(out_.data(), used_);
        used_ = 0;
    }

private:

    AtomicFile& tiff_;
    SffRecordReader records_;
    std::vector<uint8_t> white_;
    std::vector<uint16_t> counts_;  // byte count of every line of the page
    std::vector<uint8_t> out_ = std::vector<uint8_t>(256 * 1024);
    size_t used_ = 0;
    uint64_t previousNext_ = 0;     // next-directory field of the last page, 0 before the first
    unsigned pages_ = 0;
};

int Converter::Run(const SffPage& defaults) {
    const uint8_t header[8] = {'I', 'I', 42, 0, 8, 0, 0, 0};
    Append(header, sizeof header);
    for (;;) {
        uint8_t mark[2];
        if (!records_.Read(mark, 2) || mark[0] != SffPageMarker) return SffTiffNoPageHeader;
        if (mark[1] == 0) return SffTiffDone;
        uint8_t fields[255];
        if (!records_.Read(fields, mark[1])) return SffTiffPageHeaderShort;
        const SffPage page = ParseSffPageHeader(fields, mark[1], defaults);
        // MR and MMR rows depend on the row above; copied as they are they
        // would not decode as MH.
        if (page.lineLength == 0 || page.coding != 0) return SffTiffPageHeaderShort;
        if (const int rc = ConvertPage(page); rc != SffTiffDone) return rc;
    }
}

int Converter::CountLines() {
    counts_.clear();
    for (;;) {
        switch (records_.Next()) {
            case SffRecordReader::Kind::Line:
                counts_.push_back(static_cast<uint16_t>(records_.size()));
                break;
            case SffRecordReader::Kind::IllegalLine:
                counts_.push_back(static_cast<uint16_t>(white_.size()));
                break;
            // White skips shorten the image: like user data, they produce no line.
            case SffRecordReader::Kind::WhiteLines:
            case SffRecordReader::Kind::UserData:
                break;
            case SffRecordReader::Kind::PageEnd:
            case SffRecordReader::Kind::FileEnd:
                return SffTiffDone;
            case SffRecordReader::Kind::UserDataShort:
                return SffTiffUserDataShort;
            case SffRecordReader::Kind::LineDataShort:
                return SffTiffLineDataShort;
        }
        if (counts_.size() > MaxFaxPageLines) return SffTiffCannotWrite;
    }
}

// The second pass must reproduce the first line for line, or the strip
// tables already written would not match the data.
int Converter::CopyLines(size_t lines) {
    size_t index = 0;
    auto fits = [&](size_t size) { return index < lines && counts_[index] == size; };
    for (;;) {
        switch (records_.Next()) {
            case SffRecordReader::Kind::Line: {
                const size_t size = records_.size();
                if (!fits(size)) return SffTiffLineDataChanged;
                const uint8_t* in = records_.data();
                uint8_t* out = Reserve(size);
                for (size_t i = 0; i < size; ++i) out[i] = BitReverseTable[in[i]];
                ++index;
                break;
            }
            case SffRecordReader::Kind::IllegalLine:
                if (!fits(white_.size())) return SffTiffLineDataChanged;
                Append(white_.data(), white_.size());
                ++index;
                break;
            case SffRecordReader::Kind::WhiteLines:
            case SffRecordReader::Kind::UserData:
                break;
            case SffRecordReader::Kind::PageEnd:
            case SffRecordReader::Kind::FileEnd:
                return index == lines ? SffTiffDone : SffTiffLineDataChanged;
            case SffRecordReader::Kind::UserDataShort:
                return SffTiffUserDataChanged;
            case SffRecordReader::Kind::LineDataShort:
                return SffTiffLineDataChanged;
        }
    }
}

void Converter::WritePageHead(uint32_t p, const SffPage& page) {
    const uint32_t n = static_cast<uint32_t>(counts_.size());
    const uint32_t offsetsAt = p + PageHeadSize;
    const uint32_t countsAt = offsetsAt + 4 * n;
    const uint32_t dataAt = countsAt + 2 * n;

    uint8_t head[PageHeadSize] = {};
    uint8_t* e = head + 2;
    auto entry = [&e](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        Put16(e, tag);
        Put16(e + 2, type);
        Put32(e + 4, count);
        Put32(e + 8, value);
        e += 12;
    };
    Put16(head, 11);
    entry(254, Long, 1, 0);                  // new subfile type
    entry(256, Long, 1, page.lineLength);    // image width
    entry(257, Long, 1, n);                  // image length
    entry(259, Short, 1, 2);                 // compression: modified Huffman
    entry(262, Short, 1, 0);                 // photometric: white is zero
    entry(273, Long, n, n == 1 ? dataAt : offsetsAt);
    entry(278, Long, 1, 1);                  // rows per strip
    // Values of up to four bytes stand in the entry itself.
    const uint32_t inlineCounts = n == 1 ? counts_[0] : n == 2 ? counts_[0] | uint32_t{counts_[1]} << 16 : countsAt;
    entry(279, Short, n, inlineCounts);
    entry(282, Rational, 1, p + DirectorySize);
    entry(283, Rational, 1, p + DirectorySize + 8);
    entry(296, Short, 1, 2);                 // resolution unit: inch
    Put32(e, 0);                             // next directory, patched when a page follows
    Put32(head + DirectorySize, 203);
    Put32(head + DirectorySize + 4, 1);
    Put32(head + DirectorySize + 8, page.verticalResolution == 0 ? 98 : 196);
    Put32(head + DirectorySize + 12, 1);
    Append(head, sizeof head);

    std::vector<uint8_t> table(6 * size_t{n});
    uint32_t offset = dataAt;
    for (uint32_t i = 0; i < n; ++i) {
        Put32(&table[4 * i], offset);
        Put16(&table[4 * size_t{n} + 2 * i], counts_[i]);
        offset += counts_[i];
    }
    Append(table.data(), table.size());
}

int Converter::ConvertPage(const SffPage& page) {
    const off_t start = records_.Tell();
    if (start < 0) return SffTiffSeekFailed;
    white_ = EncodeWhiteLine(page.lineLength);
    if (const int rc = CountLines(); rc != SffTiffDone) return rc;
    if (counts_.empty()) return SffTiffDone;  // a page without lines leaves no trace

    Flush();
    const uint64_t end = tiff_.Size();
    const uint64_t p = end + (end & 1);  // directories and rationals on word boundaries
    uint64_t dataBytes = 0;
    for (uint16_t c : counts_) dataBytes += c;
    if (p + PageHeadSize + 6 * counts_.size() + dataBytes > MaxTiffSize) return SffTiffCannotWrite;
    if (!records_.Seek(start)) return SffTiffSeekFailed;

    uint8_t link[4] = {};
    if (p != end) Append(link, 1);
    Put32(link, static_cast<uint32_t>(p));
    if (previousNext_ != 0) {
        Flush();
        tiff_.WriteAt(previousNext_, link, sizeof link);
    }
    WritePageHead(static_cast<uint32_t>(p), page);
    if (const int rc = CopyLines(counts_.size()); rc != SffTiffDone) {
        // Give back the torn page so the file ends with the last good one.
        Flush();
        tiff_.Truncate(end);
        Put32(link, 0);
        if (previousNext_ != 0) tiff_.WriteAt(previousNext_, link, sizeof link);
        return rc;
    }
    previousNext_ = p + DirectorySize - 4;
    ++pages_;
    return SffTiffDone;
}

}  // namespace

std::string TiffPathForSff(const std::string& sffPath) {
    const size_t slash = sffPath.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = sffPath.rfind('.');
    const size_t baseEnd = dot != std::string::npos && dot >= nameStart ? dot : sffPath.size();
    return sffPath.substr(0, baseEnd) + ".tif";
}

int ConvertSffStream(FILE* sff, const SffPage& defaults, AtomicFile& tiff, unsigned& pages) {
    Converter converter(sff, tiff);
    const int rc = converter.Run(defaults);
    converter.Flush();
    pages = converter.pages();
    return rc;
}

int ConvertSffToTiff(const std::string& sffPath, std::string* writtenPath) {
    if (writtenPath) writtenPath->clear();
    SffHeaderInfo info;
    if (!ReadSffHeader(sffPath, info)) return SffTiffBadFile;
    const size_t firstLength = std::min<size_t>(info.firstPageHeader[1], 16);
    const SffPage defaults = ParseSffPageHeader(info.firstPageHeader + 2, firstLength, SffPage{});

    const int fd = ::open(sffPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return SffTiffBadFile;
    FILE* sff = fdopen(fd, "rb");
    if (sff == nullptr) {
        ::close(fd);
        return SffTiffBadFile;
    }
    const uint16_t firstPage = static_cast<uint16_t>(info.documentHeader[10] | info.documentHeader[11] << 8);
    if (fseeko(sff, firstPage, SEEK_SET) != 0) {
        std::fclose(sff);
        return SffTiffBadFile;
    }

    const std::string tiffPath = TiffPathForSff(sffPath);
    AtomicFile tiff;
    if (!tiff.Open(tiffPath)) {
        std::fclose(sff);
        return SffTiffCannotWrite;
    }
    unsigned pages = 0;
    const int rc = ConvertSffStream(sff, defaults, tiff, pages);
    std::fclose(sff);
    if (pages == 0) {
        tiff.Abandon();
        return rc == SffTiffDone ? SffTiffNoPages : rc;
    }
    if (!tiff.Commit()) return SffTiffCannotWrite;
    if (writtenPath) *writtenPath = tiffPath;
    return rc;
}

}  // namespace orvelin::media
