// Scenario files for the isdnsim program: one command per line, '#' starts a comment.
// The program paces line audio as a real line does (8000 bytes per second).
//
// Set-up lines (before the first step):
//   port 5400                          listen on this port (default: any free port)
//   controller bchannels 2 fax yes     add a controller (the first line replaces the default)
//   manufacturer "Sim Exchange"        serial 1234567
// Steps, run in order:
//   wait listen [timeout 30]           until the application listens (timeouts in seconds)
//   ring from 0301234567 to 456        incoming call; options: restricted, from none,
//        [cip 1] [controller 1] [uud "text"]
//   wait alert | answer | connected | cleared [timeout 30]
//   play FILE | play tone 2.5          line audio (A-law bytes) to the answered call
//   dtmf 12#                           DTMF digits from the caller
//   fax-tone calling | answer          fax tones, reported as the digits 'X' and 'Y'
//   fax FILE [pages 2] [resolution fine|normal] [station "id"] [stay]
//                                      the SFF file as fax data once a T.30 link is up, then
//                                      the B3 clearing with the pages and (unless stay) hang-up
//   save FILE                          the audio the application sent on the call so far
//   info 0x8001                        an INFO indication with that Info number
//   clear-b3 [reason 0x3301] [ncpi 0a00...]   the far end clears the B3 link (ncpi in hex)
//   hangup [reason 0x3490]             the caller hangs up
//   pause 1.5                          wait so many seconds
//   drop-link                          the exchange goes away
//   loop                               start again at the first step
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "tools/isdnsim/isdnsim.h"

namespace isdnsim {

struct Step {
    std::string command;
    std::vector<std::string> words;  // the command's arguments, quotes removed
    int line = 0;
};

struct Scenario {
    Options options;
    std::vector<Step> steps;
};

// Throws std::runtime_error naming the line for anything it does not understand.
Scenario parseScenario(std::istream& in);

// Plays the steps against a running exchange; reports progress on `log`. Returns false
// (with a message on `log`) when a wait times out.
bool playScenario(Exchange& exchange, const Scenario& scenario, std::ostream& log);

// One second of a tone as A-law line audio (8000 samples, bit order as on the line).
Bytes toneALaw(double seconds, double frequency = 425.0);

}  // namespace isdnsim
