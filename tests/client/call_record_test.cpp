#include "client/call_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace orvelin::client {
namespace {

TCallRecord sampleRecord() {
    TCallRecord r;
    r.id = 0x01020304;
    r.arrival = {2026, 12, 2, 8, 20, 15, 7, 123};
    r.arrivalSeconds = 0xEDCBA987;
    r.state = static_cast<std::uint32_t>(CallState::VoiceMessage);
    r.flags = (3u << 16) | kFlagRestricted;
    r.cip = 1;
    r.count = 42;
    r.reason = 0x3490;
    r.callerNumber.assign("0301234");
    r.callerName.assign("Ana M\xC3\xBCller");
    r.calledNumber.assign("5551");
    r.calledName.assign("Office");
    r.comment.assign("hi");
    r.filePath.assign("/data/Messages/0301234.wav");
    return r;
}

void putText(CallRecordBytes& b, std::size_t offset, const char* text) {
    std::memcpy(b.data() + offset, text, std::strlen(text));
}

TEST(CallRecord, GoldenBytes) {
    // Fixed part written out byte by byte, texts at their offsets, zeros elsewhere.
    const std::uint8_t head[44] = {
        0x04, 0x03, 0x02, 0x01,                          // id
        0xEA, 0x07, 0x0C, 0x00, 0x02, 0x00, 0x08, 0x00,  // year, month, weekday, day
        0x14, 0x00, 0x0F, 0x00, 0x07, 0x00, 0x7B, 0x00,  // hour, minute, second, ms
        0x87, 0xA9, 0xCB, 0xED,                          // seconds since 1901
        0x00, 0x00, 0x00, 0x00,                          // reserved
        0x04, 0x00, 0x00, 0x00,                          // state
        0x02, 0x00, 0x03, 0x00,                          // flags
        0x01, 0x00, 0x00, 0x00,                          // CIP, reserved
        0x2A, 0x00, 0x90, 0x34,                          // count, reason
    };
    CallRecordBytes expected{};
    std::memcpy(expected.data(), head, sizeof head);
    putText(expected, 44, "0301234");
    putText(expected, 69, "Ana M\xC3\xBCller");
    putText(expected, 119, "5551");
    putText(expected, 144, "Office");
    putText(expected, 194, "hi");
    putText(expected, 323, "/data/Messages/0301234.wav");

    EXPECT_EQ(encodeCallRecord(sampleRecord()), expected);

    const TCallRecord back = decodeCallRecord(expected);
    EXPECT_EQ(encodeCallRecord(back), expected);
    EXPECT_EQ(back.id, 0x01020304u);
    EXPECT_EQ(back.msnIndex(), 3);
    EXPECT_TRUE(back.restricted());
    EXPECT_FALSE(back.hidden());
    EXPECT_EQ(back.callerName.view(), "Ana M\xC3\xBCller");
    EXPECT_EQ(back.filePath.view(), "/data/Messages/0301234.wav");
}

TEST(CallRecord, FullFieldsStayTerminatedAtUtf8Boundary) {
    // Each field filled to its last byte with no terminator, as a hostile file may hold.
    CallRecordBytes bytes{};
    std::memset(bytes.data() + 44, '7', 25);
    // Caller name: 48 ASCII bytes, then a two-byte character across the 49/50 boundary.
    std::memset(bytes.data() + 69, 'a', 48);
    bytes[69 + 48] = 0xC3;
    bytes[69 + 49] = 0xBC;
    std::memset(bytes.data() + 119, '5', 25);
    std::memset(bytes.data() + 144, 'n', 50);
    std::memset(bytes.data() + 194, 'c', 129);
    std::memset(bytes.data() + 323, 'p', 260);

    const TCallRecord r = decodeCallRecord(bytes);
    EXPECT_EQ(r.callerNumber.view(), std::string(24, '7'));
    EXPECT_EQ(r.callerName.view(), std::string(48, 'a'));  // the split character is dropped whole
    EXPECT_EQ(r.calledNumber.view(), std::string(24, '5'));
    EXPECT_EQ(r.calledName.view(), std::string(49, 'n'));
    EXPECT_EQ(r.comment.view(), std::string(128, 'c'));
    EXPECT_EQ(r.filePath.view(), std::string(259, 'p'));

    // Encoding again gives a record whose every field carries its terminator.
    const CallRecordBytes again = encodeCallRecord(r);
    for (std::size_t end : {44 + 24, 69 + 49, 119 + 24, 144 + 49, 194 + 128, 323 + 259}) {
        EXPECT_EQ(again[end], 0) << "field ending at " << end;
    }
}

TEST(CallRecord, BytesAfterTheTerminatorAreDropped) {
    CallRecordBytes bytes{};
    putText(bytes, 44, "123");
    putText(bytes, 44 + 4, "secret");  // garbage behind the terminator
    const CallRecordBytes again = encodeCallRecord(decodeCallRecord(bytes));
    EXPECT_EQ(again[44 + 4], 0);
    EXPECT_EQ(decodeCallRecord(bytes).callerNumber.view(), "123");
}

TEST(CallRecord, AssignCutsAtByteLimitWithoutSplittingCharacters) {
    TextField<5> f;  // four bytes of text
    EXPECT_TRUE(f.assign("abcd"));
    EXPECT_EQ(f.view(), "abcd");
    EXPECT_FALSE(f.assign("abc\xE2\x82\xAC"));  // euro sign would need bytes 4 to 6
    EXPECT_EQ(f.view(), "abc");
    EXPECT_FALSE(f.assign("\xF0\x9F\x98\x80x"));  // a four-byte character fits exactly
    EXPECT_EQ(f.view(), "\xF0\x9F\x98\x80");
    EXPECT_FALSE(f.assign(std::string_view("ab\0cd", 5)));
    EXPECT_EQ(f.view(), "ab");
    EXPECT_TRUE(f.assign(""));
    EXPECT_TRUE(f.empty());
}

TEST(CallRecord, RandomBytesDecodeToAStableRecord) {
    // Whatever a file holds, one decode gives a record that encodes and decodes
    // to itself, with every text inside its field.
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        CallRecordBytes raw;
        for (auto& b : raw) b = static_cast<std::uint8_t>(byte(rng));
        const CallRecordBytes once = encodeCallRecord(decodeCallRecord(raw));
        ASSERT_EQ(encodeCallRecord(decodeCallRecord(once)), once) << round;
        for (std::size_t end : {44 + 24, 69 + 49, 119 + 24, 144 + 49, 194 + 128, 323 + 259}) {
            ASSERT_EQ(once[end], 0) << round;
        }
        ASSERT_TRUE(std::equal(raw.begin(), raw.begin() + 44, once.begin())) << round;
    }
}

