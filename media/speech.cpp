#include "media/speech.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace orvelin::media {

HRESULT ResultFromPlatform(int code) {
    if (code == 0) return S_OK;
    if (code > 0 && code <= 0xFFFF) return static_cast<HRESULT>(0x80070000u | static_cast<uint32_t>(code));
    return static_cast<HRESULT>(0x80045000u | ((static_cast<uint32_t>(code) >> 8) & 0xFFFu));
}

int PitchToEngine(uint32_t pitch) {
    int64_t p = std::clamp<int64_t>(pitch, 50, 300);
    return static_cast<int>((p - 50) * 100 / 250);
}

uint16_t PitchFromEngine(int enginePitch) {
    return static_cast<uint16_t>(50 + std::clamp(enginePitch, 0, 100) * 250 / 100);
}

int SpeedToEngine(uint32_t wordsPerMinute) {
    return static_cast<int>(std::clamp<uint32_t>(wordsPerMinute, 80, 450));
}

int VolumeToEngine(uint32_t volume) {
    return static_cast<int>((volume & 0xFFFFu) * 100u / 0xFFFFu);
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c == 0) break;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

void AppendEscaped(std::string& out, char c) {
    switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += "&quot;"; break;
    case '\'': out += "&apos;"; break;
    default: out += c; break;
    }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The pause of a "\Pau=n\" tag in milliseconds; a minute at most, as a longer
// silence in an announcement cannot be meant.
std::optional<unsigned> PauseMs(std::string_view value) {
    if (value.empty() || value.size() > 9) return std::nullopt;
    unsigned ms = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        ms = ms * 10 + static_cast<unsigned>(c - '0');
    }
    return std::min(ms, 60000u);
}

}  // namespace

std::string EscapeSsml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) AppendEscaped(out, c);
    return out;
}

SpeakableText TaggedTextToSsml(std::string_view in) {
    SpeakableText result;
    std::string& out = result.text;
    size_t i = 0;
    while (i < in.size()) {
        char c = in[i];
        if (c == '\\') {
            // "\Name\" or "\Name=value\"; a quoted value may hold backslashes.
            size_t j = i + 1;
            while (j < in.size() && std::isalpha(static_cast<unsigned char>(in[j]))) ++j;
            std::string_view name = in.substr(i + 1, j - i - 1);
            size_t end = std::string_view::npos;
            size_t valueStart = j;
            if (!name.empty() && j < in.size()) {
                if (in[j] == '\\') {
                    end = j;
                } else if (in[j] == '=') {
                    valueStart = j + 1;
                    bool quoted = false;
                    for (size_t k = valueStart; k < in.size(); ++k) {
                        if (in[k] == '"') quoted = !quoted;
                        if (in[k] == '\\' && !quoted) {
                            end = k;
                            break;
                        }
                    }
                }
            }
            if (end != std::string_view::npos) {
                std::string_view value = in.substr(valueStart, end - valueStart);
                if (EqualsNoCase(name, "Pau")) {
                    if (auto ms = PauseMs(value))
                        out += "<break time=\"" + std::to_string(*ms) + "ms\"/>";
                }
                i = end + 1;
                continue;
            }
        }
        if (!IsBlank(c)) result.hasContent = true;
        AppendEscaped(out, c);
        ++i;
    }
    return result;
}

SpeakableText PlainText(std::string_view utf8) {
    SpeakableText result;
    result.text = std::string(utf8);
    result.hasContent = std::any_of(utf8.begin(), utf8.end(), [](char c) { return !IsBlank(c); });
    return result;
}

std::string LocaleLanguage(std::string_view name) {
    name = name.substr(0, std::min(name.find('.'), name.find('@')));
    if (name.empty() || name == "C" || name == "POSIX") return {};
    std::string tag;
    for (char c : name) {
        if (c == '_') c = '-';
        tag += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return tag;
}

std::string LocaleLanguageFromEnvironment() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value != nullptr && *value != 0) return LocaleLanguage(value);
    }
    return {};
}

namespace {

// The voice listing the tag (or, failing that, its primary language) with the
// best priority; the list order breaks ties.
int MatchLanguage(const std::vector<VoiceInfo>& voices, std::string_view tag) {
    if (tag.empty()) return -1;
    for (std::string_view wanted : {tag, tag.substr(0, tag.find('-'))}) {
        int best = -1;
        int bestPriority = 0;
        for (size_t v = 0; v < voices.size(); ++v) {
            for (const auto& [language, priority] : voices[v].languages) {
                if (!EqualsNoCase(language, wanted)) continue;
                if (best < 0 || priority < bestPriority) {
                    best = static_cast<int>(v);
                    bestPriority = priority;
                }
            }
        }
        if (best >= 0) return best;
    }
    return -1;
}

}  // namespace

