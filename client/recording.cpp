#include "client/recording.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "client/free_name.h"
#include "media/soundconv.h"
#include "media/wavefile.h"
#include "platform/paths.h"
#include "settings/option_bits.h"

namespace orvelin::client {
namespace {

// A faint, even hiss: a small pseudo-random walk of -2..+2 around the zero level.
constexpr std::array<std::uint8_t, kGreetingTailBytes> makeTailFill() {
    std::array<std::uint8_t, kGreetingTailBytes> out{};
    std::uint32_t seed = 0x2545F491u;
    for (std::size_t i = 0; i < out.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        out[i] = static_cast<std::uint8_t>(126 + (seed >> 24) % 5);
    }
    return out;
}
constexpr auto kTailFill = makeTailFill();

std::string errnoText() {
    return std::strerror(errno);
}

bool overwriteTail(const std::string& path, const Recording::Log& log) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    // The header stays whole: only a greeting with that much sound gets the tail.
    if (ec || size < media::WaveHeaderSize + kGreetingTailBytes) return false;
    FILE* f = std::fopen(path.c_str(), "r+be");
    if (!f) {
        log("Cannot open " + path + ": " + errnoText());
        return false;
    }
    bool ok = std::fseek(f, static_cast<long>(size - kGreetingTailBytes), SEEK_SET) == 0 &&
              std::fwrite(kTailFill.data(), 1, kTailFill.size(), f) == kTailFill.size();
    ok = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) log("Cannot write the end of " + path);
    return ok;
}

}  // namespace

const std::uint8_t* greetingTailFill() {
    return kTailFill.data();
}

std::string rawRecordingPath(const std::string& folder, const LocalDateTime& a) {
    char name[64];
    std::snprintf(name, sizeof name, "MSG_%04u.%02u.%02u_%02u.%02u.%02u.alw", unsigned(a.year),
                  unsigned(a.month), unsigned(a.day), unsigned(a.hour), unsigned(a.minute),
                  unsigned(a.second));
    return platform::joinPath(folder, name);
}

std::string messageWavePath(const std::string& programDir, std::uint32_t options,
                            int msnNumber, const std::string& baseName,
                            const std::string& callerKey) {
    using settings::OptionBits;
    std::string folder = platform::joinPath(programDir, "Messages");
    if (!settings::HasOption(options, OptionBits::MessagesInOneFolder))
        folder = platform::joinPath(folder, "MSN" + std::to_string(msnNumber));
    std::string name = baseName;
    if (settings::HasOption(options, OptionBits::CallerInMessageName)) {
        name += '_';
        name += callerKey;
    }
    return platform::joinPath(folder, name + ".WAV");
}

RecordingTarget messageTarget(std::uint32_t options, std::string wavePath) {
    RecordingTarget target;
    target.wavePath = std::move(wavePath);
    target.aLaw = !settings::HasOption(options, settings::OptionBits::MuLaw);
    target.gain = settings::HasOption(options, settings::OptionBits::GainOnMessages);
    return target;
}

bool Recording::start(const std::string& path, std::uint64_t limitBytes, const Log& log) {
    close();
    // Only a file this recording created is ever removed through path_.
    path_.clear();
    active_ = true;
    stopped_ = false;
    received_ = stored_ = 0;
    limit_ = limitBytes;
    std::string error;
    if (!platform::makeDirectories(std::filesystem::path(path).parent_path().string(), 0700,
                                   &error)) {
        log("Cannot create the folder of " + path + ": " + error);
        stopped_ = true;
        return false;
    }
    std::string chosen;
    const int fd = createFreeFile(path, O_WRONLY, chosen, &error);
    if (fd >= 0) file_ = ::fdopen(fd, "wb");
    if (!file_) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(chosen.c_str());
            error = errnoText();
        }
        log("Cannot create " + path + ": " + error);
        stopped_ = true;
        return false;
    }
    path_ = chosen;
    return true;
}

bool Recording::receive(const std::uint8_t* data, std::size_t length, const FreeBytes& freeBytes,
                        const Log& log) {
    if (!active_) return false;
    const bool first = received_ == 0;
    received_ += length;
    bool clear = false;
    const std::uint64_t cap = limit_ == 0 ? kMaxGreetingBytes : limit_ + kLimitGraceBytes;
    if (!first && !stopped_ && file_) {
        if (stored_ + length > cap) {
            stopped_ = true;
        } else {
            // Room for this block, the WAVE copy of everything and a reserve.
            const std::uint64_t needed =
                length + (stored_ + length + media::WaveHeaderSize) + kFreeSpaceReserve;
            const std::optional<std::uint64_t> free = freeBytes ? freeBytes(path_) : std::nullopt;
            if (free && *free < needed) {
                log("Disk full: recording " + path_ + " stopped");
                stopped_ = true;
                clear = true;
            } else if (std::fwrite(data, 1, length, file_) != length ||
                       // In the file at once: a killed program leaves nothing unsaid.
                       std::fflush(file_) != 0) {
                log("Cannot write " + path_ + ": " + errnoText());
                stopped_ = true;
                clear = true;
            } else {
                stored_ += length;
            }
        }
    }
    if (limit_ != 0 ? received_ >= limit_ : stored_ >= kMaxGreetingBytes) clear = true;
    return clear;
}

void Recording::adopt(const std::string& path, std::uint64_t bytes) {
    close();
    path_ = path;
    active_ = true;
    stopped_ = true;
    limit_ = 0;
    received_ = stored_ = bytes;
}

void Recording::close() {
    if (!file_) return;
    if (std::fflush(file_) != 0 || ::fsync(::fileno(file_)) != 0) stopped_ = true;
    std::fclose(file_);
    file_ = nullptr;
}

void Recording::discard() {
    close();
    if (!path_.empty()) ::unlink(path_.c_str());
    active_ = false;
}

FinishResult finishRecording(Recording& recording, const RecordingTarget& target,
                             TCallRecord* record, const Recording::Log& log,
                             std::string* written) {
    recording.close();
    const std::string raw = recording.path();
    if (!recording.active() || recording.received() < kMinMessageBytes || recording.stored() == 0) {
        recording.discard();
        return FinishResult::NoMessage;
    }
    std::string error;
    bool ok = platform::makeDirectories(
        std::filesystem::path(target.wavePath).parent_path().string(), 0700, &error);
    if (!ok) log("Cannot create the folder of " + target.wavePath + ": " + error);
    std::string wavePath = target.wavePath;
    bool reserved = false;
    if (ok && !target.greeting) {
        // The name is taken before the conversion fills it (it replaces the empty file).
        const int fd = createFreeFile(target.wavePath, O_WRONLY, wavePath, &error);
        ok = reserved = fd >= 0;
        if (ok) ::close(fd);
        else log("Cannot create " + target.wavePath + ": " + error);
    }
    if (ok) {
        media::CSoundConv conv(raw, wavePath, true, target.aLaw, target.gain ? 4000.0 : 0.0,
                               target.gain ? 650 : 0, target.gain ? 130 : 0);
        ok = conv.Convert();
        if (!ok) {
            log("Cannot convert " + raw + " to " + wavePath + "; the recording is kept");
            if (reserved) ::unlink(wavePath.c_str());
        }
    }
    if (!ok) return FinishResult::ConversionFailed;
    recording.discard();
    if (record) {
        record->setState(target.greeting ? CallState::Shown : CallState::VoiceMessage);
        record->filePath.assign(wavePath);
    }
    if (target.greeting) overwriteTail(wavePath, log);
    if (written) *written = wavePath;
    return FinishResult::Converted;
}

}  // namespace orvelin::client
