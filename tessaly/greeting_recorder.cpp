#include "tessaly/greeting_recorder.h"

#include <alsa/asoundlib.h>

#include <cerrno>

#include "media/g711.h"
#include "media/wavefile.h"

namespace tessaly {

GreetingRecorder::GreetingRecorder(std::string device) : device_(std::move(device)) {}

GreetingRecorder::~GreetingRecorder() { Stop(); }

int GreetingRecorder::Start() {
    Stop();
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, device_.c_str(), SND_PCM_STREAM_CAPTURE, 0);
    if (rc < 0) return -rc;
    rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate, 1,
                            100000);
    if (rc < 0) {
        snd_pcm_close(pcm);
        return -rc;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        samples_.clear();
    }
    stop_ = false;
    running_ = true;
    thread_ = std::thread([this, pcm] {
        std::int16_t block[kRate / 20];
        while (!stop_.load()) {
            snd_pcm_sframes_t got = snd_pcm_readi(pcm, block, std::size(block));
            if (got < 0) got = snd_pcm_recover(pcm, int(got), 1);
            if (got < 0) break;
            std::lock_guard<std::mutex> hold(lock_);
            const std::size_t room = kMaxSamples - samples_.size();
            samples_.insert(samples_.end(), block, block + std::min<std::size_t>(room, got));
            if (samples_.size() >= kMaxSamples) break;
        }
        snd_pcm_close(pcm);
        running_ = false;
    });
    return 0;
}

void GreetingRecorder::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<std::int16_t> GreetingRecorder::Samples() const {
    std::lock_guard<std::mutex> hold(lock_);
    return samples_;
}

GreetingRecorder::SaveResult GreetingRecorder::Save(const std::string& path) const {
    const std::vector<std::int16_t> samples = Samples();
    if (samples.empty()) return SaveResult::NothingRecorded;
    std::vector<std::uint8_t> bytes(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i)
        bytes[i] = orvelin::media::LinearToALaw(samples[i]);
    const auto header = orvelin::media::MakeWaveHeader(orvelin::media::WaveFormatALaw,
                                                       std::uint32_t(bytes.size()));
    orvelin::media::AtomicFile file;
    if (!file.Open(path)) return SaveResult::Failed;
    file.Write(header.data(), header.size());
    file.Write(bytes.data(), bytes.size());
    return file.Commit() ? SaveResult::Saved : SaveResult::Failed;
}

}  // namespace tessaly
