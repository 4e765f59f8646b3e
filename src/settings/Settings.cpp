// The load and store passes of the settings file: ten keys in one section,
// walked from one table by both passes so that they never disagree.
#include "app/Application.h"
#include "app/U1.h"
#include "settings/IniFiles.h"

#include <functional>
#include <memory>

namespace {

const char kSettingsFile[] = "Kestrune.ini";

struct SettingKey {
    enum Kind { Integer, Boolean, String } kind;
    const char *name;
    std::int32_t defaultValue; // integers and booleans
    std::function<std::int32_t(TF1 &)> getInteger;
    std::function<void(TF1 &, std::int32_t)> setInteger;
    std::function<std::string(TF1 &)> getString;
    std::function<void(TF1 &, const std::string &)> setString;
};

SettingKey flag(const char *name, QCheckBox *TF1::*box) {
    return {SettingKey::Boolean,
            name,
            0,
            [box](TF1 &f) { return (f.*box)->isChecked() ? 1 : 0; },
            [box](TF1 &f, std::int32_t v) { (f.*box)->setChecked(v != 0); },
            nullptr,
            nullptr};
}

SettingKey text(const char *name, QLineEdit *TF1::*edit) {
    return {
        SettingKey::String,
        name,
        0,
        nullptr,
        nullptr,
        [edit](TF1 &f) { return (f.*edit)->text().toStdString(); },
        [edit](TF1 &f, const std::string &v) { (f.*edit)->setText(QString::fromStdString(v)); }};
}

// The keys in the order they stand in the file.
const std::vector<SettingKey> &keys() {
    static const std::vector<SettingKey> table = {
        {SettingKey::Integer, "Recording Quality", 0,
         [](TF1 &f) { return f.CBox_RecordingQuality->ItemIndex(); },
         [](TF1 &f, std::int32_t v) { f.CBox_RecordingQuality->setItemIndex(v); }, nullptr,
         nullptr},
        flag("Recording Delay", &TF1::CB_RecordingDelayTime),
        {SettingKey::Integer, "Recording Delay Time", 2,
         [](TF1 &f) { return f.SE_RecordingDelayTime->Value(); },
         [](TF1 &f, std::int32_t v) { f.SE_RecordingDelayTime->setValue(v); }, nullptr, nullptr},
        flag("Preferences WAVE File Directory", &TF1::CB_PreferencesWAVEFileDirectory),
        text("WAVE File Directory", &TF1::Edit_WAVEFileDirectory),
        flag("Put Quality Information on WAVE File Name",
             &TF1::CB_PutQualityInformationonWAVEFileName),
        flag("MPEG1 Audio Layer III Encode", &TF1::CB_MPEG1AudioLayerIIIEncode),
        text("MPEG1 Audio Layer III Encoder Directory",
             &TF1::Edit_MPEG1AudioLayerIIIEncoderDirectory),
        {SettingKey::Integer, "Main Position Top", -1000, [](TF1 &f) { return f.Top(); },
         [](TF1 &f, std::int32_t v) { f.setTop(v); }, nullptr, nullptr},
        {SettingKey::Integer, "Main Position Left", -1000, [](TF1 &f) { return f.Left(); },
         [](TF1 &f, std::int32_t v) { f.setLeft(v); }, nullptr, nullptr},
    };
    return table;
}

} // namespace

std::string TF1::SettingsFileName() {
    return EPath() + kSettingsFile;
}

void TF1::ReadIniFile() {
    IniFile = std::make_unique<TIniFile>(SettingsFileName());
    const std::string section = TApplication::Title;
    for (const SettingKey &key : keys()) {
        switch (key.kind) {
        case SettingKey::Integer:
            key.setInteger(*this, IniFile->ReadInteger(section, key.name, key.defaultValue));
            break;
        case SettingKey::Boolean:
            key.setInteger(*this, IniFile->ReadBool(section, key.name, key.defaultValue != 0));
            break;
        case SettingKey::String:
            key.setString(*this, IniFile->ReadString(section, key.name, ""));
            break;
        }
    }
    if (Top() == -1000 && Left() == -1000)
        setPosition(poScreenCenter);
    repaint();
    IniFile.reset();
}

void TF1::WriteIniFile() {
    IniFile = std::make_unique<TIniFile>(SettingsFileName());
    // Freed however the pass ends; a failed write skips the rest.
    struct Release {
        std::unique_ptr<TIniFile> &file;
        ~Release() { file.reset(); }
    } release{IniFile};
    const std::string section = TApplication::Title;
    for (const SettingKey &key : keys()) {
        switch (key.kind) {
        case SettingKey::Integer:
            IniFile->WriteInteger(section, key.name, key.getInteger(*this));
            break;
        case SettingKey::Boolean:
            IniFile->WriteBool(section, key.name, key.getInteger(*this) != 0);
            break;
        case SettingKey::String:
            IniFile->WriteString(section, key.name, key.getString(*this));
            break;
        }
    }
}
