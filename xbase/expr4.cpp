// Expression compiler and evaluator.
//
// Compilation turns the text into postfix tokens (operator precedence with a
// marker stack), then lays out every intermediate result at a fixed position
// of the CODE4 work buffer. Evaluation runs each token's routine over a small
// stack of value pointers: it allocates nothing and reads and writes values
// with memcpy, since positions carry no alignment.
#include "xbase/expr4.h"

#include "xbase/conv.h"
#include "xbase/date4.h"
#include "xbase/memo4.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <charconv>
#include <new>
#include <string>
#include <vector>

namespace {

struct Row {
  void (*fn)();
  const char* name;
  int code;
  int prio;
  char result;
  int params; // -1: any number, all of the first type
  char types[3];
};

// ---- evaluation state (module-wide; saved around a named calculation) ----

struct EvalState {
  EXPR4* expr;
  EXPR4TOKEN* tok;
  char* buf;
  const char* constants;
  char* stack[24];
  int top;
};

EvalState g;

char* out() { return g.buf + g.tok->pos; }
void push(char* p) { g.stack[g.top++] = p; }
char* pop() { return g.stack[--g.top]; }

double getD(const char* p) {
  double v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
int getL(const char* p) {
  int v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
void putD(double v) {
  std::memcpy(out(), &v, sizeof(v));
  push(out());
}
void putL(int v) {
  std::memcpy(out(), &v, sizeof(v));
  push(out());
}

char* fieldBytes() { return *static_cast<char**>(g.tok->extra) + g.tok->first; }

// A date field read as 8 characters, blank-padded when the stored field is
// shorter (its length comes from the file).
void dateText(char* eight, const char* p, int len) {
  std::memset(eight, ' ', 8);
  std::memcpy(eight, p, static_cast<size_t>(len < 8 ? (len < 0 ? 0 : len) : 8));
}

void fnFieldPtr() { push(fieldBytes()); }
void fnFieldCopy() {
  std::memcpy(out(), fieldBytes(), static_cast<size_t>(g.tok->len));
  push(out());
}
void fnFieldLog() {
  char c = *fieldBytes();
  putL(c == 'T' || c == 't' || c == 'Y' || c == 'y');
}
void fnFieldDateD() {
  char d[8];
  dateText(d, fieldBytes(), g.tok->field->len);
  putD(date4toJulian(d));
}
void fnFieldNumD() { putD(c4textToDouble(fieldBytes(), g.tok->field->len)); }
void fnMemo() {
  FIELD4* f = g.tok->field;
  uint32_t n = f4memoLen(f);
  const char* p = f4memoPtr(f);
  uint32_t len = static_cast<uint32_t>(g.tok->len);
  if (p == nullptr) n = 0;
  if (n > len) n = len;
  if (n > 0) std::memcpy(out(), p, n);
  std::memset(out() + n, 0, len - n);
  push(out());
}
void fnConst() {
  std::memcpy(out(), g.constants + g.tok->first, static_cast<size_t>(g.tok->len));
  push(out());
}
void fnTrue() { putL(1); }
void fnFalse() { putL(0); }
void fnNot() { putL(!getL(pop())); }
void fnOr() {
  int v = 0;
  for (int i = 0; i < g.tok->parms; ++i) v |= getL(pop()) != 0;
  putL(v);
}
void fnAnd() {
  int v = 1;
  for (int i = 0; i < g.tok->parms; ++i) v &= getL(pop()) != 0;
  putL(v);
}
void fnConcat() {
  pop();
  pop();
  push(out());
}
// Moves the second operand behind the first operand's content; the first
// operand's fill (zero bytes or blanks) goes to the end.
void concatMoving(char fill) {
  pop();
  pop();
  char* p = out();
  int len1 = g.tok->first;
  int len2 = g.tok->len - len1;
  int content = len1;
  while (content > 0 && p[content - 1] == fill) --content;
  if (content < len1) {
    std::memmove(p + content, p + len1, static_cast<size_t>(len2));
    std::memset(p + content + len2, fill, static_cast<size_t>(len1 - content));
  }
  push(p);
}
void fnConcatTrim() { concatMoving(0); }
void fnConcatBlank() { concatMoving(' '); }
void fnAddN() {
  double b = getD(pop()), a = getD(pop());
  putD(a + b);
}
void fnAddND() {
  double d = getD(pop()), n = getD(pop());
  putD(d == 0 ? 0 : n + d); // a blank date stays blank
}
void fnAddDN() {
  double n = getD(pop()), d = getD(pop());
  putD(d == 0 ? 0 : d + n);
}
void fnSubN() {
  double b = getD(pop()), a = getD(pop());
  putD(a - b);
}
void fnSubDD() {
  double b = getD(pop()), a = getD(pop());
  putD(a == 0 || b == 0 ? a : a - b);
}
void fnSubDN() {
  double n = getD(pop()), d = getD(pop());
  putD(d == 0 ? 0 : d - n);
}
int compareC() {
  char* b = pop();
  char* a = pop();
  return std::memcmp(a, b, static_cast<size_t>(g.tok->first));
}
void fnEqC() { putL(compareC() == 0); }
void fnNeC() { putL(compareC() != 0); }
void fnGeC() { putL(!(compareC() < 0)); }
void fnLeC() { putL(!(compareC() > 0)); }
void fnGtC() {
  int rc = compareC();
  putL(rc > 0 || (rc == 0 && g.tok->tie));
}
void fnLtC() {
  int rc = compareC();
  putL(rc < 0 || (rc == 0 && g.tok->tie));
}
void fnEqL() {
  int b = getL(pop()) != 0, a = getL(pop()) != 0;
  putL(a == b);
}
void fnNeL() {
  int b = getL(pop()) != 0, a = getL(pop()) != 0;
  putL(a != b);
}
void fnEqBytes() {
  char* b = pop();
  char* a = pop();
  putL(std::memcmp(a, b, 8) == 0);
}
void fnNeBytes() {
  char* b = pop();
  char* a = pop();
  putL(std::memcmp(a, b, 8) != 0);
}
#define NUMERIC_COMPARE(NAME, OP)          \
  void NAME() {                            \
    double b = getD(pop()), a = getD(pop()); \
    putL(a OP b);                          \
  }
NUMERIC_COMPARE(fnGeN, >=)
NUMERIC_COMPARE(fnLeN, <=)
NUMERIC_COMPARE(fnGtN, >)
NUMERIC_COMPARE(fnLtN, <)
#undef NUMERIC_COMPARE
void fnPow() {
  double b = getD(pop()), a = getD(pop());
  putD(std::pow(a, b));
}
void fnMul() {
  double b = getD(pop()), a = getD(pop());
  putD(a * b);
}
void fnDiv() {
  double b = getD(pop()), a = getD(pop());
  putD(b == 0 ? 0 : a / b);
}
void fnContains() {
  char* b = pop();
  char* a = pop();
  const EXPR4TOKEN* t = g.tok;
  int lenA = t->first, lenB = t->tie;
  int found = 0;
  for (int i = 0; !found && i + lenA <= lenB; ++i) found = std::memcmp(b + i, a, static_cast<size_t>(lenA)) == 0;
  putL(found);
}
void fnChr() {
  double v = getD(pop());
  unsigned char c = 0;
  if (std::isfinite(v) && std::fabs(v) < 9.2e18) c = static_cast<unsigned char>(static_cast<int64_t>(v) & 0xFF);
  *out() = static_cast<char>(c);
  push(out());
}
void fnDel() {
  *out() = **static_cast<char**>(g.tok->extra);
  push(out());
}
void fnStr() {
  double v = getD(pop());
  c4doubleToText(v, out(), g.tok->len, g.tok->first);
  push(out());
}
void fnSubstr() {
  char* p = pop();
  std::memmove(out(), p + g.tok->first, static_cast<size_t>(g.tok->len));
  push(out());
}
void fnTime() {
  date4timeNow(out());
  push(out());
}
void fnUpper() {
  char* p = pop();
  for (int i = 0; i < g.tok->len; ++i)
    if (p[i] >= 'a' && p[i] <= 'z') p[i] = static_cast<char>(p[i] - 32);
  push(p);
}
void fnDtosD() {
  char* p = pop();
  char d[8];
  dateText(d, p, g.tok->first);
  std::memcpy(out(), d, 8);
  push(out());
}
void fromDay(char* eight, double v) {
  int32_t day = std::isfinite(v) && v > 0 && v < 2147483647.0 ? static_cast<int32_t>(v) : 0;
  date4fromJulian(eight, day);
}
void fnDtosd() {
  char d[8];
  fromDay(d, getD(pop()));
  std::memcpy(out(), d, 8);
  push(out());
}
void formatInto(const char* eight) {
  char result[300];
  char date[9];
  std::memcpy(date, eight, 8);
  date[8] = 0;
  date4format(date, result, g.constants + g.tok->first);
  std::memcpy(out(), result, static_cast<size_t>(g.tok->len));
  push(out());
}
void fnDtocD() {
  char d[8];
  dateText(d, pop(), g.tok->tie);
  formatInto(d);
}
void fnDtocd() {
  char d[8];
  fromDay(d, getD(pop()));
  formatInto(d);
}
void fnTrim() {
  char* p = pop();
  for (int i = g.tok->len; i > 0 && (p[i - 1] == ' ' || p[i - 1] == 0); --i) p[i - 1] = 0;
  push(p);
}
void fnLtrim() {
  char* p = pop();
  int len = g.tok->len, skip = 0;
  while (skip < len && (p[skip] == ' ' || p[skip] == 0)) ++skip;
  std::memmove(out(), p + skip, static_cast<size_t>(len - skip));
  std::memset(out() + len - skip, 0, static_cast<size_t>(skip));
  push(out());
}
void fnIif() {
  char* third = pop();
  char* second = pop();
  int cond = getL(pop());
  std::memmove(out(), cond ? second : third, static_cast<size_t>(g.tok->len));
  push(out());
}
void fnStod() {
  char* p = pop();
  char d[8];
  dateText(d, p, g.tok->first);
  int32_t j = date4toJulian(d);
  putD(j < 0 ? 0 : j);
}
void fnCtod() {
  char* p = pop();
  char text[300];
  int n = g.tok->tie < 256 ? g.tok->tie : 256;
  std::memcpy(text, p, static_cast<size_t>(n));
  text[n] = 0;
  char d[8];
  date4parse(d, text, g.constants + g.tok->first);
  int32_t j = date4toJulian(d);
  putD(j < 0 ? 0 : j);
}
void fnDate() {
  char d[8];
  date4today(d);
  putD(date4toJulian(d));
}
template <int Part>
void datePart(const char* eight) {
  char d[9];
  std::memcpy(d, eight, 8);
  d[8] = 0;
  putD(Part == 0 ? date4day(d) : Part == 1 ? date4month(d) : date4year(d));
}
template <int Part>
void fnPartD() {
  char d[8];
  dateText(d, pop(), g.tok->first);
  datePart<Part>(d);
}
template <int Part>
void fnPartd() {
  char d[8];
  fromDay(d, getD(pop()));
  datePart<Part>(d);
}
void fnDeleted() { putL(**static_cast<char**>(g.tok->extra) == '*'); }
void fnRecCount() {
  auto* d = static_cast<DATA4*>(g.tok->extra);
  putD(d4recordCount(d));
}
void fnRecNo() {
  auto* d = static_cast<DATA4*>(g.tok->extra);
  putD(d4recordNumber(d));
}
void fnVal() {
  char* p = pop();
  putD(c4textToDouble(p, g.tok->first));
}
void runTokens(int first, int last);
void fnCalc() {
  auto* calc = static_cast<CALC4*>(g.tok->extra);
  EvalState saved = g;
  EXPR4* e = calc->expr;
  g.expr = e;
  g.buf = saved.buf + saved.tok->pos;
  g.constants = e->constants;
  g.top = 0;
  runTokens(0, e->tokenCount - 1);
  char* result = g.stack[0];
  g = saved;
  std::memmove(out(), result, static_cast<size_t>(g.tok->len));
  push(out());
}
void fnZero() { putD(0); }

// clang-format off
const Row kRows[] = {
  {fnFieldPtr, nullptr, 0, 0, 'C', 0, {}},
  {fnFieldCopy, nullptr, 1, 0, 'C', 0, {}},
  {fnFieldLog, nullptr, 2, 0, 'L', 0, {}},
  {fnFieldDateD, nullptr, 3, 0, 'd', 0, {}},
  {fnFieldPtr, nullptr, 4, 0, 'D', 0, {}},
  {fnFieldNumD, nullptr, 5, 0, 'n', 0, {}},
  {fnFieldPtr, nullptr, 6, 0, 'N', 0, {}},
  {fnMemo, nullptr, 7, 0, 'C', 0, {}},
  {fnConst, nullptr, 8, 0, 'n', 0, {}},
  {fnConst, nullptr, 9, 0, 'C', 0, {}},
  {fnTrue, ".TRUE.", 14, 0, 'L', 0, {}},
  {fnTrue, ".T.", 14, 0, 'L', 0, {}},
  {fnFalse, ".FALSE.", 16, 0, 'L', 0, {}},
  {fnFalse, ".F.", 16, 0, 'L', 0, {}},
  {fnNot, ".NOT.", 18, 5, 'L', 1, {'L'}},
  {fnOr, ".OR.", 20, 3, 'L', -1, {'L'}},
  {fnAnd, ".AND.", 22, 4, 'L', -1, {'L'}},
  {fnConcat, "+", 25, 7, 'C', 2, {'C', 'C'}},
  {fnConcatTrim, nullptr, 25, 7, 'C', 2, {'C', 'C'}},
  {fnAddN, nullptr, 25, 7, 'n', 2, {'n', 'n'}},
  {fnAddND, nullptr, 25, 7, 'd', 2, {'n', 'd'}},
  {fnAddDN, nullptr, 25, 7, 'd', 2, {'d', 'n'}},
  {fnConcatBlank, "-", 30, 7, 'C', 2, {'C', 'C'}},
  {fnSubN, nullptr, 30, 7, 'n', 2, {'n', 'n'}},
  {fnSubDD, nullptr, 30, 7, 'n', 2, {'d', 'd'}},
  {fnSubDN, nullptr, 30, 7, 'd', 2, {'d', 'n'}},
  {fnEqC, "=", 40, 6, 'L', 2, {'C', 'C'}},
  {fnEqL, nullptr, 40, 6, 'L', 2, {'L', 'L'}},
  {fnEqBytes, nullptr, 40, 6, 'L', 2, {'n', 'n'}},
  {fnEqBytes, nullptr, 40, 6, 'L', 2, {'d', 'd'}},
  {fnNeC, "#", 50, 6, 'L', 2, {'C', 'C'}},
  {fnNeC, "<>", 50, 6, 'L', 2, {'C', 'C'}},
  {fnNeBytes, nullptr, 50, 6, 'L', 2, {'n', 'n'}},
  {fnNeBytes, nullptr, 50, 6, 'L', 2, {'d', 'd'}},
  {fnNeL, nullptr, 50, 6, 'L', 2, {'L', 'L'}},
  {fnGeC, ">=", 60, 6, 'L', 2, {'C', 'C'}},
  {fnGeN, nullptr, 60, 6, 'L', 2, {'n', 'n'}},
  {fnGeN, nullptr, 60, 6, 'L', 2, {'d', 'd'}},
  {fnLeC, "<=", 70, 6, 'L', 2, {'C', 'C'}},
  {fnLeN, nullptr, 70, 6, 'L', 2, {'n', 'n'}},
  {fnLeN, nullptr, 70, 6, 'L', 2, {'d', 'd'}},
  {fnGtC, ">", 80, 6, 'L', 2, {'C', 'C'}},
  {fnGtN, nullptr, 80, 6, 'L', 2, {'n', 'n'}},
  {fnGtN, nullptr, 80, 6, 'L', 2, {'d', 'd'}},
  {fnLtC, "<", 90, 6, 'L', 2, {'C', 'C'}},
  {fnLtN, nullptr, 90, 6, 'L', 2, {'n', 'n'}},
  {fnLtN, nullptr, 90, 6, 'L', 2, {'d', 'd'}},
  {fnPow, "^", 100, 9, 'n', 2, {'n', 'n'}},
  {fnPow, "**", 100, 9, 'n', 2, {'n', 'n'}},
  {fnMul, "*", 102, 8, 'n', 2, {'n', 'n'}},
  {fnDiv, "/", 105, 8, 'n', 2, {'n', 'n'}},
  {fnContains, "$", 110, 6, 'L', 2, {'C', 'C'}},
  {fnChr, "CHR", 120, 0, 'C', 1, {'n'}},
  {fnDel, "DEL", 130, 0, 'C', 0, {}},
  {fnStr, "STR", 140, 0, 'C', 1, {'n'}},
  {fnSubstr, "SUBSTR", 150, 0, 'C', 1, {'C'}},
  {fnTime, "TIME", 160, 0, 'C', 0, {}},
  {fnUpper, "UPPER", 170, 0, 'C', 1, {'C'}},
  {fnDtosD, "DTOS", 180, 0, 'C', 1, {'D'}},
  {fnDtosd, nullptr, 180, 0, 'C', 1, {'d'}},
  {fnDtocD, "DTOC", 200, 0, 'C', 1, {'D'}},
  {fnDtocd, nullptr, 200, 0, 'C', 1, {'d'}},
  {fnTrim, "TRIM", 220, 0, 'C', 1, {'C'}},
  {fnLtrim, "LTRIM", 230, 0, 'C', 1, {'C'}},
  {fnSubstr, "LEFT", 240, 0, 'C', 1, {'C'}},
  {fnIif, "IIF", 250, 0, 'C', 3, {'L', 'C', 'C'}},
  {fnIif, nullptr, 250, 0, 'n', 3, {'L', 'n', 'n'}},
  {fnIif, nullptr, 250, 0, 'd', 3, {'L', 'd', 'd'}},
  {fnIif, nullptr, 250, 0, 'L', 3, {'L', 'L', 'L'}},
  {fnStod, "STOD", 260, 0, 'd', 1, {'C'}},
  {fnCtod, "CTOD", 270, 0, 'd', 1, {'C'}},
  {fnDate, "DATE", 280, 0, 'd', 0, {}},
  {fnPartD<0>, "DAY", 290, 0, 'n', 1, {'D'}},
  {fnPartd<0>, nullptr, 290, 0, 'n', 1, {'d'}},
  {fnPartD<1>, "MONTH", 310, 0, 'n', 1, {'D'}},
  {fnPartd<1>, nullptr, 310, 0, 'n', 1, {'d'}},
  {fnPartD<2>, "YEAR", 340, 0, 'n', 1, {'D'}},
  {fnPartd<2>, nullptr, 340, 0, 'n', 1, {'d'}},
  {fnDeleted, "DELETED", 350, 0, 'L', 0, {}},
  {fnRecCount, "RECCOUNT", 360, 0, 'n', 0, {}},
  {fnRecNo, "RECNO", 370, 0, 'n', 0, {}},
  {fnVal, "VAL", 380, 0, 'n', 1, {'C'}},
  {fnCalc, nullptr, 390, 0, 'C', 0, {}},
  {fnZero, nullptr, 400, 0, 'n', 0, {}},
  {fnZero, "PAGENO", 410, 0, 'n', 0, {}},
  {nullptr, nullptr, -1, 0, 0, 0, {}},
};
// clang-format on

constexpr int kRowCount = static_cast<int>(sizeof(kRows) / sizeof(kRows[0])) - 1;
static_assert(kRowCount == 85, "85 rows plus the end row");

enum : int {
  rowFieldPtr = 0, rowFieldCopy = 1, rowFieldDateD = 3, rowFieldDate = 4, rowFieldNumD = 5,
  rowFieldNum = 6, rowMemo = 7, rowNumConst = 8, rowStrConst = 9, rowNot = 14, rowFirstOp = 15,
  rowConcat = 17, rowConcatTrim = 18, rowMinus = 22, rowLastOp = 51, rowGtC = 41, rowLtC = 44,
  rowContains = 51, rowFirstFunction = 52, rowStr = 54, rowSubstr = 55, rowUpper = 57,
  rowDtos = 58, rowDtoc = 60, rowDtocd = 61, rowTrim = 62, rowLtrim = 63, rowLeft = 64,
  rowIif = 65, rowStod = 69, rowCtod = 70, rowDayD = 72, rowYeard = 77, rowDeleted = 78,
  rowRecCount = 79, rowRecNo = 80, rowVal = 81, rowCalc = 82, rowTotal = 83, rowDel = 53,
};

void runTokens(int first, int last) {
  EXPR4TOKEN* info = g.expr->tokens;
  for (int i = first; i <= last; ++i) {
    g.tok = &info[i];
    info[i].routine();
  }
}

bool isNameChar(char c) { return u4nameChar(static_cast<unsigned char>(c)) != 0; }

bool sameNoCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y || x == 0) return false;
  }
  return true;
}