TEST(CallRecord, StateNames) {
    const char* names[] = {"",
                           "Rejected",
                           "Echoed",
                           "Answered",
                           "Voice Message",
                           "Broken FAX",
                           "FAX",
                           "Read Voice Message",
                           "Viewed FAX Message",
                           "Answered by phone",
                           "SMS",
                           "Read SMS"};
    for (std::uint32_t s = 0; s < kCallStateCount; ++s) EXPECT_EQ(callStateName(s), names[s]);
    EXPECT_EQ(callStateName(12), "");
    EXPECT_EQ(callStateName(0xFFFFFFFFu), "");
    EXPECT_FALSE(isKnownCallState(12));
}

TEST(CallRecord, ArrivalTimeCountsSecondsFrom1901) {
    using namespace std::chrono;
    // TZ=UTC in the test environment: local time equals UTC.
    const auto when = system_clock::time_point(seconds(1'796'760'907) + milliseconds(250));
    const ArrivalTime a = makeArrivalTime(when);
    EXPECT_EQ(a.seconds1901, 1'796'760'907u + 2'177'452'800u);
    EXPECT_EQ(a.local.year, 2026);
    EXPECT_EQ(a.local.month, 12);
    EXPECT_EQ(a.local.day, 8);
    EXPECT_EQ(a.local.dayOfWeek, 2);  // Tuesday
    EXPECT_EQ(a.local.hour, 20);
    EXPECT_EQ(a.local.minute, 15);
    EXPECT_EQ(a.local.second, 7);
    EXPECT_EQ(a.local.milliseconds, 250);
    // The last second the 32-bit value holds, then it wraps like the format.
    EXPECT_EQ(makeArrivalTime(system_clock::time_point(seconds(2'117'514'495))).seconds1901,
              0xFFFFFFFFu);
    EXPECT_EQ(makeArrivalTime(system_clock::time_point(seconds(2'117'514'496))).seconds1901, 0u);
}

}  // namespace
}  // namespace orvelin::client
