// What the settings library's form tests share: a private program folder with
// its own hive, stderr caught while a form's boxes write to it, and a form run
// modally through the library's export with a test driving it by hand.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "media/wavefile.h"
#include "platform/registry.h"

namespace orvelin::test {

// What every form says when its settings could not be written.
inline constexpr const char* kSaveFailed = "An error occured while trying to save your settings.";

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
    ~StderrCapture() { finish(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // What was written since the capture began; stderr is back to where it was.
    std::string finish() {
        if (saved_ < 0) return text_;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
        std::ifstream in(path_);
        text_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return text_;
    }

  private:
    std::string path_, text_;
    int saved_ = -1;
};

inline bool libraryLoaded(const std::string& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

// Calls `open` (an export that runs a form modally) with `drive` acting on the open
// form and closing it; what `open` returned. A form that never opened, was left open,
// or a library still loaded afterwards fails the test; a watchdog ends a stuck form.
template <typename Open>
auto runModal(const std::string& library, const std::function<void(QDialog&)>& drive, Open open) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        ADD_FAILURE() << "the form was closed by the watchdog";
        if (QWidget* w = QApplication::activeModalWidget()) w->close();
    });
    watchdog.start(60000);
    bool driven = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr) << "no modal form";
        drive(*dialog);
        driven = true;
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the form is still open";
            dialog->close();
        }
    });
    auto result = open();
    EXPECT_TRUE(result.called()) << result.error;
    EXPECT_TRUE(driven);
    EXPECT_FALSE(libraryLoaded(library)) << "the library stayed loaded after the call";
    return result;
}

// Replaces an editor's text key by key, with each character as the key's text (the
// test library's key clicks know only ASCII).
inline void typeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(edit, &press);
    }
}

// This process's playback streams on the sound server, by index; empty without a
// server. A stream started anew has a new index.
inline std::vector<int> soundStreams() {
    std::vector<int> out;
    FILE* p = popen("pactl list sink-inputs 2>/dev/null", "r");
    if (!p) return out;
    const std::string mine = "application.process.id = \"" + std::to_string(getpid()) + "\"";
    char line[1024];
    int index = -1;
    while (std::fgets(line, sizeof line, p)) {
        const std::string text = line;
        if (text.rfind("Sink Input #", 0) == 0) index = std::atoi(text.c_str() + 12);
        if (text.find(mine) != std::string::npos && index >= 0) out.push_back(index);
    }
    pclose(p);
    return out;
}

// Plays with Play, starts over with Back (a new stream) and ends with Stop, on the form's
// player buttons of those names.
inline void expectBackStartsOver(const std::function<void(const char*)>& press) {
    press("Play");
    std::vector<int> playing;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (playing = soundStreams()).size() == 1; }, 5000))
        << "the greeting does not play";
    press("Back");
    std::vector<int> again;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return (again = soundStreams()).size() == 1 && again != playing; }, 5000))
        << "Back did not start the greeting over";
    press("Stop");
    EXPECT_TRUE(QTest::qWaitFor([&] { return soundStreams().empty(); }, 5000));
}

// A greeting of `seconds` of line silence in the program's format, at `path`.
inline void writeSilentGreeting(const std::string& path, int seconds) {
    const std::vector<std::uint8_t> silence(std::size_t(seconds) * 8000, 0xD5);
    const auto header =
        orvelin::media::MakeWaveHeader(orvelin::media::WaveFormatALaw, std::uint32_t(silence.size()));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(header.data()), std::streamsize(header.size()));
    out.write(reinterpret_cast<const char*>(silence.data()), std::streamsize(silence.size()));
}

// A picture of the form as the X server shows it, for the screenshot runs.
inline void saveScreenshot(QDialog& form, const std::string& file) {
    QTest::qWait(200);  // the server draws after the page switch; nothing to wait on
    const QPixmap shot =
        form.screen()->grabWindow(0, form.x(), form.y(), form.width(), form.height());
    EXPECT_TRUE(shot.save(QString::fromStdString(file))) << file;
}

}  // namespace orvelin::test
