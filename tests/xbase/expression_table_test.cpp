#include "test_util.h"
#include "xbase/dates.h"
#include "xbase/decimal_keys.h"
#include "xbase/expression.h"
#include "xbase/expression_tables.h"
#include "xbase/memo.h"

#include <cmath>
#include <cstring>
#include <random>

using xbtest::EngineTest;
using xbtest::reports;

namespace {

class ExprTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"PHONE", 'C', 25, 0}, {"QTY", 'N', 8, 2},
                                 {"BORN", 'D', 8, 0},  {"OK", 'L', 1, 0},     {"EMPTY", 'D', 8, 0},
                                 {"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
    d = d4create(&cb, dir.file("x").c_str(), fields, nullptr);
    ASSERT_NE(d, nullptr);
    const char* names[] = {"Alice", "Bob", "Carol"};
    for (int i = 0; i < 3; ++i) {
      d4blank(d);
      f4assign(d4fieldByName(d, "NAME"), names[i]);
      f4assign(d4fieldByName(d, "PHONE"), i == 0 ? "0301" : "03012");
      f4assignDouble(d4fieldByName(d, "QTY"), 12.5 * (i + 1));
      f4assign(d4fieldByName(d, "BORN"), "19981225");
      f4assign(d4fieldByName(d, "OK"), i == 1 ? "F" : "T");
      if (i == 2) d4delete(d);
      ASSERT_EQ(d4append(d), 0);
    }
    ASSERT_EQ(d4go(d, 1), 0);
  }

  struct Result {
    int type = 0;
    std::string bytes;
    double number() const {
      double v = 0;
      if (bytes.size() == 8) std::memcpy(&v, bytes.data(), 8);
      return v;
    }
    int logical() const {
      int v = -1;
      if (bytes.size() == 4) std::memcpy(&v, bytes.data(), 4);
      return v;
    }
  };

  Result run(const char* text) {
    Result r;
    EXPR4* e = expr4parse(d, text);
    EXPECT_NE(e, nullptr) << text << " error " << cb.errorCode;
    if (e == nullptr) return r;
    char* out = nullptr;
    int len = expr4eval(e, &out);
    EXPECT_GE(len, 0) << text;
    r.type = expr4type(e);
    if (len > 0) r.bytes.assign(out, static_cast<size_t>(len));
    expr4free(e);
    return r;
  }

  int failure(const char* text) {
    error4set(&cb, 0);
    EXPR4* e = expr4parse(d, text);
    EXPECT_EQ(e, nullptr) << text;
    expr4free(e);
    int code = error4set(&cb, 0);
    return code;
  }

  DATA4* d = nullptr;
};

int32_t julian(const char* date) { return date4toJulian(date); }

TEST_F(ExprTest, FieldsAndConstants) {
  Result r = run("NAME");
  EXPECT_EQ(r.type, 'C');
  EXPECT_EQ(r.bytes, "Alice     ");
  EXPECT_EQ(run("OK").logical(), 1);
  EXPECT_EQ(run("BORN").bytes, "19981225");
  EXPECT_EQ(run("BORN").type, 'D');
  EXPECT_EQ(run("QTY").bytes, "   12.50");
  EXPECT_EQ(run("QTY").type, 'N');
  EXPECT_EQ(run("1.5").number(), 1.5);
  EXPECT_EQ(run("'abc'").bytes, "abc");
  EXPECT_EQ(run("[a'b]").bytes, "a'b");
  EXPECT_EQ(run("\"q\"").bytes, "q");
  EXPECT_EQ(run(".TRUE.").logical(), 1);
  EXPECT_EQ(run(".t.").logical(), 1);
  EXPECT_EQ(run(".FALSE.").logical(), 0);
  EXPECT_EQ(run(".F.").logical(), 0);
  EXPECT_EQ(run("x->name").bytes, "Alice     ") << "alias of the table itself";
  cb.exprMemoSize = 6;
  EXPECT_EQ(run("NOTE").bytes, std::string(6, '\0')) << "an empty memo";
  ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTE"), "memo text"), 0);
  ASSERT_EQ(d4go(d, 2), 0);
  ASSERT_EQ(d4go(d, 1), 0);
  EXPECT_EQ(run("NOTE").bytes, "memo t") << "cut to the memo length setting";
  EXPECT_EQ(run("NOTE+'!'").bytes, std::string("memo t!", 7));
  ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTE"), "ab"), 0);
  EXPECT_EQ(run("NOTE+'!'").bytes, std::string("ab!\0\0\0\0", 7)) << "fill moves to the end";
}

