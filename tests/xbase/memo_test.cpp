// Memo files: entry layout, the free chain, memo fields, an outside reader, pack.
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>

#include "tests/xbase/test_util.h"
#include "xbase/block_cache.h"
#include "xbase/memo.h"

namespace {

uint32_t le32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
           uint32_t(uint8_t(s[at + 3])) << 24;
}

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// GCC 12 at -O3 warns falsely on "R" + std::to_string(i).
std::string recordName(int i) {
    std::string name = std::to_string(i);
    name.insert(name.begin(), 'R');
    return name;
}

class MemoTest : public xbtest::EngineTest {
protected:
    DATA4* create(const char* name = "people") {
        static const FIELD4INFO fields[] = {
            {"NAME", 'C', 10, 0}, {"NOTES", 'M', 10, 0}, {"EXTRA", 'M', 10, 0}, {nullptr, 0, 0, 0}};
        cb.exclusive = 1;
        DATA4* d = d4create(&cb, dir.file(std::string(name) + ".dbf").c_str(), fields, nullptr);
        EXPECT_NE(d, nullptr) << cb.errorCode;
        return d;
    }
    std::string memoPath(const char* name = "people") { return dir.file(std::string(name) + ".dbt"); }
    std::string memoBytes() { return xbtest::readAll(memoPath()); }
    // Appends a record with the given memo texts.
    void append(DATA4* d, const std::string& name, const std::string& notes, const std::string& extra = "") {
        d4blank(d);
        f4assign(d4fieldByName(d, "NAME"), name.c_str());
        ASSERT_EQ(f4memoAssignN(d4fieldByName(d, "NOTES"), notes.data(), uint32_t(notes.size())), 0);
        ASSERT_EQ(f4memoAssignN(d4fieldByName(d, "EXTRA"), extra.data(), uint32_t(extra.size())), 0);
        ASSERT_EQ(d4append(d), 0) << cb.errorCode;
    }
    std::string memoOf(DATA4* d, int32_t rec, const char* field = "NOTES") {
        EXPECT_EQ(d4go(d, rec), 0);
        FIELD4* f = d4fieldByName(d, field);
        const char* p = f4memoPtr(f);
        return p != nullptr ? std::string(p, f4memoLen(f)) : std::string("<null>");
    }
};

TEST_F(MemoTest, NewFileAndFirstEntryByteExact) {
    DATA4* d = create();
    ASSERT_NE(d, nullptr);
    std::string m = memoBytes();
    ASSERT_EQ(m.size(), 24u);
    EXPECT_EQ(le32(m, 0), 1u);
    EXPECT_EQ(le32(m, 4), 0u);
    EXPECT_EQ(m.substr(8, 8), std::string("PEOPLE\0\0", 8));
    EXPECT_EQ(m.substr(16, 8), std::string("\0\0\x02\x01\x00\x02\0\0", 8));

    const std::string hundred(100, 'a');
    append(d, "Smith", hundred);
    ASSERT_EQ(d4flush(d), 0);
    m = memoBytes();
    ASSERT_EQ(m.size(), 1024u);
    EXPECT_EQ(le32(m, 0), 2u);
    EXPECT_EQ(m.substr(512, 8), std::string("\xFF\xFF\x08\x00\x6C\x00\x00\x00", 8));
    EXPECT_EQ(m.substr(520, 100), hundred);
    // The reference: right-aligned, blank-padded.
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "NOTES")), 10), "         1");
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "EXTRA")), 10), "          ");
    EXPECT_EQ(memoOf(d, 1), hundred);
    EXPECT_EQ(memoOf(d, 1, "EXTRA"), "");
}

