// The number dialog as the program opens it: the library loaded by file name, the export
// called once, the form driven by hand while it runs modally, the library gone afterwards.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <functional>

#include "media/alsa_player.h"
#include "media/wavefile.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "tests/support/qt_environment.h"
#include "tests/tessaly/form_fixture.h"
#include "tests/tessaly/screenshots.h"

namespace {

using orvelin::test::StderrCapture;
using platform::RegNode;

const std::string kDir = ORVELIN_BUILD_DIR;
constexpr const char* kLibrary = "libtessaly.so";
constexpr const char* kMsnKey = "SOFTWARE\\ORVELIN\\MSN";
constexpr const char* kRestart = "Orvelin must be restarted for the changes to take effect.";
constexpr const char* kMediaError = "Internal error: Media Player";

struct Form {
    QDialog& dialog;
    QTreeWidget* tree() { return dialog.findChild<QTreeWidget*>("TreeView1"); }
    QTableWidget* grid() { return dialog.findChild<QTableWidget*>("StringGrid1"); }
    void button(const char* name) { dialog.findChild<QToolButton*>(name)->click(); }
    // msn 0 chooses the controller's own node.
    void choose(int controller, int msn) {
        QTreeWidgetItem* c = tree()->topLevelItem(controller - 1);
        ASSERT_NE(c, nullptr);
        tree()->setCurrentItem(msn ? c->child(msn - 1) : c);
    }
    QString cell(int row) { return grid()->item(row, 1)->text(); }
    std::vector<std::string> column() {
        std::vector<std::string> out;
        for (int row = 0; row < 8; ++row) out.push_back(cell(row).toStdString());
        return out;
    }
    void click(int row) {
        QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {},
                          grid()->visualItemRect(grid()->item(row, 1)).center());
    }
    // Clicks the cell, then types into its editor over what it held.
    void type(int row, const QString& text) {
        click(row);
        auto* edit = qobject_cast<QLineEdit*>(grid()->indexWidget(grid()->model()->index(row, 1)));
        ASSERT_NE(edit, nullptr) << "no editor on row " << row;
        orvelin::test::typeInto(edit, text);
    }
};

class MsnForm : public orvelin::test::HiveFormTest {
  protected:
    MsnForm() : HiveFormTest("msn") {}

    // Runs the export with `drive` acting on the open form (and closing it); the result.
    int run(const std::function<void(Form&)>& drive, int controllers = 1, int fax = 1) {
        const auto r = orvelin::test::runModal(
            kDir + "/" + kLibrary,
            [&](QDialog& dialog) {
                Form form{dialog};
                drive(form);
            },
            [&] {
                using Invoke = int(const char*, int, int, int, int, int, int);
                return platform::callLibraryExportIn<Invoke>(kDir, kLibrary, "_InvokeMSNDialog",
                                                             dir_.c_str(), controllers, fax, 100,
                                                             80, 480, 640);
            });
        return r.value.value_or(-1);
    }
};

const std::vector<std::string> kFreshController = {"0x10012", "No", "Yes", "No", "Yes",
                                                   "0x0001",  "Yes", "No"};

TEST_F(MsnForm, ControllerRowsSetTheMasksAndTheSaveWritesThem) {
    struct Case {
        const char* name;
        std::vector<int> clicks;  // rows of the controller node, in order
        std::vector<std::string> shown;
        std::uint32_t cip, info;
    };
    const Case cases[] = {
        {"everything turns the services off", {1}, {"0x0001", "Yes", "No", "No", "No", "0x0001", "Yes", "No"}, 1, 1},
        {"telephony again after everything", {1, 2}, {"0x10012", "No", "Yes", "No", "No", "0x0001", "Yes", "No"}, 0x10012, 1},
        {"data on, fax off", {3, 4}, {"0x10116", "No", "Yes", "Yes", "No", "0x0001", "Yes", "No"}, 0x10116, 1},
        {"general and extended", {7}, {"0x30012", "No", "Yes", "No", "Yes", "0x0019", "Yes", "Yes"}, 0x30012, 0x19},
        {"computed rows and labels do not toggle", {0, 5}, kFreshController, 0x30012, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(hive_);
        StderrCapture log(dir_ + "stderr.txt");
        const int result = run([&](Form& f) {
            f.choose(1, 0);
            EXPECT_EQ(f.column(), kFreshController);
            for (int row : c.clicks) f.click(row);
            QTest::mouseClick(f.grid()->viewport(), Qt::LeftButton, {},
                              f.grid()->visualItemRect(f.grid()->item(2, 0)).center());
            EXPECT_EQ(f.column(), c.shown);
            f.button("Save");
        });
        const bool changed = !c.clicks.empty() && c.clicks != std::vector<int>{0, 5};
        EXPECT_EQ(result, changed ? 1 : 2);
        const std::string said = log.finish();
        if (!changed) {
            EXPECT_FALSE(std::filesystem::exists(hive_));
            continue;
        }
        const RegNode root = readHive();
        const RegNode* k = root.subkey("SOFTWARE\\ORVELIN");
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->readDword("CIP Mask", 0), c.cip);
        EXPECT_EQ(k->readDword("Info Mask", 0), c.info);
        const bool restart = c.cip != 0x10012 || c.info != 1;
        EXPECT_EQ(said.find(kRestart) != std::string::npos, restart) << said;
    }
}