TEST_F(ExprTest, LogicalOperators) {
  EXPECT_EQ(run(".NOT. OK").logical(), 0);
  EXPECT_EQ(run(".NOT. NAME = 'Bob'").logical(), 1) << ".NOT. covers the comparison";
  EXPECT_EQ(run(".T. .OR. .F.").logical(), 1);
  EXPECT_EQ(run(".F. .or. .F.").logical(), 0);
  EXPECT_EQ(run(".T. .AND. .F.").logical(), 0);
  EXPECT_EQ(run("OK .AND. .T. .AND. QTY > 1").logical(), 1);
  EXPR4* e = expr4parse(d, "OK .AND. .T. .AND. QTY > 1");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->tokens.back().row, 16);
  EXPECT_EQ(e->tokens.back().paramCount, 3) << "one .AND. with three parameters";
  expr4free(e);
  EXPECT_EQ(run(".T. .OR. .F. .AND. .F.").logical(), 1) << ".AND. binds tighter";
}

TEST_F(ExprTest, ArithmeticAndConcatenation) {
  EXPECT_EQ(run("NAME+PHONE").bytes, "Alice     0301" + std::string(21, ' '));
  EXPECT_EQ(run("TRIM(NAME)+'x'").bytes, std::string("Alicex\0\0\0\0\0", 11));
  EXPECT_EQ(run("NAME-'x'").bytes, "Alicex     ");
  EXPECT_EQ(run("QTY+1").number(), 13.5);
  EXPECT_EQ(run("BORN+1").number(), julian("19981226"));
  EXPECT_EQ(run("BORN+1").type, 'd');
  EXPECT_EQ(run("1+BORN").number(), julian("19981226"));
  EXPECT_EQ(run("EMPTY+1").number(), 0) << "a blank date stays blank";
  EXPECT_EQ(run("1+EMPTY").number(), 0);
  EXPECT_EQ(run("QTY-2").number(), 10.5);
  EXPECT_EQ(run("BORN-STOD('19981220')").number(), 5);
  EXPECT_EQ(run("BORN-STOD('19981220')").type, 'n');
  EXPECT_EQ(run("BORN-5").number(), julian("19981220"));
  EXPECT_EQ(run("2^10").number(), 1024);
  EXPECT_EQ(run("2**3").number(), 8);
  EXPECT_EQ(run("QTY*2").number(), 25);
  EXPECT_EQ(run("QTY/4").number(), 3.125);
  EXPECT_EQ(run("1/0").number(), 0) << "division by zero gives 0";
  EXPECT_EQ(run("2+3*4").number(), 14);
  EXPECT_EQ(run("(2+3)*4").number(), 20);
  EXPECT_EQ(run("2*3^2").number(), 18);
}

TEST_F(ExprTest, Comparisons) {
  EXPECT_EQ(run("NAME='Alice'").logical(), 1);
  EXPECT_EQ(run("OK=.T.").logical(), 1);
  EXPECT_EQ(run("QTY=12.5").logical(), 1);
  EXPECT_EQ(run("BORN=STOD('19981225')").logical(), 1);
  EXPECT_EQ(run("NAME#'Bob'").logical(), 1);
  EXPECT_EQ(run("NAME<>'Alice'").logical(), 0);
  EXPECT_EQ(run("QTY#12.5").logical(), 0);
  EXPECT_EQ(run("BORN<>BORN").logical(), 0);
  EXPECT_EQ(run("OK#.F.").logical(), 1);
  EXPECT_EQ(run("NAME>='Alice'").logical(), 1);
  EXPECT_EQ(run("QTY>=12.5").logical(), 1);
  EXPECT_EQ(run("BORN>=BORN+1").logical(), 0);
  EXPECT_EQ(run("NAME<='B'").logical(), 1);
  EXPECT_EQ(run("QTY<=1").logical(), 0);
  EXPECT_EQ(run("BORN<=BORN").logical(), 1);
  EXPECT_EQ(run("'ABC'>'AB'").logical(), 1);
  EXPECT_EQ(run("'AB'>'AB'").logical(), 0);
  EXPECT_EQ(run("QTY>12").logical(), 1);
  EXPECT_EQ(run("BORN+1>BORN").logical(), 1);
  EXPECT_EQ(run("QTY<12").logical(), 0);
  EXPECT_EQ(run("BORN<BORN+1").logical(), 1);
  // Equal prefixes: only the strict comparisons look at the lengths.
  EXPECT_EQ(run("'AB'<'ABC'").logical(), 1);
  EXPECT_EQ(run("'AB'>='ABC'").logical(), 1);
  EXPECT_EQ(run("'AB'='ABC'").logical(), 1);
  EXPECT_EQ(run("'li'$NAME").logical(), 1);
  EXPECT_EQ(run("'Alice     x'$NAME").logical(), 0);
}

