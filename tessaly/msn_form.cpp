#include "tessaly/msn_form.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdio>
#include <filesystem>

#include "media/alsa_player.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "tessaly/greeting_recorder.h"
#include "tessaly/placement.h"

namespace tessaly {

// The grid, with a way to take over what an open cell editor holds.
class MsnGrid : public QTableWidget {
  public:
    using QTableWidget::QTableWidget;
    bool editing() const { return state() == EditingState; }
    void commitEditor() {
        if (state() != EditingState) return;
        if (QWidget* editor = indexWidget(currentIndex())) {
            commitData(editor);
            closeEditor(editor, QAbstractItemDelegate::NoHint);
        }
    }
};

namespace {

constexpr const char* kCaption = "Orvelin";
constexpr const char* kMediaError = "Internal error: Media Player";
constexpr const char* kRestart = "Orvelin must be restarted for the changes to take effect.";
constexpr const char* kSaveFailed = "An error occured while trying to save your settings.";
constexpr const char* kNothingRecorded = "Nothing was recorded; the greeting was not changed.";
constexpr const char* kControllerLabels[8] = {"Listen to:", " -everything", " -telephony",
                                              " -data",     " -fax",        "Info mask:",
                                              "-general",   "-extended"};
constexpr const char* kMsnLabels[8] = {"MSN number",         "Display text",
                                       "Popup on call",      "Log incoming calls",
                                       "Answer incoming calls", "Handle incoming fax",
                                       "Answering delay",    "Max recording time"};
enum MsnRow { Number, Name, Popup, Log, Answer, Fax, Delay, MaxTime };

QString hex(std::uint32_t v) { return "0x" + QString::number(v, 16).toUpper().rightJustified(4, '0'); }
QString yesNo(bool b) { return b ? TMSNform::kYes : TMSNform::kNo; }
bool isFlagRow(int row) { return row >= Popup && row <= Fax; }

// Edits hold no more than the program reads: bytes of text, digits of seconds.
class CellDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        auto* edit = qobject_cast<QLineEdit*>(QStyledItemDelegate::createEditor(parent, option, index));
        if (!edit) return nullptr;
        const int row = index.row();
        if (row == Delay || row == MaxTime) {
            const int digits = row == Delay ? kDelayDigits : kMaxTimeDigits;
            edit->setValidator(new QRegularExpressionValidator(
                QRegularExpression(QString("[0-9]{0,%1}").arg(digits)), edit));
        } else {
            const std::size_t bytes = row == Number ? kMsnNumberBytes : kMsnNameBytes;
            QObject::connect(edit, &QLineEdit::textEdited, edit, [edit, bytes](const QString& t) {
                const QString cut = QString::fromStdString(cutText(t.toStdString(), bytes));
                if (cut != t) edit->setText(cut);
            });
        }
        return edit;
    }
};

std::string withSlash(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

}  // namespace

