// Caller lookup against a hand-written hive, the caller rule and its time window.
#include "settings/caller_lookup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry.h"

namespace orvelin::settings {
namespace {

std::string fixtureText() {
    std::ifstream in(CALLERS_FIXTURE, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CallerLookupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const platform::RegResult r = platform::parseHive(fixtureText(), root_);
        ASSERT_TRUE(r.ok()) << r.message;
        callers_ = root_.subkey(kCallersKey);
        ASSERT_NE(callers_, nullptr);
    }
    CallerLookup lookup(std::string_view number, bool restricted = false, int line = 1,
                        const PhoneBookSearch& book = {}) {
        return lookupCaller(callers_, number, restricted, line, book);
    }

    platform::RegNode root_;
    platform::RegNode* callers_ = nullptr;
};

TEST_F(CallerLookupTest, ExactKeyWinsOverWildcardsOfTheSameLength) {
    auto r = lookup("0301234567");
    EXPECT_EQ(r.name, "Exact Caller");
    EXPECT_EQ(r.matchedKey, "0301234567");
    EXPECT_FALSE(r.unlisted);
    EXPECT_EQ(r.rule, 0u);

    r = lookup("0301234568");  // last digit differs: one '?'
    EXPECT_EQ(r.name, "Wildcard One");
    EXPECT_EQ(r.matchedKey, "030123456?");
    EXPECT_EQ(r.settings().mode, static_cast<std::uint32_t>(CallerMode::RejectAlways));

    r = lookup("0301234578");  // the last two differ
    EXPECT_EQ(r.name, "Wildcard Two");
    EXPECT_EQ(r.matchedKey, "03012345??");

    // A wildcard key matches only numbers of its own length.
    for (std::string_view other : {"030123456", "03012345678", "1301234567"}) {
        r = lookup(other);
        EXPECT_TRUE(r.unlisted) << other;
        EXPECT_EQ(r.matchedKey, "Unlisted");
    }
}

TEST_F(CallerLookupTest, KeyWithoutReadableNameNeverMatches) {
    for (std::string_view number : {"0401111", "0407777"}) {
        const auto r = lookup(number);
        EXPECT_TRUE(r.unlisted) << number;
        EXPECT_EQ(r.matchedKey, "Unlisted");
        EXPECT_EQ(r.name, "");
        // The values come from "Unlisted" (mode 5), not from the nameless key (mode 2).
        EXPECT_EQ(r.settings().mode, static_cast<std::uint32_t>(CallerMode::NeverAnswer));
        EXPECT_TRUE(r.launch.launch);
        EXPECT_EQ(r.launch.atCall, "/usr/bin/unlisted");
    }
}

TEST_F(CallerLookupTest, PseudoCallersForMissingNumbers) {
    auto r = lookup("", /*restricted=*/false);
    EXPECT_EQ(r.matchedKey, "Unknown");
    EXPECT_EQ(r.name, "No Number");
    EXPECT_FALSE(r.unlisted);
    r = lookup("", /*restricted=*/true);
    EXPECT_EQ(r.matchedKey, "Restricted");
    EXPECT_EQ(r.name, "Withheld");
    EXPECT_EQ(r.settings().mode, static_cast<std::uint32_t>(CallerMode::AnswerAlways));

    // Without a "Restricted" key the case falls to "Unlisted".
    ASSERT_TRUE(callers_->deleteSubkey("Restricted").ok());
    r = lookup("", true);
    EXPECT_EQ(r.matchedKey, "Unlisted");
    EXPECT_TRUE(r.unlisted);
}

TEST_F(CallerLookupTest, RejectInPeriodAcrossMidnight) {
    const auto s = lookup("0402222", false, /*line=*/2).settings();
    EXPECT_EQ(s.mode, static_cast<std::uint32_t>(CallerMode::RejectInPeriod));
    EXPECT_EQ(s.periodStart, 2200u);
    EXPECT_EQ(s.periodEnd, 600u);
    EXPECT_TRUE(s.rejectsAt(23 * 60));
    EXPECT_TRUE(s.rejectsAt(5 * 60 + 59));
    EXPECT_FALSE(s.rejectsAt(6 * 60));
    EXPECT_FALSE(s.rejectsAt(12 * 60));
    EXPECT_TRUE(s.rejectsAt(22 * 60));
    EXPECT_FALSE(s.rejectsAt(21 * 60 + 59));
    EXPECT_FALSE(s.answersAt(23 * 60));
}

TEST_F(CallerLookupTest, PassthroughLiftsTheRuleOnListedLinesOnly) {
    EXPECT_EQ(lookup("0402222", false, 1).rule, 0u);
    EXPECT_EQ(lookup("0402222", false, 3).rule, 0u);
    EXPECT_EQ(lookup("0402222", false, 2).rule, 0x12580898u);
    EXPECT_EQ(lookup("0402222", false, 13).rule, 0x12580898u);  // ";13;" is not listed
    EXPECT_EQ(lookup("0402222", false, 10).rule, 0x12580898u);
}

TEST_F(CallerLookupTest, AnswerInPeriodAndPersonalValues) {
    const auto r = lookup("0403333");
    const auto s = r.settings();
    EXPECT_TRUE(s.answersAt(23 * 60));
    EXPECT_FALSE(s.answersAt(12 * 60));
    EXPECT_FALSE(s.rejectsAt(23 * 60));
    EXPECT_TRUE(r.personalMsg);  // one binary byte
    EXPECT_TRUE(r.noVoiceMessage);
    EXPECT_FALSE(r.noFax());
}

TEST_F(CallerLookupTest, LaunchValues) {
    auto r = lookup("0404444");
    EXPECT_TRUE(r.launch.launch);
    EXPECT_EQ(r.launch.launchLine, 255);
    EXPECT_EQ(r.launch.launchCip, 0x10002u);
    EXPECT_EQ(r.launch.atCall, "/usr/bin/notify-call");
    EXPECT_EQ(r.launch.atCallParam, "!c \"!n\"");
    EXPECT_EQ(r.launch.atClear, "/usr/bin/after-call");
    EXPECT_EQ(r.launch.atClearParam, "!f");
    EXPECT_EQ(r.launch.waitAtCall, 1000u);
    EXPECT_EQ(r.launch.waitAtClear, 2000u);

    // "Launch" written as 0 by the caller form: no program, nothing else read.
    r = lookup("0405555");
    EXPECT_FALSE(r.launch.launch);
    EXPECT_EQ(r.launch.atCall, "");
    EXPECT_TRUE(r.personalMsg);  // a DWORD this time

    // No "Launch" at all.
    r = lookup("0301234567");
    EXPECT_FALSE(r.launch.launch);
}

TEST_F(CallerLookupTest, LongNameIsCutAtCharacterBoundaryAndStillMatches) {
    const auto r = lookup("0406666");
    EXPECT_FALSE(r.unlisted);
    EXPECT_EQ(r.name.size(), 48u);  // the two-byte character across byte 49 is left out whole
    EXPECT_EQ(r.name.substr(0, 9), "Franziska");
    EXPECT_TRUE(r.noFax());
    EXPECT_EQ(r.settings().mode, 0u);
}

TEST_F(CallerLookupTest, ValuesOfWrongSizeTakeTheirDefaults) {
    const auto r = lookup("0408888");
    EXPECT_EQ(r.name, "Odd Sizes");
    EXPECT_EQ(r.rule, 0u);
    EXPECT_FALSE(r.personalMsg);
}

TEST_F(CallerLookupTest, CraftedNumbersCannotReachOtherKeys) {
    // Each of these would name another key if it were used as a key path.
    const std::string nul("0301234567\0", 11);
    for (std::string_view number :
         {std::string_view("..\\Secret"), std::string_view("\\Secret"),
          std::string_view("0301234567\\"), std::string_view("Callers/../Secret"),
          std::string_view(".0301234567"), std::string_view(nul),
          std::string_view("0301\n234567")}) {
        const auto r = lookup(number);
        EXPECT_TRUE(r.unlisted) << number;
        EXPECT_NE(r.name, "Secret");
        EXPECT_NE(r.name, "Exact Caller");
    }
    EXPECT_FALSE(isSafeCallerKey(""));
    EXPECT_TRUE(isSafeCallerKey("+49 30 1234#"));
}

TEST_F(CallerLookupTest, PhoneBookIsAskedOnlyWhenNoKeyMatched) {
    std::vector<std::string> asked;
    PhoneBookSearch book = [&](std::string_view number) -> std::optional<PhoneBookEntry> {
        asked.emplace_back(number);
        if (number != "0999") return std::nullopt;
        PhoneBookEntry e;
        e.name = "Book Caller                                       ";
        e.reject = 0x1FFFFFFFFLL;  // wider than 32 bits: the low 32 bits count
        e.rejectFax = true;
        e.personalMsg = true;
        return e;
    };

    auto r = lookup("0301234567", false, 1, book);
    EXPECT_TRUE(asked.empty());

    r = lookup("", false, 1, book);  // "Unknown" matched anyway
    r = lookup("", true, 1, book);
    EXPECT_TRUE(asked.empty());
    ASSERT_TRUE(callers_->deleteSubkey("Unknown").ok());
    r = lookup("", false, 1, book);  // withheld: never searched, would match any record
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(r.matchedKey, "Unlisted");

    r = lookup("0999", false, 1, book);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(r.name, "Book Caller");
    EXPECT_TRUE(r.unlisted);  // stays set although the book named the caller
    EXPECT_EQ(r.matchedKey, "Unlisted");
    EXPECT_EQ(r.rule, 0xFFFFFFFFu);
    EXPECT_TRUE(r.noFax());
    EXPECT_TRUE(r.personalMsg);
    EXPECT_FALSE(r.noVoiceMessage);
    EXPECT_EQ(r.launch.atCall, "/usr/bin/unlisted");  // launch values from "Unlisted"

    r = lookup("0888", false, 1, book);  // not in the book: everything from "Unlisted"
    EXPECT_EQ(r.rule, 0x50000000u);

    PhoneBookSearch negative = [](std::string_view) -> std::optional<PhoneBookEntry> {
        PhoneBookEntry e;
        e.reject = -1;
        return e;
    };
    EXPECT_EQ(lookup("0777", false, 1, negative).rule, 0xFFFFFFFFu);
}

// A private directory below ORVELIN_TEST_TMP, removed with the test.
struct ScratchDir {
    ScratchDir() {
        const char* base = std::getenv("ORVELIN_TEST_TMP");
        std::filesystem::path root = base && *base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string tmpl = (root / "callers-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
};

TEST(CallerLookupHive, ReadsTheHiveFileAndCopesWithoutCallers) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::filesystem::path hivePath = dir.path / "orvelin.reg";
    std::filesystem::copy_file(CALLERS_FIXTURE, hivePath);

    const platform::Hive hive(hivePath.string());
    auto r = lookupCaller(hive, "0301234568", false, 1);
    EXPECT_EQ(r.name, "Wildcard One");

    const platform::Hive empty((dir.path / "none.reg").string());
    r = lookupCaller(empty, "0301234568", true, 1);
    EXPECT_TRUE(r.unlisted);
    EXPECT_EQ(r.matchedKey, "Unlisted");
    EXPECT_EQ(r.name, "");
    EXPECT_EQ(r.rule, 0u);
    EXPECT_FALSE(r.launch.launch);
}

TEST(CallerRule, DecodeAndModeNames) {
    const auto s = CallerSettings::decode(0xB2580898u);
    EXPECT_EQ(s.periodStart, 2200u);
    EXPECT_EQ(s.periodEnd, 600u);
    EXPECT_EQ(s.mode, 3u);
    EXPECT_TRUE(s.noFax);
    EXPECT_EQ(s.encode(), 0xB2580898u);
    EXPECT_EQ(callerModeName(0), "Normal action");
    EXPECT_EQ(callerModeName(1), "Reject in time period");
    EXPECT_EQ(callerModeName(2), "Reject always");
    EXPECT_EQ(callerModeName(3), "Answer in time period");
    EXPECT_EQ(callerModeName(4), "Answer always");
    EXPECT_EQ(callerModeName(5), "Never answer");
    EXPECT_EQ(callerModeName(6), "");
    EXPECT_EQ(callerModeName(7), "");
    // Modes 0, 5, 6 and 7 neither reject nor answer by rule.
    for (std::uint32_t mode : {0u, 5u, 6u, 7u}) {
        const auto m = CallerSettings::decode(mode << 28);
        EXPECT_FALSE(m.rejectsAt(600)) << mode;
        EXPECT_FALSE(m.answersAt(600)) << mode;
    }
    EXPECT_TRUE(CallerSettings::decode(2u << 28).rejectsAt(0));
    EXPECT_TRUE(CallerSettings::decode(4u << 28).answersAt(0));
}

TEST(CallerRule, TimeWindowComparesMinutesWithMinutes) {
    EXPECT_EQ(hhmmToMinutes(2230), 22 * 60 + 30);
    EXPECT_EQ(hhmmToMinutes(0), 0);
    // 01:00 to 01:30 holds 01:15 (75 minutes); comparing 75 with 100..130 would miss it.
    EXPECT_TRUE(inTimePeriod(100, 130, 75));
    EXPECT_FALSE(inTimePeriod(100, 130, 90));
    EXPECT_FALSE(inTimePeriod(100, 130, 59));
    // Start before end: start <= t < end.
    EXPECT_TRUE(inTimePeriod(800, 1700, 8 * 60));
    EXPECT_FALSE(inTimePeriod(800, 1700, 17 * 60));
    // Equal limits cover the whole day.
    for (int t : {0, 1, 719, 1439}) EXPECT_TRUE(inTimePeriod(1200, 1200, t)) << t;
    EXPECT_TRUE(inTimePeriod(0, 0, 0));
}

TEST(CallerLookupFiles, PersonalGreetingStaysInItsFolder) {
    EXPECT_EQ(personalGreetingPath("/home/u/.local/share/orvelin/", "0301234567"),
              "/home/u/.local/share/orvelin/Answer/0301234567.wav");
    EXPECT_EQ(personalGreetingPath("/d/", "030123456?"), "/d/Answer/030123456_.wav");
    EXPECT_EQ(personalGreetingPath("/d/", "Unlisted"), "/d/Answer/Unlisted.wav");
    EXPECT_EQ(personalGreetingPath("/d/", "../../etc/x"), "/d/Answer/_._.._etc_x.wav");
    EXPECT_EQ(personalGreetingPath("/d/", "..\\x"), "/d/Answer/_._x.wav");
}

TEST(CallerRule, PassthroughParsing) {
    EXPECT_TRUE(passthroughListsLine("1;3", 1));
    EXPECT_TRUE(passthroughListsLine("1;3", 3));
    EXPECT_FALSE(passthroughListsLine("1;3", 2));
    EXPECT_FALSE(passthroughListsLine("11;3", 1));
    EXPECT_TRUE(passthroughListsLine(";10;", 10));
    EXPECT_FALSE(passthroughListsLine("", 1));
}

}  // namespace
}  // namespace orvelin::settings
