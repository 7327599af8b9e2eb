// Text-to-speech: mapping, tag conversion and voice choice as plain functions,
// then the real engine rendering into memory (no sound card needed).
#include "media/speech.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "platform/message_box.h"

using namespace orvelin::media;

namespace {

double Rms(const std::vector<int16_t>& s) {
    if (s.empty()) return 0;
    double sum = 0;
    for (int16_t v : s) sum += double(v) * v;
    return std::sqrt(sum / double(s.size()));
}

// Median fundamental frequency of the voiced frames, by autocorrelation.
double MedianPitchHz(const std::vector<int16_t>& s, int rate) {
    const size_t frame = 1024;
    const size_t minLag = size_t(rate) / 500, maxLag = size_t(rate) / 50;
    std::vector<double> found;
    for (size_t start = 0; start + frame + maxLag < s.size(); start += frame) {
        double energy = 0;
        for (size_t i = 0; i < frame; ++i) energy += double(s[start + i]) * s[start + i];
        if (energy / frame < 1000.0 * 1000.0) continue;
        double best = 0;
        size_t bestLag = 0;
        for (size_t lag = minLag; lag <= maxLag; ++lag) {
            double sum = 0;
            for (size_t i = 0; i < frame; ++i) sum += double(s[start + i]) * s[start + i + lag];
            if (sum > best) {
                best = sum;
                bestLag = lag;
            }
        }
        if (bestLag != 0 && best > 0.5 * energy) found.push_back(double(rate) / double(bestLag));
    }
    if (found.empty()) return 0;
    std::sort(found.begin(), found.end());
    return found[found.size() / 2];
}

VoiceInfo Voice(std::string name, std::string id,
                std::vector<std::pair<std::string, int>> languages) {
    VoiceInfo v;
    v.name = std::move(name);
    v.identifier = std::move(id);
    v.languages = std::move(languages);
    return v;
}

// Renders text with a fresh mode on a memory destination.
struct Rendered {
    HRESULT rc;
    std::vector<int16_t> samples;
    int writes;
};

Rendered Render(const std::u16string& text, bool tagged, uint16_t pitch = 0, uint32_t speed = 0,
                uint32_t volume = 0xFFFFFFFF, const std::string& voice = "gmw/en") {
    CTTSMode mode;
    auto sink = std::make_shared<MemoryDestination>();
    EXPECT_EQ(mode.InitAudio(sink), S_OK);
    EXPECT_EQ(mode.InitByMode(voice), S_OK);
    if (pitch) {
        EXPECT_EQ(mode.PitchSet(pitch), S_OK);
    }
    if (speed) {
        EXPECT_EQ(mode.SpeedSet(speed), S_OK);
    }
    EXPECT_EQ(mode.VolumeSet(volume), S_OK);
    HRESULT rc = mode.Speak(text, tagged);
    return {rc, sink->Samples(), sink->Writes()};
}

// A service that records what reaches it, for paths that must not reach it.
class RecordingService : public SpeechService {
public:
    bool Available() override { return true; }
    std::vector<VoiceInfo> Voices() override { return {Voice("English", "en", {{"en", 2}})}; }
    int SampleRate() override { return 8000; }
    int Synthesize(const std::string&, const EngineParams& p, const std::string& text, bool ssml,
                   std::vector<int16_t>& out, const StopQuery&) override {
        ++calls;
        lastText = text;
        lastSsml = ssml;
        lastParams = p;
        out.assign(80, 1000);
        return 0;
    }
    int calls = 0;
    std::string lastText;
    bool lastSsml = false;
    EngineParams lastParams;
};

// Holds each write until the speaker is told to stop.
class BlockingDestination : public AudioDestination {
public:
    int Write(const std::vector<int16_t>&, int, const StopQuery& stop) override {
        entered.set_value();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop()) {
            if (std::chrono::steady_clock::now() > deadline) return 99;  // never stopped
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
    }
    std::promise<void> entered;
};

}  // namespace

