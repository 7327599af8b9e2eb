#include "client/call_table_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/client/test_dir.h"

namespace orvelin::client {
namespace {

namespace fs = std::filesystem;
using test::readBytes;
using test::TestDir;
using test::writeBytes;

struct Logged {
    std::vector<std::string> lines;
    LogLine fn() {
        return [this](std::string_view l) { lines.emplace_back(l); };
    }
};

// A two-slot table with one call in slot 0 and the head on slot 1, written out
// byte by byte.
std::vector<std::uint8_t> goldenTable() {
    std::vector<std::uint8_t> b(4 + 2 * 583, 0);
    b[0] = 0x01;           // head index 1
    b[4 + 0] = 0x2A;       // id 42
    b[4 + 28] = 0x03;      // state Answered
    b[4 + 32 + 2] = 0xFF;  // flags: no MSN (0xFFFF << 16)
    b[4 + 32 + 3] = 0xFF;
    b[4 + 40] = 0x0C;                    // count 12
    std::memcpy(&b[4 + 44], "0301", 4);  // caller number
    return b;
}

CallRing goldenRing() {
    CallRing ring(2);
    std::vector<TCallRecord> records(2);
    records[0].id = 42;
    records[0].setState(CallState::Answered);
    records[0].setMsnIndex(kNoMsnIndex);
    records[0].count = 12;
    records[0].callerNumber.assign("0301");
    ring.replace(1, records);
    return ring;
}

TEST(CallTableFile, LivesInTheProgramDirectory) {
    EXPECT_EQ(callTablePath("/var/lib/orvelin/"), fs::path("/var/lib/orvelin/ORVELIN.DAT"));
}

TEST(CallTableFile, GoldenBytesOfSmallTable) {
    TestDir dir;
    const fs::path file = dir / "ORVELIN.DAT";
    std::string error;
    const auto image = goldenRing().snapshot();
    ASSERT_TRUE(writeCallTable(file, image, &error)) << error;
    EXPECT_EQ(readBytes(file), goldenTable());

    CallRing loaded(2);
    Logged log;
    ASSERT_TRUE(loadCallTable(file, loaded, log.fn()));
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(loaded.head(), 1u);
    EXPECT_EQ(loaded.at(0).id, 42u);
    EXPECT_EQ(loaded.at(0).callerNumber.view(), "0301");
    EXPECT_EQ(loaded.snapshot(), goldenTable());
}

TEST(CallTableFile, MissingFileReturnsFalseAndEmptyRing) {
    TestDir dir;
    CallRing ring = goldenRing();
    Logged log;
    EXPECT_FALSE(loadCallTable(dir / "ORVELIN.DAT", ring, log.fn()));
    EXPECT_EQ(ring.head(), 0u);
    EXPECT_EQ(ring.at(0).id, 0u);
}

TEST(CallTableFile, WrongLengthLoadsEmptyRingWithLogLine) {
    TestDir dir;
    const fs::path file = dir / "ORVELIN.DAT";
    auto good = goldenTable();
    std::vector<std::vector<std::uint8_t>> bad = {
        {},                                                       // empty
        {0x01, 0x00},                                             // shorter than the head index
        std::vector<std::uint8_t>(good.begin(), good.end() - 1),  // one byte short
        good,                                                     // one byte long (below)
        std::vector<std::uint8_t>(4 + 3 * 583, 0),                // written with a larger MaxCalls
    };
    bad[3].push_back(0);
    for (const auto& bytes : bad) {
        writeBytes(file, bytes);
        CallRing ring = goldenRing();
        Logged log;
        EXPECT_TRUE(loadCallTable(file, ring, log.fn())) << bytes.size();
        EXPECT_EQ(ring.head(), 0u);
        EXPECT_EQ(ring.at(0).id, 0u);
        ASSERT_EQ(log.lines.size(), 1u) << bytes.size();
        EXPECT_NE(log.lines[0].find(std::to_string(bytes.size())), std::string::npos);
        // The file itself is left as it was, for whoever wants to look at it.
        EXPECT_EQ(readBytes(file), bytes);
    }
}

TEST(CallTableFile, HeadOutOfRangeLoadsEmptyRing) {
    TestDir dir;
    const fs::path file = dir / "ORVELIN.DAT";
    for (std::uint32_t head : {2u, 3u, 0x80000000u, 0xFFFFFFFFu}) {
        auto bytes = goldenTable();
        std::memcpy(bytes.data(), &head, 4);  // little-endian host
        writeBytes(file, bytes);
        CallRing ring(2);
        Logged log;
        EXPECT_TRUE(loadCallTable(file, ring, log.fn()));
        EXPECT_EQ(ring.head(), 0u);
        EXPECT_EQ(ring.at(0).id, 0u) << head;
        EXPECT_EQ(log.lines.size(), 1u);
    }
}

TEST(CallTableFile, HostileRecordsAreBoundedOnLoad) {
    TestDir dir;
    const fs::path file = dir / "ORVELIN.DAT";
    // Every byte of both records set: no terminators, absurd states and flags.
    std::vector<std::uint8_t> bytes(4 + 2 * 583, 0xFF);
    bytes[0] = 0;
    bytes[1] = bytes[2] = bytes[3] = 0;
    writeBytes(file, bytes);
    CallRing ring(2);
    ASSERT_TRUE(loadCallTable(file, ring, {}));
    const TCallRecord& r = ring.at(1);
    EXPECT_EQ(r.id, 0xFFFFFFFFu);
    EXPECT_EQ(r.state, 0xFFFFFFFFu);  // kept, but it has no name
    EXPECT_EQ(callStateName(r.state), "");
    // 0xFF is never valid UTF-8, but the bound holds regardless: each text ends inside its field.
    EXPECT_LE(r.callerNumber.view().size(), 24u);
    EXPECT_LE(r.callerName.view().size(), 49u);
    EXPECT_LE(r.comment.view().size(), 128u);
    EXPECT_LE(r.filePath.view().size(), 259u);
    EXPECT_EQ(r.filePath.bytes[259], '\0');
}

TEST(CallTableFile, NonRegularFilesDoNotHang) {
    TestDir dir;
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    CallRing ring(2);
    Logged log;
    EXPECT_TRUE(loadCallTable(fifo, ring, log.fn()));  // returns at once, empty
    EXPECT_EQ(log.lines.size(), 1u);

    fs::create_directories(dir / "adir");
    log.lines.clear();
    EXPECT_TRUE(loadCallTable(dir / "adir", ring, log.fn()));
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST(CallTableFile, SaveReplacesLongerFileWithExactLength) {
    // After "MaxCalls" was lowered the old file is longer; the new one fits the ring.
    TestDir dir;
    const fs::path file = dir / "ORVELIN.DAT";
    writeBytes(file, std::vector<std::uint8_t>(4 + 5 * 583, 0xAB));
    CallRing ring(2);
    EXPECT_TRUE(loadCallTable(file, ring, {}));
    ASSERT_TRUE(writeCallTable(file, goldenRing().snapshot(), nullptr));
    EXPECT_EQ(readBytes(file), goldenTable());
    // Nothing but the file is left behind in the directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(CallTableFile, FailedSaveKeepsTheOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
    TestDir dir;
    const fs::path file = dir / "ORVELIN.DAT";
    writeBytes(file, goldenTable());
    ::chmod(dir.path().c_str(), 0500);
    std::string error;
    EXPECT_FALSE(writeCallTable(file, std::vector<std::uint8_t>(4 + 583, 0), &error));
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_NE(error.find("ORVELIN.DAT"), std::string::npos);
    EXPECT_EQ(readBytes(file), goldenTable());
}

TEST(CallTableFile, FailedRenameLeavesNoTemporaryFile) {
    TestDir dir;
    const fs::path target = dir / "ORVELIN.DAT";
    fs::create_directories(target / "occupied");  // a directory cannot be replaced by a file
    std::string error;
    EXPECT_FALSE(writeCallTable(target, goldenTable(), &error));
    EXPECT_NE(error.find("ORVELIN.DAT"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(target / "occupied"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(CallTableFile, SaveIntoMissingDirectoryFailsWithMessage) {
    TestDir dir;
    std::string error;
    EXPECT_FALSE(writeCallTable(dir / "none" / "ORVELIN.DAT", goldenTable(), &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace orvelin::client
