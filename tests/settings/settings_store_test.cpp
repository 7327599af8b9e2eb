// The accessors over a hive file: defaults, malformed hand-edited values, the administrator's
// fixture, and concurrent changes of the option bits.
#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "settings/option_bits.h"
#include "settings_test_hive.h"

namespace orvelin::settings {
namespace {

using testing::HiveTest;

class SettingsStore : public HiveTest {};

TEST_F(SettingsStore, EmptyOrMissingHiveGivesEveryDefault) {
    for (bool fileExists : {false, true}) {
        if (fileExists) writeHive(testing::kHeader);
        SCOPED_TRACE(fileExists ? "empty hive" : "no hive file");
        EXPECT_EQ(GetOptions(), 0u);
        EXPECT_TRUE(UseALaw());
        EXPECT_EQ(GetCIPMask(1), 0x10012u);
        EXPECT_EQ(GetInfoMask(1), 1u);
        // Controller 2 without its own masks does not listen at all.
        EXPECT_EQ(GetCIPMask(2), 0u);
        EXPECT_EQ(GetInfoMask(2), 0u);
        EXPECT_EQ(GetCIPMask(0), 0u);
        EXPECT_FALSE(IsDiscreteMSN(0));
        EXPECT_EQ(GetStripSettings(), std::nullopt);
        EXPECT_EQ(GetPitch(), 0u);
        EXPECT_EQ(GetSpeed(), 0u);
        EXPECT_EQ(GetVolume(), 0u);
        EXPECT_EQ(GetSpeechEngine(), "");
        EXPECT_EQ(GetSayWhat(), "");
        EXPECT_EQ(GetOnCallRun(), std::nullopt);
        EXPECT_EQ(GetAfterCallRun(), std::nullopt);
        EXPECT_EQ(GetOnCallParams(), "");
        EXPECT_EQ(GetAuth(), "????");
        EXPECT_EQ(GetSmsMessageHandler(), "19100");
        EXPECT_EQ(GetCellularPrefix(), "9");
        EXPECT_EQ(GetCallerNumber(), "");
        EXPECT_EQ(GetCallerCIP(), 1u);
        EXPECT_EQ(GetLookupApp(), "");
        EXPECT_EQ(GetHostPort(), 10001u);
        EXPECT_EQ(ReadMaxCalls(), 150u);
        EXPECT_EQ(GetLinePassword(1).state, LinePassword::State::Absent);
        EXPECT_EQ(GetRecordingDelay(0), 0u);
        EXPECT_EQ(GetMaxRecordingTime(0), 0u);
    }
}

TEST_F(SettingsStore, AdministratorsHiveFileIsReadAsWritten) {
    std::filesystem::copy_file(ORVELIN_SETTINGS_FIXTURE, hivePath_);
    const std::uint32_t options = GetOptions();
    EXPECT_EQ(options, 0x440du);
    EXPECT_TRUE(HasOption(options, OptionBits::PopupBanner));
    EXPECT_TRUE(HasOption(options, OptionBits::AnnounceCallers));
    EXPECT_FALSE(HasOption(options, OptionBits::LongDate));
    EXPECT_FALSE(UseALaw());
    EXPECT_EQ(GetCIPMask(1), 0x10012u);
    EXPECT_EQ(GetCIPMask(2), 0x12u);
    EXPECT_EQ(GetCIPMask(3), 0u);
    EXPECT_EQ(GetInfoMask(1), 0x19u);
    // "Discrete" 08,02: MSN 4 (bit 3 of the first byte) and MSN 10 (bit 1 of the second).
    for (int i = 0; i < 10; ++i) EXPECT_EQ(IsDiscreteMSN(i), i == 3 || i == 9) << i;
    const auto strip = GetStripSettings();
    ASSERT_TRUE(strip.has_value());
    EXPECT_EQ(strip->threshold, 7);
    EXPECT_EQ(strip->keepShort, 12);
    EXPECT_EQ(strip->keepLong, 4);
    EXPECT_EQ(GetPitch(), 100u);
    EXPECT_EQ(GetSpeed(), 170u);
    EXPECT_EQ(GetVolume(), 0x80008000u);
    EXPECT_EQ(GetSpeechEngine(), "English (Great Britain)");
    EXPECT_EQ(GetSayWhat(), "Call for \"Reception\" from");
    EXPECT_EQ(GetOnCallRun(), "/usr/local/bin/notify-desk");
    EXPECT_EQ(GetOnCallParams(), "!c \"!n\"");
    EXPECT_EQ(GetAfterCallRun(), "C:\\Programs\\after.exe");
    EXPECT_EQ(GetAfterCallParams(), "");
    EXPECT_EQ(GetAuth(), "4790001122;22334455");
    EXPECT_EQ(GetSmsMessageHandler(), "1999");
    EXPECT_EQ(GetCellularPrefix(), "4;9");
    EXPECT_EQ(GetCallerNumber(), "");
    EXPECT_EQ(GetHostPort(), 10002u);
    EXPECT_EQ(ReadMaxCalls(), 500u);
    const LinePassword pass3 = GetLinePassword(3);
    EXPECT_EQ(pass3.state, LinePassword::State::Set);
    EXPECT_TRUE(pass3.matches("geheim"));
    EXPECT_FALSE(pass3.matches("Geheim"));
    EXPECT_EQ(GetLinePassword(2).state, LinePassword::State::Absent);
    EXPECT_EQ(GetRecordingDelay(0), 15u);
    EXPECT_EQ(GetMaxRecordingTime(0), 180u);
    EXPECT_EQ(GetRecordingDelay(2), 0u);
    EXPECT_EQ(GetMaxRecordingTime(2), 60u);
    EXPECT_EQ(GetRecordingDelay(1), 0u);
}

TEST_F(SettingsStore, ValueNamesAreCaseInsensitive) {
    writeProductValues("\"options\"=dword:00000010\n\"HOSTPORT\"=dword:00000017\n");
    EXPECT_EQ(GetOptions(), OptionBits::LongDate);
    EXPECT_EQ(GetHostPort(), 23u);
}

TEST_F(SettingsStore, MalformedNumbersGiveTheirDefaults) {
    // A string where a DWORD belongs, a 2-byte "DWORD", a 64-bit number, binary of the wrong
    // size. (The hive itself refuses a REG_DWORD of other than four bytes.)
    writeProductValues(
        "\"HostPort\"=\"1\"\n"
        "\"Options\"=hex:04,00\n"
        "\"CIP Mask\"=hex(b):12,00,01,00,00,00,00,00\n"
        "\"Info Mask\"=hex:19,00,00\n"
        "\"Caller CIP\"=hex:02,00,00,00\n"
        "\"Speed\"=\"170\"\n");
    EXPECT_EQ(GetHostPort(), 10001u);
    EXPECT_EQ(GetOptions(), 0u);
    EXPECT_TRUE(UseALaw());
    EXPECT_EQ(GetCIPMask(1), 0x10012u);
    EXPECT_EQ(GetInfoMask(1), 1u);
    // Four bytes of binary are a number as good as a DWORD.
    EXPECT_EQ(GetCallerCIP(), 2u);
    EXPECT_EQ(GetSpeed(), 0u);
}

TEST_F(SettingsStore, MalformedStringsGiveTheirDefaults) {
    const std::string tooLongAuth(128, '1');  // fills the 128-byte buffer with no terminator
    writeProductValues("\"Auth\"=\"" + tooLongAuth + "\"\n" + "\"SayWhat\"=\"" +
                       std::string(700, 'a') + "\"\n" +
                       "\"SMS Message Handler\"=dword:00004ab4\n"
                       "\"Caller Number\"=\"" +
                       std::string(34, '5') + "\"\n" +
                       "\"Cellular Prefix\"=hex(1):34,3b,37\n"  // unterminated "4;7"
                       "\"LookupApp\"=hex(1):6c,6f,6f,6b,00\n"
                       "\"OnCallRun\"=\"" +
                       std::string(260, 'p') + "\"\n");
    EXPECT_EQ(GetAuth(), "????");
    EXPECT_EQ(GetSayWhat(), "");
    EXPECT_EQ(GetSmsMessageHandler(), "19100");
    // 34 bytes and the terminator fill the 35-byte field exactly.
    EXPECT_EQ(GetCallerNumber(), std::string(34, '5'));
    EXPECT_EQ(GetCellularPrefix(), "4;7");
    EXPECT_EQ(GetLookupApp(), "look");
    EXPECT_EQ(GetOnCallRun(), std::nullopt);
}

TEST_F(SettingsStore, EmptyAuthMeansNobody) {
    writeProductValues("\"Auth\"=\"\"\n");
    EXPECT_EQ(GetAuth(), "????");
}

TEST_F(SettingsStore, UnreadablePasswordKeepsTheLineLocked) {
    writeProductValues("\"Pass1\"=dword:00000001\n\"Pass2\"=\"" + std::string(64, 'x') +
                       "\"\n\"Pass4\"=\"\"\n");
    for (int index : {1, 2}) {
        const LinePassword pass = GetLinePassword(index);
        EXPECT_EQ(pass.state, LinePassword::State::Unreadable) << index;
        EXPECT_FALSE(pass.matches("")) << index;
        EXPECT_FALSE(pass.matches(std::string(64, 'x'))) << index;
    }
    // An empty password is a password: only the empty text matches it.
    EXPECT_EQ(GetLinePassword(4).state, LinePassword::State::Set);
    EXPECT_TRUE(GetLinePassword(4).matches(""));
}

TEST_F(SettingsStore, StripNeedsTheOptionBitAndExactlyThreeBytes) {
    writeProductValues("\"Options\"=dword:00000000\n\"Strip\"=hex:07,0c,04\n");
    EXPECT_EQ(GetStripSettings(), std::nullopt);

    // Short, long, text and missing values: numbers are left as they are.
    for (const char* strip : {"\"Strip\"=hex:07,0c\n", "\"Strip\"=hex:07\n", "\"Strip\"=hex:\n",
                              "\"Strip\"=hex:07,0c,04,01\n", "\"Strip\"=\"7,12,4\"\n", ""}) {
        writeProductValues(std::string("\"Options\"=dword:00000008\n") + strip);
        ASSERT_EQ(GetOptions(), OptionBits::StripNumbers) << "the hive did not parse: " << strip;
        EXPECT_EQ(GetStripSettings(), std::nullopt) << strip;
    }

    writeProductValues("\"Options\"=dword:00000008\n\"Strip\"=hex:07,0c,00\n");
    const auto strip = GetStripSettings();
    ASSERT_TRUE(strip.has_value());
    EXPECT_EQ(strip->threshold, 7);
    EXPECT_EQ(strip->keepShort, 12);
    EXPECT_EQ(strip->keepLong, 0);
}

TEST_F(SettingsStore, DiscreteNeedsExactlyTwoBytes) {
    for (const char* discrete : {"\"Discrete\"=hex:01\n", "\"Discrete\"=hex:01,00,00\n",
                                 "\"Discrete\"=dword:00000001\n", "\"Discrete\"=\"1\"\n"}) {
        writeProductValues(std::string("\"HostPort\"=dword:00000017\n") + discrete);
        ASSERT_EQ(GetHostPort(), 23u) << "the hive did not parse: " << discrete;
        EXPECT_FALSE(IsDiscreteMSN(0)) << discrete;
    }
    writeProductValues("\"Discrete\"=hex:ff,ff\n");
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(IsDiscreteMSN(i)) << i;
    // The six spare bits do not make indexes past 9 exist.
    for (int i : {-1, 10, 15, 16, 1000}) EXPECT_FALSE(IsDiscreteMSN(i)) << i;
}

TEST_F(SettingsStore, MaxCallsZeroAndHugeAreMadeUsable) {
    testing::CapturedLog log;
    writeProductValues("\"MaxCalls\"=dword:00000000\n");
    EXPECT_EQ(ReadMaxCalls(), kDefaultMaxCalls);
    EXPECT_EQ(log.take().size(), 1u);
    writeProductValues("\"MaxCalls\"=dword:ffffffff\n");
    EXPECT_EQ(ReadMaxCalls(), kMaxCallsLimit);
    EXPECT_EQ(log.take(),
              std::vector<std::string>{"MaxCalls 4294967295 is too large; using 100000"});
    writeProductValues("\"MaxCalls\"=dword:000186a1\n");  // 100,001
    EXPECT_EQ(ReadMaxCalls(), kMaxCallsLimit);
    writeProductValues("\"MaxCalls\"=dword:000186a0\n");  // 100,000
    EXPECT_EQ(ReadMaxCalls(), 100000u);
    writeProductValues("\"MaxCalls\"=dword:00000001\n");
    EXPECT_EQ(ReadMaxCalls(), 1u);
    log.take();
    writeProductValues("\"MaxCalls\"=dword:00000096\n");
    EXPECT_EQ(ReadMaxCalls(), 150u);
    EXPECT_TRUE(log.take().empty());
    writeProductValues("\"MaxCalls\"=\"300\"\n");
    EXPECT_EQ(ReadMaxCalls(), kDefaultMaxCalls);
}

// Each test runs in a process of its own, so this is the process's first read.
TEST_F(SettingsStore, MaxCallsIsFixedForTheLifeOfTheProcess) {
    writeProductValues("\"MaxCalls\"=dword:00000020\n");
    EXPECT_EQ(GetMaxCalls(), 32u);
    writeProductValues("\"MaxCalls\"=dword:00000040\n");
    EXPECT_EQ(GetMaxCalls(), 32u);
    EXPECT_EQ(ReadMaxCalls(), 64u);
}

TEST_F(SettingsStore, RecordingTimesFromHugeOrNonNumericText) {
    const std::string section = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\";
    writeHive(std::string(testing::kHeader) + section + "Recording delay]\n" +
              "\"MSN1\"=\"9999999\"\n"
              "\"MSN2\"=\"abc\"\n"
              "\"MSN3\"=\"-20\"\n"
              "\"MSN4\"=\"12.5\"\n"
              "\"MSN5\"=dword:0000000f\n"
              "\"MSN6\"=\"" +
              std::string(64, '1') +
              "\"\n"
              "\"MSN0\"=\"7\"\n"
              "\"MSN11\"=\"7\"\n"
              "\"MSN7\"=\" 30\"\n\n" +
              section + "Max recording time]\n" +
              "\"MSN1\"=\"99999999999999999999\"\n"
              "\"MSN2\"=\"\"\n"
              "\"MSN3\"=\"262143\"\n"
              "\"MSN4\"=\"4294967296\"\n");
    EXPECT_EQ(GetRecordingDelay(0), kMaxRecordingDelay);
    EXPECT_EQ(GetRecordingDelay(1), 0u);
    EXPECT_EQ(GetRecordingDelay(2), 0u);
    EXPECT_EQ(GetRecordingDelay(3), 12u);
    EXPECT_EQ(GetRecordingDelay(4), 0u);  // a number is not decimal text
    EXPECT_EQ(GetRecordingDelay(5), 0u);  // too long for its 64-byte buffer
    EXPECT_EQ(GetRecordingDelay(6), 30u);
    EXPECT_EQ(GetRecordingDelay(-1), 0u);  // would read "MSN0"
    EXPECT_EQ(GetRecordingDelay(10), 0u);  // would read "MSN11"
    EXPECT_EQ(GetMaxRecordingTime(0), kMaxRecordingTimeLimit);
    EXPECT_EQ(GetMaxRecordingTime(1), 0u);
    EXPECT_EQ(GetMaxRecordingTime(2), 262143u);
    EXPECT_EQ(GetMaxRecordingTime(3), kMaxRecordingTimeLimit);
    EXPECT_EQ(GetMaxRecordingTime(9), 0u);
    // The callers shift these left; the largest values must stay positive as int32.
    EXPECT_GT(static_cast<std::int32_t>(kMaxRecordingDelay << 10), 0);
    EXPECT_GT(static_cast<std::int32_t>(kMaxRecordingTimeLimit << 13), 0);
}

TEST_F(SettingsStore, StartUpCreatesTheProductAndCallersKeys) {
    // A fresh machine: no hive file yet.
    ASSERT_FALSE(std::filesystem::exists(hivePath_));
    ASSERT_TRUE(EnsureSettingsKeys());
    const std::string hive = readHive();
    EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]"), std::string::npos) << hive;
    EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\Callers]"), std::string::npos)
        << hive;
    // Existing values survive the second start.
    ASSERT_TRUE(SetOptions(OptionBits::LongDate));
    ASSERT_TRUE(EnsureSettingsKeys());
    EXPECT_EQ(GetOptions(), OptionBits::LongDate);
}

