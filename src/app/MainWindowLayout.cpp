// The main window's construction with its layout, the screen states, and
// the window's frame and placement rules. Its handlers are in MainWindow.cpp.
#include "app/MainWindow.h"

#include "app/Application.h"
#include "app/Artwork.h"
#include "platform/Paths.h"
#include "recording/Formats.h"
#include "recording/RecordingSession.h"
#include "settings/IniFiles.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>

#include <cmath>

MainWindow *F1 = nullptr;

namespace {

QFont windowFont() {
    QFont f(QStringList{"MS UI Gothic", "IPAPGothic", "sans-serif"});
    f.setPixelSize(12);
    return f;
}

QFont headingFont() {
    QFont f = windowFont();
    f.setPixelSize(13);
    f.setBold(true);
    return f;
}

QFont titleButtonFont() {
    QFont f(QStringList{"Arial", "Liberation Sans", "sans-serif"});
    f.setPixelSize(21);
    return f;
}

} // namespace

int MainWindow::S(int v) const {
    return static_cast<int>(std::lround(double(v) * measured_ / 12.0));
}

template <typename T> T *MainWindow::place(T *control, int left, int top, int width, int height) {
    control->setGeometry(S(left), S(top), S(width), S(height));
    return control;
}

QLabel *MainWindow::label(QWidget *parent, const QString &text, int left, int top) {
    auto *l = new QLabel(text, parent);
    l->move(S(left), S(top));
    l->adjustSize();
    return l;
}

QCheckBox *MainWindow::checkBox(QWidget *parent, const QString &text, int left, int top,
                                int width) {
    auto *c = place(new QCheckBox(text, parent), left, top, width, 17);
    c->setFocusPolicy(Qt::ClickFocus);
    return c;
}

QLineEdit *MainWindow::displayEdit(QWidget *parent, int left, int top) {
    auto *e = place(new QLineEdit(parent), left, top, 370, 20);
    e->setReadOnly(true);
    e->setEnabled(false);
    return e;
}

TPushButton *MainWindow::button(QWidget *parent, const QString &caption, int left, int top,
                                int width, int height) {
    auto *b = place(new TPushButton(parent), left, top, width, height);
    b->setCaption(caption);
    return b;
}

MainWindow::MainWindow(QWidget *parent) : QWidget(parent) {
    F1 = this;
    setWindowTitle(QCoreApplication::translate("TApplication", TApplication::Title));
    setWindowIcon(programIcon());
    setFont(windowFont());
    measured_ = QFontMetrics(windowFont()).height();
    setAutoFillBackground(true);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    resize(S(688), S(489));
    CreateControls();
    // The creation handler: the title screen, before the window is ever shown.
    Mode_Title();
}

MainWindow::~MainWindow() {
    // The controllers go first, closing any open device without saving;
    // the run on them before.
    Session.reset();
    Devices.reset();
    delete MP_MIDI;
    delete MP_WAVE;
    MP_MIDI = MP_WAVE = nullptr;
    if (F1 == this)
        F1 = nullptr;
}

