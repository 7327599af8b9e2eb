// The phone-book tables: their creation and schema, and the search behind the
// caller lookup.
#include "settings/phone_book.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "settings/settings_log.h"
#include "xbase/block_cache.h"
#include "xbase/engine.h"
#include "xbase/index.h"
#include "xbase/table.h"

namespace orvelin::settings {
namespace {

namespace fs = std::filesystem;

std::vector<std::string>& engineReports() {
    static std::vector<std::string> r;
    return r;
}

void captureReport(const char*, const char* text, int) { engineReports().push_back(text); }

struct Row {
    std::string phone, name;
    std::string reject = "0";
    bool rejectFax = false, privMsg = false, rejectMsg = false;
};

class PhoneBookTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("ORVELIN_TEST_TMP");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/phonebook.XXXXXX";
        fs::create_directories(fs::path(pattern).parent_path());
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern + "/";
        ASSERT_EQ(code4init(&cb_), 0);
        error4setHook(captureReport);
        engineReports().clear();
    }
    void TearDown() override {
        code4closeAll(&cb_);
        code4release(&cb_);
        error4setHook(nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Writes a table the way another program fills it.
    void writeBook(const std::string& path, const std::vector<Row>& rows,
                   const TAG4INFO* tags = kPhoneBookTags) {
        DATA4* d = d4create(&cb_, path.c_str(), kPhoneBookFields, tags);
        ASSERT_NE(d, nullptr);
        for (const Row& r : rows) {
            d4blank(d);
            f4assign(d4fieldByName(d, "PHONE"), r.phone.c_str());
            f4assign(d4fieldByName(d, "NAME"), r.name.c_str());
            f4assign(d4fieldByName(d, "REJECT"), r.reject.c_str());
            f4assign(d4fieldByName(d, "REJECTFAX"), r.rejectFax ? "T" : "F");
            f4assign(d4fieldByName(d, "PRIVMSG"), r.privMsg ? "T" : "F");
            f4assign(d4fieldByName(d, "REJECTMSG"), r.rejectMsg ? "T" : "F");
            ASSERT_EQ(d4append(d), 0);
        }
        ASSERT_EQ(d4close(d), 0);
    }

    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }

    CODE4 cb_{};
    std::string dir_;
};

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    while (std::fgets(buf, sizeof(buf), p)) out += buf;
    pclose(p);
    return out;
}

void expectFields(DATA4* d, const FIELD4INFO* want) {
    int n = 0;
    for (const FIELD4INFO* f = want; f->name != nullptr; ++f, ++n) {
        FIELD4* got = d4fieldByNumber(d, n + 1);
        ASSERT_NE(got, nullptr) << f->name;
        EXPECT_STREQ(f4name(got), f->name);
        EXPECT_EQ(f4type(got), f->type) << f->name;
        EXPECT_EQ(f4len(got), static_cast<int>(f->len)) << f->name;
        EXPECT_EQ(f4decimals(got), 0) << f->name;
    }
    EXPECT_EQ(d4fieldCount(d), n);
}

TEST_F(PhoneBookTest, FirstStartCreatesBothTablesInLowerCaseWithTheirSchemas) {
    {
        PhoneBook book(&cb_);
        book.open(dir_);
        ASSERT_NE(book.table(), nullptr);
        ASSERT_NE(book.table2(), nullptr);
        expectFields(book.table(), kPhoneBookFields);
        expectFields(book.table2(), kPhoneBook2Fields);
        for (DATA4* d : {book.table(), book.table2()}) {
            TAG4* t = d4tagByName(d, "UNIQUE");
            ASSERT_NE(t, nullptr);
            EXPECT_EQ(t->uniqueCode, status4unique);
            EXPECT_EQ(t->descending, 0);
            EXPECT_TRUE(t->hasFilter);
            EXPECT_EQ(d4recordCount(d), 0);
        }
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"ispbk.dbf", "ispbk.mdx", "ispbk2.dbf", "ispbk2.mdx"}));
    EXPECT_TRUE(engineReports().empty());

    // Another reader agrees on the layout.
    const std::string out = run("/usr/bin/python3 -c \"import dbfread,sys\n"
                                "for n in sys.argv[1:]:\n"
                                "  t=dbfread.DBF(n)\n"
                                "  print(' '.join('%s:%s:%d:%d'%(f.name,f.type,f.length,f.decimal_count) for f in t.fields), len(t))\" " +
                                dir_ + "ispbk.dbf " + dir_ + "ispbk2.dbf");
    EXPECT_EQ(out,
              "PHONE:C:25:0 NAME:C:50:0 EMAIL:C:50:0 PASSTHROUG:C:25:0 REJECT:N:10:0 LAUNCH:L:1:0 "
              "LAUNCHLINE:N:3:0 LAUNCHCIP:N:10:0 PRIVMSG:L:1:0 REJECTMSG:L:1:0 REJECTFAX:L:1:0 0\n"
              "PHONE:C:25:0 MSGFILE:C:254:0 LAUNCHCALL:C:254:0 ATCALLPARA:C:254:0 "
              "LAUNCHCLEA:C:254:0 ATCLEARPAR:C:254:0 WAITATCALL:N:10:0 WAITATCLEA:N:10:0 0\n");

    // A second start opens what the first made, nothing new appears.
    PhoneBook again(&cb_);
    again.open(dir_);
    EXPECT_NE(again.table(), nullptr);
    EXPECT_NE(again.table2(), nullptr);
    EXPECT_EQ(files().size(), 4u);
}