// ---- compiler ----

struct Value {
  char type;
  int len;
  int pos;
  int token;
};

class Parser {
 public:
  Parser(DATA4* data, const char* text) : cb_(data->cb), data_(data), src_(text) {}

  EXPR4* run();

 private:
  struct Op {
    int row; // -1: marker
    int count;
  };

  char at(size_t i) const { return i < srcLen_ ? src_[i] : 0; }
  char cur() const { return at(pos_); }
  void skipBlanks() {
    while (cur() == ' ') ++pos_;
  }
  void skipControls() {
    while (cur() >= 1 && cur() <= 32) ++pos_;
  }

  int fail(int code, const char* l1 = nullptr, const char* l2 = nullptr) {
    if (error_ == 0) {
      error_ = code;
      if (code == err4memory) {
        error4reportEx(cb_, code, l1 != nullptr ? l1 : src_, l1 != nullptr ? src_ : nullptr, nullptr);
      } else if (cb_->exprError) {
        if (l1 != nullptr) error4reportEx(cb_, code, l1, l2 != nullptr ? l2 : src_, l2 != nullptr ? src_ : nullptr);
        else error4reportEx(cb_, code, src_, nullptr, nullptr);
      }
    }
    return -1;
  }

  int addConstant(const void* bytes, size_t n) {
    if (constLen_ + n > sizeof(constants_)) return fail(err4memory, "Expression constants");
    int at = static_cast<int>(constLen_);
    std::memcpy(constants_ + constLen_, bytes, n);
    constLen_ += n;
    return at;
  }

