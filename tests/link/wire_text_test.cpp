// Frames, wire text and the profile file, without sockets.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/cp1252.h"
#include "link/instance_link.h"
#include "link/link_profile.h"
#include "link_test_support.h"

namespace {

using namespace orvelin::link;
using platform::cp1252ToUtf8;
using platform::utf8ToCp1252;
using orvelin::client::TCallRecord;
using link_test::Buffer;

constexpr std::uint32_t kUnix = 1710079509;  // 2024-03-10 14:05:09 UTC, a Sunday

TCallRecord sampleRecord() {
    TCallRecord r;
    r.id = 0x01020304;
    r.arrivalSeconds = kUnix + orvelin::client::kSeconds1901To1970;
    r.state = 4;
    r.flags = 0x00020001;
    r.cip = 1;
    r.count = 42;
    r.reason = 0x3490;
    r.callerNumber.assign("0301234");
    r.callerName.assign("M\xC3\xBCller \xE2\x82\xAC");  // "Müller €"
    r.calledNumber.assign("555");
    r.comment.assign("hi");
    r.filePath.assign("/x/a.wav");
    return r;
}

TEST(CallFrameTest, GoldenBytes) {
    // Length field = text length (39) + 43; the wire carries length + 6 bytes, the text in
    // Windows-1252 (ü = FC, € = 80) with its zero byte and three zero bytes after it.
    static const char kGolden[] =
        "\x0e\x52\x00\x00\x01\x00\x10\x5e\x5f\x04\x03\x02\x01\xe8\x07\x03\x00\x00\x00\x0a\x00\x0e\x00\x05"
        "\x00\x09\x00\x00\x00\x04\x00\x00\x00\x01\x00\x02\x00\x01\x00\x00\x00\x2a\x00\x90\x34\x20\x30\x33"
        "\x30\x31\x32\x33\x34\x3b\x20\x4d\xfc\x6c\x6c\x65\x72\x20\x80\x3b\x20\x35\x35\x35\x3b\x20\x3b\x20"
        "\x68\x69\x3b\x20\x2f\x78\x2f\x61\x2e\x77\x61\x76\x00\x00\x00\x00";
    const Buffer expected(kGolden, kGolden + sizeof kGolden - 1);
    ASSERT_EQ(expected.size(), 88u);
    EXPECT_EQ(BuildCallFrame(sampleRecord(), 0x5F5E1000), expected);
}

TEST(CallFrameTest, EmptyFieldsKeepTheirSeparators) {
    TCallRecord r;
    r.id = 7;
    r.callerNumber.assign("1");
    EXPECT_EQ(CallText(r), " 1; ; ; ; ; ");
    const Buffer frame = BuildCallFrame(r, 0);
    EXPECT_EQ(frame.size(), 45u + 12u + 4u);
    EXPECT_EQ(std::string(frame.begin() + 45, frame.begin() + 57), " 1; ; ; ; ; ");
}

TEST(CallFrameTest, LongestTextIsCutToFitTheFrame) {
    TCallRecord r;
    r.id = 9;
    r.callerNumber.assign(std::string(24, '1'));
    r.callerName.assign(std::string(49, 'n'));
    r.calledNumber.assign(std::string(24, '2'));
    r.calledName.assign(std::string(49, 'm'));
    r.comment.assign(std::string(128, 'c'));
    r.filePath.assign(std::string(259, 'p'));
    ASSERT_EQ(CallText(r).size(), 544u);
    const Buffer frame = BuildCallFrame(r, 0);
    EXPECT_EQ(frame.size(), 590u);
    EXPECT_EQ(frame[1] | (frame[2] << 8), 541 + 43);
    EXPECT_EQ(frame[45 + 540], 'p');
    EXPECT_EQ(frame[45 + 541], 0);
}

// The frame's text is the whole text converted and then cut, whatever the fields hold.
TEST(CallFrameTest, TextMatchesTheWholeTextConverted) {
    const std::string euro = "\xE2\x82\xAC";  // three bytes in UTF-8, one on the wire
    struct Case {
        const char* what;
        std::string callerName;
        std::string comment;
        std::string filePath;
    };
    const Case cases[] = {
        {"ascii", "Office", "note", "/m/1.wav"},
        {"converted", "M\xC3\xBCller", euro + " due", "/m/\xC3\xA4.wav"},
        {"outside the code page", "\xE4\xB8\xAD", "", ""},
        {"cut sequence at a field's end", "ab\xC3", "\xE2\x82", "x"},
        {"long before, short after converting", std::string(49, 'n'), "",
         [&] { std::string t; for (int i = 0; i < 86; ++i) t += euro; return t; }()},
        {"cut inside converted text", std::string(49, 'n'), std::string(128, 'c'),
         std::string(256, 'p') + euro},
    };
    for (const Case& c : cases) {
        TCallRecord r;
        r.id = 3;
        r.callerNumber.assign(std::string(24, '1'));
        r.callerName.assign(c.callerName);
        r.calledNumber.assign(std::string(24, '2'));
        r.calledName.assign(std::string(49, 'm'));
        r.comment.assign(c.comment);
        r.filePath.assign(c.filePath);
        std::string expected = utf8ToCp1252(CallText(r));
        if (expected.size() > kMaxCallText) expected.resize(kMaxCallText);
        if (std::string_view(c.what) == "cut inside converted text") {
            ASSERT_EQ(expected.size(), kMaxCallText);
            ASSERT_EQ(expected.back(), 'p');
        }
        const Buffer frame = BuildCallFrame(r, 0);
        ASSERT_EQ(frame.size(), 45u + expected.size() + 4u) << c.what;
        EXPECT_EQ(frame[1] | (frame[2] << 8), static_cast<int>(expected.size() + 43)) << c.what;
        EXPECT_EQ(std::string(frame.begin() + 45, frame.begin() + 45 +
                                                       static_cast<std::ptrdiff_t>(expected.size())),
                  expected)
            << c.what;
        EXPECT_EQ(Buffer(frame.end() - 4, frame.end()), Buffer(4, 0)) << c.what;
    }
}

TEST(CallFrameTest, NewNetMessageHeader) {
    const Buffer ack = NewNetMessage(MSG_TRAFFIC_ACCEPT, 0, 0x11223344);
    EXPECT_EQ(ack, (Buffer{8, 9, 0, 0, 1, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(NewNetMessage(3, 4, 0).size(), 13u);
}

TEST(WireTextTest, Cp1252BothWays) {
    EXPECT_EQ(utf8ToCp1252("abc"), "abc");
    EXPECT_EQ(utf8ToCp1252("\xC3\xA9\xE2\x82\xAC\xE2\x80\x9E"), "\xE9\x80\x84");
    EXPECT_EQ(utf8ToCp1252("\xE4\xB8\xAD"), "?");        // not in the code page
    EXPECT_EQ(utf8ToCp1252("a\xC3"), "a?");              // cut sequence
    EXPECT_EQ(utf8ToCp1252("\xC0\xAF\xED\xA0\x80"), "?????");  // overlong, surrogate
    EXPECT_EQ(cp1252ToUtf8("\xE9\x80\x9F"), "\xC3\xA9\xE2\x82\xAC\xC5\xB8");
    EXPECT_EQ(cp1252ToUtf8("\x81\x8D"), "??");
    // Every defined byte survives the round trip.
    for (int b = 1; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        const std::string utf8 = cp1252ToUtf8(one);
        if (utf8 == "?" && b != '?') continue;
        EXPECT_EQ(utf8ToCp1252(utf8), one) << b;
    }
}

TEST(WireTextTest, ShownTextIsBoundedAndClean) {
    EXPECT_EQ(ShownText(std::string_view("Hallo\r\nWelt\x01\xE4", 13)), "Hallo  Welt \xC3\xA4");
    EXPECT_EQ(ShownText(std::string_view("short\0rest", 10)), "short");
    EXPECT_EQ(ShownText(std::string(5000, 'x')).size(), kMaxShownText);
}

TEST(ProfileTest, SectionsAndKeysIgnoreCase) {
    const std::string text =
        "; comment\r\n"
        "[10.0.0.1]\r\n"
        "FIELDS = 3\r\n"
        "enabled=0\r\n"
        "[10.0.0.2]\n"
        "Fields=-7xyz\n"
        "Enabled=abc\n"
        "[10.0.0.10]\n"
        "Fields=99999999999\n";
    EXPECT_EQ(profileIntFromText(text, "10.0.0.1", "Fields", 0), 3);
    EXPECT_EQ(profileIntFromText(text, "10.0.0.1", "ENABLED", 1), 0);
    EXPECT_EQ(profileIntFromText(text, "10.0.0.2", "fields", 0), -7);
    EXPECT_EQ(profileIntFromText(text, "10.0.0.2", "Enabled", 1), 0);
    EXPECT_EQ(profileIntFromText(text, "10.0.0.10", "Fields", 0), 2147483647);
    EXPECT_EQ(profileIntFromText(text, "10.0.0.3", "Fields", 5), 5);
    EXPECT_EQ(profileIntFromText(text, "10.0.0.1", "Other", 4), 4);
    EXPECT_EQ(profileIntFromText("[broken\nFields=1\n", "broken", "Fields", 0), 0);
}

TEST(ProfileTest, FileSearchOrder) {
    link_test::TestDir first, second;
    EXPECT_FALSE(findProfileFile({first.str(), second.str()}));
    EXPECT_EQ(readProfileInt(std::nullopt, "1.2.3.4", "Fields", 6), 6);
    second.write("orvelin.ini", "[1.2.3.4]\nFields=2\n");
    auto found = findProfileFile({first.str(), second.str()});
    ASSERT_TRUE(found);
    EXPECT_EQ(readProfileInt(found, "1.2.3.4", "Fields", 0), 2);
    first.write("orvelin.ini", "[1.2.3.4]\nFields=1\n");
    found = findProfileFile({first.str(), second.str()});
    EXPECT_EQ(readProfileInt(found, "1.2.3.4", "Fields", 0), 1);
    // A file far too big for a hand-edited profile is not read.
    first.write("orvelin.ini", "[1.2.3.4]\nFields=1\n" + std::string(2 << 20, ';'));
    EXPECT_EQ(readProfileInt(found, "1.2.3.4", "Fields", 0), 0);
    // Read to its end however it is cut into reads.
    first.write("orvelin.ini", std::string(100000, ';') + "\n[1.2.3.4]\nFields=3\n");
    EXPECT_EQ(readProfileInt(found, "1.2.3.4", "Fields", 0), 3);
    // A FIFO put in its place gives the default at once.
    std::filesystem::remove(*found);
    ASSERT_EQ(::mkfifo(found->c_str(), 0600), 0);
    EXPECT_EQ(readProfileInt(found, "1.2.3.4", "Fields", 7), 7);
}

}  // namespace
