#include "link/link_profile.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/paths.h"

namespace orvelin::link {

namespace {

constexpr std::size_t kMaxProfileBytes = 1 << 20;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// Leading sign and digits, as the classic profile reader takes them; saturates.
int parseInt(std::string_view s) {
    bool negative = false;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    long long value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        value = value * 10 + (s[i] - '0');
        if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool regularFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::string> defaultProfileDirectories() {
    return {platform::programDirectory(), "/etc/orvelin/"};
}

std::optional<std::string> findProfileFile(const std::vector<std::string>& directories) {
    for (const std::string& dir : directories) {
        if (dir.empty()) continue;
        std::string path = platform::joinPath(dir, kProfileFileName);
        if (regularFile(path)) return path;
    }
    return std::nullopt;
}

int profileIntFromText(std::string_view text, std::string_view section, std::string_view key,
                       int fallback) {
    bool inSection = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            inSection = close != std::string_view::npos &&
                        sameName(trim(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (sameName(trim(line.substr(0, eq)), key)) return parseInt(trim(line.substr(eq + 1)));
    }
    return fallback;
}

int readProfileInt(const std::optional<std::string>& file, std::string_view section,
                   std::string_view key, int fallback) {
    if (!file) return fallback;
    // Not blocking: a FIFO put in the file's place must not hold up an admission.
    const int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fallback;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kMaxProfileBytes) {
        ::close(fd);
        return fallback;
    }
    // Sized by the file, which is a few lines: this runs twice at every admission.
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() > kMaxProfileBytes) break;
    }
    ::close(fd);
    if (text.size() > kMaxProfileBytes) return fallback;
    return profileIntFromText(text, section, key, fallback);
}

}  // namespace orvelin::link