  int pushOp(int row) {
    if (nOps_ >= 32) return fail(err4memory, "Expression operators");
    ops_[nOps_++] = {row, 2};
    return 0;
  }

  void emit(int row, int parms) {
    EXPR4TOKEN t{};
    t.row = row;
    t.parms = parms;
    int start = static_cast<int>(tokens_.size());
    for (int k = 0; k < parms && start > 0; ++k) start -= tokens_[static_cast<size_t>(start - 1)].entries;
    t.entries = static_cast<int>(tokens_.size()) - start + 1;
    tokens_.push_back(t);
  }

  void emitOp(const Op& op) { emit(op.row, kRows[op.row].params == -1 ? op.count : kRows[op.row].params); }

  int parseExpr();
  int parseValue();
  int parseNumber();
  int parseName();
  int parseFunction(const char* name, size_t len);
  int resolve();
  int takeConstant(size_t tokenIndex, double* value);

  CODE4* cb_;
  DATA4* data_;
  const char* src_;
  size_t srcLen_ = 0;
  size_t pos_ = 0;
  std::vector<EXPR4TOKEN> tokens_;
  char constants_[512];
  size_t constLen_ = 0;
  Op ops_[32];
  int nOps_ = 0;
  int pendingNots_ = 0;
  int error_ = 0;
  bool hasTrim_ = false;
  int lenEval_ = 0;
  int keyMax_ = 0;
  char type_ = 0;
  int len_ = 0;
};