// A hive with two controllers' worth of values, and keys the form does not own.
RegNode baseline() {
    RegNode root;
    RegNode* p = root.createSubkey("SOFTWARE\\ORVELIN");
    p->setDword("CIP Mask", 0x10012);
    p->setDword("Options", 0x92);
    RegNode* m = root.createSubkey(kMsnKey);
    m->setBinary("Popup Settings", std::vector<std::uint8_t>{0x01, 0xFC});  // bits 10-15 set
    m->setBinary("Log Settings", std::vector<std::uint8_t>{0x03, 0x00});
    m->setBinary("Answer Settings", std::vector<std::uint8_t>{0x00, 0x00});
    m->setBinary("Fax Setting", std::vector<std::uint8_t>{0x02, 0x00});
    m->createSubkey("Numbers")->setString("MSN1", "1234");
    m->createSubkey("Numbers")->setString("MSN2", "5678");
    m->createSubkey("Names")->setString("MSN1", "Office");
    m->createSubkey("Recording delay")->setString("MSN2", "5");
    RegNode* m2 = root.createSubkey(std::string(kMsnKey) + "2");
    m2->createSubkey("Numbers")->setString("MSN1", "9999");
    root.createSubkey("SOFTWARE\\ORVELIN\\Callers\\0301")->setString("Name", "Anne");
    return root;
}

