// Expressions and field strings over real tables.
#include <cstring>
#include <string>

#include "tests/xbase/test_util.h"
#include "xbase/expression_tables.h"
#include "xbase/memo.h"
#include "xbase/string_classes.h"

namespace {

class Expr4DataTest : public xbtest::EngineTest {
protected:
    DATA4* create(const char* name) {
        static const FIELD4INFO fields[] = {{"NAME", 'C', 10, 0}, {"BORN", 'D', 8, 0},  {"REJECT", 'N', 11, 0},
                                            {"PRIVMSG", 'L', 1, 0}, {"NOTES", 'M', 10, 0}, {nullptr, 0, 0, 0}};
        cb.exclusive = 1;
        DATA4* d = d4create(&cb, dir.file(name).c_str(), fields, nullptr);
        EXPECT_NE(d, nullptr);
        return d;
    }
    void append(DATA4* d, const char* name, const char* born, const char* reject, const char* flag,
                const char* notes) {
        d4blank(d);
        f4assign(d4fieldByName(d, "NAME"), name);
        f4assign(d4fieldByName(d, "BORN"), born);
        f4assign(d4fieldByName(d, "REJECT"), reject);
        f4assign(d4fieldByName(d, "PRIVMSG"), flag);
        ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTES"), notes), 0);
        ASSERT_EQ(d4append(d), 0);
    }
    std::string eval(EXPR4* e) {
        char* r = nullptr;
        const int len = expr4eval(e, &r);
        return len < 0 ? "<fail>" : std::string(r, size_t(len));
    }
};

TEST_F(Expr4DataTest, KeysFiltersAndMemosOverATable) {
    DATA4* d = create("calls.dbf");
    ASSERT_NE(d, nullptr);
    append(d, "Smith", "19800115", "4294967295", "T", "first note");
    append(d, "jones", "        ", "1", "F", "");
    cb.exprMemoSize = 8;
    EXPR4* key = expr4parseData(d, "UPPER(TRIM(NAME))+DTOS(BORN)");
    EXPR4* memo = expr4parseData(d, "NOTES");
    EXPR4* filter = expr4parseData(d, ".NOT.DELETED() .AND. PRIVMSG");
    ASSERT_NE(key, nullptr);
    ASSERT_NE(memo, nullptr);
    ASSERT_NE(filter, nullptr);
    ASSERT_EQ(d4go(d, 1), 0);
    char* k = nullptr;
    ASSERT_EQ(expr4key(key, &k), 18);
    EXPECT_EQ(std::string(k, 18), "SMITH19800115     ");
    EXPECT_EQ(eval(memo), "first no");
    EXPECT_EQ(expr4true(filter), 1);
    ASSERT_EQ(d4go(d, 2), 0);
    ASSERT_EQ(expr4key(key, &k), 18);
    EXPECT_EQ(std::string(k, 18), "JONES             ");
    EXPECT_EQ(eval(memo), std::string(8, '\0'));
    EXPECT_EQ(expr4true(filter), 0);
    d4delete(d);
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_EQ(expr4true(filter), 1);
    // Unknown names raise the table's own error.
    EXPECT_EQ(expr4parseData(d, "NOSUCH"), nullptr);
    EXPECT_EQ(cb.errorCode, err4fieldName);
    cb.errorCode = 0;
    cb.fieldNameError = 0;
    EXPECT_EQ(expr4parseData(d, "NOSUCH"), nullptr);
    EXPECT_EQ(cb.errorCode, 0);
    expr4free(key);
    expr4free(memo);
    expr4free(filter);
}

TEST_F(Expr4DataTest, OtherTablesByAlias) {
    DATA4* a = create("first.dbf");
    DATA4* b = create("second.dbf");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    append(a, "Alpha", "20000101", "0", "F", "");
    append(b, "Beta", "20000102", "0", "F", "");
    ASSERT_EQ(d4go(a, 1), 0);
    ASSERT_EQ(d4go(b, 1), 0);
    EXPR4* e = expr4parseData(a, "NAME + SECOND->NAME");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(eval(e), "Alpha     Beta      ");
    expr4free(e);
    EXPECT_EQ(expr4parseData(a, "THIRD->NAME"), nullptr);
    EXPECT_EQ(cb.errorCode, e4dataName);
}

// A result stays where expr4eval put it until the next evaluation, whatever is compiled
// in between; and releasing the engine record releases what its expressions used.
TEST_F(Expr4DataTest, ResultOutlivesALaterCompileAndReleaseFreesTheWorkAreas) {
    DATA4* d = create("stable.dbf");
    ASSERT_NE(d, nullptr);
    append(d, "Smith", "19800115", "7", "t", "");
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_EQ(expr4code(&cb)->work.capacity(), 0u) << "nothing compiled yet";
    EXPECT_EQ(expr4code(&cb)->key.capacity(), 0u);
    EXPR4* a = expr4parse(d, "NAME");
    ASSERT_NE(a, nullptr);
    char* r = nullptr;
    ASSERT_EQ(expr4eval(a, &r), 10);
    std::string longer = "NAME";
    for (int i = 0; i < 40; ++i) longer += "+NAME";
    EXPR4* b = expr4parse(d, longer.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::string(r, 10), "Smith     ");
    ASSERT_EQ(expr4eval(b, &r), 410);
    EXPECT_EQ(std::string(r, 10), "Smith     ");
    EXPECT_GE(expr4code(&cb)->work.size(), 410u);
    expr4free(a);
    expr4free(b);
    d4close(d);
    // Released and set up again: the work areas start empty instead of kept from before.
    code4release(&cb);
    code4init(&cb);
    EXPECT_EQ(expr4code(&cb)->work.capacity(), 0u);
    EXPECT_EQ(expr4code(&cb)->key.capacity(), 0u);
}

// The program reads the phone-book record through these views.
TEST_F(Expr4DataTest, FieldViewsOfTheRecord) {
    DATA4* d = create("book.dbf");
    ASSERT_NE(d, nullptr);
    append(d, "Smith", "19800115", "4294967295", "t", "");
    ASSERT_EQ(d4go(d, 1), 0);
    Field4 name(d, "NAME");
    Field4 reject(d, "REJECT");
    Field4 flag(d, "PRIVMSG");
    char buf[4];
    EXPECT_EQ(name.copyTo(buf, 4), 3u);
    EXPECT_STREQ(buf, "Smi");
    EXPECT_EQ(reject.asLong(), -1);  // bit 31 survives
    EXPECT_EQ(flag.firstChar(), 't');
    EXPECT_EQ(flag.isTrue(), 1);
    EXPECT_EQ(d4changed(d, -1), 0);
    EXPECT_EQ(name.trim(), -1);  // fixed length
    EXPECT_EQ(std::memcmp(f4ptr(d4fieldByName(d, "NAME")), "Smith\0\0\0\0\0", 10), 0);
    EXPECT_EQ(d4changed(d, -1), 1);
    EXPECT_EQ(name.len(), 10u);
    EXPECT_EQ(name.assign("Brown"), 0);
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "NAME")), 10), "Brown     ");
    EXPECT_EQ(reject.assignLong(42), 0);
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "REJECT")), 11), "         42");
    Field4 none(nullptr);
    EXPECT_EQ(none.len(), 0u);
    EXPECT_EQ(none.firstChar(), '\0');
}

}  // namespace
