#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

namespace {

std::string withSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    return dir;
}

std::string currentDirectory() {
    std::vector<char> buf(4096);
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) return "/";
        buf.resize(buf.size() * 2);
    }
    return buf.data();
}

std::string absolute(std::string_view dir) {
    if (!dir.empty() && dir.front() == '/') return std::string(dir);
    return joinPath(currentDirectory(), dir);
}

std::string envValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string homeDirectory() {
    std::string home = envValue("HOME");
    if (!home.empty()) return home;
    // getpwuid_r: getpwuid's static buffer is not safe with threads.
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return "/";
}

std::string xdgDefault() {
    std::string data = envValue("XDG_DATA_HOME");
    // The XDG rules ignore relative values.
    if (data.empty() || data.front() != '/') data = joinPath(homeDirectory(), ".local/share");
    return withSlash(joinPath(data, "orvelin"));
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string joinPath(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) {
        if (p.empty()) continue;
        if (out.empty()) {
            out.assign(p);
            continue;
        }
        while (!p.empty() && p.front() == '/') p.remove_prefix(1);
        if (out.back() != '/') out.push_back('/');
        out.append(p);
    }
    return out;
}

std::string fileKey(std::string_view text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c == '?' || c == '/' || c == '\\' || c < 0x20 || c == 0x7F || (i == 0 && c == '.'))
            out[i] = '_';
    }
    return out;
}

bool makeDirectories(const std::string& path, unsigned mode, std::string* error) {
    if (path.empty()) {
        if (error) *error = "empty directory path";
        return false;
    }
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string prefix = path.substr(0, pos);
        if (prefix.empty() || prefix == "/") continue;
        if (mkdir(prefix.c_str(), static_cast<mode_t>(mode)) == 0) continue;
        int err = errno;
        if (err == EEXIST && isDirectory(prefix)) continue;
        if (error) {
            *error =
                "cannot create directory " + prefix + ": " +
                (err == EEXIST ? std::string("exists and is not a directory") : std::strerror(err));
        }
        return false;
    }
    return true;
}

std::string programDirectory() {
    std::string home = envValue("ORVELIN_HOME");
    if (!home.empty()) return withSlash(absolute(home));
    return xdgDefault();
}

std::string initProgramDirectory(int argc, const char* const* argv, bool serviceMode,
                                 std::string* error) {
    std::string dir = envValue("ORVELIN_HOME");
    for (int i = 1; dir.empty() && i < argc && argv[i]; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--home" && i + 1 < argc && argv[i + 1])
            dir = argv[i + 1];
        else if (arg.substr(0, 7) == "--home=")
            dir = std::string(arg.substr(7));
    }
    if (dir.empty() && serviceMode) dir = "/var/lib/orvelin/";
    dir = dir.empty() ? xdgDefault() : withSlash(absolute(dir));
    if (!makeDirectories(dir, 0700, error)) return {};
    if (setenv("ORVELIN_HOME", dir.c_str(), 1) != 0) {
        if (error) *error = std::string("cannot set ORVELIN_HOME: ") + std::strerror(errno);
        return {};
    }
    return dir;
}

std::string libraryDirectory() {
    std::vector<char> buf(4096);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return "/usr/lib/orvelin/";
    return libraryDirectoryFor(std::string_view(buf.data(), static_cast<size_t>(n)));
}

std::string libraryDirectoryFor(std::string_view executable) {
    std::string exeDir(executable.substr(0, executable.rfind('/') + 1));
    if (exeDir.empty()) exeDir.assign(1, '/');
    if (access((exeDir + "CMakeCache.txt").c_str(), F_OK) == 0) return exeDir;
    constexpr std::string_view bin = "/bin/";
    if (exeDir.size() >= bin.size() &&
        exeDir.compare(exeDir.size() - bin.size(), bin.size(), bin) == 0)
        return exeDir.substr(0, exeDir.size() - bin.size() + 1) + "lib/orvelin/";
    return exeDir;
}

}  // namespace platform
