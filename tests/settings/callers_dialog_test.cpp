// The known-callers list against a hand-written hive: what it shows, how it sorts,
// and exactly what each action writes. The caller form is a stand-in library that
// calls back into orvelin_test_caller_form below, so the real binding is used.
#include "settings/callers_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "settings/caller_lookup.h"
#include "settings/settings_store.h"
#include "tests/support/qt_environment.h"
#include "tests/settings/settings_test_hive.h"

namespace {

// One call of the caller form as the list made it.
struct FormCall {
    std::string programDir;
    std::string numberIn;
    const void* ring = nullptr;
    int head = 0, left = 0, top = 0, height = 0, width = 0, startPage = -1, readOnly = -1;
    bool modalFlagDuringCall = false;
};

std::function<int(FormCall&, char* number)> g_form;  // the scripted form
std::vector<FormCall> g_calls;
bool* g_modalFlag = nullptr;

}  // namespace

extern "C" int orvelin_test_caller_form(const char* programDir, char* number, const void* ring,
                                        int head, int left, int top, int height, int width,
                                        int startPage, int numberReadOnly) {
    FormCall call{programDir,
                  number,
                  ring,
                  head,
                  left,
                  top,
                  height,
                  width,
                  startPage,
                  numberReadOnly,
                  g_modalFlag && *g_modalFlag};
    const int result = g_form ? g_form(call, number) : 0;
    g_calls.push_back(call);
    return result;
}

