// isdnsim SCENARIO: runs a simulated ISDN exchange on 127.0.0.1 and plays the scenario.
// The first output line is "isdnsim: listening on 127.0.0.1 PORT".
#include <fstream>
#include <iostream>

#include "tools/isdnsim/scenario.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: isdnsim SCENARIO-FILE\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "isdnsim: cannot read " << argv[1] << "\n";
        return 2;
    }
    try {
        isdnsim::Scenario scenario = isdnsim::parseScenario(in);
        scenario.options.keepRecord = false;  // a looping scenario would grow without end
        scenario.options.linePace = true;     // a program under test hears a real line
        isdnsim::Exchange exchange(scenario.options);
        std::cout << "isdnsim: listening on 127.0.0.1 " << exchange.port() << std::endl;
        return isdnsim::playScenario(exchange, scenario, std::cout) ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "isdnsim: " << argv[1] << ": " << e.what() << "\n";
        return 2;
    }
}
