#include "tessaly/caller_form.h"

#include <dlfcn.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QSvgRenderer>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimeEdit>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "media/alsa_player.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/spawn.h"
#include "platform/window_raise.h"
#include "settings/settings_store.h"
#include "tessaly/file_browse.h"
#include "tessaly/greeting_recorder.h"
#include "tessaly/msn_values.h"
#include "tessaly/note_document.h"
#include "tessaly/placement.h"

namespace tessaly {
namespace {

constexpr const char* kCaption = "Orvelin";
constexpr const char* kEmpty = "This field can not be empty";
constexpr const char* kUnsafe = "This field can not hold \\, / or control characters";
constexpr const char* kSaveFailed = "An error occured while trying to save your settings.";
constexpr const char* kMediaError = "Internal error: Media Player";
constexpr const char* kInternal = "Internal error";
constexpr const char* kNothingRecorded = "Nothing was recorded; the greeting was not changed.";
constexpr const char* kExisting = "A caller with this number exists; its settings are shown.";
constexpr const char* kNoPrinter = "No printer is available.";
constexpr const char* kPrintFailed = "The form could not be printed.";
constexpr const char* kTooLong =
    "This caller's number is longer than 25 characters and can not be saved here.";
constexpr std::size_t kNumberBytes = 25, kNameBytes = 49, kEmailBytes = 255, kProgramBytes = 259;
constexpr std::uint32_t kUnixFrom1901 = 2177452800u;
constexpr int kLineBits[9] = {0, 1, 2, 4, 8, 16, 32, 64, 128};
constexpr std::uint32_t kServiceCips[6] = {0xFFFFFFFFu, 0x10012, 0x20010, 4, 0x100, 0x40000};
constexpr std::size_t kMaxNotesBytes = 4u << 20;

QString qs(const std::string& s) { return QString::fromStdString(s); }
std::string ss(const QString& s) { return s.toStdString(); }

std::string trimmed(const QString& s) { return ss(s.trimmed()); }

// Cuts typing to what the program reads, in bytes of UTF-8.
void limitBytes(QLineEdit* edit, std::size_t bytes) {
    QObject::connect(edit, &QLineEdit::textEdited, edit, [edit, bytes](const QString& t) {
        const QString cut = qs(cutText(ss(t), bytes));
        if (cut != t) edit->setText(cut);
    });
}

// Key names match without regard to ASCII letter case, as the hive compares them.
bool sameKeyName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}

// Gives the key `parent\from` the spelling `to` (the same name but for letter case), every
// value kept. A key with subkeys keeps its spelling rather than lose them.
void respellKey(platform::RegNode& root, const std::string& parent, const std::string& from,
                const std::string& to) {
    const platform::RegNode* old = root.subkey(parent + "\\" + from);
    if (!old || old->name() == to || old->hasSubkeys()) return;
    std::vector<std::pair<std::string, platform::RegValue>> values;
    for (const std::string& name : old->valueNames()) values.emplace_back(name, *old->value(name));
    if (!root.deleteSubkey(parent + "\\" + from).ok()) return;
    if (platform::RegNode* fresh = root.createSubkey(parent + "\\" + to))
        for (auto& [name, value] : values) fresh->setValue(name, std::move(value));
}

bool safeKey(const std::string& text) {
    if (text.empty() || text.front() == '.') return false;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '/' || u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

std::string fieldText(const unsigned char* record, std::size_t offset, std::size_t size) {
    const char* p = reinterpret_cast<const char*>(record + offset);
    return std::string(p, strnlen(p, size));
}

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

int callType(unsigned cip) {
    if (cip == 17 || cip == 18) return 1;
    if (cip == 2 || cip == 3 || (cip >= 6 && cip <= 9) || (cip >= 19 && cip <= 25) || cip == 27 ||
        cip == 28)
        return 2;
    return 0;
}

QTime hhmm(std::uint32_t v) {
    if (v > 2359) v = 0;
    const QTime t(int(v / 100), int(v % 100));
    return t.isValid() ? t : QTime(0, 0);
}

QToolButton* toolButton(QWidget* parent, const char* name, const char* text, const char* hint) {
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setText(text);
    b->setToolTip(hint);
    b->setStatusTip(hint);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

// A history picture from the library's resources, at the list's 16 x 14 pixels.
QPixmap historyPicture(const QString& name) {
    QPixmap pixmap(16, 14);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(":/tessaly/history/" + name + ".svg");
    if (!renderer.isValid()) return pixmap;
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, 16, 14));
    return pixmap;
}

// The call's state picture left of its kind picture (voice, fax, data), as a report list
// shows its state and small images; a state the pictures do not know shows none.
QIcon historyIcon(std::uint32_t state, int kind) {
    QPixmap pixmap(32, 14);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    if (state < 12) painter.drawPixmap(0, 0, historyPicture(QString("call-state-%1").arg(state)));
    painter.drawPixmap(16, 0, historyPicture(QString("call-kind-%1").arg(kind)));
    return QIcon(pixmap);
}

// Grid lines between the rows and columns of the history.
class GridDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->restore();
    }
};

