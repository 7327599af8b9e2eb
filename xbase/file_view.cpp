// Read-only shared views of files, guarded against files cut short.
#include "xbase/file_view.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The copy this thread is making out of a view. The handler only jumps back
// out of it; it maps nothing and touches no shared state but a counter.
struct Guard {
  sigjmp_buf resume;
  const char* lo;
  const char* hi;
  volatile sig_atomic_t active;
};
thread_local Guard t_guard;

std::atomic<int64_t> g_faults{0};
static_assert(std::atomic<int64_t>::is_always_lock_free);
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
  Guard& g = t_guard;
  const char* addr = static_cast<const char*>(info->si_addr);
  if (g.active && addr >= g.lo && addr < g.hi) {
    g.active = 0;
    g_faults.fetch_add(1, std::memory_order_relaxed);
    siglongjmp(g.resume, 1);
  }
  const int savedErrno = errno;
  passOn(sig, info, context);
  errno = savedErrno;
}

bool install() {
  static bool ok = false;
  std::call_once(g_installed, [] {
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) g_page = static_cast<size_t>(page);
    struct sigaction sa{};
    sa.sa_sigaction = onBusError;
    // SIGBUS stays unblocked in the handler, so the jump out of it (which
    // does not restore the mask, to keep reads free of system calls) leaves
    // the mask as it was.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    ok = sigaction(SIGBUS, &sa, &g_previous) == 0;
  });
  return ok;
}

bool viewable(const FILE4* f) { return f->reallyOpen && f->fd >= 0; }

// Room mapped past an exclusive file's end, so that its own growth is seen
// without mapping again: as much again as it holds, at least 1 MiB.
int64_t spanFor(const FILE4* f, int64_t size) {
  if (!f->exclusiveOpen) return size;
  const int64_t page = static_cast<int64_t>(g_page);
  const int64_t want = size + std::max<int64_t>(size, int64_t{1} << 20);
  return (want + page - 1) / page * page;
}

// Maps the file as long as it is now (an exclusive file with room to grow);
// no view for an empty file.
void makeView(FILE4* f) {
  f->viewCurrent = 1;
  if (!install()) {
    f->viewRefused = 1;
    return;
  }
  struct stat st;
  if (fstat(f->fd, &st) != 0 || st.st_size <= 0) return;
  const size_t span = static_cast<size_t>(spanFor(f, st.st_size));
  void* p = mmap(nullptr, span, PROT_READ, MAP_SHARED, f->fd, 0);
  if (p == MAP_FAILED) {
    // Not tried again for this file: its reads go to the file.
    f->viewRefused = 1;
    return;
  }
  f->viewBase = static_cast<const char*>(p);
  f->viewLen = static_cast<int64_t>(st.st_size);
  f->viewSpan = static_cast<int64_t>(span);
}

// Bytes past a file's end read as zeros up to the end of their page. A read
// whose last byte is followed, within that page, by a non-zero byte lay
// wholly inside the file; so did one whose next page can be touched (a page
// wholly past the end faults, and the guard answers); otherwise the file
// itself says. A short look for a non-zero byte comes first: long runs of
// zeros (a header's unused bytes) are passed by the look at the next page.
bool insideFile(FILE4* f, int64_t end) {
  const int64_t page = static_cast<int64_t>(g_page);
  const int64_t pageEnd = std::min<int64_t>(((end - 1) & ~(page - 1)) + page, f->viewLen);
  const char* p = f->viewBase + end - 1;
  const char* const stop = f->viewBase + pageEnd;
  const auto nonZeroBefore = [&p](const char* until) {
    // A word at a time once aligned.
    for (; p < until && reinterpret_cast<uintptr_t>(p) % 8 != 0; ++p)
      if (*p != 0) return true;
    for (; until - p >= 8; p += 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (w != 0) return true;
    }
    for (; p < until; ++p)
      if (*p != 0) return true;
    return false;
  };
  if (nonZeroBefore(std::min(stop, p + 64))) return true;
  if (pageEnd < f->viewLen) {
    const volatile char* next = f->viewBase + pageEnd;
    (void)*next;
    return true;
  }
  if (nonZeroBefore(stop)) return true;
  char last;
  return pread(f->fd, &last, 1, end - 1) == 1;
}

} // namespace

int64_t file4viewRead(FILE4* f, int64_t pos, void* buf, size_t count) {
  if (!viewable(f) || pos < 0 || f->viewRefused) return -2;
  if (!f->viewCurrent) {
    file4viewClose(f);
    makeView(f);
  }
  if (f->viewBase == nullptr || count == 0 || static_cast<int64_t>(count) > f->viewLen - pos) return -2;
  Guard& g = t_guard;
  g.lo = f->viewBase;
  g.hi = f->viewBase + f->viewSpan;
  if (sigsetjmp(g.resume, 0) != 0) {
    // Cut short by another program: its new length is learnt at the next map.
    f->viewCurrent = 0;
    return -2;
  }
  g.active = 1;
  // The fences keep the copy and the check between the guard's start and end.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(buf, f->viewBase + pos, count);
  // Only this program changes the length of a file it holds exclusively.
  const bool whole = f->exclusiveOpen || insideFile(f, pos + static_cast<int64_t>(count));
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g.active = 0;
  if (whole) return static_cast<int64_t>(count);
  f->viewCurrent = 0;
  return -2;
}

void file4viewNoteRead(FILE4* f, int64_t pos, int64_t got) {
  if (!viewable(f) || got <= 0 || f->viewRefused) return;
  if (f->viewBase == nullptr || pos + got > f->viewLen) f->viewCurrent = 0;
}

void file4viewNoteWrite(FILE4* f, int64_t end) {
  if (f->viewBase == nullptr || !f->exclusiveOpen || end <= f->viewLen) return;
  if (end <= f->viewSpan) f->viewLen = end;
  else f->viewCurrent = 0;
}

void file4viewCut(FILE4* f, int64_t len) {
  if (f->viewBase == nullptr) return;
  len = std::max<int64_t>(len, 0);
  if (len < f->viewLen) f->viewLen = len;
  else file4viewNoteWrite(f, len);
}

void file4viewClose(FILE4* f) {
  if (f->viewBase == nullptr) return;
  munmap(const_cast<char*>(f->viewBase), static_cast<size_t>(f->viewSpan));
  f->viewBase = nullptr;
  f->viewLen = 0;
  f->viewSpan = 0;
}

int64_t file4viewFaults() { return g_faults.load(std::memory_order_relaxed); }
