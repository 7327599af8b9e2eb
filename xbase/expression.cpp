#include "xbase/expression.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include <strings.h>

#include "xbase/decimal_keys.h"
#include "xbase/text.h"
#include "xbase/dates.h"

Expr4Code::~Expr4Code() = default;

void Expr4Code::growArea(std::vector<char>& area, size_t size) {
    if (area.size() >= size) return;
    std::vector<char> grown(size);
    std::copy(area.begin(), area.end(), grown.begin());
    retired_.push_back(std::move(area));
    area = std::move(grown);
}
Expr4Table::~Expr4Table() = default;

// ---------------------------------------------------------------------------------------
// Evaluation

namespace {
// Values a program holds at once; compilation refuses deeper programs.
constexpr int Expr4StackMax = 20;
}  // namespace

// The evaluator's state lives on the caller's stack, so a named calculation simply runs its
// own state on top of the current work position.
struct Expr4State {
    char* base = nullptr;          // work buffer position 0 of the running expression
    const char* constants = nullptr;
    Expr4Code* code = nullptr;
    int sp = 0;
    char* stack[Expr4StackMax];
    int depth = 0;                 // nesting of named calculations
};

namespace {

constexpr int stackMax = Expr4StackMax;
constexpr int constantsMax = 512;
constexpr int operatorStackMax = 32;
constexpr int maxLength = 1 << 24;  // a result longer than this is refused as overflow
constexpr int calcDepthMax = 8;

double getDouble(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void putDouble(char* p, double v) { std::memcpy(p, &v, sizeof v); }

int32_t getInt(const char* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void putInt(char* p, int32_t v) { std::memcpy(p, &v, sizeof v); }

char* out(Expr4State& s, const EXPR4TOKEN& t) { return s.base + t.resultPos; }
char* pop(Expr4State& s) { return s.stack[--s.sp]; }
void push(Expr4State& s, char* p) { s.stack[s.sp++] = p; }
const char* record(const EXPR4TOKEN& t) { return *t.table->recordBuffer(); }

// A day number as a long, or 0 when it cannot name a day.
long dayOf(double v) {
    if (!(v >= double(date4firstDay) && v <= double(date4lastDay))) return v == -1.0 ? -1 : 0;
    return long(v);
}

void fieldPtr(Expr4State& s, const EXPR4TOKEN& t) { push(s, const_cast<char*>(record(t)) + t.first); }

void fieldCopy(Expr4State& s, const EXPR4TOKEN& t) {
    std::memcpy(out(s, t), record(t) + t.first, size_t(t.length));
    push(s, out(s, t));
}

void fieldLogical(Expr4State& s, const EXPR4TOKEN& t) {
    const char c = record(t)[t.first];
    putInt(out(s, t), c == 'T' || c == 't' || c == 'Y' || c == 'y');
    push(s, out(s, t));
}

void fieldDateDay(Expr4State& s, const EXPR4TOKEN& t) {
    putDouble(out(s, t), double(date4toJulian(record(t) + t.first)));
    push(s, out(s, t));
}

void fieldNumber(Expr4State& s, const EXPR4TOKEN& t) {
    // The token's own length became 8; the field's text length stays in `tie`.
    putDouble(out(s, t), c4textToDouble(record(t) + t.first, t.tie));
    push(s, out(s, t));
}

void fieldMemo(Expr4State& s, const EXPR4TOKEN& t) {
    const char* data = nullptr;
    unsigned len = 0;
    if (t.table->memoContents(t.field, &data, &len) < 0 || data == nullptr) len = 0;
    const unsigned n = std::min(len, unsigned(t.length));
    if (n > 0) std::memcpy(out(s, t), data, n);
    std::memset(out(s, t) + n, 0, size_t(t.length) - n);
    push(s, out(s, t));
}

void constNumber(Expr4State& s, const EXPR4TOKEN& t) {
    std::memcpy(out(s, t), s.constants + t.first, sizeof(double));
    push(s, out(s, t));
}

void constText(Expr4State& s, const EXPR4TOKEN& t) {
    if (t.length > 0) std::memcpy(out(s, t), s.constants + t.first, size_t(t.length));
    push(s, out(s, t));
}

void logTrue(Expr4State& s, const EXPR4TOKEN& t) {
    putInt(out(s, t), 1);
    push(s, out(s, t));
}

void logFalse(Expr4State& s, const EXPR4TOKEN& t) {
    putInt(out(s, t), 0);
    push(s, out(s, t));
}

void logNot(Expr4State& s, const EXPR4TOKEN& t) {
    const int32_t v = getInt(pop(s));
    putInt(out(s, t), v == 0);
    push(s, out(s, t));
}

void logOr(Expr4State& s, const EXPR4TOKEN& t) {
    int32_t any = 0;
    for (int i = 0; i < t.paramCount; ++i)
        if (getInt(pop(s)) != 0) any = 1;
    putInt(out(s, t), any);
    push(s, out(s, t));
}

void logAnd(Expr4State& s, const EXPR4TOKEN& t) {
    int32_t all = 1;
    for (int i = 0; i < t.paramCount; ++i)
        if (getInt(pop(s)) == 0) all = 0;
    putInt(out(s, t), all);
    push(s, out(s, t));
}

// Puts the second operand right behind the first. It normally lies there already; only a
// named calculation, which reserves room for its own work, leaves a gap.
char* adjoin(Expr4State& s, const EXPR4TOKEN& t) {
    const char* second = pop(s);
    pop(s);
    char* p = out(s, t);
    if (second != p + t.first) std::memmove(p + t.first, second, size_t(t.length - t.first));
    return p;
}

void concat(Expr4State& s, const EXPR4TOKEN& t) { push(s, adjoin(s, t)); }

// Moves the second operand behind the first one's content and the fill to the end.
void concatMovingFill(Expr4State& s, const EXPR4TOKEN& t, char fill) {
    char* p = adjoin(s, t);
    const int firstLen = t.first;
    const int secondLen = t.length - firstLen;
    int content = firstLen;
    while (content > 0 && p[content - 1] == fill) --content;
    if (content < firstLen) {
        std::memmove(p + content, p + firstLen, size_t(secondLen));
        std::memset(p + content + secondLen, fill, size_t(firstLen - content));
    }
    push(s, p);
}

void concatTrimmed(Expr4State& s, const EXPR4TOKEN& t) { concatMovingFill(s, t, '\0'); }
void concatBlanks(Expr4State& s, const EXPR4TOKEN& t) { concatMovingFill(s, t, ' '); }

template <typename Op>
void arith(Expr4State& s, const EXPR4TOKEN& t, Op op) {
    const double b = getDouble(pop(s));
    const double a = getDouble(pop(s));
    putDouble(out(s, t), op(a, b));
    push(s, out(s, t));
}

void addN(Expr4State& s, const EXPR4TOKEN& t) { arith(s, t, [](double a, double b) { return a + b; }); }
// A blank date stays blank whatever is added to it.
void addNd(Expr4State& s, const EXPR4TOKEN& t) {
    arith(s, t, [](double a, double b) { return b == 0 ? 0.0 : a + b; });
}
void addDn(Expr4State& s, const EXPR4TOKEN& t) {
    arith(s, t, [](double a, double b) { return a == 0 ? 0.0 : a + b; });
}
void subN(Expr4State& s, const EXPR4TOKEN& t) { arith(s, t, [](double a, double b) { return a - b; }); }
// No number of days lies between a date and a blank one.
void subDd(Expr4State& s, const EXPR4TOKEN& t) {
    arith(s, t, [](double a, double b) { return a == 0 || b == 0 ? 0.0 : a - b; });
}
void subDn(Expr4State& s, const EXPR4TOKEN& t) {
    arith(s, t, [](double a, double b) { return a == 0 ? 0.0 : a - b; });
}
void power(Expr4State& s, const EXPR4TOKEN& t) { arith(s, t, [](double a, double b) { return std::pow(a, b); }); }
void multiply(Expr4State& s, const EXPR4TOKEN& t) { arith(s, t, [](double a, double b) { return a * b; }); }
void divide(Expr4State& s, const EXPR4TOKEN& t) {
    arith(s, t, [](double a, double b) { return b == 0 ? 0.0 : a / b; });
}

int compareText(Expr4State& s, const EXPR4TOKEN& t) {
    const char* b = pop(s);
    const char* a = pop(s);
    return t.first > 0 ? std::memcmp(a, b, size_t(t.first)) : 0;
}

void putBool(Expr4State& s, const EXPR4TOKEN& t, bool v) {
    putInt(out(s, t), v ? 1 : 0);
    push(s, out(s, t));
}

void eqC(Expr4State& s, const EXPR4TOKEN& t) { putBool(s, t, compareText(s, t) == 0); }
void neC(Expr4State& s, const EXPR4TOKEN& t) { putBool(s, t, compareText(s, t) != 0); }
void geC(Expr4State& s, const EXPR4TOKEN& t) { putBool(s, t, compareText(s, t) >= 0); }
void leC(Expr4State& s, const EXPR4TOKEN& t) { putBool(s, t, compareText(s, t) <= 0); }
void gtC(Expr4State& s, const EXPR4TOKEN& t) {
    const int c = compareText(s, t);
    putBool(s, t, c > 0 || (c == 0 && t.tie));
}
void ltC(Expr4State& s, const EXPR4TOKEN& t) {
    const int c = compareText(s, t);
    putBool(s, t, c < 0 || (c == 0 && t.tie));
}

// Numbers and dates compare equal only when their 8 bytes are.
void eqBytes(Expr4State& s, const EXPR4TOKEN& t) {
    const char* b = pop(s);
    const char* a = pop(s);
    putBool(s, t, std::memcmp(a, b, 8) == 0);
}
void neBytes(Expr4State& s, const EXPR4TOKEN& t) {
    const char* b = pop(s);
    const char* a = pop(s);
    putBool(s, t, std::memcmp(a, b, 8) != 0);
}
void eqL(Expr4State& s, const EXPR4TOKEN& t) {
    const int32_t b = getInt(pop(s));
    const int32_t a = getInt(pop(s));
    putBool(s, t, (a != 0) == (b != 0));
}
void neL(Expr4State& s, const EXPR4TOKEN& t) {
    const int32_t b = getInt(pop(s));
    const int32_t a = getInt(pop(s));
    putBool(s, t, (a != 0) != (b != 0));
}

template <typename Op>
void compareN(Expr4State& s, const EXPR4TOKEN& t, Op op) {
    const double b = getDouble(pop(s));
    const double a = getDouble(pop(s));
    putBool(s, t, op(a, b));
}
void geN(Expr4State& s, const EXPR4TOKEN& t) { compareN(s, t, [](double a, double b) { return a >= b; }); }
void leN(Expr4State& s, const EXPR4TOKEN& t) { compareN(s, t, [](double a, double b) { return a <= b; }); }
void gtN(Expr4State& s, const EXPR4TOKEN& t) { compareN(s, t, [](double a, double b) { return a > b; }); }
void ltN(Expr4State& s, const EXPR4TOKEN& t) { compareN(s, t, [](double a, double b) { return a < b; }); }

void contains(Expr4State& s, const EXPR4TOKEN& t) {
    const char* hay = pop(s);
    const char* needle = pop(s);
    // Lengths of both operands: the second starts where the token says.
    const int needleLen = t.first;
    const int hayLen = t.tie;
    bool found = false;
    for (int i = 0; !found && i + needleLen <= hayLen; ++i)
        found = needleLen == 0 || std::memcmp(hay + i, needle, size_t(needleLen)) == 0;
    putBool(s, t, found);
}

void chr(Expr4State& s, const EXPR4TOKEN& t) {
    const double v = getDouble(pop(s));
    // Only the low 8 bits of the integer part count; NaN and infinities give 0.
    int code = 0;
    if (std::isfinite(v)) {
        double m = std::fmod(std::trunc(v), 256.0);
        if (m < 0) m += 256.0;
        code = int(m);
    }
    out(s, t)[0] = char(code);
    push(s, out(s, t));
}

void del(Expr4State& s, const EXPR4TOKEN& t) {
    out(s, t)[0] = record(t)[0];
    push(s, out(s, t));
}

void str(Expr4State& s, const EXPR4TOKEN& t) {
    const double v = getDouble(pop(s));
    c4doubleToText(v, out(s, t), t.length, t.first);
    push(s, out(s, t));
}

void substr(Expr4State& s, const EXPR4TOKEN& t) {
    char* p = pop(s);
    if (t.first > 0 && t.length > 0) std::memmove(out(s, t), p + t.first, size_t(t.length));
    push(s, out(s, t));
}

void timeNow(Expr4State& s, const EXPR4TOKEN& t) {
    date4timeNow(out(s, t));
    push(s, out(s, t));
}

void upper(Expr4State& s, const EXPR4TOKEN& t) {
    pop(s);
    c4upperN(out(s, t), t.length);
    push(s, out(s, t));
}

void dtosD(Expr4State& s, const EXPR4TOKEN& t) {
    const char* p = pop(s);
    std::memmove(out(s, t), p, 8);
    push(s, out(s, t));
}

void dtosd(Expr4State& s, const EXPR4TOKEN& t) {
    const double v = getDouble(pop(s));
    date4fromJulian(out(s, t), dayOf(v));
    push(s, out(s, t));
}

void formatInto(Expr4State& s, const EXPR4TOKEN& t, const char* date) {
    char text[date4maxPicture + 1];
    date4format(date, text, s.constants + t.first);
    std::memcpy(out(s, t), text, size_t(t.length));
    push(s, out(s, t));
}

void dtocD(Expr4State& s, const EXPR4TOKEN& t) {
    char date[8];
    std::memcpy(date, pop(s), 8);
    formatInto(s, t, date);
}

void dtocd(Expr4State& s, const EXPR4TOKEN& t) {
    char date[8];
    date4fromJulian(date, dayOf(getDouble(pop(s))));
    formatInto(s, t, date);
}

void trim(Expr4State& s, const EXPR4TOKEN& t) {
    pop(s);
    char* p = out(s, t);
    for (int i = t.length; i > 0 && (p[i - 1] == ' ' || p[i - 1] == '\0'); --i) p[i - 1] = '\0';
    push(s, p);
}

void ltrim(Expr4State& s, const EXPR4TOKEN& t) {
    pop(s);
    char* p = out(s, t);
    int lead = 0;
    while (lead < t.length && (p[lead] == ' ' || p[lead] == '\0')) ++lead;
    if (lead > 0) {
        std::memmove(p, p + lead, size_t(t.length - lead));
        std::memset(p + t.length - lead, 0, size_t(lead));
    }
    push(s, p);
}

void left(Expr4State& s, const EXPR4TOKEN& t) {
    pop(s);
    push(s, out(s, t));
}

void iif(Expr4State& s, const EXPR4TOKEN& t) {
    const char* no = pop(s);
    const char* yes = pop(s);
    const int32_t cond = getInt(pop(s));
    std::memmove(out(s, t), cond != 0 ? yes : no, size_t(t.length));
    push(s, out(s, t));
}

// Copies a text parameter (not terminated) into a terminated buffer of at most `cap` - 1.
void terminated(char* buf, int cap, const char* p, int len) {
    const int n = std::min(len, cap - 1);
    std::memcpy(buf, p, size_t(n));
    buf[n] = '\0';
}

void stod(Expr4State& s, const EXPR4TOKEN& t) {
    const char* p = pop(s);
    char date[8];
    std::memset(date, ' ', 8);
    std::memcpy(date, p, size_t(std::min(t.tie, 8)));
    putDouble(out(s, t), double(date4toJulian(date)));
    push(s, out(s, t));
}

void ctod(Expr4State& s, const EXPR4TOKEN& t) {
    const char* p = pop(s);
    char text[date4maxPicture + 1];
    terminated(text, sizeof text, p, t.tie);
    char date[8];
    date4parse(date, text, s.constants + t.first);
    putDouble(out(s, t), double(date4toJulian(date)));
    push(s, out(s, t));
}

void today(Expr4State& s, const EXPR4TOKEN& t) {
    char date[8];
    date4today(date);
    putDouble(out(s, t), double(date4toJulian(date)));
    push(s, out(s, t));
}

template <int (*Part)(const char*)>
void datePartD(Expr4State& s, const EXPR4TOKEN& t) {
    char date[8];
    std::memcpy(date, pop(s), 8);
    putDouble(out(s, t), double(Part(date)));
    push(s, out(s, t));
}

template <int (*Part)(const char*)>
void datePartd(Expr4State& s, const EXPR4TOKEN& t) {
    char date[8];
    date4fromJulian(date, dayOf(getDouble(pop(s))));
    putDouble(out(s, t), double(Part(date)));
    push(s, out(s, t));
}

void deleted(Expr4State& s, const EXPR4TOKEN& t) { putBool(s, t, record(t)[0] == '*'); }

void reccount(Expr4State& s, const EXPR4TOKEN& t) {
    putDouble(out(s, t), double(t.table->recCount()));
    push(s, out(s, t));
}

void recno(Expr4State& s, const EXPR4TOKEN& t) {
    putDouble(out(s, t), double(t.table->recNo()));
    push(s, out(s, t));
}

void val(Expr4State& s, const EXPR4TOKEN& t) {
    const char* p = pop(s);
    putDouble(out(s, t), c4textToDouble(p, t.tie));
    push(s, out(s, t));
}

void runTokens(Expr4State& s, const EXPR4* e, int from, int to) {
    for (int i = from; i <= to; ++i) e->tokens[size_t(i)].routine(s, e->tokens[size_t(i)]);
}

void calcValue(Expr4State& s, const EXPR4TOKEN& t) {
    const EXPR4* e = t.calc->expr;
    char* p = out(s, t);
    if (s.depth >= calcDepthMax || e == nullptr || e->tokens.empty()) {
        std::memset(p, 0, size_t(t.length));
        push(s, p);
        return;
    }
    Expr4State inner;
    inner.base = p;
    inner.constants = e->constants.data();
    inner.code = s.code;
    inner.depth = s.depth + 1;
    runTokens(inner, e, 0, int(e->tokens.size()) - 1);
    const char* result = inner.stack[0];
    if (result != p) std::memmove(p, result, size_t(t.length));
    push(s, p);
}

// Report totals and page numbers belong to report output, which this engine lacks.
void zeroNumber(Expr4State& s, const EXPR4TOKEN& t) {
    putDouble(out(s, t), 0.0);
    push(s, out(s, t));
}

// ---------------------------------------------------------------------------------------
// The operator and function table

struct Row {
    Expr4Routine routine;
    const char* name;
    int16_t code;
    int8_t priority;
    char result;
    int8_t params;  // -1: any number, all of the first type
    char types[3];
};

// clang-format off
const Row rows[] = {
    /*  0 */ {fieldPtr, nullptr, 0, 0, 'C', 0, {}},
    /*  1 */ {fieldCopy, nullptr, 1, 0, 'C', 0, {}},
    /*  2 */ {fieldLogical, nullptr, 2, 0, 'L', 0, {}},
    /*  3 */ {fieldDateDay, nullptr, 3, 0, 'd', 0, {}},
    /*  4 */ {fieldPtr, nullptr, 4, 0, 'D', 0, {}},
    /*  5 */ {fieldNumber, nullptr, 5, 0, 'n', 0, {}},
    /*  6 */ {fieldPtr, nullptr, 6, 0, 'N', 0, {}},
    /*  7 */ {fieldMemo, nullptr, 7, 0, 'C', 0, {}},
    /*  8 */ {constNumber, nullptr, 8, 0, 'n', 0, {}},
    /*  9 */ {constText, nullptr, 9, 0, 'C', 0, {}},
    /* 10 */ {logTrue, ".TRUE.", 14, 0, 'L', 0, {}},
    /* 11 */ {logTrue, ".T.", 14, 0, 'L', 0, {}},
    /* 12 */ {logFalse, ".FALSE.", 16, 0, 'L', 0, {}},
    /* 13 */ {logFalse, ".F.", 16, 0, 'L', 0, {}},
    /* 14 */ {logNot, ".NOT.", 18, 5, 'L', 1, {'L'}},
    /* 15 */ {logOr, ".OR.", 20, 3, 'L', -1, {'L'}},
    /* 16 */ {logAnd, ".AND.", 22, 4, 'L', -1, {'L'}},
    /* 17 */ {concat, "+", 25, 7, 'C', 2, {'C', 'C'}},
    /* 18 */ {concatTrimmed, nullptr, 25, 7, 'C', 2, {'C', 'C'}},
    /* 19 */ {addN, nullptr, 25, 7, 'n', 2, {'n', 'n'}},
    /* 20 */ {addNd, nullptr, 25, 7, 'd', 2, {'n', 'd'}},
    /* 21 */ {addDn, nullptr, 25, 7, 'd', 2, {'d', 'n'}},
    /* 22 */ {concatBlanks, "-", 30, 7, 'C', 2, {'C', 'C'}},
    /* 23 */ {subN, nullptr, 30, 7, 'n', 2, {'n', 'n'}},
    /* 24 */ {subDd, nullptr, 30, 7, 'n', 2, {'d', 'd'}},
    /* 25 */ {subDn, nullptr, 30, 7, 'd', 2, {'d', 'n'}},
    /* 26 */ {eqC, "=", 40, 6, 'L', 2, {'C', 'C'}},
    /* 27 */ {eqL, nullptr, 40, 6, 'L', 2, {'L', 'L'}},
    /* 28 */ {eqBytes, nullptr, 40, 6, 'L', 2, {'n', 'n'}},
    /* 29 */ {eqBytes, nullptr, 40, 6, 'L', 2, {'d', 'd'}},
    /* 30 */ {neC, "#", 50, 6, 'L', 2, {'C', 'C'}},
    /* 31 */ {neC, "<>", 50, 6, 'L', 2, {'C', 'C'}},
    /* 32 */ {neBytes, nullptr, 50, 6, 'L', 2, {'n', 'n'}},
    /* 33 */ {neBytes, nullptr, 50, 6, 'L', 2, {'d', 'd'}},
    /* 34 */ {neL, nullptr, 50, 6, 'L', 2, {'L', 'L'}},
    /* 35 */ {geC, ">=", 60, 6, 'L', 2, {'C', 'C'}},
    /* 36 */ {geN, nullptr, 60, 6, 'L', 2, {'n', 'n'}},
    /* 37 */ {geN, nullptr, 60, 6, 'L', 2, {'d', 'd'}},
    /* 38 */ {leC, "<=", 70, 6, 'L', 2, {'C', 'C'}},
    /* 39 */ {leN, nullptr, 70, 6, 'L', 2, {'n', 'n'}},
    /* 40 */ {leN, nullptr, 70, 6, 'L', 2, {'d', 'd'}},
    /* 41 */ {gtC, ">", 80, 6, 'L', 2, {'C', 'C'}},
    /* 42 */ {gtN, nullptr, 80, 6, 'L', 2, {'n', 'n'}},
    /* 43 */ {gtN, nullptr, 80, 6, 'L', 2, {'d', 'd'}},
    /* 44 */ {ltC, "<", 90, 6, 'L', 2, {'C', 'C'}},
    /* 45 */ {ltN, nullptr, 90, 6, 'L', 2, {'n', 'n'}},
    /* 46 */ {ltN, nullptr, 90, 6, 'L', 2, {'d', 'd'}},
    /* 47 */ {power, "^", 100, 9, 'n', 2, {'n', 'n'}},
    /* 48 */ {power, "**", 100, 9, 'n', 2, {'n', 'n'}},
    /* 49 */ {multiply, "*", 102, 8, 'n', 2, {'n', 'n'}},
    /* 50 */ {divide, "/", 105, 8, 'n', 2, {'n', 'n'}},
    /* 51 */ {contains, "$", 110, 6, 'L', 2, {'C', 'C'}},
    /* 52 */ {chr, "CHR", 120, 0, 'C', 1, {'n'}},
    /* 53 */ {del, "DEL", 130, 0, 'C', 0, {}},
    /* 54 */ {str, "STR", 140, 0, 'C', 1, {'n'}},
    /* 55 */ {substr, "SUBSTR", 150, 0, 'C', 1, {'C'}},
    /* 56 */ {timeNow, "TIME", 160, 0, 'C', 0, {}},
    /* 57 */ {upper, "UPPER", 170, 0, 'C', 1, {'C'}},
    /* 58 */ {dtosD, "DTOS", 180, 0, 'C', 1, {'D'}},
    /* 59 */ {dtosd, nullptr, 180, 0, 'C', 1, {'d'}},
    /* 60 */ {dtocD, "DTOC", 200, 0, 'C', 1, {'D'}},
    /* 61 */ {dtocd, nullptr, 200, 0, 'C', 1, {'d'}},
    /* 62 */ {trim, "TRIM", 220, 0, 'C', 1, {'C'}},
    /* 63 */ {ltrim, "LTRIM", 230, 0, 'C', 1, {'C'}},
    /* 64 */ {left, "LEFT", 240, 0, 'C', 1, {'C'}},
    /* 65 */ {iif, "IIF", 250, 0, 'C', 3, {'L', 'C', 'C'}},
    /* 66 */ {iif, nullptr, 250, 0, 'n', 3, {'L', 'n', 'n'}},
    /* 67 */ {iif, nullptr, 250, 0, 'd', 3, {'L', 'd', 'd'}},
    /* 68 */ {iif, nullptr, 250, 0, 'L', 3, {'L', 'L', 'L'}},
    /* 69 */ {stod, "STOD", 260, 0, 'd', 1, {'C'}},
    /* 70 */ {ctod, "CTOD", 270, 0, 'd', 1, {'C'}},
    /* 71 */ {today, "DATE", 280, 0, 'd', 0, {}},
    /* 72 */ {datePartD<date4day>, "DAY", 290, 0, 'n', 1, {'D'}},
    /* 73 */ {datePartd<date4day>, nullptr, 290, 0, 'n', 1, {'d'}},
    /* 74 */ {datePartD<date4month>, "MONTH", 310, 0, 'n', 1, {'D'}},
    /* 75 */ {datePartd<date4month>, nullptr, 310, 0, 'n', 1, {'d'}},
    /* 76 */ {datePartD<date4year>, "YEAR", 340, 0, 'n', 1, {'D'}},
    /* 77 */ {datePartd<date4year>, nullptr, 340, 0, 'n', 1, {'d'}},
    /* 78 */ {deleted, "DELETED", 350, 0, 'L', 0, {}},
    /* 79 */ {reccount, "RECCOUNT", 360, 0, 'n', 0, {}},
    /* 80 */ {recno, "RECNO", 370, 0, 'n', 0, {}},
    /* 81 */ {val, "VAL", 380, 0, 'n', 1, {'C'}},
    /* 82 */ {calcValue, nullptr, 390, 0, 0, 0, {}},
    /* 83 */ {zeroNumber, nullptr, 400, 0, 'n', 0, {}},
    /* 84 */ {zeroNumber, "PAGENO", 410, 0, 'n', 0, {}},
    /* end */ {nullptr, nullptr, -1, 0, 0, 0, {}},
};
// clang-format on

constexpr int rowCount = int(sizeof rows / sizeof rows[0]) - 1;

enum RowNo {
    rFieldPtr = 0, rFieldCopy = 1, rFieldLogical = 2, rFieldDay = 3, rFieldDate = 4, rFieldNum = 5,
    rFieldNumText = 6, rMemo = 7, rConstNum = 8, rConstText = 9, rTrue = 10, rNot = 14, rOr = 15,
    rAnd = 16, rConcat = 17, rConcatTrim = 18, rMinus = 22, rEqC = 26, rNeC1 = 30, rNeC2 = 31,
    rGeC = 35, rLeC = 38, rGtC = 41, rLtC = 44, rContains = 51, rFirstOperator = 15, rLastOperator = 51,
    rFirstFunction = 52, rChr = 52, rDel = 53, rStr = 54, rSubstr = 55, rTime = 56, rUpper = 57,
    rDtos = 58, rDtosDay = 59, rDtoc = 60, rDtocDay = 61, rTrim = 62, rLtrim = 63, rLeft = 64, rIif = 65,
    rStod = 69, rCtod = 70, rVal = 81, rDeleted = 78, rReccount = 79, rRecno = 80, rCalc = 82,
    rCalcTotal = 83,
};

bool isNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '&' || c == '@' ||
           c == '_';
}

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

int expr4rowCount() { return rowCount; }

const char* expr4rowName(int row) { return row >= 0 && row < rowCount ? rows[row].name : nullptr; }

int expr4lookup(const char* text, int length, int first, int last) {
    if (text == nullptr) return -1;
    char name[9];
    int n = 0;
    while (n < 8 && text[n] != '\0') {
        name[n] = text[n];
        ++n;
    }
    name[n] = '\0';
    c4upperN(name, n);
    for (int r = std::max(first, 0); r <= last && r < rowCount && rows[r].code != -1; ++r) {
        const char* rowName = rows[r].name;
        if (rowName == nullptr || rowName[0] != name[0]) continue;
        const int rowLen = int(std::strlen(rowName));
        if (length >= 0 && rowLen != length) continue;
        if (rowLen <= n && std::memcmp(rowName, name, size_t(rowLen)) == 0) return r;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------
// Compilation

namespace {

struct OpEntry {
    int row;    // -1: marker
    int extra;  // further operands of a row that takes any number
};

class Parser {
public:
    Parser(Expr4Table* table, const char* text) : table_(table), code_(table->code()), text_(text) {}

    EXPR4* run();

private:
    char ch(int ahead = 0) const {
        const size_t at = pos_ + size_t(ahead);
        return at < len_ ? text_[at] : '\0';
    }
    void skipControl() {
        while (ch() >= 1 && ch() <= 32) ++pos_;
    }
    void skipBlanks() {
        while (ch() == ' ') ++pos_;
    }

    int fail(int code, const char* line1 = nullptr, const char* line2 = nullptr) {
        if (error_ == 0) {
            error_ = code;
            if (code_->exprError()) code_->raise(code, line1 != nullptr ? line1 : text_, line2,
                                                  line1 != nullptr ? text_ : nullptr);
        }
        return -1;
    }
    // The table raised its own error (or kept quiet): just stop.
    int failSilently() {
        if (error_ == 0) error_ = -1;
        return -1;
    }

    int pushOp(int row) {
        if (ops_.size() >= operatorStackMax) return fail(e4memory);
        ops_.push_back({row, 0});
        return 0;
    }
    void emitOp(const OpEntry& op) {
        EXPR4TOKEN t;
        t.row = op.row;
        t.paramCount = (rows[op.row].params < 0 ? 2 : rows[op.row].params) + op.extra;
        tokens_.push_back(t);
    }
    int addConstant(const void* data, size_t n) {
        if (constants_.size() + n > constantsMax) return fail(e4memory);
        const int at = int(constants_.size());
        constants_.insert(constants_.end(), static_cast<const char*>(data), static_cast<const char*>(data) + n);
        return at;
    }

    int expression(bool inParameters);
    int value(bool inParameters);
    int number();
    int name();
    int function(const char* name, int nameLen);
    int field(Expr4Table* table, const char* name);

    Expr4Table* table_;
    Expr4Code* code_;
    const char* text_;
    size_t len_ = std::strlen(text_);
    size_t pos_ = 0;
    int error_ = 0;
    int depth_ = 0;
    bool trims_ = false;
    std::vector<EXPR4TOKEN> tokens_;
    std::vector<char> constants_;
    std::vector<OpEntry> ops_;

    friend class Resolver;
};

int Parser::expression(bool inParameters) {
    if (pushOp(-1) < 0) return -1;
    for (;;) {
        if (value(inParameters) < 0) return -1;
        skipControl();
        const char c = ch();
        if (c == '\0' || c == ')' || c == ',') {
            while (ops_.back().row != -1) {
                emitOp(ops_.back());
                ops_.pop_back();
            }
            ops_.pop_back();
            return 0;
        }
        const int row = expr4lookup(text_ + pos_, -1, rFirstOperator, rLastOperator);
        if (row < 0) return fail(inParameters ? e4commaExpected : e4unrecOperator);
        pos_ += std::strlen(rows[row].name);
        bool counted = false;
        while (ops_.back().row != -1) {
            OpEntry& top = ops_.back();
            if (rows[top.row].code == rows[row].code && rows[row].params < 0) {
                ++top.extra;
                counted = true;
                break;
            }
            if (rows[top.row].priority < rows[row].priority) break;
            emitOp(top);
            ops_.pop_back();
        }
        if (!counted && pushOp(row) < 0) return -1;
    }
}

int Parser::value(bool inParameters) {
    // Each level of nesting holds an operator-stack entry; bounding it bounds recursion.
    if (++depth_ > operatorStackMax) return fail(e4memory);
    struct Leave {
        int& d;
        ~Leave() { --d; }
    } leave{depth_};

    skipBlanks();
    const char c = ch();
    if (c == '\0') return fail(e4complete);
    if (c == '(') {
        ++pos_;
        if (expression(false) < 0) return -1;
        skipControl();
        if (ch() != ')') return fail(e4rightMissing);
        ++pos_;
        return 0;
    }
    if (c == '.') {
        const int row = expr4lookup(text_ + pos_, -1, rTrue, rNot);
        if (row == rNot) {
            pos_ += std::strlen(rows[row].name);
            if (value(inParameters) < 0) return -1;
            return pushOp(rNot);
        }
        if (row >= 0) {
            pos_ += std::strlen(rows[row].name);
            EXPR4TOKEN t;
            t.row = row;
            tokens_.push_back(t);
            return 0;
        }
        return number();
    }
    if (c == '"' || c == '\'' || c == '[') {
        const char end = c == '[' ? ']' : c;
        const size_t start = pos_ + 1;
        size_t stop = start;
        while (stop < len_ && text_[stop] != end) ++stop;
        if (stop >= len_) return fail(e4unterminated);
        EXPR4TOKEN t;
        t.row = rConstText;
        t.length = int(stop - start);
        t.first = addConstant(text_ + start, stop - start);
        if (t.first < 0) return -1;
        tokens_.push_back(t);
        pos_ = stop + 1;
        return 0;
    }
    if ((c >= '0' && c <= '9') || c == '+' || c == '-') return number();
    if (isNameChar(c)) return name();
    return fail(e4unrecValue);
}

int Parser::number() {
    const size_t start = pos_;
    size_t p = pos_ + 1;
    for (;;) {
        const char c = p < len_ ? text_[p] : '\0';
        if (c >= '0' && c <= '9') {
            ++p;
        } else if (c == '.') {
            if (expr4lookup(text_ + p, -1, rOr, rAnd) >= 0 || expr4lookup(text_ + p, -1, rNot, rNot) >= 0) break;
            ++p;
        } else {
            break;
        }
    }
    if (p < len_ && isLetter(text_[p])) return name();
    const double v = c4textToDouble(text_ + start, int(p - start));
    EXPR4TOKEN t;
    t.row = rConstNum;
    t.length = 8;
    t.first = addConstant(&v, sizeof v);
    if (t.first < 0) return -1;
    tokens_.push_back(t);
    pos_ = p;
    return 0;
}

int Parser::name() {
    const size_t start = pos_;
    while (isNameChar(ch())) ++pos_;
    const int nameLen = int(pos_ - start);
    if (nameLen == 0) return fail(e4unrecValue);
    std::string word(text_ + start, size_t(nameLen));
    const size_t after = pos_;
    skipBlanks();
    if (ch() == '(') {
        ++pos_;
        return function(word.c_str(), nameLen);
    }
    pos_ = after;
    Expr4Table* table = table_;
    if (ch() == '-' && ch(1) == '>') {
        pos_ += 2;
        std::string alias = word.substr(0, 10);
        table = table_->findAlias(alias.c_str());
        if (table == nullptr) return fail(e4dataName, alias.c_str());
        const size_t fieldStart = pos_;
        while (isNameChar(ch())) ++pos_;
        word.assign(text_ + fieldStart, pos_ - fieldStart);
        if (word.empty()) return fail(e4unrecValue);
    }
    return field(table, word.c_str());
}

int Parser::field(Expr4Table* table, const char* fieldName) {
    if (std::strlen(fieldName) > 10) return fail(e4unrecValue);
    Expr4FieldInfo info;
    if (table->fieldInfo(fieldName, &info) < 0) return failSilently();
    EXPR4TOKEN t;
    switch (info.type) {
    case 'C': case 'c': t.row = rFieldPtr; break;
    case 'D': case 'd': t.row = rFieldDate; break;
    case 'N': case 'n': case 'F': case 'f': t.row = rFieldNumText; break;
    case 'L': case 'l': t.row = rFieldLogical; break;
    case 'M': case 'm': t.row = rMemo; break;
    default: return fail(e4typeSub, "Unknown field type");
    }
    if (info.length < 0 || info.length > maxLength || info.offset < 0) return fail(e4info, "Field length");
    t.field = info.field;
    t.table = table;
    t.first = info.offset;
    t.length = info.length;
    t.tie = info.length;  // numeric fields converted to doubles read this many characters
    tokens_.push_back(t);
    return 0;
}

int Parser::function(const char* fname, int nameLen) {
    int row = expr4lookup(fname, nameLen, rFirstFunction, rowCount - 1);
    CALC4* calc = nullptr;
    if (row < 0) {
        calc = calc4lookup(code_, fname, nameLen);
        if (calc == nullptr) return fail(e4unrecFunction);
        row = rCalc;
    }
    // Where each parameter's tokens start.
    std::vector<size_t> starts;
    skipBlanks();
    if (ch() == ')') {
        ++pos_;
    } else {
        for (;;) {
            starts.push_back(tokens_.size());
            if (expression(true) < 0) return -1;
            const char c = ch();
            if (c == '\0') return fail(e4rightMissing);
            ++pos_;
            if (c == ')') break;
            if (c != ',') return fail(e4commaExpected);
        }
    }
    int params = int(starts.size());
    // Constant parameters come off the token list.
    auto constantParam = [&](int i, double* out) -> int {
        const size_t from = starts[size_t(i)];
        const size_t to = size_t(i) + 1 < starts.size() ? starts[size_t(i) + 1] : tokens_.size();
        if (to - from != 1 || tokens_[from].row != rConstNum) return fail(e4notConstant);
        std::memcpy(out, constants_.data() + tokens_[from].first, sizeof *out);
        if (!std::isfinite(*out)) return fail(e4notConstant);
        return 0;
    };
    auto dropFrom = [&](int i) { tokens_.resize(starts[size_t(i)]); };
    auto clampInt = [](double v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : int(v); };

    EXPR4TOKEN t;
    t.row = row;
    t.calc = calc;
    if ((row == rStr && params > 3) || (row == rSubstr && (params < 2 || params > 3)) ||
        (row == rLeft && params != 2))
        return fail(e4numParms, "Function", fname);
    if (row == rStr && params >= 2) {
        double length = 10, decimals = 0;
        if (params == 3 && constantParam(2, &decimals) < 0) return -1;
        if (constantParam(1, &length) < 0) return -1;
        int len = length < 0 ? 10 : clampInt(length, 0, 255);
        int dec = clampInt(decimals, 0, 255);
        if (dec + 1 >= len) dec = len - 2;
        if (dec < 0) dec = 0;
        dropFrom(1);
        params = 1;
        t.length = len;
        t.first = dec;
    } else if (row == rStr) {
        t.length = 10;
        t.first = 0;
    } else if (row == rSubstr && params >= 2) {
        double start = 1, length = -1;
        if (params == 3 && constantParam(2, &length) < 0) return -1;
        if (constantParam(1, &start) < 0) return -1;
        t.first = clampInt(start - 1, 0, maxLength);
        // Without a length the rest of the text.
        t.length = params == 3 ? clampInt(length, 0, maxLength) : -1;
        dropFrom(1);
        params = 1;
    } else if (row == rLeft && params == 2) {
        double length = 0;
        if (constantParam(1, &length) < 0) return -1;
        t.first = 0;
        t.length = clampInt(length, 0, maxLength);
        dropFrom(1);
        params = 1;
    } else if (row == rDtoc && params == 2) {
        dropFrom(1);
        params = 1;
        t.row = row = rDtos;
    }
    const int want = rows[row].params;
    if (want >= 0 && params != want) return fail(e4numParms, "Function", fname);
    if (row == rTrim || row == rLtrim) trims_ = true;
    if (row == rDel || row == rDeleted || row == rReccount || row == rRecno) t.table = table_;
    t.paramCount = params;
    tokens_.push_back(t);
    return 0;
}

// Types, lengths and work-buffer positions.
class Resolver {
public:
    Resolver(Parser& p) : p_(p) {}
    int run(int* workLen, char* type, int* len);

private:
    struct Entry {
        char type;
        int length;
        int pos;
        int token;
    };
    bool matches(int row, int n) const;
    int resultLength(EXPR4TOKEN& t, int row, int n);
    Parser& p_;
    std::vector<Entry> stack_;
};

bool Resolver::matches(int row, int n) const {
    const Row& r = rows[row];
    for (int i = 0; i < n; ++i) {
        const char want = r.types[r.params < 0 ? 0 : i];
        const Entry& e = stack_[stack_.size() - size_t(n) + size_t(i)];
        const int producer = p_.tokens_[size_t(e.token)].row;
        if (e.type == want) continue;
        // Dates and numbers stored as text can be read as day numbers and doubles, when
        // they come straight from a field.
        if (want == 'd' && e.type == 'D' && producer == rFieldDate) continue;
        if (want == 'n' && e.type == 'N' && producer == rFieldNumText) continue;
        return false;
    }
    return true;
}

int Resolver::run(int* workLen, char* type, int* len) {
    int nextFree = 0;
    int highest = 0;
    bool trimmedBefore = false;
    std::vector<EXPR4TOKEN>& tokens = p_.tokens_;
    for (size_t ti = 0; ti < tokens.size(); ++ti) {
        EXPR4TOKEN& t = tokens[ti];
        int row = t.row;
        const int n = t.paramCount;
        if (rows[row].params >= 1 && n != rows[row].params) return p_.fail(e4numParms);
        if (n > int(stack_.size())) return p_.fail(e4result);
        if (n > 0) {
            while (!matches(row, n)) {
                if (rows[row + 1].code != rows[row].code) return p_.fail(e4typeSub);
                ++row;
            }
        }
        t.row = row;
        const size_t base = stack_.size() - size_t(n);
        // Parameters read as day numbers or doubles turn into converting field tokens.
        for (int i = 0; i < n; ++i) {
            Entry& e = stack_[base + size_t(i)];
            const char want = rows[row].types[rows[row].params < 0 ? 0 : i];
            EXPR4TOKEN& producer = tokens[size_t(e.token)];
            if (want == 'd' && e.type == 'D') {
                producer.row = rFieldDay;
                producer.length = 8;
                e.type = 'd';
                e.length = 8;
            } else if (want == 'n' && e.type == 'N') {
                producer.row = rFieldNum;
                producer.length = 8;
                e.type = 'n';
                e.length = 8;
            }
        }
        // Routines that work on their parameters in place need them in the work buffer.
        if (row == rConcat || row == rMinus || row == rSubstr || row == rUpper || row == rTrim || row == rLtrim ||
            row == rLeft) {
            for (int i = 0; i < n; ++i) {
                EXPR4TOKEN& producer = tokens[size_t(stack_[base + size_t(i)].token)];
                if (producer.row == rFieldPtr) producer.row = rFieldCopy;
            }
        }
        if (row == rConcat && trimmedBefore) t.row = row = rConcatTrim;

        int tokenCount = 1;
        for (int i = 0; i < n; ++i) tokenCount += tokens[size_t(stack_[base + size_t(i)].token)].tokenCount;
        t.tokenCount = tokenCount;

        const int pos = n > 0 ? stack_[base].pos : nextFree;
        t.resultPos = pos;
        const int length = resultLength(t, row, n);
        if (length < 0) return -1;
        char resultType = rows[row].result;
        if (row == rCalc) resultType = t.calc->expr->type;
        stack_.resize(base);
        if (stack_.size() >= stackMax) return p_.fail(e4overflow);
        stack_.push_back({resultType, length, pos, int(ti)});
        t.length = length;

        int reserve = length;
        if (resultType == 'N' || resultType == 'D') reserve = std::max(reserve, 8);
        if (row == rCalc) reserve = std::max(reserve, t.calc->expr->workLen);
        nextFree = pos + reserve;
        if (nextFree > maxLength) return p_.fail(e4overflow);
        highest = std::max(highest, nextFree);

        if (row == rMemo || row == rTrim || row == rLtrim || row == rCalc) trimmedBefore = true;
    }
    if (stack_.size() != 1) return p_.fail(e4result);
    for (EXPR4TOKEN& t : tokens) t.routine = rows[t.row].routine;
    *workLen = highest + 1;
    *type = stack_[0].type;
    *len = stack_[0].length;
    return 0;
}

int Resolver::resultLength(EXPR4TOKEN& t, int row, int n) {
    const size_t base = stack_.size() - size_t(n);
    auto param = [&](int i) -> Entry& { return stack_[base + size_t(i)]; };
    switch (row) {
    case rFieldPtr: case rFieldCopy: case rFieldDate: case rFieldNumText:
        return t.length;
    case rFieldDay: case rFieldNum:
        return 8;
    case rFieldLogical:
        return 4;
    case rMemo:
        return std::clamp(p_.code_->exprMemoSize(), 0, maxLength);
    case rConstText:
        return t.length;
    case 17: case 18: case 22:
        t.first = param(0).length;
        return param(0).length + param(1).length;
    case rChr: case rDel:
        return 1;
    case rTime: case rDtos: case rDtosDay:
        return 8;
    case rDtoc: case rDtocDay: case rCtod: {
        const char* picture = p_.code_->dateFormat();
        char pic[20] = {};
        std::strncpy(pic, picture != nullptr ? picture : "", sizeof pic - 1);
        t.first = p_.addConstant(pic, std::strlen(pic) + 1);
        if (t.first < 0) return -1;
        if (row == rCtod) {
            t.tie = param(0).length;
            return 8;
        }
        return int(std::strlen(pic));
    }
    case rStod: case rVal:
        t.tie = param(0).length;
        return 8;
    case rContains:
        t.first = param(0).length;
        t.tie = param(1).length;
        return 4;
    case rSubstr: case rLeft: {
        const int textLen = param(0).length;
        const int start = std::clamp(t.first, 0, textLen);
        t.first = start;
        const int rest = textLen - start;
        return t.length < 0 ? rest : std::min(t.length, rest);
    }
    case rUpper: case rTrim: case rLtrim:
        return param(0).length;
    case rIif: case 66: case 67: case 68:
        if (param(1).length != param(2).length) return p_.fail(e4lengthErr);
        return param(1).length;
    case rStr:
        return t.length;
    case rCalc:
        return t.calc->expr->len;
    case rEqC: case rNeC1: case rNeC2: case rGeC: case rLeC: case rGtC: case rLtC:
        t.first = std::min(param(0).length, param(1).length);
        if (row == rGtC) t.tie = param(0).length > param(1).length;
        if (row == rLtC) t.tie = param(0).length < param(1).length;
        return 4;
    default:
        break;
    }
    switch (rows[row].result) {
    case 'L': return 4;
    case 'n': case 'd': return 8;
    default: return t.length;
    }
}

EXPR4* Parser::run() {
    tokens_.reserve(16);
    constants_.reserve(constantsMax);
    ops_.reserve(operatorStackMax);
    if (expression(false) < 0) return nullptr;
    if (!ops_.empty()) {
        fail(e4complete);
        return nullptr;
    }
    int workLen = 0;
    char type = 0;
    int length = 0;
    Resolver resolver(*this);
    if (resolver.run(&workLen, &type, &length) < 0) return nullptr;
    EXPR4* e = new (std::nothrow) EXPR4;
    if (e == nullptr) return nullptr;
    e->tokens = std::move(tokens_);
    e->constants = std::move(constants_);
    e->source = text_;
    e->len = length;
    e->type = type;
    e->data = table_;
    e->code = code_;
    e->workLen = workLen;
    e->trims = trims_;
    const int keyLen = (type == 'D' || type == 'd') ? 8 : (type == 'N' || type == 'n') ? c4bcdLen : length;
    code_->growArea(code_->work, size_t(workLen));
    code_->growArea(code_->key, size_t(std::max(keyLen, length) + 1));
    for (EXPR4TOKEN& t : e->tokens)
        if (t.calc != nullptr) ++t.calc->refs;
    return e;
}

void freeCalc(CALC4* calc) {
    expr4free(calc->expr);
    delete calc;
}

}  // namespace

EXPR4* expr4parse(Expr4Table* table, const char* text) {
    if (table == nullptr || table->code() == nullptr || text == nullptr) return nullptr;
    if (table->code()->errorCode() < 0) return nullptr;
    try {
        Parser parser(table, text);
        return parser.run();
    } catch (const std::bad_alloc&) {
        table->code()->raise(e4memory, text, nullptr, nullptr);
        return nullptr;
    }
}

int expr4evalPart(EXPR4* e, int index, char** result) {
    if (e == nullptr || e->code == nullptr) return -1;
    if (e->code->errorCode() < 0) return e->code->errorCode();
    if (index < 0 || index >= int(e->tokens.size())) return e4parm;
    if (e->code->work.size() < size_t(e->workLen)) return e4memory;
    e->code->releaseRetired();
    Expr4State s;
    s.base = e->code->work.data();
    s.constants = e->constants.data();
    s.code = e->code;
    const int from = index - e->tokens[size_t(index)].tokenCount + 1;
    runTokens(s, e, from, index);
    if (result != nullptr) *result = s.stack[0];
    return 0;
}

int expr4eval(EXPR4* e, char** result) {
    char* r = nullptr;
    if (e == nullptr || expr4evalPart(e, int(e->tokens.size()) - 1, &r) != 0) return -1;
    if (result != nullptr) *result = r;
    return e->len;
}

int expr4keyLen(const EXPR4* e) {
    if (e == nullptr) return -1;
    switch (e->type) {
    case 'D': case 'd': return 8;
    case 'N': case 'n': return c4bcdLen;
    default: return e->len;
    }
}

int expr4keyConvert(EXPR4* e, char** value, int length, char type) {
    if (e == nullptr || e->code == nullptr || value == nullptr || *value == nullptr || length < 0) return -1;
    std::vector<char>& key = e->code->key;
    const int keyLen = (type == 'D' || type == 'd') ? 8 : (type == 'N' || type == 'n') ? c4bcdLen : length;
    if (key.size() < size_t(keyLen) + 1) return -1;  // sized when the expression was compiled
    char* k = key.data();
    switch (type) {
    case 'D': {
        char date[8];
        std::memset(date, ' ', 8);
        std::memcpy(date, *value, size_t(std::min(length, 8)));
        const long day = date4toJulian(date);
        putDouble(k, day == 0 ? 1e100 : double(day));
        break;
    }
    case 'd': {
        const double v = getDouble(*value);
        putDouble(k, v == 0 ? 1e300 : v);
        break;
    }
    case 'N':
        c4bcdFromText(k, *value, length);
        break;
    case 'n':
        c4bcdFromDouble(k, getDouble(*value));
        break;
    case 'C':
        std::memmove(k, *value, size_t(length));
        if (e->trims)
            for (int i = length; i > 0 && k[i - 1] == '\0'; --i) k[i - 1] = ' ';
        break;
    default:
        std::memmove(k, *value, size_t(length));
        break;
    }
    k[keyLen] = '\0';
    *value = k;
    return keyLen;
}

int expr4key(EXPR4* e, char** key) {
    char* value = nullptr;
    const int len = expr4eval(e, &value);
    if (len < 0) return -1;
    const int keyLen = expr4keyConvert(e, &value, len, e->type);
    if (keyLen >= 0 && key != nullptr) *key = value;
    return keyLen;
}

int expr4true(EXPR4* e) {
    char* value = nullptr;
    if (expr4eval(e, &value) < 0) return -1;
    if (e->type != 'L') {
        e->code->raise(e4result, "expr4true()", "Expecting logical result.", nullptr);
        return -1;
    }
    return getInt(value) != 0 ? 1 : 0;
}

double expr4double(EXPR4* e) {
    char* value = nullptr;
    const int len = expr4eval(e, &value);
    if (len < 0) return 0.0;
    switch (e->type) {
    case 'C': case 'N': return c4textToDouble(value, len);
    case 'D': {
        char date[8];
        std::memset(date, ' ', 8);
        std::memcpy(date, value, size_t(std::min(len, 8)));
        return double(date4toJulian(date));
    }
    case 'n': case 'd': return getDouble(value);
    default: return 0.0;
    }
}

int expr4doubleOut(EXPR4* e, double* result) {
    if (e == nullptr || result == nullptr || e->code == nullptr || e->code->errorCode() < 0) return -1;
    char* value = nullptr;
    if (expr4eval(e, &value) < 0) return -1;
    *result = expr4double(e);
    return 0;
}

int expr4len(const EXPR4* e) { return e != nullptr ? e->len : -1; }
char expr4type(const EXPR4* e) { return e != nullptr ? e->type : 0; }
const char* expr4source(const EXPR4* e) { return e != nullptr ? e->source.c_str() : ""; }

void expr4free(EXPR4* e) {
    if (e == nullptr) return;
    for (EXPR4TOKEN& t : e->tokens)
        if (t.calc != nullptr && --t.calc->refs == 0 && !t.calc->listed) freeCalc(t.calc);
    delete e;
}

int expr4replaceName(EXPR4** exprPtr, const char* name, const char* replacement) {
    if (exprPtr == nullptr || *exprPtr == nullptr || name == nullptr || replacement == nullptr) return -1;
    EXPR4* e = *exprPtr;
    const std::string& src = e->source;
    const size_t nameLen = std::strlen(name);
    if (nameLen == 0) return 1;
    std::string result;
    bool replaced = false;
    for (size_t i = 0; i < src.size();) {
        const bool startsWord = i == 0 || !isNameChar(src[i - 1]);
        if (startsWord && i + nameLen <= src.size() && strncasecmp(src.c_str() + i, name, nameLen) == 0 &&
            (i + nameLen == src.size() || !isNameChar(src[i + nameLen]))) {
            result += replacement;
            i += nameLen;
            replaced = true;
        } else {
            result += src[i++];
        }
    }
    if (!replaced) return 1;
    EXPR4* fresh = expr4parse(e->data, result.c_str());
    if (fresh == nullptr) return -1;
    expr4free(e);
    *exprPtr = fresh;
    return 0;
}

CALC4* calc4create(Expr4Code* code, EXPR4* expr, const char* name) {
    if (code == nullptr || expr == nullptr || name == nullptr || code->errorCode() < 0) return nullptr;
    CALC4* calc = new (std::nothrow) CALC4;
    if (calc == nullptr) {
        code->raise(e4memory, "calc4create()", nullptr, nullptr);
        return nullptr;
    }
    std::strncpy(calc->name, name, sizeof calc->name - 1);
    c4upper(calc->name);
    // A numeric text result is used as a number.
    if (expr->type == 'N' && !expr->tokens.empty() && expr->tokens.back().row == rFieldNumText) {
        EXPR4TOKEN& t = expr->tokens.back();
        t.row = rFieldNum;
        t.routine = rows[rFieldNum].routine;
        t.length = 8;
        expr->type = 'n';
        expr->len = 8;
        expr->workLen = std::max(expr->workLen, t.resultPos + 8 + 1);
        code->growArea(code->work, size_t(expr->workLen));
    }
    calc->expr = expr;
    code->calcs.push_back(calc);
    return calc;
}

CALC4* calc4lookup(Expr4Code* code, const char* name, int length) {
    if (code == nullptr || name == nullptr) return nullptr;
    char wanted[20];
    int n = 0;
    while (n < 19 && (length < 0 || n < length) && name[n] != '\0') {
        wanted[n] = name[n];
        ++n;
    }
    wanted[n] = '\0';
    c4upper(wanted);
    for (CALC4* c : code->calcs)
        if (std::strcmp(c->name, wanted) == 0) return c;
    return nullptr;
}

void calc4delete(Expr4Code* code, CALC4* calc) {
    if (code == nullptr || calc == nullptr) return;
    auto it = std::find(code->calcs.begin(), code->calcs.end(), calc);
    if (it == code->calcs.end()) return;
    code->calcs.erase(it);
    calc->listed = false;
    // Expressions compiled against it keep running it until they are freed.
    if (calc->refs == 0) freeCalc(calc);
}

void calc4delete(CALC4* calc) {
    if (calc != nullptr && calc->expr != nullptr) calc4delete(calc->expr->code, calc);
}

void calc4deleteAll(Expr4Code* code) {
    if (code == nullptr) return;
    while (!code->calcs.empty()) calc4delete(code, code->calcs.back());
}
