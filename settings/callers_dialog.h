// The known-callers list: a modal dialog listing every key under
// SOFTWARE\ORVELIN\Callers with the caller's name and time window. Adding and
// editing go through the settings library's caller record form; deleting and
// stepping a caller's mode (right mouse button) write the hive directly. Every
// change is written at once, so "&OK" only closes the dialog.
//
// Rows keep the full key name in their data, so a row always acts on the key it
// was read from, whatever its length. Numbers the caller form writes back are
// key names typed by a user: one that could name a key outside "Callers" is
// ignored.
#pragma once

#include <QDialog>
#include <QIcon>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;
class QPushButton;

namespace platform {
class RegNode;
}

namespace orvelin::settings {

// The caller record form's export in the settings library. number is a writable
// buffer of kCallerNumberBufferBytes bytes that the form writes back on save; the
// result's low 16 bits are not 0 when the record was saved.
using InvokeCallerDialogFn = int(const char* programDir, char* number, const void* ring,
                                 int ringHead, int left, int top, int height, int width,
                                 int startPage, int numberReadOnly);
inline constexpr const char* kCallerFormExport = "_InvokeCallerDialog";
inline constexpr const char* kSettingsLibraryFile = "libtessaly.so";
// Large enough for any key name, so a long key survives the round trip.
inline constexpr std::size_t kCallerNumberBufferBytes = 256;
// The form's "Info" page.
inline constexpr int kCallerFormInfoPage = 2;

// What the list needs from the program around it.
struct CallerListContext {
    std::string programDir;  // empty: platform::programDirectory()
    std::string libraryDir;  // empty: platform::libraryDirectory()
    std::string libraryFile = kSettingsLibraryFile;
    const void* ring = nullptr;  // the call ring, handed to the form read-only
    int ringHead = 0;
    // The window thread's "a modal dialog is open" flag; set while the form runs
    // and restored to its previous value afterwards.
    bool* modalDialogActive = nullptr;
    std::function<void()> beep;  // empty: QApplication::beep
};

// The three ways a row's time texts are made, by the path that last wrote it.
enum class TimeTextRule {
    SetUp,     // limits above 2400 count as 0; shown for modes 1 and 3 or both limits set
    Form,      // after the caller form saved: shown for modes 1 and 3 or any of bits 0-27
    ModeStep,  // after a right click: shown for modes 1 and 3 only
};
// "Reject" and "Accept" column texts ("%02d:%02d" or empty) of a "Reject" value.
std::pair<std::string, std::string> callerTimeTexts(std::uint32_t reject, TimeTextRule rule);

// The mode after a right click: 0 -> 1 -> ... -> 5 -> 0, a stored 6 -> 7 -> 0.
std::uint32_t nextCallerMode(std::uint32_t mode);

// One row of the list read from a caller's key.
struct CallerRow {
    std::string number;  // the key's name
    std::string name;    // "????????" when unreadable, "!!!!!!!!" when not a string
    std::string rejectText, acceptText;
    std::uint32_t mode = 0;  // bits 28-30 of "Reject"; 6 and 7 have no image
    bool personal = false;   // "PersonalMsg" not 0
};
CallerRow readCallerRow(const platform::RegNode& key, std::string_view number, TimeTextRule rule);

class TCallerDlg : public QDialog {
  public:
    static constexpr int kResourceId = 2003;
    enum Column { NumberColumn = 0, NameColumn, RejectColumn, AcceptColumn };
    // Item data roles of column 0.
    static constexpr int kItemDataRole = Qt::UserRole;     // insertion counter
    static constexpr int kKeyNameRole = Qt::UserRole + 1;  // full key name
    static constexpr int kModeRole = Qt::UserRole + 2;
    static constexpr int kPersonalRole = Qt::UserRole + 3;

    explicit TCallerDlg(QWidget* parent, CallerListContext context = {});
    ~TCallerDlg() override;

    QTreeWidget* list() const { return list_; }
    int sortColumn() const { return sortColumn_; }
    bool ascending() const { return ascending_; }

    // Sort callback: rows found by item data; a missing first row gives 1, a
    // missing second -1; else the sort column's texts compared locale-aware.
    int CompareItems(int itemDataA, int itemDataB) const;

    void LvnColumnClick(int column);
    void CmAdd();
    void CmEdit();
    void CmDelete();
    void EvRightClick();  // steps the mode of every selected row

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void SetupWindow();
    void sortList();
    QTreeWidgetItem* findByItemData(int itemData) const;
    QTreeWidgetItem* insertRow(const CallerRow& row);
    void fillRow(QTreeWidgetItem* item, const CallerRow& row) const;
    QIcon rowIcon(std::uint32_t mode, bool personal) const;
    // Runs the caller form on `number`; true when it saved. Absent library or
    // export: false, nothing shown.
    bool runCallerForm(std::vector<char>& number);
    std::vector<QTreeWidgetItem*> rowsForKey(std::string_view key) const;

    CallerListContext context_;
    QTreeWidget* list_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QPushButton* editButton_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    std::vector<QPixmap> stateImages_;  // one per mode 0-5
    std::vector<QPixmap> smallImages_;  // 0 no personal greeting, 1 with one
    int sortColumn_ = 0;
    bool ascending_ = true;
    int rowCounter_ = 0;
    std::unordered_map<int, QTreeWidgetItem*> byItemData_;  // only while sorting
};

// Opens the list modally over `parent` with the context's modal flag set for its
// whole life, and returns the dialog's result.
int RunCallerList(QWidget* parent, CallerListContext context = {});

}  // namespace orvelin::settings
