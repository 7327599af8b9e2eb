#include "media/sff.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvelin::media {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool ReadAt(int fd, off_t offset, uint8_t* into, size_t size) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, into, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        into += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool ReadHeaders(int fd, SffHeaderInfo& info) {
    if (!ReadAt(fd, 0, info.documentHeader, SffDocumentHeaderSize)) return false;
    const uint16_t firstPage = Get16(info.documentHeader + 10);
    if (firstPage == SffUserAreaOffset + SffUserAreaSize &&
        !ReadAt(fd, SffUserAreaOffset, info.userArea, SffUserAreaSize))
        return false;
    return ReadAt(fd, firstPage, info.firstPageHeader, SffPageHeaderSize);
}

}  // namespace

bool ReadSffHeader(const std::string& path, SffHeaderInfo& info) {
    std::memset(&info, 0, sizeof info);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ReadHeaders(fd, info);
    ::close(fd);
    if (!ok) std::memset(&info, 0, sizeof info);
    return ok;
}

SffPage ParseSffPageHeader(const uint8_t* header, size_t length, const SffPage& fallback) {
    SffPage page = fallback;
    if (length >= 1) page.verticalResolution = header[0];
    if (length >= 3) page.coding = header[2];
    if (length >= 6) page.lineLength = Get16(header + 4);
    return page;
}

bool SffRecordReader::Read(uint8_t* into, size_t size) {
    return size == 0 || std::fread(into, 1, size, file_) == size;
}

SffRecordReader::Kind SffRecordReader::Next() {
    size_ = 0;
    count_ = 0;
    const int b = std::fgetc(file_);
    if (b == EOF) return Kind::FileEnd;
    if (b >= 1 && b <= 216) {
        size_ = static_cast<size_t>(b);
        return Read(buffer_.data(), size_) ? Kind::Line : Kind::LineDataShort;
    }
    if (b == 0) {
        uint8_t length[2];
        if (!Read(length, 2)) return Kind::FileEnd;
        size_ = Get16(length);
        if (size_ == 0) return Kind::IllegalLine;  // an empty line cannot be decoded
        return Read(buffer_.data(), size_) ? Kind::Line : Kind::LineDataShort;
    }
    if (b <= 253) {
        count_ = static_cast<unsigned>(b - 216);
        return Kind::WhiteLines;
    }
    if (b == SffPageMarker) {
        // The page header is read by the caller; one byte of push-back is
        // always available.
        std::ungetc(b, file_);
        return Kind::PageEnd;
    }
    const int n = std::fgetc(file_);
    if (n == EOF) return Kind::UserDataShort;
    if (n == 0) return Kind::IllegalLine;
    size_ = static_cast<size_t>(n);
    return Read(buffer_.data(), size_) ? Kind::UserData : Kind::UserDataShort;
}

}  // namespace orvelin::media
