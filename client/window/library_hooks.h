// What the settings library may ask of the running program. The library carries its own copy
// of the platform layer, so it cannot reach the window's objects; it finds these two entry
// points by name (dlsym on the program) instead:
//   int orvelin_call_ring_count_v1()  the records in the call ring the dialogs are handed
//   int orvelin_send_settings_changed_v1(unsigned wParam, const char* text)
//       WM_SETTINGS_CHANGED to the client window, on the window thread; -1 without a window
#pragma once

#include <functional>

namespace orvelin::client {

struct LibraryHooks {
    std::function<int()> ringCount;
    std::function<long(unsigned, const char*)> settingsChanged;
};

// The window installs its hooks while it exists; an empty set removes them.
void setLibraryHooks(LibraryHooks hooks);

}  // namespace orvelin::client
