#include "client/speech_thread.h"

#include <utility>

#include "client/call_record.h"
#include "media/speech.h"
#include "settings/settings_store.h"

namespace orvelin::client {

std::u16string utf8ToUtf16(std::string_view s, std::size_t maxUnits) {
    std::u16string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len != 0 && i + len <= s.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are malformed too.
        static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            cp = 0xFFFD;
            len = 1;
        }
        const std::size_t units = cp >= 0x10000 ? 2 : 1;
        if (out.size() + units > maxUnits) break;
        if (units == 2) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

SpeechThread::Hooks SpeechThread::hooksFor(
    bool comInitialized, std::function<std::shared_ptr<media::CTTSMode>()> speechObject) {
    Hooks h;
    h.comInitialized = comInitialized;
    h.speaker = [speechObject]() -> SpeakFunction {
        std::shared_ptr<media::CTTSMode> mode = speechObject ? speechObject() : nullptr;
        if (!mode) return {};
        return [mode](std::u16string_view text, const std::optional<Prosody>& prosody) {
            if (prosody) {
                mode->PitchSet(static_cast<std::uint16_t>(prosody->pitch));
                mode->SpeedSet(prosody->speed);
                mode->VolumeSet(prosody->volume);
            }
            mode->Speak(text, true);
        };
    };
    h.interrupt = [speechObject] {
        if (std::shared_ptr<media::CTTSMode> mode = speechObject ? speechObject() : nullptr)
            mode->AudioReset();
    };
    h.prosody = []() -> std::optional<Prosody> {
        const std::uint32_t pitch = settings::GetPitch();
        if (pitch == 0) return std::nullopt;
        return Prosody{pitch, settings::GetSpeed(), settings::GetVolume()};
    };
    return h;
}

SpeechThread::SpeechThread(Hooks hooks)
    : hooks_(std::move(hooks)),
      thread_([this](platform::StopFlag& stop) { run(stop); },
              platform::WorkerOptions{.startSuspended = false, .lowestPriority = true}) {}

SpeechThread::~SpeechThread() {
    stop();
}

void SpeechThread::say(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    const std::size_t n = utf8PrefixLength(text, kSpeechBufferSize - 1);
    {
        std::lock_guard lock(mutex_);
        buffer_.assign(text.substr(0, n));
    }
    wake_.notify_one();
}

void SpeechThread::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !thread_.joinable()) return;
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.requestStop();
    if (hooks_.interrupt) hooks_.interrupt();
    thread_.join();
}

std::uint64_t SpeechThread::spoken() const {
    std::lock_guard lock(mutex_);
    return spoken_;
}

bool SpeechThread::pending() const {
    std::lock_guard lock(mutex_);
    return !buffer_.empty();
}

void SpeechThread::run(platform::StopFlag& stop) {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !buffer_.empty(); });
            if (stopping_) return;
        }
        if (stop.waitFor(kSpeechDelay)) return;
        std::string text;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            text.swap(buffer_);  // taken even when it cannot be spoken, or the loop would spin
        }
        if (text.empty() || !hooks_.comInitialized || !hooks_.speaker) continue;
        const SpeakFunction speak = hooks_.speaker();
        if (!speak) continue;
        const std::optional<Prosody> prosody = hooks_.prosody ? hooks_.prosody() : std::nullopt;
        speak(utf8ToUtf16(text, kSpeechBufferSize), prosody);
        std::lock_guard lock(mutex_);
        ++spoken_;
    }
}

}  // namespace orvelin::client
