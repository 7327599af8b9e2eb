#include "settings/callers_dialog.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTreeWidget>
#include <unordered_map>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <unordered_set>

#include "platform/library.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "settings/caller_lookup.h"
#include "settings/settings_store.h"

namespace orvelin::settings {

namespace {

constexpr const char* kUnreadableName = "????????";
constexpr const char* kNotStringName = "!!!!!!!!";
constexpr std::uint32_t kModeMask = 0x70000000u;
constexpr int kModeImages = 6;
constexpr QSize kImageSize(16, 14);
// Sort texts are compared on their first 63 characters.
constexpr int kSortTextChars = 63;

// The dialog template's layout in pixels (8-point dialog units scaled 3/2 across,
// 13/8 down): four 40 x 14 buttons in a row at the top.
constexpr int kButtonWidth = 60, kButtonHeight = 23, kButtonStep = 66, kButtonLeft = 6;
constexpr int kListTop = 22;
constexpr QSize kDefaultSize(590, 328);

std::string hhmmText(std::uint32_t hhmm) {
    char text[24];
    std::snprintf(text, sizeof text, "%02u:%02u", hhmm / 100, hhmm % 100);
    return text;
}

bool isPeriodMode(std::uint32_t mode) {
    return mode == static_cast<std::uint32_t>(CallerMode::RejectInPeriod) ||
           mode == static_cast<std::uint32_t>(CallerMode::AnswerInPeriod);
}

bool sameKeyName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

bool isPseudoCaller(std::string_view key) {
    return sameKeyName(key, kUnknownKey) || sameKeyName(key, kUnlistedKey) ||
           sameKeyName(key, kRestrictedKey);
}

std::string keyNameOf(const QTreeWidgetItem* item) {
    return item->data(0, TCallerDlg::kKeyNameRole).toString().toStdString();
}

std::string callersPath(std::string_view number) {
    return std::string(kCallersKey) + "\\" + std::string(number);
}

// The mode pictures: a coloured disc per mode, so the handling can be told at a glance.
QPixmap modeImage(int mode) {
    static const QColor colours[kModeImages] = {
        Qt::lightGray, QColor(230, 140, 0), Qt::red, QColor(0, 150, 220), Qt::darkGreen, Qt::black};
    QPixmap pixmap(kImageSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colours[mode]);
    painter.drawEllipse(QRectF(2, 1, 12, 12));
    if (isPeriodMode(static_cast<std::uint32_t>(mode))) {  // a clock hand for "in time period"
        painter.setPen(QPen(Qt::white, 1.5));
        painter.drawLine(QPointF(8, 7), QPointF(8, 3));
        painter.drawLine(QPointF(8, 7), QPointF(11, 7));
    }
    return pixmap;
}

QPixmap greetingImage(bool personal) {
    QPixmap pixmap(kImageSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(QPen(personal ? Qt::darkBlue : Qt::gray, 1));
    painter.setBrush(personal ? QColor(255, 230, 120) : QColor(Qt::white));
    painter.drawRoundedRect(QRectF(1.5, 1.5, 13, 9), 2, 2);
    if (personal) painter.drawLine(QPointF(4, 6), QPointF(12, 6));
    return pixmap;
}

// Restores a flag on every way out of a scope.
class FlagRestore {
  public:
    explicit FlagRestore(bool* flag) : flag_(flag), previous_(flag && *flag) {}
    ~FlagRestore() {
        if (flag_) *flag_ = previous_;
    }
    FlagRestore(const FlagRestore&) = delete;
    FlagRestore& operator=(const FlagRestore&) = delete;

  private:
    bool* flag_;
    bool previous_;
};

}  // namespace

std::pair<std::string, std::string> callerTimeTexts(std::uint32_t reject, TimeTextRule rule) {
    std::uint32_t start = reject & 0xFFFFu;
    std::uint32_t end = (reject >> 16) & 0x0FFFu;
    const std::uint32_t mode = (reject >> 28) & 0x7u;
    bool shown = isPeriodMode(mode);
    switch (rule) {
        case TimeTextRule::SetUp:
            if (start > 2400) start = 0;
            if (end > 2400) end = 0;
            shown = shown || (start != 0 && end != 0);
            break;
        case TimeTextRule::Form:
            shown = shown || (reject & 0x0FFFFFFFu) != 0;
            break;
        case TimeTextRule::ModeStep:
            break;
    }
    if (!shown) return {};
    return {hhmmText(start), hhmmText(end)};
}

std::uint32_t nextCallerMode(std::uint32_t mode) {
    const std::uint32_t next = (mode + 1) % 8;
    return next == 6 ? 0 : next;
}

CallerRow readCallerRow(const platform::RegNode& key, std::string_view number, TimeTextRule rule) {
    CallerRow row;
    row.number = std::string(number);
    const platform::RegValue* name = key.value("Name");
    if (!name) {
        row.name = kUnreadableName;
    } else if (name->type != platform::RegType::String &&
               name->type != platform::RegType::ExpandString) {
        row.name = kNotStringName;
    } else {
        const auto text = key.string("Name");
        row.name = text ? callerNameText(*text) : kUnreadableName;
    }
    const std::uint32_t reject = key.readDword("Reject", 0);
    row.mode = (reject >> 28) & 0x7u;
    std::tie(row.rejectText, row.acceptText) = callerTimeTexts(reject, rule);
    row.personal = callerNumberValue(key, "PersonalMsg").value_or(0) != 0;
    return row;
}

TCallerDlg::TCallerDlg(QWidget* parent, CallerListContext context)
    : QDialog(parent), context_(std::move(context)) {
    setWindowTitle("Caller list");
    setModal(true);
    setSizeGripEnabled(true);
    QFont small = font();  // the dialog's 8-point text
    small.setPointSize(8);
    setFont(small);
    resize(kDefaultSize);

    const auto button = [this](const char* text, int index) {
        auto* b = new QPushButton(text, this);
        b->setGeometry(kButtonLeft + index * kButtonStep, 0, kButtonWidth, kButtonHeight);
        return b;
    };
    okButton_ = button("&OK", 0);
    addButton_ = button("&Add", 1);
    editButton_ = button("&Edit", 2);
    deleteButton_ = button("&Delete", 3);
    okButton_->setDefault(true);
    connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);
    connect(addButton_, &QPushButton::clicked, this, [this] { CmAdd(); });
    connect(editButton_, &QPushButton::clicked, this, [this] { CmEdit(); });
    connect(deleteButton_, &QPushButton::clicked, this, [this] { CmDelete(); });

