// Reads reuse the parsed hive only while the file is unchanged: every way of changing
// it must be seen by the next read, however soon it comes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/registry.h"
#include "tests/platform/temp_dir.h"

using namespace platform;
using testing_support::TempDir;

namespace {

constexpr const char* kKey = "SOFTWARE\\ORVELIN";

// Every value gives a text of the same length, so an in-place rewrite keeps the size.
std::string hiveText(uint32_t options) {
    char line[64];
    std::snprintf(line, sizeof line, "\"Options\"=dword:%08x\n", options);
    return std::string("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\") + kKey +
           "]\n" + line;
}

uint32_t readOptions(const Hive& hive) {
    auto key = hive.openKey(kKey, RegAccess::Read);
    return key ? key->readDword("Options", 0xFFFFFFFF) : 0xFFFFFFFF;
}

// A new file renamed over the hive, as every writer does.
void replaceByRename(const std::string& path, uint32_t options) {
    const std::string tmp = path + ".new";
    testing_support::writeFile(tmp, hiveText(options));
    ASSERT_EQ(std::rename(tmp.c_str(), path.c_str()), 0);
}

// The same inode rewritten at the same size, its modification time put back, as a
// careless editor might leave it.
void rewriteInPlace(const std::string& path, uint32_t options) {
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string text = hiveText(options);
    ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(after.st_size, before.st_size);
}

// Longer than the file system's timestamp step, so the cached tree is trusted on the
// file's identity alone when the change comes.
void letTheFileSettle(const std::string& path) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const bool coarse = st.st_ctim.tv_nsec % 10000000 == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(coarse ? 2700 : 250));
}

TEST(RegistryReadCache, EveryChangeIsSeenByTheNextRead) {
    struct Case {
        const char* name;
        void (*change)(const std::string&, uint32_t);
        bool settled;  // the tree was cached long after the file's last change
    };
    const Case cases[] = {
        {"rename, at once", replaceByRename, false},
        {"in place, at once", rewriteInPlace, false},
        {"rename, settled", replaceByRename, true},
        {"in place, settled", rewriteInPlace, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const Hive hive(dir.file("orvelin.reg"));
        testing_support::writeFile(hive.path(), hiveText(1));
        if (c.settled) letTheFileSettle(hive.path());
        ASSERT_EQ(readOptions(hive), 1u);
        ASSERT_EQ(readOptions(hive), 1u);  // from the cache
        // Back-to-back changes fall within one tick of the file system's clock.
        const uint32_t rounds = c.settled ? 1 : 40;
        for (uint32_t i = 2; i < 2 + rounds; ++i) {
            c.change(hive.path(), i);
            ASSERT_EQ(readOptions(hive), i) << "change " << i;
        }
    }
}

TEST(RegistryReadCache, WritesThroughTheHiveAndOtherHivesAreSeen) {
    TempDir dir;
    const Hive a(dir.file("a.reg"));
    const Hive b(dir.file("b.reg"));
    for (uint32_t i = 1; i <= 20; ++i) {
        ASSERT_TRUE(a.createKey(kKey)->setDword("Options", i).ok());
        ASSERT_TRUE(b.createKey(kKey)->setDword("Options", i + 100).ok());
        EXPECT_EQ(readOptions(a), i);
        EXPECT_EQ(readOptions(b), i + 100);
    }
    // A deleted hive reads as empty; a malformed one is refused, not served from the cache.
    ASSERT_EQ(unlink(a.path().c_str()), 0);
    EXPECT_FALSE(a.openKey(kKey, RegAccess::Read));
    testing_support::writeFile(b.path(), "not a hive\n");
    RegResult error;
    EXPECT_FALSE(b.openKey(kKey, RegAccess::Read, &error));
    EXPECT_EQ(error.status, RegStatus::Malformed);
}

}  // namespace
