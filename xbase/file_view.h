// Read-only shared views of files. A shared mapping shows the same pages a
// read would copy, other programs' writes included, so "read from the file"
// keeps its meaning while costing one copy. A file open exclusively is mapped
// with room past its end, and the view follows this program's own writes.
//
// A file cut short by another program turns a touch past its new end into
// SIGBUS. Only the copy out of a view is guarded: a fault inside the view
// while this thread copies from it leaves the copy, the reader reads from the
// file instead and maps again. Any other fault, in a view or not, goes to the
// handler that was there before.
#pragma once

#include "xbase/engine.h"

#include <cstddef>
#include <cstdint>

// Copies [pos, pos + count) when the view can answer exactly as a read of the
// file would: count, or -2 when the caller must read from the file.
int64_t file4viewRead(FILE4* f, int64_t pos, void* buf, size_t count);
// After a read from the file returned `got` bytes at `pos`: a file grown past
// the view, or a view that could not answer, is mapped again at the next read.
void file4viewNoteRead(FILE4* f, int64_t pos, int64_t got);
// This program wrote the file up to `end`: an exclusive file's view shows it.
void file4viewNoteWrite(FILE4* f, int64_t end);
// This program set the file's length: nothing past `len` is read through the
// view (an exclusive file's view shows all of it).
void file4viewCut(FILE4* f, int64_t len);
void file4viewClose(FILE4* f);
// Asks the processor to start fetching [pos, pos + count) from the view, for a
// copy that follows soon; nothing when the view does not cover it.
inline void file4viewPrefetch(const FILE4* f, int64_t pos, size_t count) {
  if (f->viewBase == nullptr || pos < 0 || static_cast<int64_t>(count) > f->viewLen - pos) return;
  const char* p = f->viewBase + pos;
  for (size_t at = 0; at < count; at += 64) __builtin_prefetch(p + at);
  __builtin_prefetch(p + count - 1);
}
// Copies out of a view cut short by a fault since the start (for tests).
int64_t file4viewFaults();
