// A 30-second 44.1 kHz stereo WAVE made into an 8 kHz A-law WAVE greeting,
// as whole processes on both sides, in this one run: our library driven by
// greeting_convert, and sox with the command a user would type. Same input,
// same output format (8 kHz mono A-law WAVE), no gain control on either side.
// Rounds alternate between the two; the best and the median are printed.
#include <spawn.h>
#include <sys/resource.h>
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

struct Took {
    double wall = -1;  // negative when the command failed
    double cpu = 0;    // user and system time of the process
};

// What the command took. CPU time counts too: on a busy machine the wall
// time mostly measures the wait for a processor.
Took Run(const std::vector<std::string>& args) {
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
    if (rc != 0) return {};
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            seconds(usage.ru_utime) + seconds(usage.ru_stime)};
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
             "vol", "0.4"}).wall < 0) {
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

    Times t[3], cpu[3];
    for (int r = 0; r < rounds + 1; ++r) {
        const Took took[3] = {Run(ours), Run(sox), Run(soxPlain)};
        for (const Took& k : took)
            if (k.wall < 0) {
                std::printf("a conversion failed (ours %.3f, sox %.3f, sox -D %.3f)\n", took[0].wall, took[1].wall,
                            took[2].wall);
                std::filesystem::remove_all(dir);
                return 1;
            }
        if (r == 0) continue;  // warms the page cache for both
        for (int i = 0; i < 3; ++i) {
            t[i].s.push_back(took[i].wall);
            cpu[i].s.push_back(took[i].cpu);
        }
    }
    std::printf("30 s 44.1 kHz stereo WAVE to an 8 kHz A-law WAVE, whole process, %d rounds\n", rounds);
    std::printf("%-34s %10s %10s %12s\n", "", "best ms", "median ms", "median CPU ms");
    const char* names[] = {"ours (greeting_convert)", "sox in.wav -r 8000 -c 1 -e a-law", "sox -D (no dither)"};
    for (int i = 0; i < 3; ++i)
        std::printf("%-34s %10.1f %10.1f %12.1f\n", names[i], t[i].Best() * 1e3, t[i].Median() * 1e3,
                    cpu[i].Median() * 1e3);
    std::printf("ratio sox / ours (> 1: ours faster): %.2fx best, %.2fx median; against sox -D: %.2fx, %.2fx\n",
                t[1].Best() / t[0].Best(), t[1].Median() / t[0].Median(), t[2].Best() / t[0].Best(),
                t[2].Median() / t[0].Median());
    std::printf("CPU time, sox / ours: %.2fx; against sox -D: %.2fx\n", cpu[1].Median() / cpu[0].Median(),
                cpu[2].Median() / cpu[0].Median());
    std::filesystem::remove_all(dir);
    return 0;
}
