#include "client/call_writers.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "client/text_log.h"
#include "tests/client/test_dir.h"

namespace orvelin::client {
namespace {

ArrivalTime at(std::uint32_t s) {
    ArrivalTime a;
    a.seconds1901 = s;
    a.local = {2026, 12, 2, 8, 20, 15, 0, 0};
    return a;
}

TEST(CallTableSaver, ThousandUpdatesLeaveTheFinalRing) {
    test::TestDir dir;
    const auto file = dir / "ORVELIN.DAT";
    std::vector<std::string> errors;
    CallRing ring(150);
    {
        CallTableSaver saver(file, [&](std::string_view l) { errors.emplace_back(l); });
        for (int i = 0; i < 1000; ++i) {
            TCallRecord& r = (i % 3 == 0) ? ring.takeNew(at(5000), {}, dir.path())
                                          : ring.at((ring.head() + ring.size() - 1) % ring.size());
            r.count = static_cast<std::uint16_t>(i);
            r.setState(static_cast<CallState>(i % kCallStateCount));
            saver.save(ring);
        }
        saver.flush();
        EXPECT_EQ(test::readBytes(file), ring.snapshot());
        // Saves asked for while one was being written were merged, never reordered.
        EXPECT_GE(saver.writes(), 1u);
        EXPECT_LE(saver.writes(), 1000u);

        // A save after a flush is written too.
        ring.at(0).comment.assign("last");
        saver.save(ring);
    }  // the destructor finishes pending work
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(test::readBytes(file), ring.snapshot());

    CallRing loaded(150);
    ASSERT_TRUE(loadCallTable(file, loaded, {}));
    EXPECT_EQ(loaded.snapshot(), ring.snapshot());
}

TEST(CallTableSaver, FailedWriteIsLogged) {
    test::TestDir dir;
    std::vector<std::string> errors;
    CallTableSaver saver(dir / "missing" / "ORVELIN.DAT",
                         [&](std::string_view l) { errors.emplace_back(l); });
    saver.save(CallRing(2));
    saver.flush();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("ORVELIN.DAT"), std::string::npos);
}

TEST(TextLogWriter, LinesKeepTheirOrderAndTheirSnapshot) {
    test::TestDir dir;
    const auto file = dir / "orvelin.txt";
    std::string expected;
    {
        TextLogWriter writer(file);
        TCallRecord r;
        r.id = 1;
        r.arrival = {2026, 12, 2, 8, 20, 15, 7, 0};
        r.setState(CallState::Answered);
        for (int i = 0; i < 1000; ++i) {
            r.callerNumber.assign(std::to_string(i));
            writer.log(r, static_cast<std::uint16_t>(i));
            expected += formatTextLogLine(r, static_cast<std::uint16_t>(i));
            // Changing the record after handing it over must not change the line.
            r.callerNumber.assign("changed");
        }
    }
    EXPECT_EQ(test::readText(file), expected);
}

TEST(SerialWorker, RunsAtLowestPriority) {
    int nice = -100;
    SerialWorker w;
    w.post([&nice] { nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())); });
    w.waitIdle();
    EXPECT_EQ(nice, 19);
    // The thread that posted keeps its own priority.
    EXPECT_NE(::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())), 19);
}

TEST(SerialWorker, RunsTasksInOrderAndDrainsOnDestruction) {
    std::vector<int> seen;
    {
        SerialWorker w;
        for (int i = 0; i < 500; ++i) w.post([&seen, i] { seen.push_back(i); });
    }
    ASSERT_EQ(seen.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
}

}  // namespace
}  // namespace orvelin::client
