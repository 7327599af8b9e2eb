// The answering machine of the real program against the simulated exchange at the real line
// pace, headless: what the caller hears, what lands on disk, in the call table, the text
// log and at a peer of the instance link.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <atomic>

#include "client/text_log.h"
#include "media/g711.h"
#include "tests/e2e/e2e_calls.h"
#include "tools/isdnsim/isdnsim.h"

namespace {

using namespace e2e;
using isdnsim::Bytes;
namespace media = orvelin::media;

constexpr std::size_t kWaveHeader = 58;
constexpr std::size_t kFirstBlock = 160;  // isdnsim's block; the first one is not stored
constexpr std::size_t kClosingBlocks = 7;
constexpr std::uint32_t kVoiceMessage = 4, kAnswered = 3, kFax = 6, kReadVoiceMessage = 7;

// An 8 kHz 8-bit mono PCM WAVE file.
Bytes pcm8Wave(const Bytes& samples) {
    auto le32 = [](Bytes& b, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
    };
    Bytes w{'R', 'I', 'F', 'F'};
    le32(w, std::uint32_t(36 + samples.size()));
    for (char c : std::string("WAVEfmt ")) w.push_back(std::uint8_t(c));
    le32(w, 16);
    for (std::uint8_t b : {1, 0, 1, 0}) w.push_back(b);  // PCM, mono
    le32(w, 8000);
    le32(w, 8000);
    for (std::uint8_t b : {1, 0, 8, 0}) w.push_back(b);  // block align 1, 8 bits
    for (char c : std::string("data")) w.push_back(std::uint8_t(c));
    le32(w, std::uint32_t(samples.size()));
    w.insert(w.end(), samples.begin(), samples.end());
    return w;
}

Bytes toneSamples(double seconds, double frequency) {
    Bytes s(std::size_t(seconds * 8000));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = std::uint8_t(128 + 90 * std::sin(2 * M_PI * frequency * double(i) / 8000.0));
    return s;
}

// What the line carries for PCM samples: A-law, bit-reversed, no gain control.
Bytes lineAudioOf(const Bytes& pcm) {
    media::GainState none;
    Bytes out;
    for (std::uint8_t p : pcm) out.push_back(media::ConvertPcm8Byte(p, none));
    return out;
}

// What a recording of line audio holds: 8-bit PCM, no gain control.
Bytes pcmOfLineAudio(const Bytes& line) {
    media::GainState none;
    Bytes out;
    for (std::uint8_t b : line) out.push_back(media::LineALawToPcm8(b, none));
    return out;
}

// Speech-like line audio, whole seconds of it after the block that is not stored: a tone
// whose loudness and pitch keep changing.
Bytes speech(int seconds) {
    Bytes pcm(std::size_t(seconds) * 8000 + kFirstBlock);
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const double t = double(i) / 8000.0;
        pcm[i] = std::uint8_t(128 + 100 * std::sin(2 * M_PI * 3 * t) *
                                        std::sin(2 * M_PI * (300 + 200 * std::sin(t)) * t));
    }
    return lineAudioOf(pcm);
}

Bytes fileBytes(const fs::path& p) {
    const std::string s = readFile(p);
    return Bytes(s.begin(), s.end());
}

// Files in `dir` whose extension is exactly `extension`, case included.
std::vector<fs::path> filesIn(const fs::path& dir, const std::string& extension) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().extension().string() == extension) out.push_back(e.path());
    return out;
}

// Entries in `dir`; 0 when it does not exist.
std::ptrdiff_t entries(const fs::path& dir) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    return ec ? 0 : std::distance(it, fs::directory_iterator());
}

