// A private hive file per test: ORVELIN_REGISTRY points at it while the test runs, and the
// directory is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "settings/settings_log.h"

namespace orvelin::settings::testing {

inline constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";
inline constexpr const char* kProductSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n";

class HiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* base = std::getenv("ORVELIN_TEST_TMP");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
        dir_ = pattern;
        hivePath_ = dir_ / "orvelin.reg";
        ASSERT_EQ(setenv("ORVELIN_REGISTRY", hivePath_.c_str(), 1), 0);
    }

    void TearDown() override {
        unsetenv("ORVELIN_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Replaces the whole hive file with `text`, as an administrator's editor would.
    void writeHive(const std::string& text) {
        std::ofstream out(hivePath_, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good()) << hivePath_;
    }

    // A hive holding only the product key with the given value lines.
    void writeProductValues(const std::string& lines) {
        writeHive(std::string(kHeader) + kProductSection + lines);
    }

    std::string readHive() const {
        std::ifstream in(hivePath_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path dir_;
    std::filesystem::path hivePath_;
};

// Collects the settings store's log lines while it lives.
class CapturedLog {
  public:
    CapturedLog() { SetSettingsLogSink(&CapturedLog::append); }
    ~CapturedLog() {
        SetSettingsLogSink(nullptr);
        std::lock_guard lock(mutex());
        lines().clear();
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex());
        return std::exchange(lines(), {});
    }

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
    static void append(std::string_view line) {
        std::lock_guard lock(mutex());
        lines().emplace_back(line);
    }
};

}  // namespace orvelin::settings::testing
