// The number-configuration form: per controller the ten MSNs with their texts, flags and
// greetings, and for all controllers the CIP and info masks. A saving close writes them all.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "tessaly/msn_values.h"

class QStatusBar;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace orvelin::media {
class AlsaPlayer;
}

namespace tessaly {

class GreetingRecorder;
class MsnGrid;

class TMSNform : public QDialog {
  public:
    TMSNform(const std::string& programDirectory, int controllers, bool faxCapable, int left,
             int top, int height, int width, QWidget* owner = nullptr);
    ~TMSNform() override;

    // Every close ends here: with changes it saves and the result becomes Accepted (1).
    void done(int result) override;

    static constexpr const char* kYes = "Yes";
    static constexpr const char* kNo = "No";

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void TreeView1Change(QTreeWidgetItem* node);
    void TreeView1Changing();
    void StringGrid1Click(int row, int column);
    void StringGrid1DblClick(int row, int column);
    bool StringGrid1KeyPress(int row, int column);
    void IgnoreClick();
    void SaveClick();
    void FormCloseQuery();
    void Timer1Timer();
    void recordClick();
    void playClick();
    void stopClick();
    void backClick();

    void showControllerMasks();
    void recomputeMasks();
    void toggle(int row);
    void afterEdit(int row);
    MsnNode* currentNode();
    std::string greetingPath(const MsnNode* node) const;
    bool openPlayerFile(const std::string& path);
    bool savePendingRecording();
    bool SaveSettings();
    void error(const char* text);

    std::string programDirectory_;
    bool faxCapable_ = false;
    bool changed_ = false;
    bool recordingPending_ = false;
    bool ignoring_ = false;
    bool closing_ = false;
    int current_ = -1;  // index of the MSN node shown, -1 for a controller node or none
    MsnSettings settings_;
    std::string playerFile_;

    QTreeWidget* tree_ = nullptr;
    MsnGrid* grid_ = nullptr;
    QStatusBar* status_ = nullptr;
    QTimer* timer1_ = nullptr;
    std::unique_ptr<orvelin::media::AlsaPlayer> player_;
    std::unique_ptr<GreetingRecorder> recorder_;
};

}  // namespace tessaly
