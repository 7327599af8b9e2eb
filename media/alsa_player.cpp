#include "media/alsa_player.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

#include "media/g711.h"
#include "media/wavefile.h"

namespace orvelin::media {
namespace {

constexpr size_t kMaxWaveFile = size_t(256) << 20;

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }

bool fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

bool readFile(const std::string& path, std::vector<uint8_t>& out, std::string* error) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rbe"), &std::fclose);
    if (!f) return fail(error, "cannot open " + path);
    uint8_t block[65536];
    size_t n = 0;
    while ((n = std::fread(block, 1, sizeof block, f.get())) > 0) {
        if (out.size() + n > kMaxWaveFile) return fail(error, path + " is too large");
        out.insert(out.end(), block, block + n);
    }
    if (std::ferror(f.get())) return fail(error, "cannot read " + path);
    return true;
}

}  // namespace

std::optional<PcmSound> ReadWaveSound(const std::string& path, std::string* error) {
    std::vector<uint8_t> file;
    if (!readFile(path, file, error)) return std::nullopt;
    WaveLayout layout;
    if (!ParseWave(file.data(), file.size(), layout)) {
        fail(error, path + " is not a WAVE file");
        return std::nullopt;
    }
    const uint8_t* fmt = file.data() + layout.fmtOffset;
    const uint16_t tag = le16(fmt);
    PcmSound sound;
    sound.channels = le16(fmt + 2);
    const uint32_t rate = le32(fmt + 4);
    const uint16_t bits = le16(fmt + 14);
    if (sound.channels < 1 || sound.channels > 2 || rate < 1000 || rate > 192000) {
        fail(error, path + ": unsupported channels or rate");
        return std::nullopt;
    }
    sound.rate = int(rate);
    const uint8_t* data = file.data() + layout.dataOffset;
    const size_t size = layout.dataSize;
    if (tag == WaveFormatPcm && bits == 16) {
        sound.samples.resize(size / 2);
        for (size_t i = 0; i < sound.samples.size(); ++i)
            sound.samples[i] = int16_t(le16(data + 2 * i));
    } else if (tag == WaveFormatPcm && bits == 8) {
        sound.samples.resize(size);
        for (size_t i = 0; i < size; ++i) sound.samples[i] = int16_t((data[i] - 128) << 8);
    } else if ((tag == WaveFormatALaw || tag == WaveFormatMuLaw) && bits == 8) {
        sound.samples.resize(size);
        for (size_t i = 0; i < size; ++i) {
            const uint8_t alaw = tag == WaveFormatALaw ? data[i] : MuLawToALaw(data[i]);
            sound.samples[i] = ALawToLinear(alaw);
        }
    } else {
        fail(error, path + ": unsupported sample format");
        return std::nullopt;
    }
    // A frame cut short at the end is dropped.
    sound.samples.resize(sound.samples.size() - sound.samples.size() % size_t(sound.channels));
    return sound;
}

PcmOutput::~PcmOutput() { Close(); }

int PcmOutput::Open(const std::string& device, int rate, int channels) {
    Close();
    if (rate <= 0 || channels < 1 || channels > 2) return EINVAL;
    int rc = snd_pcm_open(&pcm_, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (rc < 0) {
        pcm_ = nullptr;
        return -rc;
    }
    rc = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                            unsigned(channels), unsigned(rate), 1, 200000);
    if (rc < 0) {
        Close();
        return -rc;
    }
    rate_ = rate;
    channels_ = channels;
    return 0;
}

int PcmOutput::Write(const int16_t* samples, size_t frames, const PlaybackStop& stop) {
    if (!pcm_) return EBADF;
    // Small blocks, so that a stop is heard within a twentieth of a second.
    const size_t block = size_t(std::max(rate_ / 20, 1));
    size_t done = 0;
    while (done < frames) {
        if (stop && stop()) return 0;
        const size_t n = std::min(block, frames - done);
        snd_pcm_sframes_t written = snd_pcm_writei(pcm_, samples + done * size_t(channels_), n);
        if (written < 0) written = snd_pcm_recover(pcm_, int(written), 1);
        if (written < 0) return int(-written);
        done += size_t(written);
    }
    return 0;
}

void PcmOutput::Finish(const PlaybackStop& stop) {
    if (!pcm_) return;
    // Some outputs (a sound server's null sink) never report an empty queue: once the
    // queued time has passed, everything has been played anyway.
    snd_pcm_sframes_t queued = 0;
    if (snd_pcm_delay(pcm_, &queued) < 0) queued = 0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::max<long>(queued, 0) * 1000L / rate_ + 200);
    bool played = false;
    for (;;) {
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(pcm_, &delay) < 0 || delay <= 0) {
            played = true;
            break;
        }
        if ((stop && stop()) || std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::clamp<long>(delay * 1000L / rate_, 1L, 20L)));
    }
    if (played) snd_pcm_drain(pcm_);
    Close();
}

void PcmOutput::Close() {
    if (!pcm_) return;
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
}

int PlayPcmBlocking(const std::string& device, const std::vector<int16_t>& samples, int rate,
                    int channels, const PlaybackStop& stop) {
    if (rate <= 0 || channels < 1) return EINVAL;
    if (samples.empty() || (stop && stop())) return 0;
    PcmOutput out;
    if (int rc = out.Open(device, rate, channels); rc != 0) return rc;
    if (int rc = out.Write(samples.data(), samples.size() / size_t(channels), stop); rc != 0)
        return rc;
    out.Finish(stop);
    return 0;
}

AlsaPlayer::AlsaPlayer(std::string device) : device_(std::move(device)) {}

AlsaPlayer::~AlsaPlayer() { Stop(); }

int AlsaPlayer::Play(PcmSound sound) {
    std::lock_guard guard(control_);
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    stop_ = false;
    auto out = std::make_unique<PcmOutput>();
    if (int rc = out->Open(device_, sound.rate, sound.channels); rc != 0) return rc;
    playing_ = true;
    thread_ = std::thread([this, out = std::move(out), sound = std::move(sound)] {
        const PlaybackStop stop = [this] { return stop_.load(); };
        if (out->Write(sound.samples.data(), sound.samples.size() / size_t(sound.channels),
                       stop) == 0)
            out->Finish(stop);
        out->Close();
        playing_ = false;
    });
    return 0;
}

int AlsaPlayer::PlayFile(const std::string& path) {
    auto sound = ReadWaveSound(path);
    if (!sound) return EINVAL;
    return Play(std::move(*sound));
}

bool AlsaPlayer::StartIfIdle(const std::string& path) {
    if (playing_) return false;
    return PlayFile(path) == 0;
}

void AlsaPlayer::Stop() {
    std::lock_guard guard(control_);
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    playing_ = false;
}

}  // namespace orvelin::media