// "<prefix>_YYYY.MM.DD_hh.mm.ss" of a record's arrival: how messages and faxes are named.
std::string arrivalName(const char* prefix, const TCallRecord& r) {
    char name[64];
    std::snprintf(name, sizeof name, "%s_%04u.%02u.%02u_%02u.%02u.%02u", prefix,
                  unsigned(r.arrival.year), unsigned(r.arrival.month), unsigned(r.arrival.day),
                  unsigned(r.arrival.hour), unsigned(r.arrival.minute), unsigned(r.arrival.second));
    return name;
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// A fax document: 1728-pixel pages of a few white lines each.
Bytes sffDocument(int pages, bool fine) {
    Bytes d{'S', 'f', 'f', 'f', 1, 0, 0, 0, std::uint8_t(pages), 0, 20, 0};
    d.resize(20, 0);
    for (int p = 0; p < pages; ++p) {
        d.insert(d.end(), {254, 16, std::uint8_t(fine ? 1 : 0), 0, 0, 0, 0xC0, 0x06,
                           std::uint8_t(3 + p), 0, 0, 0, 0, 0, 0, 0, 0, 0});
        for (int line = 0; line < 3 + p; ++line)
            d.insert(d.end(), {4, 0xB2, 0x59, 0x01, 0x00});  // white 1728, end of line
    }
    d.insert(d.end(), {254, 0});  // end of the document
    return d;
}

// A peer of the instance link that keeps answering on its own thread, as a live peer does
// (the server closes a peer that leaves a record unanswered for long).
class LivePeer {
  public:
    explicit LivePeer(std::uint16_t port) : peer_(port) {
        if (peer_.connected())
            thread_ = std::thread([this] {
                while (!stop_) {
                    std::lock_guard lock(mutex_);
                    peer_.pump(20);
                }
            });
    }
    ~LivePeer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool connected() const { return peer_.connected(); }
    bool got(const std::function<bool(const LinkPeer::Call&)>& match) {
        std::lock_guard lock(mutex_);
        return std::any_of(peer_.calls().begin(), peer_.calls().end(), match);
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return peer_.calls().size();
    }

  private:
    LinkPeer peer_;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// G.711 and the gain control worked out here from their definitions, not taken from the
// program: what the line and the recorded message must hold.
namespace reference {

constexpr int kSegmentEnd[8] = {255, 511, 1023, 2047, 4095, 8191, 16383, 32767};
// Mu-law magnitude code -> A-law magnitude code + 1.
constexpr int kMuToA[128] = {
    1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
    20, 21, 22, 23, 24, 25, 27, 29, 31, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 46, 48,
    49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 64, 65, 66, 67, 68, 69, 70, 71, 72,
    73, 74, 75, 76, 77, 78, 79, 80, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 96,
    97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115,
    116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 128};
// A-law magnitude code -> mu-law magnitude code.
constexpr int kAToMu[128] = {
    1, 3, 5, 7, 9, 11, 13, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31,
    32, 32, 33, 33, 34, 34, 35, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 48, 49,
    49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 64, 65, 66, 67, 68, 69, 70,
    71, 72, 73, 74, 75, 76, 77, 78, 79, 80, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92,
    93, 94, 95, 96, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112,
    113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127};

std::uint8_t reversed(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i)) r = std::uint8_t(r | (0x80 >> i));
    return r;
}

std::uint8_t linearToALaw(int x) {
    x = std::int16_t(x);
    const int mask = x >= 0 ? 0xD5 : 0x55;
    const int m = x >= 0 ? x : std::max(-x - 8, 0);
    int s = 0;
    while (m > kSegmentEnd[s]) ++s;
    const int q = s < 2 ? (m >> 4) & 0x0F : (m >> (s + 3)) & 0x0F;
    return std::uint8_t(((s << 4) | q) ^ mask);
}

int aLawToLinear(std::uint8_t a) {
    a ^= 0x55;
    int t = (a & 0x0F) << 4;
    const int s = (a & 0x70) >> 4;
    t = s == 0 ? t + 8 : s == 1 ? t + 0x108 : (t + 0x108) << (s - 1);
    return (a & 0x80) ? t : -t;
}

std::uint8_t muLawToALaw(std::uint8_t u) {
    return (u & 0x80) ? std::uint8_t(0xD5 ^ (kMuToA[u ^ 0xFF] - 1))
                      : std::uint8_t(0x55 ^ (kMuToA[u ^ 0x7F] - 1));
}

std::uint8_t aLawToMuLaw(std::uint8_t a) {
    return (a & 0x80) ? std::uint8_t(0xFF ^ kAToMu[a ^ 0xD5]) : std::uint8_t(0x7F ^ kAToMu[a ^ 0x55]);
}

// Level 4000, floor 650, window 130, or off.
struct Gain {
    explicit Gain(bool on) : n(on ? 130 : 0), ring(std::size_t(n), 0) {}
    int adjust(int x) {
        if (n == 0) return x;
        index = (index + 1) % n;
        sum -= ring[std::size_t(index)];
        ring[std::size_t(index)] = std::int16_t(std::max(std::abs(double(x)), double(650)));
        sum += ring[std::size_t(index)];
        if (sum == 0) return 0;
        const double g = n * 4000.0 / sum;
        if (std::abs(double(x)) * g >= 32767) return x > 0 ? 32767 : -32767;
        return int(x * g);
    }
    int n;
    std::vector<std::int16_t> ring;
    int index = 0;
    int sum = 0;
};

// An 8-bit PCM greeting as the line carries it.
Bytes greetingOnTheLine(const Bytes& pcm, bool muLaw, bool gainOn) {
    Gain gain(gainOn);
    Bytes out;
    for (std::uint8_t b : pcm) {
        const std::uint8_t a = linearToALaw(gain.adjust((b - 128) * 256));
        out.push_back(reversed(muLaw ? aLawToMuLaw(a) : a));
    }
    return out;
}

// Line audio as the recorded message holds it: 8-bit PCM.
Bytes messageOfLineAudio(const Bytes& line, bool muLaw, bool gainOn) {
    Gain gain(gainOn);
    Bytes out;
    for (std::uint8_t b : line) {
        const std::uint8_t code = reversed(b);
        const int y = gain.adjust(aLawToLinear(muLaw ? muLawToALaw(code) : code));
        out.push_back(std::uint8_t((y >> 8) + 128));
    }
    return out;
}

}  // namespace reference

