// Conversion of a raw line-audio recording (bit-reversed A-law or mu-law,
// 8000 samples per second, no header) into an 8-bit 8 kHz mono PCM WAVE file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "media/g711.h"
#include "media/wavefile.h"

namespace orvelin::media {

class CSoundConv {
public:
    // Opens the source for reading and prepares the destination when both paths
    // are given (empty = none). Only the line-audio to WAVE direction exists:
    // with `toWave` false, or an absurd gain window, the object gets no streams.
    // The destination file appears only when Convert succeeds.
    CSoundConv(const std::string& source, const std::string& destination, bool toWave, bool aLaw,
               double level, int32_t floor, int32_t window);
    ~CSoundConv();
    CSoundConv(const CSoundConv&) = delete;
    CSoundConv& operator=(const CSoundConv&) = delete;

    // Converts the whole source once. False without streams, on a read or write
    // error, or for a source too long for the WAVE header; then no destination
    // is written. The streams are closed afterwards either way.
    bool Convert();

private:
    void CloseStreams();

    bool toWave_;
    bool aLaw_;
    GainState gain_;
    FILE* source_ = nullptr;
    AtomicFile destination_;
};

}  // namespace orvelin::media
