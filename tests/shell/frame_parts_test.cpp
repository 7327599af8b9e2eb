// The frame's parts that need no window: the line lock, the password values in the hive,
// the web shortcut, the tray icon's requests and retries, and the pictures.
#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>
#include <fstream>
#include <set>

#include "client/window/svg_icons.h"
#include "shell/frame_pictures.h"
#include "shell/line_lock.h"
#include "shell/main_frame.h"
#include "shell/tray_icon.h"
#include "tests/client/test_dir.h"
#include "tests/shell/fake_tray.h"
#include "tests/support/qt_environment.h"

namespace orvelin::shell {
namespace {

using Kind = StoredPassword::Kind;

TEST(LineLockTest, ChoosesByStoredValueAndAnswer) {
    struct Case {
        const char* name;
        int current, requested;
        StoredPassword stored;
        std::optional<std::string> answer;  // nullopt: cancel
        int expected;
        bool asks;
        bool logs;
    };
    const std::string longPassword(100, 'x');
    const Case cases[] = {
        {"absent value never asks", 0, 3, {}, "x", 3, false, false},
        {"no lines never asks", 2, 11, {Kind::Text, "s", {}}, "s", 11, false, false},
        {"same line does nothing", 4, 4, {Kind::Text, "s", {}}, "s", 4, false, false},
        {"out of range keeps", 4, 12, {}, "x", 4, false, false},
        {"negative keeps", 4, -1, {}, "x", 4, false, false},
        {"right password", 0, 5, {Kind::Text, "Secret", {}}, "Secret", 5, true, false},
        {"case counts", 0, 5, {Kind::Text, "Secret", {}}, "secret", 0, true, false},
        {"prefix is not enough", 7, 5, {Kind::Text, "Secret", {}}, "Sec", 7, true, false},
        {"longer is not enough", 7, 5, {Kind::Text, "Secret", {}}, "Secrets", 7, true, false},
        {"whole long value compared", 0, 1, {Kind::Text, longPassword, {}}, longPassword.substr(0, 64), 0, true, false},
        {"long value accepted whole", 0, 1, {Kind::Text, longPassword, {}}, longPassword, 1, true, false},
        {"empty password", 3, 0, {Kind::Text, "", {}}, "", 0, true, false},
        {"cancel selects no lines", 3, 0, {Kind::Text, "s", {}}, std::nullopt, 11, true, false},
        {"unusable value denies", 3, 6, {Kind::Unusable, {}, "not a string"}, "x", 3, false, true},
    };
    for (const Case& c : cases) {
        int asked = 0, maxChars = 0;
        std::vector<std::string> log;
        LineLock lock({[&](int choice) {
                           EXPECT_EQ(choice, c.requested) << c.name;
                           return c.stored;
                       },
                       [&](int chars) {
                           ++asked;
                           maxChars = chars;
                           return c.answer;
                       },
                       [&](const std::string& line) { log.push_back(line); }});
        EXPECT_EQ(lock.choose(c.current, c.requested), c.expected) << c.name;
        EXPECT_EQ(asked, c.asks ? 1 : 0) << c.name;
        EXPECT_EQ(!log.empty(), c.logs) << c.name;
        if (c.asks) {
            EXPECT_EQ(maxChars, std::max<int>(64, int(c.stored.text.size()))) << c.name;
        }
    }
}

TEST(LineLockTest, ReadsThePasswordValuesOfTheHive) {
    struct Case {
        const char* name;
        const char* hive;  // null: no file at all
        int choice;
        Kind kind;
        std::string text;
    };
    const char* head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n";
    const std::string values = std::string(head) +
                               "\"Pass0\"=\"all\"\n\"pass3\"=\"Three \\\"quoted\\\"\"\n"
                               "\"Pass4\"=dword:00000004\n\"Pass5\"=\"" + std::string(80, 'p') + "\"\n";
    const Case cases[] = {
        {"no hive", nullptr, 0, Kind::Absent, ""},
        {"no value", values.c_str(), 1, Kind::Absent, ""},
        {"all lines reads Pass0", values.c_str(), 0, Kind::Text, "all"},
        {"names ignore case", values.c_str(), 3, Kind::Text, "Three \"quoted\""},
        {"a number is no password", values.c_str(), 4, Kind::Unusable, ""},
        {"long values are whole", values.c_str(), 5, Kind::Text, std::string(80, 'p')},
        {"an unreadable hive locks", "this is no hive\n", 1, Kind::Unusable, ""},
    };
    for (const Case& c : cases) {
        test::TestDir dir;
        setenv("ORVELIN_HOME", (dir.path().string() + "/").c_str(), 1);
        if (c.hive) std::ofstream(dir / "orvelin.reg") << c.hive;
        const StoredPassword stored = readLinePassword(c.choice);
        EXPECT_EQ(stored.kind, c.kind) << c.name;
        EXPECT_EQ(stored.text, c.text) << c.name;
        if (c.kind == Kind::Unusable) {
            EXPECT_FALSE(stored.problem.empty()) << c.name;
        }
        unsetenv("ORVELIN_HOME");
    }
}

TEST(ShortcutAddressTest, TakesOnlyWebAddressesOfTheShortcutSection) {
    struct Case {
        const char* text;
        std::optional<std::string> address;
    };
    const Case cases[] = {
        {"[InternetShortcut]\r\nURL=https://example.org/orvelin\r\n", "https://example.org/orvelin"},
        {"[internetshortcut]\nurl = http://example.org\n", std::nullopt},  // the key has no blanks
        {"[internetshortcut]\nurl=http://example.org/\n", "http://example.org/"},
        {"[InternetShortcut]\nURL=http://example.org/a b\n", std::nullopt},
        {"[Other]\nURL=https://example.org\n", std::nullopt},
        {"URL=https://example.org\n", std::nullopt},
        {"[InternetShortcut]\nURL=file:///etc/passwd\n", std::nullopt},
        {"[InternetShortcut]\nURL=javascript:alert(1)\n", std::nullopt},
        {"[InternetShortcut]\nURL=-o/tmp/x\n", std::nullopt},
        {"[InternetShortcut]\nURL=https://\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ShortcutAddress(c.text), c.address) << c.text;
}

TEST(TrayIconTest, PicturesFollowTheState) {
    EXPECT_EQ(trayPictureFor(true, false), TrayPicture::LinesOn);
    EXPECT_EQ(trayPictureFor(true, true), TrayPicture::Message);
    EXPECT_EQ(trayPictureFor(false, true), TrayPicture::CapiOff);
    EXPECT_EQ(trayPictureFor(false, false), TrayPicture::CapiOff);
}

TEST(TrayIconTest, RetriesUntilATrayTakesItAndAgainAfterTheTrayWentAway) {
    FakeTray host;
    std::vector<std::string> log;
    host.present = false;
    {
        TrayIcon icon(host, [&](const std::string& l) { log.push_back(l); }, 0x1234);
        EXPECT_FALSE(icon.add());
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0], "In TrayMessage: res=FALSE hDlg=  0x1234 dwMessage=       0 uID=100 "
                          "hIcon=   0x3e9 pszTip=Orvelin");
        icon.modify(TrayPicture::CapiOff);  // kept for the icon to come
        EXPECT_EQ(log.size(), 1u) << "nothing asked of a tray that is not there";
        EXPECT_FALSE(icon.check());

        host.present = true;
        EXPECT_TRUE(icon.check());
        EXPECT_TRUE(host.shown);
        EXPECT_EQ(host.lastTip, "Orvelin");
        EXPECT_EQ(icon.picture(), TrayPicture::CapiOff) << "placed with the current state";
        EXPECT_NE(log.back().find("res=TRUE"), std::string::npos);
        EXPECT_NE(log.back().find("hIcon=   0x3ea"), std::string::npos);

        const std::size_t lines = log.size();
        EXPECT_TRUE(icon.check());
        EXPECT_EQ(log.size(), lines) << "a placed icon is left alone";

        host.present = false;  // the panel restarts
        host.shown = false;
        EXPECT_FALSE(icon.check());
        host.present = true;
        EXPECT_TRUE(icon.check());
        EXPECT_TRUE(host.shown);

        icon.modify(TrayPicture::Message);
        EXPECT_NE(log.back().find("dwMessage=     0x1"), std::string::npos);
        EXPECT_NE(log.back().find("hIcon=   0x3eb"), std::string::npos);
    }
    EXPECT_FALSE(host.shown) << "the icon leaves the tray with its owner";
    EXPECT_NE(log.back().find("dwMessage=     0x2"), std::string::npos);
    EXPECT_NE(log.back().find("pszTip="), std::string::npos);
}

TEST(FramePicturesTest, EveryPictureDrawsSharplyAtOneAndTwoTimes) {
    std::vector<std::pair<QString, QSize>> pictures;
    for (TrayPicture p : {TrayPicture::LinesOn, TrayPicture::CapiOff, TrayPicture::Message})
        pictures.push_back({trayResource(p), {16, 16}});
    for (int bitmap : {24332, 102, 103, 175, 106, 105, 193, 207, 213, 214, 212, 167})
        pictures.push_back({toolResource(bitmap), {24, 24}});
    for (int state = 0; state < kLinePictures; ++state) pictures.push_back({lineResource(state), {16, 16}});
    for (int state = 0; state < 12; ++state) pictures.push_back({client::callStateResource(state), {16, 14}});
    for (int kind = 0; kind < 3; ++kind) pictures.push_back({client::callKindResource(kind), {16, 14}});
    // Loading through the icon functions registers both resource sets.
    ASSERT_FALSE(trayIcon(TrayPicture::LinesOn).isNull());
    ASSERT_FALSE(client::svgIcon(client::callStateResource(0)).isNull());

    std::set<QByteArray> distinct;
    for (const auto& [resource, size] : pictures) {
        ASSERT_FALSE(resource.isEmpty());
        for (qreal ratio : {1.0, 2.0}) {
            const QPixmap pixmap = client::svgPixmap(resource, size, ratio);
            ASSERT_FALSE(pixmap.isNull()) << resource.toStdString();
            EXPECT_EQ(pixmap.size(), size * ratio) << resource.toStdString();
            EXPECT_EQ(pixmap.devicePixelRatio(), ratio);
            const QImage image = pixmap.toImage();
            int opaque = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 200;
            // A picture covers a good part of its box (line drawings less), and leaves
            // some of it free.
            EXPECT_GT(opaque, image.width() * image.height() / 8) << resource.toStdString() << " x" << ratio;
            EXPECT_LT(opaque, image.width() * image.height()) << resource.toStdString();
            if (ratio == 2.0)
                distinct.insert(QByteArray(reinterpret_cast<const char*>(image.constBits()),
                                           int(image.sizeInBytes())));
        }
    }
    EXPECT_EQ(distinct.size(), pictures.size()) << "no two pictures alike";
    EXPECT_TRUE(client::svgPixmap(":/orvelin/none.svg", {16, 16}).isNull());
    EXPECT_TRUE(client::svgIcon(":/orvelin/none.svg").isNull());
    EXPECT_TRUE(toolResource(999).isEmpty());
    EXPECT_TRUE(linePicture(7, 1.0).isNull());
}

}  // namespace
}  // namespace orvelin::shell