class Answering : public testing::Test {
  protected:
    void SetUp() override {
        linkPort_ = freePort();
        writeHive(dir_.path(), "answering.reg", linkPort_);
        for (const char* folder : {"Answer", "Alw", "Messages", "FaxIn"})
            fs::create_directories(home() / folder);
        writeGreeting(1.0);
    }

    void writeGreeting(double seconds) {
        greeting_ = toneSamples(seconds, 440);
        const Bytes wave = pcm8Wave(greeting_);
        std::ofstream(home() / "Answer" / "Welcome1.wav", std::ios::binary)
            .write(reinterpret_cast<const char*>(wave.data()), std::streamsize(wave.size()));
    }

    void start() {
        const std::size_t mark = exchange_.messageCount();
        program_ = std::make_unique<Program>(
            dir_.path(), std::vector<std::string>{"ORVELIN_CAPI_REMOTE=127.0.0.1:" +
                                                  std::to_string(exchange_.port())});
        ASSERT_TRUE(exchange_.waitFor(CAPI_LISTEN, CAPI_REQ, mark, std::chrono::seconds(60)))
            << program_->errors();
        ASSERT_TRUE(program_->waitForError("watching the lines")) << program_->errors();
    }

    std::uint32_t ring(const std::string& from, const std::string& to, std::uint16_t cip = 1) {
        isdnsim::CallSetup s;
        s.calling = from;
        s.called = to;
        s.cip = cip;
        mark_ = exchange_.messageCount();
        return exchange_.ring(s);
    }

    // The program's CONNECT_RESP to the call rung last.
    isdnsim::MessagePtr answer(std::uint32_t plci) {
        return exchange_.waitFor(
            [&](const isdnsim::Message& m) {
                return m.command() == CAPI_CONNECT && m.subcommand() == CAPI_RESP &&
                       m.address() == plci;
            },
            mark_, std::chrono::seconds(60));
    }

