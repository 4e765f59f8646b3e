// Output naming: the template names of the chosen format, the template
// folder, and the output WAVE file's folder and name.
#include "app/U1.h"
#include "recording/Formats.h"

#include <QString>

#include <cstdlib>

namespace {

// Everything up to and including the last "/"; empty when there is none.
std::string folderOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

void TF1::QualitySetting() {
    // "KWQF00" and the index in two digits, zero-padded: 3 gives 03, -1 gives -01.
    const int index = CBox_RecordingQuality->ItemIndex();
    TemplateBaseName =
        "KWQF00" + QString::asprintf(index < 0 ? "-%02d" : "%02d", std::abs(index)).toStdString();
    TemplateStoredName = TemplateBaseName + ".bin";
    TemplateOpenName = TemplateBaseName + ".wav";
}

std::string TF1::QualityPath() {
    return EPath() + "binlib/";
}

std::string TF1::WavePath() {
    const std::string preferred = Edit_WAVEFileDirectory->text().toStdString();
    if (CB_PreferencesWAVEFileDirectory->isChecked() && !preferred.empty())
        return folderOf(preferred);
    return folderOf(MP_MIDI->FileName);
}

std::string TF1::WaveName() {
    // The last four characters are the extension (".mid"); they are cut from
    // the file's name only, never from its folder.
    const std::string &path = MP_MIDI->FileName;
    std::string name = path.substr(folderOf(path).size());
    name.resize(name.size() > 4 ? name.size() - 4 : 0);
    const int index = CBox_RecordingQuality->ItemIndex();
    if (CB_PutQualityInformationonWAVEFileName->isChecked()) {
        if (index >= 0 && index < static_cast<int>(kRecordingFormats.size()))
            name += kRecordingFormats[static_cast<std::size_t>(index)].qualitySuffix;
        return name;
    }
    return name + ".wav";
}
