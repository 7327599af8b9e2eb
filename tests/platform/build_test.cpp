// The build's own promises: the two libraries are loadable and unloadable.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

namespace {

std::string besideTests(const char* name) { return std::string(ORVELIN_BUILD_DIR) + "/" + name; }

TEST(Build, LibrariesLoadAndUnload) {
    for (const char* lib : {"libtessaly.so", "libsundrel.so"}) {
        void* h = dlopen(besideTests(lib).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(h, nullptr) << lib << ": " << dlerror();
        EXPECT_EQ(dlclose(h), 0) << lib;
        // A library that cannot be unloaded would keep its state to the next use.
        EXPECT_EQ(dlopen(besideTests(lib).c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << lib;
    }
}

}  // namespace
