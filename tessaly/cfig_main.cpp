#include "tessaly/cfig_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cstdio>

#include "media/alsa_player.h"
#include "media/speech.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "settings/settings_store.h"
#include "tessaly/file_browse.h"
#include "tessaly/placement.h"
#include "tessaly/volume_control.h"

namespace tessaly {
namespace {

using orvelin::media::CTTSEnum;
using orvelin::media::CTTSMode;
using orvelin::media::HRESULT;
using orvelin::media::S_OK;

constexpr const char* kCaption = "Orvelin configuration";
constexpr const char* kSaveFailed = "An error occured while trying to save your settings.";
constexpr int kSayWhatChars = 64;

QString qs(const std::string& s) { return QString::fromStdString(s); }
std::string ss(const QString& s) { return s.toStdString(); }

void hint(QWidget* w, const char* text) {
    w->setToolTip(text);
    w->setStatusTip(text);
}

// Cuts what the user typed to what the program can read: at most `chars` characters and
// `bytes` - 1 bytes of UTF-8, never inside a character. Texts loaded from the hive are
// left as they are.
void limitInput(QLineEdit* edit, std::size_t bytes, int chars = 32767) {
    QObject::connect(edit, &QLineEdit::textEdited, edit, [edit, bytes, chars](const QString& t) {
        QString cut = t.left(chars);
        while (std::size_t(cut.toUtf8().size()) > bytes - 1) cut.chop(cut.back().isLowSurrogate() ? 2 : 1);
        if (cut == t) return;
        const int cursor = edit->cursorPosition();
        edit->setText(cut);
        edit->setCursorPosition(std::min<int>(cursor, int(cut.size())));
    });
}

QLineEdit* lineEdit(const char* name, QWidget* parent, std::size_t bytes) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    limitInput(e, bytes);
    return e;
}

QLineEdit* stripEdit(const char* name, QWidget* parent) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,2}"), e));
    e->setFixedWidth(e->fontMetrics().horizontalAdvance("000") + 12);
    return e;
}

QSlider* trackBar(const char* name, int position, QWidget* parent) {
    auto* bar = new QSlider(Qt::Vertical, parent);
    bar->setObjectName(name);
    bar->setRange(0, 10);
    bar->setTickInterval(1);
    bar->setPageStep(1);
    bar->setTickPosition(QSlider::TicksBothSides);
    // Position 0 is at the top.
    bar->setInvertedAppearance(true);
    bar->setInvertedControls(true);
    bar->setValue(position);
    return bar;
}

QString stripText(std::uint8_t b) { return b == 0 ? QString() : QString::number(b); }

std::string engineCaption(const QComboBox* engines) {
    return engines->currentIndex() < 0 ? std::string() : ss(engines->currentText());
}

}  // namespace

