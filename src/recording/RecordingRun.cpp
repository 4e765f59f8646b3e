// The recording run: from "Record" through playback and recording, the
// progress ticks, the completion notice and the trailing delay, to the
// saved WAVE file; with the clean-ups that keep a failed run, a failed save
// or the end of the program from losing a recording or leaving the screen
// stuck.
#include "app/Application.h"
#include "app/Dialogs.h"
#include "app/U1.h"
#include "platform/audio/Engine.h"
#include "recording/RunPlan.h"

#include <QDateTime>
#include <QDir>

#include <cmath>
#include <cstdio>
#include <sys/stat.h>

namespace {

bool fileExists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

void TF1::Btn_RecordClick() {
    if (RecordingFlag == 1) {
        RecordingStop();
        return;
    }
    if (MP_MIDI->FileName.empty() || RecordingFlag != 0)
        return;
    // "Stop" pressed during the trailing delay: the recording being finished
    // must not be cut off by a second run.
    if (Phase != RunPhase::Idle)
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

    ModeSet(2);
    Phase = RunPhase::Starting;
    try {
        QualitySetting();
        FileSetting();
        MP_MIDI->Open();
        MP_MIDI->setNotify(true);
        MP_MIDI->Play();
        MP_WAVE->Open();
        MP_WAVE->StartRecording();
        if (MP_WAVE->Error() != 0)
            throw EMCIDeviceError(MP_WAVE->ErrorText());
        RecordingFlag = 1;
        Timer->setInterval(500);
        Timer->setEnabled(true);
    } catch (...) {
        AbandonRun();
        throw; // reported in the error box
    }
    Phase = RunPhase::Playing;
}

void TF1::FileSetting() {
    const std::string output = WavePath() + WaveName();
    // A song whose name ends in the output's own name (song.wav, with no
    // quality information and no folder of choice) would be deleted as an
    // existing output: the song is never touched.
    RefuseSongAsOutput(output, MP_MIDI->FileName);
    if (fileExists(output))
        std::remove(output.c_str());
    std::rename((QualityPath() + TemplateStoredName).c_str(),
                (QualityPath() + TemplateOpenName).c_str());
    MP_WAVE->FileName = QualityPath() + TemplateOpenName;
    MP_WAVE->Open();
    MP_WAVE->FileName = WavePath() + WaveName();
    MP_WAVE->Save();
    const bool saved = MP_WAVE->Error() == 0;
    const std::string refusal = saved ? std::string() : MP_WAVE->ErrorText();
    MP_WAVE->Close();
    std::rename((QualityPath() + TemplateOpenName).c_str(),
                (QualityPath() + TemplateStoredName).c_str());
    MP_WAVE->FileName = WavePath() + WaveName();
    if (!saved)
        throw EMCIDeviceError(refusal);
    RunOutput = MP_WAVE->FileName;
    struct stat st {};
    if (::stat(RunOutput.c_str(), &st) == 0) {
        RunOutputDevice = st.st_dev;
        RunOutputInode = st.st_ino;
    }
}

void TF1::AbandonRun() {
    Timer->setEnabled(false);
    Timer->setInterval(500);
    RecordingFlag = 0;
    Phase = RunPhase::Idle; // a notice still on its way is now stale
    if (MP_MIDI->IsOpen()) {
        MP_MIDI->setNotify(false);
        MP_MIDI->Stop();
    }
    MP_MIDI->Close();
    MP_WAVE->Close();
    // The template goes back under its stored name if a failed open left it
    // renamed (and if its folder could be found at all).
    try {
        const std::string folder = QualityPath();
        if (!TemplateOpenName.empty() && fileExists(folder + TemplateOpenName) &&
            !fileExists(folder + TemplateStoredName))
            std::rename((folder + TemplateOpenName).c_str(), (folder + TemplateStoredName).c_str());
    } catch (const std::exception &) {
        // The error that ended the run says what is wrong with the folder.
    }
    RemoveTemplateOnlyOutput();
    RunOutput.clear();
    ModeSet(1);
    ShowSoundNotices();
}

void TF1::RecordingStop() {
    MP_MIDI->Stop();
}

void TF1::MP_MIDINotify(QObject *) {
    if (Phase != RunPhase::Playing)
        return; // the notice of a run that was abandoned
    RecordingFlag = 0;
    Timer->setEnabled(false);
    MP_MIDI->setNotify(false);
    MP_MIDI->Close();
    Phase = RunPhase::TrailingDelay;
    WAVE_Write_TimerSet();
}

void TF1::WAVE_Write_TimerSet() {
    const int seconds = TailSeconds(CurrentOptions());
    if (seconds > 0) {
        Timer->setInterval(seconds * 1000);
        Timer->setEnabled(true);
        return;
    }
    WAVE_Write();
}

void TF1::TimerTimer() {
    if (RecordingFlag == 1) {
        const int position = MP_MIDI->Position();
        const int length = MP_MIDI->Length();
        // Halves go to the even neighbour; an empty song shows 0 %.
        const int progress =
            length == 0 ? 0 : static_cast<int>(std::nearbyint(double(position) / length * 100.0));
        Gauge_Progress->setProgress(progress);
        Gauge_Progress->repaint();
    }
    if (Timer->Interval() >= 1000 && CB_RecordingDelayTime->isChecked())
        WAVE_Write();
}

void TF1::WAVE_Write() {
    Phase = RunPhase::Writing;
    StatusCaption(tr("Data Writing"));
    Timer->setEnabled(false);
    Timer->setInterval(500);
    MP_WAVE->Stop();
    MP_WAVE->Save();
    const bool saved = MP_WAVE->Error() == 0;
    if (!saved)
        KeepRecording();
    MP_WAVE->Close();
    RunOutput.clear();
    Phase = RunPhase::Idle;

    if (saved && EncoderRuns(CurrentOptions())) {
        Phase = RunPhase::Encoding;
        EncoderEndRequested = false;
        MP3Encode();
        Phase = RunPhase::Idle;
    }
    ModeSet(0);
    ShowSoundNotices();
}

void TF1::ShowSoundNotices() {
    // Told once the run has ended: an output lost on the way, a devices.ini
    // naming what does not exist.
    for (const std::string &notice : audio::takeSoundNotices())
        TApplication::ShowException(notice);
}

void TF1::KeepRecording() {
    // The output could not be written: the recording goes to the first of
    // the home and temporary folders that takes it, and the user is told.
    const std::string refusal = MP_WAVE->ErrorText();
    const std::string wanted = MP_WAVE->FileName;
    QString name = QString::fromStdString(wanted.substr(wanted.rfind('/') + 1));
    if (name.endsWith(".wav"))
        name.chop(4);
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    std::string kept;
    for (const QString &folder : {QDir::homePath(), QDir::tempPath()}) {
        MP_WAVE->FileName =
            QDir(folder).filePath(name + "-recovered-" + stamp + ".wav").toStdString();
        MP_WAVE->Save();
        if (MP_WAVE->Error() == 0) {
            kept = MP_WAVE->FileName;
            break;
        }
    }
    RemoveTemplateOnlyOutput();
    TApplication::ShowException(
        kept.empty()
            ? refusal + tr(" The recording could not be kept anywhere either").toStdString()
            : refusal + tr(" The recording was kept as %1")
                            .arg(QString::fromStdString(kept))
                            .toStdString());
}

void TF1::RemoveTemplateOnlyOutput() {
    // The output the run made from the template holds no recording: left
    // behind, it would look like a finished one. A file that has taken its
    // place since is not the run's to remove.
    struct stat st {};
    if (!RunOutput.empty() && ::stat(RunOutput.c_str(), &st) == 0 && st.st_dev == RunOutputDevice &&
        st.st_ino == RunOutputInode)
        std::remove(RunOutput.c_str());
}

void TF1::FinishRunForExit() {
    // The program is ending: an encoder still running is ended by the wait
    // that runs it; a recording is stopped and saved, as after "Stop" with
    // no trailing delay and no encoding.
    if (Phase == RunPhase::Encoding)
        EncoderEndRequested = true;
    if (Phase != RunPhase::Playing && Phase != RunPhase::TrailingDelay)
        return;
    Timer->setEnabled(false);
    RecordingFlag = 0;
    Phase = RunPhase::Writing;
    if (MP_MIDI->IsOpen()) {
        MP_MIDI->setNotify(false);
        MP_MIDI->Stop();
        MP_MIDI->Close();
    }
    if (MP_WAVE->IsOpen()) {
        MP_WAVE->Stop();
        MP_WAVE->Save();
        if (MP_WAVE->Error() != 0)
            KeepRecording();
        MP_WAVE->Close();
    }
    RunOutput.clear();
    Phase = RunPhase::Idle;
}
