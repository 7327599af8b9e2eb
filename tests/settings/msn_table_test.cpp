// The MSN table: loading from the hive, reloads after edits, index bounds, and the snapshot
// read from another thread while the window thread reloads.
#include "settings/msn_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "settings_test_hive.h"

namespace orvelin::settings {
namespace {

using testing::HiveTest;

const std::string kMSN = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN]\n";
const std::string kNumbers = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\n";
const std::string kNames = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Names]\n";

class MSNTableTest : public HiveTest {};

TEST_F(MSNTableTest, StartsEmptyBeforeTheFirstLoad) {
    const auto table = CurrentMSNTable();
    ASSERT_NE(table, nullptr);
    for (const MSNEntry& e : table->entries) {
        EXPECT_EQ(e.number, "");
        EXPECT_FALSE(e.fax || e.log || e.popup || e.answer);
    }
    // An empty called number never matches an unconfigured entry.
    EXPECT_EQ(FindMSNIndex(""), -1);
}

TEST_F(MSNTableTest, AdministratorsHiveFileIsLoaded) {
    std::filesystem::copy_file(ORVELIN_SETTINGS_FIXTURE, hivePath_);
    LoadMSNSettings(/*faxCapable=*/true);
    EXPECT_EQ(FindMSNIndex("3012345"), 0);
    EXPECT_EQ(FindMSNIndex("3012347"), 2);
    EXPECT_EQ(FindMSNIndex("3012399"), 9);
    EXPECT_EQ(FindMSNIndex("301234"), -1);  // whole text only
    EXPECT_EQ(FindMSNIndex("30123450"), -1);
    EXPECT_EQ(FindMSNIndex(""), -1);  // MSN 4 to 9 are empty
    EXPECT_EQ(GetMSNNumber(9), "3012399");
    EXPECT_EQ(GetMSNName(0), "Front desk");
    EXPECT_EQ(GetMSNName(2), "B\xC3\xBCro \xC3\x84rztin");
    EXPECT_EQ(GetMSNName(4), "");
    // Fax 02,00; Log ff,03; Popup 01,02; Answer 05,00.
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(IsFaxMSN(i), i == 1);
        EXPECT_TRUE(IsLogMSN(i));
        EXPECT_EQ(IsPopupMSN(i), i == 0 || i == 9);
        EXPECT_EQ(IsAnswerMSN(i), i == 0 || i == 2);
    }
}

TEST_F(MSNTableTest, NoFaxWithoutAFaxCapableController) {
    writeHive(std::string(testing::kHeader) + kMSN + "\"Fax Setting\"=hex:ff,03\n");
    LoadMSNSettings(/*faxCapable=*/false);
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(IsFaxMSN(i)) << i;
    ReloadMSNSettings(/*faxCapable=*/true);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(IsFaxMSN(i)) << i;
}

TEST_F(MSNTableTest, IndexesOutsideTheTableGiveNothing) {
    writeHive(std::string(testing::kHeader) + kMSN +
              "\"Log Settings\"=hex:ff,ff\n\"Answer Settings\"=hex:ff,ff\n"
              "\"Popup Settings\"=hex:ff,ff\n\"Fax Setting\"=hex:ff,ff\n" +
              kNumbers + "\"MSN1\"=\"111\"\n\"MSN0\"=\"000\"\n\"MSN11\"=\"1111\"\n");
    LoadMSNSettings(true);
    for (int i : {-1, 10, 11, 16, -2147483647 - 1, 2147483647}) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(IsFaxMSN(i));
        EXPECT_FALSE(IsLogMSN(i));
        EXPECT_FALSE(IsPopupMSN(i));
        EXPECT_FALSE(IsAnswerMSN(i));
        EXPECT_EQ(GetMSNNumber(i), "");
        EXPECT_EQ(GetMSNName(i), "");
        EXPECT_EQ(CurrentMSNTable()->entry(i), nullptr);
    }
    // Values named past the ten MSNs are not entries.
    EXPECT_EQ(FindMSNIndex("000"), -1);
    EXPECT_EQ(FindMSNIndex("1111"), -1);
    EXPECT_EQ(FindMSNIndex("111"), 0);
}

TEST_F(MSNTableTest, MalformedMasksAndTextsAreNotTakenInPart) {
    const std::string longName = std::string(23, 'n') + "\xC3\x84" + "x";  // cut inside 'Ä'
    writeHive(std::string(testing::kHeader) + kMSN +
              "\"Log Settings\"=hex:ff\n"             // one byte
              "\"Popup Settings\"=hex:ff,03,00\n"     // three bytes
              "\"Answer Settings\"=dword:000003ff\n"  // a DWORD is four bytes
              "\"Fax Setting\"=\"3\"\n" +
              kNumbers +
              "\"MSN1\"=\"1234567890123\"\n"   // 13 bytes: fits
              "\"MSN2\"=\"12345678901234\"\n"  // 14 bytes: would be cut to another number
              "\"MSN3\"=dword:00000001\n"
              "\"MSN4\"=hex(1):35,35,35\n" +  // unterminated
              kNames +
              "\"MSN1\"=\"" + longName +
              "\"\n"
              "\"MSN2\"=\"" +
              std::string(24, 'y') + "\"\n");
    testing::CapturedLog log;
    LoadMSNSettings(true);
    // The numbers that could not be taken are reported, one line each.
    EXPECT_EQ(log.take().size(), 2u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(IsLogMSN(i) || IsPopupMSN(i) || IsAnswerMSN(i) || IsFaxMSN(i)) << i;
    }
    EXPECT_EQ(GetMSNNumber(0), "1234567890123");
    EXPECT_EQ(GetMSNNumber(1), "");
    EXPECT_EQ(FindMSNIndex("1234567890123"), 0);
    EXPECT_EQ(FindMSNIndex("12345678901234"), -1);
    EXPECT_EQ(GetMSNNumber(2), "");
    EXPECT_EQ(GetMSNNumber(3), "555");
    EXPECT_EQ(GetMSNName(0), std::string(23, 'n'));
    EXPECT_EQ(GetMSNName(1), std::string(24, 'y'));
}

