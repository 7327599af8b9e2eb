// Test helper: holds a lock on a table in its own process.
//   xbase_lock_holder TABLE MODE [RELEASE_MS]
// MODE: file, append, record:N, exclusive (opens the table exclusively),
//       index:PATH (opens that index file of the table and locks it).
// Prints "ready" once the lock is held; releases after RELEASE_MS, or when
// its standard input closes or gives a line.
#include "xbase/index.h"
#include "xbase/table.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  CODE4 cb{};
  code4init(&cb);
  cb.lockAttempts = 1;
  const char* mode = argv[2];
  if (std::strcmp(mode, "exclusive") == 0) cb.exclusive = 1;
  DATA4* d = d4open(&cb, argv[1]);
  if (d == nullptr) return 3;
  int rc = 0;
  if (std::strcmp(mode, "file") == 0) {
    rc = d4lockFile(d);
  } else if (std::strcmp(mode, "append") == 0) {
    rc = d4lockAppend(d);
  } else if (std::strncmp(mode, "record:", 7) == 0) {
    rc = d4lockRecord(d, std::atoi(mode + 7));
  } else if (std::strncmp(mode, "index:", 6) == 0) {
    INDEX4* ix = i4open(d, mode + 6);
    rc = ix != nullptr ? i4lock(ix) : -1;
  }
  if (rc != 0) return 4;
  std::printf("ready\n");
  std::fflush(stdout);
  if (argc > 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[3])));
  } else {
    char line[16];
    (void)std::fgets(line, sizeof(line), stdin);
  }
  d4close(d);
  code4release(&cb);
  return 0;
}