    std::optional<TCallRecord> saved(const std::string& caller,
                                     const std::function<bool(const TCallRecord&)>& done) {
        std::optional<TCallRecord> found;
        program_->waitFor(kLimit, [&] {
            const auto calls = savedCalls(home());
            const TCallRecord* r = calls ? callFrom(*calls, caller) : nullptr;
            if (r && done(*r)) found = *r;
            return found.has_value();
        });
        return found;
    }

    // A caller leaves `talk` on the answering MSN and hangs up; returns the saved record.
    std::optional<TCallRecord> leaveMessage(const std::string& from, const Bytes& talk) {
        const std::uint32_t plci = ring(from, "456");
        EXPECT_NE(plci, 0u);
        auto resp = answer(plci);
        EXPECT_TRUE(resp) << program_->errors();
        if (!resp) return std::nullopt;
        EXPECT_EQ(resp->cmsg.Reject, 0);
        EXPECT_EQ(exchange_.protocols(plci), (isdnsim::BProtocols{1, 1, 0}));
        // Recording starts once the last block of the greeting is confirmed.
        const bool recording = program_->waitFor(kLimit, [&] {
            return !filesIn(home() / "Alw" / "MSN1", ".alw").empty();
        });
        EXPECT_TRUE(recording) << program_->errors();
        if (!recording) return std::nullopt;
        const Bytes heard = exchange_.receivedData(plci);
        const Bytes expected = lineAudioOf(greeting_);
        EXPECT_EQ(heard.size(), expected.size() + kClosingBlocks);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), heard.begin(),
                               heard.begin() + std::ptrdiff_t(std::min(heard.size(), expected.size()))))
            << "the greeting on the line differs from the converted greeting";

        EXPECT_TRUE(exchange_.sendData(plci, talk, kFirstBlock));
        EXPECT_TRUE(exchange_.waitUntil([&] { return exchange_.pendingData(plci) == 0; },
                                        std::chrono::seconds(60)));
        hungUp_ = Clock::now();
        EXPECT_TRUE(exchange_.hangUp(plci, 0x3490));
        // The duration comes with the clearing, after the state.
        const std::uint16_t seconds = std::uint16_t((talk.size() - kFirstBlock) / 8000);
        auto record = saved(from, [&](const TCallRecord& r) {
            return r.state == kVoiceMessage && r.count == seconds;
        });
        if (!record) {
            const auto calls = savedCalls(home());
            const TCallRecord* r = calls ? callFrom(*calls, from) : nullptr;
            ADD_FAILURE() << "no voice message of " << seconds << " s; saved: "
                          << (r ? "state " + std::to_string(r->state) + " count " +
                                      std::to_string(r->count) + " path " +
                                      std::string(r->filePath.view())
                                : std::string("nothing"));
        }
        return record;
    }

    fs::path home() const { return dir_.path() / "home"; }

    TempDir dir_;
    isdnsim::Exchange exchange_{[] {
        isdnsim::Options o;
        o.linePace = true;
        return o;
    }()};
    std::uint16_t linkPort_ = 0;
    std::unique_ptr<Program> program_;
    Bytes greeting_;
    std::size_t mark_ = 0;
    Clock::time_point hungUp_{};
};

