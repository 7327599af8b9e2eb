#include "client/window/library_hooks.h"

namespace orvelin::client {
namespace {

// Set and used on the window thread only: the library calls back from inside its dialog.
LibraryHooks& hooks() {
    static LibraryHooks current;
    return current;
}

}  // namespace

void setLibraryHooks(LibraryHooks h) { hooks() = std::move(h); }

}  // namespace orvelin::client

extern "C" __attribute__((visibility("default"))) int orvelin_call_ring_count_v1() {
    const auto& h = orvelin::client::hooks();
    return h.ringCount ? h.ringCount() : -1;
}

extern "C" __attribute__((visibility("default"))) int orvelin_send_settings_changed_v1(
    unsigned wParam, const char* text) {
    const auto& h = orvelin::client::hooks();
    return h.settingsChanged ? int(h.settingsChanged(wParam, text)) : -1;
}
