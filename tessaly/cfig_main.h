// The options dialog: the program's global settings on eight pages. It reads them when
// it is built and writes them when it closes, except after "Ignore & Close".
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "tessaly/options_values.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSlider;
class QStatusBar;
class QTabWidget;
class QTimer;

namespace orvelin::media {
class AlsaPlayer;
}

namespace tessaly {

class TCfigForm : public QDialog {
  public:
    // The program directory is accepted for the caller's sake and not used.
    TCfigForm(const std::string& programDirectory, int left, int top, int height, int width,
              QWidget* owner = nullptr);
    ~TCfigForm() override;

    // Every way of closing ends here: a saving close writes the settings first.
    void done(int result) override;

  protected:
    bool event(QEvent* e) override;

  private:
    void buildGeneralPage(QWidget* page);
    void buildFaxPage(QWidget* page);
    void buildVoicePage(QWidget* page);
    void buildSpeechPage(QWidget* page);
    void buildLaunchPage(QWidget* page);
    void buildIgnorePage(QWidget* page);
    void buildTextPage(QWidget* page);
    void buildLookupPage(QWidget* page);
    QCheckBox* optionBox(const char* name, QWidget* page);

    void loadSettings();
    void showSettings();
    void fillEngines();
    void connectHandlers();

    void FileExit();
    void SaveAndCloseClick();
    void FormCloseQuery();
    bool Applychanges1Click();
    void Timer1Timer();
    void browse(QLineEdit* edit, bool programs);
    void exclusiveRewrite(QCheckBox* clicked);
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeechTestClick();
    void PitchChange(int position);
    void SpeedChange(int position);
    void VolumeChange(int position);
    void EnginesChange();

    OptionsValues values_;
    bool settingsLoaded_ = false;
    bool keyMissing_ = false;  // nothing could be loaded, so nothing may be saved
    bool ignoring_ = false;
    bool closing_ = false;

    QTabWidget* pages_ = nullptr;
    QStatusBar* status_ = nullptr;
    QTimer* timer1_ = nullptr;
    QComboBox* uLawALaw_ = nullptr;
    QComboBox* engines_ = nullptr;
    QCheckBox* talking_ = nullptr;
    QLineEdit *n1_ = nullptr, *n2_ = nullptr, *n3_ = nullptr;
    QLineEdit *auth_ = nullptr, *sayWhat_ = nullptr;
    QLineEdit *onCallRun_ = nullptr, *onCallParams_ = nullptr;
    QLineEdit *onClearRun_ = nullptr, *onClearParams_ = nullptr;
    QLineEdit *callCenter_ = nullptr, *cellulars_ = nullptr;
    QLineEdit *lookupWindow_ = nullptr, *lookupApp_ = nullptr;
    QSlider *pitch_ = nullptr, *speed_ = nullptr, *volume_ = nullptr;
    QCheckBox* discrete_[10] = {};
    std::unique_ptr<orvelin::media::AlsaPlayer> preview_;
};

}  // namespace tessaly