TMSNform::TMSNform(const std::string& programDirectory, int controllers, bool faxCapable,
                   int left, int top, int height, int width, QWidget* owner)
    : QDialog(owner),
      programDirectory_(withSlash(programDirectory)),
      faxCapable_(faxCapable),
      player_(std::make_unique<orvelin::media::AlsaPlayer>()),
      recorder_(std::make_unique<GreetingRecorder>()) {
    setWindowTitle("MSN settings");
    setModal(true);
    useToolWindowFrame(*this);
    setSizeGripEnabled(true);
    placeForm(*this, left, top, height, width);

    auto* bar = new QToolBar(this);
    const auto tool = [&](const char* name, const char* hint, auto handler) {
        auto* b = new QToolButton(bar);
        b->setObjectName(name);
        b->setText(name);
        b->setToolTip(hint);
        b->setStatusTip(hint);
        b->setFocusPolicy(Qt::NoFocus);
        connect(b, &QToolButton::clicked, this, handler);
        bar->addWidget(b);
        return b;
    };
    tool("Ignore", "Ignore & Close", [this] { IgnoreClick(); });
    tool("Save", "Save & Close", [this] { SaveClick(); });
    bar->addSeparator();
    constexpr const char* kPlayerHint = "Play - Stop - Back - Record";
    tool("Play", kPlayerHint, [this] { playClick(); });
    tool("Stop", kPlayerHint, [this] { stopClick(); });
    tool("Back", kPlayerHint, [this] { backClick(); });
    tool("Record", kPlayerHint, [this] { recordClick(); });

    auto* split = new QSplitter(this);
    tree_ = new QTreeWidget(split);
    tree_->setObjectName("TreeView1");
    tree_->setHeaderHidden(true);
    grid_ = new MsnGrid(8, 2, split);
    grid_->setObjectName("StringGrid1");
    grid_->horizontalHeader()->hide();
    grid_->verticalHeader()->hide();
    grid_->setColumnWidth(0, 164);
    grid_->setColumnWidth(1, 164);
    grid_->verticalHeader()->setDefaultSectionSize(18);
    grid_->setSelectionMode(QAbstractItemView::SingleSelection);
    grid_->setEditTriggers(QAbstractItemView::AnyKeyPressed | QAbstractItemView::EditKeyPressed);
    grid_->setItemDelegate(new CellDelegate(grid_));
    grid_->installEventFilter(this);
    for (int row = 0; row < 8; ++row) {
        auto* label = new QTableWidgetItem(kMsnLabels[row]);
        label->setFlags(Qt::ItemIsEnabled);
        grid_->setItem(row, 0, label);
        auto* value = new QTableWidgetItem();
        value->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        grid_->setItem(row, 1, value);
    }
    split->setStretchFactor(1, 1);
    status_ = new QStatusBar(this);
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(0);
    box->addWidget(bar);
    box->addWidget(split, 1);
    box->addWidget(status_);

    platform::RegNode root;
    const bool loaded = platform::Hive::atDefaultPath().load(root).ok();
    settings_ = loadMsnSettings(loaded ? &root : nullptr, controllers, faxCapable_);
    const int count = int(settings_.nodes.size()) / kMsnsPerController;
    for (int c = 0; c < count; ++c) {
        auto* controller = new QTreeWidgetItem(tree_, {QString("Controller %1").arg(c + 1)});
        controller->setData(0, Qt::UserRole, -1);
        for (int k = 0; k < kMsnsPerController; ++k) {
            auto* msn = new QTreeWidgetItem(controller, {QString("MSN%1").arg(k + 1)});
            msn->setData(0, Qt::UserRole, c * kMsnsPerController + k);
        }
    }
    if (tree_->topLevelItemCount() > 0) tree_->topLevelItem(0)->setExpanded(true);
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* now) {
        TreeView1Changing();
        TreeView1Change(now);
    });
    connect(grid_, &QTableWidget::cellClicked, this, [this](int r, int c) { StringGrid1Click(r, c); });
    connect(grid_, &QTableWidget::cellDoubleClicked, this,
            [this](int r, int c) { StringGrid1DblClick(r, c); });

    timer1_ = new QTimer(this);
    timer1_->setInterval(1000);
    connect(timer1_, &QTimer::timeout, this, [this] { Timer1Timer(); });
    timer1_->start();
}

TMSNform::~TMSNform() = default;

MsnNode* TMSNform::currentNode() {
    return current_ < 0 ? nullptr : &settings_.nodes[std::size_t(current_)];
}

std::string TMSNform::greetingPath(const MsnNode* node) const {
    const std::string k = node ? std::to_string(node->msn) : "";
    return programDirectory_ + "Answer/Welcome" + k + ".wav";
}

bool TMSNform::openPlayerFile(const std::string& path) {
    playerFile_ = orvelin::media::ReadWaveSound(path) ? path : std::string();
    return !playerFile_.empty();
}