TEST_F(ExprTest, Functions) {
  EXPECT_EQ(run("CHR(65)").bytes, "A");
  EXPECT_EQ(run("CHR(321)").bytes, "A") << "low 8 bits";
  EXPECT_EQ(run("CHR(0^-1)").bytes, std::string(1, '\0')) << "infinity is no code";
  EXPECT_EQ(run("DEL()").bytes, " ");
  EXPECT_EQ(run("STR(QTY,8,1)").bytes, "    12.5");
  EXPECT_EQ(run("STR(QTY)").bytes, "        12") << "a binary tie rounds to even";
  EXPECT_EQ(run("STR(1.5,5,9)").bytes, "1.500");
  EXPECT_EQ(run("STR(QTY,5,9)").bytes, "*****") << "12.500 does not fit 5 characters";
  EXPR4* e = expr4parse(d, "STR(QTY,5,9)");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->tokens.back().first, 3);
  expr4free(e);
  EXPECT_EQ(run("STR(10^300*10^300,6)").bytes, "******");
  EXPECT_EQ(run("STR(10^300,12)").bytes, "************");
  EXPECT_EQ(run("SUBSTR(NAME,2,3)").bytes, "lic");
  EXPECT_EQ(run("SUBSTR(NAME,2)").bytes, "lice     ") << "two parameters: the rest";
  EXPECT_EQ(run("SUBSTR(NAME,40,3)").bytes, "");
  Result t = run("TIME()");
  ASSERT_EQ(t.bytes.size(), 8u);
  EXPECT_EQ(t.bytes[2], ':');
  EXPECT_EQ(t.bytes[5], ':');
  EXPECT_EQ(run("UPPER(NAME)").bytes, "ALICE     ");
  EXPECT_EQ(run("DTOS(BORN)").bytes, "19981225");
  EXPECT_EQ(run("DTOS(BORN+1)").bytes, "19981226");
  EXPECT_EQ(run("DTOC(BORN)").bytes, "12/25/98");
  EXPECT_EQ(run("DTOC(BORN+7)").bytes, "01/01/99");
  e = expr4parse(d, "DTOC(BORN,1)");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->tokens.back().row, 58) << "DTOC with two parameters is DTOS";
  expr4free(e);
  EXPECT_EQ(run("TRIM(NAME)").bytes, std::string("Alice\0\0\0\0\0", 10));
  EXPECT_EQ(run("LTRIM('  ab')").bytes, std::string("ab\0\0", 4));
  EXPECT_EQ(run("LEFT(NAME,3)").bytes, "Ali");
  EXPECT_EQ(run("IIF(OK,'a','b')").bytes, "a");
  EXPECT_EQ(run("IIF(.F.,1,2)").number(), 2);
  EXPECT_EQ(run("IIF(OK,BORN+1,BORN)").number(), julian("19981226"));
  EXPECT_EQ(run("IIF(OK,.F.,.T.)").logical(), 0);
  EXPECT_EQ(run("STOD('20000101')").number(), 2451545);
  EXPECT_EQ(run("CTOD('12/25/98')").number(), julian("19981225"));
  char today[9] = {0};
  date4today(today);
  EXPECT_EQ(run("DATE()").number(), julian(today));
  EXPECT_EQ(run("DAY(BORN)").number(), 25);
  EXPECT_EQ(run("DAY(BORN+7)").number(), 1);
  EXPECT_EQ(run("MONTH(BORN)").number(), 12);
  EXPECT_EQ(run("MONTH(BORN+7)").number(), 1);
  EXPECT_EQ(run("YEAR(BORN)").number(), 1998);
  EXPECT_EQ(run("YEAR(BORN+7)").number(), 1999);
  EXPECT_EQ(run("DELETED()").logical(), 0);
  EXPECT_EQ(run("RECCOUNT()").number(), 3);
  EXPECT_EQ(run("RECNO()").number(), 1);
  EXPECT_EQ(run("VAL('12.5')").number(), 12.5);
  EXPECT_EQ(run("VAL('1e999')").number(), HUGE_VAL);
  EXPECT_EQ(run("PAGENO()").number(), 0);
  EXPECT_EQ(run("upper(name)").bytes, "ALICE     ") << "names in any case";
}

