// Writes the twelve recording templates binlib/KWQF0000.bin to KWQF0011.bin:
// PCM WAVE files in their format's rate, bits and channels, holding no
// sample frames, so that a recording saved over one holds only what was
// recorded. Usage: make_templates FOLDER...
#include "engine/WaveFile.h"
#include "recording/Formats.h"

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path folder = argv[i];
        std::filesystem::create_directories(folder);
        for (std::size_t index = 0; index < kRecordingFormats.size(); ++index) {
            const RecordingFormat &f = kRecordingFormats[index];
            char name[32];
            std::snprintf(name, sizeof name, "KWQF00%02zu.bin", index);
            std::FILE *empty = std::tmpfile();
            std::string error;
            const bool ok =
                audio::writeWaveFile((folder / name).string(),
                                     {f.sampleRate, f.channels, f.bitsPerSample}, empty, 0, error);
            std::fclose(empty);
            if (!ok) {
                std::fprintf(stderr, "make_templates: %s: %s\n", (folder / name).c_str(),
                             error.c_str());
                return 1;
            }
        }
    }
    return 0;
}