void TMSNform::TreeView1Change(QTreeWidgetItem* node) {
    if (!node) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const int index = node->data(0, Qt::UserRole).toInt();
    current_ = index;
    const MsnNode* n = currentNode();
    if (n) {
        QTreeWidgetItem* controller = node->parent();
        setWindowTitle(QString("MSN settings. Controller %1 MSN%2")
                           .arg(tree_->indexOfTopLevelItem(controller) + 1)
                           .arg(controller->indexOfChild(node) + 1));
    } else {
        setWindowTitle("Controller settings.");
    }
    const std::string greeting = greetingPath(n);
    if (!recordingPending_) {
        const std::string ding = programDirectory_ + "Answer/Ding.wav";
        openPlayerFile(std::filesystem::exists(greeting) ? greeting : ding);
    }
    for (int row = 0; row < 8; ++row) {
        grid_->item(row, 0)->setText(n ? kMsnLabels[row] : kControllerLabels[row]);
        QTableWidgetItem* cell = grid_->item(row, 1);
        const bool text = n && !isFlagRow(row);
        cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable |
                       (text ? Qt::ItemIsEditable : Qt::NoItemFlags));
    }
    if (n) {
        const QString values[8] = {QString::fromStdString(n->number), QString::fromStdString(n->name),
                                   yesNo(n->popup), yesNo(n->log), yesNo(n->answer), yesNo(n->fax),
                                   QString::fromStdString(n->delay),
                                   QString::fromStdString(n->maxTime)};
        for (int row = 0; row < 8; ++row) grid_->item(row, 1)->setText(values[row]);
    } else {
        showControllerMasks();
    }
    QApplication::restoreOverrideCursor();
}

void TMSNform::showControllerMasks() {
    const std::uint32_t cip = settings_.cipMask, info = settings_.infoMask;
    const QString values[8] = {hex(cip), yesNo(cip & 1), yesNo(cip & 0x10012), yesNo(cip & 0x104),
                               yesNo(cip & 0x20010), hex(info), yesNo(info & 1), yesNo(info & 0x18)};
    for (int row = 0; row < 8; ++row) grid_->item(row, 1)->setText(values[row]);
}

void TMSNform::recomputeMasks() {
    const auto yes = [this](int row) { return grid_->item(row, 1)->text() == kYes; };
    settings_.cipMask = (yes(1) ? 1u : 0u) | (yes(2) ? 0x10012u : 0u) | (yes(3) ? 0x104u : 0u) |
                        (yes(4) ? 0x20010u : 0u);
    settings_.infoMask = (yes(6) ? 1u : 0u) | (yes(7) ? 0x18u : 0u);
    grid_->item(0, 1)->setText(hex(settings_.cipMask));
    grid_->item(5, 1)->setText(hex(settings_.infoMask));
}

void TMSNform::toggle(int row) {
    QTableWidgetItem* cell = grid_->item(row, 1);
    cell->setText(cell->text() == kYes ? kNo : kYes);
}

void TMSNform::afterEdit(int row) {
    const auto set = [this](int r, const char* v) { grid_->item(r, 1)->setText(v); };
    const bool yes = grid_->item(row, 1)->text() == kYes;
    if (row == Answer && yes) set(Fax, kNo);
    if (row == Fax && yes) set(Answer, kNo);
    if (row == Fax && !faxCapable_) set(Fax, kNo);
}

void TMSNform::StringGrid1Click(int row, int column) {
    if (column == 0 || row < 0 || row >= 8) {
        grid_->commitEditor();
        return;
    }
    if (!currentNode()) {
        if (!tree_->currentItem() || row == 0 || row == 5) return;
        toggle(row);
        changed_ = true;
        const bool yes = grid_->item(row, 1)->text() == kYes;
        if (row == 1 && yes)
            for (int r : {2, 3, 4}) grid_->item(r, 1)->setText(kNo);
        if (row >= 2 && row <= 4 && yes) grid_->item(1, 1)->setText(kNo);
        recomputeMasks();
        return;
    }
    if (isFlagRow(row)) {
        grid_->commitEditor();
        toggle(row);
    } else {
        grid_->editItem(grid_->item(row, 1));
    }
    afterEdit(row);
}

void TMSNform::StringGrid1DblClick(int row, int column) {
    if (column == 0 || row < 0 || row >= 8) return;
    if (!currentNode()) {
        StringGrid1Click(row, column);
    } else if (isFlagRow(row)) {
        toggle(row);
        afterEdit(row);
    }
}

bool TMSNform::StringGrid1KeyPress(int row, int column) {
    // True when the key is taken here; text rows let the grid's editor have it.
    if (column != 1 || row < 0 || (currentNode() && !isFlagRow(row))) return false;
    StringGrid1Click(row, column);
    return true;
}

bool TMSNform::eventFilter(QObject* watched, QEvent* e) {
    if (watched == grid_ && e->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(e);
        const bool acts = !key->text().isEmpty() && key->text()[0].isPrint();
        if (acts && !grid_->editing())
            return StringGrid1KeyPress(grid_->currentRow(), grid_->currentColumn());
    }
    return QDialog::eventFilter(watched, e);
}

