// Where the settings store reports values it had to replace. The program points this at its
// error log at start-up; until then lines go to standard error.
#pragma once

#include <string_view>

namespace orvelin::settings {

using SettingsLogSink = void (*)(std::string_view line);

// Replaces the sink (null restores standard error). Safe from any thread.
void SetSettingsLogSink(SettingsLogSink sink);

void SettingsLog(std::string_view line);

}  // namespace orvelin::settings
