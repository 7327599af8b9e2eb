#include "tools/isdnsim/scenario.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace isdnsim {
namespace {

std::vector<std::string> splitWords(const std::string& line, int lineNo) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        std::string w;
        if (line[i] == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos)
                throw std::runtime_error("line " + std::to_string(lineNo) + ": unclosed quote");
            w = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
                w += line[i++];
        }
        words.push_back(w);
    }
    return words;
}

unsigned long number(const std::string& text, int lineNo) {
    try {
        size_t used = 0;
        unsigned long v = std::stoul(text, &used, 0);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw std::runtime_error("line " + std::to_string(lineNo) + ": not a number: " + text);
}

double seconds(const std::string& text, int lineNo) {
    try {
        size_t used = 0;
        double v = std::stod(text, &used);
        if (used == text.size() && v >= 0 && v < 86400) return v;
    } catch (const std::exception&) {
    }
    throw std::runtime_error("line " + std::to_string(lineNo) + ": not a duration: " + text);
}

// Value following `key` in the words, or `fallback`.
std::string option(const Step& s, const std::string& key, const std::string& fallback = "") {
    for (size_t i = 0; i + 1 < s.words.size(); ++i)
        if (s.words[i] == key) return s.words[i + 1];
    return fallback;
}

bool flag(const Step& s, const std::string& key) {
    for (auto& w : s.words)
        if (w == key) return true;
    return false;
}

Bytes hex(const std::string& text, int lineNo) {
    if (text.size() % 2) throw std::runtime_error("line " + std::to_string(lineNo) + ": odd hex");
    Bytes out;
    for (size_t i = 0; i < text.size(); i += 2)
        out.push_back(uint8_t(number("0x" + text.substr(i, 2), lineNo)));
    return out;
}

// G.711 A-law of one linear sample (ITU-T G.711, 13-bit segment coding).
uint8_t alaw(int16_t sample) {
    int pcm = sample >> 3;
    uint8_t sign = pcm >= 0 ? 0x80 : 0x00;
    if (pcm < 0) pcm = -pcm - 1;
    int seg = 0;
    for (int v = pcm >> 5; v > 0 && seg < 7; v >>= 1) ++seg;
    uint8_t mant = seg == 0 ? uint8_t((pcm >> 1) & 0x0F) : uint8_t((pcm >> seg) & 0x0F);
    return uint8_t((sign | (seg << 4) | mant) ^ 0x55);
}

uint8_t reverseBits(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1 << i)) r |= uint8_t(0x80 >> i);
    return r;
}

const std::vector<std::string> kSteps = {"wait",  "ring",      "play", "dtmf", "fax-tone",
                                         "fax",   "save",      "info", "clear-b3", "hangup",
                                         "pause", "drop-link", "loop"};

std::optional<Bytes> readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

Bytes toneALaw(double secondsLong, double frequency) {
    size_t n = size_t(secondsLong * 8000);
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        double v = 8000.0 * std::sin(2 * M_PI * frequency * double(i) / 8000.0);
        out[i] = reverseBits(alaw(int16_t(v)));
    }
    return out;
}

Scenario parseScenario(std::istream& in) {
    Scenario sc;
    bool firstController = true;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        auto words = splitWords(line, lineNo);
        if (words.empty()) continue;
        Step step{words[0], {words.begin() + 1, words.end()}, lineNo};
        const std::string& cmd = words[0];
        if (cmd == "port") {
            if (step.words.size() != 1)
                throw std::runtime_error("line " + std::to_string(lineNo) + ": port N");
            auto p = number(step.words[0], lineNo);
            if (p > 32767)  // the client keeps the port in a signed short
                throw std::runtime_error("line " + std::to_string(lineNo) + ": port above 32767");
            sc.options.port = uint16_t(p);
        } else if (cmd == "controller") {
            if (firstController) sc.options.controllers.clear();
            firstController = false;
            Profile pr;
            pr.bChannels = uint16_t(number(option(step, "bchannels", "2"), lineNo));
            if (option(step, "fax", "yes") == "no") {
                pr.b1Protocols &= ~0x10u;
                pr.b2Protocols &= ~0x10u;
                pr.b3Protocols &= ~0x10u;
            }
            sc.options.controllers.push_back(pr);
        } else if (cmd == "manufacturer") {
            sc.options.manufacturer = step.words.empty() ? "" : step.words[0];
        } else if (cmd == "serial") {
            sc.options.serial = step.words.empty() ? "" : step.words[0];
        } else if (std::find(kSteps.begin(), kSteps.end(), cmd) != kSteps.end()) {
            if (cmd == "wait") {
                static const std::vector<std::string> events = {"listen", "alert", "answer",
                                                                "connected", "cleared"};
                if (step.words.empty() ||
                    std::find(events.begin(), events.end(), step.words[0]) == events.end())
                    throw std::runtime_error("line " + std::to_string(lineNo) +
                                             ": wait listen|alert|answer|connected|cleared");
                seconds(option(step, "timeout", "30"), lineNo);
            }
            if (cmd == "ring") {
                if (option(step, "to").empty())
                    throw std::runtime_error("line " + std::to_string(lineNo) +
                                             ": ring ... to NUMBER");
                number(option(step, "cip", "1"), lineNo);
            }
            if (cmd == "pause") seconds(step.words.empty() ? "" : step.words[0], lineNo);
            if (cmd == "play" && step.words.empty())
                throw std::runtime_error("line " + std::to_string(lineNo) +
                                         ": play FILE | play tone S");
            if (cmd == "fax-tone" && (step.words.size() != 1 ||
                                      (step.words[0] != "calling" && step.words[0] != "answer")))
                throw std::runtime_error("line " + std::to_string(lineNo) +
                                         ": fax-tone calling|answer");
            if ((cmd == "fax" || cmd == "save") && step.words.empty())
                throw std::runtime_error("line " + std::to_string(lineNo) + ": " + cmd +
                                         " FILE");
            if (cmd == "fax") {
                if (number(option(step, "pages", "0"), lineNo) > 0xFFFF)
                    throw std::runtime_error("line " + std::to_string(lineNo) +
                                             ": pages above 65535");
                std::string res = option(step, "resolution", "fine");
                if (res != "fine" && res != "normal")
                    throw std::runtime_error("line " + std::to_string(lineNo) +
                                             ": resolution fine|normal");
            }
            sc.steps.push_back(step);
        } else {
            throw std::runtime_error("line " + std::to_string(lineNo) + ": unknown command " + cmd);
        }
    }
    return sc;
}

