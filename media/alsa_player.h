// Sound output on an ALSA PCM: a blocking writer, and a player that plays one sound at a
// time on a thread of its own. The program's message playback, the speech output and the
// settings dialogs' previews all play through here.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef struct _snd_pcm snd_pcm_t;

namespace orvelin::media {

// True when the sound in progress is to be abandoned.
using PlaybackStop = std::function<bool()>;

// Interleaved 16-bit samples.
struct PcmSound {
    std::vector<int16_t> samples;
    int rate = 0;
    int channels = 1;
};

// Decodes a WAVE file holding 8-bit or 16-bit PCM, A-law or mu-law, 1 or 2 channels.
// Files over 256 MiB, other formats and damaged files give nothing and a reason.
std::optional<PcmSound> ReadWaveSound(const std::string& path, std::string* error = nullptr);

// One opened playback stream.
class PcmOutput {
  public:
    PcmOutput() = default;
    ~PcmOutput();
    PcmOutput(const PcmOutput&) = delete;
    PcmOutput& operator=(const PcmOutput&) = delete;

    // 0, or an errno value (EINVAL for a rate or channel count out of range).
    int Open(const std::string& device, int rate, int channels);
    // Plays all frames, or until stop() says so; 0 or an errno value.
    int Write(const int16_t* samples, size_t frames, const PlaybackStop& stop);
    // Waits until the device has played what it holds (or stop() says so), then closes.
    void Finish(const PlaybackStop& stop);
    // Drops what the device holds and closes.
    void Close();

  private:
    snd_pcm_t* pcm_ = nullptr;
    int rate_ = 0;
    int channels_ = 1;
};

// Opens, plays and closes; returns when everything has been heard or stop() said so.
int PlayPcmBlocking(const std::string& device, const std::vector<int16_t>& samples, int rate,
                    int channels, const PlaybackStop& stop);

class AlsaPlayer {
  public:
    explicit AlsaPlayer(std::string device = "default");
    ~AlsaPlayer();  // Stop()
    AlsaPlayer(const AlsaPlayer&) = delete;
    AlsaPlayer& operator=(const AlsaPlayer&) = delete;

    // Stops what plays, opens the device and starts playing in the background. The
    // device is open before this returns, so its failure comes back here: 0 or errno.
    int Play(PcmSound sound);
    // The same for a WAVE file; a file that cannot be decoded gives EINVAL.
    int PlayFile(const std::string& path);
    // Starts the file only when nothing plays; false when refused or failed.
    bool StartIfIdle(const std::string& path);
    // Stops the sound and waits for the player's thread.
    void Stop();
    bool Playing() const { return playing_.load(); }

  private:
    const std::string device_;
    std::mutex control_;  // Play, Stop and StartIfIdle one at a time
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> playing_{false};
};

}  // namespace orvelin::media
