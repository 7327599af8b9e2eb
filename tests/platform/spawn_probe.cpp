// Test helper started by the spawn tests: records in the file named by PROBE_OUT its
// arguments (length-prefixed, so any byte survives), its open descriptors and how it
// found SIGPIPE. Written to a temp file and renamed, so a reader sees all or nothing.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const char* out = std::getenv("PROBE_OUT");
    if (!out) return 2;
    std::string text = "argc " + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i)
        text += "arg " + std::to_string(std::strlen(argv[i])) + " " + argv[i] + "\n";
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 3;
    int self = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == self) continue;
        text += std::string("fd ") + e->d_name + "\n";
    }
    closedir(dir);
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    text += std::string("sigpipe ") + (sa.sa_handler == SIG_IGN ? "ignored" : "default") + "\n";
    const std::string tmp = std::string(out) + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return 4;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    return ok && std::rename(tmp.c_str(), out) == 0 ? 0 : 5;
}
