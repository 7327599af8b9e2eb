#include "link/link_log.h"

#include <utility>

namespace orvelin::link {

bool KeptInUserLog(int level, std::string_view text) {
    // Level 2 holds the admission texts and the end of each peer, once per connection.
    if (level == 2) return true;
    if (level != 1) return false;
    return text == "Allready 10 clients connected. Connection refused." ||
           text.starts_with("Error accepting connection") ||
           text == kPeerTextDropped;
}

std::function<void(int, const std::string&)> UserLogSink(
    std::function<void(const std::string&)> write) {
    return [write = std::move(write)](int level, const std::string& text) {
        if (KeptInUserLog(level, text)) write(text);
    };
}

}  // namespace orvelin::link
