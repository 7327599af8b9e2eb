// A library holding the whole of the settings library's copy of the platform layer,
// so the test can show that copy does not pin a library in memory.
#include "platform/registry.h"

extern "C" __attribute__((visibility("default"))) int platform_probe_path_length() {
    return int(platform::Hive("probe.reg").path().size());
}
