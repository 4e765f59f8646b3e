// MP3 encoding of the saved WAVE file by the outside encoder, and the
// chooser of the encoder program.
#include "app/Application.h"
#include "app/U1.h"
#include "encoder/ExecWait.h"
#include "recording/RunPlan.h"

#include <cstdio>

void TF1::MP3Encode() {
    ModeSet(4);
    const std::string wave = WavePath() + WaveName();
    const std::string mp3 = Mp3PathOf(wave);
    const std::string encoder = Edit_MPEG1AudioLayerIIIEncoderDirectory->text().toStdString();
    const ProcessHandle process = StartEncoder(CurrentOptions(), wave);
    if (!process) {
        TApplication::ShowException(
            tr("The MP3 encoder %1 could not be started: %2")
                .arg(QString::fromStdString(encoder), QString::fromStdString(process.error))
                .toStdString());
        return;
    }
    const ProcessEnd end = ExecWait(this, process, &EncoderEndRequested);
    if (end.cut) {
        // Ended because the program is ending: its MP3 file is unfinished.
        std::remove(mp3.c_str());
        return;
    }
    if (!end.succeeded())
        TApplication::ShowException(tr("The MP3 encoder %1 failed on %2 (%3)")
                                        .arg(QString::fromStdString(encoder),
                                             QString::fromStdString(wave),
                                             QString::fromStdString(end.describe()))
                                        .toStdString());
}

void TF1::Btn_MP3EncoderDirectoryClick() {
    if (Dlg_MP3Encoder->Execute())
        Edit_MPEG1AudioLayerIIIEncoderDirectory->setText(Dlg_MP3Encoder->FileName);
}