QLineEdit* lineEdit(QWidget* parent, const char* name, std::size_t bytes) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    limitBytes(e, bytes);
    return e;
}

}  // namespace

TCallerDialog::TCallerDialog(char* number, const std::string& programDirectory, int left,
                             int top, int height, int width, bool numberReadOnly, QWidget* owner)
    : QDialog(owner),
      buffer_(number),
      programDirectory_(programDirectory),
      player_(std::make_unique<orvelin::media::AlsaPlayer>()),
      recorder_(std::make_unique<GreetingRecorder>()) {
    if (!programDirectory_.empty() && programDirectory_.back() != '/') programDirectory_ += '/';
    setWindowTitle("History");
    setModal(true);
    useToolWindowFrame(*this);
    setSizeGripEnabled(true);

    auto* bar = new QToolBar(this);
    auto* print = toolButton(bar, "BtnPrint", "Print", "Print");
    print->setEnabled(false);
    print_ = print;
    auto* ignore = toolButton(bar, "SpeedButton1", "Ignore", "Ignore & Close");
    auto* ok = toolButton(bar, "OK", "Save", "Save & Close");
    for (QToolButton* b : {print, ignore, ok}) bar->addWidget(b);
    connect(print, &QToolButton::clicked, this, [this] { BtnPrintClick(); });
    connect(ignore, &QToolButton::clicked, this, [this] { CancelClick(); });
    connect(ok, &QToolButton::clicked, this, [this] { OKClick(); });

    pages_ = new QTabWidget(this);
    pages_->setObjectName("PageControl1");
    const auto page = [this](const char* name, const char* caption) {
        auto* p = new QWidget(pages_);
        p->setObjectName(name);
        pages_->addTab(p, caption);
        return p;
    };
    QWidget* p1 = page("Page1", "History");
    QWidget* p2 = page("Page2", "Notes");
    QWidget* p3 = page("Page3", "Info");
    QWidget* p4 = page("Page4", "Answer");
    QWidget* p5 = page("Page5", "Launch");

    history_ = new QTreeWidget(p1);
    history_->setObjectName("ListView1");
    history_->setRootIsDecorated(false);
    history_->setHeaderLabels({"Time", "To", "Comment"});
    history_->setColumnWidth(2, 150);
    history_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    history_->setSelectionBehavior(QAbstractItemView::SelectRows);
    history_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    history_->setIconSize(QSize(32, 14));
    history_->setItemDelegate(new GridDelegate(history_));
    (new QVBoxLayout(p1))->addWidget(history_);
    note_ = new QTextEdit(p2);
    note_->setObjectName("Note");
    (new QVBoxLayout(p2))->addWidget(note_);

    auto* info = new QFormLayout(p3);
    number_ = lineEdit(p3, "CallerNumber", kNumberBytes);
    name_ = lineEdit(p3, "CallerName", kNameBytes);
    cellular_ = lineEdit(p3, "Cellular", kNumberBytes);
    email_ = lineEdit(p3, "EMail", kEmailBytes);
    lookup_ = toolButton(p3, "SpeedButton2", "Lookup", "Lookup");
    sms_ = toolButton(p3, "SpeedButton3", "SMS", "SMS");
    mail_ = toolButton(p3, "SpeedButton4", "E-Mail", "E-Mail");
    const auto row = [&](const char* label, QLineEdit* edit, QToolButton* button) {
        auto* line = new QHBoxLayout;
        line->addWidget(edit);
        if (button) line->addWidget(button);
        info->addRow(label, line);
    };
    row("Caller number", number_, lookup_);
    row("Caller name", name_, nullptr);
    row("Cellular phone", cellular_, sms_);
    row("E-mail address", email_, mail_);
    connect(lookup_, &QToolButton::clicked, this, [this] { SpeedButton2Click(); });
    connect(sms_, &QToolButton::clicked, this, [this] { SpeedButton3Click(); });
    connect(mail_, &QToolButton::clicked, this, [this] { SpeedButton4Click(); });
    connect(number_, &QLineEdit::editingFinished, this, [this] { CallerNumberExit(); });

    auto* answer = new QFormLayout(p4);
    from_ = new QTimeEdit(p4);
    from_->setObjectName("DTPFrom");
    to_ = new QTimeEdit(p4);
    to_->setObjectName("DTPTo");
    for (QTimeEdit* t : {from_, to_}) t->setDisplayFormat("HH:mm");
    actions_ = new QComboBox(p4);
    actions_->setObjectName("Actions");
    actions_->addItems({"Normal action", "Reject in time period", "Reject always",
                        "Answer in time period", "Answer always", "Never answer"});
    answer->addRow("Start time", from_);
    answer->addRow("Stop time", to_);
    answer->addRow("Action", actions_);
    auto* group = new QGroupBox("Override line defaults", p4);
    auto* groupBox = new QVBoxLayout(group);
    const auto check = [](QWidget* parent, const char* name, const char* text) {
        auto* c = new QCheckBox(text, parent);
        c->setObjectName(name);
        return c;
    };
    rejectFax_ = check(group, "RejectFax", "Don't accept fax");
    rejectMessage_ = check(group, "RejectMessage", "Don't accept voice message");
    personalVoice_ = check(group, "PersonalVoice", "Personal voice message");
    for (QCheckBox* c : {rejectFax_, rejectMessage_, personalVoice_}) groupBox->addWidget(c);
    connect(personalVoice_, &QCheckBox::clicked, this, [this] { PersonalVoiceClick(); });
    auto* media = new QHBoxLayout;
    constexpr const char* kPlayerHint = "Play - Stop - Back - Record";
    for (const char* name : {"Play", "Stop", "Back", "Record"}) {
        auto* b = toolButton(group, name, name, kPlayerHint);
        media->addWidget(b);
        if (std::strcmp(name, "Play") == 0)
            connect(b, &QToolButton::clicked, this, [this] {
                if (!recorder_->Recording() && playerOpen_ && !playerFile_.empty())
                    player_->PlayFile(playerFile_);
            });
        else if (std::strcmp(name, "Back") == 0)
            connect(b, &QToolButton::clicked, this, [this] {
                // Back to the start: a greeting that plays starts over.
                recorder_->Stop();
                if (player_->Playing() && playerOpen_ && !playerFile_.empty())
                    player_->PlayFile(playerFile_);
            });
        else if (std::strcmp(name, "Record") == 0)
            connect(b, &QToolButton::clicked, this, [this] { recordClick(); });
        else
            connect(b, &QToolButton::clicked, this, [this] {
                player_->Stop();
                recorder_->Stop();
            });
    }
    groupBox->addLayout(media);
    answer->addRow(group);

    auto* launchGroup = new QGroupBox("External program scheduling", p5);
    auto* launch = new QFormLayout(launchGroup);
    (new QVBoxLayout(p5))->addWidget(launchGroup);
    enableLaunch_ = check(launchGroup, "EnableLaunch", "Enable program scheduling");
    launch->addRow(enableLaunch_);
    const auto program = [&](const char* label, const char* name, const char* browse,
                             bool programs) {
        QLineEdit* edit = lineEdit(launchGroup, name, kProgramBytes);
        auto* b = toolButton(launchGroup, browse, "...", "Browse");
        connect(b, &QToolButton::clicked, this, [this, edit, programs] {
            const QString path = browseForFile(this, edit->text(), programs);
            if (path.isEmpty()) return;
            edit->setText(qs(cutText(ss(path), kProgramBytes)));
            edit->setModified(true);
        });
        auto* line = new QHBoxLayout;
        line->addWidget(edit);
        line->addWidget(b);
        launch->addRow(label, line);
        return edit;
    };
    onCallRun_ = program("On call run program", "OnCallRun", "BrOnCallRun", true);
    onCallParams_ = program("    program arguments", "OnCallParams", "BrOnCallParams", false);
    onClearRun_ = program("On call clear run program", "OnClearRun", "BrOnClearRun", true);
    onClearParams_ = program("   program arguments", "OnClearParams", "BrOnClearParams", false);
    lines_ = new QComboBox(launchGroup);
    lines_->setObjectName("MSNLines");
    lines_->addItem("No lines");
    for (int i = 1; i <= 10; ++i) lines_->addItem(QString("MSN %1").arg(i));
    lines_->addItem("All lines");
    services_ = new QComboBox(launchGroup);
    services_->setObjectName("Services");
    services_->addItems({"All call types", "Telephony", "Fax G2/G3", "64 Kb data call",
                         "56 Kb data call", "Fax G4"});
    launch->addRow("Lines", lines_);
    launch->addRow("Services", services_);

    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    box->addWidget(bar);
    box->addWidget(pages_, 1);
    connect(pages_, &QTabWidget::currentChanged, this, [this] {
        syncPrint();
        setCaption();
    });

    timer1_ = new QTimer(this);
    timer1_->setInterval(1000);
    connect(timer1_, &QTimer::timeout, this, [this] { Timer1Timer(); });

    std::string text;
    // No terminator within the field's 25 bytes and the one after: the key is longer than
    // the field, and a save would write a second, shortened key beside it.
    cutNumber_ = buffer_ && strnlen(buffer_, kNumberBytes + 1) > kNumberBytes;
    if (buffer_) text = cutText(std::string(buffer_, strnlen(buffer_, kNumberBytes)), kNumberBytes);
    number_->setText(qs(text));
    initialNumber_ = text;
    placeForm(*this, left, top, height, width);
    if (text == "Unknown" || text == "Unlisted") {
        for (QLineEdit* e : {number_, cellular_, email_}) e->setReadOnly(true);
        for (QToolButton* b : {lookup_, sms_, mail_}) b->setEnabled(false);
    }
    if (numberReadOnly || cutNumber_) number_->setReadOnly(true);
    fileKey_ = platform::fileKey(text);
}

