#include "client/text_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/client/test_dir.h"

namespace orvelin::client {
namespace {

TCallRecord call(CallState state) {
    TCallRecord r;
    r.id = 1;
    r.arrival = {2026, 3, 0, 1, 7, 5, 9, 0};
    r.setState(state);
    r.calledNumber.assign("5551");
    r.calledName.assign("Office");
    r.callerNumber.assign("0301234");
    r.callerName.assign("Ana");
    return r;
}

const char* kPrefix = "2026.03.01 07:05:09 to 5551\tOffice\tfrom 0301234\tAna\t";

TEST(TextLog, LineForEachKindOfCall) {
    struct Case {
        CallState state;
        const char* tail;
    } cases[] = {
        {CallState::Shown, "\r\n"},
        {CallState::Rejected, "Rejected\r\n"},
        {CallState::Echoed, "Echoed\r\n"},
        {CallState::Answered, "Answered 17 sec.\r\n"},
        {CallState::VoiceMessage, "Voice Message 17 sec.\r\n"},
        {CallState::BrokenFax, "Broken FAX 17 pages.\r\n"},
        {CallState::Fax, "FAX 17 pages.\r\n"},
        {CallState::ReadVoiceMessage, "Read Voice Message\r\n"},  // no count, unlike the list
        {CallState::ViewedFaxMessage, "Viewed FAX Message 17 pages.\r\n"},
        {CallState::AnsweredByPhone, "Answered by phone\r\n"},
        {CallState::Sms, "SMS 17 sec.\r\n"},
        {CallState::ReadSms, "Read SMS 17 sec.\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatTextLogLine(call(c.state), 17), std::string(kPrefix) + c.tail);
    }
    TCallRecord odd = call(CallState::Shown);
    odd.state = 99;
    EXPECT_EQ(formatTextLogLine(odd, 17), std::string(kPrefix) + "\r\n");
}

TEST(TextLog, CountIsTheOneHandedOver) {
    TCallRecord r = call(CallState::Answered);
    r.count = 999;
    EXPECT_EQ(formatTextLogLine(r, 0), std::string(kPrefix) + "Answered 0 sec.\r\n");
    EXPECT_EQ(formatTextLogLine(r, 65535), std::string(kPrefix) + "Answered 65535 sec.\r\n");
}

TEST(TextLog, ControlCharactersFromTheNetworkCannotBreakTheLine) {
    TCallRecord r = call(CallState::Shown);
    r.callerName.assign("Eve\r\n2026.01.01 fake\tline");
    r.callerNumber.assign("1\x1b[2J");
    const std::string line = formatTextLogLine(r, 0);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 4);
    EXPECT_NE(line.find("Eve  2026.01.01 fake line"), std::string::npos);
}

TEST(TextLog, AppendsLinesAndCreatesTheFile) {
    test::TestDir dir;
    const auto file = dir / "orvelin.txt";
    EXPECT_TRUE(appendTextLogLine(file, "one\r\n"));
    EXPECT_TRUE(appendTextLogLine(file, "two\r\n"));
    EXPECT_EQ(test::readText(file), "one\r\ntwo\r\n");
}

TEST(TextLog, UnopenableFileLosesTheLineQuietly) {
    test::TestDir dir;
    EXPECT_FALSE(appendTextLogLine(dir / "none" / "orvelin.txt", "x\r\n"));
    const auto fifo = dir / "fifo.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(appendTextLogLine(fifo, "x\r\n"));  // no reader: fails, does not block
}

}  // namespace
}  // namespace orvelin::client
