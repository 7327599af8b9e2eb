// Binding a shared library for one use.
#include "platform/library.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/platform/temp_dir.h"

using namespace platform;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

constexpr const char* kProbe = "libplatform_library_probe.so";

TEST(Library, CallsTheExportAndUnloadsAtOnce) {
    const std::string dir = ORVELIN_BUILD_DIR;
    for (int use = 0; use < 3; ++use) {
        auto r = callLibraryExportIn<int()>(dir, kProbe, "probe_next");
        ASSERT_TRUE(r.called()) << r.error;
        // Every use starts from the library's initial state.
        EXPECT_EQ(r.value, 1) << "use " << use;
        EXPECT_EQ(dlopen((dir + "/" + kProbe).c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
            << "the library is still loaded after its use";
    }
    auto sum = callLibraryExportIn<int(int, int)>(dir, kProbe, "probe_add", 2, 40);
    ASSERT_TRUE(sum.called());
    EXPECT_EQ(sum.value, 42);
    int target = 0;
    auto stored = callLibraryExportIn<void(int*, int)>(dir, kProbe, "probe_store", &target, 9);
    EXPECT_TRUE(stored.called());
    EXPECT_EQ(target, 9);
}

TEST(Library, DefaultDirectoryIsBesideTheExecutableInABuildTree) {
    EXPECT_EQ(libraryDirectory(), std::string(ORVELIN_BUILD_DIR) + "/");
    auto r = callLibraryExport<int(int, int)>(kProbe, "probe_add", 1, 1);
    ASSERT_TRUE(r.called()) << r.error;
    EXPECT_EQ(r.value, 2);
}

TEST(Library, AbsentLibraryOrExportIsReportedNotCalled) {
    const std::string dir = ORVELIN_BUILD_DIR;
    auto missing = callLibraryExportIn<int()>(dir, "libno-such-library.so", "probe_next");
    EXPECT_EQ(missing.status, LibraryStatus::LibraryAbsent);
    EXPECT_FALSE(missing.value.has_value());
    EXPECT_NE(missing.error.find("libno-such-library.so"), std::string::npos) << missing.error;

    auto noExport = callLibraryExportIn<int()>(dir, kProbe, "_InvokeNothing");
    EXPECT_EQ(noExport.status, LibraryStatus::ExportAbsent);
    EXPECT_FALSE(noExport.value.has_value());
    EXPECT_NE(noExport.error.find("_InvokeNothing"), std::string::npos) << noExport.error;
    EXPECT_EQ(dlopen((dir + "/" + kProbe).c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);

    TempDir tmp;
    writeFile(tmp.file("libbroken.so"), "not a library at all");
    EXPECT_EQ(callLibraryExportIn<int()>(tmp.path(), "libbroken.so", "probe_next").status,
              LibraryStatus::LibraryAbsent);
    // A relative directory would let the loader search elsewhere: refused.
    EXPECT_EQ(callLibraryExportIn<int()>("", kProbe, "probe_next").status,
              LibraryStatus::LibraryAbsent);
    EXPECT_EQ(callLibraryExportIn<int()>("relative/dir", kProbe, "probe_next").status,
              LibraryStatus::LibraryAbsent);
}

}  // namespace