void MainWindow::CreateControls() {
    // Title screen.
    Pnl_Title = place(new TPanel(this), 5, 310, 352, 152);
    Image_Title = place(new QLabel(Pnl_Title), 1, 1, 350, 150);
    Image_Title->setPixmap(titlePicture(Image_Title->size()));
    Btn_Title_Recording = place(new TPushButton(Pnl_Title, true), 75, 90, 130, 30);
    Btn_Title_Quit = place(new TPushButton(Pnl_Title, true), 215, 90, 130, 30);
    for (TPushButton *b : {Btn_Title_Recording, Btn_Title_Quit}) {
        b->setFont(titleButtonFont());
        QPalette palette = b->palette();
        palette.setColor(QPalette::ButtonText, QColor(0, 128, 0));
        b->setPalette(palette);
    }
    Btn_Title_Recording->setCaption(tr("Recording"));
    Btn_Title_Quit->setCaption(tr("Quit"));
    Btn_Title_Recording->OnClick = [this] { Mode_Record(); };
    Btn_Title_Quit->OnClick = [this] { Btn_Title_QuitClick(); };

    // Recording screen.
    Pnl_Main = place(new TPanel(this), 46, 15, 404, 282);

    Pnl_Control = place(new TPanel(Pnl_Main), 2, 2, 400, 87);
    Lbl_Control = label(Pnl_Control, tr("Control"), 4, 2);
    Lbl_Control->setFont(headingFont());
    Lbl_Control->adjustSize();
    Lbl_MIDIFile = label(Pnl_Control, tr("MIDI File"), 5, 25);
    Pnl_MIDIFile = place(new TTextPanel(Pnl_Control), 55, 20, 340, 18);
    Pnl_MIDIFile->setCaption(tr("File Not Set"));
    Lbl_Progress = label(Pnl_Control, tr("Progress"), 5, 43);
    Gauge_Progress = place(new TGauge(Pnl_Control), 55, 40, 340, 20);
    Btn_Select = button(Pnl_Control, tr("Select"), 4, 64);
    Btn_Record = button(Pnl_Control, tr("Record"), 135, 64);
    Btn_Close = button(Pnl_Control, tr("Close"), 266, 64);
    Btn_Select->OnClick = [this] { Btn_SelectClick(); };
    Btn_Record->OnClick = [this] { Btn_RecordClick(); };
    Btn_Close->OnClick = [this] { MainClose(); };

    Pnl_Option = place(new TPanel(Pnl_Main), 2, 89, 400, 173);
    Lbl_Option = label(Pnl_Option, tr("Option"), 4, 2);
    Lbl_Option->setFont(headingFont());
    Lbl_Option->adjustSize();
    Lbl_RecordingQuality = label(Pnl_Option, tr("Recording Quality"), 5, 25);
    CBox_RecordingQuality = place(new TComboBox(Pnl_Option), 100, 20, 295, 20);
    for (const RecordingFormat &format : kRecordingFormats)
        CBox_RecordingQuality->addItem(
            QCoreApplication::translate("RecordingFormat", format.listText));
    CBox_RecordingQuality->setItemIndex(-1); // none until the settings are loaded
    CB_RecordingDelayTime = checkBox(Pnl_Option, tr("Recording Delay Time"), 5, 44, 135);
    SE_RecordingDelayTime = place(new TSpinEdit(Pnl_Option), 140, 40, 36, 21);
    SE_RecordingDelayTime->setValue(2);
    // The delay is counted in seconds (the timer runs N × 1000 ms).
    Lbl_seconds = label(Pnl_Option, tr("seconds"), 180, 45);
    CB_PreferencesWAVEFileDirectory =
        checkBox(Pnl_Option, tr("Preferences WAVE File Directory"), 5, 60, 191);
    Edit_WAVEFileDirectory = displayEdit(Pnl_Option, 5, 80);
    Btn_WAVEFileDirectory = button(Pnl_Option, tr("..."), 377, 80, 18, 18);
    Btn_WAVEFileDirectory->OnClick = [this] { Btn_WAVEFileDirectoryClick(); };
    CB_PutQualityInformationonWAVEFileName =
        checkBox(Pnl_Option, tr("Put Quality Information on WAVE File Name"), 5, 100, 256);
    CB_MPEG1AudioLayerIIIEncode =
        checkBox(Pnl_Option, tr("MPEG1 Audio Layer III Encode"), 5, 116, 186);
    Lbl_MPEG1AudioLayerIIIEncoder = label(Pnl_Option, tr("MPEG1 Audio Layer III Encoder"), 5, 135);
    Edit_MPEG1AudioLayerIIIEncoderDirectory = displayEdit(Pnl_Option, 5, 150);
    Btn_MP3EncoderDirectory = button(Pnl_Option, tr("..."), 377, 150, 18, 18);
    Btn_MP3EncoderDirectory->OnClick = [this] { Btn_MP3EncoderDirectoryClick(); };

    Pnl_State = place(new TTextPanel(Pnl_Main), 2, 262, 400, 18);
    Pnl_State->setCaption(tr("File Not Set"));

    Pnl_Directory = place(new TPanel(Pnl_Main), 162, 182, 400, 260);
    Pnl_Directory->Caption = "Pnl_Directory";
    Lbl_DirectorySelect = label(Pnl_Directory, tr("WAVE File Directory Select"), 4, 2);
    Lbl_DirectorySelect->setFont(headingFont());
    Lbl_DirectorySelect->adjustSize();
    Drive_CB = place(new TDriveComboBox(Pnl_Directory), 5, 20, 390, 18);
    Directory_LB = place(new TDirectoryListBox(Pnl_Directory), 5, 40, 390, 193);
    Drive_CB->DirList = Directory_LB;
    Directory_LB->DriveCombo = Drive_CB;
    // Both lists start from the process's current directory.
    Directory_LB->StartFromCurrentDirectory();
    Drive_CB->Fill();
    Btn_DirectorySelectOK = button(Pnl_Directory, tr("OK"), 4, 237);
    Btn_DirectorySelectCancel = button(Pnl_Directory, tr("Cancel"), 135, 237);
    Btn_DirectorySelectClear = button(Pnl_Directory, tr("Clear"), 266, 237);
    Btn_DirectorySelectOK->OnClick = [this] { Btn_DirectorySelectOKClick(); };
    Btn_DirectorySelectCancel->OnClick = [this] { Btn_DirectorySelectCancelClick(); };
    Btn_DirectorySelectClear->OnClick = [this] { Btn_DirectorySelectClearClick(); };
    Pnl_Directory->hide();

    MP_MIDI = new TMediaPlayer(this);
    MP_MIDI->DeviceType = dtSequencer;
    MP_MIDI->VisibleButtons = buttonBit(btPlay);
    MP_MIDI->OnNotify = [this](QObject *sender) { MP_MIDINotify(sender); };
    MP_WAVE = new TMediaPlayer(this);
    MP_WAVE->DeviceType = dtWaveAudio;
    MP_WAVE->VisibleButtons = buttonBit(btRecord);
    MP_WAVE->OnNotify = [this](QObject *sender) { MP_WAVENotify(sender); };
    MP_MIDI->Loaded();
    MP_WAVE->Loaded();
    Devices = std::make_unique<PlayerDevices>(*MP_MIDI, *MP_WAVE);
    Session = std::make_unique<RecordingSession>(*Devices);
    Session->onPhase = [this](RecordingSession::Phase phase) { SessionPhase(phase); };

    Timer = new TTimer(this);
    Timer->setInterval(500);
    Timer->setEnabled(false);
    Timer->OnTimer = [this] { TimerTimer(); };

    Dlg_MIDIFileOpen = new TOpenDialog(this);
    Dlg_MIDIFileOpen->Title = tr("MIDI File Select");
    Dlg_MIDIFileOpen->Filter = tr("Standard MIDI File (*.mid)|*.mid");
    Dlg_MP3Encoder = new TOpenDialog(this);
    Dlg_MP3Encoder->Title = tr("MPEG1 Audio Layer III Encoder Select");
    // On Linux the encoder has another name (lame, say): every file is offered too.
    Dlg_MP3Encoder->Filter = tr("8hz-mp3 Encoder|8hz-mp3.exe|All Files (*)|*");
}