void TMSNform::TreeView1Changing() {
    grid_->commitEditor();
    if (MsnNode* n = currentNode()) {
        const auto text = [this](int row) { return grid_->item(row, 1)->text().toStdString(); };
        MsnNode edited = *n;
        edited.number = cutText(text(Number), kMsnNumberBytes);
        edited.name = cutText(text(Name), kMsnNameBytes);
        edited.popup = text(Popup) == kYes;
        edited.log = text(Log) == kYes;
        edited.answer = text(Answer) == kYes;
        edited.fax = faxCapable_ && text(Fax) == kYes;
        edited.delay = text(Delay).substr(0, kDelayDigits);
        edited.maxTime = text(MaxTime).substr(0, kMaxTimeDigits);
        if (!(edited == *n)) changed_ = true;
        *n = std::move(edited);
    }
    // A recording is kept whichever node it was made on.
    savePendingRecording();
}

bool TMSNform::savePendingRecording() {
    if (!recordingPending_) return true;
    recordingPending_ = false;
    recorder_->Stop();
    switch (recorder_->Save(playerFile_)) {
        case GreetingRecorder::SaveResult::Saved:
            return true;
        case GreetingRecorder::SaveResult::NothingRecorded:
            error(kNothingRecorded);
            return true;
        case GreetingRecorder::SaveResult::Failed:
            break;
    }
    std::fprintf(stderr, "settings library: the greeting %s could not be written\n",
                 playerFile_.c_str());
    error(kMediaError);
    return false;
}

void TMSNform::error(const char* text) {
    platform::messageBox(text, kCaption, platform::BoxButtons::Ok, platform::BoxIcon::Error,
                         std::nullopt, this);
}

void TMSNform::playClick() {
    if (recorder_->Recording() || playerFile_.empty()) return;
    player_->PlayFile(playerFile_);
}

void TMSNform::stopClick() {
    player_->Stop();
    recorder_->Stop();
}

void TMSNform::backClick() {
    // Back to the start: a greeting that plays starts over.
    recorder_->Stop();
    if (player_->Playing() && !playerFile_.empty()) player_->PlayFile(playerFile_);
}

void TMSNform::recordClick() {
    player_->Stop();
    recorder_->Stop();
    if (!orvelin::media::ReadWaveSound(programDirectory_ + "Answer/Ding.wav")) {
        error(kMediaError);
        return;
    }
    playerFile_ = greetingPath(currentNode());
    if (recorder_->Start() != 0) {
        error(kMediaError);
        return;
    }
    recordingPending_ = true;
}

void TMSNform::IgnoreClick() {
    ignoring_ = true;
    changed_ = false;
    recordingPending_ = false;
    close();
}

void TMSNform::SaveClick() { close(); }

void TMSNform::done(int result) {
    if (!closing_) {
        closing_ = true;
        timer1_->stop();
        player_->Stop();
        recorder_->Stop();
        if (!ignoring_) {
            TreeView1Changing();  // edits of the node shown count on every close
            FormCloseQuery();
        }
        result = changed_ ? QDialog::Accepted : 2;
    }
    QDialog::done(result);
}

void TMSNform::FormCloseQuery() {
    if (!changed_) return;
    if (!SaveSettings()) {
        changed_ = false;  // nothing was saved
        error(kSaveFailed);
        return;
    }
    if (settings_.cipMask != settings_.cipMaskLoaded || settings_.infoMask != settings_.infoMaskLoaded)
        platform::messageBox(kRestart, kCaption, platform::BoxButtons::Ok,
                             platform::BoxIcon::Information, std::nullopt, this);
}

bool TMSNform::SaveSettings() {
    const platform::RegResult r =
        platform::Hive::atDefaultPath().update([&](platform::RegNode& root) -> platform::RegResult {
            saveMsnSettings(settings_, faxCapable_, root);
            return {};
        });
    if (!r.ok()) std::fprintf(stderr, "settings library: %s\n", r.message.c_str());
    return r.ok();
}

void TMSNform::Timer1Timer() {
    if (QApplication::activeModalWidget() != this || QApplication::activePopupWidget()) return;
    activateWindow();
}

}  // namespace tessaly
