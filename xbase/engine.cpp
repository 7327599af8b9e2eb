// Settings record and the error convention.
#include "xbase/engine.h"
#include "xbase/block_cache.h"
#include "xbase/table.h"
#include "xbase/numbers.h"
#include "xbase/expression_tables.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

// Records initialised and not yet released, each with the token it was given.
// A record counts as live only when both agree, so stale bytes never pass.
struct LiveRecords {
  std::mutex lock;
  std::map<const CODE4*, uint64_t> tokens;
  uint64_t next = 0;
};

LiveRecords& liveRecords() {
  static LiveRecords live;
  return live;
}

bool isLive(const CODE4* cb) {
  LiveRecords& l = liveRecords();
  std::lock_guard<std::mutex> g(l.lock);
  auto it = l.tokens.find(cb);
  return it != l.tokens.end() && it->second == cb->initToken;
}

uint64_t markLive(const CODE4* cb) {
  LiveRecords& l = liveRecords();
  std::lock_guard<std::mutex> g(l.lock);
  uint64_t token = ++l.next;
  l.tokens[cb] = token;
  return token;
}

void markReleased(const CODE4* cb) {
  LiveRecords& l = liveRecords();
  std::lock_guard<std::mutex> g(l.lock);
  l.tokens.erase(cb);
}

struct ErrorRow {
  int code;
  const char* text;
};

// Ordered as the box looks codes up: file, table, index, expression,
// optimisation, relation, report, then the general rows.
const ErrorRow kErrors[] = {
    {-20, "Creating File"},
    {-60, "Opening File"},
    {-70, "Reading File"},
    {-100, "Seeking to File Position"},
    {-120, "Writing to File"},
    {-10, "Closing File"},
    {-80, "Removing File"},
    {-50, "Locking File"},
    {-110, "Unlocking File"},
    {-30, "Determining File Length"},
    {-40, "Setting File Length"},
    {-90, "Renaming File"},
    {-200, "File is not a Data File"},
    {-230, "Record Length is too Large"},
    {-210, "Unrecognized Field Name"},
    {-220, "Unrecognized Field Type"},
    {-310, "Not a Correct Index File"},
    {-300, "Tag Entry Missing"},
    {-340, "Unique Key Error"},
    {-330, "Tag Name not Found"},
    {-400, "Comma or Bracket Expected"},
    {-410, "Expression not Complete"},
    {-420, "Data File Name not Located"},
    {-422, "IIF() Needs Parameters of Same Length"},
    {-425, "SUBSTR() and STR() need Constant Parameters"},
    {-430, "Number of Parameters is Wrong"},
    {-440, "Overflow while Evaluating Expression"},
    {-450, "Right Bracket Missing"},
    {-460, "Sub-expression Type is Wrong"},
    {-470, "Unrecognized Function"},
    {-480, "Unrecognized Operator"},
    {-490, "Unrecognized Value"},
    {-500, "Unterminated String"},
    {-610, "Optimization Error"},
    {-620, "Optimization Removal Failure"},
    {-630, "Optimization File Flushing Failure"},
    {-720, "Relation Error"},
    {-710, "Matching Slave Record Not Located"},
    {-810, "Report Error"},
    {-811, "Error Creating Style"},
    {-812, "Error Selecting Style"},
    {-813, "Error Finding Style"},
    {-814, "Error Creating Area"},
    {-815, "Error Creating Group"},
    {-816, "Error Setting Group Reset-Expression"},
    {-817, "Error Creating Total"},
    {-818, "Error Creating Object"},
    {-819, "Error In Windows Output"},
    {-820, "Error In Report Output"},
    {-821, "Error Saving Report"},
    {-822, "Error Retrieving Report"},
    {-823, "Error In Sending Report to Data File"},
    {-920, "Out of Memory"},
    {-910, "Unexpected Information"},
    {-930, "Unexpected Parameter"},
    {-950, "Unexpected Result"},
    {-1020, "Function unsupported: library compiled with S4OFF_MEMO"},
    {-1040, "Function unsupported: library compiled with S4OFF_WRITE"},
    {-1010, "Function unsupported: library compiled with S4OFF_INDEX"},
    {-1030, "Function unsupported: library compiled with S4NO_RENAME"},
    {-1050, "Function unsupported: library not compiled with S4CLIPPER"},
    {-1060, "Function unsupported: library not compiled with S4LOCK_HOOK"},
    {-1070, "Function unsupported: library not compiled with S4ERROR_HOOK"},
    {0, nullptr},
};

void defaultHook(const char* caption, const char* text, int) {
  std::fprintf(stderr, "%s\n%s", caption, text);
  std::fflush(stderr);
}

error4hookFn g_hook = defaultHook;

// Appends text while the whole stays under `limit` characters.
void appendText(char* buf, size_t size, const char* text) {
  size_t used = std::strlen(buf);
  if (used + 1 >= size) return;
  std::snprintf(buf + used, size - used, "%s", text);
}

} // namespace

int code4init(CODE4* cb) {
  if (cb == nullptr) return -1;
  // Zeroing a record that still lists open tables would orphan them.
  if (isLive(cb)) {
    if (cb->dataList.count > 0) return -1;
    code4release(cb); // buffers and pools of the earlier use are not orphaned
  }
  std::memset(cb, 0, sizeof(*cb));
  cb->defaultUnique = status4uniqueCont;
  std::memcpy(cb->dateFormat, "MM/DD/YY", 9);
  cb->blockSize = 1024;
  cb->sortPoolSize = 61440;
  cb->rebuildBufferSize = 4096;
  cb->copyBufferSize = 16384;
  cb->memoBlockSize = 512;
  cb->exprMemoSize = 1024;
  cb->dataStart = cb->dataExpand = 5;
  cb->indexStart = cb->indexExpand = 5;
  cb->tagStart = cb->tagExpand = 10;
  cb->blockStart = cb->blockExpand = 10;
  cb->cacheLimit = 0xF0000;
  cb->cacheBlockSize = 1024;
  cb->readAheadSize = 16384;
  cb->autoOpen = 1;
  cb->createError = 1;
  cb->exprError = 1;
  cb->fieldNameError = 1;
  cb->goError = 1;
  cb->openError = 1;
  cb->cacheMode = -1;
  cb->safety = 1;
  cb->tagNameError = 1;
  cb->lockAttempts = -1;
  cb->blockCheck = 1;
  cb->writeBehind = -1;
  cb->sortMemoryLimit = int64_t{32} << 20;
  cb->initToken = markLive(cb);
  return 0;
}

