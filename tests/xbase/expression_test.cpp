// Expressions: every row of the operator and function table over a fixture table, keys,
// errors, named calculations, a bounded parser fuzz, and evaluation without allocation;
// then the same evaluator over a real table.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>

#include "tests/xbase/expression_fixture.h"
#include "tests/xbase/test_util.h"
#include "xbase/expression_tables.h"
#include "xbase/memo.h"
#include "xbase/decimal_keys.h"
#include "xbase/dates.h"

// Counts allocations while a test asks for it.
namespace {
std::atomic<bool> countAllocations{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t n) {
    if (countAllocations) ++allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (countAllocations) ++allocations;
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

class Expr4Test : public ::testing::Test {
protected:
    Expr4Test()
        : people(&code, "PEOPLE",
                 {{"NAME", 'C', 10, 0},
                  {"BORN", 'D', 8, 0},
                  {"SALARY", 'N', 8, 2},
                  {"MARRIED", 'L', 1, 0},
                  {"NOTES", 'M', 10, 0},
                  {"CITY", 'C', 15, 0},
                  {"PHONE", 'C', 25, 0}}) {
        people.add({"Smith", "19800115", "1234.50", "T", "", "Berlin", "0301234"});
        people.add({"jones", "        ", "-12.25", "F", "", "Hamburg", "03012"}, true);
        people.add({"Ab", "20000229", "0", "y", "", "", ""});
        people.setMemo(0, "hello");
        people.go(1);
    }

    EXPR4* parse(const std::string& text) {
        EXPR4* e = expr4parse(&people, text.c_str());
        if (e != nullptr) owned.push_back(e);
        return e;
    }
    ~Expr4Test() override {
        for (EXPR4* e : owned) expr4free(e);
    }

    // Evaluates and returns the result bytes; fails the test when it cannot.
    std::string bytes(const std::string& text, char type) {
        code.error = 0;
        EXPR4* e = parse(text);
        EXPECT_NE(e, nullptr) << text << " error " << code.error;
        if (e == nullptr) return {};
        EXPECT_EQ(expr4type(e), type) << text;
        char* result = nullptr;
        const int len = expr4eval(e, &result);
        EXPECT_GE(len, 0) << text;
        return len < 0 ? std::string() : std::string(result, size_t(len));
    }
    std::string text(const std::string& t) { return bytes(t, 'C'); }
    double number(const std::string& t, char type = 'n') {
        const std::string b = bytes(t, type);
        double v = std::nan("");
        if (b.size() == 8) std::memcpy(&v, b.data(), 8);
        return v;
    }
    double day(const std::string& t) { return number(t, 'd'); }
    int logical(const std::string& t) {
        const std::string b = bytes(t, 'L');
        int32_t v = -1;
        if (b.size() == 4) std::memcpy(&v, b.data(), 4);
        return v;
    }
    int error(const std::string& t) {
        code.error = 0;
        EXPR4* e = parse(t);
        EXPECT_EQ(e, nullptr) << t;
        const int err = code.error;
        code.error = 0;
        return err;
    }
    std::vector<int> rowsOf(const std::string& t) {
        EXPR4* e = parse(t);
        std::vector<int> r;
        if (e != nullptr)
            for (const EXPR4TOKEN& tok : e->tokens) r.push_back(tok.row);
        return r;
    }

    FixtureCode code;
    FixtureTable people;
    std::vector<EXPR4*> owned;
};

std::string keyBytes(double v) { return std::string(reinterpret_cast<const char*>(&v), 8); }

TEST_F(Expr4Test, FieldRows) {
    EXPECT_EQ(rowsOf("NAME"), std::vector<int>{0});
    EXPECT_EQ(text("NAME"), "Smith     ");
    EXPECT_EQ(rowsOf("UPPER(NAME)"), (std::vector<int>{1, 57}));
    EXPECT_EQ(logical("MARRIED"), 1);
    EXPECT_EQ(rowsOf("BORN + 1"), (std::vector<int>{3, 8, 21}));
    EXPECT_EQ(day("BORN + 1"), double(date4toJulian("19800116")));
    EXPECT_EQ(bytes("BORN", 'D'), "19800115");
    EXPECT_EQ(rowsOf("SALARY * 2"), (std::vector<int>{5, 8, 49}));
    EXPECT_EQ(number("SALARY * 2"), 2469.0);
    EXPECT_EQ(bytes("SALARY", 'N'), " 1234.50");
    code.memoSize = 10;
    EXPECT_EQ(text("NOTES"), std::string("hello\0\0\0\0\0", 10));
    people.go(2);
    EXPECT_EQ(text("NOTES"), std::string(10, '\0'));
    EXPECT_EQ(logical("MARRIED"), 0);
    people.go(3);
    EXPECT_EQ(logical("MARRIED"), 1);  // 'y'
    // Lower-case names find the fields.
    EXPECT_EQ(text("name"), "Ab        ");
}

TEST_F(Expr4Test, ConstantsAndLogicalOperators) {
    EXPECT_EQ(number("3.5"), 3.5);
    EXPECT_EQ(text("'abc'"), "abc");
    EXPECT_EQ(text("\"a'b\""), "a'b");
    EXPECT_EQ(text("[x\"y]"), "x\"y");
    EXPECT_EQ(logical(".TRUE."), 1);
    EXPECT_EQ(logical(".t."), 1);
    EXPECT_EQ(logical(".FALSE."), 0);
    EXPECT_EQ(logical(".F."), 0);
    EXPECT_EQ(logical(".NOT. MARRIED"), 0);
    EXPECT_EQ(logical(".F. .OR. .F. .OR. .T."), 1);
    EXPECT_EQ(logical(".F. .OR. .F."), 0);
    EXPECT_EQ(logical(".T. .AND. .T. .AND. .F."), 0);
    EXPECT_EQ(logical(".T. .and. .T."), 1);
    // One .AND. token with three parameters.
    EXPR4* chain = parse("MARRIED .AND. MARRIED .AND. .T.");
    ASSERT_NE(chain, nullptr);
    ASSERT_EQ(chain->tokens.size(), 4u);
    EXPECT_EQ(chain->tokens.back().row, 16);
    EXPECT_EQ(chain->tokens.back().paramCount, 3);
    // .NOT. applies to the whole comparison; .AND. binds tighter than .OR.
    EXPECT_EQ(logical(".NOT. 1 = 2"), 1);
    EXPECT_EQ(logical(".T. .OR. .F. .AND. .F."), 1);
    EXPECT_EQ(logical(".NOT. .T. .OR. .T."), 1);
    EXPECT_EQ(rowsOf(".NOT.DELETED()"), (std::vector<int>{78, 14}));
}

TEST_F(Expr4Test, PlusAndMinus) {
    EXPECT_EQ(text("NAME + CITY"), "Smith     Berlin         ");
    EXPECT_EQ(rowsOf("NAME + CITY"), (std::vector<int>{1, 1, 17}));
    EXPECT_EQ(text("TRIM(NAME) + CITY"), std::string("SmithBerlin         ") + std::string(5, '\0'));
    EXPECT_EQ(rowsOf("TRIM(NAME) + CITY").back(), 18);
    EXPECT_EQ(text("NAME - CITY"), "SmithBerlin" + std::string(14, ' '));
    EXPECT_EQ(number("1 + 2"), 3.0);
    EXPECT_EQ(number("5 - 2 - 1"), 2.0);  // left to right
    const double born = double(date4toJulian("19800115"));
    EXPECT_EQ(day("1 + BORN"), born + 1);
    EXPECT_EQ(day("BORN + 1"), born + 1);
    EXPECT_EQ(day("BORN - 1"), born - 1);
    EXPECT_EQ(number("STOD('20000301') - STOD('20000201')"), 29.0);
    EXPECT_EQ(day("STOD('20000301') - 1"), double(date4toJulian("20000229")));
    // A blank date stays blank in date arithmetic, whichever side it stands on.
    people.go(2);
    EXPECT_EQ(day("BORN + 5"), 0.0);
    EXPECT_EQ(day("5 + BORN"), 0.0);
    EXPECT_EQ(day("BORN - 5"), 0.0);
}

TEST_F(Expr4Test, Comparisons) {
    // Texts compare over the shorter length; > and < decide ties by length.
    EXPECT_EQ(logical("'AB' = 'ABC'"), 1);
    EXPECT_EQ(logical("'AB' < 'ABC'"), 1);
    EXPECT_EQ(logical("'AB' >= 'ABC'"), 1);
    EXPECT_EQ(logical("'AB' > 'ABC'"), 0);
    EXPECT_EQ(logical("'ABC' > 'AB'"), 1);
    EXPECT_EQ(logical("'ABC' <= 'AB'"), 1);
    EXPECT_EQ(logical("'ABC' < 'AB'"), 0);
    EXPECT_EQ(logical("'AB' # 'AC'"), 1);
    EXPECT_EQ(logical("'AB' <> 'AB'"), 0);
    EXPECT_EQ(logical("'\xC4' > 'Z'"), 1);  // bytes compare unsigned
    EXPECT_EQ(logical("MARRIED = .T."), 1);
    EXPECT_EQ(logical("MARRIED # .F."), 1);
    EXPECT_EQ(logical("1 = 1.0"), 1);
    EXPECT_EQ(logical("1 # 2"), 1);
    EXPECT_EQ(logical("2 >= 2"), 1);
    EXPECT_EQ(logical("2 <= 1"), 0);
    EXPECT_EQ(logical("2 > 1"), 1);
    EXPECT_EQ(logical("2 < 1"), 0);
    EXPECT_EQ(logical("SALARY > 1000"), 1);
    EXPECT_EQ(logical("BORN = STOD('19800115')"), 1);
    EXPECT_EQ(logical("BORN # STOD('19800115')"), 0);
    EXPECT_EQ(logical("BORN >= STOD('19800115')"), 1);
    EXPECT_EQ(logical("BORN <= STOD('19800114')"), 0);
    EXPECT_EQ(logical("BORN > STOD('19800114')"), 1);
    EXPECT_EQ(logical("BORN < STOD('19800114')"), 0);
    EXPECT_EQ(logical("'mit' $ NAME"), 1);
    EXPECT_EQ(logical("NAME $ 'mit'"), 0);
    EXPECT_EQ(logical("'' $ 'x'"), 1);
}

TEST_F(Expr4Test, Arithmetic) {
    EXPECT_EQ(number("2 ^ 10"), 1024.0);
    EXPECT_EQ(number("2 ** 3"), 8.0);
    EXPECT_EQ(number("3 * 4"), 12.0);
    EXPECT_EQ(number("7 / 2"), 3.5);
    EXPECT_EQ(number("7 / 0"), 0.0);
    EXPECT_EQ(number("1 + 2 * 3 ^ 2"), 19.0);
    EXPECT_EQ(number("(1 + 2) * 3"), 9.0);
    EXPECT_TRUE(std::isinf(number("0 ^ -1")));
}

TEST_F(Expr4Test, TextFunctions) {
    EXPECT_EQ(text("CHR(65)"), "A");
    EXPECT_EQ(text("CHR(321)"), "A");  // low 8 bits
    EXPECT_EQ(text("CHR(-191)"), "A");
    EXPECT_EQ(text("CHR(10 ^ 20)"), std::string(1, '\0'));
    EXPECT_EQ(text("CHR(0 ^ -1)"), std::string(1, '\0'));
    EXPECT_EQ(text("DEL()"), " ");
    people.go(2);
    EXPECT_EQ(text("DEL()"), "*");
    people.go(1);
    EXPECT_EQ(text("STR(SALARY, 8, 2)"), " 1234.50");
    EXPECT_EQ(text("STR(3.14159)"), "         3");
    EXPECT_EQ(text("STR(2.5, 5, 9)"), "2.500");
    EXPECT_EQ(text("STR(42, -3)"), "        42");
    EXPECT_EQ(text("STR(10 ^ 300, 10)"), "**********");
    EXPECT_EQ(text("STR(VAL('1e999'), 5)"), "*****");
    EXPECT_EQ(text("SUBSTR(NAME, 2, 3)"), "mit");
    EXPECT_EQ(text("SUBSTR(NAME, 3)"), "ith     ");
    EXPECT_EQ(text("SUBSTR(NAME, 9, 5)"), "  ");
    EXPECT_EQ(text("SUBSTR(NAME, 20, 5)"), "");
    EXPECT_EQ(text("SUBSTR(NAME, 0, 2)"), "Sm");
    const std::string time = text("TIME()");
    ASSERT_EQ(time.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_TRUE(i % 3 == 2 ? time[i] == ':' : std::isdigit(static_cast<unsigned char>(time[i]))) << time;
    EXPECT_EQ(text("UPPER(NAME)"), "SMITH     ");
    EXPECT_EQ(text("UPPER('straße')"), "STRAßE");  // ASCII only
    EXPECT_EQ(text("TRIM(NAME)"), std::string("Smith\0\0\0\0\0", 10));
    EXPECT_EQ(text("LTRIM('  ab  ')"), std::string("ab  \0\0", 6));
    EXPECT_EQ(text("LEFT(NAME, 3)"), "Smi");
    EXPECT_EQ(text("LEFT(NAME, 30)"), "Smith     ");
    EXPECT_EQ(text("IIF(MARRIED, 'yes', 'no ')"), "yes");
    EXPECT_EQ(number("VAL('12.5')"), 12.5);
    EXPECT_EQ(number("VAL(CITY)"), 0.0);
}

TEST_F(Expr4Test, DateFunctions) {
    EXPECT_EQ(text("DTOS(BORN)"), "19800115");
    EXPECT_EQ(rowsOf("DTOS(BORN)"), (std::vector<int>{4, 58}));
    EXPECT_EQ(text("DTOS(BORN + 1)"), "19800116");
    EXPECT_EQ(text("DTOS(BORN + 10 ^ 15)"), "        ");  // no such day
    EXPECT_EQ(text("DTOC(BORN)"), "01/15/80");
    EXPECT_EQ(text("DTOC(BORN + 1)"), "01/16/80");
    EXPECT_EQ(rowsOf("DTOC(BORN, 1)"), (std::vector<int>{4, 58}));
    EXPECT_EQ(text("DTOC(BORN, 1)"), "19800115");
    code.picture = "DD.MM.CCYY";
    EXPECT_EQ(text("DTOC(BORN)"), "15.01.1980");
    EXPECT_EQ(day("CTOD('25.12.1998')"), double(date4toJulian("19981225")));
    code.picture = "MM/DD/YY";
    EXPECT_EQ(day("CTOD('12/25/98')"), double(date4toJulian("19981225")));
    EXPECT_EQ(day("STOD('20000101')"), 2451545.0);
    EXPECT_EQ(day("STOD('2000')"), -1.0);  // short text: blanks after it, no such date
    char today[8];
    date4today(today);
    EXPECT_EQ(day("DATE()"), double(date4toJulian(today)));
    EXPECT_EQ(number("DAY(BORN)"), 15.0);
    EXPECT_EQ(number("DAY(BORN + 1)"), 16.0);
    EXPECT_EQ(number("MONTH(BORN)"), 1.0);
    EXPECT_EQ(number("MONTH(BORN + 31)"), 2.0);
    EXPECT_EQ(number("YEAR(BORN)"), 1980.0);
    EXPECT_EQ(number("YEAR(BORN + 366)"), 1981.0);
    EXPECT_EQ(number("IIF(.F., 1, 2)"), 2.0);
    EXPECT_EQ(day("IIF(.T., BORN, STOD('20000101'))"), double(date4toJulian("19800115")));
    EXPECT_EQ(logical("IIF(.T., .F., .T.)"), 0);
    people.go(2);
    EXPECT_EQ(number("YEAR(BORN)"), 0.0);
    EXPECT_EQ(text("DTOC(BORN)"), "  /  /  ");
}

TEST_F(Expr4Test, RecordFunctions) {
    people.go(2);
    EXPECT_EQ(logical("DELETED()"), 1);
    EXPECT_EQ(logical(".NOT.DELETED()"), 0);
    people.go(1);
    EXPECT_EQ(logical("DELETED()"), 0);
    EXPECT_EQ(number("RECCOUNT()"), 3.0);
    people.go(3);
    EXPECT_EQ(number("RECNO()"), 3.0);
    EXPECT_EQ(number("PAGENO()"), 0.0);
}

TEST_F(Expr4Test, OtherTableByAlias) {
    FixtureTable other(&code, "CITIES", {{"ZIP", 'C', 5, 0}});
    other.add({"10115"});
    other.go(1);
    people.link(&other);
    EXPECT_EQ(text("NAME + CITIES->ZIP"), "Smith     10115");
    EXPECT_EQ(text("cities->zip"), "10115");
    EXPECT_EQ(error("NOWHERE->ZIP"), e4dataName);
}

TEST_F(Expr4Test, KeysAsTheIndexComparesThem) {
    char* key = nullptr;
    EXPR4* phone = parse("PHONE");
    ASSERT_NE(phone, nullptr);
    ASSERT_EQ(phone->tokens.size(), 1u);
    EXPECT_EQ(phone->tokens[0].row, 0);
    EXPECT_EQ(expr4keyLen(phone), 25);
    ASSERT_EQ(expr4key(phone, &key), 25);
    EXPECT_EQ(std::string(key, 25), "0301234" + std::string(18, ' '));

    // Blank date fields key after every real date, blank day numbers too.
    EXPR4* born = parse("BORN");
    ASSERT_NE(born, nullptr);
    EXPECT_EQ(expr4keyLen(born), 8);
    people.go(2);
    ASSERT_EQ(expr4key(born, &key), 8);
    EXPECT_EQ(std::string(key, 8), std::string("\x7D\xC3\x94\x25\xAD\x49\xB2\x54", 8));
    people.go(1);
    ASSERT_EQ(expr4key(born, &key), 8);
    EXPECT_EQ(std::string(key, 8), keyBytes(double(date4toJulian("19800115"))));
    EXPR4* blankDay = parse("STOD('        ')");
    ASSERT_NE(blankDay, nullptr);
    ASSERT_EQ(expr4key(blankDay, &key), 8);
    EXPECT_EQ(std::string(key, 8), std::string("\x9C\x75\x00\x88\x3C\xE4\x37\x7E", 8));

    // Trimmed parts: the zero fill keys as blanks.
    EXPR4* name = parse("UPPER(TRIM(NAME))+DTOS(BORN)");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(expr4keyLen(name), 18);
    ASSERT_EQ(expr4key(name, &key), 18);
    EXPECT_EQ(std::string(key, 18), "SMITH19800115     ");
    EXPECT_EQ(key[18], '\0');

    // Numbers key in the 12-byte decimal form.
    EXPR4* salary = parse("SALARY");
    ASSERT_NE(salary, nullptr);
    EXPECT_EQ(expr4keyLen(salary), 12);
    ASSERT_EQ(expr4key(salary, &key), 12);
    char expected[12];
    c4bcdFromDouble(expected, 1234.5);
    EXPECT_EQ(std::string(key, 12), std::string(expected, 12));
    EXPECT_EQ(std::string(key, 4), std::string("\x38\x15\x12\x34", 4));  // 52+4, 5 digits, "12345"
}

TEST(C4Bcd, OrderOfNumericKeys) {
    const double values[] = {-1e300, -1234.5, -1, -0.001, 0, 1e-50, 0.001, 0.1, 1, 9.99, 10, 1e20, 1e300};
    char a[12], b[12];
    for (size_t i = 0; i + 1 < sizeof values / sizeof values[0]; ++i) {
        c4bcdFromDouble(a, values[i]);
        c4bcdFromDouble(b, values[i + 1]);
        EXPECT_LT(c4bcdCmp(a, b), 0) << values[i] << " < " << values[i + 1];
        EXPECT_GT(c4bcdCmp(b, a), 0);
    }
    char zero[12], negZero[12], nan[12];
    c4bcdFromDouble(zero, 0.0);
    c4bcdFromDouble(negZero, -0.0);
    c4bcdFromDouble(nan, std::nan(""));
    EXPECT_EQ(std::memcmp(zero, negZero, 12), 0);
    EXPECT_EQ(std::memcmp(zero, nan, 12), 0);
    c4bcdFromDouble(a, 1e-60);  // below the smallest exponent
    EXPECT_EQ(std::memcmp(zero, a, 12), 0);
    c4bcdFromDouble(a, 0.1 + 0.2);
    c4bcdFromDouble(b, 0.3);
    EXPECT_EQ(std::memcmp(a, b, 12), 0);
    c4bcdFromText(a, "  12.50", 7);
    c4bcdFromDouble(b, 12.5);
    EXPECT_EQ(std::memcmp(a, b, 12), 0);
    c4bcdFromText(a, "********", 8);
    EXPECT_EQ(std::memcmp(a, zero, 12), 0);
}

TEST_F(Expr4Test, TrueDoubleAndAccessors) {
    EXPR4* e = parse("MARRIED");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(expr4true(e), 1);
    EXPR4* n = parse("NAME");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(expr4true(n), -1);
    EXPECT_EQ(code.error, e4result);
    code.error = 0;
    EXPECT_EQ(expr4double(parse("SALARY")), 1234.5);
    EXPECT_EQ(expr4double(parse("SALARY * 2")), 2469.0);
    EXPECT_EQ(expr4double(parse("'12.5'")), 12.5);
    EXPECT_EQ(expr4double(parse("BORN")), double(date4toJulian("19800115")));
    EXPECT_EQ(expr4double(parse("MARRIED")), 0.0);
    double v = 1;
    EXPECT_EQ(expr4doubleOut(parse("0 - 5"), &v), 0);  // a negative value is no failure
    EXPECT_EQ(v, -5.0);
    EXPR4* s = parse("UPPER(NAME)");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(expr4len(s), 10);
    EXPECT_EQ(expr4type(s), 'C');
    EXPECT_STREQ(expr4source(s), "UPPER(NAME)");
    EXPECT_STREQ(expr4source(nullptr), "");
    expr4free(nullptr);
    // A pending error stops every entry point.
    code.error = -70;
    char* r = nullptr;
    EXPECT_EQ(expr4eval(s, &r), -1);
    EXPECT_EQ(expr4parse(&people, "NAME"), nullptr);
    EXPECT_EQ(code.raised.back(), e4result);  // nothing new raised
    code.error = 0;
    // The sub-expression ending at a token runs alone.
    EXPR4* sum = parse("SALARY * 2 + 1");
    ASSERT_NE(sum, nullptr);
    ASSERT_EQ(expr4evalPart(sum, 2, &r), 0);
    double part;
    std::memcpy(&part, r, 8);
    EXPECT_EQ(part, 2469.0);
}

TEST_F(Expr4Test, LookupIgnoresCase) {
    EXPECT_EQ(expr4lookup("upper", 5, 52, 84), 57);
    EXPECT_EQ(expr4lookup("UPPERX", 6, 52, 84), -1);
    EXPECT_EQ(expr4lookup("<>x", -1, 15, 51), 31);
    EXPECT_EQ(expr4lookup("<x", -1, 15, 51), 44);
    EXPECT_EQ(expr4lookup("**2", -1, 15, 51), 48);
    EXPECT_EQ(expr4lookup(">=", -1, 15, 51), 35);
    EXPECT_EQ(expr4lookup(".and.", -1, 15, 51), 16);
    EXPECT_EQ(expr4lookup("STR", 3, 52, 1000), 54);  // stops at the end row
    EXPECT_EQ(expr4rowCount(), 85);
    EXPECT_STREQ(expr4rowName(84), "PAGENO");
}

// Every compilation error, each with its code and nothing compiled.
TEST_F(Expr4Test, EveryErrorCode) {
    EXPECT_EQ(error("UPPER(NAME CITY)"), e4commaExpected);
    EXPECT_EQ(error("NAME +"), e4complete);
    EXPECT_EQ(error(""), e4complete);
    EXPECT_EQ(error("X->NAME"), e4dataName);
    EXPECT_EQ(error("IIF(MARRIED, 'a', 'bc')"), e4lengthErr);
    EXPECT_EQ(error("STR(SALARY, 1 + 1)"), e4notConstant);
    EXPECT_EQ(error("SUBSTR(NAME, SALARY, 2)"), e4notConstant);
    EXPECT_EQ(error("UPPER(NAME, CITY)"), e4numParms);
    EXPECT_EQ(error("SUBSTR(NAME)"), e4numParms);
    EXPECT_EQ(error("DELETED(1)"), e4numParms);
    std::string chain21 = ".T.";
    for (int i = 0; i < 20; ++i) chain21 += " .AND. .T.";
    EXPECT_EQ(error(chain21), e4overflow);
    EXPECT_EQ(error("(NAME"), e4rightMissing);
    EXPECT_EQ(error("UPPER(NAME"), e4rightMissing);
    EXPECT_EQ(error("NAME + 1"), e4typeSub);
    EXPECT_EQ(error("DTOS(NAME)"), e4typeSub);
    EXPECT_EQ(error("NOSUCH(1)"), e4unrecFunction);
    EXPECT_EQ(error("NAME ? CITY"), e4unrecOperator);
    EXPECT_EQ(error("-SALARY"), e4unrecValue);
    EXPECT_EQ(error("ABCDEFGHIJK"), e4unrecValue);  // 11 characters
    EXPECT_EQ(error("?"), e4unrecValue);
    EXPECT_EQ(error("'abc"), e4unterminated);
    EXPECT_EQ(error("[abc"), e4unterminated);
    EXPECT_EQ(error("'" + std::string(600, 'x') + "'"), e4memory);
    EXPECT_EQ(error("NOSUCHFLD"), -210);  // the table's own error
    // Twenty values at once fit, twenty-one do not.
    std::string twenty = ".T.";
    for (int i = 0; i < 19; ++i) twenty += " .AND. .T.";
    EXPECT_NE(parse(twenty), nullptr);
    // Deep nesting ends in an error, not a deep recursion.
    EXPECT_EQ(error(std::string(5000, '(') + "1" + std::string(5000, ')')), e4memory);
    EXPECT_EQ(error(std::string(5000, ' ') + [] {
                  std::string s;
                  for (int i = 0; i < 2000; ++i) s += ".NOT.";
                  return s;
              }() + ".T."),
              e4memory);
    // With the switch off nothing is raised and compilation still fails.
    code.exprErrorOn = false;
    const size_t before = code.raised.size();
    EXPECT_EQ(expr4parse(&people, "NAME +"), nullptr);
    EXPECT_EQ(code.raised.size(), before);
    EXPECT_EQ(code.error, 0);
}

TEST_F(Expr4Test, StrParameterRules) {
    EXPR4* e = parse("STR(SALARY, 5, 9)");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->tokens.back().first, 3);
    EXPECT_EQ(expr4len(e), 5);
    EXPR4* one = parse("STR(SALARY)");
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(expr4len(one), 10);
    EXPECT_EQ(one->tokens.back().first, 0);
    EXPR4* huge = parse("STR(SALARY, 1000000000)");
    ASSERT_NE(huge, nullptr);
    EXPECT_EQ(expr4len(huge), 255);
}

TEST_F(Expr4Test, NamedCalculations) {
    EXPR4* base = expr4parse(&people, "SALARY");
    ASSERT_NE(base, nullptr);
    CALC4* calc = calc4create(&code, base, "pay");
    ASSERT_NE(calc, nullptr);
    EXPECT_EQ(expr4type(base), 'n');  // numeric text switched to a number
    EXPECT_EQ(calc4lookup(&code, "PAY", 3), calc);
    EXPECT_EQ(calc4lookup(&code, "PAYX", 3), calc);
    EXPECT_EQ(calc4lookup(&code, "PA", 2), nullptr);
    EXPECT_EQ(number("PAY() * 2"), 2469.0);
    EXPR4* label = expr4parse(&people, "UPPER(TRIM(NAME))");
    ASSERT_NE(label, nullptr);
    ASSERT_NE(calc4create(&code, label, "LABEL"), nullptr);
    EXPECT_EQ(text("LABEL() + CITY"), std::string("SMITHBerlin") + std::string(9, ' ') + std::string(5, '\0'));
    EXPECT_EQ(text("CITY + LABEL()"), std::string("Berlin         SMITH") + std::string(5, '\0'));
    // A calculation deleted while an expression still calls it keeps working for that one.
    EXPR4* user = parse("PAY() + 1");
    ASSERT_NE(user, nullptr);
    calc4delete(&code, calc);
    EXPECT_EQ(calc4lookup(&code, "PAY", 3), nullptr);
    char* r = nullptr;
    ASSERT_EQ(expr4eval(user, &r), 8);
    double v;
    std::memcpy(&v, r, 8);
    EXPECT_EQ(v, 1235.5);
    EXPECT_EQ(error("PAY()"), e4unrecFunction);
}

TEST_F(Expr4Test, ReplaceName) {
    EXPR4* e = expr4parse(&people, "NAME + CITY + NAMEX");
    ASSERT_EQ(e, nullptr);  // NAMEX is no field
    code.error = 0;
    e = expr4parse(&people, "UPPER(NAME) + CITY");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(expr4replaceName(&e, "PHONE", "CITY"), 1);
    EXPECT_EQ(expr4replaceName(&e, "name", "PHONE"), 0);
    EXPECT_STREQ(expr4source(e), "UPPER(PHONE) + CITY");
    EXPECT_EQ(expr4len(e), 40);
    EXPECT_EQ(expr4replaceName(&e, "CITY", "NOPE"), -1);  // kept as it was
    EXPECT_STREQ(expr4source(e), "UPPER(PHONE) + CITY");
    code.error = 0;
    expr4free(e);
}

TEST_F(Expr4Test, EvaluationAllocatesNothing) {
    const char* texts[] = {"UPPER(TRIM(NAME))+DTOS(BORN)", "STR(SALARY * 2, 12, 3)", "DTOC(BORN + 30)",
                           "IIF(MARRIED, CITY, NAME + '     ')", "LTRIM(SUBSTR(CITY, 2, 4)) - NAME",
                           ".NOT.DELETED() .AND. 'mi' $ NAME", "NOTES", "VAL(STR(SALARY)) / 3",
                           "CTOD('12/25/98') - BORN", "SALARY", "BORN"};
    std::vector<EXPR4*> exprs;
    for (const char* t : texts) {
        exprs.push_back(parse(t));
        ASSERT_NE(exprs.back(), nullptr) << t;
    }
    allocations = 0;
    countAllocations = true;
    char* r = nullptr;
    long ok = 0;
    for (int rec = 1; rec <= 3; ++rec) {
        people.go(rec);
        for (EXPR4* e : exprs) {
            ok += expr4eval(e, &r) >= 0;
            ok += expr4key(e, &r) >= 0;
        }
    }
    countAllocations = false;
    EXPECT_EQ(ok, long(3 * 2 * exprs.size()));
    EXPECT_EQ(allocations.load(), 0);
}

// Random texts from expression fragments: every compilation ends in a program or an error,
// and every program runs, under the sanitizers.
TEST_F(Expr4Test, BoundedParserFuzz) {
    const char* fragments[] = {"NAME", "BORN", "SALARY", "MARRIED", "NOTES", "CITY", "PHONE", "PEOPLE->NAME",
                            "(", ")", ",", "+", "-", "*", "/", "^", "**", "=", "#", "<>", "<", ">", "<=",
                            ">=", "$", ".AND.", ".OR.", ".NOT.", ".T.", ".F.", "'ab'", "\"x", "[q]", "1",
                            "0", "-1", "1e308", "10^400", "2^-2000", "3.", ".5", "CHR(", "DEL(", "STR(", "SUBSTR(", "TIME(",
                            "UPPER(", "DTOS(", "DTOC(", "TRIM(", "LTRIM(", "LEFT(", "IIF(", "STOD(", "CTOD(",
                            "DATE(", "DAY(", "MONTH(", "YEAR(", "DELETED(", "RECCOUNT(", "RECNO(", "VAL(",
                            "PAGENO(", " ", "->", "\x01", "\xff", "'", "]"};
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<size_t> pick(0, sizeof fragments / sizeof fragments[0] - 1);
    std::uniform_int_distribution<int> count(1, 14);
    code.exprErrorOn = false;
    long compiled = 0;
    for (int i = 0; i < 30000; ++i) {
        std::string t;
        const int n = count(rng);
        for (int k = 0; k < n; ++k) t += fragments[pick(rng)];
        code.error = 0;
        EXPR4* e = expr4parse(&people, t.c_str());
        if (e == nullptr) continue;
        ++compiled;
        for (int rec = 1; rec <= 3; ++rec) {
            people.go(rec);
            char* r = nullptr;
            ASSERT_GE(expr4eval(e, &r), 0) << t;
            ASSERT_GE(expr4key(e, &r), 0) << t;
        }
        expr4free(e);
    }
    EXPECT_GT(compiled, 500);  // the fuzz reaches the evaluator, not only the errors
}

// The same evaluator over a real table of the engine.

using xbtest::EngineTest;
using xbtest::reports;


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
  char* out;
  for (int n = 1; n <= 3; ++n) {
    ASSERT_EQ(d4go(d, n), 0);
    // Neither the engine's allocator nor the heap is asked while the records are evaluated.
    const uint64_t engineBefore = u4allocCount();
    allocations = 0;
    countAllocations = true;
    const int keyLen = expr4key(e, &out);
    const int isTrue = expr4true(f);
    const int evalLen = expr4eval(e, &out);
    countAllocations = false;
    EXPECT_GE(keyLen, 0);
    EXPECT_GE(isTrue, 0);
    EXPECT_GE(evalLen, 0);
    EXPECT_EQ(allocations.load(), 0) << "record " << n;
    EXPECT_EQ(u4allocCount(), engineBefore) << "record " << n;
  }
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

}  // namespace
