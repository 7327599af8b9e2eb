// Raw recordings a killed run left behind become messages at the next start.
#include "client/recording_recovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "media/wavefile.h"
#include "settings/option_bits.h"
#include "tests/client/test_dir.h"

namespace orvelin::client {
namespace {

namespace fs = std::filesystem;
using settings::OptionBits;

constexpr const char* kRaw = "Alw/MSN1/MSG_2026.12.09_04.05.06.alw";

struct Call {
    const char* caller;
    LocalDateTime arrival;
};

constexpr LocalDateTime kSecond{2026, 12, 3, 9, 4, 5, 6, 0};
constexpr LocalDateTime kOther{2026, 12, 3, 9, 4, 5, 7, 0};

TEST(RecordingRecovery, EachRawFileBecomesItsMessage) {
    struct File {
        const char* path;
        std::size_t bytes;
    };
    struct Expected {
        const char* caller;  // the record and what it must name; "" for none
        const char* wave;    // "" when it names no file
        std::uint16_t count;
    };
    struct Case {
        const char* name;
        std::uint32_t options;
        std::vector<Call> calls;
        std::vector<File> files;
        std::vector<Expected> records;
        std::vector<File> after;  // every file below Alw and Messages afterwards
        const char* logged;       // a text of the report
    };
    const Case cases[] = {
        {"its record is found by the arrival", 0, {{"0301", kSecond}, {"0302", kOther}},
         {{kRaw, 24000}},
         {{"0301", "Messages/MSN1/MSG_2026.12.09_04.05.06.WAV", 3}, {"0302", "", 0}},
         {{"Messages/MSN1/MSG_2026.12.09_04.05.06.WAV", media::WaveHeaderSize + 24000}},
         "is the message"},
        {"its record is gone", 0, {{"0302", kOther}}, {{kRaw, 24000}}, {{"0302", "", 0}},
         {{"Messages/MSN1/MSG_2026.12.09_04.05.06.WAV", media::WaveHeaderSize + 24000}},
         "has no call record any more"},
        {"too short for a message", 0, {{"0301", kSecond}}, {{kRaw, 12000}}, {{"0301", "", 0}}, {},
         "too short"},
        {"one folder, the caller in the name",
         OptionBits::MessagesInOneFolder | OptionBits::CallerInMessageName,
         {{"0301", kSecond}},
         {{kRaw, 24000}},
         {{"0301", "Messages/MSG_2026.12.09_04.05.06_0301.WAV", 3}},
         {{"Messages/MSG_2026.12.09_04.05.06_0301.WAV", media::WaveHeaderSize + 24000}},
         "is the message"},
        {"two calls of one second keep their order", 0, {{"0301", kSecond}, {"0302", kSecond}},
         {{"Alw/MSN1/MSG_2026.12.09_04.05.06_2.alw", 32000}, {kRaw, 24000}},
         {{"0301", "Messages/MSN1/MSG_2026.12.09_04.05.06.WAV", 3},
          {"0302", "Messages/MSN1/MSG_2026.12.09_04.05.06_2.WAV", 4}},
         {{"Messages/MSN1/MSG_2026.12.09_04.05.06.WAV", media::WaveHeaderSize + 24000},
          {"Messages/MSN1/MSG_2026.12.09_04.05.06_2.WAV", media::WaveHeaderSize + 32000}},
         "is the message"},
        // A file where the folder goes: no conversion, the raw file waits for the next start.
        {"conversion fails", 0, {{"0301", kSecond}}, {{kRaw, 24000}, {"Messages/MSN1", 1}},
         {{"0301", "", 0}}, {{kRaw, 24000}, {"Messages/MSN1", 1}}, "kept for the next start"},
        {"files that are no recordings stay", 0, {},
         {{"Alw/Call0.alw", 24000}, {"Alw/MSN1/notes.alw", 24000}, {"Alw/MSN1/MSG_x.alw", 24000}},
         {}, {{"Alw/Call0.alw", 24000}, {"Alw/MSN1/notes.alw", 24000}, {"Alw/MSN1/MSG_x.alw", 24000}},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TestDir dir;
        const std::string home = dir.path().string() + "/";
        for (const char* folder : {"Alw/MSN1", "Messages"}) fs::create_directories(dir / folder);
        CallRing ring(5);
        for (const Call& call : c.calls) {
            ArrivalTime a;
            a.local = call.arrival;
            TCallRecord& r = ring.takeNew(a, {}, dir.path());
            r.arrival = call.arrival;
            r.callerNumber.assign(call.caller);
            r.setMsnIndex(0);
            r.setState(CallState::Answered);
        }
        for (const File& f : c.files)
            test::writeBytes(dir / f.path, std::vector<std::uint8_t>(f.bytes, 0x2A));
        std::vector<std::string> log;
        recoverRecordings(home, ring, c.options, [&](const std::string& l) { log.push_back(l); });

        for (const Expected& e : c.records) {
            SCOPED_TRACE(e.caller);
            const TCallRecord* r = nullptr;
            for (std::uint32_t i = 0; i < ring.size(); ++i)
                if (ring.at(i).callerNumber.view() == e.caller) r = &ring.at(i);
            ASSERT_NE(r, nullptr);
            if (*e.wave) {
                EXPECT_EQ(r->state, std::uint32_t(CallState::VoiceMessage));
                EXPECT_EQ(r->filePath.view(), (dir / e.wave).string());
            } else {
                EXPECT_EQ(r->state, std::uint32_t(CallState::Answered));
                EXPECT_TRUE(r->filePath.empty());
            }
            EXPECT_EQ(r->count, e.count);
        }
        std::vector<std::pair<std::string, std::uintmax_t>> left, expected;
        for (const char* folder : {"Alw", "Messages"})
            for (const auto& e : fs::recursive_directory_iterator(dir / folder))
                if (!e.is_directory())
                    left.emplace_back(fs::relative(e.path(), dir.path()).string(), e.file_size());
        for (const File& f : c.after) expected.emplace_back(f.path, f.bytes);
        std::sort(left.begin(), left.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(left, expected);
        const bool reported = std::any_of(log.begin(), log.end(), [&](const std::string& l) {
            return *c.logged && l.find(c.logged) != std::string::npos;
        });
        EXPECT_EQ(reported, *c.logged != '\0') << (log.empty() ? "" : log.front());
    }
}

}  // namespace
}  // namespace orvelin::client
