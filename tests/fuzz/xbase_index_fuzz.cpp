// Index files beside a sound table: whatever the header, tag table, tag
// headers, key expressions and tree blocks claim, the index either does not
// open or every tag can be walked both ways, sought and checked.
#include "tests/fuzz/xbase_fuzz.h"
#include "xbase/index.h"

namespace {

using namespace xbase_fuzz;

constexpr int kRecords = 120;

// Tags of every key type, one descending, one filtered, one unique.
const TAG4INFO kTags[] = {
    {"NAME", "NAME", nullptr, 0, 0},
    {"QTY", "QTY", nullptr, 0, 1},
    {"BORN", "BORN", "QTY > 20", 0, 0},
    {"BOTH", "UPPER(NAME)+DTOS(BORN)", ".NOT.DELETED()", status4unique, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

// The table, written once: its header names a production index.
const std::string& table() {
    static const std::string bytes = [] {
        Engine engine;
        const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"QTY", 'N', 6, 1}, {"BORN", 'D', 8, 0},
                                     {nullptr, 0, 0, 0}};
        const std::string path = dir().file("seed");
        DATA4* d = d4create(&engine.cb, path.c_str(), fields, kTags);
        if (d == nullptr) std::abort();
        for (int n = 1; n <= kRecords; ++n) {
            d4blank(d);
            char name[16];
            std::snprintf(name, sizeof(name), "row %d", (n * 37) % kRecords);
            f4assign(d4fieldByName(d, "NAME"), name);
            f4assignDouble(d4fieldByName(d, "QTY"), (n * 7) % 50 - 5);
            f4assignLong(d4fieldByName(d, "BORN"), 2451545 + (n * 13) % 90);
            if (n % 11 == 0) d4delete(d);
            if (d4append(d) != 0) std::abort();
        }
        d4close(d);
        std::string out = readFile(path + ".dbf");
        std::remove((path + ".dbf").c_str());
        std::remove((path + ".mdx").c_str());
        return out;
    }();
    return bytes;
}

void walkTag(DATA4* d, TAG4* t) {
    CODE4* cb = d->cb;
    d4tagSelect(d, t);
    cb->errorCode = 0;
    if (d4top(d) >= 0) {
        for (int steps = 0; steps < 4 * kRecords; ++steps) {
            (void)t4key(t);
            (void)t4recordNumber(t);
            const int32_t moved = t4skip(t, 1);
            if (moved > 1) std::abort();
            if (moved != 1) break;
        }
    }
    cb->errorCode = 0;
    if (d4bottom(d) >= 0) {
        const int32_t moved = t4skip(t, -kRecords / 2);
        if (moved > 0 || moved < -kRecords / 2) std::abort();
    }
    for (const char* text : {"", "row 1", "ROW 50", "20000105", "zzzz"}) {
        cb->errorCode = 0;
        (void)d4seek(d, text);
    }
    for (double value : {-5.0, 0.0, 12.0, 1e9}) {
        cb->errorCode = 0;
        (void)d4seekDouble(d, value);
    }
    cb->errorCode = 0;
    (void)t4check(t);
    cb->errorCode = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string base = dir().file("x");
    const std::string& dbf = table();
    writeFile(base + ".dbf", dbf.data(), dbf.size());
    writeFile(base + ".mdx", data, size);
    Engine engine;
    CODE4* cb = &engine.cb;
    DATA4* d = d4open(cb, base.c_str());
    if (d == nullptr) {
        // As the program does: the table alone, then its index on its own.
        cb->errorCode = 0;
        cb->autoOpen = 0;
        d = d4open(cb, base.c_str());
        if (d == nullptr) std::abort();  // the table itself is sound
        if (i4open(d, base.c_str()) == nullptr) {
            d4close(d);
            return 0;
        }
    }
    for (TAG4* t = d4tagNext(d, nullptr); t != nullptr; t = d4tagNext(d, t)) walkTag(d, t);
    for (LINK4* l = l4first(&d->indexes); l != nullptr; l = l4next(&d->indexes, l)) {
        cb->errorCode = 0;
        (void)i4verify(reinterpret_cast<INDEX4*>(l));
    }
    cb->errorCode = 0;
    d4close(d);
    return 0;
}