TCallerDialog::~TCallerDialog() = default;

std::string TCallerDialog::numberText() const { return trimmed(number_->text()); }

std::string TCallerDialog::callerKey(const std::string& number) const {
    return std::string(orvelin::settings::kCallersKey) + "\\" + number;
}

void TCallerDialog::message(const char* text) {
    platform::messageBox(text, kCaption, platform::BoxButtons::Ok, platform::BoxIcon::Warning,
                         std::nullopt, this);
}

void TCallerDialog::syncPrint() {
    // Printing is offered on the History and Notes pages.
    print_->setEnabled(pages_->currentIndex() <= 1);
}

void TCallerDialog::stepPages(int steps) {
    // Stepping while loading is no page change of the user's: the caption stays.
    const QSignalBlocker quiet(pages_);
    pages_->setCurrentIndex((pages_->currentIndex() + steps) % pages_->count());
    syncPrint();
}

void TCallerDialog::LoadCaller(const unsigned char* ring, int count, int head, int startPage) {
    if (startPage >= 0) stepPages(startPage);
    actions_->setCurrentIndex(0);
    lines_->setCurrentIndex(11);
    services_->setCurrentIndex(0);
    if (numberText().empty() || !ring) {
        timer1_->start();
        return;
    }
    fillHistory(ring, count, head);
    loadNotes();
    if (!loadValues()) stepPages(2);
    setCaption();
    timer1_->start();
}

