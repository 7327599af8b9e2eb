#include "media/speech_service.h"

#include <dlfcn.h>
#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media/alsa_player.h"

namespace orvelin::media {
namespace {

// Synthesis is cut off past this much audio: the announcement is at most 512
// characters, so only a run of huge pauses gets here.
constexpr int MaxSeconds = 120;
// Block size the engine hands to the callback.
constexpr int BlockMs = 100;

struct SynthSink {
    std::vector<int16_t>* out = nullptr;
    const StopQuery* stop = nullptr;
    size_t limit = 0;
};

// The sink of the synthesis in progress; only touched under the service lock,
// and the engine calls back on the thread that called it.
SynthSink* CurrentSink = nullptr;

int OnSamples(short* wav, int count, espeak_EVENT*) {
    SynthSink* sink = CurrentSink;
    if (sink == nullptr) return 1;
    if (*sink->stop && (*sink->stop)()) return 1;
    if (wav == nullptr || count <= 0) return 0;
    sink->out->insert(sink->out->end(), wav, wav + count);
    return sink->out->size() >= sink->limit ? 1 : 0;
}

std::vector<VoiceInfo> ReadVoices() {
    std::vector<VoiceInfo> voices;
    const espeak_VOICE** list = espeak_ListVoices(nullptr);
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
        const espeak_VOICE* v = list[i];
        if (v->identifier == nullptr) continue;
        VoiceInfo info;
        info.name = v->name ? v->name : v->identifier;
        info.identifier = v->identifier;
        info.gender = v->gender;
        info.age = v->age;
        // Pairs of a priority byte and a language string; a zero byte ends the list.
        for (const char* p = v->languages; p != nullptr && *p != 0;) {
            int priority = static_cast<unsigned char>(*p);
            std::string language(p + 1);
            p += language.size() + 2;
            info.languages.emplace_back(std::move(language), priority);
        }
        voices.push_back(std::move(info));
    }
    return voices;
}

class EspeakService final : public SpeechService {
public:
    bool Available() override {
        std::lock_guard guard(lock_);
        return EnsureLocked();
    }

    std::vector<VoiceInfo> Voices() override {
        std::lock_guard guard(lock_);
        if (!EnsureLocked()) return {};
        return voices_;
    }

    int SampleRate() override {
        std::lock_guard guard(lock_);
        return EnsureLocked() ? rate_ : 0;
    }

    int Synthesize(const std::string& voice, const EngineParams& params,
                   const std::string& text, bool ssml, std::vector<int16_t>& out,
                   const StopQuery& stop) override {
        std::lock_guard guard(lock_);
        if (!EnsureLocked()) return ENS_NOT_INITIALIZED;
        if (text.empty()) return 0;
        // Another copy of this code may have set its own callback meanwhile.
        espeak_SetSynthCallback(&OnSamples);
        espeak_ng_STATUS status = espeak_ng_SetVoiceByName(voice.c_str());
        if (status != ENS_OK) return static_cast<int>(status);
        espeak_ng_SetParameter(espeakRATE, std::clamp(params.rate, 80, 450), 0);
        espeak_ng_SetParameter(espeakPITCH, std::clamp(params.pitch, 0, 100), 0);
        espeak_ng_SetParameter(espeakVOLUME, std::clamp(params.volume, 0, 100), 0);

        SynthSink sink{&out, &stop, out.size() + static_cast<size_t>(rate_) * MaxSeconds};
        CurrentSink = &sink;
        unsigned flags = espeakCHARS_UTF8 | (ssml ? espeakSSML : 0);
        status = espeak_ng_Synthesize(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                      flags, nullptr, nullptr);
        CurrentSink = nullptr;
        // A stop from the callback ends the synthesis early; that is not an error.
        if (status == ENS_SPEECH_STOPPED) return 0;
        return static_cast<int>(status);
    }

private:
    bool EnsureLocked() {
        if (tried_) return ok_;
        tried_ = true;
        // Keep the engine loaded even when the object holding this code is
        // unloaded: its state must outlive us, as it cannot be set up twice.
        dlopen("libespeak-ng.so.1", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        if (espeak_ng_GetSampleRate() <= 0) {
            espeak_ng_InitializePath(SpeechDataPath());
            espeak_ng_ERROR_CONTEXT context = nullptr;
            espeak_ng_STATUS status = espeak_ng_Initialize(&context);
            if (status != ENS_OK) {
                std::fputs("speech: the speech engine could not start: ", stderr);
                espeak_ng_PrintStatusCodeMessage(status, stderr, context);
                espeak_ng_ClearErrorContext(&context);
                return false;
            }
            status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, BlockMs, nullptr);
            if (status != ENS_OK) {
                std::fputs("speech: the speech engine has no output: ", stderr);
                espeak_ng_PrintStatusCodeMessage(status, stderr, nullptr);
                return false;
            }
        }
        rate_ = espeak_ng_GetSampleRate();
        voices_ = ReadVoices();
        ok_ = rate_ > 0;
        return ok_;
    }

    std::mutex lock_;
    bool tried_ = false;
    bool ok_ = false;
    int rate_ = 0;
    std::vector<VoiceInfo> voices_;
};

}  // namespace

const char* SpeechDataPath() {
    const char* path = std::getenv("ORVELIN_ESPEAK_DATA");
    return path != nullptr && *path != 0 ? path : nullptr;
}

SpeechService& SpeechService::Instance() {
    static SpeechService* const service = [] {
        using Entry = SpeechService* (*)();
        if (void* entry = dlsym(RTLD_DEFAULT, "orvelin_speech_service_v1"))
            return reinterpret_cast<Entry>(entry)();
        return orvelin_speech_service_v1();
    }();
    return *service;
}

AlsaDestination::AlsaDestination(int deviceNumber)
    : device_(deviceNumber < 0 ? std::string("default")
                               : "plughw:" + std::to_string(deviceNumber)) {}

int AlsaDestination::Write(const std::vector<int16_t>& samples, int sampleRate,
                           const StopQuery& stop) {
    return PlayPcmBlocking(device_, samples, sampleRate, 1, stop);
}

int MemoryDestination::Write(const std::vector<int16_t>& samples, int sampleRate,
                             const StopQuery& stop) {
    if (stop && stop()) return 0;
    std::lock_guard guard(lock_);
    samples_.insert(samples_.end(), samples.begin(), samples.end());
    rate_ = sampleRate;
    ++writes_;
    return 0;
}

std::vector<int16_t> MemoryDestination::Samples() const {
    std::lock_guard guard(lock_);
    return samples_;
}

int MemoryDestination::SampleRate() const {
    std::lock_guard guard(lock_);
    return rate_;
}

int MemoryDestination::Writes() const {
    std::lock_guard guard(lock_);
    return writes_;
}

}  // namespace orvelin::media

// Default visibility even in copies built with hidden symbols: the link option
// of the library exports it from executables, where the other copies find it.
extern "C" __attribute__((visibility("default"))) orvelin::media::SpeechService*
orvelin_speech_service_v1() {
    // A library copy that owns the service frees it when unloaded; the engine
    // itself stays loaded and initialised (see EnsureLocked).
    static orvelin::media::EspeakService own;
    return &own;
}