TEST_F(Answering, MessageAfterTheGreetingIsStoredAsWaveListedLoggedAndSentToPeers) {
    start();
    LivePeer peer(linkPort_);
    ASSERT_TRUE(peer.connected());
    const Bytes talk = speech(5);
    const auto record = leaveMessage("0401112233", talk);
    ASSERT_TRUE(record) << program_->errors();
    EXPECT_EQ(record->count, 5);
    EXPECT_EQ(record->reason, 0x3490);

    const auto waves = filesIn(home() / "Messages" / "MSN1", ".WAV");
    ASSERT_EQ(waves.size(), 1u) << record->filePath.view();
    EXPECT_EQ(waves[0], home() / "Messages" / "MSN1" / (arrivalName("MSG", *record) + ".WAV"));
    EXPECT_EQ(fs::path(std::string(record->filePath.view())), waves[0]);
    const Bytes wave = fileBytes(waves[0]);
    ASSERT_GT(wave.size(), kWaveHeader);
    EXPECT_EQ(std::string(wave.begin() + 8, wave.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(Bytes(wave.begin() + kWaveHeader, wave.end()),
              pcmOfLineAudio(Bytes(talk.begin() + kFirstBlock, talk.end())))
        << "the message is not the audio the caller sent";
    EXPECT_TRUE(filesIn(home() / "Alw" / "MSN1", ".alw").empty()) << "raw recording left";

    const std::string line = orvelin::client::formatTextLogLine(*record, 5);
    EXPECT_NE(line.find("Voice Message"), std::string::npos) << line;
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        return peer.got([](const LinkPeer::Call& c) {
            return c.state == kVoiceMessage && c.text.find("0401112233") != std::string::npos;
        });
    })) << "peer got " << peer.count() << " records";
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        return readFile(home() / "orvelin.txt").find(line) != std::string::npos;
    })) << "log:\n" << readFile(home() / "orvelin.txt") << "expected:\n" << line;
}

