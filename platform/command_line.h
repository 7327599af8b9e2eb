// The program's own command line. Options are checked before anything else runs, so a
// mistyped option ends the program at once instead of being ignored.
#pragma once

#include <string>

namespace platform {

struct CommandLine {
    bool help = false;
    bool service = false;  // run headless, data under /var/lib/orvelin/
    std::string home;      // --home DIR; empty when not given
};

// "usage: orvelin [--home DIR] [--service]"
extern const char kUsageLine[];

// The usage line and one line per option, for --help.
std::string helpText();

// Accepts --home DIR, --home=DIR, --service, -h and --help. Anything else (an unknown
// option, a value where none belongs, a missing value, a plain argument) returns false
// with `error` saying what was wrong.
bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error);

}  // namespace platform