TEST_F(MSNTableTest, ReloadAfterValuesWereDeletedForgetsThem) {
    writeHive(std::string(testing::kHeader) + kMSN +
              "\"Answer Settings\"=hex:03,00\n\"Log Settings\"=hex:01,00\n" + kNumbers +
              "\"MSN1\"=\"555100\"\n\"MSN2\"=\"555200\"\n" + kNames + "\"MSN1\"=\"Home\"\n");
    LoadMSNSettings(false);
    ASSERT_EQ(FindMSNIndex("555200"), 1);
    ASSERT_TRUE(IsAnswerMSN(1));

    // The number dialog removed MSN 2 and the answer mask; the name of MSN 1 went too.
    writeHive(std::string(testing::kHeader) + kMSN + "\"Log Settings\"=hex:01,00\n" + kNumbers +
              "\"MSN1\"=\"555100\"\n" + kNames);
    ReloadMSNSettings(false);
    EXPECT_EQ(FindMSNIndex("555200"), -1);
    EXPECT_EQ(GetMSNNumber(1), "");
    EXPECT_FALSE(IsAnswerMSN(0));
    EXPECT_FALSE(IsAnswerMSN(1));
    EXPECT_TRUE(IsLogMSN(0));
    EXPECT_EQ(FindMSNIndex("555100"), 0);
    EXPECT_EQ(GetMSNName(0), "");

    // The whole MSN key deleted: nothing is configured any more.
    writeHive(testing::kHeader);
    ReloadMSNSettings(false);
    EXPECT_EQ(FindMSNIndex("555100"), -1);
    EXPECT_FALSE(IsLogMSN(0));
}

TEST_F(MSNTableTest, SnapshotReadWhileReloading) {
    // Two hive states whose entries are each consistent: every number i in state A is
    // "A<i>" named "alpha<i>" and logged; in state B "B<i>", "beta<i>", not logged.
    auto state = [](const std::string& tag, const std::string& name, const char* log) {
        std::string text =
            std::string(testing::kHeader) + kMSN + "\"Log Settings\"=hex:" + log + "\n" + kNumbers;
        for (int i = 1; i <= 10; ++i) {
            text += "\"MSN" + std::to_string(i) + "\"=\"" + tag + std::to_string(i) + "\"\n";
        }
        text += kNames;
        for (int i = 1; i <= 10; ++i) {
            text += "\"MSN" + std::to_string(i) + "\"=\"" + name + std::to_string(i) + "\"\n";
        }
        return text;
    };
    const std::string a = state("A", "alpha", "ff,03");
    const std::string b = state("B", "beta", "00,00");
    const auto tableA = [&] {
        writeHive(a);
        return ReadMSNTable(false);
    }();
    const auto tableB = [&] {
        writeHive(b);
        return ReadMSNTable(false);
    }();

    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const auto table = CurrentMSNTable();
            const bool isA = table->entries[0].number == "A1";
            const bool isB = table->entries[0].number == "B1";
            const bool isEmpty = table->entries[0].number.empty();
            for (int i = 0; i < kMSNCount; ++i) {
                const MSNEntry& e = table->entries[static_cast<std::size_t>(i)];
                const std::string n = std::to_string(i + 1);
                const bool ok = (isA && e.number == "A" + n && e.name == "alpha" + n && e.log) ||
                                (isB && e.number == "B" + n && e.name == "beta" + n && !e.log) ||
                                (isEmpty && e.number.empty() && !e.log);
                if (!ok) mixed.fetch_add(1);
            }
            // The free accessors take their own snapshot each; they must never crash.
            (void)FindMSNIndex("A5");
            (void)GetMSNName(4);
            reads.fetch_add(1);
        }
    });
    for (int round = 0; round < 200; ++round) {
        writeHive(round % 2 ? b : a);
        ReloadMSNSettings(false);
    }
    // Let the reader see at least one published table before it stops.
    while (reads.load() < 10) std::this_thread::yield();
    stop.store(true);
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(CurrentMSNTable()->entries[0].number, "B1");
    EXPECT_EQ(tableA.entries[9].name, "alpha10");
    EXPECT_EQ(tableB.entries[9].number, "B10");
}

}  // namespace
}  // namespace orvelin::settings
