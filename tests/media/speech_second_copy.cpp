// A library with its own copy of the speech code, as the settings library has:
// it must find and use the engine of the executable that loads it.
#include <memory>

#include "media/speech.h"

using namespace orvelin::media;

extern "C" __attribute__((visibility("default"))) void* speech_second_copy_service() {
    return &SpeechService::Instance();
}

extern "C" __attribute__((visibility("default"))) long speech_second_copy_render() {
    CTTSMode mode;
    auto sink = std::make_shared<MemoryDestination>();
    if (mode.InitAudio(sink) != S_OK || mode.InitDefault() != S_OK) return -1;
    if (mode.Speak(u"second copy", true) != S_OK) return -2;
    return static_cast<long>(sink->Samples().size());
}
