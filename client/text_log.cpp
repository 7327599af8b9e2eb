#include "client/text_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"

namespace orvelin::client {

namespace {

std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';
    }
    return out;
}

std::string countSuffix(std::uint32_t state, std::uint16_t count) {
    char buf[32];
    switch (static_cast<CallState>(state)) {
        case CallState::Answered:
        case CallState::VoiceMessage:
        case CallState::Sms:
        case CallState::ReadSms:
            std::snprintf(buf, sizeof buf, " %u sec.\r\n", unsigned{count});
            return buf;
        case CallState::BrokenFax:
        case CallState::Fax:
        case CallState::ViewedFaxMessage:
            std::snprintf(buf, sizeof buf, " %u pages.\r\n", unsigned{count});
            return buf;
        default:
            return "\r\n";
    }
}

}  // namespace

std::filesystem::path textLogPath(std::string_view programDir) {
    return platform::joinPath(programDir, kTextLogFileName);
}

std::string formatTextLogLine(const TCallRecord& r, std::uint16_t count) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d.%02d.%02d %02d:%02d:%02d", int{r.arrival.year},
                  int{r.arrival.month}, int{r.arrival.day}, int{r.arrival.hour},
                  int{r.arrival.minute}, int{r.arrival.second});
    std::string line = stamp;
    line += " to ";
    line += printable(r.calledNumber.view());
    line += '\t';
    line += printable(r.calledName.view());
    line += "\tfrom ";
    line += printable(r.callerNumber.view());
    line += '\t';
    line += printable(r.callerName.view());
    line += '\t';
    line += callStateName(r.state);
    line += countSuffix(r.state, count);
    return line;
}

bool appendTextLogLine(const std::filesystem::path& file, std::string_view line,
                       std::size_t* written, std::string* error) {
    std::size_t done = 0;
    const auto fail = [&] {
        if (written) *written = done;
        if (error) *error = std::strerror(errno);
        return false;
    };
    // O_NONBLOCK: a FIFO under this name without a reader fails the open
    // instead of hanging the writer.
    const int fd = ::open(file.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return fail();
    // One write per line: with O_APPEND a regular file gets it whole, so lines
    // of other writers never interleave inside it.
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return fail();
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) return fail();
    if (written) *written = done;
    return true;
}

}  // namespace orvelin::client
