#include "platform/command_line.h"

#include <string_view>

namespace platform {

const char kUsageLine[] = "usage: orvelin [--home DIR] [--service]";

std::string helpText() {
    return std::string(kUsageLine) +
           "\n"
           "Watches the ISDN lines and acts on every call.\n"
           "\n"
           "  --home DIR   keep the program's data in DIR (ORVELIN_HOME wins over it;\n"
           "               default $XDG_DATA_HOME/orvelin, /var/lib/orvelin with --service)\n"
           "  --service    run as a system service: no window, no tray, no dialogs\n"
           "  -h, --help   print this help and exit\n";
}

bool parseCommandLine(int argc, const char* const* argv, CommandLine& out, std::string& error) {
    out = {};
    for (int i = 1; i < argc && argv[i]; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            out.help = true;
        } else if (arg == "--service") {
            out.service = true;
        } else if (arg == "--home") {
            if (i + 1 >= argc || !argv[i + 1] || !*argv[i + 1]) {
                error = "option '--home' needs a directory";
                return false;
            }
            out.home = argv[++i];
        } else if (arg.substr(0, 7) == "--home=") {
            if (arg.size() == 7) {
                error = "option '--home' needs a directory";
                return false;
            }
            out.home = std::string(arg.substr(7));
        } else if (arg.substr(0, 10) == "--service=" || arg.substr(0, 7) == "--help=") {
            error = "option '" + std::string(arg.substr(0, arg.find('='))) + "' takes no value";
            return false;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option '" + std::string(arg) + "'";
            return false;
        } else {
            error = "unexpected argument '" + std::string(arg) + "'";
            return false;
        }
    }
    return true;
}

}  // namespace platform