// --- Screen states -----------------------------------------------------------

void MainWindow::Arrange(bool control, bool option, bool record) {
    Pnl_Control->setEnabled(control);
    Pnl_Option->setEnabled(option);
    Pnl_Directory->setEnabled(false);
    Pnl_Control->show();
    Pnl_Option->show();
    Pnl_Directory->hide();
    Btn_Select->setEnabled(option);
    Btn_Record->setEnabled(record);
    Btn_Close->setEnabled(option);
}

void MainWindow::ModeSet(unsigned state) {
    const QString file = QString::fromStdString(MP_MIDI->FileName);
    switch (state) {
    case 0:
        Arrange(true, true, false);
        Btn_Select->setCaption(tr("Select"));
        Btn_Record->setCaption(tr("---"));
        Btn_Close->setCaption(tr("Close"));
        Pnl_MIDIFile->setCaption(QString());
        Gauge_Progress->setProgress(0);
        MP_MIDI->FileName.clear();
        MP_WAVE->FileName.clear();
        StatusCaption(tr("Select MIDI File"));
        break;
    case 1:
        Arrange(true, true, true);
        Btn_Select->setCaption(tr("ReSelect"));
        Btn_Record->setCaption(tr("Record"));
        Btn_Close->setCaption(tr("Close"));
        Pnl_MIDIFile->setCaption(file);
        StatusCaption(tr("Standby OK"));
        break;
    case 2:
        Arrange(true, false, true);
        Btn_Select->setCaption(tr("---"));
        Btn_Record->setCaption(tr("Stop"));
        Btn_Close->setCaption(tr("---"));
        Pnl_MIDIFile->setCaption(file);
        StatusCaption(tr("Now Recording"));
        break;
    case 3:
        Pnl_Directory->move(S(2), S(2));
        Pnl_Control->setEnabled(false);
        Pnl_Option->setEnabled(false);
        Pnl_Directory->setEnabled(true);
        Pnl_Control->hide();
        Pnl_Option->hide();
        Pnl_Directory->show();
        StatusCaption(tr("Select WAVE File Directory"));
        break;
    case 4:
        Arrange(false, false, false);
        Btn_Select->setCaption(tr("---"));
        Btn_Record->setCaption(tr("---"));
        Btn_Close->setCaption(tr("---"));
        StatusCaption(tr("MPEG1 Audio Layer III Encoding"));
        break;
    default:
        break; // not a state: nothing changes
    }
}