TEST_F(PhoneBookTest, SearchMatchesTheWholeNumberOnly) {
    writeBook(dir_ + "ispbk", {{"0301234", "Short", "0"},
                               {"03012345", "Long", "0"},
                               {"0409", "Gone", "0"}});
    {
        // A record deleted after the index was built.
        DATA4* d = d4open(&cb_, (dir_ + "ispbk").c_str());
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(d4go(d, 3), 0);
        d4delete(d);
        ASSERT_EQ(d4close(d), 0);
    }
    PhoneBook book(&cb_);
    book.open(dir_);
    ASSERT_NE(book.table(), nullptr);
    auto name = [&](std::string_view n) {
        auto e = book.find(n);
        return e ? e->name.substr(0, e->name.find_last_not_of(' ') + 1) : std::string("-");
    };
    EXPECT_EQ(name("0301234"), "Short");
    EXPECT_EQ(name("03012345"), "Long");
    EXPECT_EQ(name("030123"), "-");    // a prefix of both
    EXPECT_EQ(name("030123456"), "-"); // longer than both
    EXPECT_EQ(name("0409"), "-");
    EXPECT_EQ(name(std::string(26, '1')), "-");  // wider than the field
    EXPECT_EQ(name(""), "-");
}

// The program's engine keeps blocks in its cache; what another program
// changes, adds or deletes meanwhile is still what the next search finds.
TEST_F(PhoneBookTest, ProgramSettingsSeeAnotherProgramsChanges) {
    writeBook(dir_ + "ispbk", {{"0301", "Anna"}, {"0302", "Bert"}});
    CODE4 program{};
    ASSERT_EQ(applyProgramEngineSettings(&program), 0);
    EXPECT_TRUE(code4cacheRunning(&program));
    PhoneBook book(&program);
    book.open(dir_);
    ASSERT_NE(book.table(), nullptr);
    // Only the index takes part: record blocks are read from the file at every use.
    EXPECT_EQ(book.table()->file.cacheKind, 0);
    ASSERT_NE(l4first(&book.table()->indexes), nullptr);
    EXPECT_EQ(reinterpret_cast<INDEX4*>(l4first(&book.table()->indexes))->file.cacheKind, 2);
    auto name = [&](std::string_view n) {
        auto e = book.find(n);
        return e ? e->name.substr(0, e->name.find_last_not_of(' ') + 1) : std::string("-");
    };
    ASSERT_EQ(name("0301"), "Anna");  // now cached
    ASSERT_EQ(name("0302"), "Bert");

    struct Change {
        const char* what;
        std::function<void(DATA4*)> apply;
        const char* number;
        const char* found;
    };
    const Change changes[] = {
        {"rename", [](DATA4* d) { ASSERT_EQ(d4go(d, 1), 0); f4assign(d4fieldByName(d, "NAME"), "Anne"); },
         "0301", "Anne"},
        {"add", [](DATA4* d) {
             d4blank(d);
             f4assign(d4fieldByName(d, "PHONE"), "0303");
             f4assign(d4fieldByName(d, "NAME"), "Carl");
             ASSERT_EQ(d4append(d), 0);
         }, "0303", "Carl"},
        {"delete", [](DATA4* d) { ASSERT_EQ(d4go(d, 2), 0); d4delete(d); }, "0302", "-"},
        {"renumber", [](DATA4* d) { ASSERT_EQ(d4go(d, 3), 0); f4assign(d4fieldByName(d, "PHONE"), "0304"); },
         "0303", "-"},
    };
    for (const Change& c : changes) {
        DATA4* other = d4open(&cb_, (dir_ + "ispbk").c_str());
        ASSERT_NE(other, nullptr);
        c.apply(other);
        ASSERT_EQ(d4close(other), 0);
        EXPECT_EQ(name(c.number), c.found) << c.what;
    }
    EXPECT_EQ(name("0304"), "Carl");
    book.close();
    code4release(&program);
}