    for (int mode = 0; mode < kModeImages; ++mode) stateImages_.push_back(modeImage(mode));
    smallImages_ = {greetingImage(false), greetingImage(true)};

    SetupWindow();
}

TCallerDlg::~TCallerDlg() = default;

void TCallerDlg::SetupWindow() {
    // Cover the parent's client area, as the list belongs to the window it came from.
    QWidget* owner = parentWidget();
    if (owner) {
        move(owner->mapToGlobal(QPoint(0, 0)));
        resize(owner->size());
    }
    const QSize area = owner ? owner->size() : size();

    list_ = new QTreeWidget(this);
    list_->setObjectName("CallerList");
    list_->setGeometry(0, kListTop, std::max(area.width() - 3, 1), std::max(area.height() - 45, 1));
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSortingEnabled(false);  // sorted by CompareItems only
    list_->setIconSize(QSize(2 * kImageSize.width(), kImageSize.height()));
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->setHeaderLabels({"Number", "Name", "Reject", "Accept"});
    list_->header()->setSectionsClickable(true);
    list_->header()->setSortIndicatorShown(true);
    list_->header()->setStretchLastSection(false);
    for (int c = 0; c < 4; ++c) list_->headerItem()->setTextAlignment(c, Qt::AlignLeft);

    // The viewport is laid out only when the list is first shown; its client width
    // follows from the geometry set above and the frame.
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list_);
    const int client = list_->width() - 2 * list_->frameWidth();
    const int w = std::max(client - scrollBar - 4, 0);
    list_->setColumnWidth(NumberColumn, w / 3);
    list_->setColumnWidth(NameColumn, w / 3);
    list_->setColumnWidth(RejectColumn, w / 6);
    list_->setColumnWidth(AcceptColumn, w / 6);