TCfigForm::TCfigForm(const std::string&, int left, int top, int height, int width, QWidget* owner)
    : QDialog(owner) {
    setWindowTitle(kCaption);
    useToolWindowFrame(*this);
    setSizeGripEnabled(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* buttons = new QWidget(this);
    auto* buttonRow = new QHBoxLayout(buttons);
    buttonRow->setContentsMargins(4, 2, 4, 2);
    const auto speedButton = [&](const char* name, const char* tip, QStyle::StandardPixmap icon) {
        auto* b = new QToolButton(buttons);
        b->setObjectName(name);
        b->setIcon(style()->standardIcon(icon));
        b->setAutoRaise(true);
        hint(b, tip);
        buttonRow->addWidget(b);
        return b;
    };
    auto* ignore = speedButton("SpeedButton4", "Ignore & Close", QStyle::SP_DialogCancelButton);
    auto* save = speedButton("SpeedButton5", "Save & Close", QStyle::SP_DialogSaveButton);
    buttonRow->addStretch();
    layout->addWidget(buttons);

    pages_ = new QTabWidget(this);
    pages_->setObjectName("PageControl1");
    layout->addWidget(pages_, 1);
    const auto addPage = [this](std::size_t i) {
        auto* page = new QWidget(pages_);
        page->setObjectName(kOptionPages[i]);
        pages_->addTab(page, kOptionPages[i]);
        return page;
    };
    buildGeneralPage(addPage(0));
    buildFaxPage(addPage(1));
    buildVoicePage(addPage(2));
    buildSpeechPage(addPage(3));
    buildLaunchPage(addPage(4));
    buildIgnorePage(addPage(5));
    buildTextPage(addPage(6));
    buildLookupPage(addPage(7));
    status_ = new QStatusBar(this);
    status_->setSizeGripEnabled(false);
    layout->addWidget(status_);

    placeForm(*this, left, top, height, width);
    loadSettings();

    connect(ignore, &QToolButton::clicked, this, [this] { FileExit(); });
    connect(save, &QToolButton::clicked, this, [this] { SaveAndCloseClick(); });
    connectHandlers();
    timer1_ = new QTimer(this);
    timer1_->setInterval(1000);
    connect(timer1_, &QTimer::timeout, this, [this] { Timer1Timer(); });
    timer1_->start();
}

TCfigForm::~TCfigForm() = default;

QCheckBox* TCfigForm::optionBox(const char* name, QWidget* page) {
    for (const OptionControl& c : kOptionControls) {
        if (std::string_view(c.name) != name) continue;
        auto* box = new QCheckBox(c.caption, page);
        box->setObjectName(name);
        return box;
    }
    return nullptr;
}

void TCfigForm::buildGeneralPage(QWidget* page) {
    auto* grid = new QGridLayout(page);
    int row = 0;
    for (const char* name : {"ShowLarge", "LongDate", "Service", "Stripl", "Addl"})
        grid->addWidget(optionBox(name, page), row++, 0, 1, 6);
    n1_ = stripEdit("N1", page);
    n2_ = stripEdit("N2", page);
    n3_ = stripEdit("N3", page);
    grid->addWidget(optionBox("Strip", page), row, 0);
    grid->addWidget(n1_, row, 1);
    grid->addWidget(new QLabel("digits to ", page), row, 2);
    grid->addWidget(n2_, row, 3);
    grid->addWidget(new QLabel("digits", page), row++, 4);
    auto* shorter = new QLabel("and shorter numbers to", page);
    shorter->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(shorter, row, 0);
    grid->addWidget(n3_, row, 3);
    grid->addWidget(new QLabel("digits", page), row++, 4);
    grid->addWidget(new QLabel("Authorized callers", page), row++, 0, 1, 6);
    auth_ = lineEdit("Auth", page, kAuthBytes);
    hint(auth_, "Callers that are authorized to remotely listen to messages");
    grid->addWidget(auth_, row++, 0, 1, 6);
    grid->setColumnStretch(5, 1);
    grid->setRowStretch(row, 1);
}

void TCfigForm::buildFaxPage(QWidget* page) {
    auto* box = new QVBoxLayout(page);
    for (const char* name :
         {"PrintFax", "Convertfax", "KeepSFF", "KeepOutdFax", "FaxSeparateDir", "FaxCallerNName"})
        box->addWidget(optionBox(name, page));
    box->addStretch();
}

void TCfigForm::buildVoicePage(QWidget* page) {
    auto* box = new QVBoxLayout(page);
    for (const char* name : {"Autoplay", "AGCin", "AGCout", "KeepOutdVoice", "VoiceSeparateDir",
                             "VoiceCallerNName"})
        box->addWidget(optionBox(name, page));
    box->addWidget(new QLabel("Network voice coding", page));
    uLawALaw_ = new QComboBox(page);
    uLawALaw_->setObjectName("uLawALaw");
    uLawALaw_->addItems({"ALaw - Europe, Africa, South America", "uLaw - USA, Japan"});
    hint(uLawALaw_, "Use ALaw for Europe, uLaw for USA");
    box->addWidget(uLawALaw_);
    auto* wizard = new QToolButton(page);
    wizard->setObjectName("SpeedButton1");
    wizard->setText("Run MS Microphone Wizard");
    connect(wizard, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    box->addWidget(wizard);
    box->addStretch();
}

void TCfigForm::buildSpeechPage(QWidget* page) {
    auto* grid = new QGridLayout(page);
    talking_ = optionBox("Talking", page);
    grid->addWidget(talking_, 0, 0, 1, 2);
    grid->addWidget(new QLabel("Select speech engine", page), 1, 0, 1, 2);
    engines_ = new QComboBox(page);
    engines_->setObjectName("Engines");
    grid->addWidget(engines_, 2, 0);
    auto* about = new QToolButton(page);
    about->setObjectName("SpeedButton2");
    about->setText("About");
    connect(about, &QToolButton::clicked, this, [this] { SpeedButton2Click(); });
    grid->addWidget(about, 2, 1);
    grid->addWidget(new QLabel("Say what?", page), 3, 0, 1, 2);
    sayWhat_ = new QLineEdit(page);
    sayWhat_->setObjectName("SayWhat");
    limitInput(sayWhat_, kSayWhatBytes, kSayWhatChars);
    hint(sayWhat_, "Insert a leading text ahead of the callers number or name");
    grid->addWidget(sayWhat_, 4, 0);
    auto* test = new QToolButton(page);
    test->setObjectName("SpeechTest");
    test->setText("Test");
    connect(test, &QToolButton::clicked, this, [this] { SpeechTestClick(); });
    grid->addWidget(test, 4, 1);

    auto* bars = new QGridLayout;
    pitch_ = trackBar("Pitch", 5, page);
    speed_ = trackBar("Speed", 5, page);
    volume_ = trackBar("Volume", 0, page);
    int column = 0;
    for (auto [bar, label] : {std::pair{pitch_, "Pitch"}, {speed_, "Speed"}, {volume_, "Volume"}}) {
        bars->addWidget(bar, 0, column, Qt::AlignHCenter);
        bars->addWidget(new QLabel(label, page), 1, column++, Qt::AlignHCenter);
    }
    grid->addLayout(bars, 5, 0, 1, 2, Qt::AlignLeft);
    grid->setColumnStretch(0, 1);
    grid->setRowStretch(5, 1);
}

void TCfigForm::buildLaunchPage(QWidget* page) {
    auto* box = new QVBoxLayout(page);
    const auto group = [&](const char* title, const char* tip, const char* runName,
                           const char* paramsName, const char* runButton,
                           const char* paramsButton) {
        auto* g = new QGroupBox(title, page);
        hint(g, tip);
        auto* grid = new QGridLayout(g);
        QLineEdit* edits[2] = {lineEdit(runName, g, kProgramBytes),
                               lineEdit(paramsName, g, kProgramBytes)};
        const char* labels[2] = {"Command line", "Parameters"};
        const char* buttons[2] = {runButton, paramsButton};
        for (int i = 0; i < 2; ++i) {
            grid->addWidget(new QLabel(labels[i], g), 2 * i, 0, 1, 2);
            grid->addWidget(edits[i], 2 * i + 1, 0);
            auto* b = new QToolButton(g);
            b->setObjectName(buttons[i]);
            b->setText("....");
            QLineEdit* edit = edits[i];
            connect(b, &QToolButton::clicked, this, [this, edit, i] { browse(edit, i == 0); });
            grid->addWidget(b, 2 * i + 1, 1);
        }
        box->addWidget(g);
        return std::pair{edits[0], edits[1]};
    };
    std::tie(onCallRun_, onCallParams_) =
        group("On call run program", "Specify program to run when a new call arrives.",
              "OnCallRun", "OnCallParams", "Button1", "Button2");
    std::tie(onClearRun_, onClearParams_) =
        group("On call clearing run program", "Specify program to run when a new call is cleared",
              "OnClearRun", "OnClearParams", "Button3", "Button4");
    box->addStretch();
}

void TCfigForm::buildIgnorePage(QWidget* page) {
    auto* box = new QVBoxLayout(page);
    auto* g = new QGroupBox("Ignore calls on", page);
    auto* grid = new QGridLayout(g);
    for (int i = 0; i < 10; ++i) {
        const QString caption = QString("MSN%1").arg(i + 1);
        discrete_[i] = new QCheckBox(caption, g);
        discrete_[i]->setObjectName("dis" + caption);
        grid->addWidget(discrete_[i], i % 5, i / 5);
    }
    box->addWidget(g);
    box->addStretch();
}

void TCfigForm::buildTextPage(QWidget* page) {
    auto* box = new QVBoxLayout(page);
    box->addWidget(new QLabel("Text message call center", page));
    callCenter_ = lineEdit("CallCenter", page, kTextMessageBytes);
    hint(callCenter_, "The call center number for GSM SMS");
    box->addWidget(callCenter_);
    box->addWidget(new QLabel("Cellular numbers  description", page));
    cellulars_ = lineEdit("Cellulars", page, kTextMessageBytes);
    hint(cellulars_, "Enter starting digits for cellular numbers separated with semicolon");
    box->addWidget(cellulars_);
    auto* note = new QLabel(
        "Text messages travel as user-user data: they need the general and the extended "
        "parts of the \"Info Mask\" in the MSN settings.",
        page);
    note->setWordWrap(true);
    box->addWidget(note);
    box->addStretch();
}

void TCfigForm::buildLookupPage(QWidget* page) {
    auto* box = new QVBoxLayout(page);
    box->addWidget(new QLabel("Lookup window name", page));
    lookupWindow_ = lineEdit("LookupWindow", page, kProgramBytes);
    hint(lookupWindow_, "The name of the lookup application main window");
    box->addWidget(lookupWindow_);
    box->addWidget(new QLabel("Lookup application path", page));
    lookupApp_ = lineEdit("LookupApp", page, kProgramBytes);
    hint(lookupApp_, "The full path of the lookup application");
    box->addWidget(lookupApp_);
    box->addStretch();
}

void TCfigForm::loadSettings() {
    const platform::Hive hive = platform::Hive::atDefaultPath();
    const auto key = hive.openKey(orvelin::settings::kProductKey, platform::RegAccess::Full);
    if (!key) {
        // Without the key (or without the right to write it) the form shows its design
        // state and never writes.
        keyMissing_ = true;
        return;
    }
    values_ = readOptions(key->node());
    showSettings();
    fillEngines();
    settingsLoaded_ = true;
}

void TCfigForm::showSettings() {
    for (const OptionControl& c : kOptionControls) {
        const bool set = (values_.options & c.mask) != 0;
        if (c.caption[0] == '\0')
            uLawALaw_->setCurrentIndex(set ? 1 : 0);
        else
            findChild<QCheckBox*>(c.name)->setChecked(set != c.checkedClears);
    }
    n1_->setText(stripText(values_.strip[0]));
    n3_->setText(stripText(values_.strip[1]));
    n2_->setText(stripText(values_.strip[2]));
    for (int i = 0; i < 10; ++i) discrete_[i]->setChecked(values_.discrete >> i & 1);
    onCallRun_->setText(qs(values_.onCallRun));
    onCallParams_->setText(qs(values_.onCallParams));
    onClearRun_->setText(qs(values_.afterCallRun));
    onClearParams_->setText(qs(values_.afterCallParams));
    sayWhat_->setText(qs(values_.sayWhat));
    auth_->setText(qs(values_.auth));
    callCenter_->setText(qs(values_.callCenter));
    cellulars_->setText(qs(values_.cellulars));
    lookupWindow_->setText(qs(values_.lookupWindow));
    lookupApp_->setText(qs(values_.lookupApp));
    // The track bars keep their design positions: they show the user's moves only.
}

void TCfigForm::fillEngines() {
    CTTSEnum modes;
    if (modes.Init() == S_OK) {
        orvelin::media::TTSModeInfo info;
        while (modes.Next(info) == S_OK) engines_->addItem(qs(info.modeName));
    }
    if (engines_->count() == 0) {
        talking_->setChecked(false);
        talking_->setEnabled(false);
    }
    engines_->setCurrentIndex(
        values_.speechEngine.empty() ? -1 : engines_->findText(qs(values_.speechEngine)));
}

void TCfigForm::connectHandlers() {
    for (const char* name : {"Stripl", "Addl", "Strip"}) {
        QCheckBox* box = findChild<QCheckBox*>(name);
        connect(box, &QCheckBox::clicked, this, [this, box] { exclusiveRewrite(box); });
    }
    connect(pitch_, &QSlider::valueChanged, this, [this](int p) { PitchChange(p); });
    connect(speed_, &QSlider::valueChanged, this, [this](int p) { SpeedChange(p); });
    connect(volume_, &QSlider::valueChanged, this, [this](int p) { VolumeChange(p); });
    connect(engines_, &QComboBox::currentIndexChanged, this, [this] { EnginesChange(); });
}

bool TCfigForm::event(QEvent* e) {
    // The hint of the control under the mouse goes to the status bar.
    if (e->type() == QEvent::StatusTip) {
        status_->showMessage(static_cast<QStatusTipEvent*>(e)->tip());
        return true;
    }
    return QDialog::event(e);
}

void TCfigForm::exclusiveRewrite(QCheckBox* clicked) {
    if (!clicked->isChecked()) return;
    for (const char* name : {"Stripl", "Addl", "Strip"}) {
        QCheckBox* other = findChild<QCheckBox*>(name);
        if (other != clicked) other->setChecked(false);
    }
}

void TCfigForm::FileExit() {
    settingsLoaded_ = false;
    ignoring_ = true;
    timer1_->stop();
    close();
}

void TCfigForm::SaveAndCloseClick() { close(); }

void TCfigForm::done(int result) {
    if (!closing_) {
        closing_ = true;
        FormCloseQuery();
    }
    QDialog::done(result);
}

void TCfigForm::FormCloseQuery() {
    if (preview_) preview_->Stop();
    if (settingsLoaded_) {
        if (!Applychanges1Click()) platform::messageBox(kSaveFailed, kCaption, platform::BoxButtons::Ok,
                                                        platform::BoxIcon::Error, std::nullopt, this);
        timer1_->stop();
    } else if (keyMissing_ && !ignoring_) {
        // Saving was asked for and cannot happen: say so rather than close silently.
        platform::messageBox(kSaveFailed, kCaption, platform::BoxButtons::Ok,
                             platform::BoxIcon::Error, std::nullopt, this);
    }
}

bool TCfigForm::Applychanges1Click() {
    OptionsValues& v = values_;
    for (const OptionControl& c : kOptionControls) {
        const bool set = c.caption[0] == '\0'
                             ? uLawALaw_->currentIndex() == 1
                             : findChild<QCheckBox*>(c.name)->isChecked() != c.checkedClears;
        v.options = set ? v.options | c.mask : v.options & ~c.mask;
    }
    for (int i = 0; i < 10; ++i) {
        const auto bit = std::uint16_t(1u << i);
        v.discrete = discrete_[i]->isChecked() ? v.discrete | bit : v.discrete & ~bit;
    }
    v.onCallRun = ss(onCallRun_->text());
    v.onCallParams = ss(onCallParams_->text());
    v.afterCallRun = ss(onClearRun_->text());
    v.afterCallParams = ss(onClearParams_->text());
    v.sayWhat = ss(sayWhat_->text());
    v.auth = ss(auth_->text());
    v.strip = {stripByte(ss(n1_->text())), stripByte(ss(n3_->text())),
               stripByte(ss(n2_->text()))};
    v.speechEngine = engineCaption(engines_);
    v.callCenter = ss(callCenter_->text());
    v.cellulars = ss(cellulars_->text());
    v.lookupWindow = ss(lookupWindow_->text());
    v.lookupApp = ss(lookupApp_->text());

    // One transaction: the settings are written whole or not at all.
    const platform::RegResult result =
        platform::Hive::atDefaultPath().update([&](platform::RegNode& root) -> platform::RegResult {
            platform::RegNode* key = root.createSubkey(orvelin::settings::kProductKey);
            if (!key) return {platform::RegStatus::InvalidName, "SOFTWARE\\ORVELIN"};
            writeOptions(v, *key);
            return {};
        });
    if (!result.ok()) {
        std::fprintf(stderr, "settings library: %s\n", result.message.c_str());
        return false;
    }
    v.optionsLoaded = v.options;
    return true;
}

void TCfigForm::Timer1Timer() {
    // Never over one of the form's own boxes or file dialogs.
    if (QApplication::activeModalWidget() != this || QApplication::activePopupWidget()) return;
    activateWindow();
}

void TCfigForm::browse(QLineEdit* edit, bool programs) {
    const QString path = browseForFile(this, edit->text(), programs);
    if (!path.isEmpty()) edit->setText(path);
}

void TCfigForm::PitchChange(int p) { values_.pitch = pitchFromPosition(p); }
void TCfigForm::SpeedChange(int p) { values_.speed = speedFromPosition(p); }
void TCfigForm::VolumeChange(int p) { values_.volume = volumeFromPosition(p); }
// Another engine speaks with its own voice until the user sets one.
void TCfigForm::EnginesChange() { values_.pitch = 0; }

void TCfigForm::SpeechTestClick() {
    // Rendered first, then played as a preview, so that the box can stop it.
    auto rendered = std::make_shared<orvelin::media::MemoryDestination>();
    CTTSMode mode;
    orvelin::media::TTSModeInfo info;
    info.modeName = engineCaption(engines_);
    orvelin::media::TTSModeRank rank;
    rank.modeName = 10;
    if (mode.InitAudio(rendered) != S_OK || mode.Init(info, &rank) != S_OK) return;
    if (values_.pitch == 0) {
        values_.pitch = mode.PitchGet();
        values_.speed = mode.SpeedGet();
        values_.volume = mode.VolumeGet();
        const QSignalBlocker p(pitch_), s(speed_);
        pitch_->setValue(pitchPosition(values_.pitch));
        speed_->setValue(speedPosition(values_.speed));
    }
    mode.VolumeSet(values_.volume);
    mode.PitchSet(values_.pitch);
    mode.SpeedSet(values_.speed);
    HRESULT rc = mode.Speak(sayWhat_->text().toStdU16String(), true);
    if (rc == S_OK && !rendered->Samples().empty()) {
        if (!preview_) preview_ = std::make_unique<orvelin::media::AlsaPlayer>();
        rc = orvelin::media::ResultFromPlatform(
            preview_->Play({rendered->Samples(), rendered->SampleRate(), 1}));
    }
    if (rc != S_OK) {
        char text[40];
        std::snprintf(text, sizeof text, "Error: 0x%016llX",
                      static_cast<unsigned long long>(static_cast<std::uint32_t>(rc)));
        platform::messageBox(text, kCaption, platform::BoxButtons::Ok, platform::BoxIcon::Error,
                             std::nullopt, this);
        return;
    }
    platform::messageBox("Hit OK to terminate", kCaption, platform::BoxButtons::Ok,
                         platform::BoxIcon::Information, std::nullopt, this);
    if (preview_) preview_->Stop();
}

void TCfigForm::SpeedButton2Click() {
    CTTSMode mode;
    orvelin::media::TTSModeInfo info;
    info.modeName = engineCaption(engines_);
    orvelin::media::TTSModeRank rank;
    rank.modeName = 10;
    if (mode.Init(info, &rank) == S_OK) mode.AboutDlg(this, "About");
}

void TCfigForm::SpeedButton1Click() {
    // The microphone's level on the sound system's mixer.
    QDialog wizard(this);
    wizard.setWindowTitle("Microphone");
    auto* box = new QVBoxLayout(&wizard);
    auto* bar = new TVolumeControl(&wizard);
    bar->setObjectName("MicrophoneVolume");
    if (!bar->Open()) {
        findChild<QToolButton*>("SpeedButton1")->setEnabled(false);
        return;
    }
    std::uint32_t volume = 0;
    if (bar->GetCurrentVolume(&volume)) bar->setValue(int(volume));
    connect(bar, &QSlider::valueChanged, &wizard,
            [bar](int v) { bar->SetVolume(static_cast<std::uint32_t>(v)); });
    box->addWidget(new QLabel("Microphone volume", &wizard));
    box->addWidget(bar);
    auto* ok = new QToolButton(&wizard);
    ok->setText("OK");
    connect(ok, &QToolButton::clicked, &wizard, &QDialog::accept);
    box->addWidget(ok);
    wizard.exec();
}

}  // namespace tessaly