TEST_F(PhoneBookTest, EmptyNumberNeverSearchesEvenWithABlankRecord) {
    writeBook(dir_ + "ispbk", {{"", "Blank"}});
    PhoneBook book(&cb_);
    book.open(dir_);
    ASSERT_NE(book.table(), nullptr);
    EXPECT_FALSE(book.find(""));
    const CallerLookup r = lookupCaller(nullptr, "", false, 1, book.search());
    EXPECT_EQ(r.name, "");
    EXPECT_EQ(r.matchedKey, "Unlisted");
}

TEST_F(PhoneBookTest, LookupNamesAnUnlistedCallerFromThePhoneBook) {
    writeBook(dir_ + "ispbk",
              {{"0301234567", "Registry Wins"},
               // Windows-1252: u-umlaut, euro sign; padded with blanks by the field.
               {"0555", "M\xFCller \x80", "9999999999", true, true, true},
               {"0666", "Plain", "536870912"},
               {"0777", "Bit31", "2147483648"}});
    std::ifstream in(CALLERS_FIXTURE, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    platform::RegNode root;
    ASSERT_TRUE(platform::parseHive(text.str(), root).ok());
    const platform::RegNode* callers = root.subkey(kCallersKey);
    ASSERT_NE(callers, nullptr);

    PhoneBook book(&cb_);
    book.open(dir_);
    ASSERT_NE(book.table(), nullptr);

    // A registry key wins: the table is not asked.
    CallerLookup r = lookupCaller(callers, "0301234567", false, 1, book.search());
    EXPECT_EQ(r.name, "Exact Caller");
    EXPECT_FALSE(r.unlisted);

    r = lookupCaller(callers, "0555", false, 1, book.search());
    EXPECT_EQ(r.name, "M\xC3\xBCller \xE2\x82\xAC");
    EXPECT_TRUE(r.unlisted);
    EXPECT_EQ(r.matchedKey, "Unlisted");
    EXPECT_EQ(r.rule, 1410065407u);  // 9999999999 keeps its low 32 bits
    EXPECT_TRUE(r.noFax());
    EXPECT_TRUE(r.personalMsg);
    EXPECT_TRUE(r.noVoiceMessage);

    r = lookupCaller(callers, "0666", false, 1, book.search());
    EXPECT_EQ(r.name, "Plain");
    EXPECT_EQ(r.settings().mode, static_cast<std::uint32_t>(CallerMode::RejectAlways));
    EXPECT_FALSE(r.noFax());
    EXPECT_FALSE(r.personalMsg);

    // Bit 31 of the phone book's REJECT is not "no fax": REJECTFAX alone says so.
    r = lookupCaller(callers, "0777", false, 1, book.search());
    EXPECT_EQ(r.name, "Bit31");
    EXPECT_EQ(r.rule, 0x80000000u);
    EXPECT_FALSE(r.noFax());

    // The table record keeps its blanks.
    ASSERT_TRUE(book.find("0666"));
    EXPECT_EQ(book.find("0666")->name, "Plain" + std::string(45, ' '));
}

TEST_F(PhoneBookTest, UpperCaseFilesFromAnotherSystemAreUsed) {
    writeBook(dir_ + "ISPBK.DBF", {{"0777", "Upper"}});
    // The engine names the index after the table's stem; give it the old spelling.
    fs::rename(dir_ + "ISPBK.mdx", dir_ + "ISPBK.MDX");
    PhoneBook book(&cb_);
    book.open(dir_);
    ASSERT_NE(book.table(), nullptr);
    ASSERT_TRUE(book.find("0777"));
    EXPECT_EQ(book.find("0777")->name.substr(0, 5), "Upper");
    const auto names = files();
    EXPECT_EQ(std::count(names.begin(), names.end(), "ispbk.dbf"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "ispbk.mdx"), 0);
}

TEST_F(PhoneBookTest, MissingIndexIsRebuiltAndDuplicatesKeepTheTableSearchable) {
    static const TAG4INFO kNoUnique[] = {{"UNIQUE", "PHONE", ".NOT.DELETED()", 0, 0},
                                         {nullptr, nullptr, nullptr, 0, 0}};
    writeBook(dir_ + "ispbk", {{"0888", "First"}, {"0888", "Second"}, {"0999", "Other"}}, kNoUnique);
    fs::remove(dir_ + "ispbk.mdx");
    PhoneBook book(&cb_);
    book.open(dir_);
    ASSERT_NE(book.table(), nullptr);
    EXPECT_TRUE(fs::exists(dir_ + "ispbk.mdx"));
    for (auto& r : engineReports()) ADD_FAILURE() << r;
    TAG4* t = d4tagByName(book.table(), "UNIQUE");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->uniqueCode, 0);  // built without uniqueness
    ASSERT_TRUE(book.find("0999"));
    EXPECT_EQ(book.find("0999")->name.substr(0, 5), "Other");
    EXPECT_TRUE(book.find("0888"));
}

