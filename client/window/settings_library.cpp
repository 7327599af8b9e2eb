#include "client/window/settings_library.h"

#include "capi/capi_log.h"
#include "platform/library.h"
#include "settings/callers_dialog.h"

namespace orvelin::client {

namespace {

// The export takes five arguments; a sixth would be ignored, so none is passed.
using ConfigDialogFn = int(const char*, int, int, int, int);
using MsnDialogFn = int(const char*, int, int, int, int, int, int);

template <typename R>
std::optional<std::uint16_t> lowWord(const platform::LibraryResult<R>& r, const char* name) {
    if (!r.called() || !r.value) {
        if (!r.error.empty()) capi::WriteCapiLog(std::string(name) + ": " + r.error);
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*r.value & 0xFFFF);
}

}  // namespace

template <typename Call>
std::optional<std::uint16_t> SettingsLibrary::modal(Call&& call) const {
    const bool before = modal_ ? *modal_ : false;
    if (modal_) *modal_ = true;
    std::optional<std::uint16_t> result = call();
    if (modal_) *modal_ = before;
    return result;
}

std::optional<std::uint16_t> SettingsLibrary::configDialog(const DialogPlacement& at) const {
    return modal([&] {
        return lowWord(platform::callLibraryExportIn<ConfigDialogFn>(
                           libraryDir_, libraryFile_, kConfigDialogExport, programDir_.c_str(),
                           at.left, at.top, at.height, at.width),
                       kConfigDialogExport);
    });
}

std::optional<std::uint16_t> SettingsLibrary::msnDialog(int controllers, bool faxCapable,
                                                        const DialogPlacement& at) const {
    return modal([&] {
        return lowWord(platform::callLibraryExportIn<MsnDialogFn>(
                           libraryDir_, libraryFile_, kMsnDialogExport, programDir_.c_str(),
                           controllers, faxCapable ? 1 : 0, at.left, at.top, at.height, at.width),
                       kMsnDialogExport);
    });
}

std::optional<std::uint16_t> SettingsLibrary::callerDialog(char* number, const void* ring,
                                                           int ringHead,
                                                           const DialogPlacement& at) const {
    return modal([&] {
        return lowWord(platform::callLibraryExportIn<settings::InvokeCallerDialogFn>(
                           libraryDir_, libraryFile_, settings::kCallerFormExport,
                           programDir_.c_str(), number, ring, ringHead, at.left, at.top,
                           at.height, at.width, 0, 1),
                       settings::kCallerFormExport);
    });
}

}  // namespace orvelin::client