// The program ends while a caller is speaking: what was said is a message all the same,
// made at the end (SIGTERM) or at the next start (SIGKILL); a raw recording whose call
// record is gone becomes a message too.
TEST_F(Answering, AMessageCutShortByTheProgramsEndIsKept) {
    struct Case {
        const char* name;
        int signal;
        bool restart;
    };
    for (const Case& c : {Case{"SIGTERM", SIGTERM, false}, Case{"SIGKILL, then a start", SIGKILL, true}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        start();
        const std::string caller = c.restart ? "0402220002" : "0402220001";
        const std::uint32_t plci = ring(caller, "456");
        ASSERT_NE(plci, 0u);
        ASSERT_TRUE(answer(plci)) << program_->errors();
        ASSERT_TRUE(program_->waitFor(kLimit, [&] {
            return !filesIn(home() / "Alw" / "MSN1", ".alw").empty();
        })) << program_->errors();
        const Bytes talk = speech(4);
        ASSERT_TRUE(exchange_.sendData(plci, talk, kFirstBlock));
        // Every block answered: the program has it.
        ASSERT_TRUE(exchange_.waitUntil([&] { return exchange_.pendingData(plci) == 0; },
                                        std::chrono::seconds(60)));
        ASSERT_EQ(kill(program_->pid(), c.signal), 0);
        int status = 0;
        ASSERT_TRUE(program_->waitExit(kLimit, status));
        const fs::path orphan = home() / "Alw" / "MSN1" / "MSG_2026.01.02_03.04.05.alw";
        const Bytes said = speech(3);
        const Bytes orphanTalk(said.begin() + kFirstBlock, said.end());
        if (c.restart) {
            EXPECT_FALSE(filesIn(home() / "Alw" / "MSN1", ".alw").empty());
            std::ofstream(orphan, std::ios::binary)
                .write(reinterpret_cast<const char*>(orphanTalk.data()),
                       std::streamsize(orphanTalk.size()));
            start();
        }
        const auto calls = savedCalls(home());
        std::optional<TCallRecord> record;
        if (c.restart) {
            record = saved(caller, [](const TCallRecord& r) { return r.state == kVoiceMessage; });
        } else if (const TCallRecord* r = calls ? callFrom(*calls, caller) : nullptr) {
            record = *r;
        }
        ASSERT_TRUE(record) << (c.restart ? program_->errors() : "no record");
        EXPECT_EQ(record->state, kVoiceMessage);
        EXPECT_EQ(record->count, 4);
        const fs::path wave = home() / "Messages" / "MSN1" / (arrivalName("MSG", *record) + ".WAV");
        EXPECT_EQ(fs::path(std::string(record->filePath.view())), wave);
        const Bytes stored = fileBytes(wave);
        ASSERT_GT(stored.size(), kWaveHeader);
        EXPECT_EQ(Bytes(stored.begin() + kWaveHeader, stored.end()),
                  pcmOfLineAudio(Bytes(talk.begin() + kFirstBlock, talk.end())))
            << "the message is not the audio the caller sent";
        const std::string line = orvelin::client::formatTextLogLine(*record, 4);
        EXPECT_NE(line.find("Voice Message 4 sec."), std::string::npos) << line;
        EXPECT_TRUE(program_->waitFor(kLimit, [&] {
            return readFile(home() / "orvelin.txt").find(line) != std::string::npos;
        }) || readFile(home() / "orvelin.txt").find(line) != std::string::npos)
            << readFile(home() / "orvelin.txt");
        if (c.restart) {
            const fs::path orphanWave = home() / "Messages" / "MSN1" / "MSG_2026.01.02_03.04.05.WAV";
            const Bytes made = fileBytes(orphanWave);
            ASSERT_GT(made.size(), kWaveHeader) << orphanWave;
            EXPECT_EQ(Bytes(made.begin() + kWaveHeader, made.end()), pcmOfLineAudio(orphanTalk));
            EXPECT_NE(readFile(home() / "capilog.txt").find(orphan.string()), std::string::npos)
                << readFile(home() / "capilog.txt");
        }
        EXPECT_TRUE(filesIn(home() / "Alw" / "MSN1", ".alw").empty()) << "raw recording left";
        program_.reset();
    }
}

// Option bits 0x4 (mu-law line), 0x200 (gain on the greeting) and 0x100 (gain on messages)
// as a caller meets them: the greeting's bytes on the line and the message's samples.
TEST_F(Answering, LawAndGainOptionsReachTheGreetingOnTheLineAndTheMessage) {
    // The definitions themselves, at the values given for them.
    EXPECT_EQ(reference::linearToALaw(0), 0xD5);
    EXPECT_EQ(reference::linearToALaw(-8), 0x55);
    EXPECT_EQ(reference::linearToALaw(32767), 0xAA);
    EXPECT_EQ(reference::linearToALaw(-32768), 0x2A);
    EXPECT_EQ(reference::aLawToLinear(0xD5), 8);
    EXPECT_EQ(reference::aLawToLinear(0x2A), -32256);
    EXPECT_EQ(reference::reversed(1), 128);
    EXPECT_EQ(reference::reversed(3), 192);
    {
        reference::Gain gain(true);
        int y = 0;
        for (int i = 0; i < 131; ++i) y = gain.adjust(400);
        EXPECT_EQ(y, 2461) << "steady 400 after a window";
        for (int i = 0; i < 131; ++i) y = gain.adjust(8000);
        EXPECT_EQ(y, 4000) << "steady 8000 settles at gain 0.5";
    }

    struct Case {
        const char* name;
        std::uint32_t options;
        bool muLaw, greetingGain, messageGain;
    };
    const Case cases[] = {
        {"A-law, no gain", 0x000, false, false, false},
        {"mu-law, gain on both", 0x304, true, true, true},
        {"A-law, gain on the greeting", 0x200, false, true, false},
        {"mu-law, gain on the message", 0x104, true, false, true},
    };
    const std::string hive = readFile(home() / "orvelin.reg");
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string h = hive;
        char options[16];
        std::snprintf(options, sizeof options, "%08x", c.options | 0x400);
        h.replace(h.find("\"Options\"=dword:") + 16, 8, options);
        std::ofstream(home() / "orvelin.reg", std::ios::trunc) << h;
        start();

        const std::string caller = "04099900" + std::to_string(++n);
        const std::uint32_t plci = ring(caller, "456");
        ASSERT_NE(plci, 0u);
        ASSERT_TRUE(answer(plci)) << program_->errors();
        ASSERT_TRUE(program_->waitFor(kLimit, [&] {
            return !filesIn(home() / "Alw" / "MSN1", ".alw").empty();
        })) << program_->errors();
        const Bytes expected = reference::greetingOnTheLine(greeting_, c.muLaw, c.greetingGain);
        const Bytes heard = exchange_.receivedData(plci);
        ASSERT_GE(heard.size(), expected.size());
        EXPECT_EQ(Bytes(heard.begin(), heard.begin() + std::ptrdiff_t(expected.size())), expected)
            << "the greeting on the line";

        const Bytes talk = speech(3);
        ASSERT_TRUE(exchange_.sendData(plci, talk, kFirstBlock));
        ASSERT_TRUE(exchange_.waitUntil([&] { return exchange_.pendingData(plci) == 0; },
                                        std::chrono::seconds(60)));
        ASSERT_TRUE(exchange_.hangUp(plci, 0x3490));
        const auto record =
            saved(caller, [](const TCallRecord& r) { return r.state == kVoiceMessage; });
        ASSERT_TRUE(record) << program_->errors();
        const Bytes wave = fileBytes(std::string(record->filePath.view()));
        ASSERT_GT(wave.size(), kWaveHeader);
        EXPECT_EQ(Bytes(wave.begin() + kWaveHeader, wave.end()),
                  reference::messageOfLineAudio(Bytes(talk.begin() + kFirstBlock, talk.end()),
                                                c.muLaw, c.messageGain))
            << "the recorded message";
        program_.reset();
    }
}

