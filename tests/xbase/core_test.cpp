#include "test_util.h"
#include "xbase/block_cache.h"
#include "xbase/dates.h"
#include "xbase/numbers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

using xbtest::EngineTest;
using xbtest::readAll;
using xbtest::reports;
using xbtest::writeAll;

namespace {

const FIELD4INFO kOneField[] = {{"NAME", 'C', 10, 0}, {nullptr, 0, 0, 0}};

TEST(Code4, InitSetsDefaultsAndIgnoresNull) {
  EXPECT_EQ(code4init(nullptr), -1);
  CODE4 cb{};
  ASSERT_EQ(code4init(&cb), 0);
  EXPECT_EQ(cb.lockAttempts, -1);
  EXPECT_EQ(cb.safety, 1);
  EXPECT_EQ(cb.autoOpen, 1);
  EXPECT_EQ(cb.errorOff, 0);
  EXPECT_EQ(cb.defaultUnique, 25);
  EXPECT_STREQ(cb.dateFormat, "MM/DD/YY");
  EXPECT_EQ(cb.blockSize, 1024);
  EXPECT_EQ(cb.sortPoolSize, 61440);
  EXPECT_EQ(cb.memoBlockSize, 512);
  EXPECT_EQ(cb.cacheLimit, 0xF0000);
  EXPECT_EQ(cb.cacheMode, -1);
  EXPECT_EQ(cb.goError, 1);
  EXPECT_EQ(cb.openError, 1);
  EXPECT_EQ(cb.createError, 1);
  EXPECT_EQ(cb.exclusive, 0);
  EXPECT_EQ(cb.readOnly, 0);
  code4release(&cb);
}

TEST_F(EngineTest, InitIsRefusedWhileTablesAreOpen) {
  DATA4* d = d4create(&cb, dir.file("t").c_str(), kOneField, nullptr);
  ASSERT_NE(d, nullptr);
  cb.lockAttempts = 7;
  EXPECT_EQ(code4init(&cb), -1);
  EXPECT_EQ(cb.lockAttempts, 7);
  EXPECT_EQ(cb.dataList.count, 1);
  EXPECT_EQ(code4findData(&cb, "t"), d);
  EXPECT_EQ(code4findData(&cb, "other"), nullptr);
  (void)f4str(d4fieldByNumber(d, 1)); // a work buffer to hand back on the next init
  EXPECT_EQ(code4closeAll(&cb), 0);
  EXPECT_EQ(code4init(&cb), 0);
  EXPECT_EQ(cb.fieldBuffer, nullptr);
  EXPECT_EQ(cb.lockAttempts, -1);
}

struct Node {
  LINK4 link;
  int value;
};

TEST(List4, OrderRemovalAndSelection) {
  LIST4 list{};
  Node a{{}, 1}, b{{}, 2}, c{{}, 3};
  EXPECT_EQ(l4first(&list), nullptr);
  EXPECT_EQ(l4pop(&list), nullptr);
  l4append(&list, &a.link);
  l4remove(&list, &a.link);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.last, nullptr);
  EXPECT_EQ(list.selected, nullptr);

  l4append(&list, &a.link);
  list.selected = &a.link;
  l4remove(&list, &a.link);
  EXPECT_EQ(list.selected, nullptr) << "the only element leaves no selection";

  l4append(&list, &a.link);
  l4addAfter(&list, &a.link, &c.link); // c becomes last
  l4addBefore(&list, &c.link, &b.link);
  EXPECT_EQ(l4last(&list), &c.link);
  EXPECT_EQ(l4next(&list, nullptr), &a.link);
  EXPECT_EQ(l4next(&list, &a.link), &b.link);
  EXPECT_EQ(l4next(&list, &c.link), nullptr);
  EXPECT_EQ(l4prev(&list, nullptr), &c.link);
  EXPECT_EQ(l4prev(&list, &a.link), nullptr);
  EXPECT_EQ(l4seek(&list, &b.link), 1);

  list.selected = &b.link;
  l4remove(&list, &b.link);
  EXPECT_EQ(list.selected, &a.link) << "selection moves to the predecessor";
  EXPECT_EQ(l4seek(&list, &b.link), 0);
  EXPECT_EQ(l4pop(&list), &c.link);
  EXPECT_EQ(l4last(&list), &a.link);
  EXPECT_EQ(list.count, 1);
}