TEST_F(MemoTest, RewriteShorterReusesTheTailAndFreesTheHead) {
    DATA4* d = create();
    ASSERT_NE(d, nullptr);
    append(d, "A", std::string(600, 'x'));  // blocks 1 and 2
    ASSERT_EQ(memoBytes().size(), 1536u);
    EXPECT_EQ(le32(memoBytes(), 0), 3u);
    ASSERT_EQ(d4go(d, 1), 0);
    ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTES"), std::string(100, 'y').c_str()), 0);
    ASSERT_EQ(d4flush(d), 0);
    const std::string m = memoBytes();
    EXPECT_EQ(m.size(), 1536u);
    EXPECT_EQ(le32(m, 0), 1u);                  // the freed first block heads the chain
    EXPECT_EQ(le32(m, 512), 3u);                // next: the open end
    EXPECT_EQ(le32(m, 516), 1u);                // one block long
    EXPECT_EQ(m.substr(1024, 8), std::string("\xFF\xFF\x08\x00\x6C\x00\x00\x00", 8));
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "NOTES")), 10), "         2");
    EXPECT_EQ(memoOf(d, 1), std::string(100, 'y'));

    // An empty memo drops the reference and frees its run, which merges with its neighbour.
    ASSERT_EQ(d4go(d, 1), 0);
    ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTES"), ""), 0);
    ASSERT_EQ(d4flush(d), 0);
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "NOTES")), 10), std::string(10, ' '));
    const std::string after = memoBytes();
    EXPECT_EQ(le32(after, 0), 1u);
    EXPECT_EQ(le32(after, 512), 3u);
    EXPECT_EQ(le32(after, 516), 2u);
    // The next entry of one block takes the tail of that run.
    append(d, "B", "hello");
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "NOTES")), 10), "         2");
    EXPECT_EQ(memoBytes().size(), 1536u);
}

TEST_F(MemoTest, LongMemosReadBack) {
    DATA4* d = create();
    ASSERT_NE(d, nullptr);
    std::string big(65527, 'q');
    big[0] = 'A';
    big.back() = 'Z';
    append(d, "Big", big);
    std::string bigger(200000, 'r');
    append(d, "Bigger", bigger);
    EXPECT_TRUE(memoOf(d, 1) == big);
    EXPECT_TRUE(memoOf(d, 2) == bigger);
    EXPECT_EQ(cb.errorCode, 0);
    char buf[4];
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_EQ(f4memoCopyTo(d4fieldByName(d, "NOTES"), buf, 4), 3u);
    EXPECT_STREQ(buf, "Aqq");
    EXPECT_EQ(f4memoCopyTo(d4fieldByName(d, "NOTES"), buf, 0), 0u);
}

TEST_F(MemoTest, DamagedEntriesAndChainsAreRefused) {
    DATA4* d = create();
    ASSERT_NE(d, nullptr);
    append(d, "A", "first");
    append(d, "B", "second");
    ASSERT_EQ(d4close(d), 0);
    std::string m = xbtest::readAll(memoPath());
    // Entry of record 2 claims a length below its own header.
    std::string bad = m;
    bad[1024 + 4] = 3;
    xbtest::writeAll(memoPath(), bad);
    d = d4open(&cb, dir.file("people.dbf").c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(memoOf(d, 1), "first");
    ASSERT_EQ(d4go(d, 2), 0);
    EXPECT_EQ(f4memoRead(d4fieldByName(d, "NOTES")), err4info);
    cb.errorCode = 0;
    ASSERT_EQ(d4close(d), 0);
    // A length reaching past the end of the file.
    bad = m;
    bad[1024 + 6] = 0x7F;
    xbtest::writeAll(memoPath(), bad);
    d = d4open(&cb, dir.file("people.dbf").c_str());
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d4go(d, 2), 0);
    EXPECT_EQ(f4memoRead(d4fieldByName(d, "NOTES")), err4info);
    cb.errorCode = 0;
    ASSERT_EQ(d4close(d), 0);
    // A free chain that loops back on itself: writes still terminate and append.
    bad = m;
    bad[0] = 1;  // header names block 1 (a live entry) as free
    xbtest::writeAll(memoPath(), bad);
    d = d4open(&cb, dir.file("people.dbf").c_str());
    ASSERT_NE(d, nullptr);
    append(d, "C", "third");
    EXPECT_EQ(memoOf(d, 1), "first");
    EXPECT_EQ(memoOf(d, 3), "third");
    ASSERT_EQ(d4close(d), 0);
}

