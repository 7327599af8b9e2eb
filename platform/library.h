// Binding a shared library for one use: load it by absolute path, look up one export,
// call it once, unload it at once. Nothing of the library stays loaded between uses,
// so every use starts from the library's initial state.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/paths.h"

namespace platform {

enum class LibraryStatus {
    Called,         // the export was found and called
    LibraryAbsent,  // the file is missing or cannot be loaded
    ExportAbsent,   // the library has no export of that name
};

struct LibraryCall {
    LibraryStatus status = LibraryStatus::LibraryAbsent;
    std::string error;  // the loader's text, for the log; empty after a call
    bool called() const { return status == LibraryStatus::Called; }
};

// Loads `directory`/`fileName` (RTLD_NOW | RTLD_LOCAL), hands the export's address to
// `use`, then unloads the library before returning. `use` must not keep the address
// or anything that points into the library.
LibraryCall useLibraryExport(const std::string& directory, std::string_view fileName,
                             const char* exportName, const std::function<void(void*)>& use);

template <typename R>
struct LibraryResult : LibraryCall {
    std::optional<R> value;  // the export's result when it was called
};
template <>
struct LibraryResult<void> : LibraryCall {};

template <typename Sig>
struct ExportSignature;
template <typename R, typename... Params>
struct ExportSignature<R(Params...)> {
    using Result = R;
};

// Calls the export of type Sig (e.g. int(void*, int)) once with `args`:
//   auto r = callLibraryExportIn<int(int)>(dir, "libsundrel.so", "name", 3);
//   if (!r.called()) ...  // absent: the caller decides, nothing crashed
template <typename Sig, typename... Args>
LibraryResult<typename ExportSignature<Sig>::Result> callLibraryExportIn(
    const std::string& directory, std::string_view fileName, const char* exportName,
    Args&&... args) {
    using R = typename ExportSignature<Sig>::Result;
    LibraryResult<R> result;
    LibraryCall call = useLibraryExport(directory, fileName, exportName, [&](void* address) {
        auto* fn = reinterpret_cast<Sig*>(address);
        if constexpr (std::is_void_v<R>) {
            fn(std::forward<Args>(args)...);
        } else {
            result.value = fn(std::forward<Args>(args)...);
        }
    });
    static_cast<LibraryCall&>(result) = std::move(call);
    return result;
}

// The same from the program's library directory.
template <typename Sig, typename... Args>
LibraryResult<typename ExportSignature<Sig>::Result> callLibraryExport(std::string_view fileName,
                                                                       const char* exportName,
                                                                       Args&&... args) {
    return callLibraryExportIn<Sig>(libraryDirectory(), fileName, exportName,
                                    std::forward<Args>(args)...);
}

}  // namespace platform
