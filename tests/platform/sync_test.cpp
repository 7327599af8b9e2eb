// Named events, the single-instance lock, worker threads and processor affinity.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/named_event.h"
#include "platform/single_instance.h"
#include "platform/worker_thread.h"
#include "tests/platform/temp_dir.h"

using namespace platform;
using namespace std::chrono_literals;
using testing_support::TempDir;

namespace {

// Event names are machine-wide: keep tests of parallel runs apart.
std::string uniqueEvent(const char* prefix) {
    return namedEventName(std::string("OrvelinTest") + prefix, static_cast<long>(getpid()));
}

TEST(NamedEvent, NamesFollowThePattern) {
    EXPECT_EQ(namedEventName("OrvelinWait", 123), "/OrvelinWait123");
    EXPECT_EQ(namedEventName("OrvelinFax", 0), "/OrvelinFax0");
}

TEST(NamedEvent, AnotherProcessEndsTheWait) {
    const std::string name = uniqueEvent("Wait");
    std::string error;
    auto event = NamedEvent::create(name, &error);
    ASSERT_TRUE(event) << error;
    EXPECT_EQ(event->wait(20ms), NamedEvent::WaitResult::TimedOut);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(NamedEvent::signal(name) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(event->wait(30s), NamedEvent::WaitResult::Signalled);

    // Auto-reset: two signals before the wait are one; the wait consumes it.
    ASSERT_TRUE(NamedEvent::signal(name));
    ASSERT_TRUE(NamedEvent::signal(name));
    EXPECT_EQ(event->wait(30s), NamedEvent::WaitResult::Signalled);
    EXPECT_EQ(event->wait(0ms), NamedEvent::WaitResult::TimedOut);

    // A signal from another thread while we wait.
    std::thread signaller([&] { NamedEvent::signal(name); });
    EXPECT_EQ(event->wait(30s), NamedEvent::WaitResult::Signalled);
    signaller.join();
}

TEST(NamedEvent, ClosedEventsAreGoneAndLeftoversDoNotCount) {
    const std::string name = uniqueEvent("Fax");
    {
        auto event = NamedEvent::create(name);
        ASSERT_TRUE(event);
    }
    std::string error;
    EXPECT_FALSE(NamedEvent::signal(name, &error)) << "closing the event removes its name";
    EXPECT_NE(error.find(name), std::string::npos) << error;

    // A semaphore left signalled by a crashed run must not end the next wait at once.
    sem_t* leftover = sem_open(name.c_str(), O_CREAT, 0600, 3);
    ASSERT_NE(leftover, SEM_FAILED);
    sem_close(leftover);
    auto fresh = NamedEvent::create(name);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->wait(0ms), NamedEvent::WaitResult::TimedOut);

    EXPECT_FALSE(NamedEvent::create("no-slash"));
    EXPECT_FALSE(NamedEvent::create("/a/b"));
    EXPECT_FALSE(NamedEvent::signal(""));
}

// Both kinds of lock: the machine-wide abstract name (a private one here, so parallel
// runs do not meet) and a lock file.
TEST(SingleInstance, SecondAcquirerFailsUntilReleasedAndAKilledHolderLeavesNothing) {
    TempDir dir;
    const std::string names[] = {"@orvelin-sync-test-" + std::to_string(getpid()),
                                 dir.file("orvelin.lock")};
    for (const std::string& path : names) {
        SCOPED_TRACE(path);
        SingleInstanceLock first;
        ASSERT_EQ(first.acquire(path), SingleInstanceLock::Result::Acquired) << first.error();
        EXPECT_TRUE(first.held());
        // The lock must not be inherited by programs the instance starts.
        int found = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
            if (target == path || target.rfind("socket:", 0) == 0) {
                ++found;
                EXPECT_TRUE(fcntl(std::stoi(e.path().filename().string()), F_GETFD) & FD_CLOEXEC)
                    << target;
            }
        }
        EXPECT_GE(found, 1);

        // In this process (another open of the file) and in another process.
        SingleInstanceLock second;
        EXPECT_EQ(second.acquire(path), SingleInstanceLock::Result::HeldElsewhere);
        EXPECT_FALSE(second.held());
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            SingleInstanceLock other;
            _exit(other.acquire(path) == SingleInstanceLock::Result::HeldElsewhere ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

        first.release();
        EXPECT_EQ(second.acquire(path), SingleInstanceLock::Result::Acquired);
        SingleInstanceLock moved = std::move(second);
        EXPECT_TRUE(moved.held());
        EXPECT_EQ(first.acquire(path), SingleInstanceLock::Result::HeldElsewhere);
        moved.release();

        // A holder killed outright: the next start gets the lock.
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            SingleInstanceLock holder;
            const char held = holder.acquire(path) == SingleInstanceLock::Result::Acquired;
            if (write(ready[1], &held, 1) != 1) _exit(1);
            for (;;) pause();
        }
        close(ready[1]);
        char held = 0;
        ASSERT_EQ(read(ready[0], &held, 1), 1);
        close(ready[0]);
        EXPECT_TRUE(held);
        EXPECT_EQ(first.acquire(path), SingleInstanceLock::Result::HeldElsewhere);
        ASSERT_EQ(kill(child, SIGKILL), 0);
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(first.acquire(path), SingleInstanceLock::Result::Acquired) << first.error();
    }
}