TEST_F(EngineTest, PoolsGrowByStartThenExpandAndShareEqualUnits) {
  MEM4* pool = mem4pool(&cb, 3, 40, 2, 0);
  ASSERT_NE(pool, nullptr);
  std::vector<void*> units;
  for (int i = 0; i < 3; ++i) units.push_back(mem4take(pool, &cb));
  EXPECT_EQ(pool->chunks.count, 1);
  units.push_back(mem4take(pool, &cb));
  EXPECT_EQ(pool->chunks.count, 2);
  EXPECT_EQ(pool->freeUnits.count, 1) << "second chunk has the expand count";
  for (void* u : units) {
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(u) % alignof(std::max_align_t), 0u);
    std::memset(u, 0xAB, 40);
  }
  MEM4* shared = mem4pool(&cb, 8, 40, 1, 0);
  EXPECT_EQ(shared, pool);
  EXPECT_EQ(pool->unitStart, 8);
  EXPECT_EQ(pool->users, 2);
  MEM4* priv = mem4pool(&cb, 1, 40, 1, 1);
  EXPECT_NE(priv, pool);
  EXPECT_EQ(priv->users, -1);
  for (void* u : units) mem4give(pool, u);
  mem4poolRelease(shared);
  mem4poolRelease(pool);
  mem4poolRelease(priv);
}

TEST_F(EngineTest, ErrorBoxText) {
  error4reportEx(&cb, err4memory, "Sorting", nullptr, nullptr);
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_EQ(reports()[0].caption, "TABLE ENGINE ERROR");
  EXPECT_EQ(reports()[0].text, "Error #: -920\nOut of Memory\nSorting\n");
  EXPECT_EQ(reports()[0].systemModal, 1);
  EXPECT_EQ(cb.errorCode, -920);

  error4report(&cb, err4noMemo, nullptr);
  EXPECT_EQ(reports()[1].text.substr(0, 14), "Error #: ****\n");
  EXPECT_EQ(reports()[1].systemModal, 0);

  std::string l1(100, 'a'), l2(100, 'b'), l3(100, 'c');
  error4reportEx(&cb, err4read, l1.c_str(), l2.c_str(), l3.c_str());
  EXPECT_EQ(reports()[2].text, "Error #:  -70\nReading File\n" + l1 + "\n" + l2 + "\n");

  cb.errorOff = 1;
  EXPECT_EQ(error4report(&cb, err4open, "x"), err4open);
  EXPECT_EQ(reports().size(), 3u);
  EXPECT_EQ(cb.errorCode, err4open);
  EXPECT_EQ(error4set(&cb, 0), err4open);
  EXPECT_STREQ(error4text(-330), "Tag Name not Found");
  EXPECT_EQ(error4text(-1), nullptr);
}

TEST_F(EngineTest, PendingErrorBlocksUntilCleared) {
  std::string path = dir.file("f.bin");
  writeAll(path, "abc");
  error4set(&cb, err4read);
  FILE4 f;
  EXPECT_EQ(file4open(&f, &cb, path.c_str(), 1), -1);
  EXPECT_EQ(d4open(&cb, path.c_str()), nullptr);
  EXPECT_EQ(d4create(&cb, dir.file("n").c_str(), kOneField, nullptr), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir.file("n.dbf")));
  error4set(&cb, 0);
  EXPECT_EQ(file4open(&f, &cb, path.c_str(), 1), 0);
  file4close(&f);
}

TEST_F(EngineTest, CreateHonoursSafetyAndNeverTruncatesOnOpen) {
  std::string path = dir.file("exists.bin");
  writeAll(path, "precious");
  FILE4 f;
  EXPECT_EQ(file4create(&f, &cb, path.c_str(), 1), err4create);
  EXPECT_EQ(reports().back().text, "Error #:  -20\nCreating File\nFile Name:\n" + path + "\n");
  error4set(&cb, 0);
  cb.createError = 0;
  EXPECT_EQ(file4create(&f, &cb, path.c_str(), 1), status4noCreate);
  EXPECT_EQ(cb.errorCode, status4noCreate);
  EXPECT_EQ(readAll(path), "precious");

  EXPECT_EQ(file4open(&f, &cb, dir.file("missing").c_str(), 1), err4open);
  error4set(&cb, 0);
  cb.openError = 0;
  EXPECT_EQ(file4open(&f, &cb, dir.file("missing").c_str(), 1), status4noOpen);
  EXPECT_EQ(cb.errorCode, status4noOpen);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));

  cb.safety = 0;
  ASSERT_EQ(file4create(&f, &cb, path.c_str(), 1), 0);
  EXPECT_EQ(file4length(&f), 0);
  int flags = fcntl(f.fd, F_GETFD);
  EXPECT_TRUE(flags & FD_CLOEXEC);
  file4close(&f);
}

