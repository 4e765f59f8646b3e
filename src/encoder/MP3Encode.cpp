// MP3 encoding of the saved WAVE file by the outside encoder, and the
// chooser of the encoder program.
#include "app/Application.h"
#include "app/U1.h"
#include "encoder/ExecWait.h"

#include <cstdio>

void TF1::MP3Encode() {
    ModeSet(4);
    const std::string wave = WavePath() + WaveName();
    const std::string mp3 = wave.substr(0, wave.size() >= 4 ? wave.size() - 4 : 0) + ".mp3";
    const std::string encoder = Edit_MPEG1AudioLayerIIIEncoderDirectory->text().toStdString();
    // The two paths go to the encoder whole, whatever blanks or quotes they hold.
    const ProcessHandle process = ExecProcess(encoder, {wave, mp3}, "");
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