int Parser::parseExpr() {
  for (;;) {
    if (parseValue() != 0) return -1;
    skipControls();
    char c = cur();
    if (c == 0 || c == ')' || c == ',') {
      while (nOps_ > 0 && ops_[nOps_ - 1].row >= 0) emitOp(ops_[--nOps_]);
      return 0;
    }
    int row = expr4lookup(src_ + pos_, -1, rowFirstOp, rowLastOp);
    if (row < 0) return fail(err4unrecognizedOperator);
    pos_ += std::strlen(kRows[row].name);
    bool merged = false;
    while (nOps_ > 0 && ops_[nOps_ - 1].row >= 0 && kRows[ops_[nOps_ - 1].row].prio >= kRows[row].prio) {
      Op& top = ops_[nOps_ - 1];
      if (kRows[top.row].code == kRows[row].code && kRows[row].params == -1) {
        ++top.count;
        merged = true;
        break;
      }
      emitOp(top);
      --nOps_;
    }
    if (!merged && pushOp(row) != 0) return -1;
  }
}

int Parser::parseValue() {
  skipBlanks();
  char c = cur();
  if (c == '(') {
    ++pos_;
    if (pushOp(-1) != 0) return -1;
    if (parseExpr() != 0) return -1;
    skipControls();
    if (cur() != ')') return fail(err4rightBracket);
    ++pos_;
    --nOps_;
    return 0;
  }
  if (c == '.') {
    int row = expr4lookup(src_ + pos_, -1, 10, rowNot);
    if (row >= 0) {
      pos_ += std::strlen(kRows[row].name);
      if (row == rowNot) {
        // Each pending .NOT. will take an operator-stack entry.
        if (nOps_ + ++pendingNots_ > 32) return fail(err4memory, "Expression operators");
        int rc = parseValue();
        --pendingNots_;
        if (rc != 0) return -1;
        return pushOp(rowNot);
      }
      emit(row, 0);
      return 0;
    }
    return parseNumber();
  }
  if (c == '"' || c == '\'' || c == '[') {
    char end = c == '[' ? ']' : c;
    size_t start = ++pos_;
    while (cur() != 0 && cur() != end) ++pos_;
    if (cur() != end) return fail(err4unterminated);
    size_t n = pos_ - start;
    ++pos_;
    int at = addConstant(src_ + start, n);
    if (at < 0) return -1;
    emit(rowStrConst, 0);
    tokens_.back().first = at;
    tokens_.back().len = static_cast<int>(n);
    return 0;
  }
  if ((c >= '0' && c <= '9') || c == '+' || c == '-') return parseNumber();
  if (isNameChar(c)) return parseName();
  return fail(err4unrecognizedValue);
}