void TCallerDialog::fillHistory(const unsigned char* ring, int count, int head) {
    if (count <= 0 || head < 0 || head >= count) return;  // no walk past the ring
    const std::string match = numberText() == "Unknown" ? std::string() : numberText();
    const QLocale locale;
    for (int n = (head + 1) % count; n != head; n = (n + 1) % count) {
        const unsigned char* r = ring + std::size_t(n) * 583;
        if (le32(r) == 0 || fieldText(r, 44, 25) != match) continue;
        const QDateTime at =
            QDateTime::fromSecsSinceEpoch(qint64(le32(r + 20)) - qint64(kUnixFrom1901)).toLocalTime();
        QString time = locale.toString(at.date(), QLocale::ShortFormat);
        if (at.time() != QTime(0, 0)) time += " " + locale.toString(at.time(), QLocale::LongFormat);
        auto* item = new QTreeWidgetItem({time, qs(fieldText(r, 119, 25)), qs(fieldText(r, 194, 129))});
        const std::uint32_t state = le32(r + 28);
        const int kind = callType(unsigned(r[36] | r[37] << 8));
        item->setData(0, Qt::UserRole, int(state));
        item->setData(0, Qt::UserRole + 1, kind);
        item->setIcon(0, historyIcon(state, kind));
        history_->insertTopLevelItem(0, item);
    }
    if (history_->topLevelItemCount() > 0) {
        history_->resizeColumnToContents(0);
        history_->resizeColumnToContents(1);
    }
}

