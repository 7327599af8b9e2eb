#include "client/window/call_list_view.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QTest>
#include <algorithm>
#include <array>
#include <vector>
#include <string>

#include "tests/client/test_dir.h"
#include "tests/support/qt_environment.h"

namespace orvelin::client {
namespace {

class CallListViewTest : public ::testing::Test {
  protected:
    CallListViewTest() {
        list.setRowShown([this](const CallRow& row) { view.widenFor(row); });
        ownComment = view.columnWidth(kColumnComment);  // before the last column stretches
        view.resize(1600, 400);
        view.show();
    }
    TCallRecord& newCall(const std::string& caller, const std::string& name,
                         const std::string& comment, std::uint16_t count) {
        TCallRecord& r = ring.takeNew(test::arrivalAt(1000), {}, dir.path());
        r.calledNumber.assign("4711");
        r.calledName.assign("Office 456");
        r.callerNumber.assign(caller);
        r.callerName.assign(name);
        r.comment.assign(comment);
        r.state = std::uint32_t(CallState::VoiceMessage);
        r.count = count;
        return r;
    }
    int textWidth(const std::string& text) const {
        return QFontMetrics(view.font()).horizontalAdvance(QString::fromStdString(text));
    }
    // Every shown cell of columns 0-4 has the room its text and image ask for.
    void expectNoCellCut() const {
        for (int row = 0; row < model.rowCount(); ++row)
            for (int c = 0; c < kColumnComment; ++c) {
                const QModelIndex index = model.index(row, c);
                EXPECT_GE(view.columnWidth(c), view.sizeHintForIndex(index).width())
                    << "row " << row << " column " << c << ": "
                    << model.data(index, Qt::DisplayRole).toString().toStdString();
            }
    }

    test::TestDir dir;
    CallRing ring{10};
    CallListModel list{ring, {}};
    CallTableModel model{list};
    CallListView view{model, nullptr};
    int ownComment = 0;
};

TEST_F(CallListViewTest, EachRowWidensTheStoredWidthsByItsTextsTimesTheirFactors) {
    // Factors and the image room of column 0 as the rule gives them.
    const std::array<double, kCallColumnCount> factor = {1.2, 1.5, 1.5, 1.2, 1.5, 1.5};
    const std::string name25 = "Anne-Katrin Mustermann Xy";
    const std::string comment40 = "Please call back about the invoice 4711.";
    ASSERT_EQ(name25.size(), 25u);
    ASSERT_EQ(comment40.size(), 40u);
    struct Case {
        const char* what;
        std::string caller, name, comment;
        std::uint16_t count;
    } const cases[] = {
        {"ten digits, 25 characters, 40 characters", "0301234567", name25, comment40, 4},
        {"short texts keep the widths", "12", "Bo", "", 1},
        {"a longer count", "0891112223", "Ben", "x", 54321},
    };
    ASSERT_GT(view.columnWidth(kColumnComment), ownComment);  // stretched to the edge
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::array<int, kCallColumnCount> present{};
        for (int col = 0; col < kCallColumnCount; ++col) present[col] = view.columnWidth(col);
        present[kColumnComment] = ownComment;

        list.addCallRow(newCall(c.caller, c.name, c.comment, c.count));
        model.refresh();

        const CallRow& row = list.rows().front();
        const std::array<int, kCallColumnCount>& stored = view.columnMinWidths();
        for (int col = 0; col < kCallColumnCount; ++col) {
            const int text = textWidth(row.text[col]) + (col == 0 ? 25 : 0);
            const int wanted = int(text * factor[col]);
            EXPECT_EQ(stored[col], std::max(present[col], wanted)) << "column " << col;
        }
        for (const int col : {1, 2, 3}) EXPECT_EQ(view.columnWidth(col), stored[col]);
        // Columns 0 and 4 are fitted to their contents.
        for (const int col : {0, 4}) {
            int contents = view.header()->sectionSizeHint(col);
            for (int r = 0; r < model.rowCount(); ++r)
                contents = std::max(contents, view.sizeHintForIndex(model.index(r, col)).width());
            EXPECT_EQ(view.columnWidth(col), contents) << "column " << col;
        }
        expectNoCellCut();
    }

    // The comment column keeps its width; an update of the row widens the stored widths.
    TCallRecord* first = ring.find(list.rows().back().id);
    ASSERT_NE(first, nullptr);
    first->count = 65535;
    list.updateCallRow(*first);
    model.refresh();
    EXPECT_GE(view.columnMinWidths()[kColumnCount], int(textWidth(" 65535 sec.") * 1.5));
    expectNoCellCut();
}

// A right click moves the selection to the row under the cursor only while at most one
// row is selected.
TEST_F(CallListViewTest, RightClickMovesTheSelectionOnlyWhenAtMostOneRowIsSelected) {
    for (const char* caller : {"0301", "0302", "0303", "0304"})
        list.addCallRow(newCall(caller, "", "", 1));
    model.refresh();
    ASSERT_EQ(model.rowCount(), 4);
    struct Case {
        const char* what;
        std::vector<int> selected;  // rows selected before the click
        int clicked;
        std::vector<int> after;
    } const cases[] = {
        {"nothing selected", {}, 2, {2}},
        {"one row selected", {0}, 2, {2}},
        {"the clicked row alone", {2}, 2, {2}},
        {"two rows selected", {0, 1}, 3, {0, 1}},
        {"three rows, the clicked one among them", {0, 2, 3}, 2, {0, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        view.clearSelection();
        for (int row : c.selected)
            view.selectionModel()->select(model.index(row, 0),
                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
        const QPoint at = view.visualRect(model.index(c.clicked, 2)).center();
        QTest::mouseClick(view.viewport(), Qt::RightButton, {}, at);
        std::vector<int> rows;
        for (const QModelIndex& index : view.selectionModel()->selectedRows()) rows.push_back(index.row());
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, c.after);
    }
}

TEST_F(CallListViewTest, HeadingsInTheirOrder) {
    const char* headings[] = {"Time", "Called #", "Caller #", "Caller Name", "Count", "Comment"};
    ASSERT_EQ(model.columnCount(), 6);
    for (int c = 0; c < 6; ++c)
        EXPECT_EQ(model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString().toStdString(),
                  headings[c]);
}

}  // namespace
}  // namespace orvelin::client