TEST(SingleInstance, OtherFailuresAreNotASecondInstance) {
    SingleInstanceLock lock;
    for (const std::string& bad : {std::string("/nonexistent-dir/orvelin.lock"), std::string("@"),
                                   "@" + std::string(120, 'x')}) {
        EXPECT_EQ(lock.acquire(bad), SingleInstanceLock::Result::Error) << bad;
        EXPECT_NE(lock.error().find(bad), std::string::npos) << lock.error();
    }

    ASSERT_EQ(setenv("ORVELIN_LOCK", "/run/x.lock", 1), 0);
    EXPECT_EQ(SingleInstanceLock::defaultPath(), "/run/x.lock");
    ASSERT_EQ(unsetenv("ORVELIN_LOCK"), 0);
    // The named mutex of the program, the same for every data directory.
    ASSERT_EQ(setenv("ORVELIN_HOME", "/srv/orvelin/", 1), 0);
    EXPECT_EQ(SingleInstanceLock::defaultPath(), "@Vigil-VigilFirstInstanceProvidedByBrennholt");
}

TEST(WorkerThread, SuspendedThreadRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    WorkerThread worker([&](StopFlag&) { ran = true; }, {.startSuspended = true});
    // Cannot prove a negative without waiting; a short look catches a missing gate.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ran.load());
    worker.resume();
    worker.join();
    EXPECT_TRUE(ran.load());
    EXPECT_FALSE(worker.joinable());
}

TEST(WorkerThread, NeverResumedThreadEndsWithoutRunning) {
    std::atomic<bool> ran{false};
    {
        WorkerThread worker([&](StopFlag&) { ran = true; }, {.startSuspended = true});
    }
    EXPECT_FALSE(ran.load());
}

TEST(WorkerThread, StopFlagEndsAWaitingBody) {
    std::atomic<int> rounds{0};
    std::atomic<bool> sawStop{false};
    WorkerThread worker([&](StopFlag& stop) {
        while (!stop.waitFor(10ms)) ++rounds;
        sawStop = stop.requested();
    });
    while (rounds.load() < 2) std::this_thread::yield();
    worker.requestStop();
    EXPECT_TRUE(worker.stopRequested());
    worker.join();
    EXPECT_TRUE(sawStop.load());

    // Destruction stops and joins a body that would otherwise wait for an hour.
    auto start = std::chrono::steady_clock::now();
    {
        WorkerThread sleeper([](StopFlag& stop) { stop.waitFor(std::chrono::hours(1)); });
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::minutes(5));
}

TEST(WorkerThread, LowestPriorityAppliesToThatThreadOnly) {
    const int before = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    std::atomic<int> workerNice{-100};
    std::atomic<int> plainNice{-100};
    WorkerThread low(
        [&](StopFlag&) { workerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); },
        {.lowestPriority = true});
    low.join();
    WorkerThread plain(
        [&](StopFlag&) { plainNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); });
    plain.join();
    EXPECT_EQ(workerNice.load(), 19);
    EXPECT_EQ(plainNice.load(), before);
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), before);
}

TEST(Affinity, BindsToOneAllowedCpu) {
    // In a thread of its own, so the binding does not outlive the test.
    std::thread([] {
        cpu_set_t allowed;
        ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
        int cpu = bindToFirstCpu();
        ASSERT_GE(cpu, 0);
        EXPECT_TRUE(CPU_ISSET(cpu, &allowed));
        for (int c = 0; c < cpu; ++c) EXPECT_FALSE(CPU_ISSET(c, &allowed)) << "not the first CPU";
        cpu_set_t now;
        ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
        EXPECT_EQ(CPU_COUNT(&now), 1);
        EXPECT_TRUE(CPU_ISSET(cpu, &now));
    }).join();
}

TEST(WorkerThread, EmptyHandleTakesARunningThread) {
    WorkerThread worker;  // a member waiting for its thread, as the writers keep it
    EXPECT_FALSE(worker.joinable());
    worker.requestStop();  // harmless without a thread
    std::atomic<bool> ran{false};
    worker = WorkerThread([&](StopFlag&) { ran = true; });
    EXPECT_TRUE(worker.joinable());
    worker.join();
    EXPECT_TRUE(ran.load());
}

}  // namespace
