// The settings library's three dialogs, bound for one use each: load the library, look
// the export up, call it once, unload it. A missing library or export does nothing and
// says so with nullopt. The dialog is placed over the client window; while it runs the
// window's "modal dialog" flag is set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvelin::client {

inline constexpr const char* kConfigDialogExport = "_InvokeConfigDialog";
inline constexpr const char* kMsnDialogExport = "_InvokeMSNDialog";

// Screen position of the client area's origin, and the outer size of the window.
struct DialogPlacement {
    int left = 0, top = 0, height = 0, width = 0;
};

class SettingsLibrary {
  public:
    SettingsLibrary(std::string libraryDir, std::string libraryFile, std::string programDir,
                    bool* modalDialogActive)
        : libraryDir_(std::move(libraryDir)),
          libraryFile_(std::move(libraryFile)),
          programDir_(std::move(programDir)),
          modal_(modalDialogActive) {}

    // The export's result, low 16 bits only.
    std::optional<std::uint16_t> configDialog(const DialogPlacement& at) const;
    std::optional<std::uint16_t> msnDialog(int controllers, bool faxCapable,
                                           const DialogPlacement& at) const;
    // number: a writable, zero-terminated buffer of numberBytes bytes (256).
    std::optional<std::uint16_t> callerDialog(char* number, const void* ring, int ringHead,
                                              const DialogPlacement& at) const;

    const std::string& programDir() const { return programDir_; }

  private:
    template <typename Call>
    std::optional<std::uint16_t> modal(Call&& call) const;

    std::string libraryDir_, libraryFile_, programDir_;
    bool* modal_;
};

}  // namespace orvelin::client
