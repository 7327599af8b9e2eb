// Read-only shared views of shared files, guarded against files cut short.
#include "xbase/file_view.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The handler reads these while any thread may be adding or removing a view:
// lock-free atomics only. A slot's span is set before its base, so a base the
// handler sees always has its span.
struct Guarded {
  std::atomic<const char*> base{nullptr};
  std::atomic<size_t> span{0};
  std::atomic<int> faulted{0};
};
static_assert(std::atomic<const char*>::is_always_lock_free &&
              std::atomic<size_t>::is_always_lock_free);

constexpr int kSlots = 256;
constexpr uintptr_t kReserved = 1; // a slot being filled
constexpr int32_t kNoView = -1;     // FILE4::viewSlot: none can be had
Guarded g_slots[kSlots];
std::atomic<int64_t> g_faults{0};
size_t g_page = 4096;
struct sigaction g_previous;
std::once_flag g_installed;

void passOn(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) {
      g_previous.sa_sigaction(sig, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
    return;
  }
  // Nobody else handles it: the default action, when the faulting
  // instruction runs again on return.
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
}

void onBusError(int sig, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const char* addr = static_cast<const char*>(info->si_addr);
  for (Guarded& g : g_slots) {
    const char* base = g.base.load(std::memory_order_acquire);
    if (reinterpret_cast<uintptr_t>(base) <= kReserved || addr < base ||
        addr >= base + g.span.load(std::memory_order_relaxed))
      continue;
    // The page is gone from the file: zeros stand in until the reader has
    // noticed and dropped the view.
    void* page = const_cast<char*>(base) + static_cast<size_t>(addr - base) / g_page * g_page;
    if (mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) break;
    g.faulted.store(1, std::memory_order_relaxed);
    g_faults.fetch_add(1, std::memory_order_relaxed);
    errno = savedErrno;
    return;
  }
  errno = savedErrno;
  passOn(sig, info, context);
}

bool install() {
  static bool ok = false;
  std::call_once(g_installed, [] {
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) g_page = static_cast<size_t>(page);
    struct sigaction sa{};
    sa.sa_sigaction = onBusError;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    ok = sigaction(SIGBUS, &sa, &g_previous) == 0;
  });
  return ok;
}

int claimSlot(const char* base, size_t span) {
  for (int i = 0; i < kSlots; ++i) {
    Guarded& g = g_slots[i];
    const char* none = nullptr;
    // Reserve with a sentinel, so no other thread takes the slot meanwhile.
    if (g.base.load(std::memory_order_relaxed) != nullptr) continue;
    if (!g.base.compare_exchange_strong(none, reinterpret_cast<const char*>(kReserved),
                                        std::memory_order_acq_rel))
      continue;
    g.span.store(span, std::memory_order_relaxed);
    g.faulted.store(0, std::memory_order_relaxed);
    g.base.store(base, std::memory_order_release);
    return i;
  }
  return -1;
}

bool shared(const FILE4* f) { return f->reallyOpen && !f->exclusiveOpen && f->fd >= 0; }

// Maps the file as long as it is now; no view for an empty file, or when no
// guard slot is free.
void makeView(FILE4* f) {
  f->viewCurrent = 1;
  if (!install()) {
    f->viewSlot = kNoView;
    return;
  }
  struct stat st;
  if (fstat(f->fd, &st) != 0 || st.st_size <= 0) return;
  const size_t span = static_cast<size_t>(st.st_size);
  void* p = mmap(nullptr, span, PROT_READ, MAP_SHARED, f->fd, 0);
  const int slot = p != MAP_FAILED ? claimSlot(static_cast<const char*>(p), span) : -1;
  if (slot < 0) {
    // Not tried again for this file: its reads go to the file.
    if (p != MAP_FAILED) munmap(p, span);
    f->viewSlot = kNoView;
    return;
  }
  f->viewBase = static_cast<const char*>(p);
  f->viewLen = static_cast<int64_t>(span);
  f->viewSlot = slot;
}

// Bytes past a file's end read as zeros up to the end of their page. A read
// whose last byte is followed, within that page, by a non-zero byte lay
// wholly inside the file; otherwise the file itself says.
bool insideFile(FILE4* f, int64_t end) {
  const int64_t page = static_cast<int64_t>(g_page);
  const int64_t pageEnd = std::min<int64_t>((end - 1) / page * page + page, f->viewLen);
  const char* p = f->viewBase + end - 1;
  const char* const stop = f->viewBase + pageEnd;
  // A word at a time once aligned: a read often ends before a long run of zeros.
  for (; p < stop && reinterpret_cast<uintptr_t>(p) % 8 != 0; ++p)
    if (*p != 0) return true;
  for (; stop - p >= 8; p += 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (w != 0) return true;
  }
  for (; p < stop; ++p)
    if (*p != 0) return true;
  char last;
  return pread(f->fd, &last, 1, end - 1) == 1;
}

} // namespace

int64_t file4viewRead(FILE4* f, int64_t pos, void* buf, size_t count) {
  if (!shared(f) || pos < 0) return -2;
  if (!f->viewCurrent) {
    file4viewClose(f);
    makeView(f);
  }
  if (f->viewBase == nullptr || count == 0 || static_cast<int64_t>(count) > f->viewLen - pos) return -2;
  Guarded& g = g_slots[f->viewSlot];
  // The handler marks the view from inside the copy or the check: the fences
  // keep the compiler from looking at the mark before them.
  std::memcpy(buf, f->viewBase + pos, count);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const bool whole = g.faulted.load(std::memory_order_relaxed) == 0 &&
                     insideFile(f, pos + static_cast<int64_t>(count));
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (whole && g.faulted.load(std::memory_order_relaxed) == 0) return static_cast<int64_t>(count);
  // Cut short by another program: its new length is learnt at the next map.
  f->viewCurrent = 0;
  return -2;
}

void file4viewNoteRead(FILE4* f, int64_t pos, int64_t got) {
  if (!shared(f) || got <= 0 || f->viewSlot == kNoView) return;
  if (f->viewBase == nullptr || pos + got > f->viewLen) f->viewCurrent = 0;
}

void file4viewCut(FILE4* f, int64_t len) {
  if (f->viewBase != nullptr && len < f->viewLen) f->viewLen = std::max<int64_t>(len, 0);
}

void file4viewClose(FILE4* f) {
  if (f->viewBase == nullptr) return;
  Guarded& g = g_slots[f->viewSlot];
  const size_t span = g.span.load(std::memory_order_relaxed);
  // Out of the handler's sight before the pages go.
  g.base.store(nullptr, std::memory_order_release);
  munmap(const_cast<char*>(f->viewBase), span);
  f->viewBase = nullptr;
  f->viewLen = 0;
  f->viewSlot = 0;
}

int64_t file4viewFaults() { return g_faults.load(std::memory_order_relaxed); }