TEST_F(EngineTest, OpenFindsOtherCaseButKeepsGivenCase) {
  writeAll(dir.file("PHONE.DBF"), "x");
  FILE4 f;
  ASSERT_EQ(file4open(&f, &cb, dir.file("phone.dbf").c_str(), 0), 0);
  EXPECT_EQ(std::string(f.name), dir.file("PHONE.DBF"));
  file4close(&f);
  ASSERT_EQ(file4open(&f, &cb, dir.file("Phone.Dbf").c_str(), 1), 0);
  file4close(&f);
  writeAll(dir.file("phone.dbf"), "y");
  ASSERT_EQ(file4open(&f, &cb, dir.file("phone.dbf").c_str(), 1), 0);
  char c = 0;
  EXPECT_EQ(file4readAt(&f, 0, &c, 1), 0);
  EXPECT_EQ(c, 'y') << "an exact match wins";
  file4close(&f);
}

TEST_F(EngineTest, ExclusiveOpenKeepsOthersOut) {
  std::string path = dir.file("x.bin");
  writeAll(path, "data");
  cb.exclusive = 1;
  FILE4 a;
  ASSERT_EQ(file4open(&a, &cb, path.c_str(), 1), 0);
  cb.exclusive = 0;
  cb.openError = 0;
  FILE4 b;
  EXPECT_EQ(file4open(&b, &cb, path.c_str(), 1), status4noOpen);
  file4close(&a);
  error4set(&cb, 0);
  EXPECT_EQ(file4open(&b, &cb, path.c_str(), 1), 0);
  file4close(&b);
}

TEST_F(EngineTest, ReadOnlyFilesRefuseWrites) {
  std::string path = dir.file("r.bin");
  writeAll(path, "data");
  cb.readOnly = 1;
  FILE4 f;
  ASSERT_EQ(file4open(&f, &cb, path.c_str(), 1), 0);
  EXPECT_EQ(file4writeAt(&f, 0, "x", 1), err4parm);
  error4set(&cb, 0);
  EXPECT_EQ(file4lenSet(&f, 0), err4parm);
  error4set(&cb, 0);
  EXPECT_EQ(file4lockRange(&f, 10, 1), 0) << "read-only files take no locks";
  file4close(&f);
  EXPECT_EQ(readAll(path), "data");
}

TEST_F(EngineTest, SequentialWriterAlignsToKilobytes) {
  FILE4 f;
  ASSERT_EQ(file4create(&f, &cb, dir.file("seq.bin").c_str(), 1), 0);
  char buffer[2048];
  FILE4SEQWRITE w;
  file4seqWriteInit(&w, &f, 1500, buffer, sizeof(buffer));
  EXPECT_EQ(w.fillCap, 1572) << "first filling ends on a 1,024-byte boundary";
  std::string data;
  for (int i = 0; i < 5000; ++i) data.push_back(static_cast<char>('a' + i % 26));
  ASSERT_EQ(file4seqWrite(&w, data.data(), 1000), 0);
  EXPECT_EQ(w.pos, 1500) << "nothing written before the filling is full";
  ASSERT_EQ(file4seqWrite(&w, data.data() + 1000, 4000), 0);
  EXPECT_EQ(w.pos % 1024, 0);
  ASSERT_EQ(file4seqWriteRepeat(&w, 700, 'z'), 0);
  ASSERT_EQ(file4seqFlush(&w), 0);
  std::string got = readAll(dir.file("seq.bin"));
  ASSERT_EQ(got.size(), 1500u + 5000 + 700);
  EXPECT_EQ(got.substr(1500, 5000), data);
  EXPECT_EQ(got.substr(6500), std::string(700, 'z'));

  FILE4SEQWRITE small;
  char tiny[1000];
  file4seqWriteInit(&small, &f, 0, tiny, sizeof(tiny));
  EXPECT_EQ(small.buffer, nullptr) << "under 1,024 bytes the writer is unbuffered";

  char rbuf[1024];
  FILE4SEQREAD r;
  file4seqReadInit(&r, &f, 1500, rbuf, sizeof(rbuf));
  std::string back(5000, 0);
  EXPECT_EQ(file4seqRead(&r, back.data(), 5000), 5000u);
  EXPECT_EQ(back, data);
  std::string rest(1000, 0);
  EXPECT_EQ(file4seqReadAll(&r, rest.data(), 1000), err4read);
  file4close(&f);
}

