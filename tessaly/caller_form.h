// The caller record form: one known caller's calls, notes, contact data, answering rule and
// programs. It reads the caller's key when it opens and writes it on "Save & Close".
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTabWidget;
class QTextEdit;
class QTimeEdit;
class QTimer;
class QToolButton;
class QTreeWidget;

namespace orvelin::media {
class AlsaPlayer;
}

namespace tessaly {

class GreetingRecorder;

class TCallerDialog : public QDialog {
  public:
    // `number` is the caller's writable buffer of at least 26 bytes (may be null).
    TCallerDialog(char* number, const std::string& programDirectory, int left, int top,
                  int height, int width, bool numberReadOnly, QWidget* owner = nullptr);
    ~TCallerDialog() override;

    // `ring` holds `count` records of the call table's layout; head < count.
    void LoadCaller(const unsigned char* ring, int count, int head, int startPage);
    bool IsSaved() const { return result() == QDialog::Accepted; }

    void done(int result) override;

  private:
    void fillHistory(const unsigned char* ring, int count, int head);
    void loadNotes();
    bool loadValues();  // false: no caller key to load from
    std::string defaultGreeting(const std::string& fileKey) const;
    void followNumber(const std::string& number);
    bool adoptExistingCaller();
    void CallerNumberExit();
    void setCaption();
    void openGreeting();
    void OKClick();
    void CancelClick();
    bool SaveCaller();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
    void start(const std::vector<std::string>& argv);
    void BtnPrintClick();
    void syncPrint();
    void stepPages(int steps);
    void PersonalVoiceClick();
    void recordClick();
    void Timer1Timer();
    std::string numberText() const;
    std::string callerKey(const std::string& number) const;
    bool refuse(const std::string& number, QLineEdit* field);
    void message(const char* text);

    char* buffer_ = nullptr;
    std::string programDirectory_;
    std::string initialNumber_;
    std::string loadedCellular_;
    std::string playerFile_;
    std::string fileKey_;
    std::string adopted_;     // the known caller a new caller's number turned out to name
    bool cutNumber_ = false;  // opened on a key longer than the number field
    bool playerOpen_ = false;
    bool recorded_ = false;
    bool closing_ = false;

    QToolButton* print_ = nullptr;
    QTabWidget* pages_ = nullptr;
    QTreeWidget* history_ = nullptr;
    QTextEdit* note_ = nullptr;
    QLineEdit *number_ = nullptr, *name_ = nullptr, *cellular_ = nullptr, *email_ = nullptr;
    QToolButton *lookup_ = nullptr, *sms_ = nullptr, *mail_ = nullptr;
    QTimeEdit *from_ = nullptr, *to_ = nullptr;
    QComboBox *actions_ = nullptr, *lines_ = nullptr, *services_ = nullptr;
    QCheckBox *rejectFax_ = nullptr, *rejectMessage_ = nullptr, *personalVoice_ = nullptr;
    QCheckBox* enableLaunch_ = nullptr;
    QLineEdit *onCallRun_ = nullptr, *onCallParams_ = nullptr;
    QLineEdit *onClearRun_ = nullptr, *onClearParams_ = nullptr;
    QTimer* timer1_ = nullptr;
    std::unique_ptr<orvelin::media::AlsaPlayer> player_;
    std::unique_ptr<GreetingRecorder> recorder_;
};

}  // namespace tessaly
