#include "platform/library.h"

#include <dlfcn.h>

#include <memory>

namespace platform {

namespace {

std::string loaderError(std::string_view what, const std::string& path) {
    const char* err = dlerror();
    return std::string(what) + " " + path + (err ? std::string(": ") + err : std::string());
}

}  // namespace

LibraryCall useLibraryExport(const std::string& directory, std::string_view fileName,
                             const char* exportName, const std::function<void(void*)>& use) {
    const std::string path = joinPath(directory, fileName);
    // Always an absolute path, so the loader's own search (LD_LIBRARY_PATH, the cache)
    // can never pick up some other file of the same name.
    if (path.empty() || path.front() != '/')
        return {LibraryStatus::LibraryAbsent, "not an absolute library path: " + path};
    // Unloaded on every way out, an exception from `use` included.
    std::unique_ptr<void, int (*)(void*)> handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL),
                                                 &dlclose);
    if (!handle) return {LibraryStatus::LibraryAbsent, loaderError("cannot load", path)};
    dlerror();
    void* address = dlsym(handle.get(), exportName);
    if (!address) {
        return {LibraryStatus::ExportAbsent,
                loaderError(std::string("no export ") + exportName + " in", path)};
    }
    use(address);
    return {LibraryStatus::Called, {}};
}

}  // namespace platform