TEST(SpeechMapping, PitchSpeedAndVolumeOntoEngineRanges) {
    EXPECT_EQ(PitchToEngine(50), 0);
    EXPECT_EQ(PitchToEngine(175), 50);
    EXPECT_EQ(PitchToEngine(300), 100);
    EXPECT_EQ(PitchToEngine(150), 40);
    EXPECT_EQ(PitchToEngine(0), 0);         // below the scale
    EXPECT_EQ(PitchToEngine(0xFFFFFFFF), 100);
    for (int p : {0, 40, 50, 100}) EXPECT_EQ(PitchToEngine(PitchFromEngine(p)), p);
    EXPECT_EQ(PitchFromEngine(50), 175);

    EXPECT_EQ(SpeedToEngine(170), 170);
    EXPECT_EQ(SpeedToEngine(0), 80);
    EXPECT_EQ(SpeedToEngine(300), 300);
    EXPECT_EQ(SpeedToEngine(100000), 450);

    EXPECT_EQ(VolumeToEngine(0xFFFFFFFF), 100);
    EXPECT_EQ(VolumeToEngine(0xFFFF0000), 0);  // only the low half counts
    EXPECT_EQ(VolumeToEngine(0x7FFF7FFF), 49);
    EXPECT_EQ(VolumeToEngine(0), 0);
    EXPECT_EQ(VolumeToEngine(6553u * 65537u), 9);  // the volume bar one step up
}

TEST(SpeechText, TagsBecomeBreaksOrVanishAndTextIsEscaped) {
    EXPECT_EQ(TaggedTextToSsml("Call \\Pau=500\\ now").text, "Call <break time=\"500ms\"/> now");
    EXPECT_EQ(TaggedTextToSsml("\\pau=20\\x").text, "<break time=\"20ms\"/>x");
    EXPECT_EQ(TaggedTextToSsml("\\CTX=\"ADDRESS\"\\ 0301234").text, " 0301234");
    EXPECT_EQ(TaggedTextToSsml("\\Vce=Gender=\"Male\"\\Hi\\Rst\\").text, "Hi");
    EXPECT_EQ(TaggedTextToSsml("a \\Tag=\"x\\y\"\\ b").text, "a  b");  // quoted backslash
    EXPECT_EQ(TaggedTextToSsml("Tom & <Jerry> \"'").text,
              "Tom &amp; &lt;Jerry&gt; &quot;&apos;");
    // Pauses are capped at a minute; a bad pause value is dropped with its tag.
    EXPECT_EQ(TaggedTextToSsml("\\Pau=999999999\\").text, "<break time=\"60000ms\"/>");
    EXPECT_EQ(TaggedTextToSsml("\\Pau=-5\\ok").text, "ok");
    // Backslashes that start no complete tag are text.
    EXPECT_EQ(TaggedTextToSsml("C:\\ \\Pau=5").text, "C:\\ \\Pau=5");
    EXPECT_EQ(TaggedTextToSsml("\\\\").text, "\\\\");
    EXPECT_EQ(TaggedTextToSsml("\\Tag=\"unclosed\\").text, "\\Tag=&quot;unclosed\\");

    EXPECT_FALSE(TaggedTextToSsml("").hasContent);
    EXPECT_FALSE(TaggedTextToSsml("  \\Pau=100\\ \\CTX=\"ADDRESS\"\\\t").hasContent);
    EXPECT_TRUE(TaggedTextToSsml(" \\Pau=100\\ 1").hasContent);
    EXPECT_FALSE(PlainText(" \n ").hasContent);
    EXPECT_EQ(PlainText("<b>").text, "<b>");
}

TEST(SpeechText, Utf16ToUtf8) {
    EXPECT_EQ(Utf16ToUtf8(u"Gr\u00fc\u00dfe \u20ac"), "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac");
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xf0\x9f\x98\x80");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_EQ(Utf16ToUtf8(std::u16string_view(lone, 4)), "a\xef\xbf\xbd" "b\xef\xbf\xbd");
    const char16_t nul[] = {u'a', 0, u'b'};
    EXPECT_EQ(Utf16ToUtf8(std::u16string_view(nul, 3)), "a");
}

