// The greetings a fresh installation answers with: the general greeting and the end of
// the messages, spoken by the speech engine in the program's own words when the files
// are missing. A file the user put there is never replaced.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvelin::client {

struct DefaultGreeting {
    const char* fileName;  // in "Answer"
    const char* text;
};
extern const DefaultGreeting kDefaultGreetings[2];

// Speaks `text` into 16-bit mono samples at `rate`; false when no speech is available.
using Synthesizer =
    std::function<bool(const std::string& text, std::vector<std::int16_t>& samples, int& rate)>;

// The speech engine's English voice.
Synthesizer engineSynthesizer();

// Makes every default greeting that is missing in "<programDir>Answer". Each is written
// to a temporary file and linked into place, so a file that appeared meanwhile wins.
// Returns the number of files made.
int makeMissingGreetings(const std::string& programDir, const Synthesizer& synthesize,
                         const std::function<void(const std::string&)>& log);

// A 16-bit PCM mono WAVE file image.
std::vector<std::uint8_t> pcm16Wave(const std::vector<std::int16_t>& samples, int rate);

}  // namespace orvelin::client