CODE4* code4new(int init) {
  auto* cb = static_cast<CODE4*>(u4globalAlloc(sizeof(CODE4)));
  if (cb != nullptr && init == 1) code4init(cb);
  return cb;
}

int code4release(CODE4* cb) {
  if (cb == nullptr) return -1;
  code4closeAll(cb);
  code4cacheSuspend(cb);
  expr4release(cb);
  mem4poolRelease(cb->indexPool);
  mem4poolRelease(cb->tablePool);
  mem4poolRelease(cb->tagPool);
  mem4poolRelease(cb->calcPool);
  cb->indexPool = cb->tablePool = cb->tagPool = cb->calcPool = nullptr;
  u4globalFree(cb->fieldBuffer);
  u4globalFree(cb->workBuf);
  u4globalFree(cb->keyBuf);
  cb->fieldBuffer = cb->workBuf = cb->keyBuf = nullptr;
  cb->fieldBufferLen = cb->workBufLen = cb->keyBufLen = 0;
  markReleased(cb);
  cb->initToken = 0;
  return cb->errorCode;
}

int code4closeAll(CODE4* cb) {
  if (cb == nullptr) return -1;
  int rc = cb->errorCode < 0 ? -1 : 0;
  LINK4* link = l4first(&cb->dataList);
  while (link != nullptr) {
    LINK4* next = l4next(&cb->dataList, link);
    if (d4close(reinterpret_cast<DATA4*>(link)) < 0) rc = -1;
    link = next;
  }
  if (cb->errorCode < 0) rc = -1;
  return rc;
}

DATA4* code4findData(CODE4* cb, const char* alias) {
  if (cb == nullptr || alias == nullptr) return nullptr;
  char want[data4aliasMax + 1];
  u4copyBounded(want, alias, sizeof(want));
  u4upper(want);
  for (LINK4* l = l4first(&cb->dataList); l != nullptr; l = l4next(&cb->dataList, l)) {
    auto* d = reinterpret_cast<DATA4*>(l);
    if (std::strcmp(d->alias, want) == 0) return d;
  }
  return nullptr;
}

void error4setHook(error4hookFn hook) { g_hook = hook != nullptr ? hook : defaultHook; }

int error4get(CODE4* cb) { return cb == nullptr ? -1 : cb->errorCode; }

int error4set(CODE4* cb, int code) {
  if (cb == nullptr) return -1;
  int old = cb->errorCode;
  cb->errorCode = code;
  return old;
}

const char* error4text(int code) {
  for (const ErrorRow* r = kErrors; r->code != 0; ++r)
    if (r->code == code) return r->text;
  return nullptr;
}

void error4format(char* buf, size_t size, int code, const char* l1, const char* l2,
                  const char* l3) {
  if (size == 0) return;
  buf[0] = 0;
  constexpr size_t kLimit = 257;
  char num[5];
  c4longToText(code, num, 4);
  num[4] = 0;
  char head[32];
  std::snprintf(head, sizeof(head), "Error #: %s\n", num);
  appendText(buf, size, head);
  if (const char* t = error4text(code)) {
    appendText(buf, size, t);
    appendText(buf, size, "\n");
  }
  const char* lines[3] = {l1, l2, l3};
  for (const char* line : lines) {
    if (line == nullptr) break;
    if (std::strlen(buf) + std::strlen(line) + 3 >= kLimit) break;
    appendText(buf, size, line);
    appendText(buf, size, "\n");
  }
}

int error4report(CODE4* cb, int code, const char* line) {
  return error4reportEx(cb, code, line, nullptr, nullptr);
}

int error4reportEx(CODE4* cb, int code, const char* l1, const char* l2, const char* l3) {
  if (cb != nullptr) {
    cb->errorCode = code;
    if (cb->errorOff) return code;
  }
  char text[260];
  error4format(text, sizeof(text), code, l1, l2, l3);
  g_hook("TABLE ENGINE ERROR", text, code == err4memory ? 1 : 0);
  return code;
}

void error4severe(int code, const char* line) {
  char text[300];
  char num[5];
  c4longToText(code, num, 4);
  num[4] = 0;
  std::snprintf(text, sizeof(text), "\r\n\r\nSevere Error Number #: %s\n", num);
  if (const char* t = error4text(code)) {
    appendText(text, sizeof(text), t);
    appendText(text, sizeof(text), "\n");
  }
  if (line != nullptr && std::strlen(text) + std::strlen(line) + 1 < 257) {
    appendText(text, sizeof(text), line);
    appendText(text, sizeof(text), "\n");
  }
  g_hook("TABLE ENGINE SEVERE ERROR", text, 1);
  std::fprintf(stderr, "%s", text);
  std::_Exit(EXIT_FAILURE);
}

void error4exitTest(CODE4* cb) {
  if (cb != nullptr && cb->errorCode < 0) error4exit();
}

void error4exit() {
  std::fprintf(stderr, "EXITING APPLICATION\n");
  std::_Exit(EXIT_FAILURE);
}