int ChooseVoice(const std::vector<VoiceInfo>& voices, const TTSModeInfo& info,
                const TTSModeRank* rank, std::string_view localeLanguage) {
    if (voices.empty()) return -1;
    auto find = [&](auto match) -> int {
        auto it = std::find_if(voices.begin(), voices.end(), match);
        return it == voices.end() ? -1 : static_cast<int>(it - voices.begin());
    };
    if (!info.modeName.empty() && (rank == nullptr || rank->modeName > 0)) {
        int v = find([&](const VoiceInfo& voice) {
            return voice.name == info.modeName || voice.identifier == info.modeName;
        });
        if (v >= 0) return v;
    }
    if (!info.modeId.empty()) {
        int v = find([&](const VoiceInfo& voice) { return voice.identifier == info.modeId; });
        if (v >= 0) return v;
    }
    if (rank == nullptr || rank->language > 0) {
        int v = MatchLanguage(voices, info.language);
        if (v >= 0) return v;
    }
    for (std::string_view language : {localeLanguage, std::string_view("en")}) {
        int v = MatchLanguage(voices, language);
        if (v >= 0) return v;
    }
    return 0;
}

// ---------------------------------------------------------------------------

struct CTTSMode::Snapshot {
    std::optional<VoiceInfo> voice;
    std::shared_ptr<AudioDestination> audio;
    EngineParams params;
};

CTTSMode::CTTSMode(SpeechService& service) : service_(service) {}

CTTSMode::~CTTSMode() {
    // Whatever still waits on this object must not start.
    generation_.fetch_add(1);
}

CTTSMode::Snapshot CTTSMode::Take() const {
    std::lock_guard guard(lock_);
    Snapshot s;
    s.voice = voice_;
    s.audio = audio_;
    s.params.pitch = PitchToEngine(pitch_);
    s.params.rate = SpeedToEngine(speed_);
    s.params.volume = VolumeToEngine(volume_);
    return s;
}

HRESULT CTTSMode::InitAudio(int deviceNumber) {
    return InitAudio(std::make_shared<AlsaDestination>(deviceNumber));
}

HRESULT CTTSMode::InitAudio(std::shared_ptr<AudioDestination> destination) {
    if (!destination) return E_INVALIDARG;
    std::lock_guard guard(lock_);
    if (audio_) return E_FAIL;
    audio_ = std::move(destination);
    return S_OK;
}

HRESULT CTTSMode::Init(const TTSModeInfo& info, const TTSModeRank* rank) {
    {
        std::lock_guard guard(lock_);
        if (voice_) return E_FAIL;
    }
    if (!service_.Available()) return ClassNotRegistered;
    std::vector<VoiceInfo> voices = service_.Voices();
    int chosen = ChooseVoice(voices, info, rank, LocaleLanguageFromEnvironment());
    if (chosen < 0) return ClassNotRegistered;
    return Attach(voices[static_cast<size_t>(chosen)]);
}

HRESULT CTTSMode::InitByMode(const std::string& modeId) {
    {
        std::lock_guard guard(lock_);
        if (voice_) return E_FAIL;
    }
    if (!service_.Available()) return ClassNotRegistered;
    for (const VoiceInfo& voice : service_.Voices()) {
        if (voice.identifier == modeId) return Attach(voice);
    }
    return E_INVALIDARG;
}

HRESULT CTTSMode::InitDefault() {
    TTSModeInfo info;
    info.language = LocaleLanguageFromEnvironment();
    return Init(info, nullptr);
}

HRESULT CTTSMode::Attach(const VoiceInfo& voice) {
    if (voice.identifier.empty()) return E_INVALIDARG;
    std::lock_guard guard(lock_);
    if (voice_) return E_FAIL;
    if (!audio_) audio_ = std::make_shared<AlsaDestination>(-1);
    voice_ = voice;
    return S_OK;
}

HRESULT CTTSMode::Speak(std::u16string_view text, bool tagged) {
    // Taken before waiting, so that a reset also cancels utterances queued behind
    // the one playing.
    const uint64_t generation = generation_.load();
    Snapshot s = Take();
    if (!s.voice) return E_NOINTERFACE;
    std::string utf8 = Utf16ToUtf8(text);
    SpeakableText speakable = tagged ? TaggedTextToSsml(utf8) : PlainText(utf8);
    if (!speakable.hasContent) return S_OK;

    std::lock_guard speaking(speaking_);
    StopQuery stop = [this, generation] { return generation_.load() != generation; };
    if (stop()) return S_OK;
    std::vector<int16_t> samples;
    int rc = service_.Synthesize(s.voice->identifier, s.params, speakable.text, tagged,
                                 samples, stop);
    if (rc != 0) return ResultFromPlatform(rc);
    if (stop() || samples.empty()) return S_OK;
    return ResultFromPlatform(s.audio->Write(samples, service_.SampleRate(), stop));
}

HRESULT CTTSMode::ModeGet(TTSModeInfo& info) const {
    std::lock_guard guard(lock_);
    if (!voice_) return E_NOINTERFACE;
    info = TTSModeInfo{};
    info.modeId = voice_->identifier;
    info.modeName = voice_->name;
    if (!voice_->languages.empty()) info.language = voice_->languages.front().first;
    info.gender = voice_->gender;
    info.age = voice_->age;
    return S_OK;
}