TEST_F(ExprTest, NamedCalculations) {
  EXPR4* twice = expr4parse(d, "QTY*2");
  ASSERT_NE(twice, nullptr);
  CALC4* calc = calc4create(&cb, twice, "twice");
  ASSERT_NE(calc, nullptr);
  EXPECT_EQ(calc4lookup(&cb, "TWICE", -1), calc);
  EXPECT_EQ(run("TWICE()+1").number(), 26);
  EXPR4* qty = expr4parse(d, "QTY");
  CALC4* asNumber = calc4create(&cb, qty, "Q");
  ASSERT_NE(asNumber, nullptr);
  EXPECT_EQ(qty->type, 'n') << "a numeric field text becomes a number";
  EXPECT_EQ(run("Q()*TWICE()").number(), 12.5 * 25);

  EXPR4* user = expr4parse(d, "TWICE()");
  ASSERT_NE(user, nullptr);
  calc4delete(calc);
  EXPECT_EQ(calc4lookup(&cb, "TWICE", -1), nullptr);
  char* out;
  ASSERT_EQ(expr4eval(user, &out), 8) << "a deleted calculation lives while it is used";
  double v;
  std::memcpy(&v, out, 8);
  EXPECT_EQ(v, 25);
  expr4free(user);
  EXPECT_EQ(failure("TWICE()"), err4unrecognizedFunction);
  calc4deleteAll(&cb);
}

