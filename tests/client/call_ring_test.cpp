#include "client/call_ring.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <utility>

#include "tests/client/test_dir.h"

namespace orvelin::client {
namespace {

namespace fs = std::filesystem;
using test::TestDir;
using test::touch;

TEST(CallRing, TakesSlotsInOrderAndWrapsTheHead) {
    TestDir dir;
    CallRing ring(3);
    EXPECT_EQ(ring.head(), 0u);
    TCallRecord& a = ring.takeNew(test::arrivalAt(1000), {}, dir.path());
    EXPECT_EQ(&a, &ring.at(0));
    EXPECT_EQ(a.id, 1000u);  // the first id is the arrival time in seconds
    EXPECT_EQ(a.arrivalSeconds, 1000u);
    EXPECT_EQ(a.arrival.day, 8);
    ring.takeNew(test::arrivalAt(1000), {}, dir.path());
    ring.takeNew(test::arrivalAt(1001), {}, dir.path());
    EXPECT_EQ(ring.head(), 0u);
    EXPECT_EQ(ring.at(1).id, 1001u);
    EXPECT_EQ(ring.at(2).id, 1002u);  // counted up, not taken from the clock

    // Walk from head + 1 to head - 1: the head slot (oldest) is left out.
    EXPECT_EQ(ring.walkOrder(), (std::vector<std::uint32_t>{1, 2}));

    TCallRecord& d = ring.takeNew(test::arrivalAt(1005), {}, dir.path());
    EXPECT_EQ(&d, &ring.at(0));
    EXPECT_EQ(d.id, 1003u);
    EXPECT_EQ(ring.head(), 1u);
    EXPECT_EQ(ring.walkOrder(), (std::vector<std::uint32_t>{2, 0}));
}

TEST(CallRing, TakenSlotIsZeroed) {
    TestDir dir;
    CallRing ring(1);
    TCallRecord& r = ring.takeNew(test::arrivalAt(50), {}, dir.path());
    r.state = 6;
    r.count = 9;
    r.comment.assign("old");
    r.flags = 0xFFFF0003;
    TCallRecord& again = ring.takeNew(test::arrivalAt(60), {}, dir.path());
    EXPECT_EQ(again.state, 0u);
    EXPECT_EQ(again.count, 0u);
    EXPECT_TRUE(again.comment.empty());
    EXPECT_EQ(again.flags, 0u);
    EXPECT_EQ(again.id, 51u);
}

TEST(CallRing, FindByIdNeverMatchesZero) {
    TestDir dir;
    CallRing ring(4);
    ring.takeNew(test::arrivalAt(7), {}, dir.path());
    EXPECT_EQ(ring.findIndex(7), 0);
    EXPECT_EQ(ring.find(7), &ring.at(0));
    EXPECT_EQ(ring.findIndex(0), -1);  // empty slots carry id 0
    EXPECT_EQ(ring.find(0), nullptr);
    EXPECT_EQ(ring.findIndex(8), -1);
}

// Records moved away from the slot their id was taken in (a removed row closes the
// gap, a file was loaded) are still found, and only where they are.
TEST(CallRing, FindByIdAfterRecordsMoved) {
    TestDir dir;
    CallRing ring(5);
    for (int i = 0; i < 7; ++i) ring.takeNew(test::arrivalAt(100), {}, dir.path());  // ids 100..106
    for (std::uint32_t id = 102; id <= 106; ++id) EXPECT_EQ(ring.find(id)->id, id);
    EXPECT_EQ(ring.findIndex(101), -1);  // overwritten
    EXPECT_EQ(ring.findIndex(107), -1);  // not yet taken

    std::swap(ring.at(0), ring.at(3));  // 105 <-> 103
    ring.at(4).id = 0;                  // 104 removed
    EXPECT_EQ(ring.findIndex(105), 3);
    EXPECT_EQ(ring.findIndex(103), 0);
    EXPECT_EQ(ring.findIndex(104), -1);
    EXPECT_EQ(ring.findIndex(106), 1);

    std::vector<TCallRecord> loaded(5);
    loaded[2].id = 9000;
    loaded[4].id = 40;  // newest by position, yet older
    ASSERT_TRUE(ring.replace(0, std::move(loaded)));
    EXPECT_EQ(ring.findIndex(9000), 2);
    EXPECT_EQ(ring.findIndex(40), 4);
}

TEST(CallRing, IdsDoNotRepeatAfterQuickRestart) {
    TestDir dir;
    // The last run handed out ids up to 5009 within the same few seconds.
    std::vector<TCallRecord> loaded(4);
    loaded[0].id = 5007;
    loaded[1].id = 5009;
    loaded[2].id = 5008;
    CallRing ring(4);
    ASSERT_TRUE(ring.replace(3, loaded));
    std::set<std::uint32_t> ids = {5007, 5008, 5009};
    const TCallRecord& r = ring.takeNew(test::arrivalAt(5003), {}, dir.path());
    EXPECT_EQ(r.id, 5010u);
    for (int i = 0; i < 10; ++i) {
        const std::uint32_t id = ring.takeNew(test::arrivalAt(5003), {}, dir.path()).id;
        EXPECT_TRUE(ids.insert(id).second) << id;
    }
}

TEST(CallRing, IdCounterSkipsZeroWhenItWraps) {
    TestDir dir;
    // Past the top the count starts at 1 again, and steps over ids a damaged
    // file left in the ring.
    const struct {
        std::vector<std::uint32_t> loaded;
        std::uint32_t head;
        std::vector<std::uint32_t> handedOut;
    } cases[] = {
        {{0xFFFFFFFFu, 0}, 1, {1, 2}},
        {{0xFFFFFFFFu, 1, 3, 0}, 3, {2, 4, 5}},
        {{1, 0xFFFFFFFEu, 2}, 0, {0xFFFFFFFFu, 1, 3}},
    };
    for (const auto& c : cases) {
        std::vector<TCallRecord> loaded(c.loaded.size());
        for (std::size_t i = 0; i < loaded.size(); ++i) loaded[i].id = c.loaded[i];
        CallRing ring(static_cast<std::uint32_t>(loaded.size()));
        ASSERT_TRUE(ring.replace(c.head, loaded));
        for (const std::uint32_t expected : c.handedOut) {
            EXPECT_EQ(ring.takeNew(test::arrivalAt(10), {}, dir.path()).id, expected) << c.loaded[0];
            std::set<std::uint32_t> inRing;
            for (std::uint32_t s = 0; s < ring.size(); ++s) {
                const std::uint32_t id = std::as_const(ring).at(s).id;
                if (id != 0) {
                    EXPECT_TRUE(inRing.insert(id).second) << id;
                }
            }
        }
    }
}

TEST(CallRing, ReplaceRefusesWrongSizeOrHead) {
    CallRing ring(2);
    EXPECT_FALSE(ring.replace(0, std::vector<TCallRecord>(3)));
    EXPECT_FALSE(ring.replace(2, std::vector<TCallRecord>(2)));
    EXPECT_TRUE(ring.replace(1, std::vector<TCallRecord>(2)));
    EXPECT_EQ(ring.head(), 1u);
}

TEST(CallRing, ZeroSizeBecomesOneSlot) {
    CallRing ring(0);
    EXPECT_EQ(ring.size(), 1u);
    EXPECT_TRUE(ring.walkOrder().empty());
}

TEST(OverwritePolicy, FileClassesAreJudgedByTheFileName) {
    EXPECT_TRUE(isGreetingRecording("/d/Answer/Welcome1.wav"));
    EXPECT_TRUE(isGreetingRecording("C:\\ORVELIN\\Answer\\WELCOME2.WAV"));
    EXPECT_FALSE(isGreetingRecording("/d/Welcome/123.wav"));  // only the last component counts
    EXPECT_TRUE(isFaxFile("/d/FaxIn/123.SFF"));
    EXPECT_TRUE(isFaxFile("/d/FaxIn/123.tif"));
    EXPECT_FALSE(isFaxFile("/d/x.tif/123.wav"));

    const OverwritePolicy none{}, keepFax{true, false}, keepOther{false, true};
    EXPECT_TRUE(shouldDeleteOverwrittenFile("/d/Messages/1.wav", none));
    EXPECT_TRUE(shouldDeleteOverwrittenFile("/d/Messages/1.wav", keepFax));
    EXPECT_FALSE(shouldDeleteOverwrittenFile("/d/Messages/1.wav", keepOther));
    EXPECT_TRUE(shouldDeleteOverwrittenFile("/d/FaxIn/1.tif", none));
    EXPECT_FALSE(shouldDeleteOverwrittenFile("/d/FaxIn/1.tif", keepFax));
    EXPECT_TRUE(shouldDeleteOverwrittenFile("/d/FaxIn/1.SFF", keepOther));
    EXPECT_FALSE(shouldDeleteOverwrittenFile("/d/Answer/Welcome1.wav", none));
    EXPECT_FALSE(shouldDeleteOverwrittenFile("", none));
}

// Fills a ring of `size` with calls whose files exist, then overwrites them all.
struct OverwriteCase {
    OverwritePolicy policy;
    bool voiceGone;
    bool faxGone;
};

class RingOverwrite : public ::testing::TestWithParam<OverwriteCase> {};

TEST_P(RingOverwrite, OptionBitsDecideWhichFilesGo) {
    TestDir dir;
    fs::create_directories(dir.path() / "Messages");
    fs::create_directories(dir.path() / "FaxIn");
    fs::create_directories(dir.path() / "Answer");
    const fs::path voice = dir.path() / "Messages" / "0301.wav";
    const fs::path fax = dir.path() / "FaxIn" / "0302.TIF";
    const fs::path greeting = dir.path() / "Answer" / "Welcome1.wav";
    for (const auto& f : {voice, fax, greeting}) touch(f);

    CallRing ring(150);
    const fs::path files[3] = {voice, fax, greeting};
    for (int i = 0; i < 150; ++i) {
        TCallRecord& r = ring.takeNew(test::arrivalAt(100), GetParam().policy, dir.path());
        if (i < 3) r.filePath.assign(files[i].string());
    }
    for (const auto& f : files) EXPECT_TRUE(fs::exists(f));  // nothing overwritten yet

    for (int i = 0; i < 3; ++i) ring.takeNew(test::arrivalAt(200), GetParam().policy, dir.path());
    EXPECT_EQ(!fs::exists(voice), GetParam().voiceGone);
    EXPECT_EQ(!fs::exists(fax), GetParam().faxGone);
    EXPECT_TRUE(fs::exists(greeting));
}

// Options with neither bit, bit 21 (keep fax files), bit 22 (keep the others), both;
// the other bits set around them must not matter.
INSTANTIATE_TEST_SUITE_P(
    Bits21And22, RingOverwrite,
    ::testing::Values(
        OverwriteCase{OverwritePolicy::fromOptions(0), true, true},
        OverwriteCase{OverwritePolicy::fromOptions(1u << 21), true, false},
        OverwriteCase{OverwritePolicy::fromOptions(1u << 22), false, true},
        OverwriteCase{OverwritePolicy::fromOptions((1u << 21) | (1u << 22)), false, false},
        OverwriteCase{OverwritePolicy::fromOptions(~((1u << 21) | (1u << 22))), true, true}));

TEST(DeleteFileInside, RefusesEverythingOutsideTheProgramDirectory) {
    TestDir root;
    const fs::path home = root.path() / "home";
    fs::create_directories(home / "Messages");
    const fs::path outside = root.path() / "outside.wav";
    touch(outside);

    // Relative climbing, absolute paths elsewhere, and a symbolic link out.
    EXPECT_FALSE(
        deleteFileInside(home, (home / "Messages" / ".." / ".." / "outside.wav").string()));
    EXPECT_FALSE(deleteFileInside(home, outside.string()));
    fs::create_symlink(outside, home / "Messages" / "link.wav");
    EXPECT_FALSE(deleteFileInside(home, (home / "Messages" / "link.wav").string()));
    EXPECT_TRUE(fs::exists(outside));

    // A sibling directory that merely shares the prefix is outside too.
    fs::create_directories(root.path() / "home2");
    touch(root.path() / "home2" / "x.wav");
    EXPECT_FALSE(deleteFileInside(home, (root.path() / "home2" / "x.wav").string()));
    EXPECT_TRUE(fs::exists(root.path() / "home2" / "x.wav"));

    // Directories, missing files and the directory itself are never removed.
    EXPECT_FALSE(deleteFileInside(home, (home / "Messages").string()));
    EXPECT_FALSE(deleteFileInside(home, (home / "Messages" / "none.wav").string()));
    EXPECT_FALSE(deleteFileInside(home, home.string()));
    EXPECT_TRUE(fs::is_directory(home / "Messages"));

    const fs::path inside = home / "Messages" / "1.wav";
    touch(inside);
    EXPECT_TRUE(deleteFileInside(home, inside.string()));
    EXPECT_FALSE(fs::exists(inside));
}

TEST(DeleteFileInside, HostilePathInOverwrittenRecordIsLeftAlone) {
    TestDir root;
    const fs::path home = root.path() / "home";
    fs::create_directories(home);
    const fs::path victim = root.path() / "victim.txt";
    touch(victim);
    fs::create_directories(home / "Messages");
    const fs::path inside = home / "Messages" / "1.wav";
    touch(inside);
    CallRing ring(1);
    ring.takeNew(test::arrivalAt(1), {}, home)
        .filePath.assign((home / ".." / "victim.txt").string());
    ring.takeNew(test::arrivalAt(2), {}, home).filePath.assign(inside.string());
    EXPECT_TRUE(fs::exists(victim));
    ring.takeNew(test::arrivalAt(3), {}, home);
    EXPECT_FALSE(fs::exists(inside)) << "the same ring deletes a file inside";
}

TEST(CallRing, SnapshotIsHeadThenRecords) {
    TestDir dir;
    CallRing ring(2);
    ring.takeNew(test::arrivalAt(0x11223344), {}, dir.path()).callerNumber.assign("42");
    const auto image = ring.snapshot();
    ASSERT_EQ(image.size(), 4u + 2 * 583u);
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[1] | image[2] | image[3], 0);
    const auto rec = encodeCallRecord(ring.at(0));
    EXPECT_TRUE(std::equal(rec.begin(), rec.end(), image.begin() + 4));
    EXPECT_TRUE(std::all_of(image.begin() + 4 + 583, image.end(), [](auto b) { return b == 0; }));
}

}  // namespace
}  // namespace orvelin::client