void TCallerDialog::loadNotes() {
    const std::string notes = platform::joinPath(programDirectory_, "Notes",
                                                 platform::fileKey(numberText()) + ".rtf");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(notes, ec) ||
        std::filesystem::file_size(notes, ec) > kMaxNotesBytes)
        return;
    std::ifstream in(notes, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    loadNoteDocument(*note_->document(), bytes);
}

bool TCallerDialog::loadValues() {
    platform::RegNode root;
    const bool loaded = platform::Hive::atDefaultPath().load(root).ok();
    const platform::RegNode* product = loaded ? root.subkey(orvelin::settings::kProductKey) : nullptr;
    const std::uint32_t infoMask = product ? product->readDword("Info Mask", 1) : 1;
    sms_->setEnabled((infoMask & 0x18) == 0x18);
    const platform::RegNode* key = loaded ? root.subkey(callerKey(numberText())) : nullptr;
    if (!key || !safeKey(numberText())) return false;
    const auto text = [key](const char* name, std::size_t bytes) {
        return qs(cutText(key->string(name).value_or(""), bytes));
    };
    name_->setText(text("Name", kNameBytes));
    cellular_->setText(text("Cellular", kNumberBytes));
    loadedCellular_ = trimmed(cellular_->text());
    email_->setText(text("EMail", kEmailBytes));
    onCallRun_->setText(text("LaunchAtCall", kProgramBytes));
    onCallParams_->setText(text("AtCallParam", kProgramBytes));
    onClearRun_->setText(text("LaunchAtClear", kProgramBytes));
    onClearParams_->setText(text("AtClearParam", kProgramBytes));
    const std::uint32_t reject = key->readDword("Reject", 0);
    rejectFax_->setChecked(reject & 0x80000000u);
    from_->setTime(hhmm(reject & 0xFFFF));
    to_->setTime(hhmm((reject >> 16) & 0xFFF));
    const int mode = int((reject >> 28) & 7);
    actions_->setCurrentIndex(mode <= 5 ? mode : -1);
    if (const platform::RegValue* v = key->value("Launch"); v && !v->data.empty())
        enableLaunch_->setChecked(v->data[0] != 0);
    const platform::RegValue* line = key->value("LaunchLine");
    const int lineByte = line && line->data.size() == 1 ? line->data[0] : 0;
    lines_->setCurrentIndex(11);
    for (int i = 0; i < 9; ++i)
        if (kLineBits[i] == lineByte) lines_->setCurrentIndex(i);
    const std::uint32_t cip = key->readDword("LaunchCIP", 0xFFFFFFFFu);
    services_->setCurrentIndex(0);
    for (int i = 0; i < 6; ++i)
        if (kServiceCips[i] == cip) services_->setCurrentIndex(i);
    if (const platform::RegValue* v = key->value("PersonalMsg"))
        personalVoice_->setChecked(v->data.size() == 1 ? v->data[0] != 0
                                                       : key->readDword("PersonalMsg", 0) != 0);
    if (key->value("RejectMsg")) rejectMessage_->setChecked(key->readDword("RejectMsg", 0) != 0);
    if (personalVoice_->isChecked()) openGreeting();
    return true;
}

