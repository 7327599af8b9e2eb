#include "client/call_writers.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "client/text_log.h"
#include "tests/client/test_dir.h"
#include "tests/support/numbered.h"

namespace orvelin::client {
namespace {

TEST(CallTableSaver, ThousandUpdatesLeaveTheFinalRing) {
    test::TestDir dir;
    const auto file = dir / "ORVELIN.DAT";
    std::vector<std::string> errors;
    CallRing ring(150);
    {
        CallTableSaver saver(file, [&](std::string_view l) { errors.emplace_back(l); });
        for (int i = 0; i < 1000; ++i) {
            TCallRecord& r = (i % 3 == 0) ? ring.takeNew(test::arrivalAt(5000), {}, dir.path())
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

// Each way the window thread changes the ring must reach the file, however the
// saves of a burst are merged.
TEST(CallTableSaver, BurstOfEveryKindOfChangeEndsAsTheFinalRing) {
    struct Kind {
        const char* name;
        void (*change)(CallRing&, const std::filesystem::path&, int);
    };
    const Kind kinds[] = {
        {"new call",
         [](CallRing& r, const std::filesystem::path& dir, int i) {
             r.takeNew(test::arrivalAt(5000 + static_cast<std::uint32_t>(i)), {}, dir);
         }},
        {"write by index",
         [](CallRing& r, const std::filesystem::path&, int i) {
             r.at(static_cast<std::uint32_t>(i * 37) % r.size()).count =
                 static_cast<std::uint16_t>(i);
         }},
        {"write by id",
         [](CallRing& r, const std::filesystem::path&, int i) {
             const auto slot = static_cast<std::uint32_t>(i * 53) % 300;  // slots in use
             TCallRecord* rec = r.find(std::as_const(r).at(slot).id);
             ASSERT_NE(rec, nullptr);
             rec->comment.assign(orvelin::test::Numbered("c", i));
         }},
        {"reference kept across saves",
         [](CallRing& r, const std::filesystem::path&, int i) {
             static TCallRecord* kept = nullptr;
             if (i == 0) kept = &r.at(3);
             kept->count = static_cast<std::uint16_t>(i + 1);  // written after the save
             r.markChanged(3);
         }},
        {"whole ring replaced",
         [](CallRing& r, const std::filesystem::path&, int i) {
             if (i % 25 != 24) return;
             std::vector<TCallRecord> records(r.size());
             records[static_cast<std::size_t>(i) % r.size()].id = static_cast<std::uint32_t>(i);
             r.replace(static_cast<std::uint32_t>(i) % r.size(), std::move(records));
         }},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        test::TestDir dir;
        const auto file = dir / "ORVELIN.DAT";
        std::vector<std::string> errors;
        CallRing ring(10000);
        for (int i = 0; i < 300; ++i) ring.takeNew(test::arrivalAt(4000), {}, dir.path());
        CallTableSaver saver(file, [&](std::string_view l) { errors.emplace_back(l); });
        saver.save(ring);
        constexpr int kUpdates = 100;
        for (int i = 0; i < kUpdates; ++i) {
            kind.change(ring, dir.path(), i);
            saver.save(ring);
        }
        saver.flush();
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(test::readBytes(file), ring.snapshot());
        // Each write carries 5.8 MB to disk; the updates queue up behind it and merge.
        EXPECT_LE(saver.writes(), std::uint64_t{kUpdates / 2});
    }
}

// A writer killed at any point leaves the file of one whole save: every slot and
// the head carry the same round number.
TEST(CallTableSaver, KilledDuringASaveLeavesOneWholeRing) {
    test::TestDir dir;
    const auto file = dir / "ORVELIN.DAT";
    constexpr std::uint32_t kSize = 3000;
    {
        // Round 0 of the same pattern: every id 0, counts from 0.
        CallRing first(kSize);
        for (std::uint32_t i = 0; i < kSize; ++i) first.at(i).count = static_cast<std::uint16_t>(i);
        ASSERT_TRUE(writeCallTable(file, first.snapshot(), nullptr));
    }
    for (int round = 0; round < 16; ++round) {
        int ack[2];
        ASSERT_EQ(pipe(ack), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ack[0]);
            CallRing ring(kSize);
            CallTableSaver saver(file, {});
            for (std::uint32_t n = 1;; ++n) {
                // Every slot changes in every round, so a mix of two rounds shows.
                for (std::uint32_t k = 0; k < n % 7; ++k)
                    ring.takeNew(test::arrivalAt(n), {}, dir.path());
                for (std::uint32_t i = 0; i < kSize; ++i) {
                    ring.at(i).id = n;
                    ring.at(i).count = static_cast<std::uint16_t>(i + n);
                }
                if (write(ack[1], "x", 1) != 1) _exit(3);  // a save starts
                saver.save(ring);
                saver.flush();
            }
        }
        close(ack[1]);
        const int wanted = 1 + round % 2;
        int got = 0;
        char c;
        while (got < wanted && read(ack[0], &c, 1) == 1) ++got;
        // Somewhere inside that save: taking the changes, writing or flushing.
        usleep(static_cast<useconds_t>(8000 * round));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        close(ack[0]);

        const std::vector<std::uint8_t> bytes = test::readBytes(file);
        ASSERT_EQ(bytes.size(), CallRing::fileSize(kSize)) << "round " << round;
        CallRing loaded(kSize);
        ASSERT_TRUE(loadCallTable(file, loaded, {}));
        const std::uint32_t n = loaded.at(0).id;
        for (std::uint32_t i = 0; i < kSize; ++i) {
            ASSERT_EQ(loaded.at(i).id, n) << "round " << round << ", slot " << i;
            ASSERT_EQ(loaded.at(i).count, static_cast<std::uint16_t>(i + n))
                << "round " << round << ", slot " << i;
        }
        std::uint32_t head = 0;
        for (std::uint32_t m = 1; m <= n; ++m) head = (head + m % 7) % kSize;
        EXPECT_EQ(loaded.head(), head) << "round " << round;
    }
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

// A line that cannot be written is reported once and written with the next line.
TEST(TextLogWriter, ALineThatCannotBeWrittenIsKeptReportedOnceAndWrittenWithTheNext) {
    struct Case {
        const char* name;
        const char* error;  // the system's text for it
        void (*breakIt)(const std::filesystem::path&);
        void (*mend)(const std::filesystem::path&);
        bool asRootToo;
    };
    const Case cases[] = {
        {"disk full", "No space left on device",
         [](const std::filesystem::path& f) { std::filesystem::create_symlink("/dev/full", f); },
         [](const std::filesystem::path& f) { std::filesystem::remove(f); }, true},
        {"cannot be opened", "Is a directory",
         [](const std::filesystem::path& f) { std::filesystem::create_directory(f); },
         [](const std::filesystem::path& f) { std::filesystem::remove(f); }, true},
        {"no permission", "Permission denied",
         [](const std::filesystem::path& f) {
             test::writeBytes(f, {});
             std::filesystem::permissions(f, std::filesystem::perms::owner_read);
         },
         [](const std::filesystem::path& f) {
             std::filesystem::permissions(f, std::filesystem::perms::owner_all);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.asRootToo && ::geteuid() == 0) continue;  // root writes a read-only file
        test::TestDir dir;
        const auto file = dir / "orvelin.txt";
        std::vector<std::string> reports;
        TCallRecord r;
        r.id = 1;
        r.arrival = {2026, 12, 2, 8, 20, 15, 7, 0};
        r.setState(CallState::Answered);
        const auto line = [&](int i) {
            r.callerNumber.assign("030" + std::to_string(i));
            return formatTextLogLine(r, static_cast<std::uint16_t>(i));
        };
        std::string expected;
        std::string last;
        {
            TextLogWriter writer(file, [&](std::string_view l) { reports.emplace_back(l); });
            c.breakIt(file);
            for (int i = 1; i <= 3; ++i) {
                expected += line(i);
                writer.log(r, static_cast<std::uint16_t>(i));
            }
            writer.flush();
            ASSERT_EQ(reports.size(), 1u) << "once for the three lines";
            EXPECT_NE(reports[0].find(file.string()), std::string::npos) << reports[0];
            EXPECT_NE(reports[0].find(c.error), std::string::npos) << reports[0];

            c.mend(file);
            expected += line(4);
            writer.log(r, 4);
            writer.flush();
            EXPECT_EQ(test::readText(file), expected) << "the kept lines first, in order";
            EXPECT_EQ(reports.size(), 1u);

            // A new failure is reported again; the writer ends with that line unwritten.
            std::filesystem::remove(file);
            c.breakIt(file);
            last = line(5);
            writer.log(r, 5);
            writer.flush();
            ASSERT_EQ(reports.size(), 2u);
            EXPECT_NE(reports[1].find(c.error), std::string::npos) << reports[1];
        }
        ASSERT_EQ(reports.size(), 3u) << "the unwritten line is reported at the end";
        EXPECT_NE(reports[2].find(file.string()), std::string::npos) << reports[2];
        EXPECT_NE(reports[2].find(last.substr(0, last.size() - 2)), std::string::npos)
            << reports[2];
        c.mend(file);
    }
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