TEST_F(ExprTest, KeysAndFilters) {
  EXPR4* e = expr4parse(d, "PHONE");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->tokens.size(), 1u);
  EXPECT_EQ(e->tokens[0].row, 0);
  char* key;
  ASSERT_EQ(expr4key(e, &key), 25);
  EXPECT_EQ(std::string(key, 25), "0301" + std::string(21, ' '));
  EXPECT_EQ(expr4keyLen(e), 25);
  expr4free(e);

  e = expr4parse(d, ".NOT.DELETED()");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(e->tokens.size(), 2u);
  EXPECT_EQ(e->tokens[0].row, 78);
  EXPECT_EQ(e->tokens[1].row, 14);
  EXPECT_EQ(expr4true(e), 1);
  ASSERT_EQ(d4go(d, 3), 0);
  EXPECT_EQ(expr4true(e), 0) << "a deleted record fails the filter";
  expr4free(e);

  e = expr4parse(d, "EMPTY");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(expr4key(e, &key), 8);
  EXPECT_EQ(std::string(key, 8), "\x7D\xC3\x94\x25\xAD\x49\xB2\x54");
  expr4free(e);
  e = expr4parse(d, "STOD('        ')");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(expr4key(e, &key), 8);
  EXPECT_EQ(std::string(key, 8), std::string("\x9C\x75\x00\x88\x3C\xE4\x37\x7E", 8));
  expr4free(e);
  e = expr4parse(d, "TRIM(NAME)");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(expr4key(e, &key), 10);
  EXPECT_EQ(std::string(key, 10), "Carol     ") << "trimmed keys are blank-padded again";
  expr4free(e);

  e = expr4parse(d, "QTY");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(expr4keyLen(e), 12);
  ASSERT_EQ(expr4key(e, &key), 12);
  // 37.5: two digits before the point, three digits 3 7 5.
  EXPECT_EQ(std::string(key, 12), std::string("\x36\x0D\x37\x50\0\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(expr4double(e), 37.5);
  double v = 0;
  EXPECT_EQ(expr4doubleOut(e, &v), 0);
  expr4free(e);
  e = expr4parse(d, "0-QTY");
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(expr4key(e, &key), 12);
  EXPECT_EQ(static_cast<unsigned char>(key[1]), 0x8Du) << "sign bit set";
  EXPECT_EQ(expr4doubleOut(e, &v), 0) << "a negative value is no failure";
  EXPECT_EQ(v, -37.5);
  expr4free(e);

  e = expr4parse(d, "NAME");
  EXPECT_EQ(expr4true(e), -1);
  EXPECT_EQ(cb.errorCode, err4result);
  EXPECT_NE(reports().back().text.find("Expecting logical result."), std::string::npos);
  error4set(&cb, 0);
  expr4free(e);
}

TEST(NumericKey, DigitsExponentAndLimits) {
  char k[12];
  c4bcdFromText(k, "  0.001", 7);
  EXPECT_EQ(std::string(k, 3), "\x32\x05\x10") << "52 - 2 zeros, one digit";
  c4bcdFromText(k, "   0", 4);
  EXPECT_EQ(static_cast<unsigned char>(k[1]), 1u) << "zero has no digits";
  c4bcdFromText(k, "****", 4);
  EXPECT_EQ(static_cast<unsigned char>(k[1]), 1u) << "garbage keys as zero";
  char a[12], b[12];
  c4bcdFromDouble(a, 0.1 + 0.2);
  c4bcdFromText(b, "0.3", 3);
  EXPECT_EQ(std::string(a, 12), std::string(b, 12));
  c4bcdFromDouble(a, 1e-60);
  EXPECT_EQ(static_cast<unsigned char>(a[1]), 1u) << "tiny values key as zero";
  c4bcdFromDouble(a, std::nan(""));
  EXPECT_EQ(static_cast<unsigned char>(a[1]), 1u);
  c4bcdFromDouble(a, -0.0);
  EXPECT_EQ(static_cast<unsigned char>(a[1]), 1u);
  c4bcdFromDouble(a, 1e300);
  EXPECT_EQ(static_cast<unsigned char>(a[0]), 255u) << "clamped to the largest key";
  c4bcdFromText(a, "99999999999999999999999", 23);
  EXPECT_EQ(static_cast<unsigned char>(a[0]), 52u + 24) << "rounding carries into a new digit";
  EXPECT_EQ(static_cast<unsigned char>(a[1]), (1u << 2) | 1u);
}

TEST_F(ExprTest, CompileErrors) {
  EXPECT_EQ(failure("'abc"), err4unterminated);
  EXPECT_EQ(failure("-NAME"), err4unrecognizedValue);
  EXPECT_EQ(failure("NAMEISTOOLONG"), err4unrecognizedValue);
  EXPECT_EQ(failure("NOSUCH"), err4fieldName);
  EXPECT_EQ(failure("NAME ! 'x'"), err4unrecognizedOperator);
  EXPECT_EQ(failure("UPPER(NAME"), err4rightBracket);
  EXPECT_EQ(failure("(NAME"), err4rightBracket);
  EXPECT_EQ(failure("NOPE(1)"), err4unrecognizedFunction);
  EXPECT_EQ(failure("UPPER(NAME,NAME)"), err4parmCount);
  EXPECT_EQ(failure("STR(QTY,NAME)"), err4constantParms);
  EXPECT_EQ(failure("IIF(OK,'a','bb')"), err4iifLength);
  EXPECT_EQ(failure("NAME+1"), err4typeSub);
  EXPECT_EQ(failure("Y->NAME"), err4dataName);
  EXPECT_EQ(failure(""), err4incomplete) << "a value missing at the end";
  EXPECT_EQ(failure("1e300"), err4fieldName) << "no exponents: read as a name";
  std::string deep = ".T.";
  for (int i = 0; i < 20; ++i) deep += " .AND. .T.";
  EXPECT_EQ(failure(deep.c_str()), err4overflow) << "21 values";
  std::string nots;
  for (int i = 0; i < 100000; ++i) nots += ".NOT.";
  EXPECT_EQ(failure((nots + "OK").c_str()), err4memory) << "bounded, not a deep recursion";
  std::string longSum = "NAME";
  for (int i = 0; i < 2000; ++i) longSum += "+UPPER(NAME+NAME+NAME+NAME+NAME+NAME)";
  EXPR4* wide = expr4parse(d, longSum.c_str());
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(expr4len(wide), 10 + 2000 * 60);
  expr4free(wide);
  std::string big = "'" + std::string(600, 'x') + "'";
  EXPECT_EQ(failure(big.c_str()), err4memory);
  size_t boxes = reports().size();
  cb.exprError = 0;
  EXPECT_EQ(failure("'abc"), err4memory - err4memory) << "no error raised when switched off";
  EXPECT_EQ(reports().size(), boxes);
  cb.exprError = 1;
  error4set(&cb, err4read);
  EXPECT_EQ(expr4parse(d, "NAME"), nullptr);
  error4set(&cb, 0);
}

TEST_F(ExprTest, ReplaceNameRecompiles) {
  EXPR4* e = expr4parse(d, "NAME+NAMES+NAME");
  EXPECT_EQ(e, nullptr);
  error4set(&cb, 0);
  e = expr4parse(d, "name+PHONE");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(expr4replaceName(&e, "QTYX", "x"), 1);
  EXPECT_EQ(expr4replaceName(&e, "NAME", "UPPER(NAME)"), 0);
  EXPECT_STREQ(expr4source(e), "UPPER(NAME)+PHONE");
  char* out;
  ASSERT_EQ(expr4eval(e, &out), 35);
  EXPECT_EQ(std::string(out, 5), "ALICE");
  expr4free(e);
  EXPECT_STREQ(expr4source(nullptr), "");
}

TEST_F(ExprTest, EvaluationAllocatesNothing) {
  EXPR4* e = expr4parse(d, "UPPER(TRIM(NAME))+DTOS(BORN)+STR(QTY*2,9,2)+DTOC(BORN+1)");
  ASSERT_NE(e, nullptr);
  EXPR4* f = expr4parse(d, ".NOT.DELETED() .AND. QTY > 1 .AND. 'li'$NAME");
  ASSERT_NE(f, nullptr);
  uint64_t before = u4allocCount();
  char* out;
  for (int n = 1; n <= 3; ++n) {
    ASSERT_EQ(d4go(d, n), 0);
    uint64_t at = u4allocCount();
    ASSERT_GE(expr4key(e, &out), 0);
    ASSERT_GE(expr4true(f), 0);
    EXPECT_EQ(u4allocCount(), at);
  }
  (void)before;
  expr4free(e);
  expr4free(f);
}

TEST_F(ExprTest, BoundedFuzzOfTheParser) {
  cb.exprError = 0;
  cb.fieldNameError = 0;
  const char* fragments[] = {"NAME", "QTY", "BORN", "OK", "EMPTY", "PHONE", "(", ")", ",", "+", "-", "*",
                          "/", "^", "=", "<", ">", "<=", ">=", "<>", "#", "$", ".AND.", ".OR.",
                          ".NOT.", ".T.", ".F.", "'ab'", "\"", "[x]", "1", "0", "-1", "1.5", "9e9",
                          "UPPER(", "TRIM(", "LTRIM(", "SUBSTR(", "STR(", "IIF(", "DTOS(", "DTOC(",
                          "CTOD(", "STOD(", "VAL(", "CHR(", "LEFT(", "DAY(", "MONTH(", "YEAR(",
                          "RECNO()", "RECCOUNT()", "DELETED()", "DEL()", "DATE()", "TIME()", " ",
                          "->", "X->", "'", "..", "**"};
  std::mt19937 rng(12345);
  std::uniform_int_distribution<size_t> pick(0, sizeof(fragments) / sizeof(fragments[0]) - 1);
  std::uniform_int_distribution<int> count(1, 12);
  int compiled = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int k = count(rng); k > 0; --k) text += fragments[pick(rng)];
    if (round % 5 == 0) text[rng() % text.size()] = static_cast<char>(rng() % 256);
    error4set(&cb, 0);
    EXPR4* e = expr4parse(d, text.c_str());
    if (e == nullptr) continue;
    ++compiled;
    char* out;
    int len = expr4eval(e, &out);
    ASSERT_GE(len, 0) << text;
    if (expr4type(e) == 'L') {
      ASSERT_GE(expr4true(e), 0) << text;
    }
    ASSERT_GE(expr4key(e, &out), 0) << text;
    (void)expr4double(e);
    expr4free(e);
  }
  EXPECT_GT(compiled, 100);
}

} // namespace
