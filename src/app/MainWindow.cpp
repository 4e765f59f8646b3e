// The main window's handlers: the screens, the settings passes, the output
// naming routines, the recording run's handlers (which step the recording
// session and show where it stands), the encoder step and the output
// directory chooser.
#include "app/MainWindow.h"

#include "app/Application.h"
#include "app/ExecWait.h"
#include "platform/Paths.h"
#include "recording/Interrupted.h"
#include "recording/RunPlan.h"
#include "settings/IniFiles.h"
#include "ui/Dialogs.h"

#include <QDateTime>
#include <QFileInfo>

#include <memory>

std::string MainWindow::EPath() {
    return paths::programFolder();
}

// --- Screens ---------------------------------------------------------------

void MainWindow::Mode_Title() {
    setBorderStyle(bsNone);
    Pnl_Title->move(0, 0);
    Pnl_Title->show();
    Pnl_Main->hide();
    setClientWidth(Pnl_Title->width());
    setClientHeight(Pnl_Title->height());
    setPosition(poScreenCenter);
}

void MainWindow::Mode_Record() {
    setBorderStyle(bsDialog);
    Pnl_Main->move(0, 0);
    Pnl_Title->hide();
    Pnl_Main->show();
    setClientWidth(Pnl_Main->width());
    setClientHeight(Pnl_Main->height());
    ReadIniFile();
    ModeSet(0);
    OfferInterrupted();
}

void MainWindow::MainClose() {
    WriteIniFile(); // a failed write leaves the window on the recording screen
    Mode_Title();
}

void MainWindow::Btn_Title_QuitClick() {
    close();
}

void MainWindow::Btn_SelectClick() {
    ModeSet(0);
    if (!Dlg_MIDIFileOpen->Execute())
        return;
    MP_MIDI->FileName = Dlg_MIDIFileOpen->FileName.toStdString();
    Pnl_MIDIFile->setCaption(Dlg_MIDIFileOpen->FileName);
    ModeSet(1);
    OfferInterrupted();
}

void MainWindow::OpenFromCommandLine(const QString &file) {
    Mode_Record();
    MP_MIDI->FileName = QFileInfo(file).absoluteFilePath().toStdString();
    Pnl_MIDIFile->setCaption(QString::fromStdString(MP_MIDI->FileName));
    ModeSet(1);
    OfferInterrupted();
}

void MainWindow::OfferInterrupted() {
    const Options options = CurrentOptions();
    std::vector<std::string> folders;
    if (!options.directory.empty())
        folders.push_back(options.directory);
    if (!MP_MIDI->FileName.empty())
        folders.push_back(OutputFolder(Options{}, MP_MIDI->FileName));
    // The folders the window looks in now, and wherever the recordings it
    // started before lie.
    std::vector<InterruptedRecording> interrupted = FindInterruptedFiles(Ledger.files());
    for (InterruptedRecording &found : FindInterrupted(folders))
        if (std::none_of(interrupted.begin(), interrupted.end(), [&](const auto &known) {
                return paths::sameFile(known.file, found.file);
            }))
            interrupted.push_back(std::move(found));
    for (const InterruptedRecording &found : interrupted) {
        std::string error;
        if (found.frames == 0) {
            DiscardInterrupted(found, error); // nothing was recorded
            continue;
        }
        if (InterruptedPutOff.count(found.file))
            continue;
        const QString output =
            QString::fromStdString(found.note.output.empty() ? found.file : found.note.output);
        const QDateTime started =
            QDateTime::fromString(QString::fromStdString(found.note.started), Qt::ISODate);
        const int seconds = int(found.seconds());
        const QString text =
            tr("A recording was cut off before it was saved:\n\n"
               "%1\nfrom %2\nstarted %3, %4 min %5 s recorded\n\n"
               "Save keeps it (under its own name if that is free, else marked as "
               "interrupted); Discard deletes it; Cancel asks again next time.")
                .arg(output, QString::fromStdString(found.note.song),
                     started.isValid() ? started.toString("yyyy-MM-dd HH:mm:ss") : tr("(unknown)"))
                .arg(seconds / 60)
                .arg(seconds % 60);
        const auto answer =
            ui::messageBox(F1, {tr("Information"), text, QMessageBox::Question,
                                QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel});
        if (answer == QMessageBox::Save) {
            const std::string kept = KeepInterrupted(found, true, error);
            if (kept.empty())
                ui::messageBox(F1, {QString::fromLatin1(TApplication::Title),
                                    tr("The interrupted recording %1 could not be saved: %2")
                                        .arg(QString::fromStdString(found.file),
                                             QString::fromLocal8Bit(error.c_str())),
                                    QMessageBox::Critical, QMessageBox::Ok});
            else
                ui::messageBox(F1, {tr("Information"),
                                    tr("The interrupted recording was saved as %1")
                                        .arg(QString::fromStdString(kept)),
                                    QMessageBox::Information, QMessageBox::Ok});
        } else if (answer == QMessageBox::Discard) {
            if (!DiscardInterrupted(found, error))
                ui::messageBox(F1, {QString::fromLatin1(TApplication::Title),
                                    tr("The interrupted recording %1 could not be deleted: %2")
                                        .arg(QString::fromStdString(found.file),
                                             QString::fromLocal8Bit(error.c_str())),
                                    QMessageBox::Critical, QMessageBox::Ok});
        } else {
            InterruptedPutOff.insert(found.file);
        }
    }
}

