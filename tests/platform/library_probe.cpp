// Test library for the per-use binding: its state must start fresh at every use.
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
int calls = 0;
}

PROBE_EXPORT int probe_next() {
    return ++calls;
}
PROBE_EXPORT int probe_add(int a, int b) {
    return a + b;
}
PROBE_EXPORT void probe_store(int* target, int value) {
    *target = value;
}