HRESULT CTTSMode::PitchGet(uint16_t& pitch) const {
    std::lock_guard guard(lock_);
    if (!voice_) return E_NOINTERFACE;
    pitch = pitch_;
    return S_OK;
}

uint16_t CTTSMode::PitchGet() const {
    uint16_t pitch = 0;
    return PitchGet(pitch) == S_OK ? pitch : 0;
}

HRESULT CTTSMode::PitchSet(uint16_t pitch) {
    std::lock_guard guard(lock_);
    if (!voice_) return E_NOINTERFACE;
    pitch_ = pitch;
    return S_OK;
}

HRESULT CTTSMode::SpeedGet(uint32_t& wordsPerMinute) const {
    std::lock_guard guard(lock_);
    if (!voice_) return E_NOINTERFACE;
    wordsPerMinute = speed_;
    return S_OK;
}

uint32_t CTTSMode::SpeedGet() const {
    uint32_t speed = 0;
    return SpeedGet(speed) == S_OK ? speed : 0;
}

HRESULT CTTSMode::SpeedSet(uint32_t wordsPerMinute) {
    std::lock_guard guard(lock_);
    if (!voice_) return E_NOINTERFACE;
    speed_ = wordsPerMinute;
    return S_OK;
}

HRESULT CTTSMode::VolumeGet(uint32_t& volume) const {
    std::lock_guard guard(lock_);
    if (!voice_) return E_NOINTERFACE;
    volume = volume_;
    return S_OK;
}

uint32_t CTTSMode::VolumeGet() const {
    uint32_t volume = 0;
    return VolumeGet(volume) == S_OK ? volume : 0;
}

HRESULT CTTSMode::VolumeSet(uint32_t volume) {
    std::lock_guard guard(lock_);
    if (!voice_) return E_NOINTERFACE;
    volume_ = volume;
    return S_OK;
}

HRESULT CTTSMode::AudioReset() {
    {
        std::lock_guard guard(lock_);
        if (!voice_) return E_NOINTERFACE;
    }
    generation_.fetch_add(1);
    return S_OK;
}

// ---------------------------------------------------------------------------

namespace {

TTSModeInfo ModeInfoOf(const VoiceInfo& voice) {
    TTSModeInfo info;
    info.modeId = voice.identifier;
    info.modeName = voice.name;
    if (!voice.languages.empty()) info.language = voice.languages.front().first;
    info.gender = voice.gender;
    info.age = voice.age;
    return info;
}

}  // namespace

CTTSEnum::CTTSEnum(SpeechService& service) : service_(service) {}

HRESULT CTTSEnum::Init() {
    if (voices_) return E_FAIL;
    if (!service_.Available()) return ClassNotRegistered;
    voices_ = service_.Voices();
    position_ = 0;
    return S_OK;
}

HRESULT CTTSEnum::Next(TTSModeInfo& info) {
    if (!voices_) return E_NOINTERFACE;
    if (position_ >= voices_->size()) return S_FALSE;
    info = ModeInfoOf((*voices_)[position_++]);
    return S_OK;
}

HRESULT CTTSEnum::Skip(uint32_t count) {
    if (!voices_) return E_NOINTERFACE;
    size_t left = voices_->size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
}

HRESULT CTTSEnum::Reset() {
    if (!voices_) return E_NOINTERFACE;
    position_ = 0;
    return S_OK;
}

std::unique_ptr<CTTSEnum> CTTSEnum::Clone() const {
    if (!voices_) return nullptr;
    auto copy = std::make_unique<CTTSEnum>(service_);
    copy->voices_ = voices_;
    copy->position_ = position_;
    return copy;
}

HRESULT CTTSEnum::Select(const std::string& modeId, std::unique_ptr<CTTSMode>& mode,
                         std::shared_ptr<AudioDestination> audio) {
    mode.reset();
    if (!voices_) return E_NOINTERFACE;
    auto it = std::find_if(voices_->begin(), voices_->end(),
                           [&](const VoiceInfo& v) { return v.identifier == modeId; });
    if (it == voices_->end()) return E_INVALIDARG;
    auto made = std::make_unique<CTTSMode>(service_);
    if (audio) made->InitAudio(std::move(audio));
    if (HRESULT rc = made->Attach(*it); rc != S_OK) return rc;
    mode = std::move(made);
    return S_OK;
}

HRESULT CTTSEnum::Find(const TTSModeInfo& info, TTSModeInfo& found) const {
    if (!voices_) return E_NOINTERFACE;
    TTSModeRank rank{info.modeName.empty() ? 0u : 1u, info.language.empty() ? 0u : 1u};
    int v = ChooseVoice(*voices_, info, &rank, LocaleLanguageFromEnvironment());
    if (v < 0) return E_FAIL;
    found = ModeInfoOf((*voices_)[static_cast<size_t>(v)]);
    return S_OK;
}

}  // namespace orvelin::media