int Parser::parseNumber() {
  size_t start = pos_;
  ++pos_;
  for (;;) {
    char c = cur();
    if (c >= '0' && c <= '9') {
      ++pos_;
      continue;
    }
    if (c == '.') {
      if (expr4lookup(src_ + pos_, -1, rowFirstOp, 16) >= 0 || expr4lookup(src_ + pos_, -1, rowNot, rowNot) >= 0) break;
      ++pos_;
      continue;
    }
    break;
  }
  char c = cur();
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
    pos_ = start;
    return parseName();
  }
  double v = c4textToDouble(src_ + start, static_cast<int>(pos_ - start));
  int at = addConstant(&v, sizeof(v));
  if (at < 0) return -1;
  emit(rowNumConst, 0);
  tokens_.back().first = at;
  tokens_.back().len = 8;
  return 0;
}

int Parser::parseName() {
  size_t start = pos_;
  while (isNameChar(cur())) ++pos_;
  size_t len = pos_ - start;
  if (len == 0) return fail(err4unrecognizedValue);
  size_t after = pos_;
  skipBlanks();
  if (cur() == '(') {
    ++pos_;
    return parseFunction(src_ + start, len);
  }
  pos_ = after;
  DATA4* table = data_;
  const char* fieldName = src_ + start;
  size_t fieldLen = len;
  if (cur() == '-' && at(pos_ + 1) == '>') {
    char alias[data4aliasMax + 1];
    size_t n = len < data4aliasMax ? len : data4aliasMax;
    std::memcpy(alias, src_ + start, n);
    alias[n] = 0;
    table = code4findData(cb_, alias);
    if (table == nullptr) return fail(err4dataName, alias);
    pos_ += 2;
    size_t fstart = pos_;
    while (isNameChar(cur())) ++pos_;
    fieldName = src_ + fstart;
    fieldLen = pos_ - fstart;
  }
  if (fieldLen == 0 || fieldLen > field4nameMax) return fail(err4unrecognizedValue);
  char name[field4nameMax + 1];
  std::memcpy(name, fieldName, fieldLen);
  name[fieldLen] = 0;
  int n = d4fieldNumber(table, name);
  if (n < 0) {
    error_ = cb_->errorCode < 0 ? cb_->errorCode : err4fieldName;
    return -1;
  }
  FIELD4* f = d4fieldByNumber(table, n);
  int row;
  switch (f->type) {
    case 'C': row = rowFieldPtr; break;
    case 'D': row = rowFieldDate; break;
    case 'N':
    case 'F': row = rowFieldNum; break;
    case 'L': row = 2; break;
    case 'M': row = rowMemo; break;
    default: return fail(err4typeSub, "Unknown field type", name);
  }
  emit(row, 0);
  EXPR4TOKEN& t = tokens_.back();
  t.field = f;
  t.extra = &table->record;
  t.first = f->offset;
  t.len = row == rowMemo ? (cb_->exprMemoSize > 0 ? cb_->exprMemoSize : 0) : f->len;
  return 0;
}

int Parser::takeConstant(size_t tokenIndex, double* value) {
  const EXPR4TOKEN& t = tokens_[tokenIndex];
  if (t.row != rowNumConst || t.entries != 1) return fail(err4constantParms);
  std::memcpy(value, constants_ + t.first, sizeof(*value));
  if (!std::isfinite(*value) || std::fabs(*value) > 65535) return fail(err4unrecognizedValue, "Parameter out of range");
  return 0;
}

int Parser::parseFunction(const char* name, size_t len) {
  char upper[32];
  size_t n = len < sizeof(upper) - 1 ? len : sizeof(upper) - 1;
  std::memcpy(upper, name, n);
  upper[n] = 0;
  u4upper(upper);
  int row = expr4lookup(name, static_cast<int>(len), rowFirstFunction, kRowCount - 1);
  CALC4* calc = nullptr;
  if (row < 0) {
    calc = calc4lookup(cb_, upper, static_cast<int>(len));
    if (calc == nullptr) return fail(err4unrecognizedFunction, upper);
    row = calc->total != nullptr ? rowTotal : rowCalc;
  }
  if (pushOp(-1) != 0) return -1;
  std::vector<size_t> starts;
  skipControls();
  if (cur() == ')') {
    ++pos_;
  } else {
    for (;;) {
      starts.push_back(tokens_.size());
      if (parseExpr() != 0) return -1;
      skipControls();
      char c = cur();
      if (c == ',') {
        ++pos_;
        continue;
      }
      if (c == ')') {
        ++pos_;
        break;
      }
      if (c == 0) return fail(err4rightBracket);
      return fail(err4commaOrBracket);
    }
  }
  --nOps_;
  int parms = static_cast<int>(starts.size());
  int i1 = 0, tokLen = 0;
  auto dropFrom = [&](size_t param) {
    tokens_.resize(starts[param]);
    parms = static_cast<int>(param);
  };
  if (row == rowStr && parms >= 2) {
    double length = 10, decimals = 0;
    if (takeConstant(starts[1], &length) != 0) return -1;
    if (parms >= 3 && takeConstant(starts[2], &decimals) != 0) return -1;
    if (parms > 3) return fail(err4parmCount, "Function", upper);
    dropFrom(1);
    int l = static_cast<int>(length), d = static_cast<int>(decimals);
    if (l <= 0) l = 10;
    if (d + 1 >= l) d = l - 2;
    if (d < 0) d = 0;
    tokLen = l;
    i1 = d;
  } else if (row == rowStr) {
    tokLen = 10;
  } else if (row == rowSubstr && parms >= 2) {
    double start = 1, length = -1;
    if (takeConstant(starts[1], &start) != 0) return -1;
    if (parms >= 3 && takeConstant(starts[2], &length) != 0) return -1;
    if (parms > 3) return fail(err4parmCount, "Function", upper);
    dropFrom(1);
    i1 = static_cast<int>(start) - 1;
    tokLen = static_cast<int>(length); // negative: the rest of the text
  } else if (row == rowLeft && parms == 2) {
    double length = 0;
    if (takeConstant(starts[1], &length) != 0) return -1;
    dropFrom(1);
    i1 = 0;
    tokLen = static_cast<int>(length);
  } else if (row == rowDtoc && parms == 2) {
    dropFrom(1);
    row = rowDtos;
  }
  if (row == rowTrim || row == rowLtrim) hasTrim_ = true;
  int want = kRows[row].params;
  if (row != rowCalc && row != rowTotal && want != -1 && parms != want)
    return fail(err4parmCount, "Function", upper);
  emit(row, parms);
  EXPR4TOKEN& t = tokens_.back();
  t.first = i1;
  t.len = tokLen;
  if (row == rowDel || row == rowDeleted) t.extra = &data_->record;
  if (row == rowRecCount || row == rowRecNo) t.extra = data_;
  if (calc != nullptr) t.extra = calc;
  return 0;
}

