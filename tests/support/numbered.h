// Names with a number in them, for tests that make many keys, tags or files.
#pragma once

#include <string>
#include <string_view>

namespace orvelin::test {

// Appends rather than writing "T" + std::to_string(n): GCC 12 at -O3 reports a
// false -Wrestrict inside operator+(const char*, std::string&&) (GCC bug 105651).
inline std::string Numbered(std::string_view prefix, long long n) {
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

}  // namespace orvelin::test