TEST_F(Answering, CallerWhoHangsUpDuringTheGreetingLeavesAnAnsweredCall) {
    writeGreeting(4.0);
    start();
    const std::uint32_t plci = ring("0405556677", "456");
    ASSERT_NE(plci, 0u);
    ASSERT_TRUE(answer(plci)) << program_->errors();
    ASSERT_TRUE(exchange_.waitUntil([&] { return exchange_.receivedData(plci).size() >= 12000; },
                                    std::chrono::seconds(60)));
    ASSERT_TRUE(exchange_.hangUp(plci, 0x3490));
    const auto record = saved("0405556677", [](const TCallRecord& r) { return r.reason == 0x3490; });
    ASSERT_TRUE(record) << program_->errors();
    const std::size_t heard = exchange_.receivedData(plci).size();
    EXPECT_EQ(record->state, kAnswered);
    // Seconds of greeting handed to the line: what was heard plus at most the block in flight.
    EXPECT_GE(record->count, heard / 8000);
    EXPECT_LE(record->count, (heard + 2032) / 8000);
    EXPECT_LT(heard, lineAudioOf(greeting_).size()) << "the greeting was not cut short";
    EXPECT_EQ(entries(home() / "Messages" / "MSN1"), 0);
    EXPECT_TRUE(filesIn(home() / "Alw" / "MSN1", ".alw").empty());
    EXPECT_TRUE(program_->waitFor(kLimit, [&] {
        return readFile(home() / "orvelin.txt").find("from 0405556677\t\tAnswered") !=
               std::string::npos;
    })) << readFile(home() / "orvelin.txt");
}