void MainWindow::StatusCaption(const QString &text) {
    Pnl_State->setCaption(text);
    // Painted now, so that the text shows even while a long step follows.
    if (isVisible())
        repaint();
}

// --- Frame, size and placement ------------------------------------------------

void MainWindow::setBorderStyle(TFormBorderStyle style) {
    if (style == borderStyle_)
        return;
    borderStyle_ = style;
    RecreateWindow();
}

void MainWindow::setPosition(TPosition position) {
    if (position == position_)
        return;
    position_ = position;
    RecreateWindow();
}

void MainWindow::RecreateWindow() {
    // A new native window with the new frame, at the same outer place,
    // shown again if the old one was visible.
    const bool wasVisible = isVisible();
    const QPoint outer = frameGeometry().topLeft();
    const QSize client = size();
    if (wasVisible)
        hide(); // Qt keeps a window whose flags stay the same: hide it ourselves
    if (borderStyle_ == bsNone)
        setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    else
        setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    move(outer);
    setFixedSize(client);
    if (wasVisible)
        show();
}

void MainWindow::setClientWidth(int width) {
    setFixedSize(width, height());
}
void MainWindow::setClientHeight(int height) {
    setFixedSize(width(), height);
}

int MainWindow::Left() const {
    return frameGeometry().left();
}
int MainWindow::Top() const {
    return frameGeometry().top();
}
void MainWindow::setLeft(int left) {
    move(left, Top());
}
void MainWindow::setTop(int top) {
    move(Left(), top);
}

void MainWindow::CentreOnScreen() {
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QSize outer = frameGeometry().size();
    move(std::max(0, (area.width() - outer.width()) / 2),
         std::max(0, (area.height() - outer.height()) / 2));
}

void MainWindow::closeEvent(QCloseEvent *event) {
    // However the program is ended, a recording in progress is kept.
    FinishRunForExit();
    QWidget::closeEvent(event);
}

void MainWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    // Screen-centre places the window each time it becomes visible, then
    // gives way to the designed placement.
    if (position_ == poScreenCenter) {
        CentreOnScreen();
        position_ = poDesigned;
    }
}
