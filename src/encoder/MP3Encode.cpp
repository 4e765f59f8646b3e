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
        TApplication::ShowException("The MP3 encoder " + encoder +
                                    " could not be started: " + process.error);
        return;
    }
    const ProcessEnd end = ExecWait(this, process, &EncoderEndRequested);
    if (end.cut) {
        // Ended because the program is ending: its MP3 file is unfinished.
        std::remove(mp3.c_str());
        return;
    }
    if (!end.succeeded())
        TApplication::ShowException("The MP3 encoder " + encoder + " failed on " + wave + " (" +
                                    end.describe() + ")");
}

void TF1::Btn_MP3EncoderDirectoryClick() {
    if (Dlg_MP3Encoder->Execute())
        Edit_MPEG1AudioLayerIIIEncoderDirectory->setText(Dlg_MP3Encoder->FileName);
}