// --- Settings ------------------------------------------------------------------

std::string MainWindow::SettingsFileName() {
    return paths::settingsFile();
}

Options MainWindow::CurrentOptions() const {
    Options o;
    o.quality = CBox_RecordingQuality->ItemIndex();
    o.delay = CB_RecordingDelayTime->isChecked();
    o.delaySeconds = SE_RecordingDelayTime->Value();
    o.preferDirectory = CB_PreferencesWAVEFileDirectory->isChecked();
    o.directory = Edit_WAVEFileDirectory->text().toStdString();
    o.qualityInName = CB_PutQualityInformationonWAVEFileName->isChecked();
    o.encode = CB_MPEG1AudioLayerIIIEncode->isChecked();
    o.encoder = Edit_MPEG1AudioLayerIIIEncoderDirectory->text().toStdString();
    o.top = Top();
    o.left = Left();
    return o;
}

void MainWindow::ReadIniFile() {
    IniFile = std::make_unique<TIniFile>(SettingsFileName());
    const Options o = ReadOptions(*IniFile);
    // Each control takes its value as it takes any: the list has no
    // selection for an index it does not hold, the spin edit clamps.
    CBox_RecordingQuality->setItemIndex(o.quality);
    CB_RecordingDelayTime->setChecked(o.delay);
    SE_RecordingDelayTime->setValue(o.delaySeconds);
    CB_PreferencesWAVEFileDirectory->setChecked(o.preferDirectory);
    Edit_WAVEFileDirectory->setText(QString::fromStdString(o.directory));
    CB_PutQualityInformationonWAVEFileName->setChecked(o.qualityInName);
    CB_MPEG1AudioLayerIIIEncode->setChecked(o.encode);
    Edit_MPEG1AudioLayerIIIEncoderDirectory->setText(QString::fromStdString(o.encoder));
    setTop(o.top);
    setLeft(o.left);
    if (Top() == -1000 && Left() == -1000)
        setPosition(poScreenCenter);
    repaint();
    IniFile.reset();
}

void MainWindow::WriteIniFile() {
    // An installed program's settings folder is made on the first store; a
    // folder that cannot be made is named in the error, with the reason.
    paths::prepareConfigFolder();
    IniFile = std::make_unique<TIniFile>(SettingsFileName());
    // Freed however the pass ends; a failed write skips the rest.
    struct Release {
        std::unique_ptr<TIniFile> &file;
        ~Release() { file.reset(); }
    } release{IniFile};
    WriteOptions(*IniFile, CurrentOptions());
}