TEST_F(SettingsStore, SetOptionsWritesTheWholeValue) {
    writeProductValues("\"Options\"=\"not a number\"\n\"HostPort\"=dword:00000017\n");
    EXPECT_EQ(GetOptions(), 0u);
    ASSERT_TRUE(SetOptions(OptionBits::MuLaw | OptionBits::LongDate));
    EXPECT_EQ(GetOptions(), OptionBits::MuLaw | OptionBits::LongDate);
    EXPECT_FALSE(UseALaw());
    EXPECT_EQ(ChangeOptions(OptionBits::ToolButtonDown, OptionBits::MuLaw),
              OptionBits::ToolButtonDown | OptionBits::LongDate);
    EXPECT_EQ(GetOptions(), OptionBits::ToolButtonDown | OptionBits::LongDate);
    EXPECT_EQ(GetHostPort(), 23u);
}

TEST_F(SettingsStore, MalformedHiveIsNeitherReadNorOverwritten) {
    const std::string broken = std::string(testing::kHeader) + testing::kProductSection +
                               "\"Options\"=dword:00000010\n[HKEY_LOCAL_MACHINE\\SOFT";
    writeHive(broken);
    EXPECT_EQ(GetOptions(), 0u);
    EXPECT_FALSE(SetOptions(OptionBits::LongDate));
    EXPECT_EQ(ChangeOptions(OptionBits::LongDate, 0), std::nullopt);
    EXPECT_FALSE(EnsureSettingsKeys());
    EXPECT_EQ(readHive(), broken);
}

TEST_F(SettingsStore, ConcurrentOptionBitChangesLoseNone) {
    writeProductValues("\"Options\"=dword:00000000\n");
    // Each thread owns some bits and toggles them many times, ending with them set; a
    // read-then-write in two steps would drop other threads' bits.
    constexpr int kThreads = 8;
    constexpr int kRounds = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::uint32_t mine = 1u << t | 1u << (t + 16);
            for (int round = 0; round < kRounds; ++round) {
                ASSERT_TRUE(ChangeOptions(0, mine).has_value());
                ASSERT_TRUE(ChangeOptions(mine, 0).has_value());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(GetOptions(), 0x00FF00FFu);
}

}  // namespace
}  // namespace orvelin::settings
