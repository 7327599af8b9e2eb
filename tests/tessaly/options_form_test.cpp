// The options dialog as the program opens it: the library loaded by file name, the export
// called once, the form driven by hand while it runs modally, the library gone afterwards.
#include <espeak-ng/espeak_ng.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QSlider>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <functional>

#include "media/speech.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "tests/support/qt_environment.h"
#include "tests/tessaly/form_fixture.h"
#include "tests/tessaly/screenshots.h"

namespace {

using orvelin::test::StderrCapture;
using platform::RegNode;
using platform::RegValue;

const std::string kDir = ORVELIN_BUILD_DIR;
constexpr const char* kLibrary = "libtessaly.so";
constexpr const char* kKey = "SOFTWARE\\ORVELIN";

std::vector<std::string> voiceNames() {
    std::vector<std::string> names;
    orvelin::media::CTTSEnum modes;
    orvelin::media::TTSModeInfo info;
    if (modes.Init() == orvelin::media::S_OK)
        while (modes.Next(info) == orvelin::media::S_OK) names.push_back(info.modeName);
    return names;
}

template <typename W = QWidget>
W* child(QDialog& form, const char* name) {
    W* w = form.findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// As a user: the page first, then the control on it.
template <typename W = QWidget>
W* onPage(QDialog& form, const char* page, const char* name) {
    auto* pages = child<QTabWidget>(form, "PageControl1");
    pages->setCurrentWidget(child(form, page));
    return child<W>(form, name);
}

void click(QDialog& form, const char* page, const char* name) {
    onPage<QAbstractButton>(form, page, name)->click();
}

void type(QDialog& form, const char* page, const char* name, const QString& text) {
    orvelin::test::typeInto(onPage<QLineEdit>(form, page, name), text);
}

enum class Close { Save, Ignore, CloseBox, Escape };

void closeForm(QDialog& form, Close how) {
    switch (how) {
        case Close::Save: child<QToolButton>(form, "SpeedButton5")->click(); break;
        case Close::Ignore: child<QToolButton>(form, "SpeedButton4")->click(); break;
        case Close::CloseBox: form.close(); break;
        case Close::Escape: QTest::keyClick(&form, Qt::Key_Escape); break;
    }
}

class OptionsForm : public orvelin::test::HiveFormTest {
  protected:
    OptionsForm() : HiveFormTest("options") {}

    // Runs the export; `drive` acts on the open form and closes it. Checks that the call
    // returned 0.
    void openDialog(const std::function<void(QDialog&)>& drive) {
        const auto r = orvelin::test::runModal(kDir + "/" + kLibrary, drive, [] {
            return platform::callLibraryExportIn<int(const char*, int, int, int, int)>(
                kDir, kLibrary, "_InvokeConfigDialog", "/nowhere/", 100, 80, 480, 640);
        });
        EXPECT_EQ(r.value, 0);
    }
};

// A complete hive as the program and an earlier dialog leave it, with values and keys
// the form does not own.
RegNode baseline(const std::string& engine) {
    RegNode root;
    RegNode* k = root.createSubkey(kKey);
    k->setDword("Options", 0x01100092);  // bits 1, 20, 24 are not the form's
    k->setDword("CIP Mask", 0x10012);
    k->setDword("Info Mask", 0x19);
    k->setBinary("Discrete", std::vector<uint8_t>{0x05, 0xFC});
    k->setBinary("Strip", std::vector<uint8_t>{7, 12, 0});
    k->setDword("Pitch", 150);
    k->setDword("Speed", 170);
    k->setDword("Volume", 0xFFFFFFFF);
    k->setString("SpeechEngine", engine);
    k->setString("OnCallRun", "/usr/bin/notify-call");
    k->setString("OnCallParams", "%s");
    k->setString("AfterCallRun", "/usr/bin/after-call");
    k->setString("AfterCallParams", "--quiet");
    k->setString("SayWhat", "Call from");
    k->setString("Auth", "0301;0302");
    k->setString("SMS Message Handler", "19100");
    k->setString("Cellular Prefix", "015;016");
    k->setString("LookupWindow", "Phone book");
    k->setString("LookupApp", "/usr/bin/lookup %s");
    k->setDword("HostPort", 10001);
    k->setString("Pass1", "secret");
    root.createSubkey("SOFTWARE\\ORVELIN\\Callers\\0301")->setString("Name", "Anne");
    root.createSubkey("SOFTWARE\\ORVELIN\\MSN\\Numbers")->setString("MSN1", "1234");
    return root;
}

TEST_F(OptionsForm, SavesWhatTheUserChangedAndLeavesTheRestAlone) {
    const std::vector<std::string> voices = voiceNames();
    ASSERT_GE(voices.size(), 2u) << "the speech engine lists no voices";
    const QString eAcute = QString::fromUtf8("\xC3\xA9");
    struct Case {
        const char* name;
        std::function<void(QDialog&)> act;
        Close close;
        std::function<void(RegNode&)> expect;  // applied to the baseline key
    };
    const std::vector<Case> cases = {
        {"untouched", [](QDialog&) {}, Close::Save, [](RegNode&) {}},
        {"check boxes on four pages",
         [](QDialog& f) {
             click(f, "General", "ShowLarge");
             click(f, "Fax", "FaxSeparateDir");  // was checked: one folder per MSN
             onPage<QComboBox>(f, "Voice", "uLawALaw")->setCurrentIndex(1);
             click(f, "Speech", "Talking");
         },
         Close::Save,
         [](RegNode& k) { k.setDword("Options", 0x01100092 | 0x1 | 0x40000 | 0x4 | 0x4000); }},
        {"number rewriting is one choice",
         [](QDialog& f) {
             click(f, "General", "Addl");
             click(f, "General", "Strip");   // clears Addl
             click(f, "General", "Stripl");  // clears Strip
         },
         Close::Save, [](RegNode& k) { k.setDword("Options", 0x01100092 | 0x2000); }},
        {"ignored lines keep the bits above MSN 10",
         [](QDialog& f) {
             click(f, "Ignore", "disMSN1");
             click(f, "Ignore", "disMSN9");
         },
         Close::Save, [](RegNode& k) { k.setBinary("Discrete", std::vector<uint8_t>{0x04, 0xFD}); }},
        {"strip lengths",
         [](QDialog& f) {
             type(f, "General", "N1", "9");
             type(f, "General", "N2", "3");
             type(f, "General", "N3", "");
         },
         Close::Save, [](RegNode& k) { k.setBinary("Strip", std::vector<uint8_t>{9, 0, 3}); }},
        {"pitch bar at the top",
         [](QDialog& f) { onPage<QSlider>(f, "Speech", "Pitch")->setValue(0); }, Close::Save,
         [](RegNode& k) { k.setDword("Pitch", 300); }},
        {"volume bar one above the bottom",
         [](QDialog& f) { onPage<QSlider>(f, "Speech", "Volume")->setValue(9); }, Close::Save,
         [](RegNode& k) { k.setDword("Volume", 0x19991999); }},
        {"another engine speaks with its own voice",
         [](QDialog& f) { onPage<QComboBox>(f, "Speech", "Engines")->setCurrentIndex(1); },
         Close::Save,
         [&](RegNode& k) {
             for (const char* n : {"Pitch", "Speed", "Volume"}) k.deleteValue(n);
             k.setString("SpeechEngine", voices[1]);
         }},
        {"programs go in pairs",
         [](QDialog& f) {
             type(f, "Launch", "OnCallParams", "");
             type(f, "Launch", "OnClearRun", "");
             type(f, "Launch", "OnClearParams", "");
         },
         Close::Save,
         [](RegNode& k) {
             k.setString("OnCallParams", "");
             k.deleteValue("AfterCallRun");
             k.deleteValue("AfterCallParams");
         }},
        {"texts",
         [](QDialog& f) {
             type(f, "Speech", "SayWhat", "");
             type(f, "General", "Auth", "");
             type(f, "Text", "CallCenter", "1212");
             type(f, "Text", "Cellulars", "017");
             type(f, "Lookup", "LookupWindow", "");
             type(f, "Lookup", "LookupApp", "lookup --number %s");
         },
         Close::Save,
         [](RegNode& k) {
             k.setString("SayWhat", "");
             k.deleteValue("Auth");
             k.setString("SMS Message Handler", "1212");
             k.setString("Cellular Prefix", "017");
             k.setString("LookupWindow", "");
             k.setString("LookupApp", "lookup --number %s");
         }},
        {"typed texts end where the program stops reading",
         [&](QDialog& f) {
             type(f, "General", "Auth", eAcute.repeated(100));  // 200 bytes
             type(f, "Speech", "SayWhat", QString("x").repeated(80));
         },
         Close::Save,
         [](RegNode& k) {
             std::string auth;
             for (int i = 0; i < 63; ++i) auth += "\xC3\xA9";  // 126 bytes: 127 would split one
             k.setString("Auth", auth);
             k.setString("SayWhat", std::string(64, 'x'));
         }},
        {"a program chosen in the file dialog",
         [&](QDialog& f) {
             QTimer::singleShot(0, [&] {
                 auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                 ASSERT_NE(d, nullptr) << "no file dialog";
                 d->selectFile(QString::fromStdString(hive_));
                 static_cast<QDialog*>(d)->accept();  // as the Open button does
             });
             click(f, "Launch", "Button1");
         },
         Close::Save, [&](RegNode& k) { k.setString("OnCallRun", hive_); }},
        {"ignore and close after changes",
         [](QDialog& f) {
             click(f, "General", "ShowLarge");
             type(f, "General", "Auth", "0999");
         },
         Close::Ignore, [](RegNode&) {}},
        {"the close box saves",
         [](QDialog& f) { click(f, "General", "ShowLarge"); }, Close::CloseBox,
         [](RegNode& k) { k.setDword("Options", 0x01100093); }},
        {"escape saves", [](QDialog& f) { click(f, "General", "ShowLarge"); }, Close::Escape,
         [](RegNode& k) { k.setDword("Options", 0x01100093); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegNode expected = baseline(voices[0]);
        writeHive(expected);
        const std::string before = hiveText();
        openDialog([&](QDialog& form) {
            c.act(form);
            closeForm(form, c.close);
        });
        c.expect(*expected.subkey(kKey));
        EXPECT_EQ(hiveText(), platform::serializeHive(expected));
        if (c.close == Close::Ignore) {
            EXPECT_EQ(hiveText(), before);
        }
    }
}

TEST_F(OptionsForm, HandEditedValuesOpenWithDefaultsAndTheRestIsKept) {
    RegNode root;
    RegNode* k = root.createSubkey(kKey);
    k->setString("Options", "1");  // a number as text
    k->setBinary("Info Mask", std::vector<uint8_t>{1, 2});
    k->setBinary("Discrete", std::vector<uint8_t>{1, 2, 3});
    k->setBinary("Strip", std::vector<uint8_t>{7, 12});
    k->setString("Pitch", "150");
    k->setDword("Speed", 200);
    k->setString("SpeechEngine", "No such voice");
    k->setDword("Auth", 7);
    k->setString("OnCallRun", std::string(300, 'p'));  // longer than the program reads
    k->setString("OnCallParams", "x");
    k->setString("SMS Message Handler", "");
    k->setBinary("LookupWindow", std::vector<uint8_t>{'a', 'b'});
    k->setString("HostPort", "10001");  // not the form's: kept as it is
    writeHive(root);

    openDialog([](QDialog& f) {
        struct Shown {
            const char* control;
            QString text;  // a check box: "1" checked, "0" clear
        };
        const Shown shown[] = {
            {"ShowLarge", "0"}, {"Strip", "0"}, {"Talking", "0"}, {"disMSN1", "0"},
            {"N1", ""}, {"N3", ""}, {"Auth", ""}, {"OnCallRun", ""}, {"OnCallParams", "x"},
            {"SayWhat", "Call on line 1 from 12 34 56 78"}, {"CallCenter", "19100"},
            {"Cellulars", "9"}, {"LookupWindow", "Telefonkatalogen versjon 4.99"},
            {"LookupApp", "c:\\tele\\telekat.exe %s"},
        };
        for (const Shown& s : shown) {
            QWidget* w = child(f, s.control);
            if (auto* box = qobject_cast<QCheckBox*>(w)) {
                EXPECT_EQ(box->isChecked() ? "1" : "0", s.text) << s.control;
            } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
                EXPECT_EQ(edit->text(), s.text) << s.control;
            }
        }
        EXPECT_EQ(child<QComboBox>(f, "Engines")->currentIndex(), -1);
        EXPECT_EQ(child<QComboBox>(f, "uLawALaw")->currentIndex(), 0);
        click(f, "General", "LongDate");
        closeForm(f, Close::Save);
    });

    RegNode expected;
    RegNode* e = expected.createSubkey(kKey);
    e->setDword("Options", 0x10);
    e->setDword("Info Mask", 1);
    e->setBinary("Discrete", std::vector<uint8_t>{0, 0});
    e->setBinary("Strip", std::vector<uint8_t>{0, 0, 0});
    e->setString("OnCallRun", "");
    e->setString("OnCallParams", "x");
    e->setString("SMS Message Handler", "19100");
    e->setString("LookupWindow", "Telefonkatalogen versjon 4.99");
    e->setString("HostPort", "10001");
    e->setDword("CIP Mask", 0x10012);
    e->setString("SayWhat", "Call on line 1 from 12 34 56 78");
    e->setString("Cellular Prefix", "9");
    e->setString("LookupApp", "c:\\tele\\telekat.exe %s");
    EXPECT_EQ(hiveText(), platform::serializeHive(expected));
}

TEST_F(OptionsForm, WithoutAWritableKeyNothingIsSavedAndTheUserIsTold) {
    enum class Hive { NoProductKey, ReadOnly, ReadOnlyWhileOpen };
    struct Case {
        const char* name;
        Hive hive;
        Close close;
        bool told;
    };
    const Case cases[] = {
        {"no product key", Hive::NoProductKey, Close::Save, true},
        {"no product key, ignored", Hive::NoProductKey, Close::Ignore, false},
        {"read-only hive", Hive::ReadOnly, Close::CloseBox, true},
        {"made read-only while open", Hive::ReadOnlyWhileOpen, Close::Save, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(hive_);
        RegNode root = c.hive == Hive::NoProductKey ? RegNode() : baseline("English");
        root.createSubkey("SOFTWARE\\OTHER")->setDword("Kept", 1);
        writeHive(root);
        if (c.hive == Hive::ReadOnly) chmod(hive_.c_str(), 0400);
        const std::string before = hiveText();
        StderrCapture log(dir_ + "stderr.txt");
        openDialog([&](QDialog& f) {
            // Loaded only from a key that could be written then.
            const bool loaded = c.hive == Hive::ReadOnlyWhileOpen;
            EXPECT_EQ(child<QLineEdit>(f, "CallCenter")->text(), loaded ? "19100" : "");
            EXPECT_EQ(child<QComboBox>(f, "Engines")->count() > 0, loaded);
            click(f, "General", "ShowLarge");
            if (c.hive == Hive::ReadOnlyWhileOpen) chmod(hive_.c_str(), 0400);
            closeForm(f, c.close);
        });
        const std::string said = log.finish();
        EXPECT_EQ(said.find(orvelin::test::kSaveFailed) != std::string::npos, c.told) << said;
        EXPECT_EQ(hiveText(), before);
        chmod(hive_.c_str(), 0600);
    }
}

TEST_F(OptionsForm, TheHintOfAControlShowsInTheStatusBar) {
    writeHive(baseline("English"));
    const std::pair<const char*, const char*> hints[] = {
        {"Auth", "Callers that are authorized to remotely listen to messages"},
        {"CallCenter", "The call center number for GSM SMS"},
        {"Cellulars", "Enter starting digits for cellular numbers separated with semicolon"},
        {"LookupWindow", "The name of the lookup application main window"},
        {"LookupApp", "The full path of the lookup application"},
    };
    openDialog([&](QDialog& f) {
        auto* status = f.findChild<QStatusBar*>();
        ASSERT_NE(status, nullptr);
        for (const auto& [name, text] : hints) {
            SCOPED_TRACE(name);
            auto* control = f.findChild<QWidget*>(name);
            ASSERT_NE(control, nullptr);
            // What the widget under the mouse sends up to its window.
            QStatusTipEvent tip(control->statusTip());
            QApplication::sendEvent(control, &tip);
            EXPECT_EQ(status->currentMessage(), text);
        }
        closeForm(f, Close::Ignore);
    });
}

TEST_F(OptionsForm, ASecondCallShowsWhatTheFirstSaved) {
    writeHive(baseline("English"));
    openDialog([](QDialog& f) {
        // The program's window is usable, so the form takes its bounds.
        EXPECT_EQ(f.geometry(), QRect(100, 80, 640, 480));
        EXPECT_EQ(f.windowTitle(), "Orvelin configuration");
        EXPECT_EQ(f.windowType(), Qt::Tool);  // a sizeable tool window
        type(f, "General", "Auth", "0999");
        click(f, "Fax", "PrintFax");
        closeForm(f, Close::Save);
    });
    openDialog([](QDialog& f) {
        EXPECT_EQ(child<QLineEdit>(f, "Auth")->text(), "0999");
        EXPECT_TRUE(child<QCheckBox>(f, "PrintFax")->isChecked());
        closeForm(f, Close::Ignore);
    });
    EXPECT_EQ(readHive().subkey(kKey)->readString("Auth", ""), "0999");
}

TEST_F(OptionsForm, SpeechPageListsTheVoicesAndTheTestTakesTheEnginesValues) {
    const std::vector<std::string> voices = voiceNames();
    ASSERT_GE(voices.size(), 2u);
    writeHive(baseline(voices[1]));
    openDialog([&](QDialog& f) {
        auto* engines = onPage<QComboBox>(f, "Speech", "Engines");
        ASSERT_EQ(engines->count(), int(voices.size()));
        for (int i = 0; i < engines->count(); ++i) {
            EXPECT_EQ(engines->itemText(i).toStdString(), voices[size_t(i)]);
        }
        EXPECT_EQ(engines->currentIndex(), 1);
        EXPECT_TRUE(child(f, "Talking")->isEnabled());
        // The bars show the user's moves only, not the stored pitch of 150.
        EXPECT_EQ(child<QSlider>(f, "Pitch")->value(), 5);
        EXPECT_EQ(child<QSlider>(f, "Speed")->value(), 5);
        EXPECT_EQ(child<QSlider>(f, "Volume")->value(), 0);
        engines->setCurrentIndex(0);  // pitch 0: the engine's own values
        type(f, "Speech", "SayWhat", "Test");
        click(f, "Speech", "SpeechTest");  // the box answers at once when headless
        // The engine's pitch 175 and 175 words a minute.
        EXPECT_EQ(child<QSlider>(f, "Pitch")->value(), 5);
        EXPECT_EQ(child<QSlider>(f, "Speed")->value(), 7);
        closeForm(f, Close::Save);
    });
    const RegNode root = readHive();
    const RegNode* k = root.subkey(kKey);
    EXPECT_EQ(k->readString("SpeechEngine", ""), voices[0]);
    EXPECT_EQ(k->readDword("Pitch", 0), 175u);
    EXPECT_EQ(k->readDword("Speed", 0), 175u);
    EXPECT_EQ(k->readDword("Volume", 0), 0xFFFFFFFFu);
}

// The text after `lead` in a logged box, up to the end of its line.
std::string boxText(const std::string& log, const std::string& lead) {
    const std::size_t at = log.find(lead);
    if (at == std::string::npos) return {};
    const std::size_t end = log.find_first_of(" \n", at + lead.size());
    return log.substr(at + lead.size(), end == std::string::npos ? std::string::npos : end - at - lead.size());
}

TEST_F(OptionsForm, SpeechTestSaysHowItWentAndAboutNamesTheEngine) {
    const std::vector<std::string> voices = voiceNames();
    ASSERT_GE(voices.size(), 1u);
    writeHive(baseline(voices[0]));
    const char* server = std::getenv("PULSE_SERVER");
    const std::string savedServer = server ? server : "";
    if (server) {
        // Under the test command's sound server the announcement plays. First, while the
        // sound system still finds the server as it loads its configuration.
        StderrCapture log(dir_ + "stderr.txt");
        openDialog([&](QDialog& f) {
            type(f, "Speech", "SayWhat", "Test");
            click(f, "Speech", "SpeechTest");
            closeForm(f, Close::Ignore);
        });
        const std::string said = log.finish();
        EXPECT_NE(said.find("Hit OK to terminate"), std::string::npos) << said;
        EXPECT_EQ(said.find("Error: 0x"), std::string::npos) << said;
    }
    {
        // No sound server to play through: the error's code in 16 hexadecimal digits.
        setenv("PULSE_SERVER", "unix:/nonexistent/orvelin-test/native", 1);
        StderrCapture log(dir_ + "stderr.txt");
        openDialog([&](QDialog& f) {
            type(f, "Speech", "SayWhat", "Test");
            click(f, "Speech", "SpeechTest");
            closeForm(f, Close::Ignore);
        });
        if (server) {
            setenv("PULSE_SERVER", savedServer.c_str(), 1);
        } else {
            unsetenv("PULSE_SERVER");
        }
        const std::string said = log.finish();
        const std::string code = boxText(said, "Error: 0x");
        EXPECT_EQ(code.size(), 16u) << said;
        EXPECT_EQ(code.find_first_not_of("0123456789ABCDEF"), std::string::npos) << said;
        EXPECT_EQ(said.find("Hit OK to terminate"), std::string::npos) << said;
    }
    StderrCapture log(dir_ + "stderr.txt");
    openDialog([&](QDialog& f) {
        click(f, "Speech", "SpeedButton2");
        closeForm(f, Close::Ignore);
    });
    const std::string about = log.finish();
    EXPECT_NE(about.find("About: " + voices[0] + " ("), std::string::npos) << about;
}

TEST_F(OptionsForm, WithoutVoicesTheAnnouncementIsSwitchedOff) {
    // The engine starts once per process; ctest runs every test in a process of its own.
    if (espeak_ng_GetSampleRate() > 0) GTEST_SKIP() << "the speech engine started earlier here";
    std::filesystem::create_directories(dir_ + "no-voices");
    setenv("ORVELIN_ESPEAK_DATA", (dir_ + "no-voices").c_str(), 1);
    RegNode root = baseline("English");
    root.subkey(kKey)->setDword("Options", 0x4000);
    writeHive(root);
    openDialog([](QDialog& f) {
        auto* talking = onPage<QCheckBox>(f, "Speech", "Talking");
        EXPECT_FALSE(talking->isChecked());
        EXPECT_FALSE(talking->isEnabled());
        EXPECT_EQ(child<QComboBox>(f, "Engines")->count(), 0);
        closeForm(f, Close::Save);
    });
    unsetenv("ORVELIN_ESPEAK_DATA");
    const RegNode saved = readHive();
    EXPECT_EQ(saved.subkey(kKey)->readDword("Options", 1), 0u);
    EXPECT_EQ(saved.subkey(kKey)->value("SpeechEngine"), nullptr);
}

TEST_F(OptionsForm, MicrophoneButtonShowsTheLevelOrIsSwitchedOff) {
    writeHive(baseline("English"));
    openDialog([](QDialog& f) {
        auto* button = onPage<QToolButton>(f, "Voice", "SpeedButton1");
        bool shown = false;
        // Owned here: when the button opens nothing, the answer must not outlive `shown`.
        QTimer answer;
        answer.setSingleShot(true);
        QObject::connect(&answer, &QTimer::timeout, [&] {
            auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!d || d == &f) return;
            shown = d->findChild<QSlider*>("MicrophoneVolume") != nullptr;
            d->accept();
        });
        answer.start(0);
        button->click();
        // With a microphone on the mixer its level shows; without one the button goes grey.
        EXPECT_NE(shown, !button->isEnabled());
        closeForm(f, Close::Ignore);
    });
}

// Under a real X server: one picture per page, written where the test says.
TEST_F(OptionsForm, ScreenshotOfEachPage) {
    const char* shots = std::getenv("ORVELIN_SCREENSHOTS");
    if (!shots || QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "runs under Xvfb (the options_form_screenshots test)";
    writeHive(baseline("English"));
    std::filesystem::create_directories(shots);
    openDialog([&](QDialog& f) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
        auto* pages = child<QTabWidget>(f, "PageControl1");
        for (int i = 0; i < pages->count(); ++i) {
            pages->setCurrentIndex(i);
            orvelin::test::saveScreenshot(f, std::string(shots) + "/" + std::to_string(i + 1) +
                                                 "-" + pages->tabText(i).toStdString() + ".png");
        }
        closeForm(f, Close::Ignore);
    });
    std::printf("screenshots: %s\n", shots);
}

// Starts the screenshot test above in a child process on a virtual X server.
TEST(OptionsFormScreens, UnderXvfb) {
    orvelin::test::ScreenshotsUnderXvfb("options-screenshots", "OptionsForm.ScreenshotOfEachPage", 8);
}

}  // namespace