// --- Output naming ---------------------------------------------------------------

void MainWindow::QualitySetting() {
    TemplateBaseName = TemplateBaseNameOf(CBox_RecordingQuality->ItemIndex());
    TemplateStoredName = TemplateBaseName + ".bin";
    TemplateOpenName = TemplateBaseName + ".wav";
}

std::string MainWindow::QualityPath() {
    return paths::templateFolder();
}

std::string MainWindow::WavePath() {
    return OutputFolder(CurrentOptions(), MP_MIDI->FileName);
}

std::string MainWindow::WaveName() {
    return OutputName(CurrentOptions(), MP_MIDI->FileName);
}

// --- The recording run -------------------------------------------------------------

void MainWindow::Btn_RecordClick() {
    if (Session->phase() == RecordingSession::Phase::Playing) {
        RecordingStop();
        return;
    }
    // No file, or a run still going ("Stop" pressed during the trailing
    // delay must not cut off the recording being finished).
    if (MP_MIDI->FileName.empty() || Session->phase() != RecordingSession::Phase::Idle)
        return;

    if (CBox_RecordingQuality->ItemIndex() > 0 && CB_MPEG1AudioLayerIIIEncode->isChecked()) {
        const auto answer = ui::messageBox(
            F1, {tr("Information"), tr("MPEG1 Audio Layer III Encode needs High Quality Recording"),
                 QMessageBox::NoIcon, QMessageBox::Ok | QMessageBox::Cancel});
        if (answer == QMessageBox::Ok)
            CBox_RecordingQuality->setItemIndex(0);
        else
            CB_MPEG1AudioLayerIIIEncode->setChecked(false);
        Pnl_Option->repaint();
    }

    SessionPlan plan;
    plan.options = CurrentOptions();
    plan.song = MP_MIDI->FileName;
    plan.tailSeconds = TailSeconds(plan.options);
    plan.keepFailedSaveElsewhere = true;
    plan.waitForEncoder = [this](const ProcessHandle &process) {
        return ExecWait(this, process, &EncoderEndRequested);
    };
    plan.ledger = &Ledger;
    QualitySetting();
    plan.format = FileSetting();
    // A song whose recording the output's folder cannot hold: the user is
    // told before it starts, and it records if they go on.
    const std::string shortfall = RecordingSession::roomShortfall(plan);
    if (!shortfall.empty() &&
        ui::messageBox(
            F1, {tr("Information"), tr("%1. Record anyway?").arg(QString::fromStdString(shortfall)),
                 QMessageBox::Warning, QMessageBox::Ok | QMessageBox::Cancel}) != QMessageBox::Ok)
        return;

    // The screen follows the session from here: recording, then back to
    // standby if the start fails (the error box says why).
    Devices->setEngine(Sound->acquire());
    Session->start(plan);
}

audio::WaveFormat MainWindow::FileSetting() {
    // The template is opened under its open name, and back under its stored
    // name however the open goes.
    const std::string folder = QualityPath();
    const std::string stored = folder + TemplateStoredName;
    const std::string open = folder + TemplateOpenName;
    std::rename(stored.c_str(), open.c_str());
    struct PutBack {
        const std::string &from, &to;
        ~PutBack() { std::rename(from.c_str(), to.c_str()); }
    } putBack{open, stored};
    MP_WAVE->FileName = open;
    MP_WAVE->Open();
    const audio::WaveFormat format = MP_WAVE->WaveFormat();
    MP_WAVE->Close();
    MP_WAVE->FileName = WavePath() + WaveName();
    return format;
}

void MainWindow::RecordingStop() {
    Session->stopPlayback();
}

void MainWindow::MP_MIDINotify(QObject *) {
    Session->playbackEnded();
}