// Memos we write read back the same in an independent reader.
TEST_F(MemoTest, AnOutsideReaderReadsOurMemos) {
    if (!std::filesystem::exists("/usr/bin/dbf_dump")) GTEST_SKIP() << "dbf_dump (libdbd-xbase-perl) not installed";
    DATA4* d = create();
    ASSERT_NE(d, nullptr);
    append(d, "Smith", "Line one", "x");
    append(d, "Jones", std::string(1000, 'j'), "");
    append(d, "Brown", "short", std::string(513, 'b'));
    // A rewrite and a deletion of contents, so the free chain is in use.
    ASSERT_EQ(d4go(d, 2), 0);
    ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTES"), "now short"), 0);
    ASSERT_EQ(d4go(d, 1), 0);
    ASSERT_EQ(f4memoAssign(d4fieldByName(d, "EXTRA"), ""), 0);
    ASSERT_EQ(d4close(d), 0);
    const std::string out = run("/usr/bin/dbf_dump --fs '|' " + dir.file("people.dbf"));
    EXPECT_EQ(out, "Smith|Line one|\nJones|now short|\nBrown|short|" + std::string(513, 'b') + "\n");
}

// Every block of the file is the header, part of exactly one live entry, or part of exactly
// one free run; the chain ascends and ends at the end of the file.
void checkFreeChain(const std::string& m, const std::map<int64_t, std::string>& live, std::string& why) {
    const int64_t bs = 512;
    ASSERT_EQ(m.size() % bs, 0u);
    const int64_t blocks = int64_t(m.size()) / bs;
    std::vector<int> owner(size_t(blocks), 0);
    owner[0] = 1;
    for (const auto& [block, text] : live) {
        const int64_t n = (int64_t(text.size()) + 8 + bs - 1) / bs;
        for (int64_t b = block; b < block + n; ++b) {
            ASSERT_LT(b, blocks) << why;
            ASSERT_EQ(owner[size_t(b)], 0) << "block " << b << " twice " << why;
            owner[size_t(b)] = 2;
        }
    }
    int64_t next = le32(m, 0);
    int64_t last = 0;
    while (next < blocks) {
        ASSERT_GT(next, last) << why;
        const int64_t len = le32(m, size_t(next * bs) + 4);
        ASSERT_GT(len, 0) << why;
        for (int64_t b = next; b < next + len; ++b) {
            ASSERT_LT(b, blocks) << why;
            ASSERT_EQ(owner[size_t(b)], 0) << "free block " << b << " also used " << why;
            owner[size_t(b)] = 3;
        }
        last = next;
        next = le32(m, size_t(next * bs));
    }
    ASSERT_EQ(next, blocks) << why;
    for (int64_t b = 0; b < blocks; ++b) ASSERT_NE(owner[size_t(b)], 0) << "block " << b << " lost " << why;
}

TEST_F(MemoTest, RandomWritesAgainstAModel) {
    DATA4* d = create();
    ASSERT_NE(d, nullptr);
    MEMO4FILE* mf = &d->memoFile;
    std::mt19937 rng(7);
    std::map<int, int32_t> refOf;            // slot -> block
    std::map<int, std::string> model;        // slot -> contents
    const int slots = 40;
    for (int step = 0; step < 800; ++step) {
        const int slot = int(rng() % slots);
        const int kind = int(rng() % 10);
        std::string text;
        if (kind >= 2) {
            const size_t len = kind < 6 ? rng() % 600 : kind < 9 ? rng() % 3000 : rng() % 20000;
            text.assign(len, char('a' + rng() % 26));
            if (len > 0) text[len / 2] = char('A' + step % 26);
        }
        int32_t block = refOf.count(slot) ? refOf[slot] : 0;
        ASSERT_EQ(memo4file_write(mf, &block, text.data(), uint32_t(text.size())), 0) << step;
        if (text.empty()) {
            ASSERT_EQ(block, 0);
            refOf.erase(slot);
            model.erase(slot);
        } else {
            ASSERT_GT(block, 0);
            refOf[slot] = block;
            model[slot] = text;
        }
        // Everything the model holds reads back, and the chain accounts for every block.
        char* buf = nullptr;
        uint32_t cap = 0;
        std::map<int64_t, std::string> live;
        for (const auto& [s, b] : refOf) {
            uint32_t len = 0;
            ASSERT_EQ(memo4file_read(mf, b, &buf, &len, &cap), 0);
            ASSERT_EQ(std::string(buf, len), model[s]) << "step " << step << " slot " << s;
            live[b] = model[s];
        }
        u4globalFree(buf);
        std::string why = "after step " + std::to_string(step);
        ASSERT_EQ(file4flush(&mf->file), 0);
        checkFreeChain(xbtest::readAll(memoPath()), live, why);
        if (HasFatalFailure()) return;
    }
}

