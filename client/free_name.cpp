#include "client/free_name.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace orvelin::client {

std::string numberedName(const std::string& path, unsigned n) {
    if (n <= 1) return path;
    const std::size_t slash = path.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.find_last_of('.');
    // A leading dot names a hidden file; it is no extension.
    if (dot == std::string::npos || dot <= nameStart) dot = path.size();
    std::string out = path.substr(0, dot);
    out += '_';
    out += std::to_string(n);
    out += path.substr(dot);
    return out;
}

int createFreeFile(const std::string& path, int flags, std::string& chosen, std::string* error,
                   const std::function<bool(const std::string&)>& taken) {
    for (unsigned n = 1; n <= kMaxNumberedNames; ++n) {
        const std::string name = numberedName(path, n);
        if (taken && taken(name)) continue;
        const int fd = ::open(name.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            chosen = name;
            return fd;
        }
        if (errno != EEXIST) {
            if (error) *error = std::strerror(errno);
            return -1;
        }
    }
    if (error) *error = "no free name left";
    return -1;
}

}  // namespace orvelin::client
