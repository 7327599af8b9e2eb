// One QApplication for the whole test binary (offscreen unless the environment says
// otherwise), built before the first test and destroyed after the last, as the program
// owns the one its windows and the library's dialogs use.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace test_support {

class QtEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
        app_->setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[16] = "orvelin_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

inline testing::Environment* const kQtEnvironment =
    testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace test_support
