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

SffRecordReader::SffRecordReader(FILE* file) : file_(file), base_(ftello(file)) {}

bool SffRecordReader::Ensure(size_t size) {
    if (end_ - pos_ >= size) return true;
    std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
    if (base_ >= 0) base_ += static_cast<off_t>(pos_);
    end_ -= pos_;
    pos_ = 0;
    while (end_ < size && !ended_) {
        const size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
        if (got == 0) ended_ = true;
        end_ += got;
    }
    return end_ >= size;
}

bool SffRecordReader::Read(uint8_t* into, size_t size) {
    if (size > buffer_.size() || !Ensure(size)) return false;
    std::memcpy(into, buffer_.data() + pos_, size);
    pos_ += size;
    return true;
}

bool SffRecordReader::Seek(off_t offset) {
    pos_ = end_ = 0;
    ended_ = false;
    if (fseeko(file_, offset, SEEK_SET) != 0) {
        base_ = -1;
        return false;
    }
    base_ = offset;
    return true;
}

SffRecordReader::Kind SffRecordReader::Next() {
    data_ = nullptr;
    size_ = 0;
    count_ = 0;
    if (!Ensure(1)) return Kind::FileEnd;
    const uint8_t b = buffer_[pos_];
    if (b >= 1 && b <= 216) {
        if (!Ensure(1 + size_t{b})) return Kind::LineDataShort;
        size_ = b;
        data_ = buffer_.data() + pos_ + 1;
        pos_ += 1 + size_;
        return Kind::Line;
    }
    if (b == 0) {
        if (!Ensure(3)) return Kind::FileEnd;
        size_ = Get16(buffer_.data() + pos_ + 1);
        if (size_ == 0) {  // an empty line cannot be decoded
            pos_ += 3;
            return Kind::IllegalLine;
        }
        if (!Ensure(3 + size_)) return Kind::LineDataShort;
        data_ = buffer_.data() + pos_ + 3;
        pos_ += 3 + size_;
        return Kind::Line;
    }
    if (b <= 253) {
        count_ = static_cast<unsigned>(b - 216);
        ++pos_;
        return Kind::WhiteLines;
    }
    // The page header is read by the caller: stand on it.
    if (b == SffPageMarker) return Kind::PageEnd;
    if (!Ensure(2)) return Kind::UserDataShort;
    const uint8_t n = buffer_[pos_ + 1];
    if (n == 0) {  // a fill record
        pos_ += 2;
        size_ = 0;
        data_ = nullptr;
        return Kind::UserData;
    }
    if (!Ensure(2 + size_t{n})) return Kind::UserDataShort;
    size_ = n;
    data_ = buffer_.data() + pos_ + 2;
    pos_ += 2 + size_;
    return Kind::UserData;
}

}  // namespace orvelin::media
