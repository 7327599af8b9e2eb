// Tag keys and filters are expression texts stored in index files: any text of
// up to 220 characters is compiled against a small table and, when it
// compiles, run on every record as a value, a key and, if logical, a filter.
#include <algorithm>

#include "tests/fuzz/xbase_fuzz.h"
#include "xbase/expression_tables.h"
#include "xbase/index.h"

namespace {

using namespace xbase_fuzz;

struct Fixture {
    Fixture() {
        const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"QTY", 'N', 8, 2},  {"BORN", 'D', 8, 0},
                                     {"OK", 'L', 1, 0},    {"NOTE", 'M', 10, 0}, {"RATE", 'F', 10, 3},
                                     {"LONG", 'C', 200, 0}, {nullptr, 0, 0, 0}};
        d = d4create(&engine.cb, dir().file("e").c_str(), fields, nullptr);
        if (d == nullptr) std::abort();
        const char* names[] = {"alpha", "", "Zeta zeta"};
        for (int n = 0; n < 3; ++n) {
            d4blank(d);
            f4assign(d4fieldByName(d, "NAME"), names[n]);
            f4assignDouble(d4fieldByName(d, "QTY"), n * 12.5 - 3);
            if (n != 1) f4assignLong(d4fieldByName(d, "BORN"), 2451545 + 400 * n);
            f4assign(d4fieldByName(d, "OK"), n == 0 ? "T" : "F");
            f4memoAssign(d4fieldByName(d, "NOTE"), n == 2 ? "" : "memo text");
            f4assignDouble(d4fieldByName(d, "RATE"), 1.0 / (n + 3));
            f4assign(d4fieldByName(d, "LONG"), "a long field");
            if (d4append(d) != 0) std::abort();
        }
        if (d4flush(d) != 0) std::abort();
    }

    Engine engine;
    DATA4* d = nullptr;
};

// A result lies in the engine's work buffer or, for a field read in place, in
// the record buffer.
bool inside(const char* p, int len, const std::vector<char>& work, const DATA4* d) {
    const auto within = [&](const char* base, std::size_t size) {
        return p >= base && p + len <= base + size;
    };
    return len >= 0 && (within(work.data(), work.size()) ||
                        within(d->record, static_cast<std::size_t>(d->recordLen) + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Kept to the end of the process: the engine's expression side lives in
    // statics that may go before it.
    static Fixture* fixture = new Fixture;
    DATA4* d = fixture->d;
    CODE4* cb = &fixture->engine.cb;
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::string text(bytes, std::find(bytes, bytes + std::min<std::size_t>(size, i4exprMax), '\0'));
    cb->errorCode = 0;
    EXPR4* e = expr4parse(d, text.c_str());
    if (e == nullptr) return 0;
    Expr4Code* code = expr4code(cb);
    for (int32_t n = 1; n <= 3; ++n) {
        cb->errorCode = 0;
        if (d4go(d, n) != 0) std::abort();
        char* value = nullptr;
        const int len = expr4eval(e, &value);
        if (len >= 0 && !inside(value, len, code->work, d)) std::abort();
        char* key = nullptr;
        const int keyLen = expr4key(e, &key);
        if (keyLen >= 0 && !inside(key, keyLen, code->key, d) && !inside(key, keyLen, code->work, d))
            std::abort();
        if (expr4type(e) == 'L') (void)expr4true(e);
        (void)expr4double(e);
    }
    expr4free(e);
    cb->errorCode = 0;
    return 0;
}
