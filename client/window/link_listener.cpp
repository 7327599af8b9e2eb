#include "client/window/link_listener.h"

#include "capi/capi_log.h"
#include "link/instance_link.h"
#include "link/link_log.h"

namespace orvelin::client {

LinkListener::LinkListener(const CallRing& ring) {
    link::LinkConfig config;
    config.ring = &ring;
    config.log = link::UserLogSink(capi::WriteCapiLog);
    server_ = std::make_unique<link::InstanceLinkServer>(std::move(config));
}

LinkListener::~LinkListener() {
    shutdown();
}

bool LinkListener::listen(std::uint32_t hostPort) {
    if (server_->ListenOnHostPort(hostPort) != 0) {
        capi::WriteCapiLogf("Instance link: cannot listen on port %u", unsigned(hostPort));
        return false;
    }
    listening_ = true;
    return true;
}

void LinkListener::queueCall(int ringIndex) {
    if (listening_ && ringIndex >= 0) server_->QueueCall(std::uint32_t(ringIndex));
}

void LinkListener::shutdown() {
    if (!server_) return;
    server_->Shutdown();
    listening_ = false;
}

std::uint16_t LinkListener::port() const {
    return listening_ ? server_->port() : 0;
}

}  // namespace orvelin::client