TEST_F(PhoneBookTest, IndexLeftWithoutItsTableIsReplaced) {
    {
        std::ofstream stale(dir_ + "ispbk.mdx", std::ios::binary);
        stale << std::string(4096, '\x01');
    }
    PhoneBook book(&cb_);
    book.open(dir_);
    ASSERT_NE(book.table(), nullptr);
    EXPECT_NE(d4tagByName(book.table(), "UNIQUE"), nullptr);
    EXPECT_TRUE(engineReports().empty());
    book.close();
    // The next start opens the new pair as it is.
    PhoneBook again(&cb_);
    again.open(dir_);
    ASSERT_NE(again.table(), nullptr);
    EXPECT_FALSE(again.find("0555"));
    EXPECT_TRUE(engineReports().empty());
}

TEST_F(PhoneBookTest, DamagedOrUnreachableTablesSkipTheSearch) {
    {
        std::ofstream bad(dir_ + "ispbk.dbf", std::ios::binary);
        bad << "not a table";
    }
    {
        std::ofstream bad(dir_ + "ispbk2.dbf", std::ios::binary);
        bad << std::string(600, '\xFF');
    }
    PhoneBook book(&cb_);
    book.open(dir_);
    EXPECT_EQ(book.table(), nullptr);
    EXPECT_EQ(book.table2(), nullptr);
    EXPECT_FALSE(book.find("0555"));
    const CallerLookup r = lookupCaller(nullptr, "0555", false, 1, book.search());
    EXPECT_TRUE(r.unlisted);
    EXPECT_EQ(r.name, "");
    // The damaged files are left for the user, not replaced.
    EXPECT_EQ(fs::file_size(dir_ + "ispbk.dbf"), 11u);

    PhoneBook nowhere(&cb_);
    nowhere.open(dir_ + "missing/dir/");
    EXPECT_EQ(nowhere.table(), nullptr);
    EXPECT_FALSE(nowhere.find("0555"));
}