void MainWindow::MP_WAVENotify(QObject *) {
    // Only a recording that got to its end: not one stopped or superseded,
    // nor a second notice of the same end (the recording reached it by
    // itself just as the song's end asked it to go there).
    if (MP_WAVE->NotifyValue() != nvSuccessful || Session->phase() == RecordingSession::Phase::Idle)
        return;
    Session->recordingEnded();
    ShowRunEnd();
}

void MainWindow::TimerTimer() {
    if (Session->phase() == RecordingSession::Phase::Playing) {
        Gauge_Progress->setProgress(Session->progress());
        Gauge_Progress->repaint();
    }
}

void MainWindow::SessionPhase(RecordingSession::Phase phase) {
    using Phase = RecordingSession::Phase;
    const Phase before = std::exchange(LastPhase, phase);
    switch (phase) {
    case Phase::Starting:
        ModeSet(2);
        break;
    case Phase::Playing:
        Timer->setInterval(500);
        Timer->setEnabled(true);
        break;
    case Phase::Tail:
        // The gauge stays where it was while the tail records.
        Timer->setEnabled(false);
        break;
    case Phase::Writing:
        Timer->setEnabled(false);
        StatusCaption(tr("Data Writing"));
        break;
    case Phase::Encoding:
        EncoderEndRequested = false;
        ModeSet(4);
        break;
    case Phase::Idle:
        Timer->setEnabled(false);
        Timer->setInterval(500);
        // The engine stops once nothing holds it.
        Devices->setEngine(nullptr);
        // A run that could not start leaves its song chosen.
        ModeSet(before == Phase::Starting ? 1 : 0);
        break;
    }
}

void MainWindow::ShowRunEnd() {
    if (Session->phase() != RecordingSession::Phase::Idle)
        return;
    // Why the recording was not saved, or why the encoder failed (not when
    // the program ended it); then what the sound system has to tell: an
    // output lost on the way, a devices.ini naming what does not exist.
    const RecordingSession::Outcome &outcome = Session->outcome();
    if (!outcome.message.empty() && !(outcome.saved && EncoderEndRequested))
        TApplication::ShowException(outcome.message);
    for (const std::string &notice : Sound->takeNotices())
        TApplication::ShowException(notice);
}

void MainWindow::FinishRunForExit() {
    // The program is ending: an encoder still running is ended by the wait
    // that runs it; a recording is stopped and saved, as after "Stop" with
    // no trailing delay and no encoding.
    const RecordingSession::Phase phase = Session->phase();
    if (phase == RecordingSession::Phase::Encoding)
        EncoderEndRequested = true;
    if (phase != RecordingSession::Phase::Playing && phase != RecordingSession::Phase::Tail)
        return;
    Session->endNow();
    if (!Session->outcome().saved)
        TApplication::ShowException(Session->outcome().message);
}

// --- The encoder ---------------------------------------------------------------------

void MainWindow::Btn_MP3EncoderDirectoryClick() {
    if (Dlg_MP3Encoder->Execute())
        Edit_MPEG1AudioLayerIIIEncoderDirectory->setText(Dlg_MP3Encoder->FileName);
}

// --- The output directory chooser ------------------------------------------------------

void MainWindow::Btn_WAVEFileDirectoryClick() {
    // Drives come and go: the list is read again; the shown directory stays.
    Drive_CB->Fill();
    Directory_LB->Rebuild();
    ModeSet(3);
}

void MainWindow::Btn_DirectorySelectOKClick() {
    std::string folder = Directory_LB->Directory();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    Edit_WAVEFileDirectory->setText(QString::fromStdString(folder));
    Btn_DirectorySelectCancelClick();
}

void MainWindow::Btn_DirectorySelectCancelClick() {
    ModeSet(Pnl_MIDIFile->caption().isEmpty() ? 0 : 1);
}

void MainWindow::Btn_DirectorySelectClearClick() {
    Edit_WAVEFileDirectory->setText(QString());
    Btn_DirectorySelectCancelClick();
}
