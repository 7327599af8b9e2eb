#include "platform/affinity.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

constexpr unsigned kMaskBits = 64;

std::string hex(AffinityMask mask) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(mask));
    return buf;
}

AffinityMask onlineMask() {
    std::ifstream in("/sys/devices/system/cpu/online");
    std::stringstream text;
    text << in.rdbuf();
    AffinityMask mask = 0;
    if (in && parseProcessorList(text.str(), mask)) return mask;
    // Without the list, processors 0 to n-1.
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n <= 0) return 0;
    return n >= long(kMaskBits) ? ~AffinityMask(0) : (AffinityMask(1) << n) - 1;
}

}  // namespace

bool parseProcessorList(std::string_view text, AffinityMask& mask) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    if (text.empty()) return false;
    AffinityMask bits = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        unsigned first = 0, last = 0;
        auto r = std::from_chars(p, end, first);
        if (r.ec != std::errc() || r.ptr == p) return false;
        p = r.ptr;
        last = first;
        if (p < end && *p == '-') {
            r = std::from_chars(++p, end, last);
            if (r.ec != std::errc() || r.ptr == p || last < first) return false;
            p = r.ptr;
        }
        if (p < end && *p++ != ',') return false;
        if (p == end && text.back() == ',') return false;
        for (unsigned cpu = first; cpu <= last && cpu < kMaskBits; ++cpu) bits |= AffinityMask(1) << cpu;
    }
    mask = bits;
    return true;
}

AffinityOps systemAffinityOps() {
    AffinityOps ops;
    ops.processorCount = [] {
        const long n = sysconf(_SC_NPROCESSORS_ONLN);
        return n > 0 ? unsigned(n) : 1u;
    };
    ops.activeMask = onlineMask;
    ops.readMasks = [](AffinityMask& process, AffinityMask& system, std::string& error) {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) != 0) {
            error = std::strerror(errno);
            return false;
        }
        process = 0;
        for (unsigned cpu = 0; cpu < kMaskBits && cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &set)) process |= AffinityMask(1) << cpu;
        system = onlineMask();
        return true;
    };
    ops.setProcessMask = [](AffinityMask mask, std::string& error) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (unsigned cpu = 0; cpu < kMaskBits; ++cpu)
            if (mask & (AffinityMask(1) << cpu)) CPU_SET(cpu, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) {
            error = std::strerror(errno);
            return false;
        }
        return true;
    };
    return ops;
}

void setProcessAffinity(const AffinityOps& ops, const std::function<void(const std::string&)>& log) {
    const unsigned count = ops.processorCount();
    if (count < 2) return;
    log(std::to_string(count) + " processors found on this system. Active mask is 0x" +
        hex(ops.activeMask()));
    AffinityMask process = 0, system = 0;
    std::string error;
    if (!ops.readMasks(process, system, error)) {
        log("Error reading process affinity mask. Error message: " + error);
        return;
    }
    log("ProcessAffinityMask = 0x" + hex(process) + " SystemAffinityMask = 0x" + hex(system));
    for (unsigned bit = 0; bit < kMaskBits; ++bit) {
        const AffinityMask one = AffinityMask(1) << bit;
        if (!(system & one)) continue;
        error.clear();
        if (ops.setProcessMask(one, error)) {
            log("Setting affinity mask bit for processor " + std::to_string(bit + 1));
            return;
        }
        log("Error setting process affinity mask. Error message: " + error);
    }
}

}  // namespace platform
