// The load and store passes of the settings file: the options read by the
// key table go into the controls, and the controls' options are written by it.
#include "app/U1.h"
#include "platform/Paths.h"
#include "settings/IniFiles.h"
#include "settings/Options.h"

#include <memory>

std::string TF1::SettingsFileName() {
    return paths::settingsFile();
}

Options TF1::CurrentOptions() const {
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

void TF1::ReadIniFile() {
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

void TF1::WriteIniFile() {
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