std::vector<std::string>& logLines() {
    static std::vector<std::string> lines;
    return lines;
}
void captureLog(std::string_view line) { logLines().emplace_back(line); }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void spill(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

TEST_F(PhoneBookTest, AnIndexThatCannotBeUsedIsRebuiltAtTheNextOpen) {
    struct Case {
        const char* what;
        void (*damage)(const std::string& dir, CODE4* cb);
        const char* logged;
    } cases[] = {
        {"append stopped after its keys",
         [](const std::string& dir, CODE4* cb) {
             const std::string before = slurp(dir + "ispbk.dbf");
             DATA4* d = d4open(cb, (dir + "ispbk").c_str());
             d4blank(d);
             f4assign(d4fieldByName(d, "PHONE"), "0999");
             f4assign(d4fieldByName(d, "NAME"), "Never written");
             d4append(d);
             d4close(d);
             spill(dir + "ispbk.dbf", before);
         },
         "does not match"},
        {"update stopped before its keys",
         [](const std::string& dir, CODE4*) {
             std::string b = slurp(dir + "ispbk.dbf");
             const std::size_t header = 32 + 11 * 32 + 1, width = 1 + 25 + 50 + 50 + 25 + 10 + 1 + 3 + 10 + 3;
             b.replace(header + width + 1, 4, "0777");  // record 2's number changes on disk only
             spill(dir + "ispbk.dbf", b);
         },
         "does not match"},
        {"update stopped before its keys, and a second caller with that number",
         [](const std::string& dir, CODE4*) {
             std::string b = slurp(dir + "ispbk.dbf");
             const std::size_t header = 32 + 11 * 32 + 1, width = 1 + 25 + 50 + 50 + 25 + 10 + 1 + 3 + 10 + 3;
             b.replace(header + width + 1, 4, "0777");
             // Record 4 repeats record 2: the unique tag keeps the number once.
             b = b.substr(0, header + 3 * width) + b.substr(header + width, width) + "\x1A";
             b[4] = 4;
             spill(dir + "ispbk.dbf", b);
         },
         "does not match"},
    };
    SetSettingsLogSink(captureLog);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        writeBook(dir_ + "ispbk", {{"0301", "First"}, {"0555", "Second"}, {"0666", "Third"}});
        c.damage(dir_, &cb_);
        logLines().clear();
        engineReports().clear();
        {
            // Whatever a reader meets before the repair, it answers without an error.
            PhoneBook stale(&cb_);
            stale.open(dir_);
            ASSERT_NE(stale.table(), nullptr);
            engineReports().clear();
            EXPECT_EQ(stale.find("0301")->name.substr(0, 5), "First");
            EXPECT_FALSE(stale.find("0999"));
        }
        ASSERT_FALSE(logLines().empty());
        EXPECT_NE(logLines().front().find(c.logged), std::string::npos) << logLines().front();
        EXPECT_TRUE(engineReports().empty());

        logLines().clear();
        PhoneBook book(&cb_);
        book.open(dir_);
        ASSERT_NE(book.table(), nullptr);
        EXPECT_TRUE(logLines().empty()) << "repaired once, not at every open";
        EXPECT_EQ(book.find("0666")->name.substr(0, 5), "Third");
        const bool updated = std::string(c.what).find("update") != std::string::npos;
        EXPECT_EQ(book.find("0777").has_value(), updated);
        EXPECT_EQ(book.find("0555").has_value(), !updated);
        book.close();
    }
    SetSettingsLogSink(nullptr);
}

TEST_F(PhoneBookTest, AnIndexThatIsNotAnIndexLeavesTheTableAsItIs) {
    // Only a file that cannot be opened or read is created or rebuilt; an index that opens
    // as no index does is an error of its own, and both files stay for the user.
    struct Case {
        const char* what;
        std::size_t at, count;
        char byte;
    };
    for (const Case& c : {Case{"header overwritten", 0, 48, '\x7F'},
                          Case{"header cut short by a stopped rebuild", 20, 4, '\0'}}) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        writeBook(dir_ + "ispbk", {{"0301", "First"}});
        std::string index = slurp(dir_ + "ispbk.mdx");
        index.replace(c.at, c.count, std::string(c.count, c.byte));
        spill(dir_ + "ispbk.mdx", index);
        const std::string table = slurp(dir_ + "ispbk.dbf");
        for (int open = 0; open < 2; ++open) {
            engineReports().clear();
            PhoneBook book(&cb_);
            book.open(dir_);
            EXPECT_EQ(book.table(), nullptr);
            EXPECT_FALSE(book.find("0301"));
            EXPECT_TRUE(lookupCaller(nullptr, "0301", false, 1, book.search()).unlisted);
        }
        EXPECT_EQ(slurp(dir_ + "ispbk.mdx"), index);
        EXPECT_EQ(slurp(dir_ + "ispbk.dbf"), table);
    }
}

TEST_F(PhoneBookTest, TableOfAnotherShapeFindsNothing) {
    static const FIELD4INFO kOther[] = {{"PHONE", 'C', 25, 0}, {nullptr, 0, 0, 0}};
    DATA4* d = d4create(&cb_, (dir_ + "ispbk").c_str(), kOther, nullptr);
    ASSERT_NE(d, nullptr);
    d4blank(d);
    f4assign(d4fieldByName(d, "PHONE"), "0555");
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(d4close(d), 0);
    PhoneBook book(&cb_);
    book.open(dir_);
    ASSERT_NE(book.table(), nullptr);  // the index was added
    auto e = book.find("0555");
    ASSERT_TRUE(e);  // found by number; the missing fields read as blank
    EXPECT_EQ(e->name, "");
    EXPECT_EQ(e->reject, 0);
    EXPECT_FALSE(book.find("0556"));
}

}  // namespace
}  // namespace orvelin::settings