    connect(list_->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { LvnColumnClick(column); });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { CmEdit(); });
    connect(list_, &QWidget::customContextMenuRequested, this, [this] { EvRightClick(); });

    sortColumn_ = 0;
    ascending_ = true;
    rowCounter_ = 0;

    // One read of the hive for the whole listing; the key is created so a fresh
    // machine gets somewhere to add callers.
    const platform::Hive hive = platform::Hive::atDefaultPath();
    auto callers = hive.createKey(kCallersKey);
    if (!callers) callers = hive.openKey(kCallersKey, platform::RegAccess::Read);
    if (callers) {
        for (const std::string& name : callers->subkeyNames()) {
            const platform::RegNode* key = callers->node().subkey(name);
            if (key) insertRow(readCallerRow(*key, name, TimeTextRule::SetUp));
        }
    }
    sortList();
}

QTreeWidgetItem* TCallerDlg::findByItemData(int itemData) const {
    // While sorting, rows are found through the index built for it.
    if (!byItemData_.empty()) {
        const auto it = byItemData_.find(itemData);
        return it == byItemData_.end() ? nullptr : it->second;
    }
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        if (item->data(0, kItemDataRole).toInt() == itemData) return item;
    }
    return nullptr;
}

int TCallerDlg::CompareItems(int itemDataA, int itemDataB) const {
    const QTreeWidgetItem* a = findByItemData(itemDataA);
    if (!a) return 1;
    const QTreeWidgetItem* b = findByItemData(itemDataB);
    if (!b) return -1;
    const QString ta = a->text(sortColumn_).left(kSortTextChars);
    const QString tb = b->text(sortColumn_).left(kSortTextChars);
    return ascending_ ? QString::localeAwareCompare(ta, tb) : QString::localeAwareCompare(tb, ta);
}

void TCallerDlg::sortList() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::vector<QTreeWidgetItem*> rows;
    std::unordered_set<QTreeWidgetItem*> selected;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        rows.push_back(item);
        if (item->isSelected()) selected.insert(item);
    }
    QTreeWidgetItem* current = list_->currentItem();
    // Each row's item data once, so no comparison searches the list.
    std::vector<std::pair<int, QTreeWidgetItem*>> keyed;
    keyed.reserve(rows.size());
    for (QTreeWidgetItem* item : rows) {
        const int data = item->data(0, kItemDataRole).toInt();
        keyed.emplace_back(data, item);
        byItemData_.emplace(data, item);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [this](const auto& a, const auto& b) {
        return CompareItems(a.first, b.first) < 0;
    });
    byItemData_.clear();
    rows.clear();
    for (const auto& [data, item] : keyed) rows.push_back(item);
    list_->invisibleRootItem()->takeChildren();
    list_->addTopLevelItems(QList<QTreeWidgetItem*>(rows.begin(), rows.end()));
    if (current) list_->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    for (QTreeWidgetItem* item : selected) item->setSelected(true);
    list_->header()->setSortIndicator(sortColumn_,
                                      ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
    QApplication::restoreOverrideCursor();
}

QIcon TCallerDlg::rowIcon(std::uint32_t mode, bool personal) const {
    // State image left of the small image, as a report list draws them.
    QPixmap pixmap(list_->iconSize());
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    if (mode < stateImages_.size()) painter.drawPixmap(0, 0, stateImages_[mode]);
    painter.drawPixmap(kImageSize.width(), 0, smallImages_[personal ? 1 : 0]);
    return QIcon(pixmap);
}

void TCallerDlg::fillRow(QTreeWidgetItem* item, const CallerRow& row) const {
    item->setText(NumberColumn, QString::fromStdString(row.number));
    item->setText(NameColumn, QString::fromStdString(row.name));
    item->setText(RejectColumn, QString::fromStdString(row.rejectText));
    item->setText(AcceptColumn, QString::fromStdString(row.acceptText));
    item->setData(0, kKeyNameRole, QString::fromStdString(row.number));
    item->setData(0, kModeRole, row.mode);
    item->setData(0, kPersonalRole, row.personal);
    item->setIcon(0, rowIcon(row.mode, row.personal));
}

