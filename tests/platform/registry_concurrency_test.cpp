// The hive under concurrent writers: threads, a second copy of the code, and writers
// killed in the middle of a transaction.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "tests/platform/temp_dir.h"
#include "tests/support/numbered.h"

using namespace platform;
using testing_support::TempDir;

namespace {

constexpr const char* kKey = "SOFTWARE\\ORVELIN";

void increment(const Hive& hive, const std::string& own) {
    RegResult r = hive.update([&](RegNode& root) {
        RegNode* k = root.createSubkey(kKey);
        k->setDword("Counter", k->readDword("Counter", 0) + 1);
        k->setDword(own, k->readDword(own, 0) + 1);
    });
    ASSERT_TRUE(r.ok()) << r.message;
}

uint32_t readCounter(const Hive& hive, const char* name = "Counter") {
    auto key = hive.openKey(kKey, RegAccess::Read);
    return key ? key->readDword(name, 0) : 0;
}

TEST(RegistryConcurrency, ThreadsAndTwoCopiesLoseNoUpdate) {
    void* lib = dlopen(REGISTRY_COPY_LIB, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using IncrementFn = int (*)(const char*, const char*, int);
    using IdentityFn = const void* (*)();
    auto copyIncrement = reinterpret_cast<IncrementFn>(dlsym(lib, "registry_copy_increment"));
    auto copyIdentity = reinterpret_cast<IdentityFn>(dlsym(lib, "registry_copy_identity"));
    ASSERT_NE(copyIncrement, nullptr);
    ASSERT_NE(copyIdentity, nullptr);
    ASSERT_NE(copyIdentity(), reinterpret_cast<const void*>(&platform::serializeHive))
        << "the library must carry its own copy of the registry code";

    TempDir dir;
    const Hive hive(dir.file("orvelin.reg"));
    constexpr int kThreads = 8;
    constexpr int kEach = 130;  // 8 x 130 = 1040 transactions
    std::atomic<bool> writing{true};
    std::atomic<int> readerFailures{0};
    std::atomic<int> readerRegressions{0};
    std::vector<int> copyResults(kThreads, 0);

    // Readers take no lock: they must still only ever see whole files.
    std::thread reader([&] {
        uint32_t last = 0;
        while (writing.load()) {
            RegNode root;
            if (!hive.load(root).ok()) ++readerFailures;
            const RegNode* k = root.subkey(kKey);
            uint32_t now = k ? k->readDword("Counter", 0) : 0;
            if (now < last) ++readerRegressions;
            last = now;
        }
    });
    // The same through the parsed trees the readers share.
    std::thread keyReader([&] {
        uint32_t last = 0;
        while (writing.load()) {
            uint32_t now = readCounter(hive);
            if (now < last) ++readerRegressions;
            last = now;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            const std::string own = orvelin::test::Numbered("T", t);
            if (t % 2 == 0) {
                for (int i = 0; i < kEach; ++i) increment(hive, own);
            } else {
                copyResults[static_cast<size_t>(t)] =
                    copyIncrement(hive.path().c_str(), own.c_str(), kEach);
            }
        });
    }
    for (auto& w : writers) w.join();
    writing = false;
    reader.join();
    keyReader.join();
    EXPECT_EQ(dlclose(lib), 0);

    for (int t = 1; t < kThreads; t += 2)
        EXPECT_EQ(copyResults[static_cast<size_t>(t)], kEach) << "thread " << t;
    EXPECT_EQ(readCounter(hive), static_cast<uint32_t>(kThreads * kEach));
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(readCounter(hive, orvelin::test::Numbered("T", t).c_str()),
                  static_cast<uint32_t>(kEach))
            << "thread " << t;
    EXPECT_EQ(readerFailures.load(), 0);
    EXPECT_EQ(readerRegressions.load(), 0);
}

// A writer process is killed with SIGKILL at varying points of its loop. Every
// transaction it reported as done must be in the file, and the file must parse.
TEST(RegistryConcurrency, WriterKilledMidTransactionLeavesAWholeFile) {
    TempDir dir;
    const Hive hive(dir.file("orvelin.reg"));
    // Give the file some bulk so a write takes more than one system call's worth.
    ASSERT_TRUE(hive.update([](RegNode& root) {
                        RegNode* k = root.createSubkey("SOFTWARE\\ORVELIN\\Bulk");
                        for (int i = 0; i < 200; ++i)
                            k->setString("Value" + std::to_string(i), std::string(100, 'x'));
                    })
                    .ok());

    uint32_t acknowledged = 0;
    constexpr int kKills = 24;
    for (int round = 0; round < kKills; ++round) {
        int ack[2];
        ASSERT_EQ(pipe(ack), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ack[0]);
            for (;;) {
                RegResult r = hive.update([](RegNode& root) {
                    RegNode* k = root.createSubkey(kKey);
                    k->setDword("Counter", k->readDword("Counter", 0) + 1);
                });
                if (!r.ok()) _exit(2);
                if (write(ack[1], "x", 1) != 1) _exit(3);
            }
        }
        close(ack[1]);
        // Let it finish a varying number of transactions, then kill it wherever it is.
        const int wanted = 1 + round % 5;
        int got = 0;
        char c;
        while (got < wanted && read(ack[0], &c, 1) == 1) ++got;
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        // Transactions acknowledged after our count but before the kill count as well.
        while (read(ack[0], &c, 1) == 1) ++got;
        close(ack[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer failed with status " << status;
        ASSERT_EQ(got >= wanted, true);
        acknowledged += static_cast<uint32_t>(got);

        RegNode root;
        RegResult r = hive.load(root);
        ASSERT_TRUE(r.ok()) << "round " << round << ": " << r.message;
        uint32_t counter = root.subkey(kKey)->readDword("Counter", 0);
        EXPECT_GE(counter, acknowledged) << "round " << round;
        // At most the one transaction in flight at the kill landed unacknowledged.
        EXPECT_LE(counter, acknowledged + 1) << "round " << round;
        acknowledged = counter;  // one unacknowledged transaction may have landed
        EXPECT_EQ(root.subkey("SOFTWARE\\ORVELIN\\Bulk")->valueNames().size(), 200u);
    }
    // A stale temp file or lock from the killed writers does not stop the next one.
    increment(hive, "After");
    EXPECT_EQ(readCounter(hive), acknowledged + 1);
}

}  // namespace
