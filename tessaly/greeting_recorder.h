// Records a greeting from the ALSA capture device on a thread of its own, and saves it
// as the program's own greeting format (8 kHz A-law WAVE).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessaly {

class GreetingRecorder {
  public:
    static constexpr int kRate = 8000;
    static constexpr std::size_t kMaxSamples = std::size_t(kRate) * 600;  // ten minutes

    explicit GreetingRecorder(std::string device = "default");
    ~GreetingRecorder();  // Stop()
    GreetingRecorder(const GreetingRecorder&) = delete;
    GreetingRecorder& operator=(const GreetingRecorder&) = delete;

    // Drops what was recorded and starts anew; the device is open before this returns.
    // 0, or an errno value.
    int Start();
    // Ends the recording and waits for the thread; what was recorded stays.
    void Stop();
    bool Recording() const { return running_.load(); }
    std::vector<std::int16_t> Samples() const;
    enum class SaveResult { Saved, NothingRecorded, Failed };
    // Writes what was recorded to `path` (replacing it only when complete). A recording
    // without a single sample leaves `path` as it was.
    SaveResult Save(const std::string& path) const;

  private:
    const std::string device_;
    mutable std::mutex lock_;
    std::vector<std::int16_t> samples_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace tessaly
