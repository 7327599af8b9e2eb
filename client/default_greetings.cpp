#include "client/default_greetings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "media/speech_service.h"
#include "platform/paths.h"

namespace orvelin::client {

const DefaultGreeting kDefaultGreetings[2] = {
    {"Welcome.wav",
     "Hello. Nobody can take your call right now. Please leave your message after this "
     "greeting, and hang up when you are done."},
    {"NoMore.wav", "There are no more messages. Goodbye."},
};

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
void putTag(std::vector<std::uint8_t>& out, const char* tag) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(tag[i]));
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> pcm16Wave(const std::vector<std::int16_t>& samples, int rate) {
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::vector<std::uint8_t> out;
    out.reserve(44 + dataBytes);
    putTag(out, "RIFF");
    put32(out, 36 + dataBytes);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, 1);  // PCM
    put16(out, 1);  // mono
    put32(out, static_cast<std::uint32_t>(rate));
    put32(out, static_cast<std::uint32_t>(rate) * 2);
    put16(out, 2);
    put16(out, 16);
    putTag(out, "data");
    put32(out, dataBytes);
    for (std::int16_t s : samples) put16(out, static_cast<std::uint16_t>(s));
    return out;
}

Synthesizer engineSynthesizer() {
    return [](const std::string& text, std::vector<std::int16_t>& samples, int& rate) {
        media::SpeechService& service = media::SpeechService::Instance();
        if (!service.Available()) return false;
        samples.clear();
        if (service.Synthesize("en", media::EngineParams{50, 150, 100}, text, false, samples,
                               [] { return false; }) != 0)
            return false;
        rate = service.SampleRate();
        return rate > 0 && !samples.empty();
    };
}

int makeMissingGreetings(const std::string& programDir, const Synthesizer& synthesize,
                         const std::function<void(const std::string&)>& log) {
    const std::string folder = platform::joinPath(programDir, "Answer");
    std::string error;
    if (!platform::makeDirectories(folder, 0700, &error)) {
        log("Cannot create " + folder + ": " + error);
        return 0;
    }
    int made = 0;
    for (const DefaultGreeting& g : kDefaultGreetings) {
        const std::string path = platform::joinPath(folder, g.fileName);
        if (::access(path.c_str(), F_OK) == 0) continue;
        std::vector<std::int16_t> samples;
        int rate = 0;
        if (!synthesize || !synthesize(g.text, samples, rate)) {
            log("No speech to make " + path);
            return made;
        }
        std::string temp = platform::joinPath(folder, ".greeting-XXXXXX");
        const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) {
            log("Cannot write in " + folder + ": " + std::strerror(errno));
            return made;
        }
        const bool written = writeAll(fd, pcm16Wave(samples, rate)) && ::fsync(fd) == 0;
        ::close(fd);
        // link() never replaces: a greeting the user saved meanwhile stays.
        if (written && ::link(temp.c_str(), path.c_str()) == 0) {
            ++made;
            log("Made " + path);
        } else if (!written || errno != EEXIST) {
            log("Cannot write " + path + ": " + std::strerror(errno));
        }
        ::unlink(temp.c_str());
    }
    return made;
}

}  // namespace orvelin::client
