// Stands in for the settings library in the caller-list tests. It exports the
// caller form's entry point and hands every call to a function the test binary
// exports, so the tests script the form while the list binds the real way.
// Built without the export (FAKE_FORM_NO_EXPORT) it is a library that lacks it.
#include <dlfcn.h>

#ifndef FAKE_FORM_NO_EXPORT
using FormHook = int(const char*, char*, const void*, int, int, int, int, int, int, int);

extern "C" __attribute__((visibility("default"))) int _InvokeCallerDialog(
    const char* programDir, char* number, const void* ring, int head, int left, int top, int height,
    int width, int startPage, int numberReadOnly) {
    auto* hook = reinterpret_cast<FormHook*>(dlsym(RTLD_DEFAULT, "orvelin_test_caller_form"));
    if (!hook) return 0;
    return hook(programDir, number, ring, head, left, top, height, width, startPage,
                numberReadOnly);
}
#else
extern "C" __attribute__((visibility("default"))) int fakeFormWithoutExport() {
    return 0;
}
#endif