std::string TCallerDialog::defaultGreeting(const std::string& fileKey) const {
    return platform::joinPath(programDirectory_, "Answer", fileKey + ".wav");
}

void TCallerDialog::followNumber(const std::string& number) {
    const std::string key = platform::fileKey(number);
    if (key == fileKey_) return;
    // The program plays a caller's greeting from the file named by the number it answers.
    fileKey_ = key;
    playerFile_ = defaultGreeting(fileKey_);
}

bool TCallerDialog::adoptExistingCaller() {
    const std::string number = numberText();
    if (!initialNumber_.empty() || number.empty() || !safeKey(number) ||
        sameKeyName(number, adopted_))
        return false;
    platform::RegNode root;
    if (!platform::Hive::atDefaultPath().load(root).ok() || !root.subkey(callerKey(number)))
        return false;
    // A new caller typed with the number of a known one edits that caller: its values are
    // shown, and what was typed so far stays.
    adopted_ = number;
    QLineEdit* const edits[] = {name_, cellular_, email_, onCallRun_, onCallParams_,
                                onClearRun_, onClearParams_};
    std::vector<std::pair<QLineEdit*, QString>> typed;
    for (QLineEdit* e : edits)
        if (e->isModified()) typed.emplace_back(e, e->text());
    loadValues();
    for (const auto& [edit, text] : typed) {
        edit->setText(text);
        edit->setModified(true);
    }
    if (!note_->document()->isModified()) loadNotes();
    setCaption();
    return true;
}

void TCallerDialog::CallerNumberExit() {
    if (closing_) return;
    const std::string number = numberText();
    if (number.empty()) {
        message(kEmpty);
        return;
    }
    followNumber(number);
    if (adoptExistingCaller()) message(kExisting);
}

void TCallerDialog::setCaption() {
    QString caption = pages_->tabText(pages_->currentIndex()) + " for " + number_->text();
    if (!name_->text().trimmed().isEmpty()) caption += " " + name_->text().trimmed();
    setWindowTitle(caption);
}

void TCallerDialog::openGreeting() {
    std::string personal;
    platform::RegNode root;
    if (platform::Hive::atDefaultPath().load(root).ok())
        if (const platform::RegNode* key = root.subkey(callerKey(numberText())))
            personal = key->string("PersonalWav", kProgramBytes).value_or("");
    const std::string fallback = defaultGreeting(fileKey_);
    playerFile_ = personal.empty() ? fallback : personal;
    playerOpen_ = true;
    if (orvelin::media::ReadWaveSound(playerFile_)) return;
    // A beep stands in only where there is no greeting at all: a file that exists is never
    // replaced.
    std::error_code ec;
    if (!std::filesystem::exists(fallback, ec))
        std::filesystem::copy_file(platform::joinPath(programDirectory_, "Answer", "Ding.wav"),
                                   fallback, ec);
    if (!orvelin::media::ReadWaveSound(playerFile_)) {
        playerFile_.clear();
        playerOpen_ = false;
    }
}

void TCallerDialog::PersonalVoiceClick() {
    if (personalVoice_->isChecked()) {
        openGreeting();
    } else {
        player_->Stop();
        playerOpen_ = false;
    }
}

void TCallerDialog::recordClick() {
    player_->Stop();
    recorder_->Stop();
    if (!orvelin::media::ReadWaveSound(platform::joinPath(programDirectory_, "Answer", "Ding.wav"))) {
        message(kMediaError);
        return;
    }
    if (playerFile_.empty()) playerFile_ = defaultGreeting(fileKey_);
    if (recorder_->Start() != 0) {
        message(kMediaError);
        return;
    }
    playerOpen_ = true;
    recorded_ = true;
}

bool TCallerDialog::refuse(const std::string& text, QLineEdit* field) {
    if (text.empty() || safeKey(text)) return false;
    pages_->setCurrentWidget(findChild<QWidget*>("Page3"));
    field->setFocus();
    message(kUnsafe);
    return true;
}

