#include "client/window/call_list_view.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QMouseEvent>
#include <algorithm>

#include "client/window/svg_icons.h"

namespace orvelin::client {

namespace {

constexpr int kImageWidth = 16;
constexpr int kImageHeight = 14;

}  // namespace

QIcon callStateIcon(int state) {
    if (state < 0 || state >= int(kCallStateCount)) return {};
    static std::array<QIcon, kCallStateCount> icons;
    if (icons[state].isNull()) icons[state] = svgIcon(callStateResource(state));
    return icons[state];
}

QIcon callKindIcon(int kind) {
    if (kind < 0 || kind > 2) return {};
    static std::array<QIcon, 3> icons;
    if (icons[kind].isNull()) icons[kind] = svgIcon(callKindResource(kind));
    return icons[kind];
}

CallTableModel::CallTableModel(const CallListModel& rows, QObject* parent)
    : QAbstractTableModel(parent), rows_(rows) {}

int CallTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.rows().size());
}

int CallTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kCallColumnCount;
}

QVariant CallTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= kCallColumnCount)
        return {};
    const CallRow& row = rows_.rows()[std::size_t(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(row.text[std::size_t(index.column())]);
        case Qt::DecorationRole:
            if (index.column() == kColumnTime) return callStateIcon(row.stateImage);
            if (index.column() == kColumnCalled) return callKindIcon(row.image);
            return {};
        case kIdRole:
            return QVariant::fromValue<quint32>(row.id);
        case kStateRole:
            return QVariant::fromValue<quint32>(row.state);
        case Qt::ToolTipRole:
            if (index.column() == kColumnTime)
                return QString::fromUtf8(std::string(callStateName(row.state)).c_str());
            return {};
        default:
            return {};
    }
}

QVariant CallTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kCallColumnCount)
        return {};
    return QString::fromUtf8(kCallColumnHeadings[std::size_t(section)].data(),
                             int(kCallColumnHeadings[std::size_t(section)].size()));
}

void CallTableModel::refresh() {
    beginResetModel();
    endResetModel();
}

std::uint32_t CallTableModel::idAt(int row) const {
    if (row < 0 || row >= rowCount()) return 0;
    return rows_.rows()[std::size_t(row)].id;
}

CallListView::CallListView(CallTableModel& model, QWidget* parent)
    : QTreeView(parent), model_(model) {
    setObjectName("CallList");
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setIconSize(QSize(kImageWidth, kImageHeight));
    setModel(&model_);
    header()->setSectionsMovable(true);  // the user may reorder columns
    const QFontMetrics metrics(font());
    for (int c = 0; c < kCallColumnCount; ++c) {
        const int width = metrics.horizontalAdvance(QString::fromLatin1(kColumnSamples[std::size_t(c)])) +
                          (c < 2 ? kImageWidth + 8 : 8);
        setColumnWidth(c, width);
        minWidths_[std::size_t(c)] = int(width * kColumnMinFactors[std::size_t(c)]);
    }
    commentWidth_ = columnWidth(kColumnComment);
    // After the view has read the rows again (its own reset runs first).
    connect(&model_, &QAbstractItemModel::modelReset, this, [this] {
        if (!fitPending_) return;
        fitPending_ = false;
        resizeColumnToContents(kColumnTime);
        resizeColumnToContents(kColumnCount);
    });
}

std::vector<std::uint32_t> CallListView::selectedIds() const {
    std::vector<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    std::vector<std::uint32_t> ids;
    for (int r : rows) ids.push_back(model_.idAt(r));
    return ids;
}

std::uint32_t CallListView::firstSelectedId() const {
    const std::vector<std::uint32_t> ids = selectedIds();
    return ids.empty() ? 0 : ids.front();
}

void CallListView::autosizeColumn(int column) {
    if (column < 0 || column >= kCallColumnCount) return;
    resizeColumnToContents(column);
    if (column == kColumnComment)
        commentWidth_ = std::max(sizeHintForColumn(column), header()->sectionSizeHint(column));
}

void CallListView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton && selectionModel()->selectedRows().size() > 1) {
        event->accept();  // the context menu still follows the press
        return;
    }
    QTreeView::mousePressEvent(event);
}

int CallListView::presentWidth(int column) const {
    return column == kColumnComment ? commentWidth_ : columnWidth(column);
}

void CallListView::widenFor(const CallRow& row) {
    const QFontMetrics metrics(font());
    for (int c = 0; c < kCallColumnCount; ++c) {
        int text = metrics.horizontalAdvance(QString::fromStdString(row.text[std::size_t(c)]));
        if (c == kColumnTime) text += kTimeImageRoom;
        const int wanted = int(text * kColumnMinFactors[std::size_t(c)]);
        minWidths_[std::size_t(c)] = std::max(presentWidth(c), wanted);
    }
    for (const int c : {kColumnCalled, kColumnCallerNumber, kColumnCallerName})
        setColumnWidth(c, minWidths_[std::size_t(c)]);
    fitPending_ = true;
}

}  // namespace orvelin::client
