// Shared fixture: a fresh CODE4, a private temporary directory, and the error
// reports captured instead of printed.
#pragma once

#include "xbase/engine.h"
#include "xbase/table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace xbtest {

struct Report {
  std::string caption;
  std::string text;
  int systemModal;
};

inline std::vector<Report>& reports() {
  static std::vector<Report> r;
  return r;
}

inline void captureReport(const char* caption, const char* text, int systemModal) {
  reports().push_back({caption, text, systemModal});
}

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("ORVELIN_TEST_TMP");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/xbase.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr) std::abort();
    path_ = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  size_t entries() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path_),
                                             std::filesystem::directory_iterator()));
  }

 private:
  std::string path_;
};

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Read system calls this process has made so far (/proc/self/io); -1 when the kernel
// does not say.
inline int64_t readCalls() {
  std::ifstream in("/proc/self/io");
  std::string key;
  int64_t value = 0;
  while (in >> key >> value)
    if (key == "syscr:") return value;
  return -1;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reports().clear();
    error4setHook(captureReport);
    code4init(&cb);
    u4copyBounded(cb.tempDirectory, dir.path().c_str(), sizeof(cb.tempDirectory));
  }
  void TearDown() override {
    cb.errorCode = 0;
    code4closeAll(&cb);
    code4release(&cb);
    error4setHook(nullptr);
  }

  CODE4 cb{};
  TempDir dir;
};

} // namespace xbtest