TEST_F(MemoTest, PackCompactsAndKeepsContents) {
    DATA4* d = create();
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 12; ++i) append(d, recordName(i), std::string(size_t(100 + i * 300), char('a' + i)),
                                        i % 3 == 0 ? std::string(50, 'z') : "");
    for (int i = 1; i <= 12; i += 2) {
        ASSERT_EQ(d4go(d, i), 0);
        ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTES"), ""), 0);
    }
    ASSERT_EQ(d4flush(d), 0);
    const size_t before = memoBytes().size();
    ASSERT_EQ(d4memoPack(d), 0) << cb.errorCode;
    const std::string m = memoBytes();
    EXPECT_LT(m.size(), before);
    EXPECT_EQ(le32(m, 0), uint32_t(m.size() / 512));  // no free runs left
    for (int i = 0; i < 12; ++i) {
        // Records 1, 3, 5 ... lost their notes.
        EXPECT_TRUE(memoOf(d, i + 1) == (i % 2 == 1 ? std::string(size_t(100 + i * 300), char('a' + i)) : "")) << i;
        EXPECT_EQ(memoOf(d, i + 1, "EXTRA"), i % 3 == 0 ? std::string(50, 'z') : "") << i;
    }
    // Entries in record order from block 1, references zero-padded.
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "EXTRA")), 10), "0000000001");
    ASSERT_EQ(d4go(d, 2), 0);
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "NOTES")), 10), "0000000002");
    EXPECT_EQ(dir.entries(), 2u);  // no temporary file left
}

// A pack that fails at any of its writes leaves the table and the memo file as they were,
// whether the new file is renamed into place (exclusive) or copied over the old (shared).
class PackFailure : public MemoTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PackFailure, AtAnyWriteChangesNothing) {
    DATA4* d = create();
    cb.exclusive = GetParam() ? 1 : 0;
    ASSERT_EQ(d4close(d), 0);
    d = d4open(&cb, dir.file("people.dbf").c_str());
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 6; ++i) append(d, recordName(i), std::string(size_t(700 + i), char('a' + i)), "e");
    ASSERT_EQ(d4go(d, 2), 0);
    ASSERT_EQ(f4memoAssign(d4fieldByName(d, "NOTES"), ""), 0);
    ASSERT_EQ(d4flush(d), 0);
    const std::string table = xbtest::readAll(dir.file("people.dbf"));
    const std::string memo = memoBytes();
    int failures = 0;
    for (int at = 1; at < 100; ++at) {
        // The at-th write from here fails as a full disk would.
        file4injectWriteFailure(at);
        const int rc = d4memoPack(d);
        file4injectWriteFailure(-1);
        if (rc == 0) break;  // fewer writes than that: every write point has been tried
        ++failures;
        EXPECT_EQ(rc, -1) << at;
        cb.errorCode = 0;
        EXPECT_EQ(xbtest::readAll(dir.file("people.dbf")), table) << "failure at write " << at;
        EXPECT_EQ(memoBytes(), memo) << "failure at write " << at;
        EXPECT_EQ(dir.entries(), 2u) << "no temporary file left, failure at write " << at;
    }
    EXPECT_GT(failures, 10);  // entries, records and the replacement were all tried
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_EQ(std::string(f4ptr(d4fieldByName(d, "NOTES")), 10), "0000000001");  // the last run packed
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(memoOf(d, i + 1) == (i == 1 ? "" : std::string(size_t(700 + i), char('a' + i)))) << i;
}

