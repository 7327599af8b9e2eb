// Tables we write are read the same by independent readers, and tables they
// write open and read correctly here.
#include "test_util.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

using xbtest::EngineTest;

namespace {

const char* kPython = "/usr/bin/python3";

bool haveTool(const char* path) { return std::filesystem::exists(path); }

bool havePythonModule(const char* module) {
  if (!haveTool(kPython)) return false;
  std::string cmd = std::string(kPython) + " -c 'import " + module + "' 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

class ReadersTest : public EngineTest {
 protected:
  // Three live records and one deleted, covering every plain field type,
  // a blank date, a negative number and a character field over 255 bytes.
  std::string makeTable() {
    const FIELD4INFO fields[] = {{"NAME", 'C', 20, 0}, {"QTY", 'N', 8, 2}, {"BORN", 'D', 8, 0},
                                 {"OK", 'L', 1, 0},    {"NOTE", 'C', 300, 0}, {"N", 'N', 5, 0},
                                 {nullptr, 0, 0, 0}};
    std::string path = dir.file("shared.dbf");
    DATA4* d = d4create(&cb, path.c_str(), fields, nullptr);
    EXPECT_NE(d, nullptr);
    if (d == nullptr) return path;
    struct Row {
      const char* name;
      double qty;
      int32_t born;
      const char* ok;
      int note;
      long n;
      bool deleted;
    };
    const Row rows[] = {{"Alice", 12.5, 2451545, "T", 300, 42, false},
                        {"Bob", -3.25, 0, "F", 0, -7, false},
                        {"Gone", 1, 2451546, "T", 1, 1, true},
                        {"Carol Ann", 0, 2460000, "Y", 256, 99999, false}};
    for (const Row& r : rows) {
      d4blank(d);
      f4assign(d4fieldByName(d, "NAME"), r.name);
      f4assignDouble(d4fieldByName(d, "QTY"), r.qty);
      f4assignLong(d4fieldByName(d, "BORN"), r.born);
      f4assign(d4fieldByName(d, "OK"), r.ok);
      f4assign(d4fieldByName(d, "NOTE"), std::string(static_cast<size_t>(r.note), 'x').c_str());
      f4assignLong(d4fieldByName(d, "N"), r.n);
      if (r.deleted) d4delete(d);
      EXPECT_EQ(d4append(d), 0);
    }
    EXPECT_EQ(d4close(d), 0);
    return path;
  }
};

TEST_F(ReadersTest, PerlXBaseReadsOurTable) {
  if (!haveTool("/usr/bin/dbf_dump")) GTEST_SKIP() << "dbf_dump (libdbd-xbase-perl) not installed";
  std::string path = makeTable();
  std::string out = run("/usr/bin/dbf_dump --fs '|' " + path);
  std::string x300(300, 'x'), x256(256, 'x');
  EXPECT_EQ(out, "Alice|12.5|20000101|1|" + x300 + "|42\n" + "Bob|-3.25||0||-7\n" +
                     "Carol Ann|0|20230224|1|" + x256 + "|99999\n");
  std::string info = run("/usr/bin/dbf_dump --info " + path);
  EXPECT_NE(info.find("Num of records:\t4"), std::string::npos) << info;
}

TEST_F(ReadersTest, PythonDbfreadReadsOurTable) {
  if (!havePythonModule("dbfread")) GTEST_SKIP() << "python3-dbfread not installed";
  std::string path = makeTable();
  std::string script =
      "import dbfread,sys\n"
      "t=dbfread.DBF(sys.argv[1],load=True)\n"
      "print([ (f.name,f.type,f.length,f.decimal_count) for f in t.fields])\n"
      "for r in t.records: print(r['NAME'],repr(r['QTY']),r['BORN'],r['OK'],len(r['NOTE']),r['N'])\n"
      "for r in t.deleted: print('deleted',r['NAME'])\n";
  std::string scriptPath = dir.file("read.py");
  xbtest::writeAll(scriptPath, script);
  std::string out = run(std::string(kPython) + " " + scriptPath + " " + path + " 2>&1");
  EXPECT_EQ(out,
            "[('NAME', 'C', 20, 0), ('QTY', 'N', 8, 2), ('BORN', 'D', 8, 0), ('OK', 'L', 1, 0), "
            "('NOTE', 'C', 300, 0), ('N', 'N', 5, 0)]\n"
            "Alice 12.5 2000-01-01 True 300 42\n"
            "Bob -3.25 None False 0 -7\n"
            "Carol Ann 0.0 2023-02-24 True 256 99999\n"
            "deleted Gone\n");
}

TEST_F(ReadersTest, TablesWrittenByPythonDbfOpenHere) {
  if (!havePythonModule("dbf")) GTEST_SKIP() << "python3-dbf not installed";
  std::string script =
      "import dbf,sys,datetime\n"
      "t=dbf.Table(sys.argv[1],'name C(20); qty N(8,2); born D; ok L; big N(12,0)',"
      "codepage='cp1252')\n"
      "t.open(dbf.READ_WRITE)\n"
      "for i in range(1,301):\n"
      "  t.append(('n%d'%i, i/4.0, datetime.date(2000,1,1)+datetime.timedelta(days=i), i%3==0,"
      " i*1000003))\n"
      "with t[4] as r: dbf.delete(r)\n"
      "t.close()\n";
  std::string scriptPath = dir.file("write.py");
  xbtest::writeAll(scriptPath, script);
  std::string base = dir.file("pyt");
  std::string out = run(std::string(kPython) + " " + scriptPath + " " + base + ".dbf 2>&1");
  ASSERT_TRUE(std::filesystem::exists(base + ".dbf")) << out;
  // Made on a system that ignores case: open it under another spelling.
  std::filesystem::rename(base + ".dbf", dir.file("PYT.DBF"));

  DATA4* d = d4open(&cb, base.c_str());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d4recordCount(d), 300);
  FIELD4* name = d4fieldByName(d, "name");
  FIELD4* qty = d4fieldByName(d, "QTY");
  FIELD4* born = d4fieldByName(d, "born");
  FIELD4* ok = d4fieldByName(d, "ok");
  FIELD4* big = d4fieldByName(d, "big");
  ASSERT_TRUE(name && qty && born && ok && big);
  EXPECT_EQ(f4decimals(qty), 2);
  int seen = 0;
  for (int rc = d4top(d); rc == 0; rc = d4go(d, d4recordNumber(d) + 1)) {
    int i = d4recordNumber(d);
    ++seen;
    char want[32];
    std::snprintf(want, sizeof(want), "n%d", i);
    std::string got = f4str(name);
    EXPECT_EQ(got.substr(0, got.find(' ')), want);
    EXPECT_DOUBLE_EQ(f4double(qty), i / 4.0);
    EXPECT_EQ(f4long(born), 2451545 + i);
    EXPECT_EQ(*f4ptr(ok) == 'T', i % 3 == 0) << i;
    EXPECT_EQ(f4long(big), static_cast<int64_t>(i) * 1000003);
    EXPECT_EQ(d4deleted(d), i == 5 ? 1 : 0) << i;
    if (i == 300) break;
  }
  EXPECT_EQ(seen, 300);
  EXPECT_EQ(d4go(d, 301), err4read);
  error4set(&cb, 0);
  d4close(d);
}

} // namespace