TEST_F(MsnForm, MsnEditsLandInTheHiveOnlyWhenSaved) {
    struct Case {
        const char* name;
        int controllers, fax;
        std::function<void(Form&)> act;  // ends by closing
        int result;
        std::function<void(const RegNode&)> check;  // on the saved hive
    };
    const auto bytes = [](const RegNode& root, const std::string& key, const char* value) {
        const RegNode* k = root.subkey(key);
        const platform::RegValue* v = k ? k->value(value) : nullptr;
        return v ? v->data : std::vector<std::uint8_t>{};
    };
    const auto text = [](const RegNode& root, const std::string& key, const char* value) {
        const RegNode* k = root.subkey(key);
        return k ? k->readString(value, "<none>") : std::string("<no key>");
    };
    const std::string numbers = std::string(kMsnKey) + "\\Numbers";
    const Case cases[] = {
        {"display text, Save & Close", 1, 1,
         [](Form& f) {
             f.choose(1, 2);
             EXPECT_EQ(f.column(), (std::vector<std::string>{"5678", "", "No", "Yes", "No", "Yes", "5", "180"}));
             f.type(1, "Kitchen");
             f.button("Save");
         },
         1,
         [&](const RegNode& r) {
             EXPECT_EQ(text(r, std::string(kMsnKey) + "\\Names", "MSN2"), "Kitchen");
             EXPECT_EQ(text(r, std::string(kMsnKey) + "\\Names", "MSN1"), "Office");
             EXPECT_EQ(text(r, std::string(kMsnKey) + "\\Max recording time", "MSN10"), "180");
             EXPECT_EQ(bytes(r, kMsnKey, "Popup Settings"), (std::vector<std::uint8_t>{0x01, 0xFC}));
             EXPECT_EQ(text(r, "SOFTWARE\\ORVELIN\\Callers\\0301", "Name"), "Anne");
         }},
        {"answer on turns fax off; the close box keeps the unleft node's edits", 1, 1,
         [](Form& f) {
             f.choose(1, 2);
             f.click(4);
             EXPECT_EQ(f.cell(4), "Yes");
             EXPECT_EQ(f.cell(5), "No");
             f.click(5);
             EXPECT_EQ(f.cell(4), "No");
             f.type(0, "12345678901234567890");  // cut to the 13 bytes the program reads
             f.dialog.close();
         },
         1,
         [&](const RegNode& r) {
             EXPECT_EQ(bytes(r, kMsnKey, "Fax Setting"), (std::vector<std::uint8_t>{0x02, 0x00}));
             EXPECT_EQ(bytes(r, kMsnKey, "Answer Settings"), (std::vector<std::uint8_t>{0x00, 0x00}));
             EXPECT_EQ(text(r, numbers, "MSN2"), "1234567890123");
         }},
        {"without fax a fax cell never stays Yes and the mask is saved 0", 1, 0,
         [](Form& f) {
             f.choose(1, 2);
             EXPECT_EQ(f.cell(5), "No");
             f.click(5);
             EXPECT_EQ(f.cell(5), "No");
             f.click(2);
             f.button("Save");
         },
         1,
         [&](const RegNode& r) {
             EXPECT_EQ(bytes(r, kMsnKey, "Fax Setting"), (std::vector<std::uint8_t>{0, 0}));
             EXPECT_EQ(bytes(r, kMsnKey, "Popup Settings"), (std::vector<std::uint8_t>{0x03, 0xFC}));
         }},
        {"controller 2 reads and writes its own key; the first number is editable", 2, 1,
         [](Form& f) {
             f.choose(2, 1);
             EXPECT_EQ(f.cell(0), "9999");
             f.type(6, "2x0");  // digits only
             f.choose(1, 1);
             f.type(0, "4321");
             f.button("Save");
         },
         1,
         [&](const RegNode& r) {
             EXPECT_EQ(text(r, std::string(kMsnKey) + "2\\Recording delay", "MSN1"), "20");
             EXPECT_EQ(text(r, numbers, "MSN1"), "4321");
             EXPECT_EQ(text(r, std::string(kMsnKey) + "2\\Numbers", "MSN1"), "9999");
         }},
        {"Ignore & Close writes nothing", 1, 1,
         [](Form& f) {
             f.choose(1, 2);
             f.type(1, "Kitchen");
             f.choose(1, 0);
             f.click(1);
             f.button("Ignore");
         },
         2, nullptr},
        {"Save & Close without a change writes nothing", 1, 1,
         [](Form& f) {
             f.choose(1, 3);
             f.choose(1, 0);
             f.button("Save");
         },
         2, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeHive(baseline());
        const std::string before = hiveText();
        StderrCapture log(dir_ + "stderr.txt");
        EXPECT_EQ(run(c.act, c.controllers, c.fax), c.result);
        EXPECT_EQ(log.finish().find(kRestart), std::string::npos);
        if (c.check) c.check(readHive()); else EXPECT_EQ(hiveText(), before);
    }
}

TEST_F(MsnForm, HostileStoredValuesAndArgumentsOpenSoundly) {
    RegNode root;
    root.createSubkey("SOFTWARE\\ORVELIN")->setString("CIP Mask", "lots");
    RegNode* m = root.createSubkey(kMsnKey);
    m->setDword("Popup Settings", 0xFFFFFFFF);                          // 4 bytes: no mask
    m->setBinary("Log Settings", std::vector<std::uint8_t>{0x04});      // 1 byte: MSN 3
    m->createSubkey("Numbers")->setString("MSN1", std::string(4000, '7'));
    m->createSubkey("Numbers")->setDword("MSN2", 42);
    m->createSubkey("Names")->setString("MSN1", std::string(23, 'a') + "\xC3\xA9xyz");
    m->createSubkey("Recording delay")->setString("MSN1", "-1");
    m->createSubkey("Max recording time")->setString("MSN1", "99999999999");
    writeHive(root);
    const std::string before = hiveText();
    EXPECT_EQ(run([](Form& f) {
                  f.choose(1, 0);
                  EXPECT_EQ(f.cell(0), "0x10012");
                  f.choose(1, 1);
                  EXPECT_EQ(f.column(), (std::vector<std::string>{std::string(13, '7'), std::string(23, 'a'),
                                                                 "No", "No", "No", "No", "15", "180"}));
                  f.choose(1, 2);
                  EXPECT_EQ(f.cell(0), "");
                  f.choose(1, 3);
                  EXPECT_EQ(f.cell(3), "Yes");
                  f.button("Ignore");
              }),
              2);
    EXPECT_EQ(hiveText(), before);
    for (int controllers : {-5, 0, 100000}) {
        SCOPED_TRACE(controllers);
        EXPECT_EQ(run([&](Form& f) {
                      EXPECT_EQ(f.tree()->topLevelItemCount(), controllers > 0 ? 127 : 0);
                      f.button("Ignore");
                  }, controllers),
                  2);
    }
}

TEST_F(MsnForm, AFailedSaveIsReportedAndNotCountedAsSaved) {
    std::filesystem::create_directories(hive_);  // a hive that cannot be written
    StderrCapture log(dir_ + "stderr.txt");
    EXPECT_EQ(run([](Form& f) {
                  f.choose(1, 1);
                  f.type(1, "Office");
                  f.button("Save");
              }),
              2);
    EXPECT_NE(log.finish().find(orvelin::test::kSaveFailed), std::string::npos);
}

TEST_F(MsnForm, RecordingNeedsTheBeepAndIsSavedWhenTheNodeIsLeft) {
    StderrCapture log(dir_ + "stderr.txt");
    EXPECT_EQ(run([](Form& f) {
                  f.choose(1, 3);
                  f.button("Record");
                  f.button("Ignore");
              }),
              2);
    EXPECT_NE(log.finish().find(kMediaError), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "Answer/Welcome3.wav"));

    // A beep to record over, as the program installs it.
    const std::vector<std::uint8_t> beep(800, 0xD5);
    const auto header = orvelin::media::MakeWaveHeader(orvelin::media::WaveFormatALaw, 800);
    std::ofstream ding(dir_ + "Answer/Ding.wav", std::ios::binary);
    ding.write(reinterpret_cast<const char*>(header.data()), header.size());
    ding.write(reinterpret_cast<const char*>(beep.data()), beep.size());
    ding.close();
    for (int node : {3, 0}) {  // an MSN, and the controller's shared greeting
        SCOPED_TRACE(node);
        StderrCapture again(dir_ + "stderr.txt");
        bool recorded = false;
        run([&](Form& f) {
            f.choose(1, node);
            f.button("Record");
            recorded = again.finish().find(kMediaError) == std::string::npos;
            QTest::qWait(500);
            f.button("Stop");
            f.choose(1, node == 0 ? 1 : 0);
            f.button("Ignore");
        });
        // Under the test command a sound server with a capture source runs.
        if (!recorded && std::getenv("PULSE_SERVER")) FAIL() << "the sound server records nothing";
        if (!recorded) GTEST_SKIP() << "no capture device";
        const std::string path = dir_ + "Answer/Welcome" + (node ? std::to_string(node) : "") + ".wav";
        std::string why;
        const auto sound = orvelin::media::ReadWaveSound(path, &why);
        ASSERT_TRUE(sound) << path << ": " << why;
        EXPECT_EQ(sound->rate, 8000);
        EXPECT_GT(sound->samples.size(), 0u);
    }
}

