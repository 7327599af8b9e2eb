// Memo files are read through a table whose memo fields refer to entries all
// over the file; then one entry is rewritten, which walks the file's free
// chain, and must read back as written.
#include "tests/fuzz/xbase_fuzz.h"

namespace {

using namespace xbase_fuzz;

constexpr int kRecords = 12;

// The table: record n refers to block n (the last one to block 0: none).
const std::string& table() {
    static const std::string bytes = [] {
        Engine engine;
        const FIELD4INFO fields[] = {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 10, 0}, {"MORE", 'M', 10, 0},
                                     {nullptr, 0, 0, 0}};
        const std::string path = dir().file("seed");
        DATA4* d = d4create(&engine.cb, path.c_str(), fields, nullptr);
        if (d == nullptr) std::abort();
        for (int n = 1; n <= kRecords; ++n) {
            d4blank(d);
            f4assignLong(d4fieldByName(d, "NOTE"), n < kRecords ? n : 0);
            f4assignLong(d4fieldByName(d, "MORE"), 2 * n + 1);
            if (d4append(d) != 0) std::abort();
        }
        d4close(d);
        std::string out = readFile(path + ".dbf");
        std::remove((path + ".dbf").c_str());
        std::remove((path + ".dbt").c_str());
        return out;
    }();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string base = dir().file("m");
    const std::string& dbf = table();
    writeFile(base + ".dbf", dbf.data(), dbf.size());
    writeFile(base + ".dbt", data, size);
    Engine engine;
    DATA4* d = d4open(&engine.cb, base.c_str());
    if (d == nullptr) std::abort();  // the table itself is sound
    walkRecords(d);
    FIELD4* note = d4fieldByName(d, "NOTE");
    if (d4go(d, 1) == 0 && note != nullptr) {
        static const char kText[] = "a new note, longer than one entry header";
        engine.cb.errorCode = 0;
        // Moving on writes the record and its memo; coming back reads both from the files.
        if (f4memoAssign(note, kText) == 0 && d4go(d, 2) == 0 && d4go(d, 1) == 0) {
            const char* back = f4memoStr(note);
            if (back == nullptr || std::strcmp(back, kText) != 0) std::abort();
        }
        engine.cb.errorCode = 0;
    }
    d4close(d);
    return 0;
}