QTreeWidgetItem* TCallerDlg::insertRow(const CallerRow& row) {
    auto* item = new QTreeWidgetItem;
    fillRow(item, row);
    item->setData(0, kItemDataRole, rowCounter_++);
    // New rows go in by their number, in the list's direction, after equal ones.
    const QString number = item->text(NumberColumn);
    int low = 0, high = list_->topLevelItemCount();
    while (low < high) {
        const int mid = low + (high - low) / 2;
        const int c =
            QString::localeAwareCompare(number, list_->topLevelItem(mid)->text(NumberColumn));
        if (ascending_ ? c < 0 : c > 0) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    list_->insertTopLevelItem(low, item);
    return item;
}

std::vector<QTreeWidgetItem*> TCallerDlg::rowsForKey(std::string_view key) const {
    std::vector<QTreeWidgetItem*> rows;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        if (sameKeyName(keyNameOf(item), key)) rows.push_back(item);
    }
    return rows;
}

bool TCallerDlg::runCallerForm(std::vector<char>& number) {
    const std::string programDir =
        context_.programDir.empty() ? platform::programDirectory() : context_.programDir;
    const std::string libraryDir =
        context_.libraryDir.empty() ? platform::libraryDirectory() : context_.libraryDir;
    // The form is placed over the client area of the window the list belongs to.
    QWidget* owner = parentWidget() ? parentWidget() : this;
    const QPoint origin = owner->mapToGlobal(QPoint(0, 0));
    const QSize area = owner->size();

    platform::LibraryResult<int> result;
    {
        FlagRestore restore(context_.modalDialogActive);
        if (context_.modalDialogActive) *context_.modalDialogActive = true;
        result = platform::callLibraryExportIn<InvokeCallerDialogFn>(
            libraryDir, context_.libraryFile, kCallerFormExport, programDir.c_str(), number.data(),
            context_.ring, context_.ringHead, origin.x(), origin.y(), area.height(), area.width(),
            kCallerFormInfoPage, /*numberReadOnly=*/0);
    }
    number.back() = '\0';  // whatever the form wrote, the text ends inside the buffer
    return result.called() && result.value && (*result.value & 0xFFFF) != 0;
}

void TCallerDlg::CmAdd() {
    std::vector<char> buffer(kCallerNumberBufferBytes, '\0');
    const std::string kept;
    if (!runCallerForm(buffer)) return;

    const std::string number(buffer.data());
    if (isSafeCallerKey(number)) {
        const auto key =
            platform::Hive::atDefaultPath().openKey(callersPath(number), platform::RegAccess::Read);
        if (key) {
            // The key keeps the spelling it was created with.
            const std::string name = key->node().name().empty() ? number : key->node().name();
            const CallerRow row = readCallerRow(key->node(), name, TimeTextRule::Form);
            // A number already listed is the same key: its row is updated, not doubled.
            std::vector<QTreeWidgetItem*> existing = rowsForKey(name);
            if (existing.empty()) {
                insertRow(row);
            } else {
                fillRow(existing.front(), row);
                for (std::size_t i = 1; i < existing.size(); ++i) delete existing[i];
            }
            if (number != kept) sortList();
        }
    }
    list_->setFocus();
}

void TCallerDlg::CmEdit() {
    QTreeWidgetItem* item = nullptr;
    for (int i = 0; i < list_->topLevelItemCount() && !item; ++i) {
        if (list_->topLevelItem(i)->isSelected()) item = list_->topLevelItem(i);
    }
    if (!item) return;

    const std::string kept = keyNameOf(item);
    std::vector<char> buffer(kCallerNumberBufferBytes, '\0');
    std::copy_n(kept.begin(), std::min(kept.size(), buffer.size() - 1), buffer.begin());
    if (!runCallerForm(buffer)) return;

    const std::string number(buffer.data());
    if (isSafeCallerKey(number)) {
        const auto key =
            platform::Hive::atDefaultPath().openKey(callersPath(number), platform::RegAccess::Read);
        if (key) {
            const std::string name = key->node().name().empty() ? number : key->node().name();
            fillRow(item, readCallerRow(key->node(), name, TimeTextRule::Form));
            // Renamed onto a listed number: that row showed the same key.
            for (QTreeWidgetItem* other : rowsForKey(name)) {
                if (other != item) delete other;
            }
            if (number != kept) sortList();
        }
    }
    list_->setFocus();
}

