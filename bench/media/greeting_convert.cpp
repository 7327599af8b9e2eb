// One greeting conversion as its own process, bound the way the answering
// machine binds the library: load by absolute path, look up, call, unload.
// Usage: greeting_convert LIBRARY SOURCE DESTINATION [LEVEL FLOOR WINDOW]
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using ConvertFn = int32_t (*)(const char*, const char*, uint8_t, int32_t, int32_t, int32_t);

int main(int argc, char** argv) {
    if (argc != 4 && argc != 7) {
        std::fprintf(stderr, "usage: %s LIBRARY SOURCE DESTINATION [LEVEL FLOOR WINDOW]\n", argv[0]);
        return 2;
    }
    int32_t gain[3] = {0, 0, 0};
    for (int i = 0; argc == 7 && i < 3; ++i) gain[i] = static_cast<int32_t>(std::atol(argv[4 + i]));
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    auto fn = reinterpret_cast<ConvertFn>(dlsym(lib, "_SndConvertFile"));
    const int32_t r = fn != nullptr ? fn(argv[2], argv[3], 1, gain[0], gain[1], gain[2]) : 0;
    dlclose(lib);
    return r == 1 ? 0 : 1;
}