TEST(SpeechVoice, LocaleLanguage) {
    EXPECT_EQ(LocaleLanguage("de_DE.UTF-8"), "de-de");
    EXPECT_EQ(LocaleLanguage("en_US@euro"), "en-us");
    EXPECT_EQ(LocaleLanguage("fr"), "fr");
    EXPECT_EQ(LocaleLanguage("C"), "");
    EXPECT_EQ(LocaleLanguage("C.UTF-8"), "");
    EXPECT_EQ(LocaleLanguage("POSIX"), "");
    EXPECT_EQ(LocaleLanguage(""), "");
}

TEST(SpeechVoice, ChoiceByNameThenLanguageThenEnglish) {
    std::vector<VoiceInfo> voices = {
        Voice("Afrikaans", "gmw/af", {{"af", 5}}),
        Voice("English (Scotland)", "gmw/en-GB-scotland", {{"en-gb-scotland", 5}, {"en", 4}}),
        Voice("German", "gmw/de", {{"de", 5}}),
        Voice("English (Great Britain)", "gmw/en", {{"en-gb", 2}, {"en", 2}}),
        Voice("English (America)", "gmw/en-US", {{"en-us", 2}, {"en", 3}}),
    };
    TTSModeRank byName{10, 0};
    auto choose = [&](std::string name, std::string language, const TTSModeRank* rank,
                      std::string locale) {
        TTSModeInfo info;
        info.modeName = std::move(name);
        info.language = std::move(language);
        return ChooseVoice(voices, info, rank, locale);
    };
    EXPECT_EQ(choose("German", "", &byName, ""), 2);
    EXPECT_EQ(choose("gmw/de", "", &byName, ""), 2);      // identifier as name
    EXPECT_EQ(choose("german", "", &byName, ""), 3);      // exact only: falls back to "en"
    EXPECT_EQ(choose("Klingon", "", &byName, "de-de"), 2);  // locale's primary language
    EXPECT_EQ(choose("Klingon", "", &byName, "en-us"), 4);  // locale's full tag first
    EXPECT_EQ(choose("Klingon", "", &byName, "xx-yy"), 3);  // best priority for "en"
    EXPECT_EQ(choose("German", "", nullptr, ""), 2);      // no rank: every field counts
    TTSModeRank languageOnly{0, 1};
    EXPECT_EQ(choose("German", "af", &languageOnly, ""), 0);  // name has no weight
    EXPECT_EQ(choose("", "", nullptr, "af-za"), 0);

    TTSModeInfo byId;
    byId.modeId = "gmw/en-US";
    EXPECT_EQ(ChooseVoice(voices, byId, nullptr, "de"), 4);

    std::vector<VoiceInfo> noEnglish = {Voice("Afrikaans", "gmw/af", {{"af", 5}})};
    EXPECT_EQ(ChooseVoice(noEnglish, TTSModeInfo{}, nullptr, "de"), 0);
    EXPECT_EQ(ChooseVoice({}, TTSModeInfo{}, nullptr, "de"), -1);
}