bool playScenario(Exchange& ex, const Scenario& sc, std::ostream& log) {
    uint32_t plci = 0;
    size_t mark = 0;  // record index at the last ring
    for (size_t i = 0; i < sc.steps.size(); ++i) {
        const Step& s = sc.steps[i];
        log << "isdnsim: line " << s.line << ": " << s.command;
        for (auto& w : s.words) log << ' ' << w;
        log << std::endl;
        auto timeout =
            std::chrono::milliseconds(long(1000 * seconds(option(s, "timeout", "30"), s.line)));
        if (s.command == "wait") {
            const std::string& what = s.words[0];
            bool ok = false;
            if (what == "listen") {
                ok = ex.waitFor(CAPI_LISTEN, CAPI_REQ, 0, timeout) != nullptr;
            } else if (what == "alert") {
                ok = ex.waitFor(
                         [&](const Message& m) {
                             return m.command() == CAPI_ALERT && m.subcommand() == CAPI_REQ &&
                                    (m.address() & 0xFFFF) == plci;
                         },
                         mark, timeout) != nullptr;
            } else if (what == "answer") {
                ok = ex.waitFor(
                         [&](const Message& m) {
                             return m.command() == CAPI_CONNECT && m.subcommand() == CAPI_RESP &&
                                    (m.address() & 0xFFFF) == plci;
                         },
                         mark, timeout) != nullptr;
            } else if (what == "connected") {
                ok = ex.waitUntil([&] { return ex.callState(plci) == CallState::B3Up; }, timeout);
            } else if (what == "cleared") {
                ok =
                    ex.waitUntil([&] { return ex.callState(plci) == CallState::Cleared; }, timeout);
            }
            if (!ok) {
                log << "isdnsim: line " << s.line << ": timed out waiting for " << what
                    << std::endl;
                return false;
            }
        } else if (s.command == "ring") {
            CallSetup setup;
            std::string from = option(s, "from", "0301234567");
            if (from == "none")
                setup.calling.reset();
            else
                setup.calling = from;
            if (flag(s, "restricted")) setup.callingPresentation = 0xA0;
            setup.called = option(s, "to");
            setup.cip = uint16_t(number(option(s, "cip", "1"), s.line));
            setup.controller = unsigned(number(option(s, "controller", "1"), s.line));
            std::string uud = option(s, "uud");
            setup.userUserData.assign(uud.begin(), uud.end());
            mark = ex.messageCount();
            plci = ex.ring(setup);
            if (plci == 0) {
                log << "isdnsim: line " << s.line << ": nobody listens for this call" << std::endl;
                return false;
            }
        } else if (s.command == "play") {
            Bytes audio;
            if (s.words[0] == "tone") {
                audio = toneALaw(seconds(s.words.size() > 1 ? s.words[1] : "1", s.line));
            } else {
                auto file = readBytes(s.words[0]);
                if (!file) {
                    log << "isdnsim: line " << s.line << ": cannot read " << s.words[0]
                        << std::endl;
                    return false;
                }
                audio = std::move(*file);
            }
            ex.sendData(plci, audio);
        } else if (s.command == "dtmf") {
            ex.sendDtmf(plci, s.words.empty() ? "" : s.words[0]);
        } else if (s.command == "fax-tone") {
            ex.sendFaxTone(plci, s.words[0] == "calling" ? FaxTone::Calling : FaxTone::Answer);
        } else if (s.command == "fax") {
            FaxDocument fax;
            auto sff = readBytes(s.words[0]);
            if (!sff) {
                log << "isdnsim: line " << s.line << ": cannot read " << s.words[0] << std::endl;
                return false;
            }
            fax.sff = std::move(*sff);
            if (!option(s, "pages").empty())
                fax.pages = uint16_t(number(option(s, "pages"), s.line));
            fax.highResolution = option(s, "resolution", "fine") == "fine";
            fax.stationId = option(s, "station", fax.stationId);
            fax.hangUpAfter = !flag(s, "stay");
            ex.sendFax(plci, std::move(fax));
        } else if (s.command == "save") {
            if (!ex.saveReceived(plci, s.words[0])) {
                log << "isdnsim: line " << s.line << ": cannot write " << s.words[0] << std::endl;
                return false;
            }
        } else if (s.command == "info") {
            ex.sendInfo(plci, uint16_t(number(s.words.empty() ? "0" : s.words[0], s.line)));
        } else if (s.command == "clear-b3") {
            ex.clearB3(plci, uint16_t(number(option(s, "reason", "0"), s.line)),
                       hex(option(s, "ncpi"), s.line));
        } else if (s.command == "hangup") {
            ex.hangUp(plci, uint16_t(number(option(s, "reason", "0x3490"), s.line)));
        } else if (s.command == "pause") {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(long(1000 * seconds(s.words[0], s.line))));
        } else if (s.command == "drop-link") {
            ex.dropLink();
        } else if (s.command == "loop") {
            i = size_t(-1);
        }
    }
    return true;
}

}  // namespace isdnsim