void TCallerDlg::CmDelete() {
    std::vector<QTreeWidgetItem*> selected;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        if (list_->topLevelItem(i)->isSelected()) selected.push_back(list_->topLevelItem(i));
    }
    if (selected.empty()) {
        list_->setFocus();
        return;
    }
    const platform::Hive hive = platform::Hive::atDefaultPath();
    auto callers = hive.openKey(kCallersKey, platform::RegAccess::Full);
    const auto beep = [this] {
        if (context_.beep) {
            context_.beep();
        } else {
            QApplication::beep();
        }
    };
    for (QTreeWidgetItem* item : selected) {
        const std::string name = keyNameOf(item);
        if (isPseudoCaller(name)) {
            beep();
            return;
        }
        // A key that cannot be deleted (it has keys below it) keeps its row, so the list
        // never hides a caller that still acts on calls; it stops as a protected row does.
        const platform::RegResult r =
            callers ? callers->deleteSubkey(name) : platform::RegResult{platform::RegStatus::NotFound, {}};
        if (!callers || (!r.ok() && r.status != platform::RegStatus::NotFound)) {
            beep();
            return;
        }
        delete item;
    }
    list_->setFocus();
}

void TCallerDlg::EvRightClick() {
    std::vector<QTreeWidgetItem*> selected;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        if (list_->topLevelItem(i)->isSelected()) selected.push_back(list_->topLevelItem(i));
    }
    if (selected.empty()) return;
    const platform::Hive hive = platform::Hive::atDefaultPath();
    auto callers = hive.openKey(kCallersKey, platform::RegAccess::Full);
    if (!callers) return;

    // All selected callers in one transaction; a key deleted meanwhile is not
    // created again with only a mode in it.
    std::vector<std::optional<std::uint32_t>> written(selected.size());
    const platform::RegResult r = callers->update([&](platform::RegNode& node) {
        for (std::size_t i = 0; i < selected.size(); ++i) {
            platform::RegNode* key = node.subkey(keyNameOf(selected[i]));
            if (!key) continue;
            const std::uint32_t reject = key->readDword("Reject", 0);
            const std::uint32_t mode = nextCallerMode((reject >> 28) & 0x7u);
            written[i] = (reject & ~kModeMask) | (mode << 28);
            key->setDword("Reject", *written[i]);
        }
    });
    if (!r.ok()) return;

    for (std::size_t i = 0; i < selected.size(); ++i) {
        QTreeWidgetItem* item = selected[i];
        if (!written[i]) {
            delete item;
            continue;
        }
        const std::uint32_t mode = (*written[i] >> 28) & 0x7u;
        const auto [reject, accept] = callerTimeTexts(*written[i], TimeTextRule::ModeStep);
        item->setText(RejectColumn, QString::fromStdString(reject));
        item->setText(AcceptColumn, QString::fromStdString(accept));
        item->setData(0, kModeRole, mode);
        item->setIcon(0, rowIcon(mode, item->data(0, kPersonalRole).toBool()));
    }
}

void TCallerDlg::LvnColumnClick(int column) {
    if (column < NumberColumn || column > AcceptColumn) return;
    if (column == sortColumn_) {
        ascending_ = !ascending_;
    } else {
        sortColumn_ = column;
    }
    sortList();
}

void TCallerDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (list_) {
        list_->setGeometry(0, kListTop, event->size().width(),
                           std::max(event->size().height() - 23, 1));
    }
}

int RunCallerList(QWidget* parent, CallerListContext context) {
    bool* flag = context.modalDialogActive;
    TCallerDlg dialog(parent, std::move(context));
    if (flag) *flag = true;
    const int result = dialog.exec();
    if (flag) *flag = false;
    return result;
}

}  // namespace orvelin::settings
