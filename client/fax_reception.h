// Receiving a fax into an SFF file: where it is written and the file itself.
//
// Window thread only.
#pragma once

#include <cstdint>
#include <string>

#include "client/call_record.h"

namespace orvelin::client {

// A fax of at most this many bytes holds no page.
inline constexpr std::uint64_t kEmptyFaxBytes = 48;
// The T.30 station id is at most 20 characters.
inline constexpr std::size_t kStationIdBytes = 20;

// "<dir>FaxIn[/MSN<n>]/FAX_YYYY.MM.DD_hh.mm.ss[_<caller>].SFF" by the options (one
// folder for all numbers, caller in the name). `callerNumber` is already a file key.
std::string faxFilePath(const std::string& programDir, std::uint32_t options, int msnNumber,
                        const LocalDateTime& arrival, const std::string& callerNumber);

// Our station id for the fax protocol: the number that was called, "????????" without a record.
std::string faxStationId(const TCallRecord* record);

class FaxFile {
  public:
    FaxFile() = default;
    ~FaxFile() { close(); }
    FaxFile(const FaxFile&) = delete;
    FaxFile& operator=(const FaxFile&) = delete;

    // Creates the file (and its folders), written through, under the first free numbered
    // name of `path` whose TIFF does not exist either. False when it cannot be.
    bool create(const std::string& path, std::string* error);
    // The file created; empty when none was.
    const std::string& path() const { return path_; }
    // Blocks that cannot be written are counted as lost; written() counts what is on disk.
    void write(const std::uint8_t* data, std::size_t length);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    std::uint64_t written() const { return written_; }

  private:
    int fd_ = -1;
    std::uint64_t written_ = 0;
    std::string path_;
};

}  // namespace orvelin::client
