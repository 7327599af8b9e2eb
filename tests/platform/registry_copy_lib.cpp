// A second copy of the registry code in its own shared library, as the settings
// library carries one: the concurrency test drives both copies at once.
#include "platform/registry.h"

#define COPY_EXPORT extern "C" __attribute__((visibility("default")))

// Increments "Counter" and `valueName` under SOFTWARE\ORVELIN `times` times, one
// transaction each. Returns the number done, or -1 on the first failure.
COPY_EXPORT int registry_copy_increment(const char* hivePath, const char* valueName, int times) {
    platform::Hive hive(hivePath);
    for (int i = 0; i < times; ++i) {
        platform::RegResult r = hive.update([&](platform::RegNode& root) {
            platform::RegNode* k = root.createSubkey("SOFTWARE\\ORVELIN");
            k->setDword("Counter", k->readDword("Counter", 0) + 1);
            k->setDword(valueName, k->readDword(valueName, 0) + 1);
        });
        if (!r.ok()) return -1;
    }
    return times;
}

// The address of this copy's serializer, so the test can tell the copies apart.
COPY_EXPORT const void* registry_copy_identity() {
    return reinterpret_cast<const void*>(&platform::serializeHive);
}
