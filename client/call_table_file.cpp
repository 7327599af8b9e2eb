#include "client/call_table_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/paths.h"

namespace orvelin::client {

namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Reads exactly out.size() bytes; false on error or early end of file.
bool readAll(int fd, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string errnoText(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::filesystem::path callTablePath(std::string_view programDir) {
    return platform::joinPath(programDir, kCallTableFileName);
}

bool loadCallTable(const std::filesystem::path& file, CallRing& ring, const LogLine& log) {
    std::vector<std::uint8_t> image;
    return loadCallTable(file, ring, log, image);
}

bool loadCallTable(const std::filesystem::path& file, CallRing& ring, const LogLine& log,
                   std::vector<std::uint8_t>& image) {
    image.clear();
    // Non-blocking so that a FIFO planted under the file's name cannot hang start-up.
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        ring.clear();
        return false;
    }
    auto empty = [&](const std::string& why) {
        ring.clear();
        image.clear();
        if (log) log(why);
        return true;
    };

    const std::size_t expected = CallRing::fileSize(ring.size());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return empty("Call table " + file.string() + " is not a regular file; starting empty");
    if (static_cast<std::uint64_t>(st.st_size) != expected) {
        return empty("Call table " + file.string() + " has " + std::to_string(st.st_size) +
                     " bytes, expected " + std::to_string(expected) + "; starting empty");
    }

    image.resize(expected);
    if (!readAll(fd.get(), image))
        return empty(errnoText("Call table could not be read:", file.string()) +
                     "; starting empty");
    if (!ring.restore(image)) {
        const std::uint32_t head = image[0] | (std::uint32_t{image[1]} << 8) |
                                   (std::uint32_t{image[2]} << 16) |
                                   (std::uint32_t{image[3]} << 24);
        return empty("Call table " + file.string() + " names head slot " + std::to_string(head) +
                     " of " + std::to_string(ring.size()) + "; starting empty");
    }
    return true;
}

bool writeCallTable(const std::filesystem::path& file, std::span<const std::uint8_t> image,
                    std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    std::string tmpl = file.string() + ".XXXXXX";
    Fd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (fd.get() < 0) return fail(errnoText("Cannot create a temporary file for", file.string()));
    const std::string tmp = tmpl;
    if (!writeAll(fd.get(), image) || ::fsync(fd.get()) != 0) {
        std::string why = errnoText("Cannot write", tmp);
        ::unlink(tmp.c_str());
        return fail(std::move(why));
    }
    if (::close(fd.release()) != 0) {
        std::string why = errnoText("Cannot close", tmp);
        ::unlink(tmp.c_str());
        return fail(std::move(why));
    }
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        std::string why = errnoText("Cannot replace", file.string());
        ::unlink(tmp.c_str());
        return fail(std::move(why));
    }
    // The rename itself is durable only once the directory is flushed.
    const std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : ".";
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) ::fsync(dirFd.get());
    return true;
}

}  // namespace orvelin::client
