// Screenshots of a form: the test named by `filter` runs again in a child
// process on a virtual X server and saves its pictures into a folder under the
// test tmp; each picture must be a drawn form, not a flat area. Pictures are 640 x 480
// unless `size` is empty, which takes any picture of at least 64 x 32.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QImage>
#include <QSize>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace orvelin::test {

inline void ScreenshotsUnderXvfb(const std::string& folder, const std::string& filter, int pictures,
                                 QSize size = QSize(640, 480)) {
    if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "xvfb-run missing (Debian package xvfb)";
    const char* tmp = std::getenv("ORVELIN_TEST_TMP");
    const std::string shots = std::string(tmp ? tmp : "/tmp") + "/" + folder;
    std::filesystem::remove_all(shots);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    // The X libraries keep allocations for the life of the process and read strings past
    // their ends (strndup on unterminated data): the forms are checked by the offscreen runs.
    std::string command = "ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=xcb ORVELIN_SCREENSHOTS='";
    command += shots;
    command += "' xvfb-run -a -s '-screen 0 1024x768x24' '";
    command += self;
    command += "' --gtest_filter=" + filter;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(shots)) {
        const QImage image(QString::fromStdString(entry.path()));
        if (size.isEmpty()) {
            EXPECT_GE(image.width(), 64) << entry.path();
            EXPECT_GE(image.height(), 32) << entry.path();
        } else {
            EXPECT_EQ(image.size(), size) << entry.path();
        }
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 4)
            for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 8u) << entry.path();
        ++found;
    }
    EXPECT_EQ(found, pictures);
    std::printf("screenshots (%s): %s\n", filter.c_str(), shots.c_str());
}

}  // namespace orvelin::test
