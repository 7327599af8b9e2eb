// The process-wide speech engine and the audio destinations it renders into.
//
// espeak-ng keeps its state per process and hangs when initialised again after
// espeak_Terminate, so it is initialised once and never terminated, and every
// use goes through one locked service. The settings library compiles this code
// as well, so one process can hold two copies of it. They meet like this:
//   1. Every executable that links this code exports the C function
//      orvelin_speech_service_v1 (a link option of the library); each copy
//      looks that name up with dlsym(RTLD_DEFAULT) and uses the service it
//      returns, so the settings library inside the program uses the program's.
//   2. A copy that finds no such export (the settings library loaded by some
//      other program) owns a service of its own. Before initialising it asks
//      espeak-ng whether it already has a sample rate, which it only has once
//      initialised, and keeps the library loaded for good (RTLD_NODELETE), so
//      an unloaded and reloaded copy never initialises the engine twice.
// Bump the suffix of the exported name whenever SpeechService changes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvelin::media {

struct VoiceInfo {
    std::string name;        // "German"
    std::string identifier;  // "gmw/de": unique, the mode identifier
    // Language tags in the engine's order with their priority (lower is preferred).
    std::vector<std::pair<std::string, int>> languages;
    int gender = 0;  // 0 none, 1 male, 2 female
    int age = 0;
};

// Prosody in the engine's own units.
struct EngineParams {
    int pitch = 50;    // 0..100
    int rate = 175;    // words per minute, 80..450
    int volume = 100;  // 0..100
};

// Returns true when the work in progress is to be abandoned.
using StopQuery = std::function<bool()>;

// Where rendered speech goes. Write may block until played; it returns 0 or an
// error code and stops early (returning 0) once stop() says so.
class AudioDestination {
public:
    virtual ~AudioDestination() = default;
    virtual int Write(const std::vector<int16_t>& samples, int sampleRate,
                      const StopQuery& stop) = 0;
};

// Plays on an ALSA PCM ("default", or "plughw:N" for device N). Opens the
// device per utterance, so a missing sound card only fails the speaking.
class AlsaDestination : public AudioDestination {
public:
    explicit AlsaDestination(int deviceNumber);
    int Write(const std::vector<int16_t>& samples, int sampleRate,
              const StopQuery& stop) override;
    const std::string& Device() const { return device_; }

private:
    std::string device_;
};

// Keeps everything written, for callers that want the samples themselves.
class MemoryDestination : public AudioDestination {
public:
    int Write(const std::vector<int16_t>& samples, int sampleRate,
              const StopQuery& stop) override;
    std::vector<int16_t> Samples() const;
    int SampleRate() const;
    int Writes() const;

private:
    mutable std::mutex lock_;
    std::vector<int16_t> samples_;
    int rate_ = 0;
    int writes_ = 0;
};

class SpeechService {
public:
    virtual ~SpeechService() = default;

    // False when the engine's data could not be loaded; then everything fails.
    virtual bool Available() = 0;
    virtual std::vector<VoiceInfo> Voices() = 0;
    virtual int SampleRate() = 0;
    // Renders UTF-8 text (SSML when ssml is set) with the given voice identifier
    // and prosody into samples. Returns 0, or an engine or errno code. Stopped
    // early by stop(), it returns 0 with what was rendered so far.
    virtual int Synthesize(const std::string& voice, const EngineParams& params,
                           const std::string& text, bool ssml,
                           std::vector<int16_t>& out, const StopQuery& stop) = 0;

    // The service of this process.
    static SpeechService& Instance();
};

// The data directory for the engine: ORVELIN_ESPEAK_DATA when set (tests point
// it at an empty directory), else the engine's built-in one.
const char* SpeechDataPath();

}  // namespace orvelin::media

extern "C" __attribute__((visibility("default"))) orvelin::media::SpeechService*
orvelin_speech_service_v1();
