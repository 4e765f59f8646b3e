// The main window MainWindow: every control of the title and recording screens,
// the two media device controllers, the timer and the two file dialogs.
// Handlers live with their subsystem; this file holds the window itself.
#pragma once

#include "app/OpenDialog.h"
#include "app/Timer.h"
#include "controls/ComboBox.h"
#include "controls/DirectoryList.h"
#include "controls/Gauge.h"
#include "controls/Panel.h"
#include "controls/PushButton.h"
#include "controls/SpinEdit.h"
#include "engine/SoundSystem.h"
#include "media/MPlayer.h"
#include "media/PlayerDevices.h"
#include "recording/Interrupted.h"
#include "recording/RecordingSession.h"
#include "settings/Options.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <set>
#include <string>

class TIniFile;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    enum TFormBorderStyle { bsNone, bsDialog };
    enum TPosition { poDesigned, poScreenCenter };

    // Title screen.
    TPanel *Pnl_Title;
    QLabel *Image_Title;
    TPushButton *Btn_Title_Recording;
    TPushButton *Btn_Title_Quit;

    // Recording screen.
    TPanel *Pnl_Main;
    TPanel *Pnl_Control;
    QLabel *Lbl_Control;
    QLabel *Lbl_MIDIFile;
    TTextPanel *Pnl_MIDIFile;
    QLabel *Lbl_Progress;
    TGauge *Gauge_Progress;
    TPushButton *Btn_Select;
    TPushButton *Btn_Record;
    TPushButton *Btn_Close;

    TPanel *Pnl_Option;
    QLabel *Lbl_Option;
    QLabel *Lbl_RecordingQuality;
    TComboBox *CBox_RecordingQuality;
    QCheckBox *CB_RecordingDelayTime;
    TSpinEdit *SE_RecordingDelayTime;
    QLabel *Lbl_seconds; // the trailing delay's unit
    QCheckBox *CB_PreferencesWAVEFileDirectory;
    QLineEdit *Edit_WAVEFileDirectory;
    TPushButton *Btn_WAVEFileDirectory;
    QCheckBox *CB_PutQualityInformationonWAVEFileName;
    QCheckBox *CB_MPEG1AudioLayerIIIEncode;
    QLabel *Lbl_MPEG1AudioLayerIIIEncoder;
    QLineEdit *Edit_MPEG1AudioLayerIIIEncoderDirectory;
    TPushButton *Btn_MP3EncoderDirectory;

    TTextPanel *Pnl_State;

    TPanel *Pnl_Directory;
    QLabel *Lbl_DirectorySelect;
    TDriveComboBox *Drive_CB;
    TDirectoryListBox *Directory_LB;
    TPushButton *Btn_DirectorySelectOK;
    TPushButton *Btn_DirectorySelectCancel;
    TPushButton *Btn_DirectorySelectClear;

    // Components without a place on the screen.
    TMediaPlayer *MP_MIDI;
    TMediaPlayer *MP_WAVE;
    TTimer *Timer;
    TOpenDialog *Dlg_MIDIFileOpen;
    TOpenDialog *Dlg_MP3Encoder;
    /// The window's sound system: its engine, started when a run needs it
    /// and handed to the two media device controllers for that run.
    std::shared_ptr<audio::SoundSystem> Sound = std::make_shared<audio::SoundSystem>();
    /// The run the handlers start, step and stop, on the two controllers;
    /// the screen follows its phases.
    std::unique_ptr<PlayerDevices> Devices;
    std::unique_ptr<RecordingSession> Session;
    /// The in-progress recordings the window has started, found again after
    /// a crash wherever they lie.
    RecordingsLedger Ledger{RecordingsLedger::programFile()};

    // The settings accessor, alive only during a load or store pass.
    std::unique_ptr<TIniFile> IniFile;
    // The template names of the current run's format.
    std::string TemplateBaseName;
    std::string TemplateStoredName;
    std::string TemplateOpenName;

    // Screens (window layer).
    void Mode_Title();
    void Mode_Record();
    void MainClose();
    void Btn_Title_QuitClick();
    void Btn_SelectClick();
    /// The program was started with `file` on its command line: the
    /// recording screen, with that file chosen as "Select" would choose it.
    void OpenFromCommandLine(const QString &file);
    /// Asks, for each recording a crash or a kill left (in an output folder
    /// the window looks in now, or wherever one it started lies), whether
    /// to keep or discard it.
    void OfferInterrupted();
    void Btn_WAVEFileDirectoryClick();
    void Btn_DirectorySelectOKClick();
    void Btn_DirectorySelectCancelClick();
    void Btn_DirectorySelectClearClick();

    // Settings.
    void ReadIniFile();
    void WriteIniFile();
    /// The settings file: "Kestrune.ini" beside the executable.
    static std::string SettingsFileName();
    /// The options as the controls hold them.
    Options CurrentOptions() const;

    // Output naming.
    void QualitySetting();
    static std::string QualityPath();
    std::string WavePath();
    std::string WaveName();

    // The recording run.
    void Btn_RecordClick();
    /// The recording's format, as the template of the chosen one holds it:
    /// the template is opened under its open name and renamed back.
    audio::WaveFormat FileSetting();
    void RecordingStop();
    void MP_MIDINotify(QObject *Sender);
    /// The recording has reached the end the session set for it.
    void MP_WAVENotify(QObject *Sender);
    void TimerTimer();
    void Btn_MP3EncoderDirectoryClick();
    /// For the end of the program: ends a run in progress as after "Stop"
    /// without delay, and ends an encoder that is still running.
    void FinishRunForExit();

    // Screen states.
    void ModeSet(unsigned state);
    void StatusCaption(const QString &text);

    /// The executable's folder, with a trailing "/".
    static std::string EPath();

    // Window frame, size and placement.
    TFormBorderStyle BorderStyle() const { return borderStyle_; }
    void setBorderStyle(TFormBorderStyle style);
    TPosition Position() const { return position_; }
    void setPosition(TPosition position);
    void setClientWidth(int width);
    void setClientHeight(int height);
    /// The outer left and top, in screen coordinates.
    int Left() const;
    int Top() const;
    void setLeft(int left);
    void setTop(int top);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // Set when the program is asked to end while the encoder runs.
    bool EncoderEndRequested = false;
    // Interrupted recordings the user put off: not asked again this time.
    std::set<std::string> InterruptedPutOff;
    // The session's phase before its present one.
    RecordingSession::Phase LastPhase = RecordingSession::Phase::Idle;
    void SessionPhase(RecordingSession::Phase phase);
    void ShowRunEnd();

    void CreateControls();
    void Arrange(bool control, bool option, bool record);
    void RecreateWindow();
    void CentreOnScreen();

    // Layout helpers: positions and sizes in the designed 96-dpi pixels,
    // scaled by the window font's measured height over the designed 12.
    int S(int v) const;
    template <typename T> T *place(T *control, int left, int top, int width, int height);
    QLabel *label(QWidget *parent, const QString &text, int left, int top);
    QCheckBox *checkBox(QWidget *parent, const QString &text, int left, int top, int width);
    QLineEdit *displayEdit(QWidget *parent, int left, int top);
    TPushButton *button(QWidget *parent, const QString &caption, int left, int top, int width = 130,
                        int height = 18);
    int measured_ = 12;

    TFormBorderStyle borderStyle_ = bsNone;
    TPosition position_ = poDesigned;
};

/// The main window; set before its construction begins.
extern MainWindow *F1;