TEST_F(EngineTest, TemporaryFilesArePrivateAndRemoved) {
  FILE4 f;
  char name[512];
  ASSERT_EQ(file4temp(&f, &cb, name, sizeof(name), 1), 0);
  std::string base = std::filesystem::path(name).filename();
  ASSERT_EQ(base.size(), 12u);
  EXPECT_EQ(base.substr(0, 4), "TEMP");
  EXPECT_EQ(base.substr(8), ".TMP");
  EXPECT_EQ(std::filesystem::path(name).parent_path(), dir.path());
  struct stat st;
  ASSERT_EQ(stat(name, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(file4writeAt(&f, 0, "abc", 3), 0);
  file4close(&f);
  EXPECT_FALSE(std::filesystem::exists(name));

  // Every name taken: the call gives up instead of reusing one.
  for (int i = 0; i < 10000; ++i) {
    char n[32];
    std::snprintf(n, sizeof(n), "TEMP%04d.TMP", i);
    writeAll(dir.file(n), "");
  }
  EXPECT_EQ(file4temp(&f, &cb, nullptr, 0, 1), err4create);
  EXPECT_NE(reports().back().text.find("Temporary Working File"), std::string::npos);
}

TEST_F(EngineTest, ReplaceGivesTargetTheSourceContents) {
  for (int exclusive = 0; exclusive < 2; ++exclusive) {
    cb.exclusive = exclusive;
    std::string target = dir.file("target" + std::to_string(exclusive));
    writeAll(target, "old old old old");
    FILE4 t, s;
    ASSERT_EQ(file4open(&t, &cb, target.c_str(), 1), 0);
    char sname[512];
    ASSERT_EQ(file4temp(&s, &cb, sname, sizeof(sname), 0), 0);
    ASSERT_EQ(file4writeAt(&s, 0, "new", 3), 0);
    ASSERT_EQ(file4replace(&t, &s), 0);
    EXPECT_EQ(readAll(target), "new");
    EXPECT_FALSE(std::filesystem::exists(sname));
    char c = 0;
    EXPECT_EQ(file4readAt(&t, 2, &c, 1), 0);
    EXPECT_EQ(c, 'w');
    file4close(&t);
  }
}

TEST_F(EngineTest, ReplaceOfASharedTargetShrinksItsCopyBuffer) {
  // 16,384 bytes, 2,048 less after each failure down to 2,048, then 100. With
  // the cache running, the source lives in the cache and the first allocation
  // is the name it needs on disk: short of memory, the cache is written out.
  struct Case {
    int failures;
    bool cache;
    int want;
  } const cases[] = {{0, false, 0}, {1, false, 0}, {8, false, 0}, {9, false, err4memory},
                     {0, true, 0},  {1, true, 0},  {2, true, err4memory}};
  const std::string contents(40000, 'n');
  cb.exclusive = 0;
  cb.errorOff = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.failures << " failures, cache " << c.cache);
    cb.errorCode = 0;
    if (c.cache) {
      ASSERT_EQ(code4cacheStart(&cb), 0);
    }
    const std::string target = dir.file("shared");
    writeAll(target, "old old old old");
    FILE4 t, s;
    ASSERT_EQ(file4open(&t, &cb, target.c_str(), 1), 0);
    ASSERT_EQ(file4temp(&s, &cb, nullptr, 0, 1), 0);
    ASSERT_EQ(file4writeAt(&s, 0, contents.data(), contents.size()), 0);
    u4injectAllocFailures(c.failures);
    const int rc = file4replace(&t, &s);
    u4injectAllocFailures(0);
    EXPECT_EQ(rc, c.want == 0 ? 0 : -1);
    EXPECT_EQ(cb.errorCode, c.want);
    if (c.want == 0) {
      EXPECT_EQ(readAll(target), contents);
    }
    EXPECT_EQ(code4cacheRunning(&cb), c.cache ? 1 : 0) << "the cache runs again afterwards";
    cb.errorCode = 0;
    if (file4isOpen(&s)) file4close(&s); // a replace that failed early leaves the source
    file4close(&t);
    code4cacheSuspend(&cb);
  }
}

