#include "client/call_history.h"

#include <gtest/gtest.h>

#include "client/text_log.h"
#include "tests/client/test_dir.h"

namespace orvelin::client {
namespace {

TEST(CallHistory, StartUpSaveUpdateAndRestart) {
    test::TestDir dir;
    const std::string home = dir.path().string() + "/";
    std::vector<std::string> logged;
    std::vector<int> queued;
    std::uint32_t options = 0;
    auto config = [&] {
        CallHistory::Config c;
        c.programDir = home;
        c.maxCalls = 4;
        c.log = [&](std::string_view l) { logged.emplace_back(l); };
        c.queueToClients = [&](int i) { queued.push_back(i); };
        c.options = [&] { return options; };
        return c;
    };

    std::uint32_t firstId = 0;
    {
        CallHistory h(config());
        h.load();  // no file yet: a fresh one is written
        h.flush();
        EXPECT_EQ(test::readBytes(callTablePath(home)), h.ring().snapshot());
        EXPECT_EQ(test::readBytes(callTablePath(home)).size(), 4u + 4 * 583u);

        TCallRecord& r = h.takeNew(test::arrivalAt(9000));
        firstId = r.id;
        r.callerNumber.assign("0301");
        h.addCallRow(r);
        h.startSave();
        r.comment.assign("written after its save");  // through the reference kept since
        h.updateCallRow(r);
        options = 1u << 4;  // long date from now on
        TCallRecord& s = h.takeNew(test::arrivalAt(9001));
        h.addCallRow(s);
        s.setState(CallState::VoiceMessage);
        s.count = 12;
        h.updateCallRow(s);  // saves as well
        h.startLog(s, s.count);
        h.flush();
        EXPECT_EQ(test::readBytes(callTablePath(home)), h.ring().snapshot());
        EXPECT_EQ(test::readText(textLogPath(home)), formatTextLogLine(s, 12));
        ASSERT_EQ(h.list().rows().size(), 2u);
        EXPECT_EQ(h.list().rows()[0].text[kColumnTime], "Tuesday, 8 December 2026  20:15:07");
        EXPECT_EQ(h.list().rows()[1].text[kColumnTime], "2026-12-08  20:15:07");
        EXPECT_EQ(queued, (std::vector<int>{0, 0, 1, 1}));
    }

    // Bytes after a text's terminator are not part of the ring: the first save after
    // start-up carries only the change, and the file must still equal the ring.
    auto image = test::readBytes(callTablePath(home));
    image[4 + 583 + 69 + 10] = 'x';  // slot 1 (not updated below): after its caller name
    test::writeBytes(callTablePath(home), image);

    // A restart within the same second lists the calls again and repeats no id.
    CallHistory again(config());
    again.load();
    again.find(firstId)->count = 3;
    again.updateCallRow(*again.find(firstId));
    again.flush();
    EXPECT_EQ(test::readBytes(callTablePath(home)), again.ring().snapshot());
    EXPECT_TRUE(logged.empty());
    ASSERT_EQ(again.list().rows().size(), 2u);
    EXPECT_EQ(again.list().rows()[0].text[kColumnCount], " 12 sec.");
    EXPECT_EQ(again.list().rows()[1].text[kColumnCount], " 3 sec.");
    EXPECT_EQ(again.find(firstId)->callerNumber.view(), "0301");
    EXPECT_EQ(again.find(firstId)->comment.view(), "written after its save");
    EXPECT_EQ(again.takeNew(test::arrivalAt(9000)).id, firstId + 2);
}

}  // namespace
}  // namespace orvelin::client
