// Output naming in the window: the template names of the chosen format, the
// template folder, and the output WAVE file's folder and name, from the
// options the controls hold.
#include "app/U1.h"
#include "platform/Paths.h"
#include "recording/RunPlan.h"

void TF1::QualitySetting() {
    TemplateBaseName = TemplateBaseNameOf(CBox_RecordingQuality->ItemIndex());
    TemplateStoredName = TemplateBaseName + ".bin";
    TemplateOpenName = TemplateBaseName + ".wav";
}

std::string TF1::QualityPath() {
    return paths::templateFolder();
}

std::string TF1::WavePath() {
    return OutputFolder(CurrentOptions(), MP_MIDI->FileName);
}

std::string TF1::WaveName() {
    return OutputName(CurrentOptions(), MP_MIDI->FileName);
}
