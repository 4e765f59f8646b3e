// Output naming, the tail, the encoder's call and the guard of the song.
#include "recording/RunPlan.h"

#include "platform/Exception.h"
#include "recording/Formats.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// Everything up to and including the last "/"; empty when there is none.
std::string folderOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

std::string TemplateBaseNameOf(int quality) {
    char digits[16];
    std::snprintf(digits, sizeof digits, quality < 0 ? "-%02d" : "%02d", std::abs(quality));
    return std::string("KWQF00") + digits;
}

std::string OutputFolder(const Options &options, const std::string &song) {
    if (options.preferDirectory && !options.directory.empty())
        return folderOf(options.directory);
    return folderOf(song);
}

std::string OutputName(const Options &options, const std::string &song) {
    // The last four characters are the extension (".mid"); they are cut from
    // the file's name only, never from its folder.
    std::string name = song.substr(folderOf(song).size());
    name.resize(name.size() > 4 ? name.size() - 4 : 0);
    if (options.qualityInName) {
        if (options.quality >= 0 && options.quality < static_cast<int>(kRecordingFormats.size()))
            name += kRecordingFormats[static_cast<std::size_t>(options.quality)].qualitySuffix;
        return name;
    }
    return name + ".wav";
}

std::string Mp3PathOf(const std::string &wave) {
    return wave.substr(0, wave.size() >= 4 ? wave.size() - 4 : 0) + ".mp3";
}

int TailSeconds(const Options &options) {
    return options.delay && options.delaySeconds > 0 ? options.delaySeconds : 0;
}

bool EncoderRuns(const Options &options) {
    struct stat st {};
    return options.encode && !options.encoder.empty() &&
           ::stat(options.encoder.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

ProcessHandle StartEncoder(const Options &options, const std::string &wave, int output) {
    // The two paths go to the encoder whole, whatever blanks or quotes they hold.
    return ExecProcess(options.encoder, {wave, Mp3PathOf(wave)}, "", output);
}

void RefuseSongAsOutput(const std::string &output, const std::string &song) {
    struct stat a {};
    struct stat b {};
    if (::stat(output.c_str(), &a) == 0 && ::stat(song.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino)
        throw Exception(QCoreApplication::translate(
                            "RunPlan", "\"%1\" is the MIDI file chosen for recording, and the "
                                       "recording would replace it. Tick \"Put Quality "
                                       "Information on WAVE File Name\" or choose a WAVE file "
                                       "directory of your own")
                            .arg(QString::fromStdString(output))
                            .toStdString());
}
