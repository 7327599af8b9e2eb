// What the settings library's form tests share: a private program folder with
// its own hive, and stderr caught while a form's boxes write to it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/registry.h"

namespace orvelin::test {

// A program folder "<test tmp>/<prefix>-<pid>-<test>/" with "Answer" in it, and
// ORVELIN_REGISTRY pointing at its hive for the length of one test.
class HiveFormTest : public testing::Test {
  protected:
    explicit HiveFormTest(std::string prefix) : prefix_(std::move(prefix)) {}
    void SetUp() override {
        const char* tmp = std::getenv("ORVELIN_TEST_TMP");
        dir_ = std::string(tmp ? tmp : "/tmp") + "/" + prefix_ + "-" + std::to_string(getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ + "Answer");
        hive_ = dir_ + "orvelin.reg";
        setenv("ORVELIN_REGISTRY", hive_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ORVELIN_REGISTRY");
        std::filesystem::remove_all(dir_);
    }
    void writeHive(const ::platform::RegNode& root) {
        std::ofstream(hive_, std::ios::trunc) << ::platform::serializeHive(root);
    }
    std::string hiveText() const {
        std::ifstream in(hive_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    ::platform::RegNode readHive() const {
        ::platform::RegNode root;
        EXPECT_TRUE(::platform::Hive(hive_).load(root).ok());
        return root;
    }

    std::string dir_, hive_;

  private:
    std::string prefix_;
};

// What the library's boxes say while the form runs headless: they go to stderr.
class StderrCapture {
  public:
    explicit StderrCapture(std::string path) : path_(std::move(path)) {
        std::fflush(stderr);
        saved_ = dup(2);
        const int fd = open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    std::string finish() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        std::ifstream in(path_);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

  private:
    std::string path_;
    int saved_ = -1;
};

}  // namespace orvelin::test
