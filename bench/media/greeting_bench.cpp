// A 30-second 44.1 kHz stereo WAVE made into an 8 kHz A-law WAVE greeting,
// as whole processes on both sides, in this one run: our library driven by
// greeting_convert, and sox with the command a user would type. Same input,
// same output format (8 kHz mono A-law WAVE), no gain control on either side.
// Rounds alternate between the two; the best and the median are printed.
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Seconds the command took, or a negative value when it failed.
double Run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Times {
    std::vector<double> s;
    double Best() const { return *std::min_element(s.begin(), s.end()); }
    double Median() const {
        auto v = s;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    const std::string build = ORVELIN_BUILD_DIR;
    char pattern[] = "/tmp/greeting-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string dir = pattern;
    const std::string in = dir + "/cd.wav";
    if (Run({"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", in, "synth", "30", "sine", "440", "sine", "1000",
             "vol", "0.4"}) < 0) {
        std::printf("sox not installed or failed: no peer, no input\n");
        std::filesystem::remove_all(dir);
        return 1;
    }
    const std::vector<std::string> ours = {build + "/greeting_convert", build + "/libsundrel.so", in,
                                           dir + "/ours.wav"};
    const std::vector<std::string> sox = {"sox", in, "-r", "8000", "-c", "1", "-e", "a-law", dir + "/sox.wav"};
    // The same without dither, which sox adds on its own when it narrows
    // the samples and our library does not.
    std::vector<std::string> soxPlain = sox;
    soxPlain.insert(soxPlain.begin() + 1, "-D");

    Times t[3];
    for (int r = 0; r < rounds + 1; ++r) {
        const double a = Run(ours), b = Run(sox), c = Run(soxPlain);
        if (a < 0 || b < 0 || c < 0) {
            std::printf("a conversion failed (ours %.3f, sox %.3f, sox -D %.3f)\n", a, b, c);
            std::filesystem::remove_all(dir);
            return 1;
        }
        if (r == 0) continue;  // warms the page cache for both
        t[0].s.push_back(a);
        t[1].s.push_back(b);
        t[2].s.push_back(c);
    }
    std::printf("30 s 44.1 kHz stereo WAVE to an 8 kHz A-law WAVE, whole process, %d rounds\n", rounds);
    std::printf("%-34s %10s %10s\n", "", "best ms", "median ms");
    const char* names[] = {"ours (greeting_convert)", "sox in.wav -r 8000 -c 1 -e a-law", "sox -D (no dither)"};
    for (int i = 0; i < 3; ++i) std::printf("%-34s %10.1f %10.1f\n", names[i], t[i].Best() * 1e3, t[i].Median() * 1e3);
    std::printf("ratio sox / ours (> 1: ours faster): %.2fx best, %.2fx median; against sox -D: %.2fx, %.2fx\n",
                t[1].Best() / t[0].Best(), t[1].Median() / t[0].Median(), t[2].Best() / t[0].Best(),
                t[2].Median() / t[0].Median());
    std::filesystem::remove_all(dir);
    return 0;
}
