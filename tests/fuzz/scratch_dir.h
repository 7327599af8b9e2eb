// A private folder for targets whose entry point takes a path: made once per
// process (in memory where the system offers it, so no input waits on a disk)
// and removed at exit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace fuzzsupport {

inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        std::string base = "/dev/shm";
        std::error_code ec;
        if (!std::filesystem::is_directory(base, ec)) {
            const char* tmp = std::getenv("ORVELIN_TEST_TMP");
            base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        }
        std::string pattern = base + "/orvelin-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        static std::string made = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        return pattern;
    }();
    return dir;
}

// Puts the bytes at ScratchDir()/name as a new file (written aside and renamed,
// so a reader never meets the previous input's inode), and returns its path.
inline std::string WriteScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::string path = ScratchDir() + "/" + name;
    const std::string temp = path + ".new";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0 ||
        std::rename(temp.c_str(), path.c_str()) != 0) {
        std::perror(temp.c_str());
        std::abort();
    }
    return path;
}

}  // namespace fuzzsupport