constexpr int kMaxValueLen = 1 << 24;

int keyLenFor(char type, int len) {
  if (type == 'D' || type == 'd') return 8;
  if (type == 'N' || type == 'n') return 12;
  return len;
}

int Parser::resolve() {
  Value stack[20];
  int sp = 0;
  int nextFree = 0;
  int highest = 0;
  bool variable = false;
  for (size_t i = 0; i < tokens_.size(); ++i) {
    EXPR4TOKEN& t = tokens_[i];
    int row = t.row;
    const Row* r = &kRows[row];
    if (r->params >= 1 && t.parms != r->params) return fail(err4parmCount, "Function", r->name);
    int np = t.parms;
    if (np > sp) return fail(err4result);
    Value* parm = stack + sp - np;
    // Choose the overload whose parameter types fit, converting field
    // references to doubles where a number or day number is wanted.
    for (;;) {
      bool fits = true;
      for (int k = 0; k < np && fits; ++k) {
        char want = kRows[row].params == -1 ? kRows[row].types[0] : kRows[row].types[k];
        char have = parm[k].type;
        fits = have == want || (have == 'D' && want == 'd') || (have == 'N' && want == 'n');
      }
      if (fits) break;
      if (kRows[row + 1].code != r->code || row + 1 >= kRowCount) return fail(err4typeSub);
      ++row;
    }
    t.row = row;
    r = &kRows[row];
    for (int k = 0; k < np; ++k) {
      char want = r->params == -1 ? r->types[0] : r->types[k];
      EXPR4TOKEN& pt = tokens_[static_cast<size_t>(parm[k].token)];
      if (parm[k].type == 'D' && want == 'd') {
        pt.row = rowFieldDateD;
        pt.len = 8;
        parm[k].type = 'd';
        parm[k].len = 8;
      } else if (parm[k].type == 'N' && want == 'n') {
        pt.row = rowFieldNumD;
        pt.len = 8;
        parm[k].type = 'n';
        parm[k].len = 8;
      }
    }
    bool inPlace = row == rowConcat || row == rowMinus || row == rowSubstr || row == rowUpper ||
                   row == rowTrim || row == rowLtrim || row == rowLeft;
    if (inPlace)
      for (int k = 0; k < np; ++k)
        if (tokens_[static_cast<size_t>(parm[k].token)].row == rowFieldPtr)
          tokens_[static_cast<size_t>(parm[k].token)].row = rowFieldCopy;
    if (row == rowConcat && variable) {
      row = rowConcatTrim;
      t.row = row;
      r = &kRows[row];
    }
    if (row == rowTrim || row == rowLtrim || row == rowCalc || row == rowTotal || row == rowMemo) variable = true;

    int pos = np > 0 ? parm[0].pos : nextFree;
    char type = r->result;
    int len = 0;
    int reserve = 0;
    switch (row) {
      case 0: case 1: case 4: case 6: case rowMemo: len = t.len; break;
      case 2: case 10: case 11: case 12: case 13: len = 4; break;
      case 3: case 5: case 8: len = 8; break;
      case rowStrConst: len = t.len; break;
      case 17: case 18: case 22:
        len = parm[0].len + parm[1].len;
        t.first = parm[0].len;
        break;
      case rowStr: len = t.len; break;
      case rowSubstr: case rowLeft: {
        int textLen = parm[0].len;
        int start = t.first < 0 ? 0 : (t.first > textLen ? textLen : t.first);
        int rest = textLen - start;
        int n = t.len < 0 ? rest : (t.len > rest ? rest : t.len);
        t.first = start;
        len = n;
        break;
      }
      case 52: case rowDel: len = 1; break;
      case 56: case 58: case 59: len = 8; break;
      case rowDtoc: case rowDtocd: case rowCtod: {
        int at = addConstant(cb_->dateFormat, std::strlen(cb_->dateFormat) + 1);
        if (at < 0) return -1;
        t.tie = parm[0].len;
        t.first = at;
        len = row == rowCtod ? 8 : static_cast<int>(std::strlen(cb_->dateFormat));
        break;
      }
      case rowUpper: case rowTrim: case rowLtrim: len = parm[0].len; break;
      case 65: case 66: case 67: case 68:
        if (parm[1].len != parm[2].len) return fail(err4iifLength);
        len = parm[1].len;
        break;
      case rowCalc: case rowTotal: {
        auto* calc = static_cast<CALC4*>(t.extra);
        if (row == rowCalc) {
          type = static_cast<char>(calc->expr->type);
          len = calc->expr->len;
          // The nested program lays its work out from this position.
          reserve = calc->expr->workLen;
        } else {
          len = 8;
        }
        break;
      }
      default:
        len = type == 'L' ? 4 : 8;
        break;
    }
    if (row >= 26 && row <= 46 && r->types[0] == 'C') {
      int a = parm[0].len, b = parm[1].len;
      t.first = a < b ? a : b;
      t.tie = row == rowGtC ? a > b : (row == rowLtC ? a < b : 0);
    }
    if (row == rowContains) {
      t.first = parm[0].len;
      t.tie = parm[1].len;
    }
    if (row == rowDtos || row == rowDayD || row == 74 || row == 76 || row == rowStod || row == rowVal)
      t.first = parm[0].len;
    // Lengths add up along concatenations; keep the layout well inside int.
    if (len < 0 || len > kMaxValueLen || pos > kMaxValueLen) return fail(err4overflow);
    t.len = len;
    t.pos = pos;
    sp -= np;
    if (sp >= 20) return fail(err4overflow);
    stack[sp++] = {type, len, pos, static_cast<int>(i)};
    int span = (type == 'N' || type == 'D') && len < 8 ? 8 : len;
    if (reserve > span) span = reserve;
    nextFree = pos + span;
    if (nextFree > highest) highest = nextFree;
    int key = keyLenFor(type, len);
    if (key > keyMax_) keyMax_ = key;
  }
  if (sp != 1) return fail(err4result);
  for (EXPR4TOKEN& t : tokens_) t.routine = kRows[t.row].fn;
  lenEval_ = highest + 1;
  type_ = stack[0].type;
  len_ = stack[0].len;
  return 0;
}

