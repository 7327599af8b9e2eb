// Binds the process to one processor: the first of the system's processors it may be
// bound to. Affinity belongs to each thread here and threads inherit it when they start,
// so this runs before the program starts any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

using AffinityMask = std::uint64_t;  // processors beyond the 64th are not considered

// The system calls behind it; tests put in their own. A failing call fills `error` with
// the system's message text.
struct AffinityOps {
    std::function<unsigned()> processorCount;  // processors online
    std::function<AffinityMask()> activeMask;  // those processors as bits
    std::function<bool(AffinityMask& process, AffinityMask& system, std::string& error)> readMasks;
    std::function<bool(AffinityMask mask, std::string& error)> setProcessMask;
};

AffinityOps systemAffinityOps();

// Nothing at all with fewer than 2 processors. Otherwise every step and failure is a
// line for `log`; failures only end the attempt.
void setProcessAffinity(const AffinityOps& ops, const std::function<void(const std::string&)>& log);

// A kernel processor list such as "0-3,6\n" as bits; false when it is not one.
bool parseProcessorList(std::string_view text, AffinityMask& mask);

}  // namespace platform