// Under a real X server: the controller and an MSN page.
TEST_F(MsnForm, KeyPressAndDoubleClickToggleTheFlagRowsOnly) {
    run([](Form& f) {
        f.choose(1, 2);
        auto* grid = f.grid();
        // The double click alone (a real one is a click first, which toggles as well).
        const auto doubleClick = [&](int row, int column) { emit grid->cellDoubleClicked(row, column); };
        const auto flip = [](const std::string& v) { return v == "Yes" ? "No" : "Yes"; };
        std::vector<std::string> expected = f.column();
        grid->setFocus();
        grid->setCurrentCell(2, 1);
        QTest::keyClick(grid, Qt::Key_X);  // toggles; the key itself is swallowed
        expected[2] = flip(expected[2]);
        EXPECT_EQ(f.column(), expected);
        doubleClick(3, 1);
        expected[3] = flip(expected[3]);
        EXPECT_EQ(f.column(), expected);
        doubleClick(3, 0);  // the label column does nothing
        doubleClick(6, 1);  // nor does a text row
        EXPECT_EQ(f.column(), expected);
        f.button("Ignore");
    });
}

TEST_F(MsnForm, CaptionNamesTheControllerAndMsnShown) {
    run(
        [](Form& f) {
            EXPECT_EQ(f.dialog.windowTitle(), "MSN settings");
            EXPECT_EQ(f.dialog.windowType(), Qt::Tool);  // a sizeable tool window
            f.choose(1, 3);
            EXPECT_EQ(f.dialog.windowTitle(), "MSN settings. Controller 1 MSN3");
            f.choose(2, 10);
            EXPECT_EQ(f.dialog.windowTitle(), "MSN settings. Controller 2 MSN10");
            f.button("Ignore");
        },
        2);
}

TEST_F(MsnForm, BackStartsAPlayingGreetingOver) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "plays through the test command's sound server";
    orvelin::test::writeSilentGreeting(dir_ + "Answer/Welcome3.wav", 20);
    run([](Form& f) {
        f.choose(1, 3);
        orvelin::test::expectBackStartsOver([&](const char* name) { f.button(name); });
        f.button("Ignore");
    });
}

TEST_F(MsnForm, Screenshots) {
    const char* shots = std::getenv("ORVELIN_SCREENSHOTS");
    if (!shots || QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "runs under Xvfb (MsnFormScreens.UnderXvfb)";
    writeHive(baseline());
    std::filesystem::create_directories(shots);
    run([&](Form& f) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&f.dialog));
        for (int node : {0, 1}) {
            f.choose(1, node);
            orvelin::test::saveScreenshot(
                f.dialog, std::string(shots) + (node ? "/msn-1.png" : "/controller.png"));
        }
        f.button("Ignore");
    });
}

TEST(MsnFormScreens, UnderXvfb) {
    orvelin::test::ScreenshotsUnderXvfb("msn-screenshots", "MsnForm.Screenshots", 2);
}

}  // namespace
