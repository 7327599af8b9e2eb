// The caller form as the program opens it, from the call list and from the caller list:
// the library loaded by name, the export called once, the form driven by hand.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeWidget>
#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>

#include "media/alsa_player.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "tests/support/qt_environment.h"
#include "tests/tessaly/form_fixture.h"
#include "tests/tessaly/screenshots.h"

// The program's side of the text-message request, as the client window exports it.
struct SentRequest {
    unsigned wParam = 0;
    std::string text;
    int calls = 0;
    int answer = 0;  // below 0: the program has no client window to send from
};
SentRequest g_sent;

extern "C" __attribute__((visibility("default"))) int orvelin_send_settings_changed_v1(
    unsigned wParam, const char* text) {
    g_sent.wParam = wParam;
    g_sent.text = text ? text : "";
    ++g_sent.calls;
    return g_sent.answer;
}

namespace {

using platform::RegNode;
using orvelin::test::StderrCapture;

const std::string kDir = ORVELIN_BUILD_DIR;
constexpr const char* kCallers = "SOFTWARE\\ORVELIN\\Callers\\";
constexpr std::size_t kRecord = 583;

struct Form {
    QDialog& dialog;
    template <typename W = QWidget>
    W* get(const char* name) {
        W* w = dialog.findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString page() {
        auto* pages = get<QTabWidget>("PageControl1");
        return pages->tabText(pages->currentIndex());
    }
    void show(const char* page) { get<QTabWidget>("PageControl1")->setCurrentWidget(get(page)); }
    void type(const char* page, const char* name, const QString& text) {
        show(page);
        orvelin::test::typeInto(get<QLineEdit>(name), text);
    }
    void choose(const char* page, const char* name, int index) {
        show(page);
        get<QComboBox>(name)->setCurrentIndex(index);
    }
    void click(const char* name) { get<QAbstractButton>(name)->click(); }
    QString text(const char* name) { return get<QLineEdit>(name)->text(); }
};

// Records in the call table's layout.
std::vector<unsigned char> ringOf(int count, std::initializer_list<std::tuple<int, std::uint32_t, const char*, const char*, const char*>> calls) {
    std::vector<unsigned char> ring(std::size_t(count) * kRecord, 0);
    for (const auto& [slot, id, caller, called, comment] : calls) {
        unsigned char* r = ring.data() + std::size_t(slot) * kRecord;
        std::memcpy(r, &id, 4);
        const std::uint32_t at = 3'900'000'000u + std::uint32_t(slot) * 60;  // in 2024
        std::memcpy(r + 20, &at, 4);
        std::strncpy(reinterpret_cast<char*>(r + 44), caller, 25);
        std::strncpy(reinterpret_cast<char*>(r + 119), called, 25);
        std::strncpy(reinterpret_cast<char*>(r + 194), comment, 129);
    }
    return ring;
}

class CallerForm : public orvelin::test::HiveFormTest {
  protected:
    CallerForm() : HiveFormTest("caller") {}

