#include "settings/settings_log.h"

#include <atomic>
#include <cstdio>

namespace orvelin::settings {

namespace {

std::atomic<SettingsLogSink> g_sink{nullptr};

}  // namespace

void SetSettingsLogSink(SettingsLogSink sink) {
    g_sink.store(sink);
}

void SettingsLog(std::string_view line) {
    if (SettingsLogSink sink = g_sink.load()) {
        sink(line);
        return;
    }
    std::fprintf(stderr, "orvelin: %.*s\n", static_cast<int>(line.size()), line.data());
}

}  // namespace orvelin::settings
