// The library's exports, bound by name. Each dialog export builds its form as a local
// object, shows it modally and destroys it before returning, so nothing of it outlives the
// call and the caller can unload the library at once.
#include <dlfcn.h>

#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "platform/registry.h"
#include "settings/settings_store.h"

#include "tessaly/caller_form.h"
#include "tessaly/cfig_main.h"
#include "tessaly/export.h"
#include "tessaly/msn_form.h"

// Nothing sets these two: callers that look them up by name always find null.
TESSALY_EXPORT extern void* callerDialogExport asm("_CallerDialog");
TESSALY_EXPORT extern void* msnFormExport asm("_MSNform");

void* callerDialogExport = nullptr;
void* msnFormExport = nullptr;

extern "C" TESSALY_EXPORT int invokeConfigDialog(const char* programDirectory, int left, int top,
                                                 int height, int width) asm("_InvokeConfigDialog");

extern "C" TESSALY_EXPORT int invokeMsnDialog(const char* programDirectory, int controllers,
                                              int faxCapable, int left, int top, int height,
                                              int width) asm("_InvokeMSNDialog");

extern "C" TESSALY_EXPORT int invokeCallerDialog(const char* programDirectory, char* number,
                                                 const void* ring, int head, int left, int top,
                                                 int height, int width, int startPage,
                                                 int numberReadOnly) asm("_InvokeCallerDialog");

namespace {

// The number of records in the program's call ring: from the program itself when it says,
// else the setting it was allocated from.
int ringCount() {
    using CountFn = int (*)();
    if (auto count = reinterpret_cast<CountFn>(dlsym(RTLD_DEFAULT, "orvelin_call_ring_count_v1")))
        return count();
    platform::RegNode root;
    if (!platform::Hive::atDefaultPath().load(root).ok()) return 150;
    const platform::RegNode* key = root.subkey(orvelin::settings::kProductKey);
    return key ? int(std::min<std::uint32_t>(key->readDword("MaxCalls", 150), 1u << 20)) : 150;
}

// Runs one dialog; whatever escapes it is logged and answered with `failed`, since the
// caller expects every export to return.
template <typename F>
int contained(const char* what, int failed, F&& run) {
    if (!QApplication::instance()) {
        std::fprintf(stderr, "settings library: %s needs the program's application object\n",
                     what);
        return failed;
    }
    try {
        return run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "settings library: %s failed: %s\n", what, e.what());
    } catch (...) {
        std::fprintf(stderr, "settings library: %s failed\n", what);
    }
    return failed;
}

}  // namespace

int invokeConfigDialog(const char* programDirectory, int left, int top, int height, int width) {
    return contained("the options dialog", 0, [&] {
        tessaly::TCfigForm form(programDirectory ? programDirectory : "", left, top, height,
                                width);
        form.exec();
        return 0;
    });
}

int invokeMsnDialog(const char* programDirectory, int controllers, int faxCapable, int left,
                    int top, int height, int width) {
    return contained("the number dialog", 2, [&] {
        tessaly::TMSNform form(programDirectory ? programDirectory : "", controllers,
                               faxCapable != 0, left, top, height, width);
        return form.exec() == QDialog::Accepted ? 1 : 2;
    });
}

int invokeCallerDialog(const char* programDirectory, char* number, const void* ring, int head,
                       int left, int top, int height, int width, int startPage,
                       int numberReadOnly) {
    return contained("the caller dialog", 0, [&] {
        tessaly::TCallerDialog form(number, programDirectory ? programDirectory : "", left, top,
                                    height, width, numberReadOnly != 0);
        form.LoadCaller(static_cast<const unsigned char*>(ring), ring ? ringCount() : 0, head,
                        startPage);
        form.exec();
        return form.IsSaved() ? 1 : 0;
    });
}