    struct Call {
        // A constructor, not an aggregate: GCC 12 at -O3 reports a false
        // -Wmaybe-uninitialized for tables of aggregates holding one.
        Call(std::string n = {}, int page = 2, int ro = 0, int h = 0,
             const std::vector<unsigned char>* r = nullptr)
            : number(std::move(n)), startPage(page), readOnly(ro), head(h), ring(r) {}
        std::string number;
        int startPage, readOnly, head;
        const std::vector<unsigned char>* ring;
    };
    // Runs the export; `number` is the program's buffer, written back as the form left it.
    int run(Call& call, const std::function<void(Form&)>& drive) {
        std::array<char, 26> buffer{};
        std::memcpy(buffer.data(), call.number.data(), std::min<std::size_t>(call.number.size(), 26));
        const std::vector<unsigned char> noRing(kRecord * 150, 0);
        const void* ring = call.ring ? call.ring->data() : noRing.data();
        const auto r = orvelin::test::runModal(
            kDir + "/libtessaly.so",
            [&](QDialog& dialog) {
                Form form{dialog};
                drive(form);
            },
            [&] {
                return platform::callLibraryExportIn<int(const char*, char*, const void*, int, int,
                                                         int, int, int, int, int)>(
                    kDir, "libtessaly.so", "_InvokeCallerDialog", dir_.c_str(), buffer.data(), ring,
                    call.head, 100, 80, 480, 640, call.startPage, call.readOnly);
            });
        call.number.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
        return r.value.value_or(-1);
    }
};

RegNode callers() {
    RegNode root;
    root.createSubkey("SOFTWARE\\ORVELIN")->setDword("Info Mask", 0x19);
    RegNode* anne = root.createSubkey(std::string(kCallers) + "0301");
    anne->setString("Name", "Anne");
    anne->setString("Cellular", "0171");
    anne->setString("PersonalWav", "/srv/anne.wav");  // read only by the form
    anne->setDword("Reject", 0x30000000u | 2200u | (600u << 16));  // answer 22:00 to 06:00
    anne->setBinary("LaunchLine", std::vector<std::uint8_t>{4});
    anne->setDword("LaunchCIP", 0x20010);
    root.createSubkey(std::string(kCallers) + "0171")->setString("Link", "0301");
    RegNode* bert = root.createSubkey(std::string(kCallers) + "0172");  // a caller, not a link
    bert->setString("Name", "Bert");
    RegNode* restricted = root.createSubkey(std::string(kCallers) + "Restricted");
    restricted->setString("Name", "Withheld");
    restricted->setString("Passthrough", "1");  // not on the form
    restricted->setDword("Reject", 0x20000000u);
    return root;
}

TEST_F(CallerForm, WhatASaveWritesAndWhatACancelLeaves) {
    struct Case {
        const char* name;
        Call call;
        std::function<void(Form&)> act;
        int result;
        std::string numberAfter;
        std::function<void(const RegNode&)> check;  // null: the hive is untouched
    };
    const auto key = [](const RegNode& r, const std::string& number) {
        return r.subkey(std::string(kCallers) + number);
    };
    const Case cases[] = {
        {"a new caller from the caller list gets every value", {"", 2, 0},
         [](Form& f) {
             EXPECT_EQ(f.page(), "Info");
             EXPECT_EQ(f.dialog.windowTitle(), "History");
             f.type("Page3", "CallerNumber", "0309 ");
             f.type("Page3", "CallerName", "Carla");
             f.choose("Page4", "Actions", 2);
             f.choose("Page5", "MSNLines", 9);
             f.click("OK");
         },
         1, "0309",
         [&](const RegNode& r) {
             const RegNode* k = key(r, "0309");
             ASSERT_NE(k, nullptr);
             EXPECT_EQ(k->readString("Name", "?"), "Carla");
             for (const char* v : {"Cellular", "EMail", "LaunchAtCall", "AtCallParam", "LaunchAtClear", "AtClearParam"})
                 EXPECT_EQ(k->readString(v, "?"), "") << v;
             EXPECT_EQ(k->readDword("Reject", 1), 0x20000000u);
             EXPECT_EQ(k->readDword("LaunchCIP", 1), 0xFFFFFFFFu);
             EXPECT_EQ(k->readDword("PersonalMsg", 9), 0u);
             EXPECT_EQ(k->value("LaunchLine")->data, std::vector<std::uint8_t>{255});
             EXPECT_EQ(k->value("Launch")->data, std::vector<std::uint8_t>{0});
         }},
        {"from the call list the number is fixed and only what changed is written", {"0301", 0, 1},
         [](Form& f) {
             EXPECT_EQ(f.page(), "History");
             EXPECT_TRUE(f.get<QLineEdit>("CallerNumber")->isReadOnly());
             EXPECT_EQ(f.dialog.windowTitle(), "History for 0301 Anne");
             EXPECT_EQ(f.dialog.windowType(), Qt::Tool);
             EXPECT_EQ(f.get<QComboBox>("Actions")->currentIndex(), 3);
             EXPECT_EQ(f.get<QComboBox>("MSNLines")->currentIndex(), 3);
             EXPECT_EQ(f.get<QComboBox>("Services")->currentIndex(), 2);
             f.type("Page3", "CallerName", "Anne B.");
             f.click("OK");
         },
         1, "0301",
         [&](const RegNode& r) {
             const RegNode* k = key(r, "0301");
             EXPECT_EQ(k->readString("Name", "?"), "Anne B.");
             EXPECT_EQ(k->readString("PersonalWav", "?"), "/srv/anne.wav");
             EXPECT_EQ(k->readDword("Reject", 0), 0x30000000u | 2200u | (600u << 16));
             EXPECT_EQ(key(r, "0171")->readString("Link", "?"), "0301");
         }},
        {"a rename writes the new key whole and removes the old one", {"0301", 2, 0},
         [](Form& f) {
             f.type("Page3", "CallerNumber", "0302");
             f.click("OK");
         },
         1, "0302",
         [&](const RegNode& r) {
             EXPECT_EQ(key(r, "0301"), nullptr);
             ASSERT_NE(key(r, "0302"), nullptr);
             EXPECT_EQ(key(r, "0302")->readString("Name", "?"), "Anne");
             EXPECT_EQ(key(r, "0302")->readString("Cellular", "?"), "0171");
             EXPECT_EQ(key(r, "0171")->readString("Link", "?"), "0302");
         }},
        {"a rename by letter case only keeps every value under the new spelling",
         {"Restricted", 2, 0},
         [](Form& f) {
             f.type("Page3", "CallerNumber", "RESTRICTED");
             f.click("OK");
         },
         1, "RESTRICTED",
         [&](const RegNode& r) {
             const RegNode* k = key(r, "RESTRICTED");
             ASSERT_NE(k, nullptr);
             EXPECT_EQ(k->name(), "RESTRICTED");
             EXPECT_EQ(k->readString("Name", "?"), "Withheld");
             EXPECT_EQ(k->readString("Passthrough", "?"), "1");
             EXPECT_EQ(k->readDword("Reject", 0), 0x20000000u);
         }},
        {"Add with the number of a listed caller edits that caller", {"", 2, 0},
         [](Form& f) {
             f.type("Page3", "CallerNumber", "0301");
             f.click("OK");  // the caller's values are shown first, the form stays
             EXPECT_TRUE(f.dialog.isVisible());
             EXPECT_EQ(f.text("CallerName"), "Anne");
             EXPECT_EQ(f.get<QComboBox>("Actions")->currentIndex(), 3);
             f.type("Page3", "EMail", "anne@example.org");
             f.click("OK");
         },
         1, "0301",
         [&](const RegNode& r) {
             const RegNode* k = key(r, "0301");
             EXPECT_EQ(k->readString("Name", "?"), "Anne");
             EXPECT_EQ(k->readString("EMail", "?"), "anne@example.org");
             EXPECT_EQ(k->readDword("Reject", 0), 0x30000000u | 2200u | (600u << 16));
             EXPECT_EQ(k->readDword("LaunchCIP", 0), 0x20010u);
             EXPECT_EQ(key(r, "0171")->readString("Link", "?"), "0301");
         }},
        {"a new cellular number moves the link and spares a caller's key", {"0301", 2, 0},
         [](Form& f) {
             f.type("Page3", "Cellular", "0172");
             f.click("OK");
         },
         1, "0301",
         [&](const RegNode& r) {
             EXPECT_EQ(key(r, "0171"), nullptr);
             EXPECT_EQ(key(r, "0172")->readString("Name", "?"), "Bert");
             EXPECT_EQ(key(r, "0172")->readString("Link", "?"), "0301");
         }},
        {"Ignore & Close after edits", {"0301", 2, 0},
         [](Form& f) {
             f.type("Page3", "CallerName", "Zed");
             f.choose("Page4", "Actions", 5);
             f.click("SpeedButton1");
         },
         0, "0301", nullptr},
        {"an empty or unsafe number is refused and the form stays", {"", 2, 0},
         [](Form& f) {
             f.click("OK");
             EXPECT_TRUE(f.dialog.isVisible());
             f.type("Page3", "CallerNumber", "../0301");
             f.click("OK");
             EXPECT_TRUE(f.dialog.isVisible());
             f.dialog.close();
         },
         0, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeHive(callers());
        const std::string before = hiveText();
        Call call = c.call;
        EXPECT_EQ(run(call, c.act), c.result);
        EXPECT_EQ(call.number, c.numberAfter);
        if (c.check) {
            c.check(readHive());
        } else {
            EXPECT_EQ(hiveText(), before);
        }
    }
}

// The labels of a page's form layout, top to bottom (rows without a label are left out).
std::vector<QString> formLabels(QWidget* holder) {
    std::vector<QString> labels;
    auto* layout = holder ? qobject_cast<QFormLayout*>(holder->layout()) : nullptr;
    EXPECT_NE(layout, nullptr);
    if (!layout) return labels;
    for (int row = 0; row < layout->rowCount(); ++row)
        if (QLayoutItem* item = layout->itemAt(row, QFormLayout::LabelRole))
            if (auto* label = qobject_cast<QLabel*>(item->widget())) labels.push_back(label->text());
    return labels;
}

std::vector<QString> items(QComboBox* box) {
    std::vector<QString> out;
    for (int i = 0; box && i < box->count(); ++i) out.push_back(box->itemText(i));
    return out;
}

TEST_F(CallerForm, ItsPagesControlsAndTextsAreTheFormsOwn) {
    writeHive(callers());
    Call call{"0301", 2, 0};
    run(call, [](Form& f) {
        using Texts = std::vector<QString>;
        auto* pages = f.get<QTabWidget>("PageControl1");
        Texts tabs;
        for (int i = 0; i < pages->count(); ++i) tabs.push_back(pages->tabText(i));
        EXPECT_EQ(tabs, (Texts{"History", "Notes", "Info", "Answer", "Launch"}));
        const std::pair<const char*, const char*> hints[] = {
            {"BtnPrint", "Print"},
            {"SpeedButton1", "Ignore & Close"},
            {"OK", "Save & Close"},
            {"Play", "Play - Stop - Back - Record"},
            {"Stop", "Play - Stop - Back - Record"},
            {"Back", "Play - Stop - Back - Record"},
            {"Record", "Play - Stop - Back - Record"},
        };
        for (const auto& [name, hint] : hints) {
            EXPECT_EQ(f.get<QToolButton>(name)->toolTip(), hint) << name;
            EXPECT_EQ(f.get<QToolButton>(name)->focusPolicy(), Qt::NoFocus) << name;
        }
        auto* history = f.get<QTreeWidget>("ListView1");
        const QTreeWidgetItem* head = history->headerItem();
        EXPECT_EQ((Texts{head->text(0), head->text(1), head->text(2)}), (Texts{"Time", "To", "Comment"}));
        EXPECT_EQ(history->columnWidth(2), 150);
        EXPECT_EQ(formLabels(f.get("Page3")),
                  (Texts{"Caller number", "Caller name", "Cellular phone", "E-mail address"}));
        const std::pair<const char*, const char*> captions[] = {
            {"SpeedButton2", "Lookup"},
            {"SpeedButton3", "SMS"},
            {"SpeedButton4", "E-Mail"},
            {"RejectFax", "Don't accept fax"},
            {"RejectMessage", "Don't accept voice message"},
            {"PersonalVoice", "Personal voice message"},
            {"EnableLaunch", "Enable program scheduling"},
        };
        for (const auto& [name, caption] : captions)
            EXPECT_EQ(f.get<QAbstractButton>(name)->text(), caption) << name;
        EXPECT_EQ(formLabels(f.get("Page4")), (Texts{"Start time", "Stop time", "Action"}));
        EXPECT_EQ(f.get<QCheckBox>("RejectFax")->parentWidget()->property("title").toString(),
                  "Override line defaults");
        auto* launch = f.get<QCheckBox>("EnableLaunch")->parentWidget();
        EXPECT_EQ(launch->property("title").toString(), "External program scheduling");
        EXPECT_EQ(formLabels(launch),
                  (Texts{"On call run program", "    program arguments", "On call clear run program",
                         "   program arguments", "Lines", "Services"}));
        EXPECT_EQ(items(f.get<QComboBox>("Actions")),
                  (Texts{"Normal action", "Reject in time period", "Reject always",
                         "Answer in time period", "Answer always", "Never answer"}));
        EXPECT_EQ(items(f.get<QComboBox>("MSNLines")),
                  (Texts{"No lines", "MSN 1", "MSN 2", "MSN 3", "MSN 4", "MSN 5", "MSN 6", "MSN 7",
                         "MSN 8", "MSN 9", "MSN 10", "All lines"}));
        EXPECT_EQ(items(f.get<QComboBox>("Services")),
                  (Texts{"All call types", "Telephony", "Fax G2/G3", "64 Kb data call",
                         "56 Kb data call", "Fax G4"}));
        // At most 25, 49 and 25 characters in the number, name and cellular fields.
        const std::pair<const char*, int> limits[] = {
            {"CallerNumber", 25}, {"CallerName", 49}, {"Cellular", 25}};
        for (const auto& [name, most] : limits) {
            f.type("Page3", name, QString(60, '7'));
            EXPECT_EQ(f.text(name).size(), most) << name;
        }
        f.click("SpeedButton1");
    });
}

TEST_F(CallerForm, BrowseButtonsPutTheChosenFileIntoTheirEditAndItIsSaved) {
    const QStringList programs = {"Programs (*.exe, *.com) (*.com *.exe)", "All files (*)"};
    const QStringList batches = {"Batch files (*.bat) (*.bat)", "Scripts (*.sh) (*.sh)"};
    struct Case {
        const char* button;
        const char* value;  // the caller's value the chosen file lands in
        QStringList filters;
        QString openOn;
    };
    const Case cases[] = {
        {"BrOnCallRun", "LaunchAtCall", programs, "All files (*)"},
        {"BrOnCallParams", "AtCallParam", batches, batches[0]},
        {"BrOnClearRun", "LaunchAtClear", programs, "All files (*)"},
        {"BrOnClearParams", "AtClearParam", batches, batches[0]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        writeHive(callers());
        const std::string chosen = dir_ + c.value + ".sh";
        std::ofstream(chosen) << "#!/bin/sh\n";
        Call call{"0301", 4, 0};
        EXPECT_EQ(run(call,
                      [&](Form& f) {
                          QTimer::singleShot(0, [&] {
                              auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                              ASSERT_NE(d, nullptr) << "no file dialog";
                              EXPECT_EQ(d->nameFilters().join(";;").toStdString(),
                                        c.filters.join(";;").toStdString());
                              EXPECT_EQ(d->selectedNameFilter().toStdString(), c.openOn.toStdString());
                              d->selectFile(QString::fromStdString(chosen));
                              static_cast<QDialog*>(d)->accept();
                          });
                          f.click(c.button);
                          f.click("OK");
                      }),
                  1);
        const RegNode root = readHive();
        const RegNode* k = root.subkey(std::string(kCallers) + "0301");
        ASSERT_NE(k, nullptr);
        for (const char* v : {"LaunchAtCall", "AtCallParam", "LaunchAtClear", "AtClearParam"})
            EXPECT_EQ(k->readString(v, "-"), std::strcmp(v, c.value) == 0 ? chosen : "-") << v;
    }
}

TEST_F(CallerForm, HostileStoredValuesOpenSoundly) {
    RegNode root;
    RegNode* k = root.createSubkey(std::string(kCallers) + "0301");
    k->setString("Name", std::string(300, 'n'));
    k->setDword("Cellular", 7);
    k->setDword("Reject", 0xFFFFFFFFu);
    k->setBinary("LaunchLine", std::vector<std::uint8_t>{1, 2});
    k->setString("LaunchCIP", "all");
    k->setBinary("PersonalMsg", std::vector<std::uint8_t>{0});
    writeHive(root);
    const std::string before = hiveText();
    Call call{"0301" + std::string(30, '9')};  // a buffer with no terminator in 26 bytes
    EXPECT_EQ(run(call,
                  [](Form& f) {
                      EXPECT_EQ(f.text("CallerNumber"), "0301" + QString(21, '9'));
                      // The key is longer than the field: it is not saved shortened.
                      EXPECT_TRUE(f.get<QLineEdit>("CallerNumber")->isReadOnly());
                      f.click("OK");
                      EXPECT_TRUE(f.dialog.isVisible());
                      f.click("SpeedButton1");
                  }),
              0);
    call = {"0301"};
    EXPECT_EQ(run(call,
                  [](Form& f) {
                      EXPECT_EQ(f.text("CallerName"), QString(49, 'n'));
                      EXPECT_EQ(f.text("Cellular"), "");
                      EXPECT_EQ(f.get<QComboBox>("Actions")->currentIndex(), -1);
                      EXPECT_TRUE(f.get<QCheckBox>("RejectFax")->isChecked());
                      EXPECT_FALSE(f.get<QCheckBox>("PersonalVoice")->isChecked());
                      EXPECT_EQ(f.get<QComboBox>("MSNLines")->currentIndex(), 0);
                      EXPECT_EQ(f.get<QComboBox>("Services")->currentIndex(), 0);
                      f.click("SpeedButton1");
                  }),
              0);
    EXPECT_EQ(hiveText(), before);
    // Saved as they show: no action is mode 7, a time above 23:59 is 00:00.
    call = {"0301"};
    EXPECT_EQ(run(call, [](Form& f) { f.click("OK"); }), 1);
    EXPECT_EQ(readHive().subkey(std::string(kCallers) + "0301")->readDword("Reject", 0), 0xF0000000u);
}

TEST_F(CallerForm, UnknownAndUnlistedCannotBeRenamedOrReachedRestrictedCan) {
    RegNode root = callers();
    root.subkey("SOFTWARE\\ORVELIN")->setDword("Info Mask", 0x18);
    writeHive(root);
    for (const char* number : {"Unknown", "Unlisted", "Restricted"}) {
        SCOPED_TRACE(number);
        const bool fixed = std::string(number) != "Restricted";
        Call call{number};
        run(call, [&](Form& f) {
            for (const char* edit : {"CallerNumber", "Cellular", "EMail"})
                EXPECT_EQ(f.get<QLineEdit>(edit)->isReadOnly(), fixed) << edit;
            EXPECT_EQ(f.get<QToolButton>("SpeedButton2")->isEnabled(), !fixed);
            EXPECT_EQ(f.get<QToolButton>("SpeedButton4")->isEnabled(), !fixed);
            EXPECT_TRUE(f.get<QToolButton>("SpeedButton3")->isEnabled()) << "SMS follows the info mask";
            f.click("SpeedButton1");
        });
    }
}

TEST_F(CallerForm, HistoryListsTheCallerCallsLatestFirstAndNeverWalksPastTheRing) {
    RegNode root;
    root.createSubkey("SOFTWARE\\ORVELIN")->setDword("MaxCalls", 5);
    writeHive(root);
    const auto ring = ringOf(5, {{0, 11, "0301", "1234", "first"},
                                 {1, 12, "0302", "1234", "other"},
                                 {2, 13, "0301", "5678", "second"},
                                 {3, 14, "0301", "1234", "in the head slot"},
                                 {4, 15, "", "1234", "withheld"}});
    struct Case {
        std::string number;
        int head;
        std::vector<std::string> comments;
    };
    const Case cases[] = {{"0301", 3, {"second", "first"}},
                          {"Unknown", 3, {"withheld"}},
                          {"0301", 5, {}},
                          {"0301", -1, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number + " head " + std::to_string(c.head));
        Call call{c.number, 0, 1, c.head, &ring};
        run(call, [&](Form& f) {
            auto* list = f.get<QTreeWidget>("ListView1");
            std::vector<std::string> comments;
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                comments.push_back(list->topLevelItem(i)->text(2).toStdString());
            EXPECT_EQ(comments, c.comments);
            f.click("SpeedButton1");
        });
    }
}

// Records with a state, a kind of call and an arrival time each.
std::vector<unsigned char> callsOf(std::initializer_list<std::tuple<std::uint32_t, std::uint16_t, std::uint32_t>> calls) {
    std::vector<unsigned char> ring(150 * kRecord, 0);  // "MaxCalls" when not set
    int slot = 1;
    for (const auto& [state, cip, at] : calls) {
        unsigned char* r = ring.data() + std::size_t(slot) * kRecord;
        const std::uint32_t id = 100u + std::uint32_t(slot++);
        std::memcpy(r, &id, 4);
        std::memcpy(r + 20, &at, 4);
        std::memcpy(r + 28, &state, 4);
        std::memcpy(r + 36, &cip, 2);
        std::strncpy(reinterpret_cast<char*>(r + 44), "0301", 25);
    }
    return ring;
}

TEST_F(CallerForm, HistoryRowsShowTimeStateAndKindOfEachCall) {
    writeHive(callers());
    struct Row {
        std::uint32_t state;
        std::uint16_t cip;
        std::uint32_t at;  // seconds since 1 January 1901
        const char* time;  // in the C locale and UTC
        int kind;          // 0 voice, 1 fax, 2 data
    };
    const Row rows[] = {
        {0, 1, 3'900'000'000u, "1 Aug 2024 21:20:00 UTC", 0},
        {5, 17, 3'900'009'600u, "2 Aug 2024", 1},  // midnight shows the date alone
        {11, 18, 3'900'000'180u, "1 Aug 2024 21:23:00 UTC", 1},
        {2, 7, 3'900'000'180u, "1 Aug 2024 21:23:00 UTC", 2},
        {3, 28, 3'900'000'180u, "1 Aug 2024 21:23:00 UTC", 2},
        {4, 16, 3'900'000'180u, "1 Aug 2024 21:23:00 UTC", 0},
    };
    const auto ring = callsOf({{0, 1, 3'900'000'000u}, {5, 17, 3'900'009'600u},
                               {11, 18, 3'900'000'180u}, {2, 7, 3'900'000'180u},
                               {3, 28, 3'900'000'180u}, {4, 16, 3'900'000'180u}});
    Call call{"0301", 0, 1, 0, &ring};
    run(call, [&](Form& f) {
        auto* list = f.get<QTreeWidget>("ListView1");
        ASSERT_EQ(list->topLevelItemCount(), 6);
        std::vector<QImage> pictures;
        for (int i = 0; i < 6; ++i) {
            const Row& want = rows[5 - i];  // the latest call first
            const QTreeWidgetItem* item = list->topLevelItem(i);
            SCOPED_TRACE(i);
            EXPECT_EQ(item->text(0).toStdString(), want.time);
            EXPECT_EQ(item->data(0, Qt::UserRole).toUInt(), want.state);
            EXPECT_EQ(item->data(0, Qt::UserRole + 1).toInt(), want.kind);
            pictures.push_back(item->icon(0).pixmap(32, 14).toImage());
        }
        // Each call's picture is its own: state and kind can be told apart.
        for (std::size_t a = 0; a < pictures.size(); ++a) {
            EXPECT_FALSE(pictures[a].isNull());
            for (std::size_t b = a + 1; b < pictures.size(); ++b)
                EXPECT_NE(pictures[a], pictures[b]) << a << " and " << b;
        }
        // Grid lines: the bottom edge of a row is drawn unlike its inside.
        list->resize(400, 200);
        const QImage shot = list->viewport()->grab().toImage();
        const QRect cell = list->visualRect(list->model()->index(0, 1));
        EXPECT_NE(shot.pixel(cell.center().x(), cell.bottom()), shot.pixel(cell.center()));
        EXPECT_NE(shot.pixel(cell.right(), cell.center().y()), shot.pixel(cell.center()));
        f.click("SpeedButton1");
    });
}

TEST_F(CallerForm, NotesOpenAndSaveAsFormattedText) {
    const std::string notes = dir_ + "Notes/0301.rtf";
    struct Case {
        const char* name;
        std::string file;  // what is in the notes file before; empty: no file
        std::function<void(QTextEdit&)> act;  // null: Ignore & Close
        std::function<void(QTextEdit&)> shown;
        std::function<void(const std::string&)> saved;  // null: the file stays as it was
    };
    const auto fragment = [](QTextEdit& note, const QString& text) {
        for (QTextBlock b = note.document()->begin(); b.isValid(); b = b.next())
            for (auto it = b.begin(); !it.atEnd(); ++it)
                if (it.fragment().text() == text) return it.fragment().charFormat();
        ADD_FAILURE() << "no fragment " << text.toStdString();
        return QTextCharFormat();
    };
    const Case cases[] = {
        {"RTF of another program opens formatted and stays as it is",
         "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}{\\colortbl ;\\red255\\green0\\blue0;}"
         "{\\*\\generator Pad;}\\pard\\f0\\fs20 Call \\b Anne\\b0  \\i\\fs28 M\\'fcller\\i0\\fs20\\par "
         "\\ul\\cf1 soon\\cf0\\ulnone\\par}",
         nullptr,
         [&](QTextEdit& note) {
             EXPECT_EQ(note.toPlainText().toStdString(), "Call Anne Müller\nsoon");
             EXPECT_EQ(fragment(note, "Anne").fontWeight(), QFont::Bold);
             EXPECT_TRUE(fragment(note, "Müller").fontItalic());
             EXPECT_EQ(fragment(note, "Müller").fontPointSize(), 14.0);
             EXPECT_TRUE(fragment(note, "soon").fontUnderline());
             EXPECT_EQ(fragment(note, "soon").foreground().color(), QColor(255, 0, 0));
         },
         nullptr},
        {"notes kept as HTML by earlier versions open formatted and stay as they are",
         "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\"><html><body><p>old <b>bold</b></p></body></html>",
         nullptr,
         [&](QTextEdit& note) {
             EXPECT_EQ(note.toPlainText().toStdString(), "old bold");
             EXPECT_EQ(fragment(note, "bold").fontWeight(), QFont::Bold);
         },
         nullptr},
        {"saved notes are RTF that another converter reads with their formatting", "",
         [](QTextEdit& note) {
             note.setHtml("<p>Call <b>Anne</b> <i>soon</i></p><p><u>M\u00fcller</u></p>");
             note.document()->setModified(true);
         },
         nullptr,
         [&](const std::string& file) {
             EXPECT_EQ(file.rfind("{\\rtf1", 0), 0u) << file;
             const std::string html = dir_ + "note.html";
             const std::string command = "unrtf --html " + notes + " > " + html + " 2>/dev/null";
             ASSERT_EQ(std::system(command.c_str()), 0);
             std::ifstream in(html);
             std::stringstream text;
             text << in.rdbuf();
             for (const char* part : {"<b>Anne</b>", "<i>soon</i>", "<u>M&uuml;ller</u>"})
                 EXPECT_NE(text.str().find(part), std::string::npos) << part << " in " << text.str();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeHive(callers());
        std::filesystem::remove_all(dir_ + "Notes");
        if (!c.file.empty()) {
            std::filesystem::create_directories(dir_ + "Notes");
            std::ofstream(notes, std::ios::binary) << c.file;
        }
        Call call{"0301", 1, 1};
        run(call, [&](Form& f) {
            auto* note = f.get<QTextEdit>("Note");
            if (c.shown) c.shown(*note);
            if (c.act) c.act(*note);
            f.click(c.act ? "OK" : "SpeedButton1");
        });
        std::ifstream in(notes, std::ios::binary);
        const std::string after{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (c.saved) {
            c.saved(after);
        } else {
            EXPECT_EQ(after, c.file);
        }
    }
}

TEST_F(CallerForm, PrintIsOfferedOnHistoryAndNotesAndPrintsTheFormOnOnePage) {
    writeHive(callers());
    const auto ring = ringOf(150, {{1, 11, "0301", "1234", "first"}});
    struct Case {
        int startPage;
        std::vector<std::pair<const char*, bool>> pages;  // page shown, Print enabled there
    };
    const Case cases[] = {
        {0, {{"", true}, {"Page3", false}, {"Page2", true}, {"Page4", false}, {"Page1", true}}},
        {2, {{"", false}, {"Page5", false}, {"Page2", true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.startPage);
        Call call{"0301", c.startPage, 1, 0, &ring};
        run(call, [&](Form& f) {
            for (const auto& [page, enabled] : c.pages) {
                if (*page) f.show(page);
                EXPECT_EQ(f.get<QToolButton>("BtnPrint")->isEnabled(), enabled) << page;
            }
            f.click("SpeedButton1");
        });
    }

    const std::string pdf = dir_ + "form.pdf";
    setenv("ORVELIN_PRINT_FILE", pdf.c_str(), 1);
    int width = 0, dpi = 0;
    Call call{"0301", 0, 1, 0, &ring};
    run(call, [&](Form& f) {
        width = f.dialog.width();
        dpi = f.dialog.logicalDpiX();
        f.click("BtnPrint");
        f.click("SpeedButton1");
    });
    unsetenv("ORVELIN_PRINT_FILE");
    const auto output = [&](const std::string& command) {
        const std::string out = dir_ + "out.txt";
        EXPECT_EQ(std::system((command + " " + pdf + " > " + out + " 2>&1").c_str()), 0) << command;
        std::ifstream in(out);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    const std::string info = output("pdfinfo");
    EXPECT_NE(info.find("Pages:           1\n"), std::string::npos) << info;
    // The form's picture at the form's own pixels per inch: printed at its size on screen.
    std::istringstream images(output("pdfimages -list"));
    std::string line;
    std::getline(images, line);
    std::getline(images, line);
    std::getline(images, line);  // the first picture, under the two heading lines
    std::istringstream fields(line);
    std::string page, number, type, w, h, colour, comp, bpc, enc, interp, object, id, xppi;
    fields >> page >> number >> type >> w >> h >> colour >> comp >> bpc >> enc >> interp >> object >>
        id >> xppi;
    EXPECT_EQ(page, "1") << line;
    EXPECT_EQ(w, std::to_string(width)) << line;
    EXPECT_EQ(xppi, std::to_string(dpi)) << line;
}

TEST_F(CallerForm, LookupRaisesItsWindowOrRunsItsProgramAndEMailOpensAMessage) {
    // A stand-in for the desktop's mail handler records what it was asked to open.
    const std::string bin = dir_ + "bin/";
    std::filesystem::create_directories(bin);
    std::ofstream(bin + "xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << dir_ << "mailto.txt\"\n";
    std::filesystem::permissions(bin + "xdg-open", std::filesystem::perms::owner_all);
    const std::string path = bin + ":" + std::getenv("PATH");
    const std::string savedPath = std::getenv("PATH");
    setenv("PATH", path.c_str(), 1);
    // Without a display only this program's own windows are searched.
    const char* display = std::getenv("DISPLAY");
    const std::string savedDisplay = display ? display : "";
    unsetenv("DISPLAY");
    QWidget lookupBook;
    lookupBook.setWindowTitle("Lookup Book");
    lookupBook.show();

    struct Case {
        const char* window;
        std::vector<std::string> started;  // files the program made; empty: nothing ran
    };
    const Case cases[] = {
        {"", {"a-0301", "b-%s"}},
        {"Lookup Book", {}},
        {"No Such Window", {"a-0301", "b-%s"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window);
        RegNode root = callers();
        RegNode* product = root.subkey("SOFTWARE\\ORVELIN");
        product->setString("LookupWindow", c.window);
        product->setString("LookupApp", "/usr/bin/touch \"" + dir_ + "a-%s\" " + dir_ + "b-%s");
        writeHive(root);
        for (const char* f : {"a-0301", "b-%s", "mailto.txt"}) std::filesystem::remove(dir_ + f);
        Call call{"0301"};
        run(call, [&](Form& f) {
            f.type("Page3", "EMail", " anne@example.org ");
            f.click("SpeedButton2");
            EXPECT_EQ(QApplication::clipboard()->text(), "0301");
            f.click("SpeedButton4");
            EXPECT_TRUE(QTest::qWaitFor(
                [&] { return std::filesystem::exists(dir_ + "mailto.txt"); }, 5000));
            for (const std::string& file : c.started)
                EXPECT_TRUE(QTest::qWaitFor(
                    [&] { return std::filesystem::exists(dir_ + file); }, 5000))
                    << file;
            f.click("SpeedButton1");
        });
        if (c.started.empty()) {
            QTest::qWait(300);
            EXPECT_FALSE(std::filesystem::exists(dir_ + "a-0301"));
        }
        std::ifstream mail(dir_ + "mailto.txt");
        std::string opened;
        std::getline(mail, opened);
        EXPECT_EQ(opened, "mailto:anne@example.org");
    }
    setenv("PATH", savedPath.c_str(), 1);
    if (display) setenv("DISPLAY", savedDisplay.c_str(), 1);
}

TEST_F(CallerForm, BackStartsAPlayingGreetingOverAndUncheckingClosesThePlayer) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "plays through the test command's sound server";
    RegNode root = callers();
    root.subkey(std::string(kCallers) + "0301")->setDword("PersonalMsg", 1);
    root.subkey(std::string(kCallers) + "0301")->setString("PersonalWav", dir_ + "anne.wav");
    writeHive(root);
    orvelin::test::writeSilentGreeting(dir_ + "anne.wav", 20);
    Call call{"0301", 3, 0};
    run(call, [](Form& f) {
        orvelin::test::expectBackStartsOver([&](const char* name) { f.click(name); });
        f.click("PersonalVoice");  // unchecked: the player has no greeting any more
        f.click("Play");
        QTest::qWait(300);
        EXPECT_TRUE(orvelin::test::soundStreams().empty());
        f.click("SpeedButton1");
    });
}

TEST_F(CallerForm, AGreetingRecordedAfterARenameGoesToTheNewNumber) {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "records through the test command's sound server";
    writeHive(callers());
    orvelin::test::writeSilentGreeting(dir_ + "Answer/Ding.wav", 1);
    Call call{"0301", 2, 0};
    EXPECT_EQ(run(call,
                  [](Form& f) {
                      f.type("Page3", "CallerNumber", "0302");
                      f.show("Page4");
                      f.click("PersonalVoice");
                      f.click("Record");
                      QTest::qWait(400);
                      f.click("Stop");
                      f.click("OK");
                  }),
              1);
    const auto sound = orvelin::media::ReadWaveSound(dir_ + "Answer/0302.wav");
    ASSERT_TRUE(sound) << "the greeting of the new number was not written";
    EXPECT_EQ(sound->rate, 8000);
    EXPECT_GT(sound->samples.size(), 800u);
}

TEST_F(CallerForm, APersonalGreetingThatIsMissingGetsTheBeepAndAGoodOneIsKept) {
    struct Case {
        const char* name;
        std::string personalWav;  // the caller's "PersonalWav"
        bool greetingThere;       // Answer/0301.wav exists before
        bool copied;              // Answer/0301.wav is the beep afterwards
    };
    const Case cases[] = {
        {"no greeting: the beep stands in", "", false, true},
        {"a greeting of the caller's own stays", "", true, false},
        {"a named greeting that is missing: the beep goes to the number's file", "/nonexistent/x.wav",
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegNode root = callers();
        RegNode* anne = root.subkey(std::string(kCallers) + "0301");
        anne->setDword("PersonalMsg", 1);
        anne->setString("PersonalWav", c.personalWav);
        writeHive(root);
        std::filesystem::remove(dir_ + "Answer/0301.wav");
        orvelin::test::writeSilentGreeting(dir_ + "Answer/Ding.wav", 1);
        if (c.greetingThere) orvelin::test::writeSilentGreeting(dir_ + "Answer/0301.wav", 3);
        Call call{"0301"};
        run(call, [](Form& f) { f.click("SpeedButton1"); });
        const auto greeting = orvelin::media::ReadWaveSound(dir_ + "Answer/0301.wav");
        ASSERT_TRUE(greeting);
        EXPECT_EQ(greeting->samples.size(), c.copied ? 8000u : 24000u);
    }
}

TEST_F(CallerForm, AKeyThatCannotBeWrittenIsNotReportedAsSaved) {
    std::filesystem::create_directories(hive_);
    StderrCapture log(dir_ + "stderr.txt");
    Call call{"", 2, 0};
    EXPECT_EQ(run(call,
                  [](Form& f) {
                      f.type("Page3", "CallerNumber", "0309");
                      f.click("OK");
                  }),
              0);
    EXPECT_NE(log.finish().find(orvelin::test::kSaveFailed), std::string::npos);
}

TEST_F(CallerForm, SmsAsksTheProgramWithTheCellularNumberAsTyped) {
    struct Case {
        std::uint32_t infoMask;
        const char* cellular;
        int calls;
        int answer = 0;
    };
    for (const Case& c : {Case{0x19, "0171 ", 1}, Case{0x19, "", 0}, Case{0x01, "0171", 0},
                          Case{0x19, "0171", 1, -1}}) {
        SCOPED_TRACE(c.infoMask);
        RegNode root = callers();
        root.subkey("SOFTWARE\\ORVELIN")->setDword("Info Mask", c.infoMask);
        writeHive(root);
        g_sent = {};
        g_sent.answer = c.answer;
        StderrCapture log(dir_ + "stderr.txt");
        Call call{"0301"};
        run(call, [&](Form& f) {
            f.type("Page3", "Cellular", c.cellular);
            EXPECT_EQ(f.get<QToolButton>("SpeedButton3")->isEnabled(), c.infoMask == 0x19);
            f.click("SpeedButton3");
            EXPECT_TRUE(f.dialog.isVisible());
            f.click("SpeedButton1");
        });
        EXPECT_EQ(g_sent.calls, c.calls);
        EXPECT_EQ(log.finish().find("Internal error") != std::string::npos, c.answer < 0);
        if (c.calls) {
            EXPECT_EQ(g_sent.wParam, 0x2020u);
            EXPECT_EQ(g_sent.text, c.cellular);
        }
    }
}

TEST_F(CallerForm, Screenshots) {
    const char* shots = std::getenv("ORVELIN_SCREENSHOTS");
    if (!shots || QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "runs under Xvfb (CallerFormScreens.UnderXvfb)";
    writeHive(callers());
    std::filesystem::create_directories(shots);
    Call call{"0301", 2, 0};
    run(call, [&](Form& f) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&f.dialog));
        for (const char* page : {"Page3", "Page4", "Page5"}) {
            f.show(page);
            orvelin::test::saveScreenshot(f.dialog,
                                          std::string(shots) + "/caller-" + page + ".png");
        }
        f.click("SpeedButton1");
    });
}

TEST(CallerFormScreens, UnderXvfb) {
    orvelin::test::ScreenshotsUnderXvfb("caller-screenshots", "CallerForm.Screenshots", 3);
}

}  // namespace
