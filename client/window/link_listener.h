// The listening side of the instance link as the client window runs it: the server that
// sends every listed or changed call to the connected peers, started on "HostPort" at
// set-up and shut down at clean-up. A port that cannot be used leaves the program
// running without the link, as a missing network would.
#pragma once

#include <cstdint>
#include <memory>

#include "client/call_ring.h"

namespace orvelin::link {
class InstanceLinkServer;
}

namespace orvelin::client {

class LinkListener {
  public:
    explicit LinkListener(const CallRing& ring);
    ~LinkListener();
    LinkListener(const LinkListener&) = delete;
    LinkListener& operator=(const LinkListener&) = delete;

    // Listens on the port; false (and a log line) when it cannot.
    bool listen(std::uint32_t hostPort);
    // A record at this ring index was listed or changed.
    void queueCall(int ringIndex);
    // Closes every peer and the listening socket.
    void shutdown();
    // The port listened on, 0 when none.
    std::uint16_t port() const;

  private:
    std::unique_ptr<link::InstanceLinkServer> server_;
    bool listening_ = false;
};

}  // namespace orvelin::client
