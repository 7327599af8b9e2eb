#include "test_util.h"
#include "xbase/sort.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

using xbtest::EngineTest;

namespace {

struct Item {
  std::string key;
  int32_t rec;
  uint32_t info;
};

// Keys from a small alphabet, so many are equal and ties must fall back on
// the record number.
std::vector<Item> makeItems(size_t n, int keyLen, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> letter('a', 'd');
  std::vector<Item> items(n);
  for (size_t i = 0; i < n; ++i) {
    items[i].key.resize(static_cast<size_t>(keyLen));
    for (char& c : items[i].key) c = static_cast<char>(letter(rng));
    items[i].rec = static_cast<int32_t>(i + 1);
    items[i].info = static_cast<uint32_t>(rng());
  }
  return items;
}

class SortTest : public EngineTest {
 protected:
  // Sorts and checks against std::stable_sort; returns the number of runs.
  // beforeOutput runs between the last put and sort4getInit.
  int32_t sortAndCheck(const std::vector<Item>& items, int keyLen, bool shuffled = false,
                       const std::function<void()>& beforeOutput = {}) {
    SORT4 s;
    EXPECT_EQ(sort4init(&s, &cb, keyLen, 4), 0);
    std::vector<Item> input = items;
    if (shuffled) std::shuffle(input.begin(), input.end(), std::mt19937(7));
    for (const Item& it : input) EXPECT_EQ(sort4put(&s, it.rec, it.key.data(), &it.info), 0);
    if (beforeOutput) beforeOutput();
    int32_t runs = s.nRuns;
    EXPECT_EQ(sort4getInit(&s), 0);
    u4injectAllocFailures(0);
    runs = s.nRuns;
    std::vector<Item> want = items;
    std::stable_sort(want.begin(), want.end(),
                     [](const Item& a, const Item& b) { return a.key < b.key; });
    size_t i = 0;
    int32_t rec;
    void* key;
    void* info;
    int rc;
    while ((rc = sort4get(&s, &rec, &key, &info)) == 0) {
      if (i >= want.size()) {
        ADD_FAILURE() << "too many entries";
        break;
      }
      uint32_t gotInfo;
      std::memcpy(&gotInfo, info, 4);
      if (rec != want[i].rec || std::memcmp(key, want[i].key.data(), want[i].key.size()) != 0 ||
          gotInfo != want[i].info) {
        ADD_FAILURE() << "entry " << i << " differs";
        sort4free(&s);
        return runs;
      }
      ++i;
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(i, want.size());
    sort4free(&s);
    EXPECT_EQ(dir.entries(), 0u) << "temporary files left behind";
    return runs;
  }
};

TEST_F(SortTest, NoEntries) {
  SORT4 s;
  ASSERT_EQ(sort4init(&s, &cb, 8, 0), 0);
  ASSERT_EQ(sort4getInit(&s), 0);
  EXPECT_EQ(sort4get(&s, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(sortAndCheck({}, 8), 0);
}

TEST_F(SortTest, OneEntry) { EXPECT_EQ(sortAndCheck(makeItems(1, 8, 1), 8), 0); }

TEST_F(SortTest, FifteenThousandInOneLoad) {
  EXPECT_EQ(sortAndCheck(makeItems(15000, 6, 2), 6), 0);
  EXPECT_EQ(sortAndCheck(makeItems(15000, 6, 3), 6, true), 0) << "input order does not matter";
}

TEST_F(SortTest, HalfAMillionSpillsManyRuns) {
  int32_t runs = sortAndCheck(makeItems(500000, 10, 4), 10, true);
  EXPECT_GT(runs, 10);
}

TEST_F(SortTest, MemoryCapForcesSpillingIntoThePointerTail) {
  cb.sortMemoryLimit = 0;
  int32_t runs = sortAndCheck(makeItems(40000, 25, 5), 25);
  EXPECT_GT(runs, 5);
  cb.sortMemoryLimit = 2 * 61440;
  EXPECT_GT(sortAndCheck(makeItems(40000, 25, 6), 25), 1);
}

// Short of memory the merge gives chunks back for its run descriptors, and
// with no chunk left halves the entries per chunk until one can be had.
TEST_F(SortTest, MergeShortOfMemoryShrinksItsBuffers) {
  struct Case {
    int64_t memoryLimit; // 0: every entry lives in the pointer array's tail
    int succeedFirst;
    int failures;
    bool finishes;
  } cases[] = {
      {2 * 61440, 0, 1, true},  // descriptors fit once one chunk went back
      {2 * 61440, 0, 2, true},  // both chunks back, then a fresh one
      {2 * 61440, 0, 3, false}, // no chunk left to give back: -920
      {0, 1, 1, true},          // no chunk at all: half-size chunks
      {0, 1, 4, true},          // halved four times
      {0, 1, 11, false},        // halved down to no entry per chunk: -920
  };
  const std::vector<Item> items = makeItems(40000, 25, 8);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "limit " << c.memoryLimit << ", failures " << c.failures);
    cb.errorCode = 0;
    cb.sortMemoryLimit = c.memoryLimit;
    cb.errorOff = 1;
    auto shortage = [&] { u4injectAllocFailures(c.failures, c.succeedFirst); };
    if (c.finishes) {
      EXPECT_GT(sortAndCheck(items, 25, false, shortage), 1);
      EXPECT_EQ(cb.errorCode, 0);
      continue;
    }
    SORT4 s;
    ASSERT_EQ(sort4init(&s, &cb, 25, 4), 0);
    for (const Item& it : items) ASSERT_EQ(sort4put(&s, it.rec, it.key.data(), &it.info), 0);
    ASSERT_GT(s.nRuns, 1);
    shortage();
    EXPECT_EQ(sort4getInit(&s), -1);
    u4injectAllocFailures(0);
    EXPECT_EQ(cb.errorCode, err4memory);
    sort4free(&s);
    EXPECT_EQ(dir.entries(), 0u);
    cb.errorCode = 0;
  }
}

TEST_F(SortTest, CustomCompareAndFreeMidway) {
  SORT4 s;
  ASSERT_EQ(sort4init(&s, &cb, 4, 0), 0);
  s.cmp = [](const void* a, const void* b, size_t n) { return -std::memcmp(a, b, n); };
  const char* keys[] = {"aaaa", "cccc", "bbbb", "cccc"};
  for (int i = 0; i < 4; ++i) ASSERT_EQ(sort4put(&s, i + 1, keys[i], nullptr), 0);
  ASSERT_EQ(sort4getInit(&s), 0);
  int32_t rec;
  std::vector<int32_t> order;
  while (sort4get(&s, &rec, nullptr, nullptr) == 0) order.push_back(rec);
  EXPECT_EQ(order, (std::vector<int32_t>{2, 4, 3, 1}));

  ASSERT_EQ(sort4init(&s, &cb, 4, 0), 0);
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(sort4put(&s, i, "abcd", nullptr), 0);
  EXPECT_GT(s.nRuns, 0);
  sort4free(&s);
  EXPECT_EQ(dir.entries(), 0u);
}

TEST_F(SortTest, DamagedRunIsReported) {
  cb.errorOff = 1;
  SORT4 s;
  ASSERT_EQ(sort4init(&s, &cb, 4, 0), 0);
  for (int i = 0; i < 50000; ++i) ASSERT_EQ(sort4put(&s, i, "abcd", nullptr), 0);
  ASSERT_GT(s.nRuns, 0);
  ASSERT_EQ(file4seqFlush(&s.writer), 0);
  // A run cut short no longer holds whole entries.
  ASSERT_EQ(ftruncate(s.file.fd, s.runBytes - 3), 0);
  s.totalBytes = s.runBytes - 3 + (s.totalBytes - s.runBytes);
  int rc = sort4getInit(&s);
  int32_t rec;
  while (rc == 0 && (rc = sort4get(&s, &rec, nullptr, nullptr)) == 0) {
  }
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(cb.errorCode, err4read);
  sort4free(&s);
  EXPECT_EQ(dir.entries(), 0u);
}

} // namespace
