#include "client/fax_reception.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "client/free_name.h"
#include "media/fax_tiff.h"
#include "platform/paths.h"
#include "settings/option_bits.h"

namespace orvelin::client {

std::string faxFilePath(const std::string& programDir, std::uint32_t options, int msnNumber,
                        const LocalDateTime& a, const std::string& callerNumber) {
    using settings::OptionBits;
    std::string folder = platform::joinPath(programDir, "FaxIn");
    if (!settings::HasOption(options, OptionBits::FaxesInOneFolder))
        folder = platform::joinPath(folder, "MSN" + std::to_string(msnNumber));
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "FAX_%04u.%02u.%02u_%02u.%02u.%02u", unsigned(a.year),
                  unsigned(a.month), unsigned(a.day), unsigned(a.hour), unsigned(a.minute),
                  unsigned(a.second));
    std::string name = stamp;
    if (settings::HasOption(options, OptionBits::CallerInFaxName)) {
        name += '_';
        name += platform::fileKey(callerNumber);
    }
    name += ".SFF";
    return platform::joinPath(folder, name);
}

std::string faxStationId(const TCallRecord* record) {
    if (!record) return "????????";
    const std::string_view number = record->calledNumber.view();
    return std::string(number.substr(0, utf8PrefixLength(number, kStationIdBytes)));
}

bool FaxFile::create(const std::string& path, std::string* error) {
    close();
    written_ = 0;
    path_.clear();
    if (!platform::makeDirectories(std::filesystem::path(path).parent_path().string(), 0700, error))
        return false;
    // The TIFF made of an earlier fax outlives its SFF file; a new fax must not overwrite it.
    const auto tiffExists = [](const std::string& name) {
        std::error_code ec;
        return std::filesystem::exists(media::TiffPathForSff(name), ec);
    };
    fd_ = createFreeFile(path, O_WRONLY | O_DSYNC, path_, error, tiffExists);
    return fd_ >= 0;
}

void FaxFile::write(const std::uint8_t* data, std::size_t length) {
    if (fd_ < 0) return;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    written_ += done;
}

void FaxFile::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

}  // namespace orvelin::client
