#include "client/window/call_list_view.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace orvelin::client {

namespace {

constexpr int kImageWidth = 16;
constexpr int kImageHeight = 14;

// Colour and letter of each state's badge: enough to tell the states apart at a glance.
constexpr std::array<const char*, kCallStateCount> kStateColours = {
    "#9e9e9e", "#d32f2f", "#7b1fa2", "#388e3c", "#1976d2", "#f57c00",
    "#00796b", "#90caf9", "#80cbc4", "#5d4037", "#fbc02d", "#fff59d"};
constexpr std::array<char, kCallStateCount> kStateLetters = {'S', 'R', 'E', 'A', 'V', 'F',
                                                             'F', 'v', 'f', 'P', 'T', 't'};

QIcon drawBadge(const QColor& colour, QChar letter, bool square) {
    QPixmap pixmap(kImageWidth, kImageHeight);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(colour.darker(150));
    p.setBrush(colour);
    const QRectF box(0.5, 0.5, kImageWidth - 1.0, kImageHeight - 1.0);
    if (square)
        p.drawRoundedRect(box, 2, 2);
    else
        p.drawEllipse(box);
    QFont font = p.font();
    font.setPixelSize(10);
    font.setBold(true);
    p.setFont(font);
    p.setPen(colour.lightness() > 160 ? Qt::black : Qt::white);
    p.drawText(box, Qt::AlignCenter, QString(letter));
    return QIcon(pixmap);
}

}  // namespace

QIcon callStateIcon(int state) {
    if (state < 0 || state >= int(kCallStateCount)) return {};
    static std::array<QIcon, kCallStateCount> icons;
    if (icons[state].isNull())
        icons[state] = drawBadge(QColor(kStateColours[state]), QChar(kStateLetters[state]), false);
    return icons[state];
}

QIcon callKindIcon(int kind) {
    static const std::array<const char*, 3> colours = {"#607d8b", "#8d6e63", "#455a64"};
    static const std::array<char, 3> letters = {'T', 'F', 'D'};
    if (kind < 0 || kind > 2) return {};
    static std::array<QIcon, 3> icons;
    if (icons[kind].isNull())
        icons[kind] = drawBadge(QColor(colours[kind]), QChar(letters[kind]), true);
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
    if (column >= 0 && column < kCallColumnCount) resizeColumnToContents(column);
}

}  // namespace orvelin::client