EXPR4* Parser::run() {
  srcLen_ = std::strlen(src_);
  if (parseExpr() != 0) return nullptr;
  if (nOps_ != 0) {
    fail(err4incomplete);
    return nullptr;
  }
  if (tokens_.empty()) {
    fail(err4incomplete);
    return nullptr;
  }
  if (resolve() != 0) return nullptr;
  size_t keyNeed = static_cast<size_t>(keyMax_ > 12 ? keyMax_ : 12) + 1;
  if (u4allocAgain(cb_, &cb_->workBuf, &cb_->workBufLen, static_cast<size_t>(lenEval_)) != 0 ||
      u4allocAgain(cb_, &cb_->keyBuf, &cb_->keyBufLen, keyNeed) != 0)
    return nullptr;

  size_t head = (sizeof(EXPR4) + alignof(EXPR4TOKEN) - 1) / alignof(EXPR4TOKEN) * alignof(EXPR4TOKEN);
  size_t tokenBytes = sizeof(EXPR4TOKEN) * tokens_.size();
  size_t total = head + tokenBytes + constLen_ + srcLen_ + 1;
  auto* mem = static_cast<char*>(u4allocRetry(cb_, total));
  if (mem == nullptr) return nullptr;
  auto* e = new (mem) EXPR4{};
  e->tokens = reinterpret_cast<EXPR4TOKEN*>(mem + head);
  std::memcpy(static_cast<void*>(e->tokens), tokens_.data(), tokenBytes);
  e->tokenCount = static_cast<int>(tokens_.size());
  e->constants = mem + head + tokenBytes;
  if (constLen_ > 0) std::memcpy(e->constants, constants_, constLen_);
  e->source = e->constants + constLen_;
  std::memcpy(e->source, src_, srcLen_ + 1);
  e->len = len_;
  e->type = type_;
  e->data = data_;
  e->cb = cb_;
  e->workLen = lenEval_;
  e->trims = hasTrim_ ? 1 : 0;
  for (int i = 0; i < e->tokenCount; ++i)
    if (e->tokens[i].row == rowCalc || e->tokens[i].row == rowTotal) ++static_cast<CALC4*>(e->tokens[i].extra)->refs;
  return e;
}

void freeCalc(CALC4* calc) {
  CODE4* cb = calc->expr->cb;
  expr4free(calc->expr);
  mem4give(cb->calcPool, calc);
}

} // namespace

int expr4lookup(const char* text, int len, int firstRow, int lastRow) {
  char name[9];
  size_t n = 0;
  while (n < 8 && text[n] != 0) {
    name[n] = text[n];
    ++n;
  }
  name[n] = 0;
  u4upper(name);
  for (int row = firstRow; row <= lastRow && row < kRowCount; ++row) {
    const char* rn = kRows[row].name;
    if (rn == nullptr || rn[0] != name[0]) continue;
    size_t rl = std::strlen(rn);
    if (len >= 0 && rl != static_cast<size_t>(len)) continue;
    if (rl <= n && std::strncmp(rn, name, rl) == 0) return row;
  }
  return -1;
}

EXPR4* expr4parse(DATA4* data, const char* text) {
  if (data == nullptr || text == nullptr || data->cb->errorCode < 0) return nullptr;
  Parser parser(data, text);
  return parser.run();
}

int expr4evalPart(EXPR4* e, int tokenIndex, char** result) {
  CODE4* cb = e->cb;
  if (cb->errorCode < 0) return cb->errorCode;
  if (tokenIndex < 0 || tokenIndex >= e->tokenCount) return err4parm;
  g.expr = e;
  g.buf = cb->workBuf;
  g.constants = e->constants;
  g.top = 0;
  runTokens(tokenIndex - e->tokens[tokenIndex].entries + 1, tokenIndex);
  *result = g.stack[0];
  return cb->errorCode < 0 ? cb->errorCode : 0;
}

int expr4eval(EXPR4* e, char** result) {
  if (e == nullptr || e->cb->errorCode < 0) return -1;
  if (expr4evalPart(e, e->tokenCount - 1, result) != 0) return -1;
  return e->len;
}

int expr4keyLen(EXPR4* e) { return keyLenFor(static_cast<char>(e->type), e->len); }

int expr4keyConvert(EXPR4* e, char** value, int len, int type) {
  CODE4* cb = e->cb;
  char* key = cb->keyBuf;
  const char* v = *value;
  int keyLen = len;
  switch (type) {
    case 'C':
      std::memcpy(key, v, static_cast<size_t>(len));
      if (e->trims)
        for (int i = len; i > 0 && key[i - 1] == 0; --i) key[i - 1] = ' ';
      break;
    case 'D': {
      char d[8];
      dateText(d, v, len);
      int32_t j = date4toJulian(d);
      double k = j == 0 ? 1e100 : j;
      std::memcpy(key, &k, 8);
      keyLen = 8;
      break;
    }
    case 'd': {
      double k = getD(v);
      if (k == 0) k = 1e300;
      std::memcpy(key, &k, 8);
      keyLen = 8;
      break;
    }
    case 'N':
      c4bcdFromText(key, v, len);
      keyLen = 12;
      break;
    case 'n':
      c4bcdFromDouble(key, getD(v));
      keyLen = 12;
      break;
    default: std::memcpy(key, v, static_cast<size_t>(len)); break;
  }
  key[keyLen] = 0;
  *value = key;
  return keyLen;
}

int expr4key(EXPR4* e, char** key) {
  int len = expr4eval(e, key);
  if (len < 0) return -1;
  return expr4keyConvert(e, key, len, e->type);
}

int expr4true(EXPR4* e) {
  char* result;
  if (expr4eval(e, &result) < 0) return -1;
  if (e->type != 'L') {
    error4reportEx(e->cb, err4result, "expr4true()", "Expecting logical result.", nullptr);
    return -1;
  }
  return getL(result) != 0 ? 1 : 0;
}

double expr4double(EXPR4* e) {
  char* result;
  int len = expr4eval(e, &result);
  if (len < 0) return 0.0;
  switch (e->type) {
    case 'C':
    case 'N': return c4textToDouble(result, len);
    case 'D': {
      char d[8];
      dateText(d, result, len);
      return date4toJulian(d);
    }
    case 'n':
    case 'd': return getD(result);
    default: return 0.0;
  }
}

int expr4doubleOut(EXPR4* e, double* out) {
  if (e == nullptr || e->cb->errorCode < 0) return -1;
  *out = expr4double(e);
  return e->cb->errorCode < 0 ? -1 : 0;
}

int expr4len(EXPR4* e) { return e->len; }
int expr4type(EXPR4* e) { return e->type; }
const char* expr4source(EXPR4* e) { return e == nullptr ? "" : e->source; }