namespace orvelin::settings {
namespace {

using platform::Hive;
using platform::RegAccess;

// A form that saves: writes `values` into the key of `number`, writes the number back.
std::function<int(FormCall&, char*)> savingForm(std::string number, std::string name,
                                                std::uint32_t reject, int result = 1) {
    return [=](FormCall&, char* buffer) {
        const std::string path = std::string(kCallersKey) + "\\" + number;
        if (isSafeCallerKey(number)) {
            Hive::atDefaultPath().update([&](platform::RegNode& root) {
                platform::RegNode* key = root.createSubkey(path);
                key->setString("Name", name);
                key->setDword("Reject", reject);
            });
        }
        std::memset(buffer, 0, 26);
        std::memcpy(buffer, number.data(), std::min<std::size_t>(number.size(), 25));
        return result;
    };
}

class CallerListTest : public testing::HiveTest {
  protected:
    void SetUp() override {
        HiveTest::SetUp();
        std::ifstream in(CALLER_LIST_FIXTURE, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        writeHive(text.str());
        g_form = nullptr;
        g_calls.clear();
        g_modalFlag = &modal_;
        beeps_ = 0;
    }
    void TearDown() override {
        g_form = nullptr;
        g_modalFlag = nullptr;
        HiveTest::TearDown();
    }

    CallerListContext context(std::string file = FAKE_FORM_FILE) {
        CallerListContext c;
        c.programDir = "/srv/orvelin/";
        c.libraryDir = FAKE_FORM_DIR;
        c.libraryFile = std::move(file);
        c.ring = &ringStandIn_;
        c.ringHead = 7;
        c.modalDialogActive = &modal_;
        c.beep = [this] { ++beeps_; };
        return c;
    }

    static std::vector<std::string> column(const TCallerDlg& dlg, int c) {
        std::vector<std::string> out;
        for (int i = 0; i < dlg.list()->topLevelItemCount(); ++i) {
            out.push_back(dlg.list()->topLevelItem(i)->text(c).toStdString());
        }
        return out;
    }
    static QTreeWidgetItem* row(const TCallerDlg& dlg, std::string_view number) {
        for (int i = 0; i < dlg.list()->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = dlg.list()->topLevelItem(i);
            if (item->text(0).toStdString() == number) return item;
        }
        return nullptr;
    }
    static std::vector<std::string> texts(const QTreeWidgetItem* item) {
        return {item->text(0).toStdString(), item->text(1).toStdString(),
                item->text(2).toStdString(), item->text(3).toStdString()};
    }
    static int mode(const QTreeWidgetItem* item) {
        return item->data(0, TCallerDlg::kModeRole).toInt();
    }
    static void select(TCallerDlg& dlg, std::initializer_list<std::string_view> numbers) {
        dlg.list()->clearSelection();
        for (std::string_view n : numbers) {
            QTreeWidgetItem* item = row(dlg, n);
            ASSERT_NE(item, nullptr) << n;
            item->setSelected(true);
        }
    }
    static std::optional<std::uint32_t> reject(std::string_view number) {
        auto key = Hive::atDefaultPath().openKey(
            std::string(kCallersKey) + "\\" + std::string(number), RegAccess::Read);
        if (!key) return std::nullopt;
        return key->readDword("Reject", 0);
    }
    static bool keyExists(std::string_view path) {
        return Hive::atDefaultPath().openKey(path, RegAccess::Read).has_value();
    }
    static QPushButton* button(const TCallerDlg& dlg, const QString& text) {
        for (QPushButton* b : dlg.findChildren<QPushButton*>()) {
            if (b->text() == text) return b;
        }
        ADD_FAILURE() << "no button " << text.toStdString();
        return nullptr;
    }
    static void rightClick(TCallerDlg& dlg) {
        QWidget* viewport = dlg.list()->viewport();
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                viewport->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(viewport, &event);
    }
    static void clickHeader(TCallerDlg& dlg, int section) {
        QHeaderView* header = dlg.list()->header();
        QTest::mouseClick(
            header->viewport(), Qt::LeftButton, {},
            QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
    }

    bool modal_ = false;
    int beeps_ = 0;
    int ringStandIn_ = 0;
};

TEST_F(CallerListTest, ListsEveryKeyWithItsColumnTexts) {
    TCallerDlg dlg(nullptr, context());
    EXPECT_EQ(dlg.windowTitle(), "Caller list");
    EXPECT_EQ(dlg.font().pointSize(), 8);
    EXPECT_EQ(dlg.list()->font().pointSize(), 8);
    // The buttons in a row above the list, left to right.
    std::vector<QPushButton*> buttons;
    for (QPushButton* b : dlg.findChildren<QPushButton*>()) buttons.push_back(b);
    std::sort(buttons.begin(), buttons.end(), [](auto* a, auto* b) { return a->x() < b->x(); });
    std::vector<QString> captions;
    for (QPushButton* b : buttons) {
        captions.push_back(b->text());
        EXPECT_LE(b->geometry().bottom(), dlg.list()->y()) << b->text().toStdString();
    }
    EXPECT_EQ(captions, (std::vector<QString>{"&OK", "&Add", "&Edit", "&Delete"}));
    QTreeWidgetItem* header = dlg.list()->headerItem();
    ASSERT_EQ(dlg.list()->columnCount(), 4);
    EXPECT_EQ(header->text(0), "Number");
    EXPECT_EQ(header->text(1), "Name");
    EXPECT_EQ(header->text(2), "Reject");
    EXPECT_EQ(header->text(3), "Accept");

    // Every key, the 25-character link key and the ones after it included, in
    // number order; nothing from beside "Callers".
    EXPECT_EQ(column(dlg, 0),
              (std::vector<std::string>{"0176123456789012345678901", "0301111", "0302222",
                                        "0303333", "0304444", "0305555", "0306666", "0307777",
                                        "Restricted", "Unknown", "Unlisted"}));

    using V = std::vector<std::string>;
    EXPECT_EQ(texts(row(dlg, "0301111")), (V{"0301111", "Anna Alt", "", ""}));
    EXPECT_EQ(mode(row(dlg, "0301111")), 2);
    EXPECT_EQ(texts(row(dlg, "0302222")), (V{"0302222", "Bert Berg", "22:00", "06:00"}));
    EXPECT_EQ(mode(row(dlg, "0302222")), 0);
    EXPECT_EQ(texts(row(dlg, "0303333")), (V{"0303333", "Carla Cord", "22:00", "06:00"}));
    EXPECT_EQ(mode(row(dlg, "0303333")), 5);
    EXPECT_EQ(texts(row(dlg, "0305555")), (V{"0305555", "Emil Ernst", "24:00", "00:00"}));
    // Limits above 2400 count as 0 here, so mode 0 shows no window.
    EXPECT_EQ(texts(row(dlg, "0306666")), (V{"0306666", "Fritz Falk", "", ""}));
    EXPECT_EQ(row(dlg, "0307777")->text(1), "!!!!!!!!");
    EXPECT_EQ(row(dlg, "0176123456789012345678901")->text(1), "????????");
    EXPECT_EQ(row(dlg, "0176123456789012345678901")->data(0, TCallerDlg::kKeyNameRole),
              "0176123456789012345678901");

    // Own greeting: a one-byte binary and a DWORD both count; none elsewhere.
    EXPECT_TRUE(row(dlg, "0304444")->data(0, TCallerDlg::kPersonalRole).toBool());
    EXPECT_TRUE(row(dlg, "0306666")->data(0, TCallerDlg::kPersonalRole).toBool());
    EXPECT_FALSE(row(dlg, "0301111")->data(0, TCallerDlg::kPersonalRole).toBool());
}

TEST_F(CallerListTest, EachModeAndGreetingHasItsOwnRowPicture) {
    // Modes 0 to 5 each have a picture; 6 and 7 have none; the greeting picture beside it.
    std::string hive = "Windows Registry Editor Version 5.00\n\n";
    for (int personal = 0; personal < 2; ++personal)
        for (int mode = 0; mode < 8; ++mode)
            hive += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\Callers\\" + std::to_string(personal) +
                    std::to_string(mode) + "]\n\"Name\"=\"x\"\n\"Reject\"=dword:" +
                    std::to_string(mode) + "0000000\n\"PersonalMsg\"=dword:0000000" +
                    std::to_string(personal) + "\n\n";
    writeHive(hive);
    TCallerDlg dlg(nullptr, context());
    const auto picture = [&](int personal, int mode) {
        const QTreeWidgetItem* item = row(dlg, std::to_string(personal) + std::to_string(mode));
        EXPECT_NE(item, nullptr);
        return item ? item->icon(0).pixmap(dlg.list()->iconSize()).toImage() : QImage();
    };
    for (int personal = 0; personal < 2; ++personal) {
        SCOPED_TRACE(personal);
        EXPECT_EQ(picture(personal, 6), picture(personal, 7)) << "no state picture for 6 and 7";
        for (int a = 0; a < 7; ++a)
            for (int b = a + 1; b < 7; ++b) EXPECT_NE(picture(personal, a), picture(personal, b)) << a << " " << b;
    }
    for (int mode = 0; mode < 8; ++mode) EXPECT_NE(picture(0, mode), picture(1, mode)) << mode;
    // The same row drawn again after a mode step takes the new mode's picture.
    select(dlg, {"01"});
    dlg.EvRightClick();
    EXPECT_EQ(picture(0, 1), picture(0, 2));
}

TEST_F(CallerListTest, EmptyOrMissingCallersKey) {
    writeProductValues("\"Options\"=dword:00000000\n");
    {
        TCallerDlg dlg(nullptr, context());
        EXPECT_EQ(dlg.list()->topLevelItemCount(), 0);
        EXPECT_EQ(dlg.list()->headerItem()->text(3), "Accept");
    }
    EXPECT_TRUE(keyExists(kCallersKey)) << "the list creates the missing key";
}

TEST_F(CallerListTest, LongNameIsShownCutAtACharacterBoundary) {
    // 48 ASCII bytes then a two-byte character: 49 bytes would split it.
    const std::string name = std::string(48, 'x') + "\xC3\x96" + "sterreich";
    Hive::atDefaultPath().update([&](platform::RegNode& root) {
        root.createSubkey(std::string(kCallersKey) + "\\0309000")->setString("Name", name);
    });
    TCallerDlg dlg(nullptr, context());
    ASSERT_NE(row(dlg, "0309000"), nullptr);
    EXPECT_EQ(row(dlg, "0309000")->text(1).toStdString(), std::string(48, 'x'));
}

TEST_F(CallerListTest, TimeTextRulesAndModeSteps) {
    // Set-up caps limits above 2400; the form rule does not; the mode step shows
    // the window only in modes 1 and 3.
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(callerTimeTexts(0x0bb80bb8, TimeTextRule::SetUp), P{});
    EXPECT_EQ(callerTimeTexts(0x0bb80bb8, TimeTextRule::Form), (P{"30:00", "30:00"}));
    EXPECT_EQ(callerTimeTexts(0x1bb80bb8, TimeTextRule::SetUp), (P{"00:00", "00:00"}));
    EXPECT_EQ(callerTimeTexts(0x00000001, TimeTextRule::Form), (P{"00:01", "00:00"}));
    EXPECT_EQ(callerTimeTexts(0x00000001, TimeTextRule::SetUp), P{});
    EXPECT_EQ(callerTimeTexts(0x80000000, TimeTextRule::Form), P{}) << "bit 31 is no window";
    EXPECT_EQ(callerTimeTexts(0x22580898, TimeTextRule::ModeStep), P{});
    EXPECT_EQ(callerTimeTexts(0x32580898, TimeTextRule::ModeStep), (P{"22:00", "06:00"}));

    const std::uint32_t steps[8] = {1, 2, 3, 4, 5, 0, 7, 0};
    for (std::uint32_t m = 0; m < 8; ++m) EXPECT_EQ(nextCallerMode(m), steps[m]) << m;
}

TEST_F(CallerListTest, HeaderClicksSortAndFlipDirection) {
    TCallerDlg dlg(nullptr, context());
    dlg.show();
    const std::vector<std::string> named = {"Anna Alt",   "Bert Berg",  "Carla Cord", "Dora Dahl",
                                            "Emil Ernst", "Fritz Falk", "No Number",  "Withheld"};
    const auto namedOrder = [&] {
        std::vector<std::string> out;
        for (const std::string& n : column(dlg, 1)) {
            if (std::find(named.begin(), named.end(), n) != named.end()) out.push_back(n);
        }
        return out;
    };
    clickHeader(dlg, TCallerDlg::NameColumn);
    EXPECT_EQ(dlg.sortColumn(), 1);
    EXPECT_TRUE(dlg.ascending());
    EXPECT_EQ(namedOrder(), named);

    clickHeader(dlg, TCallerDlg::NameColumn);
    EXPECT_FALSE(dlg.ascending());
    EXPECT_EQ(namedOrder(), std::vector<std::string>(named.rbegin(), named.rend()));

    // Another column keeps the direction.
    clickHeader(dlg, TCallerDlg::NumberColumn);
    EXPECT_EQ(dlg.sortColumn(), 0);
    EXPECT_FALSE(dlg.ascending());
    EXPECT_EQ(column(dlg, 0).front(), "Unlisted");
    EXPECT_EQ(column(dlg, 0).back(), "0176123456789012345678901");

    // Rows not in the list sort last.
    const int any = dlg.list()->topLevelItem(0)->data(0, TCallerDlg::kItemDataRole).toInt();
    EXPECT_EQ(dlg.CompareItems(9999, any), 1);
    EXPECT_EQ(dlg.CompareItems(any, 9999), -1);
}

TEST_F(CallerListTest, RightClickStepsTheModeOfEachSelectedCaller) {
    TCallerDlg dlg(nullptr, context());
    dlg.show();
    select(dlg, {"0303333", "0304444", "0306666"});
    rightClick(dlg);

    // Mode 5 -> 0: window kept in the value, no longer shown.
    EXPECT_EQ(reject("0303333"), 0x02580898u);
    EXPECT_EQ(mode(row(dlg, "0303333")), 0);
    EXPECT_EQ(row(dlg, "0303333")->text(2), "");
    EXPECT_EQ(row(dlg, "0303333")->text(3), "");
    // Mode 0 -> 1: the window is shown, here the empty one.
    EXPECT_EQ(reject("0304444"), 0x10000000u);
    EXPECT_EQ(mode(row(dlg, "0304444")), 1);
    EXPECT_EQ(row(dlg, "0304444")->text(2), "00:00");
    // Bit 31 and uncapped limits survive; the text follows the written value.
    EXPECT_EQ(reject("0306666"), 0x9bb80bb8u);
    EXPECT_EQ(row(dlg, "0306666")->text(2), "30:00");
    // Unselected callers are untouched.
    EXPECT_EQ(reject("0302222"), 0x02580898u);

    // A caller deleted behind the list's back is not created again; its row goes.
    Hive::atDefaultPath().update(
        [](platform::RegNode& root) { root.subkey(kCallersKey)->deleteSubkey("0304444"); });
    select(dlg, {"0304444"});
    rightClick(dlg);
    EXPECT_FALSE(reject("0304444").has_value());
    EXPECT_EQ(row(dlg, "0304444"), nullptr);
}

TEST_F(CallerListTest, DeleteStopsWithABeepAtAProtectedEntry) {
    TCallerDlg dlg(nullptr, context());
    dlg.show();
    select(dlg, {"0301111", "0302222", "Unknown", "Unlisted"});
    QTest::mouseClick(button(dlg, "&Delete"), Qt::LeftButton);

    EXPECT_EQ(beeps_, 1);
    EXPECT_FALSE(reject("0301111").has_value());
    EXPECT_FALSE(reject("0302222").has_value());
    EXPECT_EQ(row(dlg, "0301111"), nullptr);
    EXPECT_EQ(row(dlg, "0302222"), nullptr);
    ASSERT_NE(row(dlg, "Unknown"), nullptr);
    EXPECT_TRUE(row(dlg, "Unknown")->isSelected());
    EXPECT_TRUE(row(dlg, "Unlisted")->isSelected());
    EXPECT_TRUE(keyExists(std::string(kCallersKey) + "\\Unknown"));
    EXPECT_TRUE(keyExists(std::string(kCallersKey) + "\\Unlisted"));
    EXPECT_TRUE(keyExists(std::string(kCallersKey) + "\\0303333"));

    // A key that cannot be deleted (a key below it) beeps and stops; the rest stays.
    ASSERT_TRUE(Hive::atDefaultPath()
                    .update([](platform::RegNode& root) {
                        root.createSubkey(std::string(kCallersKey) + "\\0303333\\below");
                    })
                    .ok());
    select(dlg, {"0303333", "0304444"});
    dlg.CmDelete();
    EXPECT_EQ(beeps_, 2);
    EXPECT_TRUE(keyExists(std::string(kCallersKey) + "\\0303333"));
    EXPECT_TRUE(keyExists(std::string(kCallersKey) + "\\0304444"));
    ASSERT_NE(row(dlg, "0304444"), nullptr);
    EXPECT_TRUE(row(dlg, "0304444")->isSelected());

    // The long link key is deleted by its whole name.
    select(dlg, {"0176123456789012345678901"});
    dlg.CmDelete();
    EXPECT_FALSE(keyExists(std::string(kCallersKey) + "\\0176123456789012345678901"));
    EXPECT_EQ(beeps_, 2);
}

TEST_F(CallerListTest, AddRunsTheFormAndShowsWhatItSaved) {
    QWidget owner;
    owner.setGeometry(40, 50, 640, 400);
    owner.show();
    TCallerDlg dlg(&owner, context());
    dlg.show();
    EXPECT_EQ(dlg.size(), owner.size()) << "the list covers its owner's client area";
    const int before = dlg.list()->topLevelItemCount();
    const std::string hiveBefore = readHive();

    // Cancelled: nothing changes.
    g_form = [](FormCall&, char*) { return 0; };
    dlg.CmAdd();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(dlg.list()->topLevelItemCount(), before);
    EXPECT_EQ(readHive(), hiveBefore);

    // Saved: one row read back from the key; the list itself writes nothing.
    g_form = savingForm("0300001", "Zora Zahn", 0x3000012C);  // mode 3, 03:00 to 00:00
    QTest::mouseClick(button(dlg, "&Add"), Qt::LeftButton);
    ASSERT_EQ(g_calls.size(), 2u);
    const FormCall& call = g_calls.back();
    EXPECT_EQ(call.programDir, "/srv/orvelin/");
    EXPECT_EQ(call.numberIn, "");
    EXPECT_EQ(call.ring, &ringStandIn_);
    EXPECT_EQ(call.head, 7);
    EXPECT_EQ(call.startPage, 2);
    EXPECT_EQ(call.readOnly, 0);
    EXPECT_EQ(QPoint(call.left, call.top), owner.mapToGlobal(QPoint(0, 0)));
    EXPECT_EQ(QSize(call.width, call.height), owner.size());
    EXPECT_TRUE(call.modalFlagDuringCall);
    EXPECT_FALSE(modal_) << "the flag is back to what it was";

    ASSERT_EQ(dlg.list()->topLevelItemCount(), before + 1);
    QTreeWidgetItem* added = row(dlg, "0300001");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(texts(added), (std::vector<std::string>{"0300001", "Zora Zahn", "03:00", "00:00"}));
    EXPECT_EQ(mode(added), 3);
    EXPECT_EQ(column(dlg, 0)[1], "0300001") << "sorted into place";

    // A number that is already listed updates its row instead of adding a second.
    g_form = savingForm("0301111", "Anna Neu", 0x40000000);
    dlg.CmAdd();
    EXPECT_EQ(dlg.list()->topLevelItemCount(), before + 1);
    EXPECT_EQ(texts(row(dlg, "0301111")),
              (std::vector<std::string>{"0301111", "Anna Neu", "", ""}));
    EXPECT_EQ(mode(row(dlg, "0301111")), 4);
}

TEST_F(CallerListTest, HostileNumbersFromTheFormReachNoKey) {
    // Keys a crafted number could reach if it were pasted into a path.
    Hive::atDefaultPath().update([](platform::RegNode& root) {
        root.createSubkey(std::string(kCallersKey) + "\\0401\\Inner")->setString("Name", "Nested");
        root.createSubkey(std::string(kCallersKey) + "\\.hidden")->setString("Name", "Dot");
    });
    TCallerDlg dlg(nullptr, context());
    const int before = dlg.list()->topLevelItemCount();
    for (const std::string number : {"0401\\Inner", "0401/Inner", ".hidden", "", "\\Secret"}) {
        g_form = [number](FormCall&, char* buffer) {
            // Would show up if the list read ".hidden" back after the form.
            Hive::atDefaultPath().update([](platform::RegNode& root) {
                root.subkey(std::string(kCallersKey) + "\\.hidden")->setString("Name", "Dot 2");
            });
            std::memset(buffer, 0, 26);
            std::memcpy(buffer, number.data(), number.size());
            return 1;
        };
        dlg.CmAdd();
        EXPECT_EQ(dlg.list()->topLevelItemCount(), before) << number;
        EXPECT_EQ(row(dlg, ".hidden")->text(1), "Dot") << number;
        for (const char* shown : {"Nested", "Secret", "Dot 2"}) {
            for (const std::string& name : column(dlg, 1)) EXPECT_NE(name, shown) << number;
        }
    }
    // Edit with a hostile write-back leaves the row as it was.
    select(dlg, {"0302222"});
    g_form = [](FormCall&, char* buffer) {
        std::strcpy(buffer, "0401\\Inner");
        return 1;
    };
    dlg.CmEdit();
    EXPECT_EQ(texts(row(dlg, "0302222")),
              (std::vector<std::string>{"0302222", "Bert Berg", "22:00", "06:00"}));
}

TEST_F(CallerListTest, EditHandsTheWholeKeyNameAndMergesARename) {
    TCallerDlg dlg(nullptr, context());
    select(dlg, {"0176123456789012345678901"});
    g_form = [](FormCall&, char*) { return 0; };
    dlg.CmEdit();
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls.back().numberIn, "0176123456789012345678901");

    // The form renames 0302222 to 0301111 (new key written, old one removed).
    select(dlg, {"0302222"});
    g_form = [](FormCall& call, char* buffer) {
        Hive::atDefaultPath().update([](platform::RegNode& root) {
            platform::RegNode* callers = root.subkey(kCallersKey);
            platform::RegNode* key = callers->createSubkey("0301111");
            key->setString("Name", "Bert Umgezogen");
            key->setDword("Reject", 0x00000001);
            key->deleteValue("PersonalMsg");
            callers->deleteSubkey("0302222");
        });
        EXPECT_EQ(call.numberIn, "0302222");
        std::strcpy(buffer, "0301111");
        return 0x10001;  // only the low 16 bits count
    };
    const int before = dlg.list()->topLevelItemCount();
    dlg.CmEdit();
    EXPECT_EQ(dlg.list()->topLevelItemCount(), before - 1) << "one row per key";
    EXPECT_EQ(row(dlg, "0302222"), nullptr);
    EXPECT_EQ(texts(row(dlg, "0301111")),
              (std::vector<std::string>{"0301111", "Bert Umgezogen", "00:01", "00:00"}));

    // A form result whose low 16 bits are 0 is "not saved".
    select(dlg, {"0303333"});
    g_form = savingForm("0303333", "Changed", 0, 0x10000);
    dlg.CmEdit();
    EXPECT_EQ(row(dlg, "0303333")->text(1), "Carla Cord");
}

TEST_F(CallerListTest, DoubleClickEditsAndResizeKeepsTheListUnderTheButtons) {
    TCallerDlg dlg(nullptr, context());
    dlg.show();
    dlg.resize(800, 500);
    EXPECT_EQ(dlg.list()->geometry(), QRect(0, 22, 800, 477));

    QTreeWidgetItem* item = row(dlg, "0304444");
    const QRect rect = dlg.list()->visualItemRect(item);
    g_form = savingForm("0304444", "Dora Doppel", 0x20000000);
    QTest::mouseClick(dlg.list()->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(dlg.list()->viewport(), Qt::LeftButton, {}, rect.center());
    ASSERT_FALSE(g_calls.empty());
    EXPECT_EQ(g_calls.back().numberIn, "0304444");
    EXPECT_EQ(row(dlg, "0304444")->text(1), "Dora Doppel");
    EXPECT_EQ(mode(row(dlg, "0304444")), 2);
}

TEST_F(CallerListTest, ColumnsShareTheRealWidthOfTheList) {
    // A third each for number and name, a sixth each for the times, of the list's
    // client width less a scroll bar and 4 pixels; whatever the owner's size.
    for (const QSize ownerSize : {QSize(), QSize(640, 400), QSize(1200, 700)}) {
        SCOPED_TRACE(ownerSize.width());
        QWidget owner;
        if (ownerSize.isValid()) owner.resize(ownerSize);
        TCallerDlg dlg(ownerSize.isValid() ? &owner : nullptr, context());
        dlg.show();
        QTreeWidget* list = dlg.list();
        const int scrollBar = list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
        const int client = list->viewport()->width() +
                           (list->verticalScrollBar()->isVisible() ? scrollBar : 0);
        const int w = client - scrollBar - 4;
        ASSERT_GT(w, 300);
        // Sized at set-up, 3 pixels narrower than the list once the dialog is laid out.
        EXPECT_NEAR(list->columnWidth(0), w / 3, 1);
        EXPECT_NEAR(list->columnWidth(1), w / 3, 1);
        EXPECT_NEAR(list->columnWidth(2), w / 6, 1);
        EXPECT_NEAR(list->columnWidth(3), w / 6, 1);
        const QFontMetrics metrics(list->font());
        EXPECT_GT(list->columnWidth(1), metrics.horizontalAdvance("Dora Doppel"));
        EXPECT_GT(list->columnWidth(2), metrics.horizontalAdvance("22:00"));
    }
}

TEST_F(CallerListTest, MissingLibraryOrExportDoesNothing) {
    const std::string emptyDir = (dir_ / "nolib").string();  // removed with the hive's folder
    ASSERT_TRUE(std::filesystem::create_directory(emptyDir));
    g_form = savingForm("0300001", "Never", 0);
    for (const CallerListContext& ctx : {[&] {
                                             auto c = context();
                                             c.libraryDir = emptyDir;
                                             return c;
                                         }(),
                                         context(FAKE_FORM_NO_EXPORT_FILE)}) {
        TCallerDlg dlg(nullptr, ctx);
        const std::string hiveBefore = readHive();
        const int before = dlg.list()->topLevelItemCount();
        dlg.CmAdd();
        select(dlg, {"0301111"});
        dlg.CmEdit();
        EXPECT_TRUE(g_calls.empty());
        EXPECT_EQ(dlg.list()->topLevelItemCount(), before);
        EXPECT_EQ(readHive(), hiveBefore);
        EXPECT_FALSE(modal_);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

TEST_F(CallerListTest, RunsModallyAndKeepsTheModalFlagAcrossTheForm) {
    bool sawDialog = false, flagWhileOpen = false, flagAfterForm = false;
    g_form = [](FormCall&, char*) { return 0; };
    QTimer::singleShot(0, [&] {
        auto* dlg = dynamic_cast<TCallerDlg*>(QApplication::activeModalWidget());
        sawDialog = dlg != nullptr;
        if (!dlg) return;
        flagWhileOpen = modal_;
        dlg->CmAdd();
        flagAfterForm = modal_;
        QTest::mouseClick(button(*dlg, "&OK"), Qt::LeftButton);  // "&OK"
    });
    const int result = RunCallerList(nullptr, context());
    EXPECT_TRUE(sawDialog);
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_TRUE(flagWhileOpen);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_TRUE(g_calls[0].modalFlagDuringCall);
    EXPECT_TRUE(flagAfterForm) << "the form must not clear the list's own flag";
    EXPECT_FALSE(modal_);
}

}  // namespace
}  // namespace orvelin::settings
