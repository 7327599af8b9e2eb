// A process without the speech code of its own, like any program that loads
// the settings library: the library's copy owns the engine, and unloading and
// loading it again must neither start the engine twice nor hang.
#include <dlfcn.h>
#include <gtest/gtest.h>

TEST(SpeechInLoadedLibrary, UnloadAndReloadKeepsOneEngine) {
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "orvelin_speech_service_v1"), nullptr)
        << "this binary must not carry the speech code itself";
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        void* module = dlopen(ORVELIN_SPEECH_SECOND_COPY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        auto render = reinterpret_cast<long (*)()>(dlsym(module, "speech_second_copy_render"));
        ASSERT_NE(render, nullptr);
        EXPECT_GT(render(), 1000);
        ASSERT_EQ(dlclose(module), 0);
        // Really gone, so the next round gets a fresh copy of the code.
        EXPECT_EQ(dlopen(ORVELIN_SPEECH_SECOND_COPY, RTLD_NOW | RTLD_NOLOAD), nullptr);
    }
}
