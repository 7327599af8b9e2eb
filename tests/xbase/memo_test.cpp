// Memo files: entry layout, the free chain, memo fields, an outside reader, pack.
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>

#include "tests/xbase/test_util.h"
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
TEST_F(MemoTest, PerlXBaseReadsOurMemos) {
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

}  // namespace
