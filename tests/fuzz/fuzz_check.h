// What a target checks beyond crashes: a failed check names its line and aborts,
// which libFuzzer and the replay both report as a failure.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

[[noreturn]] inline void CheckFailed(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

}  // namespace fuzzsupport

#define FUZZ_CHECK(ok) ((ok) ? void(0) : fuzzsupport::CheckFailed(__FILE__, __LINE__, #ok))