void TCallerDialog::OKClick() {
    const std::string number = numberText();
    if (number.empty()) {
        pages_->setCurrentWidget(findChild<QWidget*>("Page3"));
        number_->setFocus();
        message(kEmpty);
        return;
    }
    if (cutNumber_) {
        message(kTooLong);
        return;
    }
    if (refuse(number, number_) || refuse(trimmed(cellular_->text()), cellular_)) return;
    if (adoptExistingCaller()) {
        message(kExisting);
        return;
    }
    timer1_->stop();
    if (!SaveCaller()) {
        message(kSaveFailed);
        done(2);
        return;
    }
    done(QDialog::Accepted);
}

void TCallerDialog::CancelClick() {
    note_->document()->setModified(false);
    timer1_->stop();
    done(2);
}

bool TCallerDialog::SaveCaller() {
    const std::string number = numberText();
    if (number.empty()) return false;
    if (buffer_ && !number_->isReadOnly()) {
        const std::string out = cutText(number, kNumberBytes);
        std::memcpy(buffer_, out.c_str(), out.size() + 1);
    }
    const bool changed = number != initialNumber_;
    // Saved without leaving the number field: the greeting still follows the number.
    followNumber(number);
    recorder_->Stop();
    if (!playerFile_.empty() && personalVoice_->isChecked() && recorded_) {
        const GreetingRecorder::SaveResult saved = recorder_->Save(playerFile_);
        if (saved == GreetingRecorder::SaveResult::NothingRecorded) message(kNothingRecorded);
        if (saved == GreetingRecorder::SaveResult::Failed) message(kMediaError);
    }
    // Only the letter case changed: the hive holds one key for both spellings.
    const bool respelled = changed && !initialNumber_.empty() && sameKeyName(number, initialNumber_);

    bool writeAll = false;
    const std::string cellular = trimmed(cellular_->text());
    const platform::RegResult r =
        platform::Hive::atDefaultPath().update([&](platform::RegNode& root) -> platform::RegResult {
            writeAll = !root.subkey(callerKey(number)) || changed;
            if (respelled) respellKey(root, std::string(orvelin::settings::kCallersKey), initialNumber_, number);
            platform::RegNode* key = root.createSubkey(callerKey(number));
            if (!key) return {platform::RegStatus::InvalidName, callerKey(number)};
            const std::pair<const char*, QLineEdit*> texts[] = {
                {"Name", name_},           {"Cellular", cellular_},       {"EMail", email_},
                {"LaunchAtCall", onCallRun_}, {"AtCallParam", onCallParams_},
                {"LaunchAtClear", onClearRun_}, {"AtClearParam", onClearParams_}};
            for (const auto& [value, edit] : texts)
                if (writeAll || edit->isModified()) key->setString(value, ss(edit->text()));
            key->setDword("PersonalMsg", personalVoice_->isChecked() ? 1 : 0);
            key->setDword("RejectMsg", rejectMessage_->isChecked() ? 1 : 0);
            const int action = actions_->currentIndex();
            const std::uint32_t mode = action < 0 ? 7u : std::uint32_t(action);
            const QTime from = from_->time(), to = to_->time();
            key->setDword("Reject", ((mode << 28) & 0x7FFFFFFFu) |
                                        (rejectFax_->isChecked() ? 0x80000000u : 0u) |
                                        std::uint32_t(from.hour() * 100 + from.minute()) |
                                        std::uint32_t(to.hour() * 100 + to.minute()) << 16);
            key->setBinary("Launch", std::vector<std::uint8_t>{std::uint8_t(enableLaunch_->isChecked())});
            const int line = lines_->currentIndex();
            key->setBinary("LaunchLine", std::vector<std::uint8_t>{
                                             std::uint8_t(line >= 0 && line <= 8 ? kLineBits[line] : 255)});
            const int service = services_->currentIndex();
            key->setDword("LaunchCIP", service >= 0 ? kServiceCips[service] : 0xFFFFFFFFu);
            // The old key goes only once the new one is written.
            if (changed && !respelled && !initialNumber_.empty() && safeKey(initialNumber_))
                root.deleteSubkey(callerKey(initialNumber_));
            if (writeAll || cellular_->isModified()) {
                if (!loadedCellular_.empty() && safeKey(loadedCellular_)) {
                    // A link may share its key with a caller: only the link goes.
                    if (platform::RegNode* link = root.subkey(callerKey(loadedCellular_))) {
                        link->deleteValue("Link");
                        if (link->valueNames().empty() && !link->hasSubkeys())
                            root.deleteSubkey(callerKey(loadedCellular_));
                    }
                }
                if (!cellular.empty())
                    if (platform::RegNode* link = root.createSubkey(callerKey(cellular)))
                        link->setString("Link", number);
            }
            return {};
        });
    if (!r.ok()) {
        std::fprintf(stderr, "settings library: %s\n", r.message.c_str());
        return false;
    }
    if (writeAll || note_->document()->isModified()) {
        const std::string dir = platform::joinPath(programDirectory_, "Notes");
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        QSaveFile file(qs(platform::joinPath(dir, platform::fileKey(number) + ".rtf")));
        if (file.open(QIODevice::WriteOnly)) {
            const std::string rtf = noteDocumentRtf(*note_->document());
            file.write(rtf.data(), qint64(rtf.size()));
            file.commit();
        }
    }
    return true;
}