TEST_F(EngineTest, ReplaceOverAnExclusiveTargetNeverLeavesItOnADeletedFile) {
  // Another program holding the new file open when the exclusive lock is wanted: the
  // replace fails before the name changes hands, so what this handle writes next still
  // lands in the file that bears the name.
  cb.exclusive = 1;
  std::string target = dir.file("target");
  writeAll(target, "old old old old");
  FILE4 t, s;
  ASSERT_EQ(file4open(&t, &cb, target.c_str(), 1), 0);
  char sname[512];
  ASSERT_EQ(file4temp(&s, &cb, sname, sizeof(sname), 1), 0);
  ASSERT_EQ(file4writeAt(&s, 0, "new", 3), 0);
  int other = ::open(sname, O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_SH | LOCK_NB), 0);
  reports().clear();
  EXPECT_LT(file4replace(&t, &s), 0);
  EXPECT_EQ(cb.errorCode, err4lock);
  cb.errorCode = 0;
  EXPECT_EQ(readAll(target), "old old old old");
  ASSERT_EQ(file4writeAt(&t, 0, "NEW", 3), 0);
  ASSERT_EQ(file4flush(&t), 0);
  EXPECT_EQ(readAll(target), "NEW old old old");
  ::close(other);
  file4close(&s);
  file4close(&t);
}

// The boxes go to standard error in these children, so the death tests can read them.
void reportToStderr(const char* caption, const char* text, int) { std::fprintf(stderr, "%s: [%s]", caption, text); }

TEST(Error4, SevereErrorsAndExitsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        error4setHook(reportToStderr);
        error4severe(-920, "Memory Error");
      },
      testing::ExitedWithCode(EXIT_FAILURE),
      "TABLE ENGINE SEVERE ERROR: .\r\n\r\nSevere Error Number #: -920.Out of Memory.Memory Error.");
  EXPECT_EXIT(error4exit(), testing::ExitedWithCode(EXIT_FAILURE), "EXITING APPLICATION");
  EXPECT_EXIT(
      {
        CODE4 c{};
        code4init(&c);
        c.errorCode = -920;
        error4exitTest(&c);
      },
      testing::ExitedWithCode(EXIT_FAILURE), "EXITING APPLICATION");
  // No pending error, or only a status: nothing ends.
  for (int code : {0, 50}) {
    CODE4 c{};
    code4init(&c);
    c.errorCode = code;
    error4exitTest(&c);
    error4exitTest(nullptr);
    code4release(&c);
  }
}

TEST(Code4, NewRecordIsZeroedOrInitialised) {
  for (int init : {0, 1}) {
    CODE4* c = code4new(init);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->lockAttempts, init ? -1 : 0);
    EXPECT_EQ(c->blockSize, init ? 1024 : 0);
    EXPECT_EQ(c->dataList.count, 0);
    if (init) code4release(c);
    u4globalFree(c);
  }
  u4injectAllocFailures(1);
  EXPECT_EQ(code4new(1), nullptr);
  u4injectAllocFailures(0);
}

