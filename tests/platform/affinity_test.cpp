// Binding the process to one processor: the lines logged and the processor taken, over
// the system's answers (a fake stands in for the system calls).
#include "platform/affinity.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using platform::AffinityMask;

struct AffinityCase {
    const char* name;
    unsigned processors;
    std::optional<AffinityMask> system;  // nullopt: reading the masks fails
    std::set<AffinityMask> refused;      // single-processor masks the system refuses
    std::vector<std::string> lines;
    std::optional<AffinityMask> bound;   // what the process ends up bound to
};

TEST(Affinity, FirstUsableProcessorIsTakenAndEveryStepLogged) {
    const std::string setError = "Error setting process affinity mask. Error message: Invalid argument";
    const std::vector<AffinityCase> cases = {
        {"one processor: nothing at all", 1, 0x1, {}, {}, std::nullopt},
        {"two processors: the first", 2, 0x3, {},
         {"2 processors found on this system. Active mask is 0x3",
          "ProcessAffinityMask = 0xf0 SystemAffinityMask = 0x3",
          "Setting affinity mask bit for processor 1"},
         0x1},
        {"reading fails: stop after the count", 4, std::nullopt, {},
         {"4 processors found on this system. Active mask is 0x3",
          "Error reading process affinity mask. Error message: Operation not permitted"},
         std::nullopt},
        {"refused processors are passed over", 4, 0xf, {0x1, 0x2},
         {"4 processors found on this system. Active mask is 0x3",
          "ProcessAffinityMask = 0xf0 SystemAffinityMask = 0xf", setError, setError,
          "Setting affinity mask bit for processor 3"},
         0x4},
        {"processors outside the system mask are not tried", 3, 0x28, {},
         {"3 processors found on this system. Active mask is 0x3",
          "ProcessAffinityMask = 0xf0 SystemAffinityMask = 0x28",
          "Setting affinity mask bit for processor 4"},
         0x8},
        {"the highest processor counts from 1", 64, AffinityMask(1) << 63, {},
         {"64 processors found on this system. Active mask is 0x3",
          "ProcessAffinityMask = 0xf0 SystemAffinityMask = 0x8000000000000000",
          "Setting affinity mask bit for processor 64"},
         AffinityMask(1) << 63},
    };
    for (const AffinityCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<AffinityMask> bound;
        std::vector<AffinityMask> tried;
        platform::AffinityOps ops;
        ops.processorCount = [&] { return c.processors; };
        ops.activeMask = [] { return AffinityMask(0x3); };
        ops.readMasks = [&](AffinityMask& process, AffinityMask& system, std::string& error) {
            if (!c.system) {
                error = "Operation not permitted";
                return false;
            }
            process = 0xf0;
            system = *c.system;
            return true;
        };
        ops.setProcessMask = [&](AffinityMask mask, std::string& error) {
            tried.push_back(mask);
            if (c.refused.count(mask)) {
                error = "Invalid argument";
                return false;
            }
            bound = mask;
            return true;
        };
        std::vector<std::string> lines;
        platform::setProcessAffinity(ops, [&](const std::string& line) { lines.push_back(line); });
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(bound, c.bound);
        for (AffinityMask mask : tried) EXPECT_EQ(mask & (mask - 1), 0u) << "one processor at a time";
    }
}

TEST(Affinity, ProcessorListsOfTheKernelAreReadStrictly) {
    struct Case {
        const char* text;
        std::optional<AffinityMask> mask;
    };
    const std::vector<Case> cases = {
        {"0-7\n", 0xff},
        {"0,2-3,5\n", 0x2d},
        {"60-70", AffinityMask(0xf) << 60},  // beyond 64 processors: cut
        {"", std::nullopt},
        {"5-2", std::nullopt},
        {"0-", std::nullopt},
        {"0,", std::nullopt},
        {"0;1", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        AffinityMask mask = 0x12345;
        const bool ok = platform::parseProcessorList(c.text, mask);
        EXPECT_EQ(ok, c.mask.has_value());
        EXPECT_EQ(mask, c.mask.value_or(0x12345)) << "unchanged on failure";
    }
}

}  // namespace