void TCallerDialog::SpeedButton2Click() {
    QApplication::clipboard()->setText(number_->text());
    platform::RegNode root;
    if (!platform::Hive::atDefaultPath().load(root).ok()) return;
    const platform::RegNode* product = root.subkey(orvelin::settings::kProductKey);
    if (!product) return;
    const std::string title = product->string("LookupWindow", kProgramBytes).value_or("");
    const std::string app = product->string("LookupApp", kProgramBytes).value_or("");
    // The number goes into the first "%s" inside one word, never splitting the command.
    const platform::Placeholder number[] = {{"%s", ss(number_->text())}};
    const std::vector<std::string> words = platform::substitutePlaceholders(
        platform::splitCommandLine(app), number, platform::Occurrences::First);
    if (!title.empty() && platform::raiseTopLevelWindow(title)) return;
    if (words.empty()) return;
    start(words);
}

void TCallerDialog::SpeedButton4Click() {
    const std::string address = trimmed(email_->text());
    if (address.empty()) return;
    // The desktop's handler of mail addresses opens a new message.
    start({"xdg-open", "mailto:" + address});
}

void TCallerDialog::start(const std::vector<std::string>& argv) {
    // Nothing of this library may watch the program: the library is unloaded when the
    // form closes.
    const std::string error = platform::spawnDetachedProgram(argv);
    if (!error.empty()) std::fprintf(stderr, "settings library: %s\n", error.c_str());
}

void TCallerDialog::BtnPrintClick() {
    // The client area as it is shown, printed at the size it has on the screen.
    const QPixmap image = grab();
    QPrinter printer(QPrinter::HighResolution);
    const QString file = qEnvironmentVariable("ORVELIN_PRINT_FILE");
    if (!file.isEmpty()) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(file);
    } else if (QPrinterInfo::defaultPrinter().isNull()) {
        message(kNoPrinter);
        return;
    }
    QPainter painter;
    if (!painter.begin(&printer)) {
        message(kPrintFailed);
        return;
    }
    painter.scale(double(printer.logicalDpiX()) / logicalDpiX(),
                  double(printer.logicalDpiY()) / logicalDpiY());
    painter.drawPixmap(0, 0, image);
    if (!painter.end()) message(kPrintFailed);
}

void TCallerDialog::SpeedButton3Click() {
    if (cellular_->text().isEmpty()) return;
    // The running program's client window, reached through the function it exports.
    using SendFn = int (*)(unsigned, const char*);
    auto send = reinterpret_cast<SendFn>(dlsym(RTLD_DEFAULT, "orvelin_send_settings_changed_v1"));
    if (!send) {
        message(kInternal);
        return;
    }
    timer1_->stop();
    hide();
    const std::string text = ss(cellular_->text());
    const int rc = send(0x2020, text.c_str());
    show();
    raise();
    timer1_->start();
    if (rc < 0) message(kInternal);
}

void TCallerDialog::Timer1Timer() {
    if (QApplication::activeModalWidget() != this || QApplication::activePopupWidget()) return;
    activateWindow();
}

void TCallerDialog::done(int result) {
    if (!closing_) {
        closing_ = true;
        timer1_->stop();
        player_->Stop();
        recorder_->Stop();
    }
    QDialog::done(result == QDialog::Accepted ? result : 2);
}

}  // namespace tessaly