TEST(Mem4, ResetFreesEveryPool) {
  // Every pool of the process goes: only in a process of its own.
  EXPECT_EXIT(
      {
        MEM4* a = mem4pool(nullptr, 2, 48, 2, 0);
        MEM4* b = mem4pool(nullptr, 1, 96, 1, 1);
        if (a == nullptr || b == nullptr || mem4take(a, nullptr) == nullptr || mem4take(b, nullptr) == nullptr)
          std::_Exit(2);
        mem4reset();
        // A fresh pool of the same unit size is new, not the shared one from before.
        MEM4* c = mem4pool(nullptr, 1, 48, 1, 0);
        std::_Exit(c != nullptr && c->users == 1 && c->chunks.count == 0 ? 0 : 3);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Date4, TimeNowAndDoubleThroughAResult) {
  char now[9] = {};
  const std::time_t before = std::time(nullptr);
  date4timeNow(now);
  std::tm t{};
  localtime_r(&before, &t);
  ASSERT_EQ(now[2], ':');
  ASSERT_EQ(now[5], ':');
  const int seconds = std::atoi(now) * 3600 + std::atoi(now + 3) * 60 + std::atoi(now + 6);
  const int want = t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
  EXPECT_LE((seconds - want + 86400) % 86400, 2) << now;
  for (int i : {0, 1, 3, 4, 6, 7}) EXPECT_TRUE(now[i] >= '0' && now[i] <= '9') << now;
  struct Case {
    const char* date;
    double want;
  } const cases[] = {{"20000101", 2451545.0}, {"        ", 1e100}};
  for (const Case& c : cases) {
    double v = 0;
    EXPECT_EQ(date4doubleOut(c.date, &v), 0);
    EXPECT_EQ(v, c.want) << c.date;
  }
}

TEST_F(EngineTest, FlushEveryWriteFlushesAfterEachDirectWrite) {
  // A device that takes writes but cannot be flushed shows whether a flush followed.
  struct Case {
    int flushEveryWrite;
    int error;
  } const cases[] = {{0, 0}, {1, err4flush}};
  cb.errorOff = 1;
  for (const Case& c : cases) {
    cb.errorCode = 0;
    cb.flushEveryWrite = c.flushEveryWrite;
    FILE4 f;
    ASSERT_EQ(file4create(&f, &cb, dir.file("few" + std::to_string(c.flushEveryWrite)).c_str(), 1), 0);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    ASSERT_GE(::dup2(null, f.fd), 0);
    ::close(null);
    EXPECT_EQ(file4writeAt(&f, 0, "abc", 3), 0);
    EXPECT_EQ(cb.errorCode, c.error) << c.flushEveryWrite;
    cb.errorCode = 0;
    file4close(&f);
  }
}

TEST(U4, NamesKeepTheirCase) {
  char name[64] = "dir.d/Phone  ";
  u4setExtension(name, sizeof(name), "dbf", 0);
  EXPECT_STREQ(name, "dir.d/Phone.dbf");
  u4setExtension(name, sizeof(name), ".mdx", 0);
  EXPECT_STREQ(name, "dir.d/Phone.dbf");
  u4setExtension(name, sizeof(name), "mdx", 1);
  EXPECT_STREQ(name, "dir.d/Phone.mdx");
  char part[64];
  u4namePart(part, sizeof(part), "a/b/Phone.Dbf", 0, 0);
  EXPECT_STREQ(part, "Phone");
  u4namePart(part, sizeof(part), "a/b/Phone.Dbf", 1, 1);
  EXPECT_STREQ(part, "a/b/Phone.Dbf");
  EXPECT_EQ(u4namePath(part, sizeof(part), "a/b/Phone.Dbf"), 4u);
  EXPECT_STREQ(part, "a/b/");
  EXPECT_EQ(u4nameExt(part, sizeof(part), "a.b/Phone"), 0u);
  EXPECT_EQ(u4nameExt(part, 2, "a/Phone.dbf"), 2u);
  u4nameMake(part, sizeof(part), "/data", "x.dbf");
  EXPECT_STREQ(part, "/data/x.dbf");
  u4nameMake(part, sizeof(part), "/data/", "/abs.dbf");
  EXPECT_STREQ(part, "/abs.dbf");
  char small[4];
  EXPECT_EQ(u4copyBounded(small, "abcdef", sizeof(small)), 3u);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(u4nameChar('_'), 1);
  EXPECT_EQ(u4nameChar('@'), 1);
  EXPECT_EQ(u4nameChar('-'), 0);
}

} // namespace

namespace {

TEST_F(EngineTest, OnlyRegularFilesWithSaneNamesOpen) {
  cb.openError = 0;
  FILE4 f;
  EXPECT_EQ(file4open(&f, &cb, dir.path().c_str(), 1), status4noOpen);
  std::string fifo = dir.file("pipe.dbf");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(d4open(&cb, fifo.c_str()), nullptr);
  EXPECT_EQ(cb.errorCode, status4noOpen);
  error4set(&cb, 0);
  std::string longName(5000, 'a');
  EXPECT_EQ(d4open(&cb, longName.c_str()), nullptr);
  EXPECT_EQ(cb.errorCode, err4parm);
  error4set(&cb, 0);
  EXPECT_EQ(file4open(&f, &cb, longName.c_str(), 1), status4noOpen);
}

} // namespace