void expr4free(EXPR4* e) {
  if (e == nullptr) return;
  for (int i = 0; i < e->tokenCount; ++i) {
    if (e->tokens[i].row != rowCalc && e->tokens[i].row != rowTotal) continue;
    auto* calc = static_cast<CALC4*>(e->tokens[i].extra);
    if (--calc->refs == 0 && calc->deleted) freeCalc(calc);
  }
  u4globalFree(e);
}

int expr4replaceName(EXPR4** e, const char* name, const char* replacement) {
  const char* src = (*e)->source;
  size_t nameLen = std::strlen(name);
  std::string text;
  bool found = false;
  for (size_t i = 0; src[i] != 0;) {
    bool boundaryBefore = i == 0 || !isNameChar(src[i - 1]);
    if (boundaryBefore && nameLen > 0 && sameNoCase(src + i, name, nameLen) &&
        !isNameChar(src[i + nameLen])) {
      text += replacement;
      i += nameLen;
      found = true;
    } else {
      text += src[i++];
    }
  }
  if (!found) return 1;
  EXPR4* fresh = expr4parse((*e)->data, text.c_str());
  if (fresh == nullptr) return -1;
  expr4free(*e);
  *e = fresh;
  return 0;
}

CALC4* calc4create(CODE4* cb, EXPR4* e, const char* name) {
  if (cb == nullptr || e == nullptr || name == nullptr || cb->errorCode < 0) return nullptr;
  auto* calc = static_cast<CALC4*>(mem4poolTake(cb, &cb->calcPool, 5, static_cast<int>(sizeof(CALC4)), 5, 0));
  if (calc == nullptr) {
    error4report(cb, err4memory, "calc4create");
    return nullptr;
  }
  calc->expr = e;
  u4copyBounded(calc->name, name, sizeof(calc->name));
  u4upper(calc->name);
  if (e->type == 'N') {
    EXPR4TOKEN& last = e->tokens[e->tokenCount - 1];
    last.row = rowFieldNumD;
    last.routine = kRows[rowFieldNumD].fn;
    last.len = 8;
    e->type = 'n';
    e->len = 8;
    if (e->workLen < last.pos + 9) e->workLen = last.pos + 9;
    u4allocAgain(cb, &cb->workBuf, &cb->workBufLen, static_cast<size_t>(e->workLen));
  }
  l4append(&cb->calcList, &calc->link);
  return calc;
}

CALC4* calc4lookup(CODE4* cb, const char* name, int len) {
  if (cb == nullptr || name == nullptr) return nullptr;
  char want[20];
  size_t n = std::strlen(name);
  if (len >= 0 && static_cast<size_t>(len) < n) n = static_cast<size_t>(len);
  if (n > 19) n = 19;
  std::memcpy(want, name, n);
  want[n] = 0;
  u4upper(want);
  for (LINK4* l = l4first(&cb->calcList); l != nullptr; l = l4next(&cb->calcList, l)) {
    auto* c = reinterpret_cast<CALC4*>(l);
    if (std::strcmp(c->name, want) == 0) return c;
  }
  return nullptr;
}

void calc4delete(CALC4* calc) {
  if (calc == nullptr) return;
  CODE4* cb = calc->expr->cb;
  l4remove(&cb->calcList, &calc->link);
  calc->deleted = 1;
  // Compiled expressions that still call it keep it alive.
  if (calc->refs == 0) freeCalc(calc);
}

void calc4deleteAll(CODE4* cb) {
  while (LINK4* l = l4first(&cb->calcList)) calc4delete(reinterpret_cast<CALC4*>(l));
}

namespace {

constexpr int kKeyDigits = 20;

// Packs digits (first one non-zero) with the count of digits before the
// decimal point into the 12-byte key; rounds to 20 digits and clamps the
// exponent into its byte.
void packDigits(char* key, bool negative, std::string digits, int pointPos) {
  std::memset(key, 0, 12);
  if (digits.size() > kKeyDigits) {
    bool up = digits[kKeyDigits] >= '5';
    digits.resize(kKeyDigits);
    for (int i = kKeyDigits - 1; up && i >= 0; --i) {
      if (digits[static_cast<size_t>(i)] == '9') {
        digits[static_cast<size_t>(i)] = '0';
      } else {
        ++digits[static_cast<size_t>(i)];
        up = false;
      }
    }
    if (up) {
      digits.insert(digits.begin(), '1');
      digits.resize(kKeyDigits);
      ++pointPos;
    }
  }
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  int exponent = 52 + pointPos;
  if (digits.empty() || exponent < 1) {
    key[0] = 52;
    key[1] = 1;
    return;
  }
  if (exponent > 255) {
    exponent = 255;
    digits.assign(kKeyDigits, '9');
  }
  key[0] = static_cast<char>(exponent);
  key[1] = static_cast<char>((negative ? 0x80 : 0) | (static_cast<int>(digits.size()) << 2) | 1);
  for (size_t i = 0; i < digits.size(); ++i) {
    int d = digits[i] - '0';
    key[2 + i / 2] = static_cast<char>(key[2 + i / 2] | (i % 2 == 0 ? d << 4 : d));
  }
}

} // namespace

void c4bcdFromText(char* key, const char* text, int len) {
  int i = 0;
  while (i < len && text[i] == ' ') ++i;
  bool negative = false;
  if (i < len && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::string digits;
  int pointPos = 0;
  bool point = false, leading = true;
  for (; i < len; ++i) {
    char c = text[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') break;
    if (leading && c == '0') {
      if (point) --pointPos;
      continue;
    }
    leading = false;
    if (digits.size() < 64) digits.push_back(c);
    if (!point) ++pointPos;
  }
  packDigits(key, negative, digits, pointPos);
}

void c4bcdFromDouble(char* key, double value) {
  if (!std::isfinite(value)) {
    if (std::isnan(value)) value = 0;
    else value = value > 0 ? 1e308 * 10 : -1e308 * 10;
  }
  if (value == 0 || !std::isfinite(value)) {
    if (value == 0) {
      packDigits(key, false, std::string(), 0);
    } else {
      packDigits(key, value < 0, std::string(1, '1'), 300);
    }
    return;
  }
  // 15 significant digits, so sums such as 0.1 + 0.2 key as 0.3.
  char text[64];
  auto res = std::to_chars(text, text + sizeof(text), std::fabs(value), std::chars_format::scientific, 14);
  *res.ptr = 0;
  std::string digits;
  const char* p = text;
  for (; *p != 0 && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits.push_back(*p);
  int e10 = *p == 'e' ? static_cast<int>(std::strtol(p + 1, nullptr, 10)) : 0;
  packDigits(key, value < 0, digits, e10 + 1);
}
