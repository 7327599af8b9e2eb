// Structured Fax File (SFF) reading: the layout the CAPI 2.0 fax protocol
// writes received pages in, and a bounded record reader for it.
//
// Document header, 20 bytes, integers little-endian:
// Offset  Size  Value
//  0      4     signature (not checked: writers differ)
//  4      1     version
//  5      1     reserved
//  6      2     user information length
//  8      2     page count
// 10      2     offset of the first page header
// 12      4     offset of the last page header
// 16      4     offset of the document end
// A first page header at offset 84 leaves the 64 bytes from offset 20 as
// the user area.
//
// Page header: 254, length L (0 ends the document), then L bytes of which
// the first 16 are: vertical resolution (0 = 98 lpi, else 196), horizontal
// resolution, coding (0 = modified Huffman), reserved, line length in
// pixels (u16), page length in lines (u16), previous and next page offsets
// (u32 each).
//
// Records after a page header, by their first byte b:
//   1..216   b bytes of one MH-coded line, least significant bit first
//   0        u16 n, then n bytes of one line (n = 0 cannot be decoded: an illegal line)
//   217..253 b - 216 white lines
//   254      the next page header
//   255      u8 n: 0 marks an illegal (damaged) line, 1..255 n bytes of user data
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace orvelin::media {

constexpr size_t SffDocumentHeaderSize = 20;
constexpr size_t SffUserAreaSize = 64;
constexpr size_t SffUserAreaOffset = 20;
constexpr size_t SffPageHeaderSize = 18;  // 254, L and the 16 defined bytes
constexpr uint8_t SffPageMarker = 254;

struct SffHeaderInfo {
    uint8_t userArea[SffUserAreaSize];              // zeros when absent
    uint8_t documentHeader[SffDocumentHeaderSize];
    uint8_t firstPageHeader[SffPageHeaderSize];     // from the 254 on
};

// Fills `info` from the file at `path`. False (and `info` zeroed) when the
// document header, the user area where announced, or 18 bytes at the first
// page header's offset cannot be read.
bool ReadSffHeader(const std::string& path, SffHeaderInfo& info);

// What one page header says, with fields its length leaves out taken from
// `fallback`.
struct SffPage {
    uint8_t verticalResolution = 0;
    uint8_t coding = 0;
    uint16_t lineLength = 1728;
};
// `header` holds the L bytes after 254 and L (at most 16 are looked at).
SffPage ParseSffPageHeader(const uint8_t* header, size_t length, const SffPage& fallback);

// Reader of the records that follow a page header. It reads the stream in
// large blocks from where the stream stands; every length comes from the
// file, so every record is checked against what could be read, and a record
// never yields more than its bytes.
class SffRecordReader {
public:
    enum class Kind {
        Line,           // data() holds size() bytes of one coded line
        WhiteLines,     // a white skip of count() lines: produces no line
        IllegalLine,    // one damaged line (an escape record of no bytes)
        UserData,       // user data or a fill record: skipped, produces no line
        PageEnd,        // a 254 was met; the reader stands on it
        FileEnd,        // nothing more (also a u16 length cut off by the end)
        UserDataShort,  // the file ends inside user data
        LineDataShort,  // the file ends inside line data
    };

    explicit SffRecordReader(FILE* file);
    Kind Next();
    // Valid until the next call.
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    unsigned count() const { return count_; }

    // Bytes that are not records (the page headers).
    bool Read(uint8_t* into, size_t size);
    // The file position of the next byte, -1 when the stream cannot tell.
    off_t Tell() const { return base_ < 0 ? -1 : base_ + static_cast<off_t>(pos_); }
    // Always repositions the stream itself, so what follows is read anew.
    bool Seek(off_t offset);

private:
    // At least `size` bytes from pos_ on in the buffer; false when the file
    // ends first.
    bool Ensure(size_t size);

    FILE* file_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(256 * 1024);  // more than one longest record
    size_t pos_ = 0;
    size_t end_ = 0;
    off_t base_ = -1;  // file offset of buffer_[0]
    bool ended_ = false;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    unsigned count_ = 0;
};

}  // namespace orvelin::media
