// The call list on screen: a Qt table model over the list-row model of the call history,
// a view that shows it in report form, and the state and call-kind images, drawn here.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QTreeView>
#include <array>
#include <cstdint>
#include <vector>

#include "client/call_list_model.h"

namespace orvelin::client {

// One image per call state (0-11) and per call kind (voice, fax, data), 16 x 14 pixels.
QIcon callStateIcon(int state);
QIcon callKindIcon(int kind);

class CallTableModel : public QAbstractTableModel {
  public:
    explicit CallTableModel(const CallListModel& rows, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The rows changed; the view reads them again.
    void refresh();
    // The record id of a row (its item data), 0 when out of range.
    std::uint32_t idAt(int row) const;

    static constexpr int kIdRole = Qt::UserRole;
    static constexpr int kStateRole = Qt::UserRole + 1;

  private:
    const CallListModel& rows_;
};

// Sample texts the columns are first sized to, and the factor of each column's
// stored width (ColumnMinWidths) over its text width.
inline constexpr std::array<const char*, kCallColumnCount> kColumnSamples = {
    "1999.31.09  23:59:28", "OFFICE", "22334455", "My GrandMa", "99 pg", "Comment"};
inline constexpr std::array<double, kCallColumnCount> kColumnMinFactors = {1.2, 1.5, 1.5,
                                                                           1.2, 1.5, 1.5};
// Room for the state image, added to a time text's width before its factor.
inline constexpr int kTimeImageRoom = 25;

class CallListView : public QTreeView {
  public:
    static constexpr int kControlId = 178;

    CallListView(CallTableModel& model, QWidget* parent);

    // Selected record ids, first selected row first (top to bottom).
    std::vector<std::uint32_t> selectedIds() const;
    std::uint32_t firstSelectedId() const;
    // Fits a column to its contents.
    void autosizeColumn(int column);
    // A row entered or changed: each stored width becomes the larger of the column's
    // present width and the row's text width times the column's factor. Columns 1-3 take
    // their stored widths; 0 and 4 are fitted to their contents once the model shows the
    // row; the comment keeps its width. The frame is docked by the stored widths.
    void widenFor(const CallRow& row);
    const std::array<int, kCallColumnCount>& columnMinWidths() const { return minWidths_; }

  protected:
    // A right press with several rows selected keeps them all: the menu acts on each.
    void mousePressEvent(QMouseEvent* event) override;

  private:
    // The comment column is the last and stretches to the list's edge; its own width is
    // the one last set, so the stretch never feeds back into the stored widths.
    int presentWidth(int column) const;

    CallTableModel& model_;
    std::array<int, kCallColumnCount> minWidths_{};
    int commentWidth_ = 0;
    bool fitPending_ = false;
};

}  // namespace orvelin::client