TEST_F(Answering, FaxBecomesATiffWithItsPagesAndResolution) {
    struct Row {
        const char* name;
        const char* caller;
        const char* called;
        std::uint16_t cip;
        bool tones;  // a voice call that switches to fax on the calling tone
        int pages;
        bool fine;
        int msn;
    } rows[] = {
        {"fax call to the fax number", "0407770001", "789", 17, false, 2, true, 2},
        {"fax tones on a voice call", "0407770002", "456", 1, true, 3, false, 1},
    };
    start();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::uint32_t plci = ring(r.caller, r.called, r.cip);
        ASSERT_NE(plci, 0u);
        isdnsim::FaxDocument fax;
        fax.sff = sffDocument(r.pages, r.fine);
        ASSERT_TRUE(exchange_.sendFax(plci, fax));
        auto resp = answer(plci);
        ASSERT_TRUE(resp) << program_->errors();
        EXPECT_EQ(resp->cmsg.Reject, 0);
        if (r.tones) {
            ASSERT_TRUE(exchange_.waitUntil(
                [&] { return exchange_.callState(plci) == isdnsim::CallState::B3Up; }));
            ASSERT_TRUE(exchange_.sendFaxTone(plci, isdnsim::FaxTone::Calling));
        }
        ASSERT_TRUE(exchange_.waitUntil([&] { return exchange_.faxDone(plci); },
                                        std::chrono::seconds(60)))
            << "no T.30 link came up\n" << program_->errors();
        EXPECT_EQ(exchange_.protocols(plci), (isdnsim::BProtocols{4, 4, 4}));

        const auto record =
            saved(r.caller, [](const TCallRecord& rec) { return rec.state == kFax; });
        ASSERT_TRUE(record) << program_->errors();
        EXPECT_EQ(record->count, r.pages);
        const fs::path folder = home() / "FaxIn" / ("MSN" + std::to_string(r.msn));
        // "FAX_<arrival>.SFF" became its TIFF, which the record now names; the SFF is gone.
        const fs::path tiff = folder / (arrivalName("FAX", *record) + ".tif");
        EXPECT_EQ(fs::path(std::string(record->filePath.view())), tiff);
        ASSERT_TRUE(program_->waitFor(kLimit, [&] { return fs::exists(tiff); }))
            << tiff << " missing; record path " << record->filePath.view();
        EXPECT_TRUE(program_->waitFor(kLimit, [&] { return filesIn(folder, ".SFF").empty(); }));
        EXPECT_EQ(entries(folder), 1);

        const std::string out = dir_.path() / "tiffinfo.txt";
        const std::string cmd = "tiffinfo '" + tiff.string() + "' >'" + out + "' 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << readFile(out);
        const std::string info = readFile(out);
        std::size_t directories = 0;
        for (std::size_t at = 0; (at = info.find("TIFF Directory at offset", at)) != std::string::npos;
             ++at)
            ++directories;
        EXPECT_EQ(directories, std::size_t(r.pages)) << info;
        EXPECT_NE(info.find("Image Width: 1728"), std::string::npos) << info;
        EXPECT_NE(info.find(r.fine ? "Resolution: 203, 196 pixels/inch"
                                   : "Resolution: 203, 98 pixels/inch"),
                  std::string::npos)
            << info;
    }
}

TEST_F(Answering, AuthorisedCallerHearsTheUnheardMessagesWhichAreThenMarkedHeard) {
    start();
    const Bytes talk = speech(3);
    const auto message = leaveMessage("0401112233", talk);
    ASSERT_TRUE(message) << program_->errors();
    const Bytes stored = fileBytes(std::string(message->filePath.view()));
    ASSERT_GT(stored.size(), kWaveHeader);
    const Bytes played = lineAudioOf(Bytes(stored.begin() + kWaveHeader, stored.end()));

    const std::uint32_t plci = ring("0301234567", "456");
    ASSERT_NE(plci, 0u);
    ASSERT_TRUE(answer(plci)) << program_->errors();
    // Keys are heard once the program listens for them on the B3 link.
    ASSERT_TRUE(exchange_.waitFor(CAPI_FACILITY, CAPI_REQ, mark_, std::chrono::seconds(60)));
    ASSERT_TRUE(exchange_.waitUntil([&] { return !exchange_.receivedData(plci).empty(); },
                                    std::chrono::seconds(60)));
    ASSERT_TRUE(exchange_.sendDtmf(plci, "1"));
    EXPECT_TRUE(saved("0401112233",
                      [](const TCallRecord& r) { return r.state == kReadVoiceMessage; }))
        << "the message was not marked heard\n" << program_->errors();
    EXPECT_TRUE(exchange_.waitUntil([&] { return contains(exchange_.receivedData(plci), played); },
                                    std::chrono::seconds(60)))
        << "the caller did not hear the message";
    // Then the end of the messages is announced and the program clears the call itself.
    EXPECT_TRUE(exchange_.waitFor(
        [&](const isdnsim::Message& m) {
            return m.command() == CAPI_DISCONNECT && m.subcommand() == CAPI_REQ &&
                   m.address() == plci;
        },
        mark_, std::chrono::seconds(60)))
        << program_->errors();
    EXPECT_GT(exchange_.receivedData(plci).size(),
              lineAudioOf(greeting_).size() / 2 + played.size())
        << "nothing followed the message";
}

}  // namespace