INSTANTIATE_TEST_SUITE_P(ExclusiveAndShared, PackFailure, ::testing::Bool());

TEST_F(MemoTest, MemoFieldStates) {
    DATA4* d = create();
    ASSERT_NE(d, nullptr);
    append(d, "A", "alpha");
    FIELD4* notes = d4fieldByName(d, "NOTES");
    FIELD4* name = d4fieldByName(d, "NAME");
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_EQ(f4memoLen(notes), 5u);
    EXPECT_STREQ(f4memoStr(notes), "alpha");
    f4memoFree(notes);
    EXPECT_STREQ(f4memoStr(notes), "alpha");  // loaded again
    ASSERT_EQ(f4memoSetLen(notes, 3), 0);
    EXPECT_STREQ(f4memoStr(notes), "alp");
    EXPECT_EQ(d4changed(d, -1), 1);
    f4memoReset(notes);  // drops the unsaved change
    EXPECT_STREQ(f4memoStr(notes), "alpha");
    // A record without contents reads as empty text, not as the record read before it.
    append(d, "B", "");
    ASSERT_EQ(d4go(d, 1), 0);
    EXPECT_STREQ(f4memoStr(notes), "alpha");
    ASSERT_EQ(d4go(d, 2), 0);
    EXPECT_EQ(f4memoLen(notes), 0u);
    EXPECT_STREQ(f4memoStr(notes), "");
    ASSERT_EQ(d4go(d, 1), 0);
    // Plain fields fall back to the field routines.
    EXPECT_EQ(f4memoAssign(name, "Bob"), 0);
    EXPECT_EQ(f4memoLen(name), 10u);
    EXPECT_EQ(std::string(f4memoPtr(name), 10), "Bob       ");
}

// One memo field, written through record updates.

using xbtest::EngineTest;
using xbtest::readAll;
using xbtest::writeAll;


