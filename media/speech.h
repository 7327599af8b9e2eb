// Text-to-speech: CTTSMode is one selected voice with its prosody and audio
// destination, CTTSEnum lists and selects the installed voices. Both run on the
// process-wide speech service (speech_service.h), so the program and the
// settings library share one engine; each utterance applies its own voice and
// prosody.
//
// Results are COM-style codes. Engine and device failures come back as
// 0x80070000 | errno or 0x80045nnn (an engine status); a voice that cannot be
// found gives E_INVALIDARG; no engine at all gives ClassNotRegistered.
//
// Sharing: a CTTSMode is built and replaced on the window thread and spoken
// with on the speech thread. Hold it in a std::shared_ptr; to replace it, reset
// the old one with AudioReset, swap the pointer, and let the speaking thread's
// copy keep the old object alive until its Speak returns. AudioReset may be
// called from any thread while another speaks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/speech_service.h"

class QWidget;

namespace orvelin::media {

using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT ClassNotRegistered = static_cast<HRESULT>(0x80040154);

// Turns an errno or engine status into a result code (0 stays S_OK).
HRESULT ResultFromPlatform(int code);

// One voice ("mode"). Fields left empty do not count in a search.
struct TTSModeInfo {
    std::string modeId;    // the voice identifier, e.g. "gmw/de"
    std::string modeName;  // the voice name, e.g. "German"
    std::string language;  // a language tag, e.g. "de" or "en-us"
    int gender = 0;
    int age = 0;
    uint32_t features = 0;
};

// Weights of a search; a field with weight 0 is not looked at.
struct TTSModeRank {
    uint32_t modeName = 0;
    uint32_t language = 0;
};

// --- Mapping onto the engine's ranges -------------------------------------
// Pitch 50..300 (the settings' scale) to the engine's 0..100, and back.
int PitchToEngine(uint32_t pitch);
uint16_t PitchFromEngine(int enginePitch);
// Words per minute, clamped to what the engine speaks (80..450).
int SpeedToEngine(uint32_t wordsPerMinute);
// The low 16 bits are the level (0..65535), mapped to the engine's 0..100.
int VolumeToEngine(uint32_t volume);

// --- Text -------------------------------------------------------------------
struct SpeakableText {
    std::string text;         // UTF-8; SSML when converted from tagged text
    bool hasContent = false;  // something to say besides blanks and pauses
};

// Converts UTF-16 to UTF-8 up to the first NUL; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// Escapes the characters that SSML gives a meaning.
std::string EscapeSsml(std::string_view text);
// Tagged text to SSML: a "\Pau=n\" tag becomes a break of n milliseconds (at
// most a minute), every other "\Name\" or "\Name=value\" tag is dropped, the
// rest is escaped. A backslash that starts no complete tag is kept as text.
SpeakableText TaggedTextToSsml(std::string_view utf8);
SpeakableText PlainText(std::string_view utf8);

// --- Voice choice -------------------------------------------------------------
// "de_DE.UTF-8" -> "de-de"; "C", "POSIX" and "" -> "".
std::string LocaleLanguage(std::string_view localeName);
// The language of LC_ALL, else LC_MESSAGES, else LANG.
std::string LocaleLanguageFromEnvironment();
// Index of the voice to take, or -1 when there is none: the voice whose name
// or identifier is exactly the mode name (when ranked), else the identifier,
// else the best voice for the record's language, for localeLanguage, for
// "en", else the first voice.
int ChooseVoice(const std::vector<VoiceInfo>& voices, const TTSModeInfo& info,
                const TTSModeRank* rank, std::string_view localeLanguage);

class CTTSMode {
public:
    explicit CTTSMode(SpeechService& service = SpeechService::Instance());
    ~CTTSMode();
    CTTSMode(const CTTSMode&) = delete;
    CTTSMode& operator=(const CTTSMode&) = delete;

    // Device -1 is the default output. Fails (E_FAIL) when a destination exists.
    HRESULT InitAudio(int deviceNumber);
    HRESULT InitAudio(std::shared_ptr<AudioDestination> destination);
    // Selects the best voice for info and rank (ChooseVoice); makes the default
    // audio destination when there is none. E_FAIL when already initialised.
    HRESULT Init(const TTSModeInfo& info, const TTSModeRank* rank);
    // Selects the voice with exactly this identifier.
    HRESULT InitByMode(const std::string& modeId);
    // Init with the language of the environment's locale and no rank.
    HRESULT InitDefault();
    // Takes a voice chosen elsewhere. E_FAIL when already initialised.
    HRESULT Attach(const VoiceInfo& voice);

    // Speaks UTF-16 text and returns when it has been played or AudioReset
    // stopped it (S_OK). Text with nothing to say never reaches the engine.
    HRESULT Speak(std::u16string_view text, bool tagged);

    HRESULT ModeGet(TTSModeInfo& info) const;
    HRESULT PitchGet(uint16_t& pitch) const;
    uint16_t PitchGet() const;  // 0 when it fails
    HRESULT PitchSet(uint16_t pitch);
    HRESULT SpeedGet(uint32_t& wordsPerMinute) const;
    uint32_t SpeedGet() const;
    HRESULT SpeedSet(uint32_t wordsPerMinute);
    HRESULT VolumeGet(uint32_t& volume) const;
    uint32_t VolumeGet() const;
    HRESULT VolumeSet(uint32_t volume);
    // Stops what is being spoken and what waits to be spoken with this object.
    HRESULT AudioReset();
    // Shows the voice and engine in a box owned by owner.
    HRESULT AboutDlg(QWidget* owner, const std::string& title);

private:
    struct Snapshot;
    Snapshot Take() const;

    SpeechService& service_;
    mutable std::mutex lock_;  // guards the fields below
    std::optional<VoiceInfo> voice_;
    std::shared_ptr<AudioDestination> audio_;
    uint16_t pitch_ = PitchFromEngine(EngineParams{}.pitch);
    uint32_t speed_ = static_cast<uint32_t>(EngineParams{}.rate);
    uint32_t volume_ = 0xFFFFFFFF;
    // Utterances of one object play one after another.
    std::mutex speaking_;
    std::atomic<uint64_t> generation_{0};
};

class CTTSEnum {
public:
    explicit CTTSEnum(SpeechService& service = SpeechService::Instance());

    // Lists the installed voices. E_FAIL when already initialised,
    // ClassNotRegistered when there is no engine.
    HRESULT Init();
    // S_FALSE at the end of the list.
    HRESULT Next(TTSModeInfo& info);
    HRESULT Skip(uint32_t count);
    HRESULT Reset();
    // A copy at the same position; null when this one is not initialised.
    std::unique_ptr<CTTSEnum> Clone() const;
    // A new CTTSMode with the voice of that identifier on the given destination
    // (the default output when null).
    HRESULT Select(const std::string& modeId, std::unique_ptr<CTTSMode>& mode,
                   std::shared_ptr<AudioDestination> audio = nullptr);
    // The best voice for info, weighing only what is filled in.
    HRESULT Find(const TTSModeInfo& info, TTSModeInfo& found) const;

private:
    SpeechService& service_;
    std::optional<std::vector<VoiceInfo>> voices_;
    size_t position_ = 0;
};

}  // namespace orvelin::media
