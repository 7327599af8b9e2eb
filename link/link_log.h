// What of the link's texts a user reads in the program's log: a peer admitted, refused or
// dropped, a listener that cannot take connections, a peer's text that was not shown.
// Every other text comes once per frame, record or answer, so any peer could fill the
// disk with them; they go nowhere.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace orvelin::link {

// Logged once for every box of a peer's text when the peer sends more while it is open,
// and once when a connection has had all its texts logged.
inline constexpr std::string_view kPeerTextDropped = "Further texts from client dropped";

bool KeptInUserLog(int level, std::string_view text);

// A link log sink (LinkConfig::log) handing the kept texts to `write`.
std::function<void(int, const std::string&)> UserLogSink(
    std::function<void(const std::string&)> write);

}  // namespace orvelin::link