uint32_t u32(const std::string& s, size_t at) {
  return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8 |
         static_cast<unsigned char>(s[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

class MemoFieldTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const FIELD4INFO fields[] = {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
    d = d4create(&cb, dir.file("m").c_str(), fields, nullptr);
    ASSERT_NE(d, nullptr);
    note = d4fieldByName(d, "NOTE");
    name = d4fieldByName(d, "NAME");
  }

  // Appends a record with the memo, writing the memo through a record update.
  void appendWith(const std::string& text) {
    d4blank(d);
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(f4memoAssignN(note, text.data(), static_cast<uint32_t>(text.size())), 0);
    ASSERT_EQ(d4flush(d), 0);
  }

  std::string memoOf(int32_t n) {
    EXPECT_EQ(d4go(d, n), 0);
    return std::string(f4memoPtr(note), f4memoLen(note));
  }

  std::string memoFile() { return readAll(dir.file("m.dbt")); }

  DATA4* d = nullptr;
  FIELD4* note = nullptr;
  FIELD4* name = nullptr;
};

TEST_F(MemoFieldTest, FirstMemoLayout) {
  appendWith(std::string(100, 'a'));
  std::string f = memoFile();
  ASSERT_EQ(f.size(), 1024u);
  EXPECT_EQ(u32(f, 0), 2u) << "the end of the file is the next free block";
  EXPECT_EQ(f.substr(512, 8), std::string("\xFF\xFF\x08\x00\x6C\x00\x00\x00", 8));
  EXPECT_EQ(f.substr(520, 100), std::string(100, 'a'));
  EXPECT_EQ(std::string(f4ptr(note), 10), "         1");
  EXPECT_EQ(memoOf(1), std::string(100, 'a'));
}

TEST_F(MemoFieldTest, RewriteShorterReusesTheTailAndFreesTheHead) {
  appendWith(std::string(600, 'b'));
  EXPECT_EQ(memoFile().size(), 1536u);
  ASSERT_EQ(f4memoAssign(note, std::string(100, 'c').c_str()), 0);
  ASSERT_EQ(d4flush(d), 0);
  std::string f = memoFile();
  EXPECT_EQ(std::string(f4ptr(note), 10), "         2");
  EXPECT_EQ(u32(f, 0), 1u) << "the freed block heads the chain";
  EXPECT_EQ(u32(f, 512), 3u) << "and links to the end";
  EXPECT_EQ(u32(f, 516), 1u);
  EXPECT_EQ(memoOf(1), std::string(100, 'c'));

  // An empty memo frees its run and blanks the field.
  ASSERT_EQ(d4go(d, 1), 0);
  ASSERT_EQ(f4memoAssign(note, ""), 0);
  ASSERT_EQ(d4flush(d), 0);
  EXPECT_EQ(std::string(f4ptr(note), 10), std::string(10, ' '));
  f = memoFile();
  EXPECT_EQ(u32(f, 0), 1u);
  EXPECT_EQ(u32(f, 512), 3u);
  EXPECT_EQ(u32(f, 516), 2u) << "merged with the run before it";
  EXPECT_EQ(memoOf(1), "");
}

TEST_F(MemoFieldTest, LargeMemosHaveNoSixteenBitLimit) {
  std::string big(70000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  appendWith(big);
  EXPECT_EQ(memoOf(1), big);
  char small[5];
  EXPECT_EQ(f4memoCopyTo(note, small, sizeof(small)), 4u);
  EXPECT_STREQ(small, "abcd");
  EXPECT_EQ(f4memoCopyTo(note, small, 0), 0u);
}

TEST_F(MemoFieldTest, AnOutsideReaderReadsRewrittenMemos) {
  if (!std::filesystem::exists("/usr/bin/dbf_dump")) GTEST_SKIP() << "dbf_dump (libdbd-xbase-perl) not installed";
  appendWith("first memo");
  appendWith(std::string(700, 'z'));
  appendWith("");
  ASSERT_EQ(d4go(d, 1), 0);
  ASSERT_EQ(f4memoAssign(note, "rewritten"), 0);
  ASSERT_EQ(d4close(d), 0);
  d = nullptr;
  std::string cmd = "/usr/bin/dbf_dump --fs '|' " + dir.file("m.dbf");
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  EXPECT_EQ(out, "|rewritten\n|" + std::string(700, 'z') + "\n|\n");
}

// Free-chain invariants: ascending, non-overlapping runs inside the file that
// never cover a live entry.
void checkChain(const std::string& f, const std::map<int, std::pair<int32_t, std::string>>& live) {
  const uint32_t bs = 512;
  uint32_t endBlock = static_cast<uint32_t>((f.size() + bs - 1) / bs);
  uint32_t next = u32(f, 0);
  uint32_t floor = 1;
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  while (next < endBlock) {
    ASSERT_GE(next, floor) << "chain not ascending";
    uint32_t len = u32(f, next * bs + 4);
    ASSERT_GE(len, 1u);
    ASSERT_LE(next + len, endBlock);
    runs.push_back({next, len});
    floor = next + len;
    next = u32(f, next * bs);
    ASSERT_LE(runs.size(), endBlock);
  }
  for (const auto& [rec, entry] : live) {
    int32_t block = entry.first;
    if (block == 0) continue;
    uint32_t blocks = static_cast<uint32_t>((entry.second.size() + 8 + bs - 1) / bs);
    for (const auto& r : runs)
      ASSERT_TRUE(static_cast<uint32_t>(block) + blocks <= r.first || r.first + r.second <= static_cast<uint32_t>(block))
          << "free run covers the memo of record " << rec;
  }
}

TEST_F(MemoFieldTest, RandomModelOfWritesRewritesAndDeletes) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> record(1, 12);
  std::uniform_int_distribution<int> size(0, 3000);
  std::map<int, std::pair<int32_t, std::string>> model;
  for (int i = 1; i <= 12; ++i) {
    appendWith("");
    model[i] = {0, ""};
  }
  for (int step = 0; step < 400; ++step) {
    int n = record(rng);
    std::string text(static_cast<size_t>(size(rng) < 300 ? 0 : size(rng)), static_cast<char>('A' + step % 26));
    ASSERT_EQ(d4go(d, n), 0);
    ASSERT_EQ(f4memoAssignN(note, text.data(), static_cast<uint32_t>(text.size())), 0);
    ASSERT_EQ(d4flush(d), 0);
    model[n] = {static_cast<int32_t>(f4long(note)), text};
    if (step % 40 == 0) {
      for (const auto& [rec, entry] : model) ASSERT_EQ(memoOf(rec), entry.second) << rec;
      checkChain(memoFile(), model);
    }
  }
  for (const auto& [rec, entry] : model) ASSERT_EQ(memoOf(rec), entry.second) << rec;
  checkChain(memoFile(), model);

  size_t before = memoFile().size();
  ASSERT_EQ(d4memoPack(d), 0);
  std::string packed = memoFile();
  EXPECT_LE(packed.size(), before);
  EXPECT_EQ(u32(packed, 0), (packed.size() + 511) / 512) << "no free runs after a pack";
  for (const auto& [rec, entry] : model) {
    ASSERT_EQ(memoOf(rec), entry.second) << rec;
    std::string ref(f4ptr(note), 10);
    if (!entry.second.empty()) {
      EXPECT_EQ(ref[0], '0') << "references are zero-padded";
    }
  }
  EXPECT_EQ(dir.entries(), 2u) << "no temporary file left";
}

// Without the block cache and with it: the cache stands aside during the pack and runs
// again afterwards, whether the pack failed or not.
TEST_F(MemoFieldTest, FailedPackLeavesBothFilesAsTheyWere) {
  for (int i = 0; i < 6; ++i) appendWith(std::string(static_cast<size_t>(100 + 300 * i), static_cast<char>('a' + i)));
  cb.errorOff = 1;
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cache running" : "no cache");
    if (cached) {
      ASSERT_EQ(code4cacheStart(&cb), 0);
      ASSERT_EQ(d4optimize(d, 1), 0);
    }
    ASSERT_EQ(d4go(d, cached ? 3 : 2), 0);
    ASSERT_EQ(f4memoAssign(note, ""), 0);
    ASSERT_EQ(d4flush(d), 0);
    const std::string table = readAll(dir.file("m.dbf"));
    const std::string memo = memoFile();
    for (int failAt = 1; failAt <= 8; ++failAt) {
      file4injectWriteFailure(failAt);
      EXPECT_NE(d4memoPack(d), 0) << failAt;
      file4injectWriteFailure(-1);
      error4set(&cb, 0);
      d4unlockAll(d);
      EXPECT_EQ(code4cacheRunning(&cb) != 0, cached) << failAt;
      EXPECT_EQ(readAll(dir.file("m.dbf")), table) << failAt;
      EXPECT_EQ(memoFile(), memo) << failAt;
      EXPECT_EQ(dir.entries(), 2u) << failAt;
    }
    ASSERT_EQ(d4memoPack(d), 0);
    EXPECT_EQ(code4cacheRunning(&cb) != 0, cached);
    EXPECT_LT(memoFile().size(), memo.size());
    EXPECT_EQ(memoOf(6), std::string(1600, 'f'));
    EXPECT_EQ(memoOf(cached ? 2 : 3), cached ? "" : std::string(700, 'c'));
  }
}

TEST_F(MemoFieldTest, DamagedEntriesAndChains) {
  appendWith(std::string(100, 'a'));
  appendWith(std::string(100, 'b'));
  ASSERT_EQ(d4close(d), 0);
  std::string good = memoFile();
  cb.errorOff = 1;
  auto reopenAndRead = [&](const std::string& bytes, int32_t n) {
    writeAll(dir.file("m.dbt"), bytes);
    error4set(&cb, 0);
    d = d4open(&cb, dir.file("m").c_str());
    EXPECT_NE(d, nullptr);
    note = d4fieldByName(d, "NOTE");
    EXPECT_EQ(d4go(d, n), 0);
    (void)f4memoLen(note);
    int code = cb.errorCode;
    error4set(&cb, 0);
    return code;
  };
  std::string shortEntry = good;
  shortEntry[512 + 4] = 3;
  EXPECT_EQ(reopenAndRead(shortEntry, 1), err4info) << "stored length below 8";
  d4close(d);
  std::string pastEnd = good;
  pastEnd[512 + 6] = 0x10;
  EXPECT_EQ(reopenAndRead(pastEnd, 1), err4info) << "entry past the end of the file";
  d4close(d);
  std::string noMark = good;
  noMark[1024] = 0;
  EXPECT_EQ(reopenAndRead(noMark, 2), 0);
  EXPECT_EQ(f4memoLen(note), 0u) << "no entry mark: no contents";
  d4close(d);

  // A chain that loops back on itself is not followed around.
  std::string loop = good;
  loop[0] = 1;                       // head -> block 1 (a live entry!)
  loop[512] = 1; loop[513] = 0; loop[514] = 0; loop[515] = 0;
  loop[516] = 1;
  EXPECT_EQ(reopenAndRead(loop, 2), 0);
  ASSERT_EQ(f4memoAssign(note, std::string(50, 'q').c_str()), 0);
  EXPECT_EQ(d4flush(d), 0);
  EXPECT_EQ(memoOf(2), std::string(50, 'q'));
  d4close(d);
  d = nullptr;
  writeAll(dir.file("m.dbt"), std::string("\x01\0\0\0", 4));
  error4set(&cb, 0);
  // The table still opens; its memo reads report the short header.
  d = d4open(&cb, dir.file("m").c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(cb.errorCode, 0);
  ASSERT_EQ(d4go(d, 1), 0);
  EXPECT_EQ(f4memoRead(d4fieldByName(d, "NOTE")), -1);
  EXPECT_EQ(cb.errorCode, err4read);
  error4set(&cb, 0);
  d4close(d);
}

} // namespace

namespace {

TEST_F(EngineTest, PackOfAnExclusiveTableRenamesTheFreshFile) {
  cb.exclusive = 1;
  const FIELD4INFO fields[] = {{"NOTE", 'M', 10, 0}, {nullptr, 0, 0, 0}};
  DATA4* d = d4create(&cb, dir.file("ex").c_str(), fields, nullptr);
  ASSERT_NE(d, nullptr);
  FIELD4* note = d4fieldByName(d, "NOTE");
  for (int i = 0; i < 5; ++i) {
    d4blank(d);
    ASSERT_EQ(d4append(d), 0);
    ASSERT_EQ(f4memoAssign(note, std::string(static_cast<size_t>(600 * (5 - i)), static_cast<char>('a' + i)).c_str()), 0);
    ASSERT_EQ(d4flush(d), 0);
  }
  for (int n : {1, 3}) {
    ASSERT_EQ(d4go(d, n), 0);
    ASSERT_EQ(f4memoAssign(note, ""), 0);
  }
  ASSERT_EQ(d4flush(d), 0);
  size_t before = xbtest::readAll(dir.file("ex.dbt")).size();
  ASSERT_EQ(d4memoPack(d), 0);
  EXPECT_LT(xbtest::readAll(dir.file("ex.dbt")).size(), before);
  for (int n = 1; n <= 5; ++n) {
    ASSERT_EQ(d4go(d, n), 0);
    std::string want = n == 1 || n == 3 ? "" : std::string(static_cast<size_t>(600 * (6 - n)), static_cast<char>('a' + n - 1));
    EXPECT_EQ(std::string(f4memoPtr(note), f4memoLen(note)), want) << n;
  }
  // The renamed file is the one the table now writes to.
  ASSERT_EQ(d4go(d, 1), 0);
  ASSERT_EQ(f4memoAssign(note, "after pack"), 0);
  ASSERT_EQ(d4close(d), 0);
  d = d4open(&cb, dir.file("ex").c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d4go(d, 1), 0);
  EXPECT_STREQ(f4memoStr(d4fieldByName(d, "NOTE")), "after pack");
  EXPECT_EQ(dir.entries(), 2u);
  d4close(d);
}

}  // namespace