TEST(SpeechEngine, ExecutableExportsTheServiceAndLoadedCopiesShareIt) {
    void* entry = dlsym(RTLD_DEFAULT, "orvelin_speech_service_v1");
    ASSERT_NE(entry, nullptr) << "the test binary does not export the speech service";
    void* module = dlopen(ORVELIN_SPEECH_SECOND_COPY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto service = reinterpret_cast<void* (*)()>(dlsym(module, "speech_second_copy_service"));
    auto render = reinterpret_cast<long (*)()>(dlsym(module, "speech_second_copy_render"));
    ASSERT_NE(service, nullptr);
    ASSERT_NE(render, nullptr);
    EXPECT_EQ(service(), &SpeechService::Instance());
    EXPECT_GT(render(), 1000);  // the other copy speaks through our engine
    dlclose(module);
    // The engine still works after the other copy is gone.
    EXPECT_GT(Render(u"still here", false).samples.size(), 1000u);
}

TEST(SpeechEngine, EnumeratesVoicesAndSelectsByIdentifier) {
    CTTSEnum list;
    TTSModeInfo info;
    EXPECT_EQ(list.Next(info), E_NOINTERFACE);
    EXPECT_EQ(list.Clone(), nullptr);
    ASSERT_EQ(list.Init(), S_OK);
    EXPECT_EQ(list.Init(), E_FAIL);

    std::vector<TTSModeInfo> all;
    while (list.Next(info) == S_OK) all.push_back(info);
    ASSERT_GT(all.size(), 10u);
    auto german = std::find_if(all.begin(), all.end(),
                               [](const TTSModeInfo& m) { return m.modeId == "gmw/de"; });
    ASSERT_NE(german, all.end());
    EXPECT_EQ(german->modeName, "German");
    EXPECT_EQ(german->language, "de");

    EXPECT_EQ(list.Reset(), S_OK);
    EXPECT_EQ(list.Skip(2), S_OK);
    auto clone = list.Clone();
    ASSERT_NE(clone, nullptr);
    ASSERT_EQ(clone->Next(info), S_OK);
    EXPECT_EQ(info.modeId, all[2].modeId);
    EXPECT_EQ(list.Skip(100000), S_FALSE);
    EXPECT_EQ(list.Next(info), S_FALSE);

    TTSModeInfo wanted, found;
    wanted.modeName = "German";
    ASSERT_EQ(list.Find(wanted, found), S_OK);
    EXPECT_EQ(found.modeId, "gmw/de");

    std::unique_ptr<CTTSMode> mode;
    EXPECT_EQ(list.Select("no/such-voice", mode), E_INVALIDARG);
    EXPECT_EQ(mode, nullptr);
    auto sink = std::make_shared<MemoryDestination>();
    ASSERT_EQ(list.Select("gmw/de", mode, sink), S_OK);
    ASSERT_NE(mode, nullptr);
    TTSModeInfo selected;
    ASSERT_EQ(mode->ModeGet(selected), S_OK);
    EXPECT_EQ(selected.modeName, "German");
    EXPECT_EQ(mode->Speak(u"Guten Tag", false), S_OK);
    EXPECT_EQ(sink->Writes(), 1);
    EXPECT_EQ(sink->SampleRate(), SpeechService::Instance().SampleRate());
}

TEST(SpeechEngine, InitChoosesByNameWithFallbacksAndRefusesASecondInit) {
    TTSModeRank byName{10, 0};
    TTSModeInfo info;
    info.modeName = "German";
    CTTSMode german;
    ASSERT_EQ(german.Init(info, &byName), S_OK);
    EXPECT_EQ(german.Init(info, &byName), E_FAIL);
    EXPECT_EQ(german.InitByMode("gmw/de"), E_FAIL);
    EXPECT_EQ(german.InitAudio(-1), E_FAIL);  // Init made the default destination
    TTSModeInfo got;
    ASSERT_EQ(german.ModeGet(got), S_OK);
    EXPECT_EQ(got.modeId, "gmw/de");

    // The tests run with LC_ALL=C: an unknown name falls back to English.
    info.modeName = "No such voice";
    CTTSMode fallback;
    ASSERT_EQ(fallback.Init(info, &byName), S_OK);
    ASSERT_EQ(fallback.ModeGet(got), S_OK);
    EXPECT_EQ(got.modeId, "gmw/en");

    CTTSMode byDefault;
    ASSERT_EQ(byDefault.InitDefault(), S_OK);
    ASSERT_EQ(byDefault.ModeGet(got), S_OK);
    EXPECT_EQ(got.modeId, "gmw/en");

    CTTSMode unknown;
    EXPECT_EQ(unknown.InitByMode("no/such-voice"), E_INVALIDARG);
    EXPECT_EQ(unknown.Speak(u"x", false), E_NOINTERFACE);
}

TEST(SpeechEngine, EmptyObjectAnswersNoInterface) {
    CTTSMode mode;
    uint16_t pitch = 1;
    uint32_t value = 1;
    TTSModeInfo info;
    EXPECT_EQ(mode.Speak(u"hello", true), E_NOINTERFACE);
    EXPECT_EQ(mode.PitchSet(100), E_NOINTERFACE);
    EXPECT_EQ(mode.PitchGet(pitch), E_NOINTERFACE);
    EXPECT_EQ(mode.PitchGet(), 0);
    EXPECT_EQ(mode.SpeedSet(100), E_NOINTERFACE);
    EXPECT_EQ(mode.SpeedGet(value), E_NOINTERFACE);
    EXPECT_EQ(mode.SpeedGet(), 0u);
    EXPECT_EQ(mode.VolumeSet(1), E_NOINTERFACE);
    EXPECT_EQ(mode.VolumeGet(value), E_NOINTERFACE);
    EXPECT_EQ(mode.VolumeGet(), 0u);
    EXPECT_EQ(mode.AudioReset(), E_NOINTERFACE);
    EXPECT_EQ(mode.ModeGet(info), E_NOINTERFACE);
    EXPECT_EQ(mode.AboutDlg(nullptr, "About"), E_NOINTERFACE);
    EXPECT_EQ(mode.InitAudio(nullptr), E_INVALIDARG);
    EXPECT_EQ(mode.Attach(VoiceInfo{}), E_INVALIDARG);
}

TEST(SpeechEngine, FailuresComeBackAsCodes) {
    EXPECT_EQ(ResultFromPlatform(0), S_OK);
    EXPECT_EQ(static_cast<uint32_t>(ResultFromPlatform(ENOENT)), 0x80070002u);
    EXPECT_EQ(static_cast<uint32_t>(ResultFromPlatform(0x100006FF)), 0x80045006u);

    // A voice that vanished from the engine: speaking fails with its code and
    // nothing reaches the destination.
    CTTSMode mode;
    auto sink = std::make_shared<MemoryDestination>();
    ASSERT_EQ(mode.InitAudio(sink), S_OK);
    ASSERT_EQ(mode.Attach(Voice("Gone", "xx/gone", {{"xx", 1}})), S_OK);
    EXPECT_EQ(mode.Attach(Voice("German", "gmw/de", {{"de", 5}})), E_FAIL);
    EXPECT_EQ(static_cast<uint32_t>(mode.Speak(u"hello", true)), 0x80045006u);
    EXPECT_EQ(sink->Writes(), 0);
}

TEST(SpeechEngine, DefaultsReadBackOnTheSettingsScale) {
    CTTSMode mode;
    ASSERT_EQ(mode.InitByMode("gmw/en"), S_OK);
    EXPECT_EQ(mode.PitchGet(), 175);  // the engine's middle pitch
    EXPECT_EQ(mode.SpeedGet(), 175u);
    EXPECT_EQ(mode.VolumeGet(), 0xFFFFFFFFu);
    EXPECT_EQ(mode.PitchSet(300), S_OK);
    EXPECT_EQ(mode.PitchGet(), 300);
}

TEST(SpeechEngine, RendersAudibleSpeechThatGrowsWithTheText) {
    Rendered shortText = Render(u"Call on line one", true);
    Rendered longText = Render(u"Call on line one from one two three four five six seven", true);
    ASSERT_EQ(shortText.rc, S_OK);
    ASSERT_EQ(longText.rc, S_OK);
    int rate = SpeechService::Instance().SampleRate();
    EXPECT_GT(shortText.samples.size(), size_t(rate) / 2);
    EXPECT_GT(Rms(shortText.samples), 500.0);
    EXPECT_GT(longText.samples.size(), shortText.samples.size() * 2);

    // A pause tag adds about its length of silence; other tags add nothing.
    Rendered paused = Render(u"Call on line one \\Pau=1000\\ from", true);
    Rendered plain = Render(u"Call on line one from", true);
    Rendered tagged = Render(u"\\CTX=\"ADDRESS\"\\Call on line one from", true);
    double extra = double(paused.samples.size()) - double(plain.samples.size());
    EXPECT_GT(extra, 0.8 * rate);
    EXPECT_LT(extra, 1.3 * rate);
    EXPECT_EQ(tagged.samples.size(), plain.samples.size());
}

TEST(SpeechEngine, SpeedPitchAndVolumeChangeTheOutput) {
    const std::u16string text = u"Call on line one from four five six";
    Rendered slow = Render(text, true, 0, 100);
    Rendered fast = Render(text, true, 0, 300);
    EXPECT_GT(slow.samples.size(), fast.samples.size() * 3 / 2);

    Rendered low = Render(text, true, 50, 170);
    Rendered high = Render(text, true, 300, 170);
    int rate = SpeechService::Instance().SampleRate();
    double lowHz = MedianPitchHz(low.samples, rate), highHz = MedianPitchHz(high.samples, rate);
    EXPECT_GT(lowHz, 50.0);
    EXPECT_GT(highHz, lowHz * 1.5) << lowHz << " Hz against " << highHz << " Hz";

    Rendered loud = Render(text, true, 175, 170, 0xFFFFFFFF);
    Rendered quiet = Render(text, true, 175, 170, 0x20002000);
    ASSERT_GT(Rms(loud.samples), 0.0);
    double ratio = Rms(quiet.samples) / Rms(loud.samples);
    EXPECT_GT(ratio, 0.05);
    EXPECT_LT(ratio, 0.3);
    Rendered silent = Render(text, true, 175, 170, 0);
    EXPECT_LT(Rms(silent.samples), 1.0);
}

TEST(SpeechEngine, TextWithNothingToSayNeverReachesTheEngine) {
    RecordingService engine;
    CTTSMode mode(engine);
    auto sink = std::make_shared<MemoryDestination>();
    ASSERT_EQ(mode.InitAudio(sink), S_OK);
    ASSERT_EQ(mode.InitDefault(), S_OK);
    EXPECT_EQ(mode.Speak(u"", true), S_OK);
    EXPECT_EQ(mode.Speak(u"", false), S_OK);
    EXPECT_EQ(mode.Speak(u"  \\Pau=300\\ \\CTX=\"ADDRESS\"\\ ", true), S_OK);
    EXPECT_EQ(mode.Speak(u"\t\n", false), S_OK);
    EXPECT_EQ(engine.calls, 0);
    EXPECT_EQ(sink->Writes(), 0);

    ASSERT_EQ(mode.PitchSet(150), S_OK);
    ASSERT_EQ(mode.SpeedSet(20), S_OK);
    ASSERT_EQ(mode.VolumeSet(0xFFFF8000), S_OK);
    EXPECT_EQ(mode.Speak(u"a<b \\Pau=5\\", true), S_OK);
    EXPECT_EQ(engine.calls, 1);
    EXPECT_TRUE(engine.lastSsml);
    EXPECT_EQ(engine.lastText, "a&lt;b <break time=\"5ms\"/>");
    EXPECT_EQ(engine.lastParams.pitch, 40);
    EXPECT_EQ(engine.lastParams.rate, 80);
    EXPECT_EQ(engine.lastParams.volume, 50);
    EXPECT_EQ(mode.Speak(u"a<b", false), S_OK);
    EXPECT_FALSE(engine.lastSsml);
    EXPECT_EQ(engine.lastText, "a<b");
    EXPECT_EQ(sink->Writes(), 2);
}

TEST(SpeechEngine, ConcurrentSpeakersShareTheEngineSafely) {
    auto speakWith = [](std::shared_ptr<CTTSMode> mode, std::u16string text, int times) {
        int ok = 0;
        for (int i = 0; i < times; ++i) ok += mode->Speak(text, true) == S_OK;
        return ok;
    };
    auto sinkA = std::make_shared<MemoryDestination>();
    auto sinkB = std::make_shared<MemoryDestination>();
    auto a = std::make_shared<CTTSMode>();
    auto b = std::make_shared<CTTSMode>();
    ASSERT_EQ(a->InitAudio(sinkA), S_OK);
    ASSERT_EQ(b->InitAudio(sinkB), S_OK);
    ASSERT_EQ(a->InitByMode("gmw/en"), S_OK);
    ASSERT_EQ(b->InitByMode("gmw/de"), S_OK);
    ASSERT_EQ(b->PitchSet(300), S_OK);
    // Two threads on different objects and a third on the first one, as the
    // speech thread and the settings library's test might.
    auto t1 = std::async(std::launch::async, speakWith, a, u"one two", 4);
    auto t2 = std::async(std::launch::async, speakWith, b, u"eins zwei", 4);
    auto t3 = std::async(std::launch::async, speakWith, a, u"three four", 4);
    EXPECT_EQ(t1.get(), 4);
    EXPECT_EQ(t2.get(), 4);
    EXPECT_EQ(t3.get(), 4);
    EXPECT_EQ(sinkA->Writes(), 8);
    EXPECT_EQ(sinkB->Writes(), 4);
    // Each utterance kept its own voice and pitch: the German one rendered
    // alone comes out as long (the engine varies by a few samples) and as high.
    Rendered alone = Render(u"eins zwei", true, 300, 0, 0xFFFFFFFF, "gmw/de");
    double expected = double(alone.samples.size()) * 4;
    EXPECT_NEAR(double(sinkB->Samples().size()), expected, expected * 0.01);
    int rate = SpeechService::Instance().SampleRate();
    EXPECT_NEAR(MedianPitchHz(sinkB->Samples(), rate), MedianPitchHz(alone.samples, rate), 15.0);
}

TEST(SpeechEngine, ResetStopsSpeechAndTheObjectCanBeReplacedMeanwhile) {
    auto blocking = std::make_shared<BlockingDestination>();
    auto entered = blocking->entered.get_future();
    auto current = std::make_shared<CTTSMode>();
    ASSERT_EQ(current->InitAudio(blocking), S_OK);
    ASSERT_EQ(current->InitDefault(), S_OK);
    std::mutex holder;  // the program's pointer to the speech object

    // The speech thread takes its own reference and speaks.
    auto speaker = std::async(std::launch::async, [&] {
        std::shared_ptr<CTTSMode> mode;
        {
            std::lock_guard guard(holder);
            mode = current;
        }
        return mode->Speak(u"Call on line one", true);
    });
    ASSERT_EQ(entered.wait_for(std::chrono::seconds(30)), std::future_status::ready);

    // The window thread rebuilds the object: reset the old one, swap.
    auto replacement = std::make_shared<CTTSMode>();
    auto sink = std::make_shared<MemoryDestination>();
    ASSERT_EQ(replacement->InitAudio(sink), S_OK);
    ASSERT_EQ(replacement->InitDefault(), S_OK);
    std::weak_ptr<CTTSMode> old = current;
    {
        std::lock_guard guard(holder);
        current->AudioReset();
        current = replacement;
    }
    EXPECT_EQ(speaker.get(), S_OK);  // stopped, not failed (99 would mean never stopped)
    EXPECT_TRUE(old.expired());      // the speaker's reference was the last one

    std::shared_ptr<CTTSMode> now;
    {
        std::lock_guard guard(holder);
        now = current;
    }
    EXPECT_EQ(now->Speak(u"next caller", true), S_OK);
    EXPECT_EQ(sink->Writes(), 1);
    // A reset with nothing playing does not stop later speech.
    EXPECT_EQ(now->AudioReset(), S_OK);
    EXPECT_EQ(now->Speak(u"and another", true), S_OK);
    EXPECT_EQ(sink->Writes(), 2);
}

TEST(SpeechEngine, AboutBoxNamesTheVoice) {
    platform::setMessageBoxMode(platform::BoxMode::Headless);
    std::string logged;
    platform::setMessageLogSink([&](const std::string& line) { logged += line; });
    CTTSMode mode;
    ASSERT_EQ(mode.InitByMode("gmw/de"), S_OK);
    EXPECT_EQ(mode.AboutDlg(nullptr, "About"), S_OK);
    platform::setMessageLogSink({});
    EXPECT_NE(logged.find("German (gmw/de)"), std::string::npos) << logged;
}

TEST(SpeechPlayback, DefaultOutputPlaysOrReportsTheMissingDevice) {
    snd_pcm_t* pcm = nullptr;
    bool device = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) == 0;
    if (pcm) snd_pcm_close(pcm);

    CTTSMode mode;
    ASSERT_EQ(mode.InitDefault(), S_OK);
    HRESULT rc = mode.Speak(u"Call on line one", true);
    if (!device) {
        // Without a device the speaking fails with a code and nothing hangs.
        EXPECT_NE(rc, S_OK);
        EXPECT_EQ(static_cast<uint32_t>(rc) & 0xFFFF0000u, 0x80070000u);
        GTEST_SKIP() << "no ALSA \"default\" playback device: played nothing";
    }
    EXPECT_EQ(rc, S_OK);
}
